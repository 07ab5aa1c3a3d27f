"""The math types with NumPy: scalars of every NumPy type scale a vector into a vector, vectors and matrices
convert to arrays of the right dtype and shape (through the buffer protocol, so NumPy is no build dependency),
and a vector or matrix is built from one array or sequence."""
import array
import fractions
import gc
import io
import sys

import pytest

from vextal.astro.orbitvector import LLH
from vextal.matrix4 import Matrix4
from vextal.matrix4f import Matrix4f
from vextal.quaternion import Quaternion
from vextal.quaternionf import Quaternionf
from vextal.vector2 import Vector2
from vextal.vector3 import Vector3
from vextal.vector3f import Vector3f
from vextal.vector4 import Vector4
from vextal.vector4f import Vector4f

np = pytest.importorskip("numpy")

# class, components, NumPy dtype of its buffer
RECORDS = [(Vector3, (1.0, -2.0, 3.5), "float64"), (LLH, (45.0, 10.0, 0.25), "float64"),
           (Vector2, (1.0, -2.0), "float64"), (Vector4, (1.0, -2.0, 3.5, 4.0), "float64"),
           (Vector3f, (1.0, -2.0, 3.5), "float32"), (Vector4f, (1.0, -2.0, 3.5, 4.0), "float32"),
           (Quaternion, (0.5, 1.0, -2.0, 3.5), "float64"), (Quaternionf, (0.5, 1.0, -2.0, 3.5), "float32")]
SCALARS = [np.float64(2.5), np.float32(2.5), np.int64(3), np.int8(-2), np.uint16(7), np.bool_(True),
           fractions.Fraction(5, 2), 2.5, 3]
ids = [cls.__name__ for cls, _, _ in RECORDS]


@pytest.mark.parametrize("cls, values, dtype", RECORDS, ids=ids)
@pytest.mark.parametrize("scalar", SCALARS, ids=lambda s: type(s).__name__)
def test_a_scalar_of_any_kind_scales_a_record_into_a_record(cls, values, dtype, scalar):
    record = cls(*values)
    expected = [c * float(scalar) for c in values]
    for product in (scalar * record, record * scalar):
        assert type(product) is (Vector3 if cls is LLH else cls)  # LLH's arithmetic gives plain vectors
        assert list(product) == expected
    if scalar:
        quotient = record / scalar
        assert list(quotient) == pytest.approx([c / float(scalar) for c in values], rel=1e-6)


@pytest.mark.parametrize("other", [np.array([1.0, 2.0, 3.0]), np.array(2.0), np.complex128(2.0), 2j],
                         ids=["array", "0-d array", "complex128", "complex"])
def test_arrays_and_complex_numbers_do_not_multiply_a_vector(other):
    v = Vector3(1.0, 2.0, 3.0)
    for operation in (lambda: other * v, lambda: v * other, lambda: v / other):
        with pytest.raises(TypeError, match="unsupported operand|does not support ufuncs"):
            operation()


@pytest.mark.parametrize("cls, values, dtype", RECORDS, ids=ids)
def test_records_convert_to_arrays_that_view_them(cls, values, dtype):
    record = cls(*values)
    view = np.asarray(record)
    assert view.dtype == np.dtype(dtype) and view.shape == (len(values),)
    assert view.tolist() == list(record)
    view[0] = 8.0  # a view shares the record's storage, as its sequence assignment does
    assert record[0] == 8.0
    copy = np.array(record)
    copy[1] = 9.0
    assert record[1] == values[1]
    assert np.array([record, record]).shape == (2, len(values))


@pytest.mark.parametrize("cls, dtype", [(Matrix4, "float64"), (Matrix4f, "float32")])
def test_matrices_convert_to_read_only_arrays_row_by_row(cls, dtype):
    m = cls(*range(16))
    array = np.asarray(m)
    assert array.dtype == np.dtype(dtype) and array.shape == (4, 4)
    assert array.tolist() == m.tolist()
    assert array[1, 2] == m.get(1, 2) == 6.0
    with pytest.raises(ValueError, match="read-only"):
        array[0, 0] = 1.0
    assert memoryview(m).readonly
    with pytest.raises(TypeError, match="read-write"):
        io.BytesIO(bytes(128)).readinto(m)  # asks for a writable buffer
    assert (np.asarray(cls()) == np.eye(4)).all()


