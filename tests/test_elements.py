"""Classical elements <-> states: round trips, Kepler's equation against the universal-variable propagator,
the conventions where an angle is undefined, and refusals."""
import numpy as np
import pytest

from vextal.astro import elements as E
from vextal.astro.arrays import propagate

MU = 398600.5


def random_elements(rng, n, hyperbolic):
    e = rng.uniform(1.05, 4.0, n) if hyperbolic else rng.uniform(0.001, 0.95, n)
    rp = rng.uniform(6600, 40000, n)
    a = rp / (1 - e)
    i = rng.uniform(1, 179, n)
    raan, argp = rng.uniform(0, 360, (2, n))
    if hyperbolic:  # true anomaly within 90 % of the asymptote
        limit = np.degrees(np.arccos(-1 / e))
        nu = rng.uniform(-0.9, 0.9, n) * limit
    else:
        nu = rng.uniform(0, 360, n)
    return a, e, i, raan, argp, nu


def angle_diff(x, y):
    return np.abs((np.asarray(x) - y + 180) % 360 - 180)


@pytest.mark.parametrize("hyperbolic", [False, True], ids=["elliptic", "hyperbolic"])
def test_round_trips_to_1e9_relative(hyperbolic):
    rng = np.random.default_rng(7 + hyperbolic)
    a, e, i, raan, argp, nu = random_elements(rng, 2000, hyperbolic)
    r, v = E.to_state(a, e, i, raan, argp, nu)
    el = E.from_state(r, v)
    np.testing.assert_allclose(el.a, a, rtol=1e-9)
    np.testing.assert_allclose(el.e, e, rtol=1e-9)
    for got, want in ((el.i, i), (el.raan, raan), (el.argp, argp), (el.nu, nu)):
        assert angle_diff(got, want).max() < 1e-7  # degrees: 1e-9 of a turn
    r2, v2 = E.to_state(el.a, el.e, el.i, el.raan, el.argp, el.m, kind="mean")
    np.testing.assert_allclose(r2, r, rtol=1e-9, atol=1e-9 * np.abs(r).max())
    np.testing.assert_allclose(v2, v, rtol=1e-9, atol=1e-9 * np.abs(v).max())
    assert (np.sign(el.a) == (-1 if hyperbolic else 1)).all()


@pytest.mark.parametrize("hyperbolic", [False, True], ids=["elliptic", "hyperbolic"])
def test_mean_anomaly_advances_as_the_two_body_propagator_moves(hyperbolic):
    # Kepler's equation against the universal-variable propagator: M grows by n dt.
    rng = np.random.default_rng(11 + hyperbolic)
    a, e, i, raan, argp, _ = random_elements(rng, 300, hyperbolic)
    m0 = rng.uniform(-60, 60, 300) if hyperbolic else rng.uniform(0, 360, 300)
    dt = rng.uniform(-20000, 20000, 300)
    n = np.sqrt(MU / np.abs(a) ** 3)
    r0, v0 = E.to_state(a, e, i, raan, argp, m0, kind="mean")
    r1, v1 = E.to_state(a, e, i, raan, argp, m0 + np.degrees(n * dt), kind="mean")
    rp, vp = propagate(r0, v0, dt)
    np.testing.assert_allclose(r1, rp, rtol=0, atol=1e-9 * np.abs(rp).max())
    np.testing.assert_allclose(v1, vp, rtol=0, atol=1e-9 * np.abs(vp).max())


@pytest.mark.parametrize("i, e, raan, argp, nu, want", [
    # circular inclined: argp 0, nu the argument of latitude
    (51.6, 0.0, 30.0, 40.0, 50.0, dict(raan=30.0, argp=0.0, nu=90.0)),
    # equatorial elliptic: raan 0, argp the longitude of periapsis
    (0.0, 0.1, 30.0, 40.0, 50.0, dict(raan=0.0, argp=70.0, nu=50.0)),
    # circular equatorial: nu the true longitude
    (0.0, 0.0, 30.0, 40.0, 50.0, dict(raan=0.0, argp=0.0, nu=120.0)),
    # retrograde equatorial: longitudes counted in the direction of motion
    (180.0, 0.1, 30.0, 40.0, 50.0, dict(raan=0.0, argp=10.0, nu=50.0)),
], ids=["circular", "equatorial", "circular-equatorial", "retrograde-equatorial"])
def test_conventions_where_an_angle_is_undefined(i, e, raan, argp, nu, want):
    r, v = E.to_state(7000.0, e, i, raan, argp, nu)
    el = E.from_state(r, v)
    assert not any(np.isnan(x) for x in el)
    for key, value in want.items():
        assert angle_diff(getattr(el, key), value) < 1e-8, key
    back = E.to_state(*el[:5], el.nu)
    np.testing.assert_allclose(back[0], r, rtol=0, atol=1e-8)


@pytest.mark.parametrize("args, kwargs, message", [
    ((7000, 1.0, 10, 0, 0, 0), {}, "parabolic"),
    ((7000, 1.2, 10, 0, 0, 0), {}, "semi-major axis must be"),
    ((-7000, 0.2, 10, 0, 0, 0), {}, "semi-major axis must be"),
    ((-7000, 2.0, 10, 0, 0, 150), {}, "asymptote"),
    ((7000, -0.1, 10, 0, 0, 0), {}, "negative"),
    ((np.nan, 0.1, 10, 0, 0, 0), {}, "not finite"),
    ((7000, 0.1, 10, 0, 0, 0), {"mu": -1.0}, "mu"),
    ((7000, 0.1, 10, 0, 0, 0), {"kind": "eccentric"}, "kind"),
])
def test_to_state_refusals(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        E.to_state(*args, **kwargs)


@pytest.mark.parametrize("r, v, message", [
    ([7000, 0, 0], [1, 0, 0], "parallel"),
    ([0, 0, 0], [0, 7, 0], "zero"),
    ([7000, 0, 0], [0, np.sqrt(2 * MU / 7000), 0], "parabolic"),
    ([[7000, 0, 0], [7000, 0, 0]], [[0, 7.5, 0], [np.inf, 0, 0]], r"index \(1,\).*not finite"),
])
def test_from_state_refusals(r, v, message):
    with pytest.raises(ValueError, match=message):
        E.from_state(r, v)


def test_scalars_in_scalars_out_and_broadcasting():
    r, v = E.to_state(7000.0, 0.01, 10.0, 20.0, 30.0, 40.0)
    assert r.shape == v.shape == (3,)
    el = E.from_state(r, v)
    assert all(isinstance(x, float) for x in el)
    r, v = E.to_state([[7000.0], [8000.0]], 0.01, 10.0, 20.0, 30.0, [0.0, 90.0, 180.0])
    assert r.shape == (2, 3, 3)
    el = E.from_state(r, [0.0, 0.0, 7.5])  # one velocity for every position
    assert el.a.shape == (2, 3)
    assert E.true_from_mean(370.0, 0.5) == pytest.approx(E.true_from_mean(10.0, 0.5) + 360.0)
