import copy
import math
import pickle
import struct

import pytest
from hypothesis import given, strategies as st

from vextal.quaternion import Quaternion
from vextal.quaternionf import Quaternionf
from vextal.vector2 import Vector2
from vextal.vector3 import Vector3
from vextal.vector3f import Vector3f
from vextal.vector4 import Vector4
from vextal.vector4f import Vector4f


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


# class, component names, default, rounding of stored components, instance size
TYPES = [
    (Vector2, "xy", (0.0, 0.0), float, 40),
    (Vector4, "xyzw", (0.0,) * 4, float, 56),
    (Vector3f, "xyz", (0.0,) * 3, f32, 40),
    (Vector4f, "xyzw", (0.0,) * 4, f32, 40),
    (Quaternion, "wxyz", (1.0, 0.0, 0.0, 0.0), float, 56),
    (Quaternionf, "wxyz", (1.0, 0.0, 0.0, 0.0), f32, 40),
]
VECTORS = [t for t in TYPES if t[0] not in (Quaternion, Quaternionf)]
QUATERNIONS = [(Quaternion, Vector3, float), (Quaternionf, Vector3f, f32)]


def ids(types):
    return [t[0].__name__ for t in types]


def comps(v):
    return tuple(v)


@pytest.fixture(params=TYPES, ids=ids(TYPES))
def kind(request):
    return request.param


def test_layout_and_table(kind):
    cls, names, default, rnd, size = kind
    assert cls.__basicsize__ == size and cls.__module__ + "." + cls.__name__ == "vextal.%s.%s" % (
        cls.__name__.lower(), cls.__name__)
    assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"
    assert comps(cls()) == default


def test_construction_and_attributes(kind):
    cls, names, default, rnd, size = kind
    n = len(names)
    given_values = [0.1 * (i + 1) for i in range(n)]
    v = cls(*given_values)
    assert comps(v) == tuple(rnd(x) for x in given_values)
    assert tuple(getattr(v, name) for name in names) == comps(v)
    kw = cls(**{names[-1]: 5})
    assert comps(kw) == default[:-1] + (5.0,)
    setattr(v, names[0], 7)
    v[1] = 1e39
    assert getattr(v, names[0]) == 7.0 and v[1] == (math.inf if rnd is f32 else 1e39) and len(v) == n
    for c in (cls, type("Plain", (cls,), {})):  # the class in one step; a subclass through tp_new and tp_init
        assert comps(c(*given_values)) == comps(cls(*given_values)) and comps(c()) == default
        with pytest.raises(TypeError) as info:
            c(*range(n + 1))
        assert str(info.value) == "__init__() takes at most %d positional arguments (%d given)" % (n, n + 1)
        with pytest.raises(TypeError, match="^__init__\\(\\) got an unexpected keyword argument 'q'$"):
            c(q=1)
        with pytest.raises(TypeError) as info:
            c(1, **{names[0]: 2})
        assert str(info.value) == "__init__() got multiple values for keyword argument '%s'" % names[0]
        for bad, error in ((None, TypeError), ("1", TypeError), (10**400, OverflowError)):
            with pytest.raises(error):
                c(bad)
    for bad, error in ((None, TypeError), ("1", TypeError), (10**400, OverflowError)):
        with pytest.raises(error):
            setattr(v, names[-1], bad)
    with pytest.raises(TypeError, match="^%s components cannot be deleted$" % cls.__name__):
        delattr(v, names[0])
    with pytest.raises(IndexError, match="^%s index out of range$" % cls.__name__):
        v[n]


def test_float_types_round_like_ieee_single():
    flt_max, halfway = 3.4028234663852886e38, 3.4028235677973366e38  # halfway to the next binade ties to infinity
    v = Vector3f(0.1, 3.4028235e38, -halfway)
    assert comps(v) == (f32(0.1), flt_max, -math.inf) and Vector3f(halfway * (1 - 1e-16)).x == flt_max
    assert repr(Vector3f(0.1, -2.5, 1e-45)) == "Vector3f(0.1, -2.5, 1e-45)"
    assert math.isnan(Vector4f(math.nan).x) and Vector4f(-0.0).x == 0.0 and math.copysign(1, Vector4f(-0.0).x) == -1


def test_equality_repr_pickling(kind):
    cls, names, default, rnd, size = kind
    v = cls(*[1.5 * (i - 1) for i in range(len(names))])
    assert v == cls(*comps(v)) and v != cls() and v != comps(v) and not (v != cls(*comps(v)))
    assert eval(repr(v), {cls.__name__: cls}) == v and repr(cls()).startswith(cls.__name__ + "(")
    for clone in (lambda o: pickle.loads(pickle.dumps(o)), copy.copy, copy.deepcopy):
        w = clone(v)
        assert w == v and w is not v and type(w) is cls
    with pytest.raises(TypeError):
        hash(v)
    with pytest.raises(TypeError):
        v < v


