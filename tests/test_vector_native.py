"""The math classes called natively through their published tables, as another extension module would."""
import gc
import math
import sys

import pytest

from conftest import build_native_module, leaked_blocks
from vextal.matrix4 import Matrix4
from vextal.matrix4f import Matrix4f
from vextal.quaternion import Quaternion
from vextal.quaternionf import Quaternionf
from vextal.vector2 import Vector2
from vextal.vector3 import Vector3
from vextal.vector3f import Vector3f
from vextal.vector4 import Vector4
from vextal.vector4f import Vector4f


@pytest.fixture(scope="module")
def client():
    return build_native_module("vector_client")


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


V, W, M = Vector3(1, 2, 3), Vector3(-2, 0.5, 4), Matrix4(0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1)
Q = Quaternion(0.5, 0.5, -0.5, 0.5)
Qf = Quaternionf(0.5, 0.5, -0.5, 0.5)

# (class name, instance, entry, native arguments, the Python call that must give the same result)
CALLS = [
    ("Vector3", V, "magnitude_squared", (), lambda v: v.magnitude_squared()),
    ("Vector3", V, "magnitude", (), lambda v: v.magnitude()),
    ("Vector3", V, "dot", (W,), lambda v: v.dot(W)),
    ("Vector3", V, "cross", (W,), lambda v: v.cross(W)),
    ("Vector3", V, "add", (W,), lambda v: v.add(W)),
    ("Vector3", V, "subtract", (W,), lambda v: v.subtract(W)),
    ("Vector3", V, "multiply", (2.5,), lambda v: v.multiply(2.5)),
    ("Vector3", V, "divide", (4.0,), lambda v: v.divide(4)),
    ("Vector3", V, "negate", (), lambda v: v.negate()),
    ("Vector3", V, "normalize", (), lambda v: v.normalize()),
    ("Vector3", V, "distance", (W,), lambda v: v.distance(W)),
    ("Vector3", V, "angle", (W,), lambda v: v.angle(W)),
    ("Vector3", V, "transform", (M,), lambda v: v.transform(M)),
    ("Vector3", V, "transform_direction", (M,), lambda v: v.transform_direction(M)),
    ("Vector3", V, "scale", (W,), lambda v: v.scale(W)),
    ("Vector3", V, "lerp", (W, 0.25), lambda v: v.lerp(W, 0.25)),
    ("Vector3", V, "project", (W,), lambda v: v.project(W)),
    ("Vector3", V, "reject", (W,), lambda v: v.reject(W)),
    ("Vector3", V, "rotate", (W, 30.0), lambda v: v.rotate(W, 30)),
    ("Vector3", V, "minimum", (W,), lambda v: v.minimum(W)),
    ("Vector3", V, "maximum", (W,), lambda v: v.maximum(W)),
    ("Vector3", V, "is_close", (W, 10.0), lambda v: v.is_close(W, 10)),
    ("Vector3", V, "copy", (), lambda v: v.copy()),
    ("Vector3", V, "to_tuple", (), lambda v: v.to_tuple()),
    ("Matrix4", M, "inverse", (), lambda m: m.inverse()),
    ("Matrix4", M, "transpose", (), lambda m: m.transpose()),
    ("Matrix4", M, "multiply", (M,), lambda m: m.multiply(M)),
    ("Matrix4", M, "determinant", (), lambda m: m.determinant()),
    ("Matrix4", M, "transform", (V,), lambda m: m.transform(V)),
    ("Matrix4", M, "get", (1, 3), lambda m: m.get(1, 3)),
    ("Matrix4", M, "trace", (), lambda m: m.trace()),
    ("Matrix4", M, "is_close", (M, 0.0), lambda m: m.is_close(M, 0)),
    ("Matrix4f", Matrix4f(*M.tolist()[0], *range(12)), "transform", (Vector3f(1, 2, 3),),
     lambda m: m.transform(Vector3f(1, 2, 3))),
    ("Matrix4f", Matrix4f(2, *[0] * 4, 2, *[0] * 4, 2, *[0] * 4, 1), "inverse", (), lambda m: m.inverse()),
    ("Vector2", Vector2(3, 4), "magnitude", (), lambda v: v.magnitude()),
    ("Vector2", Vector2(3, 4), "multiply", (0.5,), lambda v: v.multiply(0.5)),
    ("Vector4", Vector4(1, 2, 3, 4), "distance", (Vector4(),), lambda v: v.distance(Vector4())),
    ("Vector3f", Vector3f(0.1, 0.2, 0.3), "normalize", (), lambda v: v.normalize()),
    ("Vector4f", Vector4f(1, 2, 3, 4), "subtract", (Vector4f(1, 1, 1, 1),), lambda v: v.subtract(Vector4f(1, 1, 1, 1))),
    ("Quaternion", Q, "multiply", (Q,), lambda q: q.multiply(Q)),
    ("Quaternion", Q, "inverse", (), lambda q: q.inverse()),
    ("Quaternion", Q, "rotate", (V,), lambda q: q.rotate(V)),
    ("Quaternionf", Qf, "conjugate", (), lambda q: q.conjugate()),
    ("Quaternionf", Qf, "rotate", (Vector3f(1, 2, 3),), lambda q: q.rotate(Vector3f(1, 2, 3))),
]