def test_buffers_without_numpy_and_the_exporter_stays_alive():
    v = Vector3(1.0, 2.0, 3.0)
    before = sys.getrefcount(v)
    view = memoryview(v)
    assert (view.format, view.shape, view.strides, view.readonly) == ("d", (3,), (8,), False)
    assert view.tolist() == [1.0, 2.0, 3.0]
    assert sys.getrefcount(v) == before + 1
    view.release()
    assert sys.getrefcount(v) == before
    m = memoryview(Matrix4f(*range(16)))
    assert (m.format, m.shape, m.strides, m.readonly) == ("f", (4, 4), (16, 4), True)
    array = np.asarray(Vector3(4.0, 5.0, 6.0))  # the only reference to the vector is the array's
    gc.collect()
    assert array.tolist() == [4.0, 5.0, 6.0]


@pytest.mark.parametrize("source", [np.array([1.0, 2.0, 3.0]), np.array([1, 2, 3], dtype=np.int32),
                                    np.array([1, 2, 3], dtype=np.float32), np.array([1.0, 0, 2, 0, 3, 0])[::2],
                                    memoryview(array.array("d", [1, 2, 3])), [1, 2, 3], (1.0, 2.0, 3.0),
                                    Vector3(1, 2, 3), Vector3f(1, 2, 3), range(1, 4)],
                         ids=["float64 array", "int32 array", "float32 array", "strided array", "memoryview", "list",
                              "tuple", "Vector3", "Vector3f", "range"])
def test_a_vector_is_built_from_one_sequence_of_three(source):
    for cls in (Vector3, LLH, Vector3f):
        v = cls(source)
        assert type(v) is cls and list(v) == [1.0, 2.0, 3.0]
    class Sub(Vector3):  # through tp_new and __init__ rather than the class call shortcut
        pass
    assert list(Sub(source)) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("cls, args, error, message", [
    (Vector3, (np.array([1.0, 2.0]),), ValueError, r"Vector3\(\) takes a sequence of 3 numbers \(got 2\)"),
    (Vector3, ([1, 2, 3, 4],), ValueError, r"takes a sequence of 3 numbers \(got 4\)"),
    (Vector3f, (np.zeros(5, dtype=np.float32),), ValueError, r"Vector3f\(\) takes a sequence of 3 numbers \(got 5\)"),
    (Vector4, ([1, 2, 3],), ValueError, r"Vector4\(\) takes a sequence of 4 numbers \(got 3\)"),
    (Vector3, (np.zeros((3, 2)),), TypeError, "array"),
    (Vector3, ([1, "a", 3],), TypeError, "must be real number, not str"),
    (Vector3, ("123",), TypeError, "must be real number, not str"),
    (Vector3, (None,), TypeError, "must be real number, not NoneType"),
    (Vector3, (np.float64(4.0),), None, None),  # a scalar is still the x component
    (Vector3f, (np.float32(4.0),), None, None),
])
def test_construction_from_a_sequence_refuses_what_does_not_fit(cls, args, error, message):
    if error is None:
        assert list(cls(*args)) == [4.0, 0.0, 0.0]
        return
    with pytest.raises(error, match=message):
        cls(*args)


@pytest.mark.parametrize("source", [np.arange(16.0).reshape(4, 4), np.arange(16.0, dtype=np.float32).reshape(4, 4),
                                    np.arange(16.0).reshape(4, 4).T.copy().T, np.arange(16.0), [list(range(4 * i, 4 * i + 4))
                                    for i in range(4)], range(16), Matrix4(*range(16)), Matrix4f(*range(16))],
                         ids=["4x4 array", "4x4 float32", "4x4 Fortran order", "flat array", "nested list", "range",
                              "Matrix4", "Matrix4f"])
def test_a_matrix_is_built_from_one_sequence(source):
    for cls in (Matrix4, Matrix4f):
        assert cls(source) == cls(*range(16))


@pytest.mark.parametrize("source", [np.zeros((3, 3)), np.zeros((2, 8)), np.zeros(15), [[1, 2, 3, 4]] * 3 + [[1, 2, 3]],
                                    [1] * 4])
def test_a_matrix_from_a_sequence_of_the_wrong_shape_is_refused(source):
    with pytest.raises(ValueError, match="Matrix4"):
        Matrix4(source)
