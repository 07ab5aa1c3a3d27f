"""What a porkchop grid gives back: the grid (``Porkchop``): its cells, the best and any transfer of it, its rows
and its files. Refinement (``_refine``), passive safety (``_safety``) and the picture (``_porkchop_plot``) are
worked out in their own modules; the transfer itself is ``_transfer.Transfer``.

The grid (``porkchop.py``), cluster (``_distributed.py``) and survey (``_survey.py``) modules import this one;
it imports none of them.
"""
from __future__ import annotations

import csv
import json
import os
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Sequence, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _files, _j2, _porkchop, _porkchop_plot, _refine, _safety, arrays
from vextal.astro._grid_common import Flight, GridSource, Offset, check_model, grid_options, iso_date
from vextal.astro._safety import Safety
from vextal.astro._state import State as State
from vextal.astro._state import StateTuple as StateTuple
from vextal.astro._state import state_tuple as state_tuple
from vextal.astro._tables import GridTables, grid_units
from vextal.astro._transfer import Transfer
from vextal.astro._transfer_out import plan_of
from vextal.astro.transfer_planner import SatBurn

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["Porkchop", "CELL_STATUS", "FIELDS"]

FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch", "status")

#: The codes of ``Porkchop.status``: why a cell holds an arc or none.
CELL_STATUS = {0: "an arc", 1: "no arc (Lambert's problem has none)", 2: "every arc comes below min_radius",
               3: "no state at the cell's epoch", 4: "no arc's shooting in the flight model converges"}


class _Slice:
    """A few consecutive samples of a table (a plain object: the native calls read a tuple as a state)."""

    __slots__ = ("epochs", "positions", "velocities")

    def __init__(self, epochs: npt.NDArray[np.float64], positions: npt.NDArray[np.float64],
                 velocities: npt.NDArray[np.float64]) -> None:
        self.epochs, self.positions, self.velocities = epochs, positions, velocities


def _own(trajectory: Any, epoch: float) -> _Slice:
    """A trajectory's own state at `epoch` as a table that holds it at its first sample."""
    epochs = np.array([epoch, epoch + 1.0])
    r, v = trajectory.states(epochs)
    return _Slice(epochs, np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64))


def _flight(flight: Sequence[Any]) -> Flight:
    """A flight model as the native calls take it, copied: ("j2", j2, radius), or a packed force model (a list
    of (name, parameters, pole))."""
    if isinstance(flight[0], str):
        return str(flight[0]), float(flight[1]), float(flight[2])
    return [(str(name), tuple(map(float, parameters)), None if pole is None else tuple(map(float, pole)))
            for name, parameters, pole in flight]


def _near(source: GridSource, epoch: float) -> GridSource:
    """A table cut to the samples around `epoch` (the interpolation there reads the same two, so the state is
    the same bits, without the whole table read for one cell); any other source as it is."""
    if not hasattr(source, "epochs"):
        return source
    k = int(np.searchsorted(source.epochs, epoch, side="right")) - 1
    part = slice(max(k - 1, 0), max(k + 3, 2))
    return _Slice(source.epochs[part], source.positions[part], source.velocities[part])


