from typing_extensions import disjoint_base

from vextal._shapes import Number, Vector

@disjoint_base
class Vector3f(Vector[Vector3f]):
    """A mutable 3-vector of floats (single precision; arithmetic in double)."""

    x: float
    y: float
    z: float
    def __init__(self, x: Number = 0.0, y: Number = 0.0, z: Number = 0.0) -> None: ...
