"""Porkchop.refine: the continuous optimum near a grid's best cells, over departure and time of flight, for
two-body arcs (a bounded Nelder-Mead search of the grid's own cost) or dispatched to the J2 correction
(``_j2_refine``)."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, SupportsFloat, Tuple

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._grid_common import check_model
from vextal.astro._optional import optional
from vextal.astro._transfer import Transfer
from vextal.astro._transfer_out import plan_of
from vextal.astro.transfer_planner import SatBurn

if TYPE_CHECKING:
    from vextal.astro._porkchop_results import Porkchop

__all__ = ["refine"]


def refine(grid: Porkchop, candidates: int = 1, *, mu: Optional[SupportsFloat] = None,
           model: Optional[str] = None) -> Transfer:
    """Porkchop.refine (see there)."""
    optimize = optional("scipy.optimize", "Porkchop.refine()")
    model = check_model(grid.model if model is None else model)
    search_mu = None if mu is None else float(mu)
    starts = [grid._best_index()]
    if candidates > 1:
        for revs in _cheapest_revolution_counts(grid)[1:candidates]:
            masked = np.where(grid.revolutions == revs, grid.dv_total, np.nan)
            row, column = np.unravel_index(np.nanargmin(masked), grid.shape)
            starts.append((int(row), int(column)))
    if model == "j2":
        return _refine_j2(grid, optimize, starts, search_mu)
    i0, j0 = starts[0]
    best = grid.transfer(grid.departures[i0], grid.tofs[j0], mu=search_mu)
    for i, j in starts:
        x, cost = _refine_cell(grid, optimize, i, j, search_mu)
        if cost < best.dv_total:
            candidate = grid.transfer(*x, mu=search_mu)
            if candidate.dv_total < best.dv_total:
                best = candidate
    return best


def _cost(grid: Porkchop, departure: float, tof: float, mu: Optional[float] = None,
          two_body: bool = False) -> float:
    """The grid's cost of one cell (two_body: the two-body grid's, from the two states)."""
    options = grid.options
    if mu is not None:
        options["mu"] = mu
    chaser, target = (grid.chaser, grid.target) if two_body else grid.sources
    out = _porkchop.grid(chaser, target, (departure,), (tof,), grid.prograde, grid.max_revs, threads=1,
                         **options, epoch=grid.chaser[0])
    cost = float(out[2][0, 0])
    return cost if cost == cost else math.inf


def _cheapest_revolution_counts(grid: Porkchop) -> List[int]:
    """The revolution counts present in the grid, cheapest best cell first."""
    counts = {int(revs): float(np.nanmin(np.where(grid.revolutions == revs, grid.dv_total, np.nan)))
              for revs in np.unique(grid.revolutions[grid.revolutions >= 0])}
    return sorted(counts, key=counts.__getitem__)


def _bounds(grid: Porkchop, i: int, j: int) -> Tuple[List[int], List[Tuple[float, float]]]:
    """The free axes (0 departure, 1 time of flight: those with more than one grid line) around cell
    (i, j) and their bounds, the neighbouring grid lines."""
    axes: List[int] = []
    bounds: List[Tuple[float, float]] = []
    for k, (values, index) in enumerate(((grid.departures, i), (grid.tofs, j))):
        if values.size < 2:
            continue
        low, high = float(values[max(index - 1, 0)]), float(values[min(index + 1, values.size - 1)])
        low, high = min(low, high), max(low, high)
        if k == 1:
            low = max(low, 1e-3 * high)  # times of flight stay positive
        axes.append(k)
        bounds.append((low, high))
    return axes, bounds


def _refine_j2(grid: Porkchop, optimize: Any, starts: List[Tuple[int, int]], mu: Optional[float]) -> Transfer:
    """The cheapest J2-corrected transfer from the start cells (see refine)."""
    from vextal.astro import _j2_refine
    from vextal.vector3 import Vector3

    if (grid.mu if mu is None else mu) != _porkchop.MU_EARTH:
        raise ValueError("refine(model='j2') is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                         % (_porkchop.MU_EARTH, grid.mu if mu is None else mu))
    if grid.cost != "rendezvous" or grid.arrive_at is not None or grid.depart_from is not None:
        raise ValueError("refine(model='j2') plans a rendezvous from the chaser to the target itself; this "
                         "grid's cost=%r, arrive_at=%r, depart_from=%r are not corrected under J2"
                         % (grid.cost, grid.arrive_at, grid.depart_from))
    trajectories, constants = _j2_trajectories(grid)
    # The grid's screen: by default the Earth's equatorial radius (J2 runs under the Earth's mu only).
    floor = _porkchop.EARTH_EQUATORIAL_RADIUS if grid.min_radius is None else grid.min_radius
    failures: List[str] = []
    best: Optional[Transfer] = None
    for i, j in starts:
        revolutions, branch = int(grid.revolutions[i, j]), int(grid.branch[i, j])
        axes, bounds = _bounds(grid, i, j)
        start = (float(grid.departures[i]), float(grid.tofs[j]))
        try:
            corrected = _j2_refine.refine(trajectories, grid.chaser[0], start, axes, bounds, optimize,
                                          prograde=grid.prograde, revolutions=revolutions, branch=branch,
                                          min_radius=floor, **constants)
        except _j2_refine.ShootingError as exc:
            failures.append("from departure %r s, time of flight %r s (%d revolutions): %s"
                            % (start + (revolutions, exc)))
            continue
        t1 = grid.chaser[0] + corrected.departure
        burns = (SatBurn(t1, Vector3(*map(float, corrected.burn1))),
                 SatBurn(t1 + corrected.tof, Vector3(*map(float, corrected.burn2))))
        transfer = Transfer(corrected.departure, corrected.tof, revolutions, branch, burns)
        transfer.model, transfer.miss_km, transfer.miss_kms = "j2", corrected.miss_km, corrected.miss_kms
        transfer.dv_total_two_body = _cost(grid, transfer.departure, transfer.tof, two_body=True)
        transfer._plan = plan_of(grid, "j2", trajectories, constants)
        if best is None or transfer.dv_total < best.dv_total:
            best = transfer
    if best is None:
        raise RuntimeError("the correction under J2 did not converge: " + "; ".join(failures))
    return best


def _j2_trajectories(grid: Porkchop) -> Tuple[Tuple[Any, Any], Dict[str, float]]:
    """The chaser's and the target's trajectories for a J2 refinement (the grid's own, or J2 motion of its
    states) and the J2 model's constants (those of a J2 trajectory, else the package's)."""
    from vextal.astro import trajectory

    if grid.trajectories is not None:
        pair = tuple(grid.trajectories)
    else:
        pair = (trajectory.J2(grid.chaser), trajectory.J2(grid.target))
    for kind in pair:
        if isinstance(kind, trajectory.J2):
            return (pair[0], pair[1]), {"mu": kind.mu, "j2": kind.j2, "radius": kind.radius}
    return (pair[0], pair[1]), {"mu": trajectory.MU_EARTH, "j2": _porkchop.EARTH_J2,
                                "radius": _porkchop.EARTH_EQUATORIAL_RADIUS}


def _refine_cell(grid: Porkchop, optimize: Any, i: int, j: int,
                 mu: Optional[float] = None) -> Tuple[List[float], float]:
    """Minimises the cost over the free axes (those with more than one grid line) around cell (i, j)."""
    start = [float(grid.departures[i]), float(grid.tofs[j])]
    axes, bounds = _bounds(grid, i, j)
    steps = [0.25 * (high - low) for low, high in bounds]
    if not axes:
        return start, _cost(grid, start[0], start[1], mu)

    def cost(free: npt.NDArray[np.float64]) -> float:
        x = list(start)
        for k, value in zip(axes, free):
            x[k] = float(value)
        return _cost(grid, x[0], x[1], mu)

    x0 = np.array([start[k] for k in axes])
    simplex = [x0] + [x0 + np.eye(len(axes))[k] * steps[k] * (1 if x0[k] + steps[k] <= bounds[k][1] else -1)
                      for k in range(len(axes))]
    scale = max(abs(b[1] - b[0]) for b in bounds)
    result = optimize.minimize(cost, x0, method="Nelder-Mead", bounds=bounds,
                               options={"initial_simplex": np.array(simplex), "xatol": 1e-9 * scale,
                                        "fatol": 1e-14, "maxiter": 2000, "maxfev": 4000})
    x = list(start)
    for k, value in zip(axes, result.x):
        x[k] = float(value)
    return x, float(result.fun)
