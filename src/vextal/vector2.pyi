from typing_extensions import disjoint_base

from vextal._shapes import Number, Vector

@disjoint_base
class Vector2(Vector[Vector2]):
    """A mutable 2-vector of doubles."""

    x: float
    y: float
    def __init__(self, x: Number = 0.0, y: Number = 0.0) -> None: ...