@pytest.mark.parametrize("skip", [0, 1])
@pytest.mark.parametrize("cls, obj, entry, args, python", CALLS, ids=[c[0] + "." + c[2] for c in CALLS])
def test_entries_match_python_methods(client, cls, obj, entry, args, python, skip):
    assert client.call(cls, entry, obj, args, skip) == python(obj)

    class Plain(type(obj)):  # a Python subclass without overrides runs the native bodies too
        pass

    sub = Plain(*[e for row in obj.tolist() for e in row]) if "Matrix" in cls else Plain(*obj)
    assert client.call(cls, entry, sub, args, skip) == python(obj)
    assert client.uses_class_table(cls, sub) and client.uses_class_table(cls, obj)


def test_set_writes_the_record(client):
    v = Vector3()
    assert client.call("Vector3", "set", v, (1.0, 2.0, 3.0), 1) is None
    assert client.vector3_components(v) == (1.0, 2.0, 3.0) == v.to_tuple()


@pytest.mark.parametrize(
    "module, cls, size",
    [("vextal.vector3", "Vector3", 48), ("vextal.matrix4", "Matrix4", 184), ("vextal.vector2", "Vector2", 40),
     ("vextal.vector4", "Vector4", 56), ("vextal.vector3f", "Vector3f", 40), ("vextal.vector4f", "Vector4f", 40),
     ("vextal.quaternion", "Quaternion", 56), ("vextal.quaternionf", "Quaternionf", 40),
     ("vextal.matrix4f", "Matrix4f", 120)],
)
def test_import_size_check(client, module, cls, size):
    assert client.import_class(module, cls, size).__basicsize__ == size
    with pytest.raises(ValueError, match="size changed"):
        client.import_class(module, cls, size + 8)
    with pytest.warns(RuntimeWarning, match="size changed"):
        client.import_class(module, cls, size - 8)


# ---- Python overrides ---------------------------------------------------------------------------------------


class Overrides(Vector3):
    def cross(self, other):
        return Vector3(7, 7, 7)

    def magnitude(self):
        return 42

    def add(self, other):
        return 3  # the wrong type

    def subtract(self, other):
        return None

    def dot(self, other):
        raise ZeroDivisionError("from the override")

    def angle(self, other):
        return "not a number"


def test_overrides_are_honoured_only_without_skip(client):
    o = Overrides(1, 2, 3)
    assert client.call("Vector3", "cross", o, (W,), 0) == Vector3(7, 7, 7)
    assert client.call("Vector3", "cross", o, (W,), 1) == V.cross(W)
    assert client.call("Vector3", "magnitude", o, (), 0) == 42.0
    assert client.call("Vector3", "magnitude", o, (), 1) == V.magnitude()
    assert client.call("Vector3", "subtract", o, (W,), 0) is None
    assert client.call("Vector3", "add", o, (W,), 1) == V.add(W)


def test_override_of_the_wrong_type(client):
    with pytest.raises(TypeError) as info:
        client.call("Vector3", "add", Overrides(), (W,), 0)
    assert str(info.value) == "Cannot convert int to vextal.vector3.Vector3"


