from typing_extensions import disjoint_base

from vextal._shapes import Number, Quaternion as _Quaternion
from vextal.vector3 import Vector3

@disjoint_base
class Quaternion(_Quaternion[Quaternion, Vector3]):
    """A mutable quaternion of doubles, scalar part w first; rotates Vector3."""

    w: float
    x: float
    y: float
    z: float
    def __init__(self, w: Number = 1.0, x: Number = 0.0, y: Number = 0.0, z: Number = 0.0) -> None: ...
