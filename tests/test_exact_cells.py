"""Exact cells of J2 grids, checked against references built here: a J2 acceleration of our own integrated by
scipy's DOP853, and shooting by scipy's root finder from every two-body Lambert arc of a cell."""
import math

import numpy as np
import pytest

from vextal.astro import arrays, forces
from vextal.astro.porkchop import porkchop
from vextal.astro.trajectory import J2, Numerical

integrate = pytest.importorskip("scipy.integrate")
optimize = pytest.importorskip("scipy.optimize")

MU, J2_EARTH, RADIUS = 398600.5, 1.08262668e-3, 6378.1374
CHASER = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
TARGET = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
DEPARTURES = np.linspace(0.0, 86400.0, 7)

#: (max_revs, times of flight): windows whose cheapest arcs have none, one and three revolutions.
WINDOWS = [(0, np.linspace(1500.0, 5200.0, 6)), (1, np.linspace(6000.0, 10800.0, 6)),
           (3, np.linspace(17500.0, 24000.0, 5))]


def acceleration(r):
    x, y, z = r
    r2 = x * x + y * y + z * z
    rn = math.sqrt(r2)
    k = 1.5 * J2_EARTH * MU * RADIUS ** 2 / rn ** 5
    s = 5.0 * z * z / r2
    return np.array([-MU * x / rn ** 3 - k * x * (1 - s), -MU * y / rn ** 3 - k * y * (1 - s),
                     -MU * z / rn ** 3 - k * z * (3 - s)])


def fly(r, v, tof):
    """The state after tof (s) under J2, and the least radius on the way (scipy's DOP853, its dense output)."""
    solution = integrate.solve_ivp(lambda t, y: np.concatenate((y[3:], acceleration(y[:3]))), (0.0, tof),
                                   np.concatenate((r, v)), method="DOP853", rtol=1e-12, atol=1e-12,
                                   dense_output=True)
    samples = solution.sol(np.linspace(0.0, tof, 400))
    return solution.y[:3, -1], solution.y[3:, -1], float(np.min(np.linalg.norm(samples[:3], axis=0)))


def ends(departure, tof, arrive_at=None):
    """The chaser's J2 state at departure, the target's (or its hold point's) at arrival."""
    r1, vc = J2(CHASER).states(departure)
    r2, vt = J2(TARGET).states(departure + tof)
    if arrive_at is not None:
        radial = r2 / np.linalg.norm(r2)
        h = np.cross(r2, vt)
        cross = h / np.linalg.norm(h)
        offset = np.array(arrive_at)
        d = offset[0] * radial + offset[1] * np.cross(cross, radial) + offset[2] * cross
        omega = h / np.dot(r2, r2)  # the RIC frame's rotation
        r2, vt = r2 + d, vt + np.cross(omega, d)
    return r1, vc, r2, vt


def cheapest_by_shooting(departure, tof, max_revs):
    """The least rendezvous cost over every Lambert arc of the cell, each shot under J2 by scipy's root finder
    (arcs that do not converge, or that dive below the Earth's radius, do not count)."""
    r1, vc, r2, vt = ends(departure, tof)
    guesses = arrays.lambert(r1, r2, tof, max_revs=max_revs).v1
    best = math.inf
    for guess in guesses:
        if np.isnan(guess).any():
            continue
        solution = optimize.root(lambda v: arrays.propagate_j2(r1, v, tof)[0] - r2, guess, tol=1e-12)
        rf, vf, lowest = fly(r1, solution.x, tof)
        if np.linalg.norm(rf - r2) < 1e-3 and lowest >= RADIUS:
            best = min(best, float(np.linalg.norm(solution.x - vc) + np.linalg.norm(vt - vf)))
    return best


def sample_cells(grid, count, seed):
    finite = np.argwhere(grid.status == 0)
    picks = np.random.default_rng(seed).choice(len(finite), size=min(count, len(finite)), replace=False)
    return [tuple(int(k) for k in finite[p]) for p in picks]


@pytest.fixture(scope="module", params=WINDOWS, ids=["0 revs", "1 rev", "3 revs"])
def window(request):
    max_revs, tofs = request.param
    grid = porkchop(CHASER, TARGET, DEPARTURES, tofs, max_revs=max_revs, model="j2")
    return max_revs, grid


