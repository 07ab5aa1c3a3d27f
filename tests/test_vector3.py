import copy
import math
import pickle

import pytest
from hypothesis import given, strategies as st

from conftest import run_python
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3

finite = st.floats(min_value=-1e100, max_value=1e100, allow_nan=False)
anything = st.one_of(st.floats(), st.integers(min_value=-(10**20), max_value=10**20))


class Plain(Vector3):  # constructed through tp_new and tp_init, the class itself in one step
    pass


def components(v):
    return (v.x, v.y, v.z)


def same(a, b):  # equal, with NaN equal to NaN
    return all(x == y or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def close(a, b, tol=1e-9):
    return all(math.isclose(x, y, rel_tol=tol, abs_tol=tol) for x, y in zip(a, b))


# ---- construction and attributes ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, (0.0, 0.0, 0.0)),
        ((1, 2, 3), {}, (1.0, 2.0, 3.0)),
        ((1.5,), {"z": -2}, (1.5, 0.0, -2.0)),
        ((), {"y": True}, (0.0, 1.0, 0.0)),
        ((math.inf, -math.inf, 2**60), {}, (math.inf, -math.inf, float(2**60))),
    ],
)
def test_construction(args, kwargs, expected):
    for cls in (Vector3, Plain):
        v = cls(*args, **kwargs)
        assert components(v) == expected and all(type(c) is float for c in v) and type(v) is cls


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1, 2, 3, 4), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
        ((), {"q": 1}, TypeError, "__init__() got an unexpected keyword argument 'q'"),
        ((1,), {"x": 2}, TypeError, "__init__() got multiple values for keyword argument 'x'"),
        ((None,), {}, TypeError, "must be real number, not NoneType"),
        (("1",), {}, TypeError, "must be real number, not str"),
        ((1, 10**400), {}, OverflowError, "int too large to convert to float"),
    ],
)
def test_construction_errors(args, kwargs, error, message):
    for cls in (Vector3, Plain):
        with pytest.raises(error) as info:
            cls(*args, **kwargs)
        assert str(info.value) == message


def test_attributes_are_settable_and_checked():
    v = Vector3()
    v.x, v.y, v.z = 1, 2.5, math.nan
    assert v.x == 1.0 and v.y == 2.5 and math.isnan(v.z)
    v[0] = -4
    assert v.x == -4.0
    with pytest.raises(TypeError, match="must be real number, not str"):
        v.y = "a"
    with pytest.raises(TypeError, match="^Vector3 components cannot be deleted$"):
        del v.x
    with pytest.raises(AttributeError):
        v.w = 1


def test_sequence_protocol():
    v = Vector3(1, 2, 3)
    assert len(v) == 3 and list(v) == [1.0, 2.0, 3.0] and v[-1] == 3.0 and tuple(v) == v.to_tuple()
    for bad in (3, -4):
        with pytest.raises(IndexError, match="^Vector3 index out of range$"):
            v[bad]
    with pytest.raises(TypeError):
        v["x"]


# ---- operators, equality, repr ------------------------------------------------------------------------------


def test_operators():
    a, b = Vector3(1, 2, 3), Vector3(-1, 0.5, 2)
    assert a + b == Vector3(0, 2.5, 5) and a - b == Vector3(2, 1.5, 1)
    assert a * 2 == 2 * a == Vector3(2, 4, 6) and a / 2 == Vector3(0.5, 1, 1.5)
    assert -a == Vector3(-1, -2, -3) and +a == a and +a is not a and abs(Vector3(3, 4, 0)) == 5.0
    assert a != b and not (a == b) and a != (1.0, 2.0, 3.0)
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        a / 0
    for op in (lambda: a + 1, lambda: a * a, lambda: 2 / a, lambda: a < b, lambda: a * "s", lambda: hash(a)):
        with pytest.raises(TypeError):
            op()


def test_nan_is_not_equal_to_itself():
    v = Vector3(math.nan, 0, 0)
    assert v != v.copy()


@pytest.mark.parametrize("v", [Vector3(), Vector3(0.1, -2e-300, 1e300), Vector3(math.inf, -math.inf, -0.0)])
def test_repr_round_trips(v):
    assert repr(v).startswith("Vector3(")
    assert same(components(eval(repr(v), {"Vector3": Vector3, "inf": math.inf})), components(v))


# ---- pickling, copying, subclassing -------------------------------------------------------------------------


class Tagged(Vector3):
    def __init__(self, x=0.0, y=0.0, z=0.0, tag=None):
        super().__init__(x, y, z)
        self.tag = tag


