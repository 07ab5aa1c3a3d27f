"""A mutable 2-vector of doubles."""
from typing import Union

from typing_extensions import disjoint_base

from vextal._shapes import ComponentSequence, Number, Vector

@disjoint_base
class Vector2(Vector[Vector2]):
    """A mutable 2-vector of doubles.
    Built from the components, from nothing (zero) or from one sequence of 2 numbers.
    ``np.asarray(v)`` shares the storage."""

    x: float
    """The x component (read and write)."""
    y: float
    """The y component (read and write)."""
    def __init__(self, x: Union[Number, ComponentSequence] = 0.0, y: Number = 0.0) -> None:
        """The components by position or keyword; `x` alone may instead be one sequence of all two
        (a list, a tuple, a NumPy array): ValueError for another length."""
