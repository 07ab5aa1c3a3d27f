"""The J2 trajectory: dense states either side of the epoch, ECI records, and a table density whose cubic
Hermite interpolation stays within the stated bounds."""
import math

import numpy as np
import pytest

from test_j2 import ECCENTRIC, GEO, LEO, SSO
from vextal.astro import arrays
from vextal.astro._j2 import TABLE_POSITION_BOUND, TABLE_VELOCITY_BOUND
from vextal.astro.trajectory import J2, Table, TwoBody
from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

T0 = 2.0e9  # an epoch in 2013 (s since 1950)


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
    dated = orbit.state_at("2013-05-18T04:33:20")  # the same epoch as a date (T0 is 2013-05-18T03:33:20 UTC)
    assert dated.time == state.time and dated.position.to_tuple() == state.position.to_tuple()
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
def test_grid_table_interpolates_within_the_bounds(name, state):
    orbit = J2((T0, *state[0], *state[1]))
    table = orbit._grid_source(T0 - 3600.0, T0 + 86400.0)
    assert isinstance(table, Table)
    assert table.epochs[0] == T0 - 3600.0 and table.epochs[-1] == T0 + 86400.0
    t = np.random.default_rng(3).uniform(T0 - 3600.0, T0 + 86400.0, 20000)
    r, v = table.states(t)
    rt, vt = orbit.states(t)
    pos_err = np.max(np.linalg.norm(r - rt, axis=1))
    vel_err = np.max(np.linalg.norm(v - vt, axis=1))
    assert pos_err < TABLE_POSITION_BOUND and vel_err < TABLE_VELOCITY_BOUND
    # ... and not needlessly dense: the bound is used to within a factor of 20.
    assert pos_err > TABLE_POSITION_BOUND / 20


def test_a_grid_of_j2_trajectories_without_j2_is_the_two_body_grid():
    from vextal.astro.porkchop import porkchop

    chaser = (T0, *LEO[0], *LEO[1])
    target = (T0 + 600.0, *SSO[0], *SSO[1])
    departures, tofs = np.linspace(0.0, 20000.0, 21), np.linspace(1800.0, 9000.0, 13)
    exact = porkchop(TwoBody(chaser), TwoBody(target), departures, tofs, max_revs=1)
    sampled = porkchop(J2(chaser, j2=0.0), J2(target, j2=0.0), departures, tofs, max_revs=1)
    # the table's centimetre moves a cell's delta-v by 0.7 mm/s at most here (measured)
    assert np.nanmax(np.abs(sampled.dv_total - exact.dv_total)) < 5e-6
    assert np.array_equal(sampled.revolutions, exact.revolutions)
    with_j2 = porkchop(J2(chaser), J2(target), departures, tofs, max_revs=1)
    assert np.nanmax(np.abs(with_j2.dv_total - exact.dv_total)) > 1e-3  # J2 does move the plan


def test_pickles_and_takes_any_shape_of_epochs():
    import pickle

    orbit = J2((T0, *SSO[0], *SSO[1]), j2=1.5e-3)
    copy = pickle.loads(pickle.dumps(orbit))
    assert (copy.state, copy.j2, copy.mu, copy.radius) == (orbit.state, orbit.j2, orbit.mu, orbit.radius)
    assert np.array_equal(copy.states([T0 + 500.0])[0], orbit.states([T0 + 500.0])[0])
    assert orbit.states([])[0].shape == (0, 3) and orbit.states(T0 + 1.0)[1].shape == (3,)
