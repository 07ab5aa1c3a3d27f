"""The porkchop picture (matplotlib), as a mission analyst reads one: ``Porkchop.plot`` draws through ``plot``.

Filled contours of the chosen quantity on a logarithmic colour scale (fine steps near the optimum, coarse ones
where the cost is high), labelled contour lines over them, the borders between revolution counts, lines of
equal arrival epoch (or of equal time of flight on departure x arrival axes), the 180-degree transfer ridge,
and the optimum marked inside the view. Epoch numbers are seconds since 1950-01-01T00:00:00 UTC, 86400 s per
day; given one for departure offset zero, the time axes show dates.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro._grid_common import Grid, source_states
from vextal.astro._optional import optional
from vextal.astro.time import EPOCH_ORIGIN

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from vextal.astro._transfer import Transfer

#: which= : (colour bar label, unit) of each quantity the plot can show.
QUANTITIES = {"total": ("total delta-v", "km/s"), "departure": ("departure delta-v", "km/s"),
              "arrival": ("arrival delta-v", "km/s"), "c3": ("C3, departure v-infinity squared", "km²/s²")}
AXES = ("tof", "arrival")
DEFAULT_LEVELS = 20
#: The default colour limit: this multiple of the optimum, or the cost of the cheapest tenth of the window when
#: that is higher (so that a sharp optimum still colours a region), never above the dearest cell. Cells dearer
#: than the limit take the "over" colour: the picture resolves the cheap end, where a plan is chosen.
CHEAP_MULTIPLE = 4.0
CHEAP_PERCENTILE = 10.0
LABEL_SIZE = 8  # points: readable at 100 dpi
DATE_TICKS = 7  # the most labelled dates on a time axis
Levels = Union[None, int, Sequence[float], npt.NDArray[np.float64]]


def time_unit(seconds: npt.NDArray[np.float64]) -> Tuple[float, str]:
    """Hours for spans up to three days, days beyond."""
    span = float(np.max(seconds) - np.min(seconds)) if seconds.size else 0.0
    return (86400.0, "days") if span > 3 * 86400.0 else (3600.0, "hours")


def quantity(grid: Grid, which: str) -> npt.NDArray[np.float64]:
    """The grid's values of `which` (NaN where no arc exists)."""
    if which == "c3":
        return np.asarray(grid.dv_departure ** 2, dtype=np.float64)
    fields = {"total": grid.dv_total, "departure": grid.dv_departure, "arrival": grid.dv_arrival}
    return np.asarray(fields[which], dtype=np.float64)


def transfer_value(transfer: Transfer, which: str) -> float:
    if which == "c3":
        return float(transfer.dv_departure ** 2)
    return float(getattr(transfer, "dv_" + which))


def default_vmax(values: npt.NDArray[np.float64]) -> float:
    """The colour limit chosen from the cheap end (see CHEAP_MULTIPLE)."""
    low = float(np.nanmin(values))
    cheap = max(CHEAP_MULTIPLE * low, float(np.nanpercentile(values, CHEAP_PERCENTILE)))
    return min(cheap, float(np.nanmax(values)))


def round_ticks(low: float, high: float, least: int = 4) -> List[float]:
    """Round values (1, 2 and 5 times a power of ten; more mantissas when that gives fewer than `least`)
    within [low, high], ascending."""
    if not (high > low and np.isfinite(low) and np.isfinite(high)):
        return [float(low)] if np.isfinite(low) else []
    if low <= 0:  # a linear scale: matplotlib's round steps, without the sums' last-digit noise
        return [float("%.12g" % v) for v in nice_values(low, high, 6)]
    ticks: List[float] = []
    for mantissas in ((1, 2, 5), (1, 1.5, 2, 3, 5, 7), tuple(range(1, 10))):
        ticks = []
        for power in range(int(np.floor(np.log10(low))), int(np.ceil(np.log10(high))) + 1):
            for m in mantissas:
                value = float("%.12g" % (m * 10.0 ** power))
                if low <= value <= high:
                    ticks.append(value)
        if len(ticks) >= least:
            break
    return sorted(ticks)


