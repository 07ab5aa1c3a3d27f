"""Grids and plans as tables and notebook displays: ``Porkchop.to_xarray()`` / ``to_pandas()``, and the HTML and
PNG forms Jupyter shows for a grid, a transfer and a survey table.

xarray and pandas are optional (the ``porkchop`` extra); each function that needs one says so when missing.
"""
from __future__ import annotations

import html
import io
import math
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from vextal.astro._burns import UNITS, iso
from vextal.astro._optional import optional

#: The fields of a grid, each a (departure, tof) array, with their units.
FIELD_UNITS = {"dv_departure": "km/s", "dv_arrival": "km/s", "dv_total": "km/s", "revolutions": "1",
               "branch": "1", "status": "code (Porkchop.status)"}


def grid_units() -> Dict[str, str]:
    """The units, frame and time scale of a grid written out (as the plan JSON carries them)."""
    return {"departures": "s after epoch_utc", "tofs": "s", "dv_departure": "km/s", "dv_arrival": "km/s",
            "dv_total": "km/s", "states": "time s since 1950-01-01T00:00:00 UTC (86400 s per day), km, km/s",
            "frame": UNITS["frame"].split(";")[0], "time_scale": "UTC"}


def _attrs(grid: Any) -> Dict[str, Any]:
    """The grid's planning options and units as plain attributes (None becomes absent, tuples lists)."""
    attrs: Dict[str, Any] = {"model": grid.model, "cost": grid.cost, "mu_km3_s2": grid.mu,
                             "prograde": int(grid.prograde), "max_revs": grid.max_revs,
                             "epoch": float(grid.chaser[0]), "epoch_utc": iso(grid.chaser[0]),
                             "time_scale": "UTC", "frame": UNITS["frame"].split(";")[0],
                             "departure_units": "s after epoch", "tof_units": "s"}
    for name in ("min_radius", "arrive_at", "depart_from"):
        value = getattr(grid, name)
        if value is not None:
            attrs[name] = list(value) if isinstance(value, tuple) else value
    return attrs


def departure_dates(grid: Any) -> Optional[np.ndarray]:
    """The departures as datetime64[us] (UTC) when the grid was given dates, else None."""
    from vextal.astro import time

    if grid.departure_epochs is None:
        return None
    return np.asarray(time.to_datetime64(np.asarray(grid.departure_epochs, dtype=np.float64))).astype("M8[us]")


def to_xarray(grid: Any) -> Any:
    """An xarray Dataset of every field over dims (departure, tof). The departure coordinate is datetime64
    (UTC) when the grid has dates, else the offsets in s; `departure_s` always holds the offsets."""
    xr = optional("xarray", "Porkchop.to_xarray()")
    dates = departure_dates(grid)
    coords: Dict[str, Any] = {
        "departure": ("departure", grid.departures if dates is None else dates),
        "departure_s": ("departure", grid.departures, {"units": "s after epoch"}),
        "tof": ("tof", grid.tofs, {"units": "s"}),
    }
    data = {name: (("departure", "tof"), np.asarray(getattr(grid, name)), {"units": unit})
            for name, unit in FIELD_UNITS.items()}
    return xr.Dataset(data, coords=coords, attrs=_attrs(grid))


def to_pandas(grid: Any) -> Any:
    """A long-form DataFrame, one row per cell: departure_s, tof_s, the fields, and departure_utc
    (datetime64, UTC) when the grid has dates."""
    pd = optional("pandas", "Porkchop.to_pandas()")
    rows, columns = grid.shape
    frame: Dict[str, Any] = {"departure_s": np.repeat(grid.departures, columns),
                             "tof_s": np.tile(grid.tofs, rows)}
    for name in FIELD_UNITS:
        frame[name] = np.asarray(getattr(grid, name)).reshape(-1)
    dates = departure_dates(grid)
    if dates is not None:
        frame["departure_utc"] = np.repeat(dates, columns)
    out = pd.DataFrame(frame)
    out.attrs.update(_attrs(grid))
    return out


