"""The 4x4 matrix of doubles (frame rotations such as ECI.eci_to_ric)."""
from typing_extensions import disjoint_base

from vextal._shapes import Matrix
from vextal.vector3 import Vector3

@disjoint_base
class Matrix4(Matrix[Matrix4, Vector3]):
    """An immutable 4x4 matrix of doubles, row by row. ``Matrix4()`` is the identity,
    ``Matrix4(a00, a01, ..., a33)`` takes the 16 elements row by row and ``Matrix4(sequence)`` takes them from one
    sequence (16 numbers, or 4 rows of 4, e.g. a (4, 4) NumPy array). ``np.asarray(m)`` is a read-only float64
    array of shape (4, 4)."""