@pytest.mark.parametrize("entry, error", [("dot", ZeroDivisionError), ("angle", TypeError)])
def test_failing_override_of_a_double_entry_is_reported(client, unraisable, capsys, entry, error):
    assert client.call("Vector3", entry, Overrides(), (W,), 0) == 0.0
    assert len(unraisable) == 1 and unraisable[0].exc_type is error
    assert unraisable[0].object == "vextal.vector3.Vector3." + entry
    assert error.__name__ in capsys.readouterr().err  # printed with its traceback first


def test_instance_attribute_shadows_the_method(client):
    class Plain(Vector3):
        pass

    p = Plain(3, 4, 0)
    assert client.call("Vector3", "magnitude", p, (), 0) == 5.0
    p.magnitude = lambda: 9.0
    assert client.call("Vector3", "magnitude", p, (), 0) == 9.0
    assert client.call("Vector3", "magnitude", Plain(3, 4, 0), (), 0) == 5.0


def test_override_cache_follows_base_classes(client):
    class Base(Vector3):
        pass

    class Leaf(Base):
        pass

    leaf = Leaf(3, 4, 0)
    for _ in range(3):  # a cached "no override" after the first calls
        assert client.call("Vector3", "magnitude", leaf, (), 0) == 5.0
    Base.magnitude = lambda self: 42.0
    assert client.call("Vector3", "magnitude", leaf, (), 0) == 42.0
    del Base.magnitude
    assert client.call("Vector3", "magnitude", leaf, (), 0) == 5.0
    Leaf.normalize = lambda self: "odd"
    with pytest.raises(TypeError, match="^Cannot convert str to vextal.vector3.Vector3$"):
        client.call("Vector3", "normalize", leaf, (), 0)


SMALL_OVERRIDES = [
    ("Vector2", Vector2, "add", "magnitude"), ("Vector4", Vector4, "negate", "dot"),
    ("Vector3f", Vector3f, "normalize", "distance"), ("Vector4f", Vector4f, "multiply", "magnitude_squared"),
    ("Quaternion", Quaternion, "conjugate", "magnitude"), ("Quaternionf", Quaternionf, "rotate", "dot"),
    ("Matrix4", Matrix4, "transpose", "trace"), ("Matrix4f", Matrix4f, "inverse", "determinant"),
]


@pytest.mark.parametrize("name, cls, object_entry, double_entry", SMALL_OVERRIDES, ids=[s[0] for s in SMALL_OVERRIDES])
def test_overrides_on_every_class(client, unraisable, name, cls, object_entry, double_entry):
    sub = type("Sub", (cls,), {object_entry: lambda self, *a: 5, double_entry: lambda self, *a: 2.5})
    args = {"add": (cls(),), "multiply": (2.0,), "rotate": (Vector3f(),), "dot": (cls(),), "distance": (cls(),)}
    with pytest.raises(TypeError) as info:
        client.call(name, object_entry, sub(), args.get(object_entry, ()), 0)
    result_class = "vector3f.Vector3f" if object_entry == "rotate" else "%s.%s" % (name.lower(), name)
    assert str(info.value) == "Cannot convert int to vextal." + result_class
    assert client.call(name, double_entry, sub(), args.get(double_entry, ()), 0) == 2.5
    assert client.call(name, double_entry, sub(), args.get(double_entry, ()), 1) == getattr(cls(), double_entry)(
        *args.get(double_entry, ()))
    assert not unraisable


# ---- bad native arguments: an exception (or a report and 0.0), never a crash -------------------------------


