"""Orbital quantities of an ECI state: energy, semi-major axis, mean motion and period, their chain of native
calls with Python overrides, and their report-and-return-0.0 failure handling."""
import math
import random
import sys
import traceback

import mpmath
import pytest

from conftest import build_native_module
from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

MU = 398600.5
TWO_PI = 6.283185307179586
QUANTITIES = ["compute_energy", "compute_sma", "compute_mean_motion", "compute_period"]
QUALNAME = "vextal.astro.orbitvector.ECI."


@pytest.fixture(scope="module")
def client():
    return build_native_module("orbit_client")


def quantities(state):
    return [getattr(state, name)() for name in QUANTITIES]


def same(a, b, rel=0.0):
    return (math.isnan(a) and math.isnan(b)) or a == b or math.isclose(a, b, rel_tol=rel)


@pytest.fixture
def reports(monkeypatch):
    """Records the two prints of a swallowed error: sys.excepthook (the traceback), then sys.unraisablehook."""
    seen = []
    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: seen.append(("traceback", v, tb)))
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append(("unraisable", args.exc_value, args.object)))
    return seen


# ---- values ---------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("position, velocity, expected", [
    ((7000, 0, 0), (0, 7.5, 0), [-28.8179285714, 6915.84232038, 0.00109774456413, 5723.72254210]),
    ((7000, 0, 0), (0, math.sqrt(MU / 7000), 0), [-28.4714642857, 7000.0, math.sqrt(MU / 7000 ** 3), 5828.51621217]),
    ((7000, 0, 0), (0, 11, 0), [3.55707142857, -56029.3078174, math.nan, math.nan]),
    ((0, 0, 0), (0, 7.5, 0), [0.0, 0.0, 1.0, 1440.0]),
    ((7000, 0, 0), (0, 0, 0), [0.0, 0.0, 1.0, 1440.0]),
    ((7000, 0, 0), (1e-6, 1e-6, 0), [0.0, 0.0, 1.0, 1440.0]),  # v^2 = 2e-12 counts as zero: not -mu/r
    ((-0.0, 0, 0), (0, 0, 0), [0.0, 0.0, 1.0, 1440.0]),
])
def test_worked_examples(position, velocity, expected):
    state = ECI(0, Vector3(*position), Vector3(*velocity))
    got = quantities(state)
    assert all(type(x) is float for x in got)
    assert all(same(g, e, 1e-11) for g, e in zip(got, expected)), got


def test_squared_length_threshold_is_inclusive():
    at = Vector3(8.050524642129187e-06, 5.9320361585606284e-06, 0.0)
    assert at.magnitude_squared() == 1e-10
    above = Vector3(math.nextafter(at.x, 1.0), at.y, 0.0) if hasattr(math, "nextafter") else Vector3(
        at.x * (1 + 2 ** -50), at.y, 0.0)
    v = Vector3(0, 7.5, 0)
    assert ECI(0, at, v).compute_energy() == 0.0
    assert ECI(0, above, v).compute_energy() == 7.5 ** 2 * 0.5 - MU / math.sqrt(above.magnitude_squared())
    assert ECI(0, v, at).compute_energy() == 0.0
    assert ECI(0, v, above).compute_energy() != 0.0


def test_nan_passes_the_threshold():
    state = ECI(0, Vector3(math.nan, 0, 0), Vector3(0, 7.5, 0))
    assert all(math.isnan(q) for q in quantities(state))


def test_underflowing_cube(reports):
    # a is about -1e-110 km: its cube underflows to zero.
    v = math.sqrt(2 * MU / 2e-110 + 2 * MU / 7000)
    state = ECI(0, Vector3(7000, 0, 0), Vector3(0, v, 0))
    a = state.compute_sma()
    assert a < 0 and a ** 3 == 0 and a != 0
    assert state.compute_mean_motion() == 0.0
    assert [(kind, type(exc), str(exc)) for kind, exc, _ in reports] == [
        ("traceback", ZeroDivisionError, "float division"), ("unraisable", ZeroDivisionError, "float division")]
    assert reports[1][2] == QUALNAME + "compute_mean_motion"
    frame = traceback.extract_tb(reports[0][2])[-1]
    assert (frame.name, frame.filename) == (QUALNAME + "compute_mean_motion", "astro/orbitvector.cpp")
    period = state.compute_period()
    assert period == 0.0 and math.copysign(1.0, period) == -1.0
    assert len(reports) == 2


