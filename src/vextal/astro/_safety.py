"""Porkchop.safety: passive safety of a grid's arcs (the least range to the target along the arc and along the
free drift after a missed arrival burn), computed natively, and its result ``Safety``."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, NamedTuple, Optional, SupportsFloat

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop

if TYPE_CHECKING:
    from vextal.astro._porkchop_results import Porkchop

__all__ = ["Safety", "safety"]


class Safety(NamedTuple):
    """What ``Porkchop.safety`` finds, as grids of the porkchop's shape: `safe` (bool: checked, and both least
    ranges at least `keep_out`), `checked` (the cells examined), `arc_range` and `drift_range` (km, the least
    distance from the target along the transfer arc and along the free drift after a missed arrival burn; NaN
    where not checked), for `orbits` target periods of drift; `arc_where` and `drift_where` (shape + (3,)) the
    chaser's position relative to the target at those closest approaches, in the target's RIC frame (radial,
    in-track, cross-track km)."""

    safe: npt.NDArray[np.bool_]
    checked: npt.NDArray[np.bool_]
    arc_range: npt.NDArray[np.float64]
    drift_range: npt.NDArray[np.float64]
    keep_out: float
    orbits: float
    arc_where: npt.NDArray[np.float64]
    drift_where: npt.NDArray[np.float64]


def safety(grid: Porkchop, keep_out: SupportsFloat, orbits: SupportsFloat = 3.0, *, best: Optional[int] = None,
           threads: Optional[int] = None) -> Safety:
    """Porkchop.safety (see there)."""
    keep = float(keep_out)
    if not keep >= 0 or not math.isfinite(keep):
        raise ValueError("keep_out must be a finite distance >= 0 (km)")
    rows, cols = np.nonzero(grid.revolutions >= 0)
    if best is not None:
        if isinstance(best, bool) or not isinstance(best, int) or best < 0:
            raise TypeError("best must be None or a whole number >= 0 of cheapest cells")
        order = np.argsort(grid.dv_total[rows, cols], kind="stable")[:best]
        rows, cols = rows[order], cols[order]
    arc, drift, arc_at, drift_at, _status = _porkchop.safety(
        *grid.sources, grid.departures[rows], grid.tofs[cols], grid.revolutions[rows, cols],
        grid.branch[rows, cols], float(orbits), grid.prograde, grid.max_revs, threads=threads, **grid.options,
        epoch=grid.chaser[0])
    checked = np.zeros(grid.shape, dtype=bool)
    checked[rows, cols] = True
    arc_range = np.full(grid.shape, np.nan)
    drift_range = np.full(grid.shape, np.nan)
    arc_range[rows, cols] = arc
    drift_range[rows, cols] = drift
    arc_where = np.full(grid.shape + (3,), np.nan)
    drift_where = np.full(grid.shape + (3,), np.nan)
    arc_where[rows, cols] = arc_at
    drift_where[rows, cols] = drift_at
    with np.errstate(invalid="ignore"):
        safe = checked & (arc_range >= keep) & (drift_range >= keep)
    return Safety(safe, checked, arc_range, drift_range, keep, float(orbits), arc_where, drift_where)
