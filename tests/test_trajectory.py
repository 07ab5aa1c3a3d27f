"""Trajectories: two-body states and Hermite tables, alone and as the porkchop grid's inputs."""
import math

import numpy as np
import pytest

from vextal.astro import _porkchop
from vextal.astro.porkchop import porkchop
from vextal.astro.trajectory import MU_EARTH, Table, TwoBody

LEO = (0.0, 6778.0, 0.0, 0.0, 0.0, math.sqrt(MU_EARTH / 6778.0), 0.0)  # 400 km circular, period 5550 s
HIGHER = (0.0, 0.0, 7078.0, 10.0, -7.5043, 0.0, 0.05)
ECCENTRIC = (0.0, -7000.0, 1200.0, 300.0, -1.0, -8.4, 1.1)
DAY = 86400.0


def sampled(state, step=60.0, span=DAY, start=0.0):
    epochs = np.arange(start, start + span + step / 2, step)
    return Table(epochs, *TwoBody(state).states(epochs))


@pytest.mark.parametrize("state", [LEO, ECCENTRIC])
def test_table_is_exact_at_its_samples(state):
    table = sampled(state, step=97.0, span=3 * 3600.0)
    r, v = table.states(table.epochs)
    assert r.tobytes() == table.positions.tobytes()
    assert v.tobytes() == table.velocities.tobytes()


def test_leo_sampled_every_minute_stays_within_a_metre_over_a_day():
    truth = TwoBody(LEO)
    table = sampled(LEO)
    epochs = np.linspace(0.0, DAY, 200001)
    r_true, v_true = truth.states(epochs)
    r, v = table.states(epochs)
    position_error = np.linalg.norm(r - r_true, axis=-1).max() * 1e3  # m
    velocity_error = np.linalg.norm(v - v_true, axis=-1).max() * 1e3  # m/s
    # Measured: 0.38 m and 0.020 m/s, the h^4 r n^4 / 384 of cubic Hermite interpolation.
    assert 0.1 < position_error < 0.5
    assert velocity_error < 0.03


@pytest.mark.parametrize("epochs", [-1e-9, DAY + 1e-6, [0.0, -5.0], np.nan])
def test_table_refuses_epochs_outside_its_span(epochs):
    with pytest.raises(ValueError, match="outside|finite"):
        sampled(LEO).states(epochs)


@pytest.mark.parametrize("kind", [TwoBody, "table"])
@pytest.mark.parametrize("shape", [(), (4,), (2, 3)])
def test_states_broadcast_over_the_epochs_shape(kind, shape):
    trajectory = sampled(LEO) if kind == "table" else kind(LEO)
    epochs = np.linspace(10.0, 5000.0, int(np.prod(shape))).reshape(shape)
    r, v = trajectory.states(epochs)
    assert r.shape == v.shape == shape + (3,) and r.dtype == v.dtype == np.float64
    state = trajectory.state_at(float(epochs.flat[-1]))
    assert state.time == epochs.flat[-1]
    assert state.position.to_tuple() == tuple(r.reshape(-1, 3)[-1])
    assert state.velocity.to_tuple() == tuple(v.reshape(-1, 3)[-1])


@pytest.mark.parametrize("epochs, positions, velocities, message", [
    ([0.0], [[7000.0, 0, 0]], [[0, 7.5, 0]], "at least two"),
    ([0.0, 0.0], np.ones((2, 3)), np.ones((2, 3)), "strictly increasing"),
    ([0.0, 2.0, 1.0], np.ones((3, 3)), np.ones((3, 3)), "strictly increasing"),
    ([0.0, 1.0], np.ones((2, 2)), np.ones((2, 3)), "positions must have shape"),
    ([0.0, 1.0], np.ones((2, 3)), np.ones((3, 3)), "velocities must have shape"),
    ([0.0, np.inf], np.ones((2, 3)), np.ones((2, 3)), "epochs must hold finite"),
    ([0.0, 1.0], [[1.0, np.nan, 0], [1, 1, 1]], np.ones((2, 3)), "positions must hold finite"),
])
def test_table_checks_its_samples(epochs, positions, velocities, message):
    with pytest.raises(ValueError, match=message):
        Table(epochs, positions, velocities)


