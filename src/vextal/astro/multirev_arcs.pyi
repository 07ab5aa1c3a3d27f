"""The multi-revolution Lambert solver."""
from typing import Any, List, NoReturn, Optional, SupportsFloat, SupportsIndex, Tuple

from typing_extensions import Self, disjoint_base

from vextal.vector3 import Vector3

@disjoint_base
class LambertProblem:
    """Every solution of Lambert's problem from 0 to `max_revs` complete revolutions: the orbits that leave the
    position `r1` (km) and reach `r2` after `tof` seconds under the gravitational parameter `mu` (km^3/s^2).

    Izzo's lambda/x formulation with Householder iterations, converged to full double precision. Solutions are
    ordered: the zero-revolution arc first, then for N = 1, 2, ... two N-revolution arcs, the shorter-period
    branch (x below the minimum-time point) before the longer-period one; ``1 + 2 * max_revs`` in all, with
    `max_revs` cropped to the largest N whose minimum time of flight does not exceed `tof`. Prograde means the transfer's angular
    momentum has a +z component, retrograde -z. The record keeps r1 and r2 as given (the same objects).

    ValueError for zero-length or collinear positions, non-finite input, tof <= 0, mu <= 0 or max_revs < 0;
    RuntimeError if the iteration does not converge. repr() shows the problem and the solution count."""

    def __new__(
        cls,
        r1: Optional[Vector3],
        r2: Optional[Vector3],
        tof: SupportsFloat,
        mu: SupportsFloat,
        is_prograde: bool = True,
        max_revs: SupportsIndex = 0,
    ) -> Self: ...
    def solution_count(self) -> int:
        """The number of solutions, 1 + 2 * max_revs."""
    def solution(self, index: SupportsIndex, /) -> Tuple[Vector3, Vector3]:
        """(departure velocity, arrival velocity) of solution `index`, km/s; IndexError outside."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...
    @property
    def r1(self) -> Vector3:
        """Departure position (the Vector3 given, km)."""
    @property
    def r2(self) -> Vector3:
        """Arrival position (the Vector3 given, km)."""
    @property
    def departure_velocities(self) -> List[Vector3]:
        """Departure velocity of each solution (list of Vector3, km/s)."""
    @property
    def arrival_velocities(self) -> List[Vector3]:
        """Arrival velocity of each solution (list of Vector3, km/s)."""
    @property
    def solution_data(self) -> bytes:
        """Per solution (x: double, revolutions: int32, iterations: int32), packed as bytes."""
    @property
    def revolutions(self) -> List[int]:
        """Number of complete revolutions N of each solution (new list)."""
    @property
    def iterations(self) -> List[int]:
        """Householder iterations spent on each solution (new list)."""
    @property
    def x(self) -> List[float]:
        """Izzo's x of each solution (new list)."""
    @property
    def chord(self) -> float:
        """c = |r2 - r1| (km)."""
    @property
    def semiperimeter(self) -> float:
        """s = (|r1| + |r2| + c) / 2 (km)."""
    @property
    def tof(self) -> float:
        """Time of flight (s)."""
    @property
    def mu(self) -> float:
        """Gravitational parameter (km^3/s^2)."""
    @property
    def lambda_(self) -> float:
        """Izzo's lambda, negative when the transfer angle exceeds 180 degrees."""
    @property
    def nondimensional_tof(self) -> float:
        """T = tof * sqrt(2 mu / s**3)."""
    @property
    def max_revs(self) -> int:
        """Revolution limit after cropping to what the time of flight allows."""
    @property
    def requested_max_revs(self) -> int:
        """Revolution limit asked for."""
    @property
    def is_prograde(self) -> bool:
        """True for prograde (angular momentum +z), False for retrograde."""
    @property
    def min_time_iterations(self) -> int:
        """Halley iterations of the minimum-time test (0 when it was not needed)."""
