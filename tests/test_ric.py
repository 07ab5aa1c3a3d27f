"""The radial, in-track, cross-track frame: ECI.eci_to_ric, ECI.to_ric and RIC.to_eci."""
import math
import random
import traceback

import mpmath
import pytest

from conftest import build_native_module
from vextal.astro.orbitvector import ECI, EFG, LLH, RIC
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3

MU = 398600.5
ARG_TYPE = "Argument 'chief' has incorrect type (expected vextal.astro.orbitvector.ECI, got {})"
OMEGA = 0.0010714285714285715


@pytest.fixture(scope="module")
def client():
    return build_native_module("orbit_client")


def chief():
    return ECI(100.0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))


def components(v):
    return (v.x, v.y, v.z)


def close(a, b, tol):
    return all(abs(x - y) <= tol for x, y in zip(components(a), b))


def last_frame(excinfo):
    frame = traceback.extract_tb(excinfo.tb)[-1]
    return frame.name, frame.filename


# ---- worked examples ------------------------------------------------------------------------------------------

def test_frame_of_the_example_chief():
    m = chief().eci_to_ric()
    assert type(m) is Matrix4
    assert m.is_close(Matrix4(), 1e-15)


def test_deputy_one_km_radially_sees_the_frame_rotate():
    deputy = ECI(5.0, Vector3(7001, 0, 0), Vector3(0, 7.5, 0))
    ric = deputy.to_ric(chief())
    assert type(ric) is RIC and ric.time == 5.0
    assert close(ric.position, (1.0, 0.0, 0.0), 1e-12)
    assert close(ric.velocity, (0.0, -OMEGA, 0.0), 1e-15)


def test_state_relative_to_itself_is_zero():
    x = ECI(3.0, Vector3(-4000, 5000, 1200), Vector3(-3.0, -4.0, 5.5))
    ric = x.to_ric(x)
    assert ric.time == 3.0
    assert close(ric.position, (0, 0, 0), 1e-12) and close(ric.velocity, (0, 0, 0), 1e-15)


def test_chief_epoch_is_not_read():
    deputy = ECI(5.0, Vector3(7010, 20, -3), Vector3(0.01, 7.49, 0.02))
    late = ECI(1e9, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    a, b = deputy.to_ric(chief()), deputy.to_ric(late)
    assert components(a.position) == components(b.position) and components(a.velocity) == components(b.velocity)
    assert components(a.to_eci(late).position) == components(a.to_eci(chief()).position)


def test_zero_length_chief_position_gives_infinite_rate_not_an_error():
    zero = ECI(0, Vector3(0, 0, 0), Vector3(0, 7.5, 0))
    ric = ECI(0, Vector3(1, 0, 0), Vector3(0, 1, 0)).to_ric(zero)
    assert type(ric) is RIC  # whatever the vector operations make of 0 * inf is passed on
    assert any(math.isnan(c) for c in components(ric.velocity))


# ---- against an independent computation ---------------------------------------------------------------------

def _random_state(rng):
    r = rng.uniform(6578.0, 42164.0)
    d = [rng.gauss(0, 1) for _ in range(3)]
    n = math.sqrt(sum(c * c for c in d))
    position = [r * c / n for c in d]
    speed = rng.uniform(0.3, 2.5) * math.sqrt(MU / r)
    e = [rng.gauss(0, 1) for _ in range(3)]
    n = math.sqrt(sum(c * c for c in e))
    return ECI(rng.uniform(-1e5, 1e5), Vector3(*position), Vector3(*(speed * c / n for c in e)))


def _reference_ric(x, c):
    """r and v of x relative to chief c in c's rotating R, I, C frame, from the definitions, in 40 digits."""
    with mpmath.workdps(40):
        def mv(v):
            return mpmath.matrix([v.x, v.y, v.z])

        def cross(a, b):
            return mpmath.matrix([a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]])
        rc, vc = mv(c.position), mv(c.velocity)
        h = cross(rc, vc)
        radial = rc / mpmath.norm(rc)
        cross_track = h / mpmath.norm(h)
        in_track = cross(cross_track, radial)
        omega = h / mpmath.norm(rc) ** 2
        dr = mv(x.position) - rc
        dv = mv(x.velocity) - vc - cross(omega, dr)
        axes = [radial, in_track, cross_track]
        scale_r = float(mpmath.norm(mv(x.position)) + mpmath.norm(rc))
        scale_v = float(mpmath.norm(mv(x.velocity)) + mpmath.norm(vc) + mpmath.norm(cross(omega, dr)))
        return ([float(mpmath.fdot(a, dr)) for a in axes], [float(mpmath.fdot(a, dv)) for a in axes],
                scale_r, scale_v)


def test_agreement_with_independent_computation():
    rng = random.Random(7)
    for _ in range(300):
        x, c = _random_state(rng), _random_state(rng)
        ric = x.to_ric(c)
        position, velocity, scale_r, scale_v = _reference_ric(x, c)
        assert close(ric.position, position, 1e-12 * scale_r), (components(ric.position), position)
        assert close(ric.velocity, velocity, 1e-12 * scale_v), (components(ric.velocity), velocity)


