from typing_extensions import disjoint_base

from vextal._shapes import Number, Quaternion as _Quaternion
from vextal.vector3f import Vector3f

@disjoint_base
class Quaternionf(_Quaternion[Quaternionf, Vector3f]):
    """A mutable quaternion of floats, scalar part w first; rotates Vector3f."""

    w: float
    x: float
    y: float
    z: float
    def __init__(self, w: Number = 1.0, x: Number = 0.0, y: Number = 0.0, z: Number = 0.0) -> None: ...
