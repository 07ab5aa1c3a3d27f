"""The J2 propagator: order of the integrator, the integrals of the axisymmetric field, agreement with an
independent tight integration (scipy) and with two-body Kepler at J2 = 0, the secular node drift, the state
transition matrix against finite differences, dense sampling, broadcasting, threads and failures."""
import math

import numpy as np
import pytest

from conftest import leaked_blocks
from vextal.astro import arrays

MU, J2, RE = 398600.5, 1.08262668e-3, 6378.1374
DAY = 86400.0


def circular(radius, inclination_deg, phase_deg=0.0):
    """A circular orbit's state (node on the x axis) at argument of latitude `phase_deg`."""
    i, u = math.radians(inclination_deg), math.radians(phase_deg)
    speed = math.sqrt(MU / radius)
    r = radius * np.array([math.cos(u), math.sin(u) * math.cos(i), math.sin(u) * math.sin(i)])
    v = speed * np.array([-math.sin(u), math.cos(u) * math.cos(i), math.cos(u) * math.sin(i)])
    return r, v


LEO = circular(6778.1374, 51.6, 10.0)
SSO = circular(7078.1374, 97.8, 200.0)
GEO = circular(42164.0, 0.05, 30.0)
ECCENTRIC = (np.array([6678.0, 0.0, 0.0]), np.array([0.0, 9.8 * math.cos(1.1), 9.8 * math.sin(1.1)]))


def energy(r, v):
    """v^2 / 2 - U of the J2 field (written out here, apart from the native code)."""
    rn = np.linalg.norm(r, axis=-1)
    s = (r[..., 2] / rn) ** 2
    return 0.5 * np.sum(v * v, axis=-1) - MU / rn * (1.0 - 0.5 * J2 * (RE / rn) ** 2 * (3.0 * s - 1.0))


def j2_rhs(_t, y):
    r = y[:3]
    rn = math.sqrt(r @ r)
    s = 5.0 * r[2] ** 2 / rn**2
    c = 1.5 * J2 * MU * RE**2 / rn**5
    a = -MU * r / rn**3 - c * r * np.array([1.0 - s, 1.0 - s, 3.0 - s])
    return np.concatenate([y[3:], a])


def scipy_reference(r, v, dt, rtol):
    from scipy.integrate import solve_ivp
    sol = solve_ivp(j2_rhs, (0.0, dt), np.concatenate([r, v]), method="DOP853", rtol=rtol,
                    atol=1e-16 * np.linalg.norm(r))
    assert sol.success
    return sol.y[:3, -1], sol.y[3:, -1]


# ---- the integrator ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("what, fraction, order", [("step", 0.0, 8), ("dense output", 0.37, 7)])
def test_order_of_convergence(what, fraction, order):
    """Two-body motion (J2 = 0) against exact Kepler. The step: global error over one revolution in n equal
    steps falls as n^-8. The dense output: its error inside a single step of size h falls as h^8 (order 7)."""
    r0, v0 = LEO
    period = 2 * math.pi * math.sqrt(6778.1374**3 / MU)
    if what == "step":
        sizes = np.array([16, 20, 25, 32])
        runs = [(period, n) for n in sizes]
        h = period / sizes
    else:
        h = np.array([800.0, 566.0, 400.0, 283.0])
        runs = [(step, 1) for step in h]
    errors = []
    for span, n in runs:
        r, _ = arrays._j2_fixed_steps(r0, v0, span, int(n), fraction, j2=0.0)
        t_end = span - (1 - fraction) * span / n if fraction else span
        exact, _ = arrays.propagate(r0, v0, t_end)
        errors.append(np.linalg.norm(np.subtract(r, exact)))
    slopes = np.diff(np.log(errors)) / np.diff(np.log(h))
    expected = order if what == "step" else order + 1  # local error of an order-p interpolant: h^(p+1)
    assert np.all(np.abs(slopes - expected) < 0.35), (errors, slopes)


@pytest.mark.parametrize("name, state, bound", [
    ("LEO 51.6", LEO, 1e-12), ("SSO 97.8", SSO, 1e-12),
    # e = 0.61 from 300 km: each perigee pass costs ~3e-12 of an energy five times smaller than its terms
    ("eccentric", ECCENTRIC, 2e-11),
])
def test_energy_and_polar_angular_momentum_are_conserved(name, state, bound):
    r0, v0 = state
    t = np.linspace(-DAY, DAY, 193)
    r, v = arrays.propagate_j2(r0, v0, t)
    e0, h0 = energy(r0, v0), np.cross(r0, v0)[2]
    assert np.max(np.abs(energy(r, v) / e0 - 1)) < bound
    assert np.max(np.abs(np.cross(r, v)[:, 2] / h0 - 1)) < bound