def test_round_trip_reproduces_the_state():
    rng = random.Random(11)
    for _ in range(300):
        x, c = _random_state(rng), _random_state(rng)
        back = x.to_ric(c).to_eci(c)
        assert type(back) is ECI and back.time == x.time
        assert close(back.position, components(x.position), 1e-9)
        assert close(back.velocity, components(x.velocity), 1e-12)


def test_round_trip_with_another_chief_does_not_reproduce():
    rng = random.Random(5)
    x, c, other = _random_state(rng), _random_state(rng), _random_state(rng)
    back = x.to_ric(c).to_eci(other)
    assert not close(back.position, components(x.position), 1.0)


def test_rotating_frame_velocity_for_random_chiefs():
    rng = random.Random(3)
    for _ in range(100):
        c = _random_state(rng)
        radial = c.position.normalize()
        deputy = ECI(0, c.position.add(radial), c.velocity)
        omega = c.position.cross(c.velocity).magnitude() / c.position.magnitude() ** 2
        ric = deputy.to_ric(c)
        assert close(ric.position, (1.0, 0.0, 0.0), 1e-11)
        assert close(ric.velocity, (0.0, -omega, 0.0), 1e-15)


# ---- chiefs and overrides -----------------------------------------------------------------------------------

SWAP = Matrix4(0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1)


class FixedFrame(ECI):
    calls = 0

    def eci_to_ric(self):
        FixedFrame.calls += 1
        return SWAP


