"""arrays.lambert's SIMD lanes against the scalar solver (LambertProblem): bit for bit on every kernel path this
CPU has, on every branch (no revolutions, left and right multi-revolution branches, the minimum-time bound,
hyperbolas, Battin's series near the parabola), on random and edge geometries; a problem's answer does not
depend on its neighbours, its place in the array or the thread count."""
import math

import numpy as np
import pytest

from vextal.astro import arrays
from vextal.astro.multirev_arcs import LambertProblem
from vextal.vector3 import Vector3

MU = 398600.5
LANE_PATHS = ["avx2", "sse2"]


@pytest.fixture(params=LANE_PATHS)
def lambert_path(request):
    """Each Lambert lane kernel this machine can run (the best one is restored afterwards)."""
    got = arrays._lambert_path(request.param)
    try:
        if got != request.param:
            pytest.skip("%s kernels not available here" % request.param)
        yield got
    finally:
        arrays._lambert_path("avx2")


def direction(angle, inclination=0.0):
    return np.array([math.cos(angle), math.sin(angle) * math.cos(inclination), math.sin(angle) * math.sin(inclination)])


def period(r):
    return 2 * math.pi * math.sqrt(r ** 3 / MU)


def parabolic_tof(r1, r2):
    """The time of flight of the parabola from r1 to r2 the short way (Euler's equation)."""
    R1, R2, c = np.linalg.norm(r1), np.linalg.norm(r2), np.linalg.norm(r2 - r1)
    s = 0.5 * (R1 + R2 + c)
    return math.sqrt(2 / MU) / 3 * (s ** 1.5 - (s - c) ** 1.5)


def random_cases(n, seed):
    rng = np.random.default_rng(seed)
    u = rng.normal(size=(2, n, 3))
    u /= np.linalg.norm(u, axis=-1, keepdims=True)
    radii = 6600 * (42200 / 6600) ** rng.uniform(size=(2, n, 1))
    r1, r2 = u * radii
    tof = period(radii.mean()) * 10 ** rng.uniform(-2, 1.4, n)
    return r1, r2, tof


def near_parabola():
    # Times of flight within 1e-6 .. 1e-2 of the parabola's: x within Battin's region of 1, on both sides.
    r1, r2, tof = [], [], []
    for k, angle in enumerate(np.linspace(0.2, 3.0, 12)):
        a, b = 7000.0 * direction(0.0), (7000.0 + 3000 * k) * direction(angle, 0.4)
        for f in (1 - 1e-2, 1 - 1e-6, 1 + 1e-6, 1 + 1e-2):
            r1.append(a), r2.append(b), tof.append(parabolic_tof(a, b) * f)
    return np.array(r1), np.array(r2), np.array(tof)


def hyperbolas():
    r1 = np.array([7000.0 * direction(0.0)] * 8)
    r2 = np.array([9000.0 * direction(a, 0.3) for a in np.linspace(0.3, 2.8, 8)])
    return r1, r2, np.array([parabolic_tof(a, b) * f for a, b, f in zip(r1, r2, np.geomspace(1e-3, 0.5, 8))])


def near_straight(angle):
    # Transfer angles within `angle` of 0 or 180 degrees (above the collinear tolerance).
    r1 = np.array([7000.0 * direction(0.0)] * 6)
    r2 = np.array([r * direction(a, 0.2) for r, a in zip((7000, 9000, 42000) * 2, [angle] * 3 + [math.pi - angle] * 3)])
    return r1, r2, np.array([0.3, 1.3, 4.2, 0.4, 2.5, 7.7]) * period(7000.0)


def unequal_radii():
    r1 = np.array([6600.0 * direction(0.0)] * 6)
    r2 = np.array([R * direction(1.9, 0.5) for R in (1e5, 1e6, 3e6) * 2])
    return r1, r2, np.array([period(R / 2) * f for R, f in zip((1e5, 1e6, 3e6) * 2, (0.3,) * 3 + (2.2,) * 3)])


