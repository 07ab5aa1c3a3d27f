"""Two-body propagation in universal variables."""
from typing import Any, Dict, Optional, SupportsFloat, Tuple

from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

__pyx_capi__: Dict[str, Any]

def propagate_lagrangian(
    r: Optional[Vector3], v: Optional[Vector3], dt: SupportsFloat, mu: SupportsFloat
) -> Tuple[Vector3, Vector3]: ...
def propagate_lagrangian_u(state: Optional[ECI], dt: SupportsFloat) -> ECI: ...