@pytest.mark.parametrize("clone", [lambda v: pickle.loads(pickle.dumps(v)), copy.copy, copy.deepcopy])
def test_pickling_and_copying(clone):
    v = Vector3(1, -2, 3.25)
    w = clone(v)
    assert w == v and w is not v and type(w) is Vector3
    t = Tagged(4, 5, 6)
    t.tag = ["kept"]
    u = clone(t)
    assert type(u) is Tagged and u == t and u.tag == ["kept"]


def test_subclass_overrides_shape_operators():
    class Loud(Vector3):
        def add(self, other):
            return Vector3(99, 99, 99)

        def subtract(self, other):
            return 7

    a = Loud(1, 1, 1)
    assert a + a == Vector3(99, 99, 99)
    assert Vector3.add(a, a) == Vector3(2, 2, 2)  # the base method runs the native body
    assert repr(a) == "Loud(1.0, 1.0, 1.0)"
    with pytest.raises(TypeError, match="^Cannot convert int to vextal.vector3.Vector3$"):
        a - a


# ---- the methods --------------------------------------------------------------------------------------------

A, B = Vector3(1, 2, 3), Vector3(-2, 0.5, 4)
M = Matrix4(0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: A.magnitude_squared(), 14.0),
        (lambda: A.magnitude(), math.sqrt(14)),
        (lambda: A.dot(B), 11.0),
        (lambda: A.cross(B), (6.5, -10.0, 4.5)),
        (lambda: A.add(B), (-1.0, 2.5, 7.0)),
        (lambda: A.subtract(B), (3.0, 1.5, -1.0)),
        (lambda: A.multiply(-2), (-2.0, -4.0, -6.0)),
        (lambda: A.divide(4), (0.25, 0.5, 0.75)),
        (lambda: A.negate(), (-1.0, -2.0, -3.0)),
        (lambda: Vector3(0, 3, 4).normalize(), (0.0, 0.6, 0.8)),
        (lambda: Vector3().normalize(), (0.0, 0.0, 0.0)),
        (lambda: A.distance(B), math.sqrt(9 + 2.25 + 1)),
        (lambda: Vector3(1, 0, 0).angle(Vector3(0, 5, 0)), 90.0),
        (lambda: Vector3(1, 0, 0).angle(Vector3(-1, 1e-17, 0)), 180.0),
        (lambda: A.transform(M), (8.0, 21.0, 33.0)),
        (lambda: A.transform_direction(M), (-2.0, 1.0, 3.0)),
        (lambda: A.scale(B), (-2.0, 1.0, 12.0)),
        (lambda: A.lerp(B, 0.5), (-0.5, 1.25, 3.5)),
        (lambda: A.lerp(other=B, t=2), (-5.0, -1.0, 5.0)),
        (lambda: A.project(Vector3(0, 0, 2)), (0.0, 0.0, 3.0)),
        (lambda: A.project(Vector3()), (0.0, 0.0, 0.0)),
        (lambda: A.reject(Vector3(0, 0, 2)), (1.0, 2.0, 0.0)),
        (lambda: Vector3(1, 0, 0).rotate(Vector3(0, 0, 3), 90), (0.0, 1.0, 0.0)),
        (lambda: A.minimum(B), (-2.0, 0.5, 3.0)),
        (lambda: A.maximum(B), (1.0, 2.0, 4.0)),
        (lambda: A.is_close(Vector3(1, 2, 3 + 1e-13)), True),
        (lambda: A.is_close(B, tolerance=1.0), False),
        (lambda: A.copy(), (1.0, 2.0, 3.0)),
        (lambda: A.to_tuple(), (1.0, 2.0, 3.0)),
    ],
)
def test_methods(call, expected):
    result = call()
    if isinstance(expected, tuple) and not isinstance(result, tuple):
        assert type(result) is Vector3
        result = components(result)
    assert result == pytest.approx(expected, abs=1e-12)


def test_set_and_copy_are_distinct_objects():
    v = Vector3(1, 2, 3)
    w = v.copy()
    assert v.set(7, 8, z=9) is None and components(v) == (7.0, 8.0, 9.0) and components(w) == (1.0, 2.0, 3.0)


# ---- bad input on every method: a Python exception, never a crash -------------------------------------------

VECTOR_METHODS = ["dot", "cross", "add", "subtract", "distance", "angle", "scale", "project", "reject", "minimum",
                  "maximum"]


@pytest.mark.parametrize("name", VECTOR_METHODS)
@pytest.mark.parametrize("bad", [None, 1.0, "v", (1, 2, 3), Matrix4()])
def test_vector_arguments_are_checked(name, bad):
    with pytest.raises(TypeError) as info:
        getattr(A, name)(bad)
    assert str(info.value) == "Argument 'other' has incorrect type (expected vextal.vector3.Vector3, got %s)" % (
        type(bad).__name__ if type(bad) is not Matrix4 else "vextal.matrix4.Matrix4")