def colour_levels(values: npt.NDArray[np.float64], levels: Levels, vmax: Optional[float]) -> npt.NDArray[np.float64]:
    """The filled-contour boundaries: the given sequence, or `levels` (default 20) boundaries spaced
    logarithmically from the least value to `vmax` (default: ``default_vmax``, from the cheap end)."""
    if levels is not None and not isinstance(levels, (int, np.integer)):
        chosen = np.unique(np.asarray(levels, dtype=np.float64))
        if chosen.size < 2 or not np.isfinite(chosen).all():
            raise ValueError("levels must hold at least two finite values")
        return chosen
    count = DEFAULT_LEVELS if levels is None else int(levels)
    if count < 2:
        raise ValueError("levels must be at least 2, got %d" % count)
    low = float(np.nanmin(values))
    high = default_vmax(values) if vmax is None else float(vmax)
    if not np.isfinite(high):
        raise ValueError("vmax must be finite")
    if high <= low:
        if vmax is not None:
            raise ValueError("vmax %g is not above the least value on the grid, %g" % (high, low))
        high = low * 1.001 + 1e-9  # a flat grid: one band
    return np.geomspace(low, high, count) if low > 0 else np.linspace(low, high, count)


def positions(grid: Grid) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The chaser's positions at the departures (rows, 3) and the target's at every cell's arrival
    (rows, columns, 3), from the grid's sources (NaN where a two-body state cannot be moved)."""
    t0 = grid.chaser[0]
    r1, _ = source_states(grid.sources[0], t0, grid.departures, mu=grid.mu, errors="nan")
    r2, _ = source_states(grid.sources[1], (t0 + grid.departures)[:, None] + grid.tofs[None, :], mu=grid.mu,
                          errors="nan")
    return r1, r2


def ridge_function(grid: Grid) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
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


def halo(width: float = 2.5) -> List[Any]:
    """A white outline behind dark text: readable on any colour."""
    effects: Any = optional("matplotlib.patheffects", "Porkchop.plot()")
    return [effects.withStroke(linewidth=width, foreground="white")]


def thin_labels(fig: Any, texts: Sequence[Any], keep: Sequence[Any] = ()) -> List[Any]:
    """Removes texts that overlap an earlier one (or one of `keep`); returns those kept. Extents are those of
    the figure laid out at its size now (the same at any dpi: text and figure scale together); without a
    renderer (a backend that has none) nothing is removed."""
    try:
        # The layout (constrained) settles where the labels go (matplotlib before 3.6: a full draw).
        (getattr(fig, "draw_without_rendering", None) or fig.canvas.draw)()
        renderer = fig.canvas.get_renderer()
    except AttributeError:
        return list(texts)
    taken = [t.get_window_extent(renderer) for t in keep]
    kept = []
    for text in texts:
        box = text.get_window_extent(renderer)
        if any(box.overlaps(other) for other in taken):
            text.remove()
            continue
        taken.append(box)
        kept.append(text)
    return kept


def on_edge(grid: Grid, transfer: Transfer) -> bool:
    """Whether the transfer lies on the window's edge (a departure or time of flight on the outermost grid
    line of an axis with more than one), where the cheapest transfer may lie outside the window."""
    flag = getattr(transfer, "at_window_edge", None)
    if flag is not None:
        return bool(flag)
    edge = False
    for values, x in ((grid.departures, transfer.departure), (grid.tofs, transfer.tof)):
        if values.size > 1:
            tolerance = 1e-9 * max(float(np.ptp(values)), 1.0)
            edge |= x <= float(values.min()) + tolerance or x >= float(values.max()) - tolerance
    return bool(edge)


def names(grid: Grid) -> Tuple[Optional[str], Optional[str]]:
    """The chaser's and the target's names where the grid was given named trajectories."""
    pair = grid.trajectories or (None, None)
    out = []
    for kind in pair:
        name = getattr(kind, "name", None)
        out.append(name.strip() if isinstance(name, str) and name.strip() else None)
    return out[0], out[1]


