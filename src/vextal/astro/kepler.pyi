"""Two-body propagation in universal variables."""
from typing import Any, Dict, Optional, SupportsFloat, Tuple

from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

__pyx_capi__: Dict[str, Any]

def propagate_lagrangian(
    r: Optional[Vector3], v: Optional[Vector3], dt: SupportsFloat, mu: SupportsFloat
) -> Tuple[Vector3, Vector3]:
    """Two-body propagation: the position `r` (km) and velocity `v` (km/s) moved on by `dt` seconds (negative:
    backwards) under the gravitational parameter `mu` (km^3/s^2), on any conic. Returns a new (position,
    velocity) tuple of Vector3. Lagrange's f and g from universal variables, Kepler's equation solved to full
    double precision. ValueError for mu <= 0, a zero position, non-finite input or a non-finite result;
    RuntimeError if Kepler's equation does not converge."""

def propagate_lagrangian_u(state: Optional[ECI], dt: SupportsFloat) -> ECI:
    """The ECI `state` moved on by `dt` seconds along its orbit (mu = 398600.5 km^3/s^2), as a new ECI whose time
    is ``state.time + dt`` (plain numbers). Errors as for propagate_lagrangian; TypeError when the state's
    position or velocity is None."""
