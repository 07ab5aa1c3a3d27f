"""Numerically integrated orbits in the grid: how densely one samples itself into a table (the Numerical and
J2 trajectories of vextal.astro.trajectory), and the grid's model as a force model or a name.

Cubic Hermite interpolation over one sample step h, measured on LEO, GEO and e = 0.6 orbits (a day each, 20000
random epochs against the integrator's dense output): the position error is about C k^4 r_p with
k = h / sqrt(r_p^3 / mu) and r_p the pericentre distance, C = 2.7e-3 on circular orbits and 7.4e-3 at
e = 0.6; the velocity error about 0.2 k^3 v_p. The step is chosen for C = 1e-2, so that the errors stay below
the bounds below.

The bounds are those of exact porkchop cells: a departure burn planned on the table's state is flown from the
trajectory's own, so the table's velocity error becomes a velocity error of the flown arc, and 1e-8 km/s
grows to a fraction of a metre over a day of flight (2e-6 km/s, a 1 cm table, missed by tens of metres).
"""
import math
from typing import Any

import numpy as np
import numpy.typing as npt

TABLE_POSITION_BOUND = 1e-8
"""Largest interpolation error of a J2 table's positions (km): 10 micrometres (measured: 7.4e-9 km at e = 0.6)."""
TABLE_VELOCITY_BOUND = 1.2e-8
"""Largest interpolation error of a J2 table's velocities (km/s): 12 micrometres/s (measured: 7.6e-9)."""
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

