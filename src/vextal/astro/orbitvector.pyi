"""Satellite state records (ECI, EFG, RIC), the geodetic point LLH, frame conversions and orbital quantities.

Units: positions in km, velocities in km/s, angles in degrees, the Earth's gravitational parameter 398600.5
km^3/s^2. Epochs are plain numbers (DS1950 UTC by convention); nothing here converts them. A state holds the very
vector objects it was given (no copies): mutating such a vector changes every state that holds it."""
from typing import Any, Dict, NoReturn, Optional, SupportsFloat

from typing_extensions import Self, disjoint_base

from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3

_Float = SupportsFloat

__test__: Dict[str, Any]

@disjoint_base
class _OrbitVector:
    """The base of the state classes: an epoch, a position and a velocity. Build states through ECI, EFG or RIC:
    ``ECI(time=0, position=Vector3(), velocity=Vector3())``, by position or keyword.

    - `time`: the epoch, converted with float(); 0.0 when omitted.
    - `position`, `velocity`: a Vector3 (or subclass, LLH included) or None, stored as given (the same object,
      not a copy). When omitted, every state shares one module-wide default zero vector for each.

    TypeError for another type of vector, more than three arguments or an unknown keyword. States cannot be
    pickled (TypeError), compare and hash by identity and have the default repr."""

    def __new__(
        cls,
        time: _Float = ...,
        position: Optional[Vector3] = ...,
        velocity: Optional[Vector3] = ...,
    ) -> Self: ...
    @property
    def time(self) -> float:
        """Satellite state epoch time in DS1950 UTC."""
    @property
    def position(self) -> Optional[Vector3]:
        """Satellite state position in km"""
    @property
    def velocity(self) -> Optional[Vector3]:
        """Satellite state velocity in km/s"""

@disjoint_base
class ECI(_OrbitVector):
    """A satellite state in the Earth-centred inertial frame of J2000: position in km, velocity in km/s.

    The compute_ methods never raise: an error inside them (a None vector, a failing override in a Python
    subclass) is printed as an unraisable report and the method returns 0.0. A degenerate state (position or
    velocity of squared length at most 1e-10, or zero energy) gives the placeholders: energy 0.0, semi-major
    axis 0.0, mean motion 1.0 and period 1440.0. A Python subclass that overrides compute_energy or compute_sma
    changes the quantities derived from them."""

    def to_ric(self, chief: ECI, /) -> RIC:
        """This state relative to `chief`, in the chief's radial / in-track / cross-track frame: position in km
        (x radial, y in-track, z cross-track), velocity in km/s as seen in the rotating frame; the epoch is this
        state's (the chief's epoch is not read or compared). TypeError unless `chief` is an ECI."""
    def eci_to_ric(self) -> Matrix4:
        """The rotation from the inertial frame into this state's RIC frame: rows R = r/|r|, I = C x R and
        C = (r x v)/|r x v|, each followed by 0, and the last row 0, 0, 0, 1."""
    def compute_sma(self) -> float:
        """The semi-major axis a = -mu / (2 E) in km; negative for a hyperbolic state, 0.0 for a degenerate one."""
    def compute_mean_motion(self) -> float:
        """The mean motion sqrt(mu / a^3) in rad/s; 1.0 for a degenerate state, NaN for a hyperbolic one."""
    def compute_energy(self) -> float:
        """The specific orbital energy v^2/2 - mu/r in km^2/s^2; 0.0 for a degenerate state."""
    def compute_period(self) -> float:
        """The orbital period 2 pi sqrt(a^3 / mu) in s; 1440.0 for a degenerate state, NaN for a hyperbolic one."""

@disjoint_base
class EFG(_OrbitVector):
    """A satellite state in the Earth-centred, Earth-fixed frame: position in km, velocity in km/s."""

    def to_eci(self) -> Optional[ECI]:
        """Returns None: the package holds no Earth rotation model, so there is no conversion to ECI. (A Python
        subclass may override it with one.)"""
    def to_llh(self) -> LLH:
        """The geodetic latitude, longitude and height of the position on the WGS-84-like ellipsoid (equatorial
        radius 6378.1374 km, e^2 = 0.0066943799901414): latitude in degrees in [-90, 90], longitude in degrees in
        [0, 360), height above the ellipsoid in km. The epoch and velocity are not used. TypeError when the
        position is None."""

@disjoint_base
class RIC(_OrbitVector):
    """A state relative to a reference ("chief") satellite, in its radial (x), in-track (y) and cross-track (z)
    frame: position in km, velocity in km/s as seen in the rotating frame."""

    def to_eci(self, chief: ECI, /) -> ECI:
        """The inverse of ECI.to_ric: the absolute inertial state, given the same chief; the epoch is this
        state's. TypeError unless `chief` is an ECI."""

class LLH(Vector3):
    """A geodetic point: x = latitude in degrees, y = longitude in degrees (east positive; to_llh gives
    [0, 360)), z = height above the ellipsoid in km. Built like a Vector3, ``LLH(latitude, longitude, height)``,
    and has all of Vector3's operations (whose results are plain Vector3s)."""

    def to_efg(self) -> Vector3:
        """The Earth-fixed position in km of this point (a plain Vector3, not an EFG state)."""
    # Refusals left under their internal names: LLH pickles as its Vector3 base does.
    def __reduce_cython__(self) -> NoReturn: ...
    def __setstate_cython__(self, state: object, /) -> NoReturn: ...

def _get_earth_radiusn_from_sin_latitude(sin_latitude: _Float, /) -> float:
    """The ellipsoid's prime-vertical radius of curvature N = a / sqrt(1 - e^2 sin^2(phi)) in km, from sin(phi)."""

def _get_earth_radius_from_latitude(latitude: _Float, /) -> float:
    """The distance from the Earth's centre to the ellipsoid surface at a geodetic latitude in degrees, in km."""

def _geocentric_to_geodetic(latitude_gc: _Float, altitude: _Float) -> float:
    """The geodetic latitude in degrees of the point at geocentric latitude `latitude_gc` (degrees) and height
    `altitude` (km) above the ellipsoid."""
