from typing_extensions import disjoint_base

from vextal._shapes import Matrix
from vextal.vector3 import Vector3

@disjoint_base
class Matrix4(Matrix[Matrix4, Vector3]):
    """An immutable 4x4 matrix of doubles, row by row. Matrix4() is the identity."""