def test_burns_of_cells_flown_independently_land_within_a_metre(window):
    max_revs, grid = window
    assert (grid.status == 0).sum() >= 3 and np.nanmax(grid.miss) <= 1e-3
    assert grid.revolutions.max() == max_revs  # the window's cheapest arcs have that many revolutions
    for i, j in sample_cells(grid, 3, max_revs):
        departure, tof = grid.departures[i], grid.tofs[j]
        transfer = grid.transfer(departure, tof)
        assert transfer.dv_total == pytest.approx(grid.dv_total[i, j], abs=1e-6)
        r1, vc, r2, vt = ends(departure, tof)
        rf, vf, _ = fly(r1, vc + np.array(transfer.burns[0].delta_v.to_tuple()), tof)
        assert np.linalg.norm(rf - r2) <= 1e-3
        assert np.linalg.norm(vf + np.array(transfer.burns[1].delta_v.to_tuple()) - vt) <= 1e-5


def test_no_arc_of_a_cell_shot_independently_is_cheaper(window):
    max_revs, grid = window
    for i, j in sample_cells(grid, 2, 10 + max_revs):
        found = cheapest_by_shooting(grid.departures[i], grid.tofs[j], max_revs)
        assert grid.dv_total[i, j] <= found + 5e-5


def test_cells_differ_from_two_body_arcs_and_the_old_figure_stays():
    grid = porkchop(CHASER, TARGET, DEPARTURES, WINDOWS[1][1], max_revs=1, model="j2")
    plain = porkchop(J2(CHASER), J2(TARGET), DEPARTURES, WINDOWS[1][1], max_revs=1)
    assert np.array_equal(grid.dv_total_arc, plain.dv_total, equal_nan=True)
    gap = np.abs(grid.dv_total - grid.dv_total_arc)[grid.status == 0]
    assert np.nanmax(gap) > 1e-3  # J2 moves the cost by more than a metre per second somewhere
    assert plain.miss is None and plain.dv_total_arc is None


@pytest.mark.parametrize("arrive_at", [(0.0, -2.0, 0.0), (0.5, 3.0, -0.2)])
def test_hold_point_reached_in_the_model(arrive_at):
    grid = porkchop(CHASER, TARGET, DEPARTURES[:3], WINDOWS[0][1], model="j2", arrive_at=arrive_at)
    i, j = sample_cells(grid, 1, 3)[0]
    transfer = grid.transfer(grid.departures[i], grid.tofs[j])
    r1, vc, r2, vt = ends(grid.departures[i], grid.tofs[j], arrive_at)
    rf, vf, _ = fly(r1, vc + np.array(transfer.burns[0].delta_v.to_tuple()), grid.tofs[j])
    assert np.linalg.norm(rf - r2) <= 1e-3
    assert np.linalg.norm(vf + np.array(transfer.burns[1].delta_v.to_tuple()) - vt) <= 1e-5