@pytest.mark.parametrize(
    "cls, obj, entry, args, message",
    [
        ("Vector3", V, "cross", (None,), "Cannot convert NoneType to vextal.vector3.Vector3"),
        ("Vector3", V, "add", (3,), "Cannot convert int to vextal.vector3.Vector3"),
        ("Vector3", V, "lerp", (M, 0.5), "Cannot convert vextal.matrix4.Matrix4 to vextal.vector3.Vector3"),
        ("Vector3", V, "transform", (V,), "Cannot convert vextal.vector3.Vector3 to vextal.matrix4.Matrix4"),
        ("Vector3", V, "is_close", (None, 1.0), "Cannot convert NoneType to vextal.vector3.Vector3"),
        ("Matrix4", M, "multiply", (None,), "Cannot convert NoneType to vextal.matrix4.Matrix4"),
        ("Matrix4", M, "transform", (Vector3f(),), "Cannot convert vextal.vector3f.Vector3f to vextal.vector3.Vector3"),
        ("Matrix4f", Matrix4f(), "transform", (V,),
         "Cannot convert vextal.vector3.Vector3 to vextal.vector3f.Vector3f"),
        ("Vector2", Vector2(), "add", (Vector3(),), "Cannot convert vextal.vector3.Vector3 to vextal.vector2.Vector2"),
        ("Quaternion", Q, "rotate", (Vector3f(),), "Cannot convert vextal.vector3f.Vector3f to vextal.vector3.Vector3"),
        ("Quaternionf", Qf, "multiply", (Q,),
         "Cannot convert vextal.quaternion.Quaternion to vextal.quaternionf.Quaternionf"),
    ],
)
def test_wrong_native_arguments_raise(client, cls, obj, entry, args, message):
    for skip in (0, 1):
        with pytest.raises(TypeError) as info:
            client.call(cls, entry, obj, args, skip)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "cls, obj, entry, args, error",
    [
        ("Vector3", V, "dot", (None,), TypeError),
        ("Vector3", V, "distance", ("v",), TypeError),
        ("Vector2", Vector2(), "dot", (Vector4(),), TypeError),
        ("Matrix4", M, "get", (4, 0), IndexError),
        ("Matrix4f", Matrix4f(), "get", (0, -1), IndexError),
    ],
)
def test_wrong_native_arguments_of_double_entries_are_reported(client, unraisable, cls, obj, entry, args, error):
    assert client.call(cls, entry, obj, args, 1) == 0.0
    assert [u.exc_type for u in unraisable] == [error]


@pytest.mark.parametrize(
    "cls, obj, entry, args, error",
    [
        ("Vector3", V, "divide", (0.0,), ZeroDivisionError),
        ("Vector3", V, "rotate", (Vector3(), 1.0), ValueError),
        ("Matrix4", Matrix4(*range(16)), "inverse", (), ValueError),
        ("Quaternion", Quaternion(0, 0, 0, 0), "inverse", (), ZeroDivisionError),
        ("Quaternionf", Quaternionf(0, 0, 0, 0), "rotate", (Vector3f(),), ZeroDivisionError),
    ],
)
def test_native_failures_raise(client, cls, obj, entry, args, error):
    with pytest.raises(error):
        client.call(cls, entry, obj, args, 0)


def test_nan_and_infinity_follow_ieee(client):
    n = Vector3(math.nan, math.inf, 1)
    assert math.isnan(client.call("Vector3", "magnitude", n, (), 0))
    assert client.call("Vector3", "multiply", Vector3(1, 0, 0), (math.inf,), 0).x == math.inf


# ---- leaks --------------------------------------------------------------------------------------------------


def test_no_leaks(client, unraisable):
    class Sub(Vector3):
        def cross(self, other):
            return Vector3(1, 1, 1)

        def add(self, other):
            return 1

    s, f, q = Sub(1, 2, 3), Vector3f(1, 2, 3), Quaternion(1, 2, 3, 4)

    def work(n):
        for _ in range(n):
            v = Vector3(1.0, 2.0, 3.0)
            (v + W).normalize().transform(M)
            M.inverse() @ M
            client.call("Vector3", "cross", s, (W,), 0)
            client.call("Vector3", "cross", v, (W,), 0)
            (f * 2.0).dot(f), q.rotate(v), q * q, Matrix4f().inverse(), Vector2(1, 2) - Vector2()
            for bad in (lambda: client.call("Vector3", "add", s, (W,), 0), lambda: v.cross(None),
                        lambda: Vector3(1, 2, 3, 4), lambda: Matrix4(1), lambda: q.rotate(f), lambda: v / 0):
                try:
                    bad()
                except (TypeError, ZeroDivisionError):
                    pass
            repr(v), repr(f), hash(M), list(v)

    assert leaked_blocks(work, 20000, warmup=2000) < 200  # about 400000 constructions and calls a round