def polar_plane():
    # The plane holds the z axis: the direction rule takes the short way prograde, the long way retrograde.
    r1 = np.array([[7000.0, 0, 0]] * 4)
    r2 = np.array([[0, 0, 8000.0], [-5000.0, 0, 5000.0], [3000.0, 0, -9000.0], [-7000.0, 0, -1000.0]])
    return r1, r2, np.array([0.4, 1.7, 3.1, 5.3]) * period(7500.0)


def around_minimum_time():
    # Times of flight just around the least time of each revolution count: the largest count is then either
    # dropped or kept with its two branches bracketed by the minimum.
    r1 = np.array([7000.0 * direction(0.0)] * 40)
    r2 = np.array([11000.0 * direction(2.0, 0.1)] * 40)
    return r1, r2, period(9000.0) * np.repeat(np.arange(1, 5), 10) * np.tile(np.linspace(0.9, 1.2, 10), 4)


CASES = {
    "random LEO to GEO": lambda: random_cases(400, 3),
    "near the parabola (Battin's series)": near_parabola,
    "hyperbolas": hyperbolas,
    "near 0 and 180 degrees": lambda: near_straight(1e-7),
    "nearly 180 degrees apart, 1e-3 rad": lambda: near_straight(1e-3),
    "very unequal radii": unequal_radii,
    "plane through the z axis": polar_plane,
    "around the minimum time of N revolutions": around_minimum_time,
}


def scalar_rows(r1, r2, tof, prograde, max_revs, slots):
    """LambertProblem's velocities in the lanes' layout (NaN rows past the arcs found), or None on an error."""
    try:
        p = LambertProblem(Vector3(*r1), Vector3(*r2), float(tof), MU, prograde, max_revs)
    except ValueError:
        return None
    rows = np.full((2, slots, 3), np.nan)
    for k in range(p.solution_count()):
        rows[0, k], rows[1, k] = p.departure_velocities[k].to_tuple(), p.arrival_velocities[k].to_tuple()
    return rows


@pytest.mark.parametrize("max_revs", [0, 3])
@pytest.mark.parametrize("prograde", [True, False])
@pytest.mark.parametrize("case", list(CASES))
def test_lanes_give_the_scalar_solvers_bits(lambert_path, case, prograde, max_revs):
    r1, r2, tof = CASES[case]()
    got = arrays.lambert(r1, r2, tof, mu=MU, prograde=prograde, max_revs=max_revs)
    slots = got.v1.shape[-2]
    for i in range(len(tof)):
        want = scalar_rows(r1[i], r2[i], tof[i], prograde, max_revs, slots)
        assert want is not None, "problem %d: the scalar solver refused it" % i
        assert got.status[i] == 0 and got.count[i] == np.sum(~np.isnan(want[0, :, 0])), i
        np.testing.assert_array_equal(got.v1[i], want[0], err_msg="problem %d" % i)
        np.testing.assert_array_equal(got.v2[i], want[1], err_msg="problem %d" % i)


def test_the_cases_reach_every_branch():
    # The table above must exercise the left and right branches, the minimum-time bound, hyperbolas and
    # Battin's region, else the agreement says nothing about them.
    r1, r2, tof = around_minimum_time()
    got = arrays.lambert(r1, r2, tof, max_revs=4)
    counts = set(got.count.tolist())
    assert {3, 5, 7} <= counts, counts  # some counts cropped by the minimum time, some not
    for make in (near_parabola, hyperbolas):
        r1, r2, tof = make()
        x = [LambertProblem(Vector3(*a), Vector3(*b), float(t), MU, True, 0).x[0] for a, b, t in zip(r1, r2, tof)]
        if make is near_parabola:
            assert max(abs(v - 1) for v in x) < 0.02 and min(x) < 1 < max(x)
        else:
            assert min(x) > 1