def _table(rows: Sequence[Sequence[Any]], head: Optional[Sequence[str]] = None) -> str:
    out: List[str] = ["<table>"]
    if head is not None:
        out.append("<tr>" + "".join("<th>%s</th>" % html.escape(str(h)) for h in head) + "</tr>")
    for row in rows:
        out.append("<tr>" + "".join("<td>%s</td>" % html.escape(_cell(v)) for v in row) + "</tr>")
    out.append("</table>")
    return "".join(out)


def _cell(value: Any) -> str:
    if isinstance(value, float):
        return "" if math.isnan(value) else "%.6g" % value
    return str(value)


def porkchop_html(grid: Any) -> str:
    """A grid's summary: its window in UTC, its options and its best cell."""
    t0 = float(grid.chaser[0])
    rows: List[Sequence[Any]] = [
        ("cells", "%d departures x %d times of flight" % grid.shape), ("model", grid.model),
        ("cost", grid.cost), ("mu (km^3/s^2)", grid.mu)]
    if grid.departures.size:
        rows.append(("departures (UTC)", "%s to %s" % (iso(t0 + grid.departures.min()),
                                                        iso(t0 + grid.departures.max()))))
    if grid.tofs.size:
        rows.append(("times of flight (s)", "%.6g to %.6g" % (grid.tofs.min(), grid.tofs.max())))
    try:
        best = grid.best()
    except ValueError as exc:
        rows.append(("best", str(exc)))
    else:
        rows += [("best departure (UTC)", iso(t0 + best.departure)), ("best time of flight (s)", best.tof),
                 ("best total delta-v (km/s)", best.dv_total), ("best revolutions", best.revolutions)]
    return "<div><strong>Porkchop</strong>%s</div>" % _table(rows)


def transfer_html(transfer: Any) -> str:
    """A transfer's figures and its burns (UTC, delta-v in ECI, RIC and VNB, km/s)."""
    rows: List[Sequence[Any]] = [("model", transfer.model), ("time of flight (s)", transfer.tof),
                                 ("revolutions", transfer.revolutions), ("total delta-v (km/s)", transfer.dv_total)]
    if transfer.miss_km is not None:
        rows.append(("miss (km)", transfer.miss_km))
    head = ("burn", "UTC", "|dv| km/s", "ECI km/s", "RIC km/s", "VNB km/s")
    burns = [(name, b.utc, b.magnitude, _triple(b.dv_eci), _triple(b.dv_ric), _triple(b.dv_vnb))
             for name, b in zip(("departure", "arrival"), transfer.burn_records())]
    return "<div><strong>Transfer</strong>%s%s</div>" % (_table(rows), _table(burns, head))


def _triple(v: Sequence[float]) -> str:
    return "(%.6f, %.6f, %.6f)" % tuple(v)


def survey_html(table: Any) -> str:
    """A survey table, one row per target."""
    columns = list(table.columns)
    return "<div><strong>Survey</strong>%s</div>" % _table([[r.get(c, "") for c in columns] for r in table],
                                                             columns)


def porkchop_png(grid: Any) -> Optional[bytes]:
    """A small picture of the grid (PNG bytes), or None when it has no arc to draw."""
    if not np.isfinite(grid.dv_total).any() or min(grid.shape) < 2:
        return None
    optional("matplotlib", "Porkchop._repr_png_()")
    from matplotlib.figure import Figure

    figure = Figure(figsize=(5.6, 4.0), dpi=80)
    grid.plot(figure.add_subplot())
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return buffer.getvalue()


class GridTables:
    """Porkchop's table and notebook methods (see the module)."""

    __slots__ = ()

    def to_xarray(self) -> Any:
        """An xarray Dataset of every field (and the status) over dims (departure, tof); the departure
        coordinate is UTC datetime64 when the grid has dates, else the offsets (s)."""
        return to_xarray(self)

    def to_pandas(self) -> Any:
        """A long-form pandas DataFrame, one row per cell (departure_s, tof_s, every field, departure_utc when
        the grid has dates)."""
        return to_pandas(self)

    def _repr_html_(self) -> str:
        return porkchop_html(self)

    def _repr_png_(self) -> Optional[bytes]:
        return porkchop_png(self)
