"""The 3-vector of doubles that states, burns and frames share by reference."""
from typing import Tuple, Union

from typing_extensions import disjoint_base

from vextal._shapes import ComponentSequence, Number, Vector
from vextal.matrix4 import Matrix4

@disjoint_base
class Vector3(Vector[Vector3]):
    """A mutable 3-vector of doubles: ``Vector3(x, y, z)``, ``Vector3()`` (zero) or ``Vector3(sequence)`` from one
    list, tuple or NumPy array of three numbers. Positions are in km and velocities in km/s wherever the package
    uses them. Mutable and therefore unhashable; ``==`` compares the components exactly. ``np.asarray(v)`` is a
    float64 array of shape (3,) that shares the vector's storage; ``np.array(v)`` copies."""

    x: float
    """The x component (read and write)."""
    y: float
    """The y component (read and write)."""
    z: float
    """The z component (read and write)."""
    def __init__(self, x: Union[Number, ComponentSequence] = 0.0, y: Number = 0.0, z: Number = 0.0) -> None:
        """The components by position or keyword; `x` alone may instead be one sequence of all three
        (a list, a tuple, a NumPy array): ValueError for another length."""
    def cross(self, other: Vector3, /) -> Vector3:
        """The vector product self x other."""
    def divide(self, s: Number, /) -> Vector3:
        """Every component divided by `s`; ZeroDivisionError "float division" for 0."""
    def angle(self, other: Vector3, /) -> float:
        """The angle between the two vectors in degrees, in [0, 180]."""
    def transform(self, m: Matrix4, /) -> Vector3:
        """The point transformed by `m`: rows 1 to 3 of m applied to (x, y, z, 1)."""
    def transform_direction(self, m: Matrix4, /) -> Vector3:
        """The direction transformed by the upper-left 3x3 block of `m` (no translation)."""
    def scale(self, other: Vector3, /) -> Vector3:
        """The component-wise product."""
    def lerp(self, other: Vector3, t: Number) -> Vector3:
        """Linear interpolation: self + (other - self) * t."""
    def project(self, other: Vector3, /) -> Vector3:
        """The component along `other` (the zero vector when `other` is zero)."""
    def reject(self, other: Vector3, /) -> Vector3:
        """The component perpendicular to `other`: self - self.project(other)."""
    def rotate(self, axis: Vector3, degrees: Number) -> Vector3:
        """Rotated right-handedly about `axis` by `degrees`; ValueError for a zero axis."""
    def minimum(self, other: Vector3, /) -> Vector3:
        """The component-wise minimum."""
    def maximum(self, other: Vector3, /) -> Vector3:
        """The component-wise maximum."""
    def is_close(self, other: Vector3, tolerance: Number = 1e-12) -> bool:
        """True when the distance between the two is at most `tolerance`."""
    def copy(self) -> Vector3:
        """A new vector with the same components (states never copy: they hold the caller's vector)."""
    def set(self, x: Number, y: Number, z: Number) -> None:
        """Sets the three components in place; every state holding this vector sees the change."""
    def to_tuple(self) -> Tuple[float, float, float]:
        """(x, y, z) as floats."""