def test_table_keeps_read_only_copies():
    epochs, r, v = np.array([0.0, 60.0]), np.ones((2, 3)) * 7000.0, np.ones((2, 3))
    table = Table(epochs, r, v)
    r[0, 0] = 1.0
    assert table.positions[0, 0] == 7000.0
    with pytest.raises(ValueError):
        table.positions[0, 0] = 1.0


# Unscreened (min_radius=0): the comparisons are about the sources, and some cheapest arcs here dip below the
# Earth.
GRID = dict(departures=np.linspace(0.0, 6000.0, 21), tofs=np.linspace(900.0, 12000.0, 25), max_revs=1,
            min_radius=0)


def test_grid_over_tables_matches_the_two_body_grid():
    exact = porkchop(LEO, HIGHER, threads=1, **GRID)
    tabled = porkchop(sampled(LEO), sampled(HIGHER), threads=1, **GRID)
    assert np.isfinite(exact.dv_total).all()
    # Interpolation errors of 0.4 m and 0.02 m/s at either end move the delta-vs by 0.016 m/s at most (measured).
    for field in ("dv_departure", "dv_arrival", "dv_total"):
        assert np.abs(getattr(tabled, field) - getattr(exact, field)).max() < 1e-4
    assert (tabled.revolutions == exact.revolutions).all() and (tabled.branch == exact.branch).all()
    assert tabled.chaser == exact.chaser


@pytest.mark.parametrize("chaser, target", [(TwoBody(LEO), HIGHER), (LEO, TwoBody(HIGHER)),
                                            (TwoBody(LEO), TwoBody(HIGHER))])
def test_two_body_trajectories_give_the_state_grid_bit_for_bit(chaser, target):
    exact = porkchop(LEO, HIGHER, threads=1, **GRID)
    grid = porkchop(chaser, target, threads=1, **GRID)
    for field in ("dv_total", "revolutions", "branch"):
        assert getattr(grid, field).tobytes() == getattr(exact, field).tobytes()


def test_two_body_trajectory_moves_under_its_own_mu():
    lunar = 4902.8
    state = (0.0, 1838.0, 0.0, 0.0, 0.0, math.sqrt(lunar / 1838.0), 0.0)
    r, _ = TwoBody(state, mu=lunar).states(2 * math.pi * math.sqrt(1838.0 ** 3 / lunar))  # one period
    assert np.allclose(r, state[1:4], atol=1e-6)
    earth = porkchop(state, state, [0.0], [3000.0], threads=1)
    moon = porkchop(TwoBody(state, mu=lunar), TwoBody(state, mu=lunar), [0.0], [3000.0], threads=1)
    assert earth.dv_total[0, 0] != moon.dv_total[0, 0]


@pytest.mark.parametrize("departures, tofs", [([-60.0, 0.0], [600.0]), ([0.0], [DAY + 60.0])])
def test_grid_refuses_epochs_the_table_does_not_cover(departures, tofs):
    with pytest.raises(ValueError, match="table spans"):
        porkchop(sampled(LEO), sampled(HIGHER), departures, tofs)
    # Natively the uncovered cells are empty, never extrapolated.
    out = _porkchop.grid(sampled(LEO), sampled(HIGHER), departures, tofs, threads=1)
    assert np.isnan(out[2][0]).all() and (out[3][0] == -1).all()


@pytest.mark.parametrize("progress", [None, lambda fraction: None])
def test_grid_over_a_table_is_the_same_in_blocks(progress):
    # The progress path cuts the departure axis into blocks; a table source gives the same bits either way.
    table = sampled(LEO)
    whole = porkchop(table, HIGHER, threads=1, **GRID)
    blocks = porkchop(table, HIGHER, threads=2, progress=progress, **GRID)
    assert whole.dv_total.tobytes() == blocks.dv_total.tobytes()