def test_subclassing(kind):
    cls, names, default, rnd, size = kind

    class Sub(cls):
        def __init__(self, *args, tag=None):
            super().__init__(*args)
            self.tag = tag

    globals()["Sub"] = Sub
    Sub.__qualname__ = "Sub"
    s = Sub(*range(len(names)), tag="kept")
    w = pickle.loads(pickle.dumps(s))
    assert type(w) is Sub and w == s and w.tag == "kept" and repr(s).startswith("Sub(")
    assert s + s == cls(*[2.0 * i for i in range(len(names))]) and type(s + s) is cls

    class NoInit(cls):
        def __init__(self):
            pass

    assert comps(NoInit()) == default  # defaults even without the base __init__


# ---- vectors ------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", VECTORS, ids=ids(VECTORS))
def test_vector_methods(kind):
    cls, names, default, rnd, size = kind
    n = len(names)
    a = cls(*[float(i + 1) for i in range(n)])
    b = cls(*[0.5 - i for i in range(n)])
    av, bv = comps(a), comps(b)
    assert a.magnitude_squared() == sum(x * x for x in av) and a.magnitude() == math.sqrt(a.magnitude_squared())
    assert a.dot(b) == sum(x * y for x, y in zip(av, bv)) and abs(a) == a.magnitude()
    assert comps(a.add(b)) == comps(a + b) == tuple(x + y for x, y in zip(av, bv))
    assert comps(a.subtract(b)) == comps(a - b) == tuple(x - y for x, y in zip(av, bv))
    assert comps(a.multiply(-2)) == comps(a * -2) == comps(-2 * a) == tuple(-2 * x for x in av)
    assert comps(a / 4) == tuple(x / 4 for x in av)
    assert comps(a.negate()) == comps(-a) == tuple(-x for x in av)
    assert a.normalize().magnitude() == pytest.approx(1.0, abs=1e-6) and cls().normalize() == cls()
    assert a.distance(b) == pytest.approx(math.sqrt(sum((x - y) ** 2 for x, y in zip(av, bv))))
    with pytest.raises(ZeroDivisionError, match="^float division$"):
        a / 0
    for op in (lambda: a + 1, lambda: a * a, lambda: 1 / a, lambda: a * "2"):
        with pytest.raises(TypeError):
            op()


@pytest.mark.parametrize("kind", TYPES, ids=ids(TYPES))
@pytest.mark.parametrize("name", ["dot", "add", "subtract", "distance"])
@pytest.mark.parametrize("bad", [None, 1.0, "v", Vector3()])
def test_vector_arguments_are_checked(kind, name, bad):
    cls = kind[0]
    if name == "distance" and cls in (Quaternion, Quaternionf):
        name = "multiply"
    with pytest.raises(TypeError) as info:
        getattr(cls(), name)(bad)
    got = "vextal.vector3.Vector3" if type(bad) is Vector3 else type(bad).__name__
    assert str(info.value) == "Argument 'other' has incorrect type (expected vextal.%s.%s, got %s)" % (
        cls.__name__.lower(), cls.__name__, got)


@pytest.mark.parametrize("kind", TYPES, ids=ids(TYPES))
def test_call_counts(kind):
    cls = kind[0]
    with pytest.raises(TypeError, match=r"magnitude\(\) takes no arguments \(1 given\)"):
        cls().magnitude(1)
    with pytest.raises(TypeError, match=r"dot\(\) takes exactly one argument \(0 given\)"):
        cls().dot()


# ---- quaternions --------------------------------------------------------------------------------------------


@pytest.mark.parametrize("Q, V, rnd", QUATERNIONS, ids=["Quaternion", "Quaternionf"])
def test_quaternion_algebra(Q, V, rnd):
    one, i, j, k = Q(), Q(0, 1, 0, 0), Q(0, 0, 1, 0), Q(0, 0, 0, 1)
    assert i * j == k and j * k == i and k * i == j and j * i == -k and i * i == -one and i.multiply(j) == k
    q = Q(1, 2, -3, 0.5)
    assert q.conjugate() == Q(1, -2, 3, -0.5) and q * 2 == 2 * q == Q(2, 4, -6, 1) and q / 2 == Q(0.5, 1, -1.5, 0.25)
    assert all(math.isclose(a, b, abs_tol=1e-6) for a, b in zip(q * q.inverse(), one))
    assert q.magnitude_squared() == 14.25 and q.normalize().magnitude() == pytest.approx(1, abs=1e-6)
    assert Q(0, 0, 0, 0).normalize() == Q(0, 0, 0, 0)
    with pytest.raises(ZeroDivisionError, match="^zero %s has no inverse$" % Q.__name__):
        Q(0, 0, 0, 0).inverse()


