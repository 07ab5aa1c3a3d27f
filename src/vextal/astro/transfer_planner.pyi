"""Two-impulse Lambert transfers between ECI states: the burn records and plan_lambert.

Units: km, km/s, seconds of flight; epochs are plain numbers to which the time of flight is added as it is."""
from typing import Any, Dict, List, NoReturn, Optional, SupportsFloat, SupportsIndex, SupportsInt, Tuple, Union

from typing_extensions import Self, disjoint_base

from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

__test__: Dict[str, Any]
__pyx_capi__: Dict[str, Any]

@disjoint_base
class SatBurn:
    """One impulsive manoeuvre: ``SatBurn(time=0.0, delta_v=<shared zero vector>)``. `time` is the epoch of the
    burn (the time scale of the states it was planned from), `delta_v` the change of velocity in km/s in the
    states' inertial frame, stored as given (the caller's Vector3 or None, not a copy). Read-only attributes;
    cannot be pickled; default repr."""

    def __new__(cls, time: SupportsFloat = ..., delta_v: Optional[Vector3] = ...) -> Self: ...
    @property
    def time(self) -> float:
        """The epoch of the burn."""
    @property
    def delta_v(self) -> Optional[Vector3]:
        """The change of velocity, km/s (the stored object itself)."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

@disjoint_base
class LambertMultiRevResult:
    """What plan_lambert returns: `burns`, one (departure, arrival) pair of SatBurns per Lambert arc, in the
    solver's order (zero revolutions first, then two arcs per revolution count). The planner does not choose
    among them: the cheapest is the one with the least |dv1| + |dv2|. Constructor arguments are ignored."""

    def __new__(cls, *args: Any, **kwargs: Any) -> Self: ...
    @property
    def burns(self) -> List[Tuple[SatBurn, SatBurn]]:
        """One (departure burn, arrival burn) tuple per arc (the list itself, not a copy)."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

def plan_lambert(
    state_initial: Optional[ECI],
    state_target: Optional[ECI],
    deltat_sec: SupportsFloat,
    is_prograde: bool = True,
    max_revs: Union[SupportsInt, SupportsIndex] = 10,
) -> LambertMultiRevResult:
    """Every two-impulse Lambert transfer from `state_initial` to `state_target` in `deltat_sec` seconds, with
    0 to `max_revs` complete revolutions (cropped to what the time of flight allows), prograde or retrograde.

    The arrival epoch is ``state_initial.time + deltat_sec`` as plain numbers. A target whose epoch lies more
    than 1e-7 before it is first moved on to it along its orbit (two-body, mu = 398600.5 km^3/s^2); a target
    whose epoch is after the arrival epoch is used as it stands (never moved backwards). Each arc gives a
    departure burn at the initial epoch, v_transfer - v_initial, and an arrival burn at the target's epoch,
    v_target - v_arrival, in km/s.

    TypeError for states that are not ECI (None gives AttributeError); `max_revs` is converted to a 32-bit int
    (OverflowError beyond); ValueError from the solver for coincident or collinear positions, a zero-length
    position, non-finite input or a non-positive time of flight; RuntimeError if it does not converge."""
