"""One state as the grids and trajectories take it: an ECI record or (time, x, y, z, vx, vy, vz), read into a
7-tuple of floats. A leaf module, so that the trajectories and the porkchop results share it without importing
each other."""
from __future__ import annotations

from typing import Any, Sequence, SupportsFloat, Tuple, Union

from vextal.astro.orbitvector import ECI

#: A state as the grids take it: an ECI record, or (time, x, y, z, vx, vy, vz) in s, km, km/s.
State = Union[ECI, Sequence[SupportsFloat]]
StateTuple = Tuple[float, float, float, float, float, float, float]


def state_tuple(state: State, name: str = "state") -> StateTuple:
    """(time, x, y, z, vx, vy, vz) as floats from an ECI state or a sequence of seven numbers."""
    if isinstance(state, ECI) or (hasattr(state, "position") and hasattr(state, "velocity")):
        position, velocity = getattr(state, "position"), getattr(state, "velocity")
        if position is None or velocity is None:
            raise TypeError("%s has no position or velocity (None)" % name)
        values: Tuple[Any, ...] = (getattr(state, "time"), *position.to_tuple(), *velocity.to_tuple())
    else:
        values = tuple(state)
    if len(values) != 7:
        raise TypeError("%s must be an ECI state or 7 numbers (time, x, y, z, vx, vy, vz)" % name)
    t, x, y, z, vx, vy, vz = (float(v) for v in values)
    return t, x, y, z, vx, vy, vz