def _random_state(rng, kind):
    r = rng.uniform(6578.0, 42164.0)
    direction = [rng.gauss(0, 1) for _ in range(3)]
    n = math.sqrt(sum(c * c for c in direction))
    position = [r * c / n for c in direction]
    factor = rng.uniform(0.3, 1.35) if kind == "elliptic" else rng.uniform(1.5, 3.0)
    speed = factor * math.sqrt(MU / r)
    other = [rng.gauss(0, 1) for _ in range(3)]
    n = math.sqrt(sum(c * c for c in other))
    velocity = [speed * c / n for c in other]
    return position, velocity


def _reference(position, velocity):
    """Two-body quantities from the textbook formulas, in 40-digit arithmetic."""
    with mpmath.workdps(40):
        r = mpmath.sqrt(sum(mpmath.mpf(c) ** 2 for c in position))
        v2 = sum(mpmath.mpf(c) ** 2 for c in velocity)
        energy = v2 / 2 - MU / r
        a = -MU / (2 * energy)
        if a > 0:
            n, period = mpmath.sqrt(MU / a ** 3), 2 * mpmath.pi * mpmath.sqrt(a ** 3 / MU)
        else:
            n = period = mpmath.nan
        return [float(x) for x in (energy, a, n, period)]


@pytest.mark.parametrize("kind", ["elliptic", "hyperbolic"])
def test_agreement_with_independent_computation(kind):
    rng = random.Random(20240 + len(kind))
    for _ in range(200):
        position, velocity = _random_state(rng, kind)
        got = quantities(ECI(0, Vector3(*position), Vector3(*velocity)))
        expected = _reference(position, velocity)
        assert all(same(g, e, 1e-12) for g, e in zip(got, expected)), (position, velocity, got, expected)
        assert (kind == "hyperbolic") == math.isnan(got[3])


def test_exactly_parabolic_state_gives_defaults():
    r = 2 * MU / 64.0  # v = 8: v^2/2 = 32 = mu/r exactly, so the energy is exactly zero
    state = ECI(0, Vector3(r, 0, 0), Vector3(0, 8.0, 0))
    assert quantities(state) == [0.0, 0.0, 1.0, 1440.0]


# ---- the chain with overrides ---------------------------------------------------------------------------------

class FixedSma(ECI):
    def compute_sma(self):
        return 10000.0


class FixedEnergy(ECI):
    def compute_energy(self):
        return -20.0


class PeriodViaBase(ECI):
    def compute_period(self):
        return super().compute_period() + 1.0


@pytest.mark.parametrize("via", ["python", "native", "native-skip"])
def test_overrides_change_the_chain(client, via):
    def call(state, name):
        if via == "python":
            return getattr(state, name)()
        return client.call("ECI." + name, state, 1 if via == "native-skip" else 0)

    p, v = Vector3(7000, 0, 0), Vector3(0, 7.5, 0)
    plain = ECI(0, p, v)
    sma = FixedSma(0, p, v)
    assert call(sma, "compute_period") == math.sqrt(10000.0 ** 3 / MU) * TWO_PI
    assert call(sma, "compute_mean_motion") == math.sqrt(MU / 10000.0 ** 3)
    assert call(sma, "compute_energy") == call(plain, "compute_energy")
    energy = FixedEnergy(0, p, v)
    assert call(energy, "compute_sma") == -MU / (2 * -20.0)
    assert call(energy, "compute_period") == math.sqrt((MU / 40.0) ** 3 / MU) * TWO_PI
    # An override calling the base method does not call itself again.
    base = call(plain, "compute_period")
    assert call(PeriodViaBase(0, p, v), "compute_period") == (base if via == "native-skip" else base + 1.0)


