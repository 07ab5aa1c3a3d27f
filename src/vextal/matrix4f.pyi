from typing_extensions import disjoint_base

from vextal._shapes import Matrix
from vextal.vector3f import Vector3f

@disjoint_base
class Matrix4f(Matrix[Matrix4f, Vector3f]):
    """An immutable 4x4 matrix of floats, row by row. Matrix4f() is the identity."""