def test_failed_matrix4_import_is_an_error():
    proc = run_python(
        "import vextal.matrix4 as m\n"
        "m.Matrix4 = 3\n"
        "from vextal.vector3 import Vector3\n"
        "try:\n"
        "    Vector3().transform(None)\n"
        "except TypeError as e:\n"
        "    print(e)\n", check=False)
    assert (proc.returncode, proc.stdout.strip()) == (0, "vextal.matrix4.Matrix4 is not a type object")


@pytest.mark.parametrize("name", ["transform", "transform_direction"])
@pytest.mark.parametrize("bad", [None, A, "m"])
def test_matrix_arguments_are_checked(name, bad):
    with pytest.raises(TypeError, match=r"^Argument 'm' has incorrect type \(expected vextal.matrix4.Matrix4, got "):
        getattr(A, name)(bad)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: A.cross(), TypeError, r"cross\(\) takes exactly one argument \(0 given\)"),
        (lambda: A.magnitude(1), TypeError, r"magnitude\(\) takes no arguments \(1 given\)"),
        (lambda: A.multiply(None), TypeError, "^must be real number, not NoneType$"),
        (lambda: A.divide(10**400), OverflowError, "^int too large to convert to float$"),
        (lambda: A.divide(0), ZeroDivisionError, "^float division$"),
        (lambda: A.lerp(B), TypeError, r"^lerp\(\) takes exactly 2 positional arguments \(1 given\)$"),
        (lambda: A.lerp(B, 1, t=2), TypeError, "^lerp\\(\\) got multiple values for keyword argument 't'$"),
        (lambda: A.lerp(B, "t"), TypeError, "^must be real number, not str$"),
        (lambda: A.rotate(B, 1, 2), TypeError, r"^rotate\(\) takes exactly 2 positional arguments \(3 given\)$"),
        (lambda: A.rotate(Vector3(), 10), ValueError, "^rotation axis has zero length$"),
        (lambda: A.rotate(None, 10), TypeError, "^Argument 'axis' has incorrect type"),
        (lambda: A.is_close(), TypeError, r"^is_close\(\) takes at least 1 positional argument \(0 given\)$"),
        (lambda: A.is_close(B, 1, 2), TypeError, r"^is_close\(\) takes at most 2 positional arguments \(3 given\)$"),
        (lambda: A.is_close(B, tol=1), TypeError, "^is_close\\(\\) got an unexpected keyword argument 'tol'$"),
        (lambda: A.set(1, 2), TypeError, r"^set\(\) takes exactly 3 positional arguments \(2 given\)$"),
        (lambda: A.set(1, 2, "3"), TypeError, "^must be real number, not str$"),
        (lambda: A.set(1, 2, **{"z": 3, "w": 4}), TypeError, "^set\\(\\) got an unexpected keyword argument 'w'$"),
    ],
)
def test_call_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_subclass_instances_are_accepted_as_arguments():
    t = Tagged(0, 0, 1)
    assert A.cross(t) == Vector3(2, -1, 0) and t.dot(A) == 3.0 and type(t.negate()) is Vector3


# ---- property-based -----------------------------------------------------------------------------------------


@given(anything, anything, anything)
def test_any_numbers_construct(x, y, z):
    v = Vector3(x, y, z)
    assert same(components(v), (float(x), float(y), float(z)))
    # every method on any values returns without raising (IEEE results, no exceptions)
    for name in ("magnitude", "magnitude_squared", "normalize", "negate", "copy", "to_tuple"):
        getattr(v, name)()
    for name in VECTOR_METHODS:
        getattr(v, name)(Vector3(y, z, x))
    v.transform(M), v.lerp(v, 0.5), v.is_close(v), v.multiply(x)


@given(st.tuples(finite, finite, finite), st.tuples(finite, finite, finite))
def test_methods_match_reference(a, b):
    u, v = Vector3(*a), Vector3(*b)
    cross = (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])
    assert components(u.cross(v)) == cross
    assert u.dot(v) == a[0] * b[0] + a[1] * b[1] + a[2] * b[2]
    assert components(u + v) == tuple(p + q for p, q in zip(a, b))
    assert components(u - v) == tuple(p - q for p, q in zip(a, b))
    n = u.magnitude()
    if 1e-150 < n < 1e150:
        assert close(components(u.normalize()), tuple(c / n for c in a))
        assert u.normalize().magnitude() == pytest.approx(1.0)