@pytest.mark.parametrize("result, expected", [
    (7, 7.0),
    (True, 1.0),
    (type("F", (float,), {})(2.5), 2.5),
    (type("N", (), {"__float__": lambda self: 3.25})(), 3.25),
])
def test_override_results_are_converted_to_float(result, expected):
    class Sma(ECI):
        def compute_sma(self):
            return result
    state = Sma(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    assert state.compute_period() == math.sqrt(expected ** 3 / MU) * TWO_PI


def test_instance_attribute_overrides_too():
    class Open(ECI):
        pass
    state = Open(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    before = state.compute_sma()
    state.compute_energy = lambda: -10.0
    assert state.compute_sma() == MU / 20.0 != before
    del state.compute_energy
    assert state.compute_sma() == before


@pytest.mark.parametrize("failure", ["raise", "string", "lookup"])
def test_failing_energy_override_is_reported_twice_and_gives_zero(reports, failure):
    class Broken(ECI):
        if failure == "raise":
            def compute_energy(self):
                raise KeyError("broken")
        elif failure == "string":
            def compute_energy(self):
                return "-28.8"
        else:
            @property
            def compute_energy(self):
                raise LookupError("no energy here")

    state = Broken(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    assert state.compute_sma() == 0.0
    kinds = [(kind, type(exc)) for kind, exc, _ in reports]
    expected = {"raise": KeyError, "string": TypeError, "lookup": LookupError}[failure]
    assert kinds == [("traceback", expected), ("unraisable", expected)]
    assert reports[0][1] is reports[1][1]
    assert reports[1][2] == QUALNAME + "compute_energy"
    assert sys.last_value is reports[0][1]
    names = [frame.name for frame in traceback.extract_tb(reports[0][2])]
    assert names[0] == QUALNAME + "compute_energy"
    if failure == "string":
        assert str(reports[0][1]) == "must be real number, not str"
    # compute_energy's failure gives a = 0: the defaults of the chain follow.
    reports.clear()
    assert state.compute_period() == 1440.0 and state.compute_mean_motion() == 1.0
    assert len(reports) == 4


def test_failing_sma_override_gives_default_period(reports):
    class Broken(ECI):
        def compute_sma(self):
            return "7000"
    state = Broken(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0))
    assert state.compute_period() == 1440.0
    assert state.compute_mean_motion() == 1.0
    assert [obj for kind, _, obj in reports if kind == "unraisable"] == [QUALNAME + "compute_sma"] * 2


def test_reports_go_to_stderr_traceback_first(capsys, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    monkeypatch.setattr(sys, "excepthook", sys.__excepthook__)

    class Broken(ECI):
        def compute_energy(self):
            raise RuntimeError("energy override failed")
    assert Broken(0, Vector3(7000, 0, 0), Vector3(0, 7.5, 0)).compute_sma() == 0.0
    err = capsys.readouterr().err
    first = err.index("Traceback (most recent call last)")
    second = err.index("Exception ignored in: 'vextal.astro.orbitvector.ECI.compute_energy'")
    assert first < second
    assert err.count("RuntimeError: energy override failed") == 2
    assert 'File "astro/orbitvector.cpp"' in err[:second]


@pytest.mark.parametrize("position, velocity", [(None, Vector3(0, 7.5, 0)), (Vector3(7000, 0, 0), None)])
def test_missing_vector_is_reported(reports, position, velocity):
    state = ECI(0, position, velocity)
    assert quantities(state) == [0.0, 0.0, 1.0, 1440.0]
    messages = {str(exc) for _, exc, _ in reports}
    assert messages == {"Cannot convert NoneType to vextal.vector3.Vector3"}
    assert [obj for kind, _, obj in reports if kind == "unraisable"] == [QUALNAME + "compute_energy"] * 4


def test_velocity_is_not_read_when_position_is_zero(reports):
    assert ECI(0, Vector3(), None).compute_energy() == 0.0 and reports == []


def test_vector_override_of_magnitude_squared_is_honoured():
    calls = []

    class Tiny(Vector3):
        def magnitude_squared(self):
            calls.append(self)
            return 1e-10
    position = Tiny(7000, 0, 0)
    assert ECI(0, position, Vector3(0, 7.5, 0)).compute_energy() == 0.0
    assert calls == [position]


@pytest.mark.parametrize("name", QUANTITIES)
def test_python_methods_take_no_arguments(name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(ECI(), name)(1)