class Porkchop(GridTables):
    """A porkchop grid: `departures` (offsets after the chaser's epoch, s) by `tofs` (s), and for each cell
    the cheapest arc's `dv_departure`, `dv_arrival`, `dv_total` (km/s, NaN where no arc exists),
    `revolutions` (-1 there), `branch` and `status` (why a cell is empty: ``CELL_STATUS``). `chaser` and
    `target` are kept as 7-tuples (their states at the chaser's epoch and at the target's); `mu`, `cost`,
    `min_radius`, `arrive_at` and `depart_from` are the planning options every cell was solved with (and
    refinement and safety use). `sources` are what the grid read for the two ends (a 7-tuple, a two-body
    trajectory or a table; by default the two states): ``transfer``, ``best``, ``refine`` and ``safety`` read
    the same ones, so that they agree with the grid's cells for any trajectory. `model` is how the grid moved
    the chaser and the target ("two-body" or "j2"); `trajectories`, the two trajectories it was given (or
    None), from which refine(model="j2") reads exact states.

    A grid with a `flight` model (a J2 or force-model grid) has exact cells: each cell holds the cheapest transfer whose
    burns, flown in the model from the chaser's state, reach the target's within 1 m (status 4 where no arc
    converges); `miss` holds each cell's position miss so flown (km) and `dv_total_arc` the cost of the
    cheapest two-body Lambert arc between the same states (what a J2 grid's cells used to show). Both are
    None on a two-body grid. `two_body_sources` are the ends of the matching two-body grid (7-tuples moved
    two-body where the model moved states, else the grid's own sources)."""

    chaser: StateTuple
    target: StateTuple
    departures: npt.NDArray[np.float64]
    tofs: npt.NDArray[np.float64]
    prograde: bool
    max_revs: int
    mu: float
    cost: str
    min_radius: Optional[float]
    arrive_at: Optional[Offset]
    depart_from: Optional[Offset]
    dv_departure: npt.NDArray[np.float64]
    dv_arrival: npt.NDArray[np.float64]
    dv_total: npt.NDArray[np.float64]
    revolutions: npt.NDArray[np.int32]
    branch: npt.NDArray[np.int8]
    status: npt.NDArray[np.int8]
    safety_result: Optional[Safety]
    #: The UTC epoch of departure offset zero (s since 1950-01-01T00:00:00 UTC), when the grid knows it; plots
    #: then show dates.
    epoch: Optional[float] = None
    #: The absolute departure epochs (s since 1950-01-01T00:00:00 UTC) when the grid was given dates, else None;
    #: to_dict, to_csv and to_json then write the dates in ISO 8601 (UTC).
    departure_epochs: Optional[npt.NDArray[np.float64]] = None

    def __init__(self, chaser: State, target: State, departures: npt.ArrayLike, tofs: npt.ArrayLike,
                 prograde: bool, max_revs: int, dv_departure: npt.ArrayLike, dv_arrival: npt.ArrayLike,
                 dv_total: npt.ArrayLike, revolutions: npt.ArrayLike, branch: npt.ArrayLike,
                 status: Optional[npt.ArrayLike] = None, *, mu: SupportsFloat = _porkchop.MU_EARTH,
                 cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
                 arrive_at: Optional[Sequence[SupportsFloat]] = None,
                 depart_from: Optional[Sequence[SupportsFloat]] = None,
                 sources: Optional[Tuple[GridSource, GridSource]] = None, model: str = "two-body",
                 trajectories: Optional[Tuple[Any, Any]] = None, flight: Optional[Sequence[Any]] = None,
                 miss: Optional[npt.ArrayLike] = None, dv_total_arc: Optional[npt.ArrayLike] = None) -> None:
        self.model = check_model(model)
        self.trajectories = trajectories
        self.flight: Optional[Flight] = None if flight is None else _flight(flight)
        self.chaser = state_tuple(chaser, "chaser")
        self.target = state_tuple(target, "target")
        self.sources: Tuple[GridSource, GridSource] = (self.chaser, self.target) if sources is None else sources
        self.two_body_sources: Tuple[GridSource, GridSource] = self.sources
        self.departures = np.array(departures, dtype=np.float64)  # copies: the caller's arrays may change
        self.tofs = np.array(tofs, dtype=np.float64)
        self.prograde = bool(prograde)
        self.max_revs = int(max_revs)
        options = grid_options(mu, cost, min_radius, arrive_at, depart_from)
        self.mu, self.cost, self.min_radius = options["mu"], options["cost"], options["min_radius"]
        self.arrive_at, self.depart_from = options["arrive_at"], options["depart_from"]
        self.safety_result = None
        shape = (self.departures.size, self.tofs.size)
        if self.departures.ndim != 1 or self.tofs.ndim != 1:
            raise ValueError("departures and tofs must be one-dimensional")
        if status is None:  # grids made before the status array: an arc or none
            status = np.where(np.asarray(revolutions) >= 0, 0, 1).astype(np.int8)
        for name, values in zip(FIELDS, (dv_departure, dv_arrival, dv_total, revolutions, branch, status)):
            array = np.asarray(values)
            if array.shape != shape:
                raise ValueError("%s has shape %s, the grid is %s" % (name, array.shape, shape))
            setattr(self, name, array)
        self.miss: Optional[npt.NDArray[np.float64]] = None
        self.dv_total_arc: Optional[npt.NDArray[np.float64]] = None
        if miss is not None and dv_total_arc is not None:
            self.miss, self.dv_total_arc = np.asarray(miss), np.asarray(dv_total_arc)

    @property
    def options(self) -> Dict[str, Any]:
        """The planning keywords of the native calls (mu, cost, min_radius, arrive_at, depart_from)."""
        return {"mu": self.mu, "cost": self.cost, "min_radius": self.min_radius, "arrive_at": self.arrive_at,
                "depart_from": self.depart_from}

    @property
    def shape(self) -> Tuple[int, int]:
        """(departures, times of flight)."""
        rows, columns = self.dv_total.shape
        return rows, columns

    def __repr__(self) -> str:
        return "<Porkchop %d departures x %d times of flight, max_revs=%d, %s, model=%s>" % (
            self.shape + (self.max_revs, "prograde" if self.prograde else "retrograde", self.model))

    # ---- transfers ---------------------------------------------------------------------------------------

    def best_cell(self, safe: bool = False) -> Tuple[int, int]:
        """(departure index, time-of-flight index) of the cheapest cell (of the safe ones with `safe`);
        ValueError when there is none."""
        costs = self.dv_total
        if safe:
            if self.safety_result is None:
                raise ValueError("best(safe=True) needs safety(keep_out=...) to have run on this grid first")
            costs = np.where(self.safety_result.safe, costs, np.nan)
        if costs.size == 0 or np.isnan(costs).all():
            screened = int((self.status == 2).sum())
            raise ValueError("no %stransfer arc exists anywhere on this grid%s" % (
                "safe " if safe else "", " (%d cells have arcs only below min_radius %g km)"
                % (screened, self.min_radius if self.min_radius is not None else _porkchop.EARTH_EQUATORIAL_RADIUS)
                if screened else ""))
        i, j = np.unravel_index(np.nanargmin(costs), self.shape)
        return int(i), int(j)

    def _cell(self, departure: float, tof: float, mu: Optional[float] = None, exact: bool = True,
              slot: Optional[int] = None, own_states: bool = False) -> Tuple[Any, ...]:
        """The native cell (exact in the grid's flight model unless `exact` is False; only `slot`'s arc), on
        the grid's sources or (`own_states`, for a grid that keeps its trajectories) on the trajectories'
        own states at the two epochs."""
        options = self.options
        if mu is not None:
            options["mu"] = float(mu)
        t1 = self.chaser[0] + departure
        if own_states and self.trajectories is not None:
            sources = (_own(self.trajectories[0], t1), _own(self.trajectories[1], t1 + tof))
        else:
            sources = (_near(self.sources[0], t1), _near(self.sources[1], t1 + tof))
        return tuple(_porkchop.cell(*sources, departure, tof, self.prograde, self.max_revs, slot, **options,
                                    epoch=self.chaser[0], flight=self.flight if exact else None))

    def transfer(self, departure: SupportsFloat, tof: SupportsFloat, *, mu: Optional[SupportsFloat] = None) \
            -> Transfer:
        """The transfer leaving `departure` s after the chaser's epoch and flying `tof` s, solved by the core
        as the grid's cells are (the cheapest arc that passes the screen, with this grid's options; `mu`
        overrides the grid's) on the states the grid's sources give (a trajectory's table as the grid read
        it): the departure burn at the departure epoch, the arrival burn at the arrival epoch (matching the
        hold point's velocity when the grid has one). On a grid with exact cells it is the cell's exact
        transfer: burns shot in the flight model, with `model`, `miss_km` and `dv_total_two_body` (the
        matching two-body grid's cost there) set."""
        return self._transfer(float(departure), float(tof), None if mu is None else float(mu))

    def _transfer(self, departure: float, tof: float, mu: Optional[float], exact: bool = True) -> Transfer:
        from vextal.vector3 import Vector3

        exact = exact and self.flight is not None
        cell = self._cell(departure, tof, mu, exact, own_states=exact)
        status, revolutions, branch, r1, v_start, v1, r2, v_goal, v2 = cell[:9]
        if status != 0:
            raise ValueError("no transfer arc for departure %r s, time of flight %r s: %s"
                             % (departure, tof, CELL_STATUS.get(status, status)))
        t1 = self.chaser[0] + float(departure)
        burns = (SatBurn(t1, Vector3(*(a - b for a, b in zip(v1, v_start)))),
                 SatBurn(t1 + float(tof), Vector3(*(g - a for g, a in zip(v_goal, v2)))))
        transfer = Transfer(departure, tof, revolutions, branch, burns, self.cost)
        if exact and self.flight is not None:
            # The misses of the burns flown by the propagator at its own tolerance (the shooting's is looser),
            # in the model the cells flew: J2, or the force model with the pole it was packed with.
            if isinstance(self.flight, tuple):
                rf, vf = arrays.propagate_j2(r1, v1, tof, mu=self.mu, j2=self.flight[1], radius=self.flight[2],
                                             errors="raise", threads=1)
            else:
                rf, vf = arrays._propagate_model(r1, v1, tof, self.flight, errors="raise", threads=1)
            transfer.model = _j2.label(self.model)  # a force model by its repr, as tables name it
            transfer.miss_km = float(np.linalg.norm(np.asarray(rf) - r2))
            transfer.miss_kms = float(np.linalg.norm(np.asarray(vf) - v2))
            transfer.dv_total_two_body = _refine._cost(self, float(departure), float(tof), two_body=True)
            from vextal.astro import forces

            if isinstance(self.flight, tuple):
                flight, pole_of_date = forces.Model([forces.J2(self.mu, self.flight[1], self.flight[2])]), False
            else:  # the force model, about the pole of date when the cells flew about one
                flight = forces.as_model(self.model)
                pole_of_date = any(pole is not None for _name, _parameters, pole in self.flight)
            transfer._plan = plan_of(self, "j2", self.trajectories, {"mu": self.mu}, forces=flight,
                                     pole_of_date=pole_of_date)
        else:
            transfer._plan = plan_of(self, mu=None if mu is None else float(mu))
        return transfer

    def best(self, safe: bool = False) -> Transfer:
        """The cheapest cell of the grid as a Transfer; with `safe`, the cheapest cell that ``safety()`` found
        safe. ValueError when there is no such cell."""
        i, j = self.best_cell(safe)
        return self.transfer(self.departures[i], self.tofs[j])

    def refine(self, candidates: int = 1, *, mu: Optional[SupportsFloat] = None,
               model: Optional[str] = None) -> Transfer:
        """A local minimum of the cost over departure and time of flight anywhere in the grid's window, as a
        Transfer, from the best cell (with `candidates` > 1 also from the best cell of each of the next
        cheapest revolution counts; the cheapest result wins): a Nelder-Mead search (scipy.optimize) of the
        start cell's arc, bounded by the window. `at_window_edge` says whether the optimum lies on the
        window's boundary (a cheaper transfer may then lie outside it).

        `model` (default: the grid's) says how the arcs fly. "two-body": two-body Lambert arcs between the
        grid's states with the grid's options (`mu` overrides the grid's); never worse than best() (under the
        same mu). "j2" on a grid with exact cells (porkchop(model="j2")): the exact cost, each point shot in
        the grid's flight model as its cells are (hold points, departure points and intercepts included); the
        Transfer's burns, flown under J2 from the chaser's state, land within 1 m, and it reports miss_km,
        miss_kms and dv_total_two_body. "j2" on a grid of two-body arcs: a rendezvous corrected by shooting
        under J2 near the start cells (within the neighbouring grid lines), from the chaser's J2 state to the
        target's; a correction that converges from no start, or only to arcs below min_radius, raises
        RuntimeError. A force model (vextal.astro.forces) likewise: on a grid of exact cells in that model the
        window-wide exact search, else the correction near the start cells."""
        return _refine.refine(self, candidates, mu=mu, model=model)

    # ---- passive safety ----------------------------------------------------------------------------------

    def safety(self, keep_out: SupportsFloat, orbits: SupportsFloat = 3.0, *, best: Optional[int] = None,
               threads: Optional[int] = None) -> Safety:
        """Passive safety of the grid's arcs, computed natively on every core: for each cell with an arc (or
        the `best` cheapest), the least distance from the target along the transfer arc and along the free
        drift after a missed arrival burn for `orbits` periods of the target's orbit. A cell is safe when
        both stay at or above `keep_out` km. Without a hold point (`arrive_at`) an arc ends at the target
        itself and is never safe. Kept on the grid for ``best(safe=True)``; returns the Safety."""
        self.safety_result = _safety.safety(self, keep_out, orbits, best=best, threads=threads)
        return self.safety_result

    # ---- output ------------------------------------------------------------------------------------------

    def plot(self, ax: Optional[Axes] = None, *, which: str = "total", axes: str = "tof",
             levels: Union[None, int, Sequence[float], npt.NDArray[np.float64]] = None, vmax: Optional[float] = None,
             cmap: str = "viridis", optimum: Optional[Transfer] = None, title: Optional[str] = None,
             epoch: Optional[float] = None, overlay: bool = True) -> Figure:
        """The porkchop picture; returns the figure (a new 7 x 5 inch one unless `ax` is given).

        Filled contours of `which` ("total", "departure" or "arrival" delta-v in km/s, or "c3", the departure
        v-infinity squared in km^2/s^2) over departure (x) and time of flight (y), or with axes="arrival" over
        departure and arrival epoch (with lines of equal time of flight). The colours run on a logarithmic scale
        from the least value to `vmax` (default: chosen from the cheap end, four times the optimum or the
        cheapest tenth's value when higher; dearer cells grey) in `levels` bands (a count, default 20, or the
        boundaries themselves); the colour bar's ticks and the labelled contour lines sit at round values, and
        labels that would overlap are dropped. Also drawn: the borders between revolution counts, lines of
        equal arrival epoch, the 180-degree transfer ridge (where the transfer plane is undefined), the optimum
        (best() unless a Transfer is given; for which != "total" the cell least in that quantity) with a box
        giving its value, departure date, time of flight, revolutions and model, a flag when it lies on the
        window's edge, and, once safety() has run, the safe cells and the cheapest of them. With which="c3" and
        `overlay`, lines of equal arrival v-infinity too. The title names the model (and the objects, when the
        grid was given named trajectories). NaN cells stay blank. `epoch`: the UTC epoch of departure offset
        zero in seconds since 1950-01-01T00:00:00 UTC (86400 s per day); with it (or the grid's own `epoch`)
        the time axes show dates."""
        return _porkchop_plot.plot(self, ax, which=which, axes=axes, levels=levels, vmax=vmax, cmap=cmap,
                                   optimum=optimum, title=title, epoch=epoch, overlay=overlay)

    def rows(self) -> Iterator[Tuple[float, float, float, float, float, int, int, int]]:
        """One (departure, tof, dv_departure, dv_arrival, dv_total, revolutions, branch, status) tuple per
        cell."""
        for i, departure in enumerate(self.departures):
            for j, tof in enumerate(self.tofs):
                yield (float(departure), float(tof), float(self.dv_departure[i, j]), float(self.dv_arrival[i, j]),
                       float(self.dv_total[i, j]), int(self.revolutions[i, j]), int(self.branch[i, j]),
                       int(self.status[i, j]))

    def _departure_dates(self) -> Optional[List[str]]:
        """The departure epochs in ISO 8601 (UTC, to the microsecond) when the grid was given dates."""
        if self.departure_epochs is None:
            return None
        return [iso_date(e) for e in self.departure_epochs]

    def to_csv(self, path: Union[str, os.PathLike[str]]) -> None:
        """One line per cell: departure_s, tof_s, dv_departure, dv_arrival, dv_total (km/s; empty where no arc
        exists), revolutions, branch, status, then departure_utc (ISO 8601) for a grid given dates, and model
        (the grid's: two-body or j2).
        The file is replaced whole or not at all: a write that fails (a full disk, Ctrl-C) leaves the old file
        as it was."""
        dates = self._departure_dates()

        def write(handle: Any) -> None:
            writer = csv.writer(handle)
            writer.writerow(["departure_s", "tof_s", "dv_departure_km_s", "dv_arrival_km_s", "dv_total_km_s",
                             "revolutions", "branch", "status"] + (["departure_utc"] if dates else []) + ["model"])
            columns = max(self.tofs.size, 1)
            for k, row in enumerate(self.rows()):
                writer.writerow(["" if v != v else v for v in row] + ([dates[k // columns]] if dates else [])
                                + [self.model])

        _files.replace(path, write)

    def to_dict(self) -> Dict[str, Any]:
        """The grid as plain data; NaN cells are None. A grid given dates adds ``epoch`` (departure offset zero)
        and ``departure_dates`` in ISO 8601 (UTC)."""
        def grid(array: npt.NDArray[Any]) -> List[List[Any]]:
            return [[None if v != v else v for v in row] for row in array.tolist()]

        data = {"chaser": list(self.chaser), "target": list(self.target), "prograde": self.prograde,
                "max_revs": self.max_revs, **self.options, "model": self.model,
                "departures": self.departures.tolist(),
                "tofs": self.tofs.tolist(),
                **{name: grid(getattr(self, name)) for name in FIELDS}}
        data["epoch_utc"] = iso_date(self.chaser[0])  # of departure offset zero
        data["units"] = grid_units()
        dates = self._departure_dates()
        if dates is not None:  # given dates: offset zero and every departure as UTC dates as well
            data["epoch"] = iso_date(self.chaser[0] if self.epoch is None else self.epoch)
            data["departure_dates"] = dates
        return data

    def to_json(self, path: Union[str, os.PathLike[str]]) -> None:
        """The grid as JSON (``to_dict()``), written whole or not at all as by to_csv."""
        data = self.to_dict()
        _files.replace(path, lambda handle: json.dump(data, handle))
