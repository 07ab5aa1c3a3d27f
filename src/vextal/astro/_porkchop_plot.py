"""The porkchop picture (matplotlib), as a mission analyst reads one: ``Porkchop.plot`` draws through ``plot``.

Filled contours of the chosen quantity on a logarithmic colour scale (fine steps near the optimum, coarse ones
where the cost is high), labelled contour lines over them, the borders between revolution counts, lines of
equal arrival epoch (or of equal time of flight on departure x arrival axes), the 180-degree transfer ridge,
and the optimum marked inside the view. Epoch numbers are seconds since 1950-01-01T00:00:00 UTC, 86400 s per
day; given one for departure offset zero, the time axes show dates.
"""
from __future__ import annotations

import datetime
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro._grid_common import source_states
from vextal.astro._optional import optional

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from vextal.astro._porkchop_results import Porkchop
    from vextal.astro._transfer import Transfer

#: which= : (colour bar label, unit) of each quantity the plot can show.
QUANTITIES = {"total": ("total delta-v", "km/s"), "departure": ("departure delta-v", "km/s"),
              "arrival": ("arrival delta-v", "km/s"), "c3": ("C3, departure v-infinity squared", "km²/s²")}
AXES = ("tof", "arrival")
DEFAULT_LEVELS = 20
DEFAULT_VMAX_PERCENTILE = 95.0  # cells dearer than this share of the window take the "over" colour
EPOCH_1950 = datetime.datetime(1950, 1, 1)
DATE_TICKS = 7  # the most labelled dates on a time axis
Levels = Union[None, int, Sequence[float], npt.NDArray[np.float64]]


def time_unit(seconds: npt.NDArray[np.float64]) -> Tuple[float, str]:
    """Hours for spans up to three days, days beyond."""
    span = float(np.max(seconds) - np.min(seconds)) if seconds.size else 0.0
    return (86400.0, "days") if span > 3 * 86400.0 else (3600.0, "hours")


def quantity(grid: Porkchop, which: str) -> npt.NDArray[np.float64]:
    """The grid's values of `which` (NaN where no arc exists)."""
    if which == "c3":
        return np.asarray(grid.dv_departure ** 2, dtype=np.float64)
    fields = {"total": grid.dv_total, "departure": grid.dv_departure, "arrival": grid.dv_arrival}
    return np.asarray(fields[which], dtype=np.float64)


def transfer_value(transfer: Transfer, which: str) -> float:
    if which == "c3":
        return float(transfer.dv_departure ** 2)
    return float(getattr(transfer, "dv_" + which))


def colour_levels(values: npt.NDArray[np.float64], levels: Levels, vmax: Optional[float]) -> npt.NDArray[np.float64]:
    """The filled-contour boundaries: the given sequence, or `levels` (default 20) boundaries spaced
    logarithmically from the least value to `vmax` (default: the 95th percentile of the grid's values)."""
    if levels is not None and not isinstance(levels, (int, np.integer)):
        chosen = np.unique(np.asarray(levels, dtype=np.float64))
        if chosen.size < 2 or not np.isfinite(chosen).all():
            raise ValueError("levels must hold at least two finite values")
        return chosen
    count = DEFAULT_LEVELS if levels is None else int(levels)
    if count < 2:
        raise ValueError("levels must be at least 2, got %d" % count)
    low = float(np.nanmin(values))
    high = float(np.nanpercentile(values, DEFAULT_VMAX_PERCENTILE)) if vmax is None else float(vmax)
    if not np.isfinite(high):
        raise ValueError("vmax must be finite")
    if high <= low:
        if vmax is not None:
            raise ValueError("vmax %g is not above the least value on the grid, %g" % (high, low))
        high = low * 1.001 + 1e-9  # a flat grid: one band
    return np.geomspace(low, high, count) if low > 0 else np.linspace(low, high, count)


