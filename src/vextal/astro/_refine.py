"""Porkchop.refine: the continuous optimum near a grid's best cells, over departure and time of flight, for
two-body arcs (a bounded Nelder-Mead search of the grid's own cost) or dispatched to the J2 correction
(``_j2_refine``)."""
from __future__ import annotations

import math
from typing import Any, List, Optional, SupportsFloat, Tuple

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._grid_common import BUILT_IN, Grid, GridSource, check_model, grid_source
from vextal.astro._optional import optional
from vextal.astro._transfer import Transfer
from vextal.astro._transfer_out import plan_of
from vextal.astro.transfer_planner import SatBurn

__all__ = ["refine"]


def refine(grid: Grid, candidates: int = 1, *, mu: Optional[SupportsFloat] = None,
           model: Any = None) -> Transfer:
    """Porkchop.refine (see there)."""
    optimize = optional("scipy.optimize", "Porkchop.refine()")
    model = check_model(grid.model if model is None else model)
    search_mu = None if mu is None else float(mu)
    starts = [grid.best_cell()]
    if candidates > 1:
        for revs in _cheapest_revolution_counts(grid)[1:candidates]:
            masked = np.where(grid.revolutions == revs, grid.dv_total, np.nan)
            row, column = np.unravel_index(np.nanargmin(masked), grid.shape)
            starts.append((int(row), int(column)))
    exact = model != "two-body" and grid.flight is not None and _same_model(model, grid.model)
    if model != "two-body" and not exact:
        # a grid of two-body arcs (or of exact cells in another model), corrected near its cells by shooting
        return _refine_j2(grid, optimize, starts, search_mu, model)
    if exact and search_mu is not None and search_mu != grid.mu:
        raise ValueError("refine(model=%r) flies the grid's model: mu must be the grid's (%r), not %r"
                         % (model, grid.mu, search_mu))
    window = _window(grid)
    i0, j0 = starts[0]
    best = grid._transfer(float(grid.departures[i0]), float(grid.tofs[j0]), search_mu, exact)
    for i, j in starts:
        slot = _slot(int(grid.revolutions[i, j]), int(grid.branch[i, j]))
        x, cost = _search(grid, optimize, (float(grid.departures[i]), float(grid.tofs[j])), slot, window,
                          search_mu, exact)
        if cost < best.dv_total:
            try:
                candidate = grid._transfer(x[0], x[1], search_mu, exact)
            except ValueError:  # on the screen's boundary, the trajectories' own states fall just below it
                continue
            if candidate.dv_total < best.dv_total:
                best = candidate
    best.at_window_edge = _on_edge((best.departure, best.tof), window)
    return best


def _same_model(a: Any, b: Any) -> bool:
    """Whether two models are the same: the same name, or force models of the same forces."""
    if isinstance(a, str) or isinstance(b, str):
        return isinstance(a, str) and isinstance(b, str) and a == b
    from vextal.astro import forces

    return bool(forces.as_model(a) == forces.as_model(b))


#: How close (s) to a bound of the window an optimum counts as lying on it.
EDGE = 1e-2


def _window(grid: Grid) -> List[Optional[Tuple[float, float]]]:
    """The window's bounds per axis (departure, time of flight); None for an axis with one grid line."""
    out: List[Optional[Tuple[float, float]]] = []
    for values in (grid.departures, grid.tofs):
        out.append((float(values.min()), float(values.max())) if values.size > 1 else None)
    return out


def _on_edge(x: Tuple[float, float], window: List[Optional[Tuple[float, float]]]) -> bool:
    return any(b is not None and (x[k] - b[0] <= EDGE or b[1] - x[k] <= EDGE) for k, b in enumerate(window))


def _slot(revolutions: int, branch: int) -> int:
    """The Lambert slot of an arc (the solver's order: none, then left and right per revolution count)."""
    return 0 if revolutions == 0 else 2 * revolutions - (1 if branch < 0 else 0)


def _arc_cost(grid: Grid, departure: float, tof: float, slot: int, mu: Optional[float], exact: bool) -> float:
    """The cost of one arc (Lambert slot) of a cell, exact in the grid's flight model with `exact`; inf
    where the cell has no such arc (or it does not pass the screen, or its shooting fails)."""
    if not (tof > 0):
        return math.inf
    cell = grid._cell(departure, tof, mu, exact, slot)
    if cell[0] != 0:
        return math.inf
    _status, _revs, _branch, _r1, v_start, v1, _r2, v_goal, v2 = cell[:9]
    cost = math.dist(v1, v_start)
    return cost if grid.cost == "intercept" else cost + math.dist(v_goal, v2)