@pytest.mark.parametrize("model", ["two-body", "j2"])
def test_dv_total_two_body_is_the_two_body_grid_s_cell(model):
    # trajectories (here J2 objects on a two-body-model grid, as TLEs are) keep their own states; states given
    # to a J2 grid are compared with the two-body grid of the same states
    given = (J2(CHASER), J2(TARGET)) if model == "two-body" else (CHASER, TARGET)
    grid = porkchop(*given, DEPARTURES, WINDOWS[0][1], model=model)
    if model == "j2":
        both = np.argwhere((grid.status == 0) & (porkchop(*given, DEPARTURES, WINDOWS[0][1]).status == 0))
        i, j = both[len(both) // 2]
        transfer = grid.transfer(grid.departures[i], grid.tofs[j])
    else:
        transfer = grid.refine(model="j2")
    # the two-body grid at the transfer's own cell (its tables sampled afresh: within their centimetres)
    two_body = porkchop(*given, [transfer.departure], [transfer.tof], model="two-body")
    assert transfer.dv_total_two_body == pytest.approx(float(two_body.dv_total[0, 0]), abs=1e-5)


def exact_cost(grid, departure, tof):
    """The cheapest exact cost at a point by independent shooting (inf outside the window or without an arc)."""
    if not (grid.departures[0] <= departure <= grid.departures[-1] and grid.tofs[0] <= tof <= grid.tofs[-1]):
        return math.inf
    return cheapest_by_shooting(departure, tof, grid.max_revs)


#: Windows of the README's pair: (max_revs, departures, times of flight, whether the optimum lies on the
#: window's edge). In the first two the correction of the two-body-arc grid, boxed by its best cell's
#: neighbouring grid lines, stops on that box.
REFINE_WINDOWS = [(0, np.linspace(56000.0, 62000.0, 41), np.linspace(2000.0, 4000.0, 41), False),
                  (1, np.linspace(54000.0, 60000.0, 41), np.linspace(7000.0, 10000.0, 41), False),
                  (1, np.linspace(0.0, 86400.0, 25), np.linspace(6000.0, 8000.0, 6), True)]


@pytest.mark.parametrize("max_revs, departures, tofs, on_edge", REFINE_WINDOWS)
def test_refine_finds_a_local_minimum_of_the_exact_cost(max_revs, departures, tofs, on_edge):
    grid = porkchop(CHASER, TARGET, departures, tofs, max_revs=max_revs, model="j2")
    transfer = grid.refine()
    assert transfer.at_window_edge is on_edge
    assert transfer.dv_total <= np.nanmin(grid.dv_total) + 1e-9
    assert transfer.dv_total == pytest.approx(cheapest_by_shooting(transfer.departure, transfer.tof, max_revs),
                                              abs=5e-5)
    for step in (60.0, 600.0):
        for dd, dt in ((step, 0), (-step, 0), (0, step), (0, -step)):
            probe = exact_cost(grid, transfer.departure + dd, transfer.tof + dt)
            assert probe > transfer.dv_total - 5e-5
    if not on_edge:  # cheaper than the boxed correction
        boxed = porkchop(J2(CHASER), J2(TARGET), departures, tofs, max_revs=max_revs).refine(model="j2")
        assert transfer.dv_total < boxed.dv_total - 1e-4


@pytest.mark.parametrize("options", [{"arrive_at": (0.0, -2.0, 0.0)}, {"cost": "intercept"}])
def test_refine_plans_hold_points_and_intercepts_in_the_model(options):
    grid = porkchop(CHASER, TARGET, np.linspace(0.0, 86400.0, 13), WINDOWS[0][1], model="j2", **options)
    transfer = grid.refine()
    assert transfer.dv_total <= np.nanmin(grid.dv_total) + 1e-9 and transfer.miss_km <= 1e-3
    r1, vc, r2, vt = ends(transfer.departure, transfer.tof, options.get("arrive_at"))
    rf, vf, _ = fly(r1, vc + np.array(transfer.burns[0].delta_v.to_tuple()), transfer.tof)
    assert np.linalg.norm(rf - r2) <= 1e-3


@pytest.mark.parametrize("max_revs", [0, 1])
def test_two_body_refine_searches_the_window(max_revs):
    grid = porkchop(CHASER, TARGET, np.linspace(0.0, 86400.0, 25), WINDOWS[max_revs][1], max_revs=max_revs)
    transfer = grid.refine()
    assert transfer.at_window_edge is False and transfer.dv_total <= np.nanmin(grid.dv_total)
    for dd, dt in ((60.0, 0), (-60.0, 0), (0, 60.0), (0, -60.0)):
        probe = porkchop(CHASER, TARGET, [transfer.departure + dd], [transfer.tof + dt], max_revs=max_revs)
        assert probe.dv_total[0, 0] > transfer.dv_total - 1e-9


@pytest.mark.parametrize("threads", [1, 2])
def test_exact_cells_do_not_depend_on_threads_or_row_blocks(threads):
    # rows of more than one 128-column segment (the corrections carried along a row restart at each segment),
    # solved whole on `threads` threads and row by row on the same tables, as a cluster's chunks are
    from vextal.astro import _porkchop

    tofs = np.linspace(1500.0, 10800.0, 300)
    whole = porkchop(CHASER, TARGET, DEPARTURES[:4], tofs, max_revs=1, model="j2", threads=threads)
    rows = [_porkchop.grid(*whole.sources, DEPARTURES[k:k + 1], tofs, True, 1, threads=1, flight=whole.flight,
                           epoch=whole.chaser[0]) for k in range(4)]
    for name, k in (("dv_total", 2), ("miss", 6), ("dv_total_arc", 7)):
        assert np.array_equal(getattr(whole, name), np.concatenate([r[k] for r in rows]), equal_nan=True)


# ---- exact cells in a force model (vextal.astro.forces) --------------------------------------------------------

ZONAL = forces.Zonal(6)
LATER = 1.0e9  # an epoch whose pole of date lies far from 1950's


def later(state):
    return (state[0] + LATER,) + tuple(state[1:])


#: (chaser, target, the epoch of the pole the cells must fly about: None for the frame's z axis). Numerical
#: trajectories move about the pole at their state's epoch, unless told to use the frame's axis.
FORCE_ENDS = [
    (CHASER, TARGET, CHASER[0]),
    (later(CHASER), later(TARGET), CHASER[0] + LATER),
    (Numerical(CHASER, ZONAL, pole_of_date=False), Numerical(TARGET, ZONAL, pole_of_date=False), None),
]
FORCE_IDS = ["states", "states at a later epoch", "trajectories about the frame's axis"]


@pytest.fixture(scope="module", params=FORCE_ENDS, ids=FORCE_IDS)
def zonal_grid(request):
    chaser, target, pole = request.param
    grid = porkchop(chaser, target, np.linspace(0.0, 86400.0, 6), np.linspace(1500.0, 5200.0, 6), model=ZONAL)
    moving = tuple(end if isinstance(end, Numerical) else Numerical(end, ZONAL) for end in (chaser, target))
    return grid, moving, pole


def flown_miss(transfer, moving, pole):
    """The position (km) and velocity (km/s) misses of a transfer's burns flown by forces.propagate in the
    Zonal(6) field about `pole`, from the chaser's trajectory to the target's."""
    t1 = moving[0].epoch + transfer.departure
    r1, vc = moving[0].states(t1)
    r2, vt = moving[1].states(t1 + transfer.tof)
    rf, vf = forces.propagate(r1, vc + np.array(transfer.burns[0].delta_v.to_tuple()), transfer.tof, ZONAL,
                              epoch=pole)
    return float(np.linalg.norm(rf - r2)), float(np.linalg.norm(vf + np.array(transfer.burns[1].delta_v.to_tuple())
                                                                 - vt))


def test_force_model_cells_flown_in_the_model_land_within_a_metre(zonal_grid):
    grid, moving, pole = zonal_grid
    assert (grid.status == 0).sum() >= 6 and np.nanmax(grid.miss) <= 1e-3
    assert np.nanmax(np.abs(grid.dv_total - grid.dv_total_arc)) > 1e-3  # not the two-body arcs' cost
    for i, j in sample_cells(grid, 4, 7):
        transfer = grid.transfer(grid.departures[i], grid.tofs[j])
        assert transfer.dv_total == pytest.approx(grid.dv_total[i, j], abs=1e-6)
        miss, miss_v = flown_miss(transfer, moving, pole)
        assert miss <= 1e-3 and miss_v <= 1e-6 and transfer.miss_km <= 1e-3


def test_force_model_refine_searches_the_window_and_lands_within_a_metre(zonal_grid):
    grid, moving, pole = zonal_grid
    transfer = grid.refine()
    assert transfer.dv_total <= np.nanmin(grid.dv_total) + 1e-9 and transfer.model == repr(ZONAL)
    miss, _ = flown_miss(transfer, moving, pole)
    assert miss <= 1e-3 and transfer.miss_km <= 1e-3
    arrival = transfer.burns[1].time  # the transfer's own flight (its plan) moves in the model too
    assert np.linalg.norm(transfer.trajectory().states(arrival)[0] - moving[1].states(arrival)[0]) <= 1e-3
    # the exact cost at the optimum is what the grid's own cell there costs
    cell = porkchop(*moving, [transfer.departure], [transfer.tof], model=ZONAL)
    assert transfer.dv_total == pytest.approx(float(cell.dv_total[0, 0]), abs=1e-6)


PARAMETERS = tuple(ZONAL.parameters)

#: Packed force models the grid refuses: (flight, exception, message).
BAD_FLIGHTS = [
    ([("nope", (1.0,), None)], ValueError, "force 'nope': no force of that name"),
    ([("zonal",)], TypeError, r"force 0 must be \(name, parameters, pole\)"),
    ([("zonal", PARAMETERS, None), "zonal"], TypeError, r"force 1 must be \(name, parameters, pole\)"),
    ([("zonal", PARAMETERS, (1.0, 0.0, 0.0))], ValueError, "force 'zonal': pole must have 9 values"),
    ([("zonal", ("a",), None)], TypeError, "force 'zonal': parameters must be real numbers"),
    ([], TypeError, r"flight must be None, \(\"j2\", j2, radius\) or a packed force model"),
    (("j3", 1e-3, 6378.0), ValueError, "unknown flight model 'j3'"),
    (("j2", 1e-3), TypeError, "flight must be None"),
]


@pytest.mark.parametrize("entry", ["grid", "cell"])
@pytest.mark.parametrize("flight, error, message", BAD_FLIGHTS)
def test_packed_flight_refusals(entry, flight, error, message):
    from vextal.astro import _porkchop

    with pytest.raises(error, match=message):
        getattr(_porkchop, entry)(CHASER, TARGET, [0.0] if entry == "grid" else 0.0,
                                  [3000.0] if entry == "grid" else 3000.0, True, 0, flight=flight)