def positions(grid: Porkchop) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The chaser's positions at the departures (rows, 3) and the target's at every cell's arrival
    (rows, columns, 3), from the grid's sources (NaN where a two-body state cannot be moved)."""
    t0 = grid.chaser[0]
    r1, _ = source_states(grid.sources[0], t0, grid.departures, mu=grid.mu, errors="nan")
    r2, _ = source_states(grid.sources[1], (t0 + grid.departures)[:, None] + grid.tofs[None, :], mu=grid.mu,
                          errors="nan")
    return r1, r2


def ridge_function(grid: Porkchop) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(sin, cos) of the angle from the chaser's position at departure to the target's at arrival, the sine
    signed by the z component of r1 x r2 (the side the Lambert solver's direction test reads). The transfer
    angle passes 180 degrees where the sine changes sign while the cosine is negative."""
    r1, r2 = positions(grid)  # from what the grid read: a table's states, not a two-body guess
    r1 = np.broadcast_to(r1[:, None, :], r2.shape)
    lengths = np.linalg.norm(r1, axis=-1) * np.linalg.norm(r2, axis=-1)
    sine = np.cross(r1, r2)[..., 2] / lengths
    cosine = np.einsum("...k,...k->...", r1, r2) / lengths
    return sine, cosine


def nice_values(low: float, high: float, count: int = 6) -> List[float]:
    """About `count` round numbers inside [low, high]."""
    ticker: Any = optional("matplotlib.ticker", "Porkchop.plot()")
    return [float(v) for v in ticker.MaxNLocator(count).tick_values(low, high) if low <= v <= high]


def format_offset(seconds: float, unit: Tuple[float, str]) -> str:
    return "%+g %s" % (round(seconds / unit[0], 6), unit[1][0])


def plot(grid: Porkchop, ax: Optional[Axes] = None, *, which: str = "total", axes: str = "tof",
         levels: Levels = None, vmax: Optional[float] = None, cmap: str = "viridis",
         optimum: Optional[Transfer] = None, title: Optional[str] = None, epoch: Optional[float] = None) -> Figure:
    """Draws the grid; see ``Porkchop.plot``."""
    plt: Any = optional("matplotlib.pyplot", "Porkchop.plot()")
    lines_module: Any = optional("matplotlib.lines", "Porkchop.plot()")
    if which not in QUANTITIES:
        raise ValueError("which must be one of %s, not %r" % (", ".join(map(repr, QUANTITIES)), which))
    if axes not in AXES:
        raise ValueError("axes must be 'tof' or 'arrival', not %r" % (axes,))
    if grid.departures.size < 2 or grid.tofs.size < 2:
        raise ValueError("a porkchop plot needs at least two departures and two times of flight")
    values = quantity(grid, which)
    if np.isnan(values).all():
        raise ValueError("no transfer arc exists anywhere on this grid: nothing to plot")
    if epoch is None:
        epoch = grid.epoch
    if epoch is not None and not np.isfinite(epoch):
        raise ValueError("epoch must be a finite number of seconds since 1950-01-01T00:00:00 UTC")
    if optimum is None:
        if which == "total":
            optimum = grid.best()
        else:
            i, j = np.unravel_index(np.nanargmin(values), values.shape)
            optimum = grid.transfer(grid.departures[i], grid.tofs[j])
    if ax is None:
        fig: Any = plt.figure(figsize=(7.0, 5.0), layout="constrained")
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    plot_ax: Any = ax

    # Coordinates: offsets (s) -> plot units (hours or days, or matplotlib date numbers).
    departures, tofs = grid.departures, grid.tofs
    arrivals = departures[:, None] + tofs[None, :]
    x_unit = time_unit(np.concatenate([departures, arrivals.ravel()]) if axes == "arrival" else departures)
    y_unit = x_unit if axes == "arrival" else time_unit(tofs)
    dates: Any = optional("matplotlib.dates", "Porkchop.plot()")
    if epoch is not None:
        base = float(dates.date2num(EPOCH_1950)) + epoch / 86400.0
        to_x: Callable[[Any], Any] = lambda s: base + np.asarray(s) / 86400.0  # noqa: E731
    else:
        to_x = lambda s: np.asarray(s) / x_unit[0]  # noqa: E731
    to_y: Callable[[Any], Any] = to_x if axes == "arrival" else (lambda s: np.asarray(s) / y_unit[0])
    x = to_x(np.broadcast_to(departures[:, None], arrivals.shape))
    y = to_y(arrivals if axes == "arrival" else np.broadcast_to(tofs[None, :], arrivals.shape))

    # The quantity: filled bands on a logarithmic scale, every other boundary drawn and labelled.
    label, unit = QUANTITIES[which]
    masked = np.ma.masked_invalid(values)
    boundaries = colour_levels(values, levels, vmax)
    colours = plt.get_cmap(cmap).with_extremes(over="#d9d9d9")  # dear cells recede into grey
    filled = plot_ax.contourf(x, y, masked, levels=boundaries, cmap=colours, extend="max")
    fig.colorbar(filled, ax=plot_ax, label="%s (%s)" % (label, unit), format="%.3g")
    contours = plot_ax.contour(x, y, masked, levels=boundaries[::2], colors="0.15", linewidths=0.6, alpha=0.8)
    plot_ax.clabel(contours, fmt="%.3g", fontsize=7, inline=True)
    handles: List[Any] = []

    # Borders between revolution counts (cells without an arc belong to no region).
    counts = np.unique(grid.revolutions[grid.revolutions >= 0])
    if counts.size > 1:
        revolutions = np.ma.masked_less(grid.revolutions.astype(np.float64), 0)
        steps = [float(n) + 0.5 for n in range(int(counts.min()), int(counts.max()))]
        borders = plot_ax.contour(x, y, revolutions, levels=steps, colors="black", linewidths=1.6)
        plot_ax.clabel(borders, fmt={s: "%d|%d rev" % (s - 0.5, s + 0.5) for s in steps}, fontsize=7)
        handles.append(lines_module.Line2D([], [], color="black", linewidth=1.6, label="revolution-count border"))

    # Cells whose every arc comes below the grid's radius floor (status 2): hatched, so that such a gap is not
    # read as geometry without an arc.
    screened = grid.status == 2
    if screened.any():
        plot_ax.contourf(x, y, screened.astype(np.float64), levels=[0.5, 1.5], colors="none", hatches=["////"])
        patches: Any = optional("matplotlib.patches", "Porkchop.plot()")
        handles.append(patches.Patch(facecolor="none", edgecolor="0.3", hatch="////", label="below min radius"))

    # The 180-degree ridge: there the transfer plane is undefined and the cost spikes.
    sine, cosine = ridge_function(grid)
    ridge = plot_ax.contour(x, y, np.ma.masked_where(~(cosine < 0), sine), levels=[0.0], colors="red",
                            linewidths=1.2, linestyles="--")
    if any(len(segment) for segment in ridge.allsegs[0]):
        handles.append(lines_module.Line2D([], [], color="red", linewidth=1.2, linestyle="--",
                                           label="180-degree transfer ridge"))

    # Lines of equal arrival epoch (departure x time of flight), or of equal time of flight (departure x arrival).
    d0, d1, t0, t1 = float(departures.min()), float(departures.max()), float(tofs.min()), float(tofs.max())
    if axes == "tof":
        guides = [a * x_unit[0] for a in nice_values((d0 + t0) / x_unit[0], (d1 + t1) / x_unit[0])]
        for a in guides:
            low, high = max(d0, a - t1), min(d1, a - t0)  # departures whose arrival a lies in the window
            if high > low:
                plot_ax.plot(to_x([low, high]), to_y([a - low, a - high]), color="white", linestyle=":",
                             linewidth=0.9)
                text = (dates.num2date(to_x(a)).strftime("%Y-%m-%d %H:%M") if epoch is not None
                        else format_offset(a, x_unit))
                plot_ax.annotate("arr. " + text, (to_x(0.5 * (low + high)), to_y(a - 0.5 * (low + high))),
                                 color="white", fontsize=6, ha="center", va="center")
        handles.append(lines_module.Line2D([], [], color="white", linestyle=":", label="arrival epoch"))
    else:
        for t in [v * y_unit[0] for v in nice_values(t0 / y_unit[0], t1 / y_unit[0])]:
            plot_ax.plot(to_x([d0, d1]), to_y([d0 + t, d1 + t]), color="white", linestyle=":", linewidth=0.9)
            plot_ax.annotate("tof %s" % format_offset(t, time_unit(tofs)).lstrip("+"),
                             (to_x(0.5 * (d0 + d1)), to_y(0.5 * (d0 + d1) + t)), color="white", fontsize=6,
                             ha="center", va="center")
        handles.append(lines_module.Line2D([], [], color="white", linestyle=":", label="time of flight"))

    # The optimum, inside the view: the limits grow where the marker would touch an edge.
    ox = float(to_x(optimum.departure))
    oy = float(to_y(optimum.departure + optimum.tof if axes == "arrival" else optimum.tof))
    limits = []
    for low, high, value in ((float(x.min()), float(x.max()), ox), (float(y.min()), float(y.max()), oy)):
        pad = 0.05 * (high - low)
        limits.append((min(low, value - pad) if value - low < pad else low,
                       max(high, value + pad) if high - value < pad else high))
    plot_ax.set_xlim(*limits[0])
    plot_ax.set_ylim(*limits[1])
    plot_ax.plot(ox, oy, marker="*", color="red", markersize=16, markeredgecolor="black", linestyle="none",
                 label="optimum", zorder=5)
    handles.insert(0, lines_module.Line2D([], [], marker="*", color="red", markersize=10, markeredgecolor="black",
                                          linestyle="none", label="optimum"))
    # The label goes on the side of the marker facing the middle of the plot, so it stays inside.
    offset = (10 if ox <= 0.5 * sum(limits[0]) else -10, 10 if oy <= 0.5 * sum(limits[1]) else -10)
    shown = transfer_value(optimum, which)
    plot_ax.annotate("%.4g %s\n%d rev" % (shown, unit, optimum.revolutions), (ox, oy), xytext=offset,
                     ha="left" if offset[0] > 0 else "right", va="bottom" if offset[1] > 0 else "top",
                     textcoords="offset points", color="white", fontsize=9,
                     bbox={"boxstyle": "round", "fc": "black", "alpha": 0.6})

    if epoch is not None:
        # At most seven date ticks: the default locator puts up to a dozen hourly labels side by side, and in
        # a plot of the default width they run into each other.
        locator = dates.AutoDateLocator(minticks=3, maxticks=DATE_TICKS)
        plot_ax.xaxis.set_major_locator(locator)
        plot_ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
        plot_ax.set_xlabel("departure date (UTC)")
        if axes == "arrival":
            locator = dates.AutoDateLocator(minticks=3, maxticks=DATE_TICKS)
            plot_ax.yaxis.set_major_locator(locator)
            plot_ax.yaxis.set_major_formatter(dates.ConciseDateFormatter(locator))
    else:
        plot_ax.set_xlabel("departure after chaser epoch (%s)" % x_unit[1])
    if axes == "arrival":
        plot_ax.set_ylabel("arrival date (UTC)" if epoch is not None else "arrival after chaser epoch (%s)"
                           % y_unit[1])
    else:
        plot_ax.set_ylabel("time of flight (%s)" % y_unit[1])
    # Below the axes, where it hides nothing; grey, so that the white guide lines show in it.
    plot_ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.12),
                   ncol=len(handles) if len(handles) <= 4 else -(-len(handles) // 2), fontsize=7,
                   facecolor="0.75", framealpha=1.0)
    plot_ax.set_title(title if title is not None else "Porkchop: %s, up to %d revolution%s, %s"
                      % (label.split(",")[0], grid.max_revs, "" if grid.max_revs == 1 else "s",
                         "prograde" if grid.prograde else "retrograde"))
    result: Figure = fig
    return result

