import copy
import math
import pickle
import struct
import weakref
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from vextal.matrix4 import Matrix4
from vextal.matrix4f import Matrix4f
from vextal.vector3 import Vector3
from vextal.vector3f import Vector3f


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


# Each matrix class with its 3-vector class and the rounding of its stored elements.
KINDS = [pytest.param((Matrix4, Vector3, float), id="Matrix4"), pytest.param((Matrix4f, Vector3f, f32), id="Matrix4f")]
ROT = (0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)  # 90 degrees about z
GENERAL = (2, 1, 0, 3, 0, 1, 4, -1, 5, 0, 1, 2, 1, 1, 1, 1)


def elements(m):
    return [e for row in m.tolist() for e in row]


def exact_det(a):  # Laplace expansion on exact fractions
    if len(a) == 1:
        return a[0][0]
    return sum((-1) ** j * a[0][j] * exact_det([row[:j] + row[j + 1:] for row in a[1:]]) for j in range(len(a)))


def rows(values):
    return [[Fraction(v) for v in values[4 * i:4 * i + 4]] for i in range(4)]


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


def test_construction_and_identity(kind):
    M, V, rnd = kind
    name = M.__name__
    assert elements(M()) == [1.0 if i % 5 == 0 else 0.0 for i in range(16)] and M() == M.identity()
    m = M(*[0.1 * i for i in range(16)])
    assert elements(m) == [rnd(0.1 * i) for i in range(16)] and m.get(3, 2) == rnd(1.4000000000000001)
    for args in ((1, 2), tuple(range(17))):
        with pytest.raises(TypeError) as info:
            M(*args)
        assert str(info.value) == "%s() takes 0 or 16 positional arguments (%d given)" % (name, len(args))
    with pytest.raises(TypeError, match=r"^%s\(\) takes no keyword arguments$" % name):
        M(a=1)
    with pytest.raises(TypeError, match="must be real number, not str"):
        M(*(["1"] * 16))
    with pytest.raises(OverflowError):
        M(*([10**400] * 16))


def test_inverse_transpose_product(kind):
    M, V, rnd = kind
    r, g = M(*ROT), M(*GENERAL)
    assert r.inverse() == r.transpose() and r @ r.inverse() == M()
    assert (g @ g.inverse()).is_close(M(), 1e-6) and g.multiply(g.inverse()).is_close(M(), 1e-6)
    assert elements(g.transpose()) == [GENERAL[4 * j + i] for i in range(4) for j in range(4)]
    assert g.determinant() == float(exact_det(rows(GENERAL))) and g.trace() == 5.0
    for singular in (M(*range(16)), M(*([0] * 16)), M(*([math.nan] + [0] * 15)), M(*([math.inf] + [1] * 15))):
        with pytest.raises(ValueError, match=r"^%s is singular and has no inverse$" % M.__name__):
            singular.inverse()


def test_transform(kind):
    M, V, rnd = kind
    t = M(0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 9, 9, 9, 9)  # the fourth row plays no part
    expected = V(8, 21, 33)
    assert t.transform(V(1, 2, 3)) == t @ V(1, 2, 3) == expected and type(t @ V()) is V
    with pytest.raises(TypeError) as info:
        t.transform(None)
    expected = "%s.%s" % (V.__module__, V.__name__)
    assert str(info.value) == "Argument 'v' has incorrect type (expected %s, got NoneType)" % expected
    with pytest.raises(TypeError):
        t @ 3


def test_vector3_transform_agrees_with_matrix4():
    t = Matrix4(*GENERAL)
    v = Vector3(0.5, -2, 7)
    assert v.transform(t) == t.transform(v)


def test_element_access(kind):
    M, V, rnd = kind
    g = M(*GENERAL)
    assert g[1] == (0.0, 1.0, 4.0, -1.0) and g[1, 2] == 4.0 and g[-1, -4] == 1.0 and len(g) == 4
    assert g.get(2, 0) == g.get(row=-2, col=-4) == 5.0
    for bad, error, message in [
        ((4, 0), IndexError, "^%s index out of range$" % M.__name__),
        ((0, -5), IndexError, "^%s index out of range$" % M.__name__),
        ((2**40, 0), OverflowError, "^value too large to convert to int$"),
        (("a", 0), TypeError, "^an integer is required$"),
        ((None, 0), TypeError, "^an integer is required$"),
    ]:
        with pytest.raises(error, match=message):
            g.get(*bad)
        with pytest.raises(error, match=message):
            g[bad]
    with pytest.raises(TypeError) as info:
        g["x"]
    assert str(info.value) == "%s indices must be an int (row) or a pair of ints (row, col)" % M.__name__
    with pytest.raises(TypeError, match=r"^get\(\) takes exactly 2 positional arguments \(1 given\)$"):
        g.get(1)
    with pytest.raises(TypeError, match="^get\\(\\) got an unexpected keyword argument 'c'$"):
        g.get(1, 2, c=3)


def test_equality_hash_repr_immutability(kind):
    M, V, rnd = kind
    g = M(*GENERAL)
    same = M(*elements(g))
    assert g == same and hash(g) == hash(same) and g != M() and g != GENERAL and len({g, same, M()}) == 2
    assert eval(repr(g), {M.__name__: M}) == g and repr(M()).startswith(M.__name__ + "(1.0, 0.0")
    assert eval(repr(M(*[0.1] * 16)), {M.__name__: M}) == M(*[0.1] * 16)
    with pytest.raises(TypeError):
        g < same
    with pytest.raises(AttributeError):
        g.x = 1
    assert weakref.ref(g)() is g
    assert g.is_close(same) and not g.is_close(M()) and g.is_close(M(), tolerance=10)
    with pytest.raises(TypeError, match=r"^Argument 'other' has incorrect type \(expected .*, got NoneType\)$"):
        g.is_close(None)
    with pytest.raises(TypeError, match=r"^Argument 'other' has incorrect type"):
        g.multiply(V())


@pytest.mark.parametrize("clone", [lambda m: pickle.loads(pickle.dumps(m)), copy.copy, copy.deepcopy])
def test_pickling_and_subclassing(kind, clone):
    M, V, rnd = kind

    class Named(M):
        pass

    globals()["Named"] = Named  # picklable by reference
    Named.__qualname__ = "Named"
    n = Named(*GENERAL)
    n.label = "kept"
    c = clone(n)
    assert type(c) is Named and c == n and c.label == "kept" and repr(c).startswith("Named(")
    assert type(Named.identity()) is Named and clone(M(*ROT)) == M(*ROT)


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)


@given(st.lists(finite, min_size=16, max_size=16))
def test_inverse_is_an_inverse_or_singular(values):
    m = Matrix4(*values)
    try:
        inv = m.inverse()
    except ValueError:
        assert abs(m.determinant()) <= 1e-6 * max(1.0, max(abs(v) for v in values)) ** 4
        return
    scale = max(abs(v) for v in elements(inv)) * max(abs(v) for v in values)
    assert (m @ inv).is_close(Matrix4(), 1e-6 * max(1.0, scale))


@given(st.lists(st.one_of(st.floats(), st.integers(-(2**70), 2**70)), min_size=16, max_size=16))
def test_any_numbers_construct_and_operate(values):
    for M in (Matrix4, Matrix4f):
        m = M(*values)
        m.determinant(), m.trace(), m.transpose(), m @ m, hash(m), repr(m), m.tolist()
        try:
            m.inverse()
        except ValueError:
            pass