BAD = [
    ("zero r1", [0.0, 0, 0], [7000.0, 100, 0], 1000.0, "r1 and r2 must have non-zero length"),
    ("NaN in r2", [7000.0, 0, 0], [np.nan, 7000, 0], 1000.0, "finite"),
    ("collinear", [7000.0, 0, 0], [14000.0, 0, 0], 1000.0, "collinear"),
    ("tof zero", [7000.0, 0, 0], [0.0, 7000, 0], 0.0, "time of flight must be positive"),
    ("tof negative", [7000.0, 0, 0], [0.0, 7000, 0], -5.0, "time of flight must be positive"),
    ("lengths overflow", [1e300, 0, 0], [0.0, 1e300, 0], 1000.0, "overflow double precision"),
    ("time overflows", [1e-60, 0, 0], [0.0, 1e-60, 0], 1e300, "overflow double precision"),
]


@pytest.mark.parametrize("name, a, b, t, message", BAD, ids=[c[0] for c in BAD])
def test_a_refused_problem_leaves_its_neighbours_alone(lambert_path, name, a, b, t, message):
    r1, r2, tof = random_cases(9, 5)
    r1[4], r2[4], tof[4] = a, b, t
    got = arrays.lambert(r1, r2, tof, max_revs=2)
    assert message in arrays.lambert_message(int(got.status[4])) and got.count[4] == 0
    assert np.isnan(got.v1[4]).all() and np.isnan(got.v2[4]).all()
    for i in (0, 3, 5, 8):
        want = scalar_rows(r1[i], r2[i], tof[i], True, 2, got.v1.shape[-2])
        np.testing.assert_array_equal(got.v1[i], want[0])


@pytest.mark.parametrize("arrangement", ["alone", "reversed", "shifted by one", "threads=2", "threads=1"])
def test_a_problem_gets_the_same_bits_wherever_it_sits(lambert_path, arrangement):
    # Lanes refill as arcs finish, so neighbours change which lane and which group a problem's arcs run in.
    r1, r2, tof = random_cases(3000, 8)
    whole = arrays.lambert(r1, r2, tof, max_revs=5, threads=1)
    pick = np.arange(0, 3000, 97)
    if arrangement == "alone":
        for i in pick:
            one = arrays.lambert(r1[i], r2[i], tof[i], max_revs=5)
            np.testing.assert_array_equal(one.v1[: one.count], whole.v1[i, : whole.count[i]])
        return
    elif arrangement == "reversed":
        got, want = arrays.lambert(r1[::-1], r2[::-1], tof[::-1], max_revs=5).v1[::-1], whole.v1
    elif arrangement == "shifted by one":
        got, want = arrays.lambert(r1[1:], r2[1:], tof[1:], max_revs=5).v1, whole.v1[1:]
    else:
        got, want = arrays.lambert(r1, r2, tof, max_revs=5, threads=int(arrangement[-1])).v1, whole.v1
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("call, error, message", [
    (lambda: arrays._lambert_path("scalar"), ValueError, "unknown kernels 'scalar'"),
    (lambda: arrays._lambert_path(2), TypeError, "must be a str or None"),
    (lambda: arrays._lambert_path("avx2", "sse2"), TypeError, "_lambert_path"),
])
def test_lambert_path_refuses_bad_limits(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("max_revs", [1, 3])
def test_a_multi_revolution_grid_is_the_same_on_every_path(max_revs):
    # The grid's cells run their arcs in lanes (warm-started from their neighbours): the kernels must agree to
    # the bit (the recorded public grids pin them to the scalar solver's bits).
    from vextal.astro.porkchop import porkchop
    chaser = (0.0, 6778.0, 0.0, 0.0, 0.0, 7.6686, 0.0)
    target = (0.0, 0.0, 7378.0, 0.0, -6.5, 0.0, 2.6)
    departures, tofs = np.linspace(0, 20000, 9), np.linspace(900, 40000, 140)
    grids = []
    for path in LANE_PATHS:
        if arrays._lambert_path(path) == path:
            grids.append(porkchop(chaser, target, departures, tofs, max_revs=max_revs))
    arrays._lambert_path("avx2")
    assert (grids[0].revolutions > 0).any()
    for other in grids[1:]:
        for name in ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch"):
            np.testing.assert_array_equal(getattr(other, name), getattr(grids[0], name), err_msg=name)
