"""The quaternion of floats that rotates Vector3f."""
from typing import Union

from typing_extensions import disjoint_base

from vextal._shapes import ComponentSequence, Number, Quaternion as _Quaternion
from vextal.vector3f import Vector3f

@disjoint_base
class Quaternionf(_Quaternion[Quaternionf, Vector3f]):
    """A mutable quaternion of floats, scalar part w first: ``Quaternionf(w, x, y, z)``, ``Quaternionf()`` (the identity
    rotation, w = 1) or ``Quaternionf(sequence)`` of four numbers; rotates Vector3f."""

    w: float
    """The scalar part (read and write)."""
    x: float
    """The x component of the vector part (read and write)."""
    y: float
    """The y component of the vector part (read and write)."""
    z: float
    """The z component of the vector part (read and write)."""
    def __init__(
        self,
        w: Union[Number, ComponentSequence] = 1.0,
        x: Number = 0.0,
        y: Number = 0.0,
        z: Number = 0.0,
    ) -> None:
        """The components by position or keyword; `w` alone may instead be one sequence of all four
        (a list, a tuple, a NumPy array): ValueError for another length."""