@pytest.mark.parametrize("Q, V, rnd", QUATERNIONS, ids=["Quaternion", "Quaternionf"])
@pytest.mark.parametrize("axis, degrees", [((0, 0, 1), 90), ((1, 1, 1), 120), ((1, -2, 0.5), -33), ((0, 3, 0), 180)])
def test_quaternion_rotation_matches_vector3_rotate(Q, V, rnd, axis, degrees):
    q = Q.from_axis_angle(V(*axis), degrees)
    point = (0.3, -1.2, 2.0)
    expected = Vector3(*point).rotate(Vector3(*axis), degrees)
    for rotation in (q, q * 3.5):  # the rotation ignores the norm
        got = rotation.rotate(V(*point))
        assert type(got) is V
        assert all(math.isclose(a, b, abs_tol=1e-5 if rnd is f32 else 1e-12) for a, b in zip(got, expected))
    assert q.inverse().rotate(q.rotate(V(*point))) == pytest.approx(V(*point), abs=1e-5)


@pytest.mark.parametrize("Q, V, rnd", QUATERNIONS, ids=["Quaternion", "Quaternionf"])
def test_quaternion_errors(Q, V, rnd):
    other = Vector3f if V is Vector3 else Vector3
    expected = "%s.%s" % (V.__module__, V.__name__)
    for bad in (None, other(), Q()):
        with pytest.raises(TypeError) as info:
            Q().rotate(bad)
        assert str(info.value).startswith("Argument 'v' has incorrect type (expected %s, got " % expected)
    with pytest.raises(ZeroDivisionError, match="^zero %s is no rotation$" % Q.__name__):
        Q(0, 0, 0, 0).rotate(V(1, 2, 3))
    with pytest.raises(ValueError, match="^rotation axis has zero length$"):
        Q.from_axis_angle(V(), 10)
    with pytest.raises(TypeError, match=r"^from_axis_angle\(\) takes exactly 2 positional arguments \(1 given\)$"):
        Q.from_axis_angle(V(1, 0, 0))
    with pytest.raises(TypeError, match=r"^Argument 'axis' has incorrect type"):
        Q.from_axis_angle(axis=other(1, 0, 0), degrees=3)
    with pytest.raises(TypeError, match="^must be real number, not str$"):
        Q.from_axis_angle(V(1, 0, 0), "3")

    class R(Q):
        pass

    assert type(R.from_axis_angle(V(0, 0, 1), 10)) is R


# ---- property-based -----------------------------------------------------------------------------------------

numbers = st.one_of(st.floats(), st.integers(min_value=-(2**80), max_value=2**80))
finite = st.floats(min_value=-1e30, max_value=1e30, allow_nan=False)


@pytest.mark.parametrize("kind", TYPES, ids=ids(TYPES))
@given(data=st.data())
def test_any_numbers_construct_and_operate(kind, data):
    cls, names, default, rnd, size = kind
    raw = data.draw(st.lists(numbers, min_size=len(names), max_size=len(names)))
    v = cls(*raw)
    stored = comps(v)
    assert all(s == rnd(float(r)) or (math.isnan(s) and math.isnan(r)) for s, r in zip(stored, raw))
    w = cls(*reversed(stored))
    for name in ("magnitude", "magnitude_squared", "normalize", "__neg__", "__abs__", "__repr__"):
        getattr(v, name)()
    quaternion = cls in (Quaternion, Quaternionf)
    for name in ("dot", "add", "subtract", "__add__", "__sub__", "__mul__" if quaternion else "distance"):
        getattr(v, name)(w)
    if quaternion:
        for name in ("conjugate", "inverse"):
            try:
                getattr(v, name)()
            except ZeroDivisionError:
                assert v.magnitude_squared() == 0.0


@given(st.lists(finite, min_size=4, max_size=4), st.lists(finite, min_size=4, max_size=4))
def test_hamilton_product_matches_reference(a, b):
    w1, x1, y1, z1 = a
    w2, x2, y2, z2 = b
    expected = (w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2, w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2,
                w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2, w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2)
    assert comps(Quaternion(*a) * Quaternion(*b)) == expected
    assert comps(Quaternionf(*a) * Quaternionf(*b)) == pytest.approx(
        tuple(f32(e) for e in (comps(Quaternion(*map(f32, a)) * Quaternion(*map(f32, b))))), nan_ok=True)