def optimum_text(grid: Grid, transfer: Transfer, which: str, epoch: Optional[float]) -> str:
    """The optimum's box: the plotted value, departure (UTC date, or offset), time of flight, revolutions and
    the model the transfer was planned in."""
    from vextal.astro import time

    label, unit = QUANTITIES[which]
    lines = ["%.4g %s" % (transfer_value(transfer, which), unit)]
    if epoch is not None:
        lines.append("departs %s UTC" % time.to_datetime(epoch + transfer.departure).strftime("%Y-%m-%d %H:%M:%S"))
    else:
        lines.append("departs %s" % format_offset(transfer.departure, time_unit(np.array([transfer.departure]))))
    tof = transfer.tof
    lines.append("flies %s" % ("%.4g h" % (tof / 3600.0) if tof < 3 * 86400.0 else "%.4g d" % (tof / 86400.0)))
    model = getattr(transfer, "model", grid.model)  # an optimum of the caller's may not say
    lines.append("%d rev, %s model" % (transfer.revolutions, model))
    if model != grid.model:
        lines.append("(colours: %s grid)" % grid.model)
    return "\n".join(lines)


def plot(grid: Grid, ax: Optional[Axes] = None, *, which: str = "total", axes: str = "tof",
         levels: Levels = None, vmax: Optional[float] = None, cmap: str = "viridis",
         optimum: Optional[Transfer] = None, title: Optional[str] = None, epoch: Optional[float] = None,
         overlay: bool = True) -> Figure:
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
        base = float(dates.date2num(EPOCH_ORIGIN)) + epoch / 86400.0
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
    ticks = round_ticks(float(boundaries[0]), float(boundaries[-1]))
    bar = fig.colorbar(filled, ax=plot_ax, label="%s (%s)" % (label, unit), ticks=ticks or None)
    if ticks:
        bar.ax.set_yticklabels(["%g" % t for t in ticks])
        bar.ax.minorticks_off()
    # Lines at the round values, labelled in dark text on a white halo; labels that would overlap are dropped
    # once the figure's layout is known (below).
    line_levels = ticks if len(ticks) >= 2 else list(boundaries[::2])
    contours = plot_ax.contour(x, y, masked, levels=line_levels, colors="0.15", linewidths=0.6, alpha=0.8)
    value_labels = list(plot_ax.clabel(contours, fmt="%g", fontsize=LABEL_SIZE, inline=True))
    for text in value_labels:
        text.set_path_effects(halo())
    handles: List[Any] = []
    border_labels: List[Any] = []
    if which == "c3" and overlay:  # a launch picture: the arrival v-infinity as well
        arrival = np.ma.masked_invalid(np.asarray(grid.dv_arrival, dtype=np.float64))
        v_levels = round_ticks(float(np.nanmin(grid.dv_arrival)),
                               min(default_vmax(np.asarray(grid.dv_arrival, dtype=np.float64)),
                                   float(np.nanmax(grid.dv_arrival))))
        if len(v_levels) >= 2:
            v_lines = plot_ax.contour(x, y, arrival, levels=v_levels, colors="tab:orange", linewidths=1.0,
                                      linestyles="-.")
            for text in plot_ax.clabel(v_lines, fmt="%g km/s", fontsize=LABEL_SIZE - 1, inline=True):
                text.set_path_effects(halo())
                text.set_gid("vinf-label")
                value_labels.append(text)
            handles.append(lines_module.Line2D([], [], color="tab:orange", linestyle="-.",
                                               label="arrival v-infinity (km/s)"))

    # Borders between revolution counts (cells without an arc belong to no region).
    counts = np.unique(grid.revolutions[grid.revolutions >= 0])
    if counts.size > 1:
        revolutions = np.ma.masked_less(grid.revolutions.astype(np.float64), 0)
        steps = [float(n) + 0.5 for n in range(int(counts.min()), int(counts.max()))]
        borders = plot_ax.contour(x, y, revolutions, levels=steps, colors="black", linewidths=1.6)
        for text in plot_ax.clabel(borders, fmt={s: "%d|%d rev" % (s - 0.5, s + 0.5) for s in steps},
                                   fontsize=LABEL_SIZE):
            text.set_path_effects(halo())
            border_labels.append(text)
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
    guide_labels: List[Any] = []
    if axes == "tof":
        guides = [a * x_unit[0] for a in nice_values((d0 + t0) / x_unit[0], (d1 + t1) / x_unit[0])]
        for a in guides:
            low, high = max(d0, a - t1), min(d1, a - t0)  # departures whose arrival a lies in the window
            if high > low:
                plot_ax.plot(to_x([low, high]), to_y([a - low, a - high]), color="white", linestyle=":",
                             linewidth=0.9)
                text = (dates.num2date(to_x(a)).strftime("%Y-%m-%d %H:%M") if epoch is not None
                        else format_offset(a, x_unit))
                guide_labels.append(plot_ax.annotate(
                    "arr. " + text, (to_x(0.5 * (low + high)), to_y(a - 0.5 * (low + high))), color="0.1",
                    fontsize=LABEL_SIZE - 1, ha="center", va="center", path_effects=halo()))
        handles.append(lines_module.Line2D([], [], color="white", linestyle=":", label="arrival epoch"))
    else:
        for t in [v * y_unit[0] for v in nice_values(t0 / y_unit[0], t1 / y_unit[0])]:
            plot_ax.plot(to_x([d0, d1]), to_y([d0 + t, d1 + t]), color="white", linestyle=":", linewidth=0.9)
            guide_labels.append(plot_ax.annotate(
                "tof %s" % format_offset(t, time_unit(tofs)).lstrip("+"), (to_x(0.5 * (d0 + d1)),
                                                                           to_y(0.5 * (d0 + d1) + t)),
                color="0.1", fontsize=LABEL_SIZE - 1, ha="center", va="center", path_effects=halo()))
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
    box = plot_ax.annotate(optimum_text(grid, optimum, which, epoch), (ox, oy), xytext=offset,
                           ha="left" if offset[0] > 0 else "right", va="bottom" if offset[1] > 0 else "top",
                           textcoords="offset points", color="white", fontsize=LABEL_SIZE,
                           bbox={"boxstyle": "round", "fc": "black", "alpha": 0.7}, zorder=6)
    box.set_gid("optimum-box")
    if on_edge(grid, optimum):
        flag = plot_ax.text(0.5, 0.98, "optimum on the window's edge: the cheapest transfer may lie outside it",
                            transform=plot_ax.transAxes, ha="center", va="top", fontsize=LABEL_SIZE,
                            color="white", bbox={"boxstyle": "round", "fc": "tab:red", "alpha": 0.9}, zorder=7)
        flag.set_gid("edge-flag")

    # Safe cells (when safety ran) and the cheapest of them.
    safety = grid.safety_result
    if safety is not None and safety.safe.any():
        rows, columns = np.nonzero(safety.safe)
        sx = np.asarray(to_x(departures[rows]))
        sy = np.asarray(to_y(arrivals[rows, columns] if axes == "arrival" else tofs[columns]))
        plot_ax.plot(sx, sy, linestyle="none", marker="o", markersize=3, markerfacecolor="white",
                     markeredgecolor="black", markeredgewidth=0.5, zorder=4, label="safe cell")
        handles.append(lines_module.Line2D([], [], linestyle="none", marker="o", markersize=4,
                                           markerfacecolor="white", markeredgecolor="black",
                                           label="passively safe (%g km)" % safety.keep_out))
        i, j = np.unravel_index(np.nanargmin(np.where(safety.safe, grid.dv_total, np.nan)), grid.shape)
        bx = float(to_x(departures[i]))
        by = float(to_y(arrivals[i, j] if axes == "arrival" else tofs[j]))
        plot_ax.plot(bx, by, marker="D", color="white", markeredgecolor="black", markersize=9, linestyle="none",
                     zorder=5, label="best safe")
        handles.append(lines_module.Line2D([], [], marker="D", color="white", markeredgecolor="black",
                                           markersize=7, linestyle="none", label="best safe cell"))

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
    chaser_name, target_name = names(grid)
    route = " %s to %s," % (chaser_name or "chaser", target_name or "target") if any((chaser_name, target_name)) \
        else ""
    plot_ax.set_title(title if title is not None else "Porkchop:%s %s, %s model, up to %d revolution%s, %s"
                      % (route, label.split(",")[0], grid.model, grid.max_revs, "" if grid.max_revs == 1 else "s",
                         "prograde" if grid.prograde else "retrograde"), fontsize=10)
    # Labels that would overlap: the revolution borders' first, then the contour values, then the guides';
    # none may cover the optimum's box or the edge flag.
    keep = [box] + [t for t in plot_ax.texts if t.get_gid() == "edge-flag"]
    thin_labels(fig, border_labels + value_labels + guide_labels, keep)
    result: Figure = fig
    return result