def test_chief_frame_override_is_used_by_both_conversions(client):
    c = FixedFrame(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    x = ECI(1.0, Vector3(7003, 4, 5), Vector3(0.1, 7.4, 0.2))
    FixedFrame.calls = 0
    ric = x.to_ric(c)
    # SWAP maps (dx, dy, dz) to (dy, -dx, dz).
    assert close(ric.position, (4.0, -3.0, 5.0), 1e-12)
    back = ric.to_eci(c)
    assert FixedFrame.calls == 2
    assert close(back.position, (7003, 4, 5), 1e-9) and close(back.velocity, (0.1, 7.4, 0.2), 1e-12)
    # The same through the tables, and the override is not what the chief's own Python method bypasses.
    native = client.call("ECI.to_ric", x, 1, c)
    assert components(native.position) == components(ric.position) and FixedFrame.calls == 3
    assert ECI.eci_to_ric(c).is_close(Matrix4(), 1e-15)


@pytest.mark.parametrize("result, message", [
    ([1, 2, 3], "Cannot convert list to vextal.matrix4.Matrix4"),
    (Vector3(), "Cannot convert vextal.vector3.Vector3 to vextal.matrix4.Matrix4"),
    (None, "Cannot convert NoneType to vextal.matrix4.Matrix4"),
])
@pytest.mark.parametrize("conversion", ["to_ric", "to_eci"])
def test_chief_frame_override_with_a_wrong_result(result, message, conversion):
    class Bad(ECI):
        def eci_to_ric(self):
            return result
    c = Bad(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    state = ECI(0, Vector3(7001, 0, 0), c.velocity) if conversion == "to_ric" else RIC()
    with pytest.raises(TypeError) as excinfo:
        getattr(state, conversion)(c)
    assert str(excinfo.value) == message
    names = [frame.name for frame in traceback.extract_tb(excinfo.tb)]
    outer = "vextal.astro.orbitvector." + ("ECI.to_ric" if conversion == "to_ric" else "RIC.to_eci")
    assert outer in names


@pytest.mark.parametrize("wrong, name", [
    (RIC(), "vextal.astro.orbitvector.RIC"),
    (EFG(), "vextal.astro.orbitvector.EFG"),
    (2.0, "float"),
    (None, "NoneType"),
    (Vector3(), "vextal.vector3.Vector3"),
    (LLH(), "vextal.astro.orbitvector.LLH"),
])
@pytest.mark.parametrize("conversion", ["to_ric", "to_eci"])
def test_wrong_chief(wrong, name, conversion):
    state = ECI() if conversion == "to_ric" else RIC()
    with pytest.raises(TypeError) as excinfo:
        getattr(state, conversion)(wrong)
    assert str(excinfo.value) == ARG_TYPE.format(name)


@pytest.mark.parametrize("call, message", [
    (lambda: ECI().to_ric(chief=chief()), "takes no keyword arguments"),
    (lambda: RIC().to_eci(chief=chief()), "takes no keyword arguments"),
    (lambda: ECI().to_ric(), r"takes exactly one argument \(0 given\)"),
    (lambda: ECI().eci_to_ric(chief()), r"takes no arguments \(1 given\)"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_subclass_chief_and_deputy_are_accepted():
    class Mine(ECI):
        pass
    c = Mine(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    ric = Mine(2.0, Vector3(7001, 0, 0), Vector3(0, 7.5, 0)).to_ric(c)
    assert type(ric) is RIC and type(ric.to_eci(c)) is ECI


def test_state_attributes_are_read_by_name():
    class Moved(ECI):
        @property
        def position(self):
            return Vector3(7002, 0, 0)

        @property
        def time(self):
            return 42.0
    deputy = Moved(1.0, Vector3(1, 1, 1), Vector3(0, 7.5, 0))
    ric = deputy.to_ric(chief())
    assert ric.time == 42.0 and close(ric.position, (2.0, 0, 0), 1e-12)


# ---- None and wrong results of the vector operations --------------------------------------------------------

def _vector_class(method, result):
    def override(self, *args):
        return result
    return type("Odd", (Vector3,), {method: override})


@pytest.mark.parametrize("method, result, conversion, message", [
    ("normalize", None, "to_ric", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("normalize", "unit", "to_ric", "Cannot convert str to vextal.vector3.Vector3"),
    ("subtract", None, "to_ric", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("subtract", 1.5, "to_ric", "Cannot convert float to vextal.vector3.Vector3"),
    ("transform", None, "to_eci", "Cannot convert NoneType to vextal.vector3.Vector3"),
    ("transform", (1, 2, 3), "to_eci", "Cannot convert tuple to vextal.vector3.Vector3"),
])
def test_vector_results_are_tested(method, result, conversion, message):
    odd = _vector_class(method, result)
    if conversion == "to_ric":
        deputy = ECI(0, odd(7001, 1, 0), Vector3(0, 7.5, 0))
        c = ECI(0, odd(7000, 0, 0), Vector3(0, 7.5, 0))
        call = lambda: deputy.to_ric(c)  # noqa: E731
    else:
        state = RIC(0, odd(1, 0, 0), odd(0, 1, 0))
        call = lambda: state.to_eci(chief())  # noqa: E731
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message
    assert last_frame(excinfo)[1] == "astro/orbitvector.cpp"


NO_OTHER = "Argument 'other' has incorrect type (expected vextal.vector3.Vector3, got NoneType)"


@pytest.mark.parametrize("where, to_ric_error, to_eci_error", [
    # by-name calls on None fail as Python's do; None handed to a vector method is its argument error
    ("deputy position", (AttributeError, "'NoneType' object has no attribute 'subtract'"),
     (AttributeError, "'NoneType' object has no attribute 'transform'")),
    ("deputy velocity", (AttributeError, "'NoneType' object has no attribute 'subtract'"),
     (AttributeError, "'NoneType' object has no attribute 'transform'")),
    ("chief position", (AttributeError, "'NoneType' object has no attribute 'normalize'"),
     (AttributeError, "'NoneType' object has no attribute 'normalize'")),
    ("chief velocity", (TypeError, NO_OTHER), (TypeError, NO_OTHER)),
])
def test_missing_vectors_raise(where, to_ric_error, to_eci_error):
    vectors = {"deputy position": Vector3(7001, 0, 0), "deputy velocity": Vector3(0, 7.5, 0),
               "chief position": Vector3(7000, 0, 0), "chief velocity": Vector3(0, 7.5, 0)}
    vectors[where] = None
    c = ECI(0, vectors["chief position"], vectors["chief velocity"])
    for state, conversion, (error, message) in [
            (ECI(0, vectors["deputy position"], vectors["deputy velocity"]), "to_ric", to_ric_error),
            (RIC(0, vectors["deputy position"], vectors["deputy velocity"]), "to_eci", to_eci_error)]:
        with pytest.raises(error) as excinfo:
            getattr(state, conversion)(c)
        assert str(excinfo.value) == message
        outer = "vextal.astro.orbitvector.%s.%s" % (type(state).__name__, conversion)
        assert outer in [f.name for f in traceback.extract_tb(excinfo.tb)]


def test_none_chief_vectors_met_by_native_operations():
    # to_eci reads the chief's vectors itself and adds them natively: None is refused there.
    class NoPosition(ECI):
        def __init__(self, *args):
            self.calls = 0

        @property
        def position(self):
            self.calls += 1
            # read twice for the frame and twice for the rate, then by to_eci itself
            return Vector3(7000, 0, 0) if self.calls <= 4 else None
    with pytest.raises(TypeError) as excinfo:
        RIC(0, Vector3(1, 0, 0), Vector3(0, 1, 0)).to_eci(NoPosition(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0)))
    assert str(excinfo.value) == "Cannot convert NoneType to vextal.vector3.Vector3"
    assert last_frame(excinfo) == ("vextal.astro.orbitvector.RIC.to_eci", "astro/orbitvector.cpp")


def test_omega_from_a_chief_whose_magnitude_is_an_int_or_another_number():
    class IntLength(Vector3):
        def magnitude(self):
            return 7000

    class Odd:
        def __pow__(self, other):
            return self

        def __rtruediv__(self, other):
            return other / 7000.0 ** 2

    class OddLength(Vector3):
        def magnitude(self):
            return Odd()

    deputy = ECI(0, Vector3(7001, 0, 0), Vector3(0, 7.5, 0))
    for cls in (IntLength, OddLength):
        c = ECI(0, cls(7000, 0, 0), Vector3(0, 7.5, 0))
        assert close(deputy.to_ric(c).velocity, (0, -OMEGA, 0), 1e-15)
