"""Numerically integrated orbits in the grid and its refinement: how densely one samples itself into a table
(the Numerical and J2 trajectories of vextal.astro.trajectory), and which model a grid's states move in.

Cubic Hermite interpolation over one sample step h, measured on LEO, GEO and e = 0.6 orbits (a day each, 20000
random epochs against the integrator's dense output): the position error is about C k^4 r_p with
k = h / sqrt(r_p^3 / mu) and r_p the pericentre distance, C = 2.7e-3 on circular orbits and 7.4e-3 at
e = 0.6; the velocity error about 0.2 k^3 v_p. The step is chosen for C = 1e-2, so that the errors stay below
the bounds below with a margin of three or more.
"""
import math
from typing import Any, Tuple

import numpy as np
import numpy.typing as npt

TABLE_POSITION_BOUND = 1e-5
"""Largest interpolation error of a J2 table's positions (km): 1 cm."""
TABLE_VELOCITY_BOUND = 2e-6
"""Largest interpolation error of a J2 table's velocities (km/s): 2 mm/s."""
_HERMITE_C = 1e-2


def pericentre_radius(r: npt.ArrayLike, v: npt.ArrayLike, mu: float) -> float:
    """The osculating two-body pericentre distance (km) of the state (r, v), at least 1000 km (a radial or
    plunging orbit would otherwise ask for an endless table)."""
    r, v = np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
    rn = float(np.linalg.norm(r))
    h = np.cross(r, v)
    e = float(np.linalg.norm(((v @ v - mu / rn) * r - (r @ v) * v) / mu))
    return max(float(h @ h) / mu / (1.0 + e), 1000.0)


def table_step(r: npt.ArrayLike, v: npt.ArrayLike, mu: float) -> float:
    """The sample step (s) of a J2 table of the orbit through (r, v): interpolation within the bounds."""
    rp = pericentre_radius(r, v, mu)
    k = (TABLE_POSITION_BOUND / (_HERMITE_C * rp)) ** 0.25
    return float(k * math.sqrt(rp**3 / mu))


def table_epochs(start: float, stop: float, step: float) -> npt.NDArray[np.float64]:
    """Epochs from `start` to `stop` (both included) in equal steps of at most `step`, two at least."""
    if not (math.isfinite(start) and math.isfinite(stop)) or stop < start:
        raise ValueError("the span [%r, %r] is not a finite interval" % (start, stop))
    if stop == start:
        return np.array([start, start + step])
    return np.linspace(start, stop, max(1, math.ceil((stop - start) / step)) + 1)


def is_model(model: Any) -> bool:
    """Whether `model` is a force or a model of vextal.astro.forces."""
    from vextal.astro import forces

    return isinstance(model, (forces.Force, forces.Model))


def label(model: Any) -> str:
    """The name of a grid's model in its tables: "two-body", "j2", or the force model's repr."""
    return model if isinstance(model, str) else repr(model)


def trajectory_of(state: Any, model: Any) -> Any:
    """A state's trajectory in `model`: J2 (about the frame's z axis) for "j2", Numerical (about the pole at
    the state's epoch) for a force model."""
    from vextal.astro import trajectory

    return trajectory.J2(state) if model == "j2" else trajectory.Numerical(state, model)


def refine_inputs(grid: Any, model: Any) -> Tuple[Tuple[Any, Any], Any]:
    """The chaser's and the target's trajectories for a refinement in `model` (the grid's own, or the model's
    motion of its states) and the model the arcs fly in: that of the first trajectory in the same model (its
    constants and pole), else "j2" about the frame's z axis or the force model about the pole at the
    chaser's epoch."""
    from vextal.astro import _j2_refine, forces, trajectory

    pair = tuple(grid.trajectories) if grid.trajectories is not None else (
        trajectory_of(grid.chaser, model), trajectory_of(grid.target, model))
    wanted = None if model == "j2" else forces.as_model(model)
    for kind in pair:
        if isinstance(kind, trajectory.J2 if wanted is None else trajectory.Numerical) and (
                wanted is None or kind.model == wanted):
            return (pair[0], pair[1]), _j2_refine.Flown(kind.model, kind.pole_epoch)
    if wanted is None:
        return (pair[0], pair[1]), _j2_refine.Flown(forces.Model([forces.J2()]))
    return (pair[0], pair[1]), _j2_refine.Flown(wanted, float(grid.chaser[0]))