@pytest.mark.parametrize("name, state", [("LEO", LEO), ("GEO", GEO)])
def test_a_day_agrees_with_a_tight_independent_integration(name, state):
    r0, v0 = state
    ref_r, ref_v = scipy_reference(r0, v0, DAY, 1e-13)
    tighter_r, _ = scipy_reference(r0, v0, DAY, 3e-14)
    assert np.linalg.norm(ref_r - tighter_r) < 2e-7  # the reference itself is good to 0.2 mm
    r, v = arrays.propagate_j2(r0, v0, DAY)
    assert np.linalg.norm(r - ref_r) < 1e-6  # 1 mm
    assert np.linalg.norm(v - ref_v) < 1e-9  # 1 micrometre per second


@pytest.mark.parametrize("name, state, dt", [
    ("LEO", LEO, DAY), ("LEO backward", LEO, -DAY), ("GEO", GEO, DAY), ("eccentric", ECCENTRIC, DAY),
    ("hyperbola", (np.array([7000.0, 0, 0]), np.array([0.0, 11.0, 2.0])), 20000.0),
])
def test_without_j2_it_is_the_two_body_propagator(name, state, dt):
    r0, v0 = state
    r, v = arrays.propagate_j2(r0, v0, dt, j2=0.0)
    rk, vk = arrays.propagate(r0, v0, dt)
    assert np.linalg.norm(r - rk) < 1e-6
    assert np.linalg.norm(v - vk) < 1e-9


def test_node_drifts_at_the_secular_rate():
    """The right ascension of the node of a circular orbit drifts by -3/2 n J2 (R/a)^2 cos i per second (the
    first-order secular theory); a fit over a day of osculating nodes agrees to 1 %. Catches a wrong sign or
    size of the J2 term that the self-consistency checks cannot."""
    for state, a, inc in [(LEO, 6778.1374, 51.6), (SSO, 7078.1374, 97.8)]:
        t = np.linspace(0.0, DAY, 400)
        r, v = arrays.propagate_j2(*state, t)
        h = np.cross(r, v)
        node = np.unwrap(np.arctan2(h[:, 0], -h[:, 1]))
        rate = np.polyfit(t, node, 1)[0]
        expected = -1.5 * math.sqrt(MU / a**3) * J2 * (RE / a) ** 2 * math.cos(math.radians(inc))
        assert rate == pytest.approx(expected, rel=0.01)


# ---- the state transition matrix ------------------------------------------------------------------------------

@pytest.mark.parametrize("name, state, dt", [("LEO", LEO, 5000.0), ("SSO backward", SSO, -7000.0),
                                             ("eccentric", ECCENTRIC, 20000.0)])
def test_transition_matrix_matches_finite_differences(name, state, dt):
    r0, v0 = state
    x0 = np.concatenate([r0, v0])
    r, v, phi = arrays._propagate_j2_stm(r0, v0, dt)
    def flown(x):  # far tighter runs: their integration errors do not show in the differences
        r, v, _ = arrays._propagate_j2_stm(x[:3], x[3:], dt, rtol=1e-15)
        return np.concatenate([r, v])
    numeric = np.empty((6, 6))
    for j in range(6):
        step = np.zeros(6)
        step[j] = 3e-3 if j < 3 else 3e-6  # 3 m, 3 mm/s, five-point differences
        numeric[:, j] = (8 * (flown(x0 + step) - flown(x0 - step)) - flown(x0 + 2 * step) + flown(x0 - 2 * step)) / (
            12 * step[j])
    scale = np.abs(numeric).max(axis=0)
    assert np.max(np.abs(phi - numeric) / scale) < 3e-7  # measured: 1e-8 (LEO) to 1e-7 (eccentric)
    # The matrix rides along without steering the steps: the state is propagate_j2's, bit for bit.
    r1, v1 = arrays.propagate_j2(r0, v0, dt)
    assert np.array_equal(r, r1) and np.array_equal(v, v1)
    # Symplectic: phi^T J phi = J for a Hamiltonian flow.
    jmat = np.block([[np.zeros((3, 3)), np.eye(3)], [-np.eye(3), np.zeros((3, 3))]])
    assert np.allclose(phi.T @ jmat @ phi, jmat, atol=1e-9 * np.abs(phi).max() ** 2)


def test_transition_matrix_of_zero_time_is_the_identity():
    r, v, phi = arrays._propagate_j2_stm(*LEO, [0.0, 0.0])
    assert np.array_equal(phi, np.broadcast_to(np.eye(6), (2, 6, 6)))
    assert np.array_equal(r[0], LEO[0]) and np.array_equal(v[1], LEO[1])


# ---- dense sampling -------------------------------------------------------------------------------------------