def _search(grid: Grid, optimize: Any, start: Tuple[float, float], slot: int,
            window: List[Optional[Tuple[float, float]]], mu: Optional[float], exact: bool
            ) -> Tuple[Tuple[float, float], float]:
    """A local minimum of one arc's cost from `start` anywhere in the window: a Nelder-Mead search (scipy)
    bounded by the window, its first simplex a grid step wide, in units of the grid step."""
    axes = [k for k in range(2) if window[k] is not None]
    if not axes:
        return start, _arc_cost(grid, start[0], start[1], slot, mu, exact)
    spans = [grid.departures, grid.tofs]
    steps = [float(np.ptp(spans[k])) / (spans[k].size - 1) for k in axes]
    bounds = [(window[k][0] / h, window[k][1] / h) for k, h in zip(axes, steps)]  # type: ignore[index]

    def point(free: npt.NDArray[np.float64]) -> Tuple[float, float]:
        x = list(start)
        for k, value, h in zip(axes, free, steps):
            x[k] = float(value) * h
        return x[0], x[1]

    def cost(free: npt.NDArray[np.float64]) -> float:
        return _arc_cost(grid, *point(free), slot, mu, exact)

    x0 = np.array([start[k] / h for k, h in zip(axes, steps)])
    simplex = [x0] + [x0 + np.eye(len(axes))[n] * (1 if x0[n] + 1 <= bounds[n][1] else -1)
                      for n in range(len(axes))]
    result = optimize.minimize(cost, x0, method="Nelder-Mead", bounds=bounds,
                               options={"initial_simplex": np.array(simplex), "xatol": 1e-4, "fatol": 1e-7,
                                        "maxiter": 1000, "maxfev": 2000})
    return point(np.asarray(result.x, dtype=np.float64)), float(result.fun)


def _cost(grid: Grid, departure: float, tof: float, mu: Optional[float] = None,
          two_body: bool = False) -> float:
    """The grid's cost of one cell (two_body: the matching two-body grid's, on `two_body_sources`)."""
    options = grid.options
    if mu is not None:
        options["mu"] = mu
    chaser, target = grid.two_body_sources if two_body else grid.sources
    out = _porkchop.grid(chaser, target, (departure,), (tof,), grid.prograde, grid.max_revs, threads=1,
                         **options, epoch=grid.chaser[0], flight=None if two_body else grid.flight)
    cost = float(out[2][0, 0])
    return cost if cost == cost else math.inf


def _cheapest_revolution_counts(grid: Grid) -> List[int]:
    """The revolution counts present in the grid, cheapest best cell first."""
    counts = {int(revs): float(np.nanmin(np.where(grid.revolutions == revs, grid.dv_total, np.nan)))
              for revs in np.unique(grid.revolutions[grid.revolutions >= 0])}
    return sorted(counts, key=counts.__getitem__)


def _bounds(grid: Grid, i: int, j: int) -> Tuple[List[int], List[Tuple[float, float]]]:
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


def _refine_j2(grid: Grid, optimize: Any, starts: List[Tuple[int, int]], mu: Optional[float],
               model: Any = "j2") -> Transfer:
    """The cheapest transfer corrected to arrive in `model` ("j2" or a force model) from the start cells (see
    refine)."""
    from vextal.astro import _j2, _j2_refine
    from vextal.vector3 import Vector3

    if (grid.mu if mu is None else mu) != _porkchop.MU_EARTH:
        raise ValueError("refine(model='j2') is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                         % (_porkchop.MU_EARTH, grid.mu if mu is None else mu))
    if grid.cost != "rendezvous" or grid.arrive_at is not None or grid.depart_from is not None:
        raise ValueError("refine(model='j2') plans a rendezvous from the chaser to the target itself; this "
                         "grid's cost=%r, arrive_at=%r, depart_from=%r are not corrected under J2"
                         % (grid.cost, grid.arrive_at, grid.depart_from))
    given, flown = _j2_refine.refine_inputs(grid, model)
    # A trajectory of the user's own class is read through the tables the grid samples of it.
    chaser, target = (kind if isinstance(kind, BUILT_IN) else _Sampled(kind, grid.mu) for kind in given)
    trajectories = (chaser, target)
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
                                          min_radius=floor, flown=flown)
        except _j2_refine.ShootingError as exc:
            failures.append("from departure %r s, time of flight %r s (%d revolutions): %s"
                            % (start + (revolutions, exc)))
            continue
        t1 = grid.chaser[0] + corrected.departure
        burns = (SatBurn(t1, Vector3(*map(float, corrected.burn1))),
                 SatBurn(t1 + corrected.tof, Vector3(*map(float, corrected.burn2))))
        transfer = Transfer(corrected.departure, corrected.tof, revolutions, branch, burns)
        transfer.model, transfer.miss_km = _j2.label(model), corrected.miss_km
        transfer.miss_kms = corrected.miss_kms
        transfer.dv_total_two_body = _cost(grid, transfer.departure, transfer.tof, two_body=True)
        transfer._plan = plan_of(grid, "j2", trajectories, {"mu": flown.model.mu}, forces=flown.model,
                                 pole_of_date=flown.epoch is not None)
        if best is None or transfer.dv_total < best.dv_total:
            best = transfer
    if best is None:
        raise RuntimeError("the correction under J2 did not converge: " + "; ".join(failures))
    return best


class _Sampled:
    """A trajectory of the user's own class as the J2 correction reads one: its states at one epoch, and the
    tables the grid samples of it."""

    def __init__(self, trajectory: Any, mu: float) -> None:
        self.trajectory, self.mu = trajectory, mu

    def states(self, epoch: Any) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        at = np.asarray(epoch, dtype=np.float64)
        r, v = self.trajectory.states(at.reshape(-1))
        shape = at.shape + (3,)
        return np.asarray(r, dtype=np.float64).reshape(shape), np.asarray(v, dtype=np.float64).reshape(shape)

    def _grid_source(self, start: float, stop: float) -> GridSource:
        return grid_source(self.trajectory, start, stop, self.mu)
