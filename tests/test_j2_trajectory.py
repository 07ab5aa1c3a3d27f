"""The J2 trajectory: dense states either side of the epoch, ECI records, and a table density whose cubic
Hermite interpolation stays within the stated bounds."""
import math

import numpy as np
import pytest

from test_j2 import ECCENTRIC, GEO, LEO, SSO
from vextal.astro import arrays
from vextal.astro._j2 import TABLE_POSITION_BOUND, TABLE_VELOCITY_BOUND, J2
from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

T0 = 2.0e9  # an epoch in 2013 (s since 1950)


def hermite(t, ts, rs, vs):
    """Cubic Hermite from position and velocity at the bracketing samples (written out for the test)."""
    i = np.clip(np.searchsorted(ts, t, side="right") - 1, 0, len(ts) - 2)
    h = (ts[i + 1] - ts[i])[:, None]
    s = (t - ts[i])[:, None] / h
    p0, p1, m0, m1 = rs[i], rs[i + 1], vs[i] * h, vs[i + 1] * h
    pos = (2 * s**3 - 3 * s**2 + 1) * p0 + (s**3 - 2 * s**2 + s) * m0 + (3 * s**2 - 2 * s**3) * p1 + (s**3 - s**2) * m1
    vel = ((6 * s**2 - 6 * s) * (p0 - p1) + (3 * s**2 - 4 * s + 1) * m0 + (3 * s**2 - 2 * s) * m1) / h
    return pos, vel


def test_states_either_side_of_the_epoch_are_the_propagator_s():
    orbit = J2((T0, *LEO[0], *LEO[1]))
    epochs = T0 + np.array([[-40000.0, 0.0, 5.5], [86400.0, -1.0, 30000.0]])
    r, v = orbit.states(epochs)
    rp, vp = arrays.propagate_j2(*LEO, epochs - T0)
    assert r.shape == v.shape == (2, 3, 3)
    assert np.max(np.linalg.norm(r - rp, axis=-1)) < 1e-7 and np.max(np.linalg.norm(v - vp, axis=-1)) < 1e-10
    assert np.array_equal(r[0, 1], LEO[0])


@pytest.mark.parametrize("make", [
    lambda: J2(ECI(T0, Vector3(*LEO[0]), Vector3(*LEO[1])), j2=2e-3, radius=6400.0),
    lambda: J2([T0, *LEO[0], *LEO[1]], j2=2e-3, radius=6400.0),
], ids=["ECI", "sequence"])
def test_state_at_gives_an_eci_record_of_the_model(make):
    orbit = make()
    assert orbit.epoch == T0 and (orbit.j2, orbit.radius, orbit.mu) == (2e-3, 6400.0, 398600.5)
    state = orbit.state_at(T0 + 3600.0)
    r, v = arrays.propagate_j2(*LEO, 3600.0, j2=2e-3, radius=6400.0)
    assert isinstance(state, ECI) and state.time == T0 + 3600.0
    assert np.allclose(state.position.to_tuple(), r, rtol=0, atol=1e-7)
    assert np.allclose(state.velocity.to_tuple(), v, rtol=0, atol=1e-10)


@pytest.mark.parametrize("args, kwargs, exc", [
    ((T0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0), {}, ValueError),
    ((T0, math.nan, 0.0, 7000.0, 1.0, 0.0, 0.0), {}, ValueError),
    ((T0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0), {"radius": -1.0}, ValueError),
    ((T0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0), {"mu": 0.0}, ValueError),
    ((T0, 7000.0, 0.0, 0.0), {}, TypeError),
])
def test_bad_states_and_constants_are_refused(args, kwargs, exc):
    with pytest.raises(exc):
        J2(args, **kwargs)


@pytest.mark.parametrize("name, state", [("LEO", LEO), ("SSO", SSO), ("GEO", GEO), ("eccentric", ECCENTRIC)])
def test_table_density_keeps_hermite_within_the_bounds(name, state):
    orbit = J2((T0, *state[0], *state[1]))
    epochs = orbit.table_epochs(T0 - 3600.0, T0 + 86400.0)
    assert epochs[0] == T0 - 3600.0 and epochs[-1] == T0 + 86400.0 and np.all(np.diff(epochs) > 0)
    r, v = orbit.states(epochs)
    t = np.sort(np.random.default_rng(3).uniform(epochs[0], epochs[-1], 20000))
    rt, vt = orbit.states(t)
    pos, vel = hermite(t, epochs, r, v)
    pos_err = np.max(np.linalg.norm(pos - rt, axis=1))
    vel_err = np.max(np.linalg.norm(vel - vt, axis=1))
    assert pos_err < TABLE_POSITION_BOUND and vel_err < TABLE_VELOCITY_BOUND
    # ... and not needlessly dense: the bound is used to within a factor of 20.
    assert pos_err > TABLE_POSITION_BOUND / 20


def test_pickles_and_takes_any_shape_of_epochs():
    import pickle

    orbit = J2((T0, *SSO[0], *SSO[1]), j2=1.5e-3)
    copy = pickle.loads(pickle.dumps(orbit))
    assert (copy.state, copy.j2) == (orbit.state, orbit.j2)
    assert np.array_equal(copy.states([T0 + 500.0])[0], orbit.states([T0 + 500.0])[0])
    assert orbit.states([])[0].shape == (0, 3) and orbit.states(T0 + 1.0)[1].shape == (3,)