def test_sampling_one_orbit_agrees_with_propagating_each_epoch():
    rng = np.random.default_rng(7)
    offsets = np.concatenate([rng.uniform(-DAY, DAY, 300), [0.0, DAY, -DAY / 2]])
    rng.shuffle(offsets)
    r, v = arrays._sample_j2(*LEO, offsets.reshape(3, 101))
    assert r.shape == v.shape == (3, 101, 3)
    rp, vp = arrays.propagate_j2(*LEO, offsets.reshape(3, 101))
    assert np.max(np.linalg.norm(r - rp, axis=-1)) < 1e-7  # 0.1 mm: the seventh-order interpolant
    assert np.max(np.linalg.norm(v - vp, axis=-1)) < 1e-10
    # The farthest epoch on each side ends an integration: it is propagate_j2's state exactly.
    for target in (offsets.max(), offsets.min(), 0.0):
        k = np.unravel_index(np.argmin(np.abs(offsets - target)), (3, 101))
        assert np.array_equal(r[k], rp[k]) and np.array_equal(v[k], vp[k])


# ---- the array function -----------------------------------------------------------------------------------------

def test_broadcasting_and_threads_do_not_change_results():
    r0 = np.stack([LEO[0], SSO[0], GEO[0], ECCENTRIC[0]])
    v0 = np.stack([LEO[1], SSO[1], GEO[1], ECCENTRIC[1]])
    dt = np.array([[-3000.0], [0.0], [4000.0], [60000.0], [1.0]])
    r, v = arrays.propagate_j2(r0, v0, dt, threads=1)
    assert r.shape == v.shape == (5, 4, 3)
    r2, v2 = arrays.propagate_j2(r0, v0, dt, threads=3)
    assert np.array_equal(r, r2) and np.array_equal(v, v2)
    for i in range(5):
        for j in range(4):
            ri, vi = arrays.propagate_j2(r0[j], v0[j], dt[i, 0])
            assert np.array_equal(r[i, j], ri) and np.array_equal(v[i, j], vi)
    assert np.array_equal(r[1], r0) and np.array_equal(v[1], v0)


@pytest.mark.parametrize("r, why", [([np.nan, 0.0, 7000.0], "not finite"), ([0.0, 0.0, 0.0], "zero"),
                                   ([1e-9, 0.0, 0.0], "centre")])
def test_failures_are_nan_rows_or_raise(r, why):
    v = [0.0, 0.0, 0.0] if why == "centre" else [0.0, 7.5, 0.0]
    rr, vv = arrays.propagate_j2([LEO[0], r], [LEO[1], v], 600.0)
    assert np.all(np.isfinite(rr[0])) and np.all(np.isnan(rr[1])) and np.all(np.isnan(vv[1]))
    with pytest.raises((ValueError, RuntimeError), match=r"propagate_j2\(\): state \(1,\)"):
        arrays.propagate_j2([LEO[0], r], [LEO[1], v], 600.0, errors="raise")


@pytest.mark.parametrize("call, exc, text", [
    (lambda: arrays.propagate_j2(*LEO, 1.0, radius=0.0), ValueError, "radius must be a positive finite"),
    (lambda: arrays.propagate_j2(*LEO, 1.0, j2=math.nan), ValueError, "j2 must be a finite"),
    (lambda: arrays.propagate_j2(*LEO, 1.0, mu=-1.0), ValueError, "mu must be a positive"),
    (lambda: arrays.propagate_j2(*LEO, 1.0, j2="x"), TypeError, "j2 must be a real number"),
    (lambda: arrays.propagate_j2(*LEO, 1.0, rtol=1e-9), TypeError, "rtol"),
    (lambda: arrays.propagate_j2(LEO[0], np.ones((2, 3)), np.ones(3)), ValueError, "do not broadcast"),
    (lambda: arrays._sample_j2(np.ones((2, 3)), LEO[1], [1.0]), ValueError, "one vector"),
    (lambda: arrays._sample_j2(*LEO, [1.0, math.inf]), ValueError, "not finite"),
    (lambda: arrays._propagate_j2_stm(*LEO, 1.0, rtol=0.5), ValueError, "rtol must be between"),
])
def test_argument_errors(call, exc, text):
    with pytest.raises(exc, match=text):
        call()


@pytest.mark.parametrize("call", [
    lambda: arrays.propagate_j2(np.ones((5, 3)) * 7000, [0, 7.5, 0], np.arange(5.0)),
    lambda: arrays._propagate_j2_stm(np.ones((5, 3)) * 7000, [0, 7.5, 0], 10.0),
    lambda: arrays._sample_j2(LEO[0], LEO[1], np.arange(-5.0, 5.0)),
    lambda: arrays.propagate_j2([0.0, 0, 0], [0, 7.5, 0], 1.0, errors="raise"),
], ids=["propagate", "stm", "sample", "raise"])
def test_no_leaks(call):
    def run(rounds):
        for _ in range(rounds):
            try:
                call()
            except (ValueError, RuntimeError):
                pass
    assert leaked_blocks(run, 1000, warmup=100, repeats=3) <= 100
