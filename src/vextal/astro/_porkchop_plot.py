"""The porkchop picture (matplotlib): ``Porkchop.plot`` draws through ``plot`` here."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

from vextal.astro._optional import optional

if TYPE_CHECKING:
    from vextal.astro._porkchop_results import Porkchop, Transfer
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def time_unit(seconds: npt.NDArray[np.float64]) -> Tuple[float, str]:
    """Hours for spans up to three days, days beyond."""
    span = float(np.max(seconds) - np.min(seconds)) if seconds.size else 0.0
    return (86400.0, "days") if span > 3 * 86400.0 else (3600.0, "hours")


def plot(grid: Porkchop, ax: Optional[Axes] = None, *, levels: Optional[npt.ArrayLike] = None,
         cmap: str = "viridis", optimum: Optional[Transfer] = None, title: Optional[str] = None) -> Figure:
    """Filled contours of the total delta-v over departure (x) and time of flight (y), with a colour bar, the
    optimum (best() unless a Transfer is given) marked and labelled, NaN cells blank. Returns the figure."""
    plt: Any = optional("matplotlib.pyplot", "Porkchop.plot()")
    if grid.departures.size < 2 or grid.tofs.size < 2:
        raise ValueError("a porkchop plot needs at least two departures and two times of flight")
    if optimum is None:
        optimum = grid.best()
    if ax is None:
        fig, ax = plt.subplots(figsize=(7.0, 5.0), layout="constrained")
    else:
        fig = ax.figure
    assert ax is not None
    x_scale, x_unit = time_unit(grid.departures)
    y_scale, y_unit = time_unit(grid.tofs)
    cost = np.ma.masked_invalid(grid.dv_total.T)
    if levels is None:
        # From the minimum to the median: the cheap half of the window is what the eye looks for;
        # dearer cells take the top colour.
        low, high = float(cost.min()), float(np.nanpercentile(grid.dv_total, 50))
        ticker: Any = optional("matplotlib.ticker", "Porkchop.plot()")
        levels = ticker.MaxNLocator(20).tick_values(low, max(high, low * 1.001 + 1e-9))
    colours = plt.get_cmap(cmap).with_extremes(over="#d9d9d9")  # dear cells recede into grey
    filled = ax.contourf(grid.departures / x_scale, grid.tofs / y_scale, cost, levels=levels, cmap=colours,
                         extend="max")
    fig.colorbar(filled, ax=ax, label="total delta-v (km/s)")
    ax.plot(optimum.departure / x_scale, optimum.tof / y_scale, marker="*", color="red", markersize=16,
            markeredgecolor="black", linestyle="none", label="optimum")
    # The label goes on the side of the marker facing the middle of the plot, so it stays inside.
    x_mid = 0.5 * (grid.departures.min() + grid.departures.max())
    y_mid = 0.5 * (grid.tofs.min() + grid.tofs.max())
    offset = (10 if optimum.departure <= x_mid else -10, 10 if optimum.tof <= y_mid else -10)
    ax.annotate("%.4f km/s\n%d rev" % (optimum.dv_total, optimum.revolutions),
                (optimum.departure / x_scale, optimum.tof / y_scale), xytext=offset,
                ha="left" if offset[0] > 0 else "right", va="bottom" if offset[1] > 0 else "top",
                textcoords="offset points", color="white", fontsize=9,
                bbox={"boxstyle": "round", "fc": "black", "alpha": 0.6})
    ax.set_xlabel("departure after chaser epoch (%s)" % x_unit)
    ax.set_ylabel("time of flight (%s)" % y_unit)
    ax.set_title(title if title is not None else "Porkchop: up to %d revolution%s, %s"
                 % (grid.max_revs, "" if grid.max_revs == 1 else "s", "prograde" if grid.prograde else "retrograde"))
    result: Figure = fig
    return result
