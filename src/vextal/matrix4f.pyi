"""The 4x4 matrix of floats."""
from typing_extensions import disjoint_base

from vextal._shapes import Matrix
from vextal.vector3f import Vector3f

@disjoint_base
class Matrix4f(Matrix[Matrix4f, Vector3f]):
    """An immutable 4x4 matrix of floats (single precision storage, arithmetic in double), row by row.
    ``Matrix4f()`` is the identity; built like Matrix4. ``np.asarray(m)`` is a read-only float32 (4, 4) array."""
