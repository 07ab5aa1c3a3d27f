"""The quaternion of doubles that rotates Vector3."""
from typing import Union

from typing_extensions import disjoint_base

from vextal._shapes import ComponentSequence, Number, Quaternion as _Quaternion
from vextal.vector3 import Vector3

@disjoint_base
class Quaternion(_Quaternion[Quaternion, Vector3]):
    """A mutable quaternion of doubles, scalar part w first: ``Quaternion(w, x, y, z)``, ``Quaternion()`` (the identity
    rotation, w = 1) or ``Quaternion(sequence)`` of four numbers; rotates Vector3."""

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
