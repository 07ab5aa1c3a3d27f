import pickle

import pytest

from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3


def test_vector_basics():
    v = Vector3(1, 2, 3)
    assert (v.x, v.y, v.z) == (1.0, 2.0, 3.0)
    assert v.cross(Vector3(0, 0, 1)) == Vector3(2, -1, 0)
    assert pickle.loads(pickle.dumps(v)) == v


def test_matrix_inverse_and_singular():
    m = Matrix4(0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)
    assert m.multiply(m.inverse()).is_close(Matrix4())
    with pytest.raises(ValueError):
        Matrix4(*range(16)).inverse()
