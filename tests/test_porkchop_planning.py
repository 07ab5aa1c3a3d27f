"""Planning as an analyst does: any central body, the chaser's own direction, intercept cost, the periapsis screen,
RIC hold points and passive safety, each checked against an independent computation (published numbers, the
array functions, the RIC records, dense sampling)."""
import math
import re
import warnings

import numpy as np
import pytest

from test_porkchop import circular
from vextal.astro import _porkchop, arrays
from vextal.astro.orbitvector import ECI
from vextal.astro.porkchop import MU_SUN, DirectionWarning, porkchop, survey
from vextal.vector3 import Vector3

MU = 398600.5
R_EARTH = 6378.1374
DAY = 86400.0

# Earth on 1996-11-07 0h and Mars on 1997-09-12 0h (309 days later), heliocentric ecliptic J2000 (km, km/s), from
# JPL's approximate mean planetary elements. Curtis, Orbital Mechanics for Engineering Students, Example 8.8 (Mars
# Global Surveyor) gives for this pair v-infinity 3.1651 km/s at departure (C3 10.018 km^2/s^2) and 2.8852 km/s
# at arrival.
EARTH_1996 = (0.0, 104993438.457710, 104655358.391231, 716.927633, -21.5151093131, 20.9864363198, 0.000143764795)
MARS_1997 = (309 * DAY, -20858575.2522297, -218416862.745306, -4062454.19079935, 25.0371786720, -0.223108487098,
             -0.620177762977)


def eci(state):
    return ECI(state[0], Vector3(*state[1:4]), Vector3(*state[4:7]))


def moved(state, dt, mu=MU):
    r, v = arrays.propagate(np.array(state[1:4]), np.array(state[4:7]), dt, mu=mu)
    return (state[0] + dt, *r, *v)


# ---- mu ----------------------------------------------------------------------------------------------------


def test_earth_to_mars_matches_the_published_example():
    grid = porkchop(EARTH_1996, MARS_1997, [0.0], [309 * DAY], mu=MU_SUN)
    assert grid.status[0, 0] == 0 and grid.min_radius is None
    assert grid.dv_departure[0, 0] == pytest.approx(3.1651, rel=5e-3)
    assert grid.dv_departure[0, 0] ** 2 == pytest.approx(3.1651 ** 2, rel=5e-3)  # C3
    assert grid.dv_arrival[0, 0] == pytest.approx(2.8852, rel=5e-3)
    # Under the Earth's mu (the default) the same states give no such transfer.
    assert not abs(porkchop(EARTH_1996, MARS_1997, [0.0], [309 * DAY]).dv_departure[0, 0] - 3.1651) < 0.5


@pytest.mark.parametrize("entry", ["porkchop", "survey", "refine"])
def test_mu_reaches_every_cell(entry):
    # Every cell against the array functions under the Sun's mu: both states moved, Lambert solved, cheapest kept.
    departures, tofs = np.linspace(-40 * DAY, 40 * DAY, 5), np.linspace(200 * DAY, 360 * DAY, 6)
    if entry == "survey":
        grid = survey(EARTH_1996, {"mars": MARS_1997}, departures, tofs, mu=MU_SUN).porkchops[0]
    else:
        grid = porkchop(EARTH_1996, MARS_1997, departures, tofs, mu=MU_SUN)
    rc, vc = arrays.propagate(np.array(EARTH_1996[1:4]), np.array(EARTH_1996[4:7]), departures, mu=MU_SUN)
    gap = departures[:, None] + tofs[None, :] - MARS_1997[0]
    rt, vt = arrays.propagate(np.array(MARS_1997[1:4]), np.array(MARS_1997[4:7]), gap, mu=MU_SUN)
    sol = arrays.lambert(rc[:, None, :], rt, np.broadcast_to(tofs, gap.shape), mu=MU_SUN)
    dv1 = np.linalg.norm(sol.v1[..., 0, :] - vc[:, None, :], axis=-1)
    dv2 = np.linalg.norm(vt - sol.v2[..., 0, :], axis=-1)
    np.testing.assert_allclose(grid.dv_departure, dv1, rtol=1e-9)
    np.testing.assert_allclose(grid.dv_arrival, dv2, rtol=1e-9)
    if entry == "refine":
        pytest.importorskip("scipy")
        refined = grid.refine()
        assert refined.dv_total <= grid.best().dv_total
        assert refined.dv_total > 0.8 * np.nanmin(grid.dv_total)  # a heliocentric cost, not an Earth-mu one
        earth_mu = grid.refine(mu=MU)
        assert abs(earth_mu.dv_total - refined.dv_total) > 1.0


def test_a_two_body_trajectory_lends_the_grid_its_mu():
    from vextal.astro.trajectory import TwoBody

    lunar = 4902.800118
    a, b = circular(1838.0, 0.0, mu=lunar), circular(1938.0, 60.0, mu=lunar)
    given = porkchop(TwoBody(a, mu=lunar), TwoBody(b, mu=lunar), [0.0, 600.0], [3000.0, 4000.0])
    explicit = porkchop(a, b, [0.0, 600.0], [3000.0, 4000.0], mu=lunar)
    assert given.mu == lunar and given.dv_total.tobytes() == explicit.dv_total.tobytes()


# ---- direction ---------------------------------------------------------------------------------------------

SSO_CHASER = circular(R_EARTH + 400.0, 0.0, inclination_deg=97.8)
SSO_TARGET = circular(R_EARTH + 700.0, 30.0, inclination_deg=97.8)
HALF_ORBIT = math.pi * math.sqrt((R_EARTH + 550.0) ** 3 / MU)


@pytest.mark.parametrize("prograde, cheap", [(None, True), (False, True), (True, False)])
def test_sun_synchronous_pair_follows_the_chasers_direction(prograde, cheap):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # chaser and target move the same way: no warning
        grid = porkchop(SSO_CHASER, SSO_TARGET, np.linspace(0, 3000, 7), np.linspace(0.8, 1.2, 9) * HALF_ORBIT,
                        prograde=prograde)
    best = np.nanmin(grid.dv_total)
    assert (best < 2.0 if cheap else best > 10.0) and grid.prograde == (prograde is True)


@pytest.mark.parametrize("call", [
    lambda: porkchop(SSO_CHASER, circular(R_EARTH + 700.0, 30.0, inclination_deg=51.6), [0.0], [HALF_ORBIT]),
    lambda: survey(SSO_CHASER, [SSO_TARGET, circular(R_EARTH + 700.0, 30.0, inclination_deg=51.6)], [0.0],
                   [HALF_ORBIT]),
])
def test_opposite_senses_warn(call):
    with pytest.warns(DirectionWarning, match="opposite senses"):
        call()


def test_prograde_must_be_a_bool_or_none():
    with pytest.raises(TypeError, match="prograde"):
        porkchop(SSO_CHASER, SSO_TARGET, [0.0], [HALF_ORBIT], prograde="no")


# ---- cost and screening ------------------------------------------------------------------------------------

RP, RA = 6000.0, 20000.0  # a conic whose periapsis lies inside the Earth


def conic_point(f_deg):
    """Position, velocity and time since periapsis on the RP x RA ellipse at true anomaly f."""
    a, e = (RP + RA) / 2, (RA - RP) / (RA + RP)
    p, f = a * (1 - e * e), math.radians(f_deg)
    r = p / (1 + e * math.cos(f))
    h = math.sqrt(MU * p)
    E = 2 * math.atan(math.sqrt((1 - e) / (1 + e)) * math.tan(f / 2))
    t = (E - e * math.sin(E)) / math.sqrt(MU / a ** 3)
    return (r * math.cos(f), r * math.sin(f), 0.0), (-MU / h * math.sin(f), MU / h * (e + math.cos(f)), 0.0), t


@pytest.mark.parametrize("f1, f2, through", [(-100.0, 100.0, True), (100.0, 260.0, False)])
def test_an_arc_through_the_earth_is_screened_and_its_mirror_kept(f1, f2, through):
    (r1, v1, t1), (r2, v2, t2) = conic_point(f1), conic_point(f2)
    period = 2 * math.pi * math.sqrt(((RP + RA) / 2) ** 3 / MU)
    tof = (t2 - t1) % period
    chaser, target = (0.0, *r1, *v1), (tof, *r2, *v2)  # both on the conic: the arc is the conic itself
    screened = porkchop(chaser, target, [0.0], [tof])
    free = porkchop(chaser, target, [0.0], [tof], min_radius=0)
    assert free.status[0, 0] == 0 and free.dv_total[0, 0] < 1e-6  # the solver found the conic
    assert screened.status[0, 0] == (2 if through else 0)
    assert np.isnan(screened.dv_total[0, 0]) == through
    # A floor under the periapsis keeps the arc.
    assert porkchop(chaser, target, [0.0], [tof], min_radius=RP - 1.0).status[0, 0] == 0


def sampled_min_radius(cell_tuple, tof, mu=MU, n=4000):
    r1, v1 = np.array(cell_tuple[3]), np.array(cell_tuple[5])
    r, _ = arrays.propagate(r1, v1, np.linspace(0.0, tof, n), mu=mu)
    return np.linalg.norm(r, axis=-1).min()


@pytest.mark.parametrize("prograde", [True, False])
def test_the_screen_agrees_with_sampled_arcs(prograde):
    # Zero-revolution arcs of every shape between an eccentric chaser and a circular target: a cell is screened
    # exactly when its arc, sampled densely, comes below the floor.
    chaser = (0.0, 7000.0, 500.0, 300.0, -0.5, 8.1, 1.5)
    target = circular(R_EARTH + 900.0, 140.0, inclination_deg=30.0)
    departures, tofs = np.linspace(0.0, 5000.0, 6), np.linspace(400.0, 7000.0, 12)
    free = porkchop(chaser, target, departures, tofs, prograde=prograde, min_radius=0)
    screened = porkchop(chaser, target, departures, tofs, prograde=prograde)
    kinds = set()
    for i, departure in enumerate(departures):
        for j, tof in enumerate(tofs):
            cell = _porkchop.cell(chaser, target, departure, tof, prograde, 0, min_radius=0)
            low = sampled_min_radius(cell, tof)
            if abs(low - R_EARTH) < 1.0:
                continue  # too close to the floor for sampling to decide
            kinds.add(low < R_EARTH)
            assert screened.status[i, j] == (2 if low < R_EARTH else 0)
            if low > R_EARTH:
                assert screened.dv_total[i, j] == free.dv_total[i, j]
    assert kinds == {True, False}


def test_intercept_costs_the_departure_burn_alone():
    departures, tofs = np.linspace(0.0, 4000.0, 5), np.linspace(1500.0, 14000.0, 9)
    chaser = circular(R_EARTH + 400.0, 0.0, inclination_deg=51.6)
    target = circular(R_EARTH + 800.0, 40.0, inclination_deg=51.6)
    rendezvous = porkchop(chaser, target, departures, tofs, max_revs=1)
    intercept = porkchop(chaser, target, departures, tofs, max_revs=1, cost="intercept")
    ok = intercept.status == 0
    assert ok.sum() > 20
    np.testing.assert_array_equal(intercept.dv_total[ok], intercept.dv_departure[ok])
    # The cheapest departure burn of each cell: never above the rendezvous grid's departure burn.
    assert (intercept.dv_departure[ok] <= rendezvous.dv_departure[ok] + 1e-12).all()
    best = intercept.best()
    assert best.dv_total == best.dv_departure and best.cost == "intercept"
    with pytest.raises(ValueError, match="rendezvous"):
        porkchop(chaser, target, [0.0], [1000.0], cost="flyby")


# ---- hold points -------------------------------------------------------------------------------------------

HOLD_CHASER = circular(R_EARTH + 480.0, -3.0, inclination_deg=51.6)
HOLD_TARGET = circular(R_EARTH + 500.0, 0.0, inclination_deg=51.6)


@pytest.mark.parametrize("arrive_at, depart_from", [((0.0, -2.0, 0.0), None), ((0.5, -1.0, 0.2), None),
                                                    (None, (0.0, 3.0, 0.0)), ((-1.0, 4.0, 0.0), (2.0, -1.0, 0.5))])
def test_hold_points_are_reached_at_rest_in_the_ric_frame(arrive_at, depart_from):
    tof, departure = 2400.0, 300.0
    grid = porkchop(HOLD_CHASER, HOLD_TARGET, [departure], [tof], arrive_at=arrive_at, depart_from=depart_from)
    transfer = grid.best()
    status, _, _, r1, v_start, v1, r2, _, v2 = _porkchop.cell(HOLD_CHASER, HOLD_TARGET, departure, tof,
                                                               arrive_at=arrive_at, depart_from=depart_from)
    assert status == 0
    chaser_then = eci(moved(HOLD_CHASER, departure))
    target_then = eci(moved(HOLD_TARGET, departure + tof))
    # Arrival: the arc's velocity plus the arrival burn is at rest at the hold point in the target's RIC frame.
    end = np.array(v2) + np.array(transfer.burns[1].delta_v.to_tuple())
    ric = ECI(0.0, Vector3(*r2), Vector3(*end)).to_ric(target_then)
    np.testing.assert_allclose(ric.position.to_tuple(), arrive_at or (0.0, 0.0, 0.0), atol=1e-8)
    np.testing.assert_allclose(ric.velocity.to_tuple(), (0.0, 0.0, 0.0), atol=1e-11)
    # Departure: the point left from, held at rest in the chaser's RIC frame.
    start = np.array(v1) - np.array(transfer.burns[0].delta_v.to_tuple())
    ric = ECI(0.0, Vector3(*r1), Vector3(*start)).to_ric(chaser_then)
    np.testing.assert_allclose(ric.position.to_tuple(), depart_from or (0.0, 0.0, 0.0), atol=1e-8)
    np.testing.assert_allclose(ric.velocity.to_tuple(), (0.0, 0.0, 0.0), atol=1e-11)
    np.testing.assert_allclose(start, v_start, atol=1e-13)


# ---- passive safety ----------------------------------------------------------------------------------------

SAFE_TARGET = circular(R_EARTH + 500.0, 0.0)


def hold_of(drift, tof):
    """The RIC offset from the target at `tof` of a chaser on `drift` (both moved there)."""
    return eci(moved(drift, tof)).to_ric(eci(moved(SAFE_TARGET, tof))).position.to_tuple()


def test_a_drift_into_the_target_is_flagged_and_a_coelliptic_one_passes():
    tof = 1500.0
    # Collision: a conic that meets the target 2000 s after the missed arrival, 4 m/s off in velocity.
    meet = moved(SAFE_TARGET, tof + 2000.0)
    meet = meet[:4] + (meet[4] + 0.004, meet[5], meet[6])
    collision = moved(meet, -(tof + 2000.0))
    # Coelliptic: a circle 5 km below, 30 km behind; it passes under the target, never nearer than 5 km.
    coelliptic = circular(R_EARTH + 495.0, -math.degrees(30.0 / (R_EARTH + 500.0)))
    results = {}
    for name, chaser in (("collision", (0.0,) + collision[1:]), ("coelliptic", coelliptic)):
        grid = porkchop(chaser, SAFE_TARGET, [0.0], [tof], arrive_at=hold_of(chaser, tof))
        assert grid.dv_departure[0, 0] < 1e-6  # the arc is the chaser's own conic
        results[name] = grid.safety(keep_out=1.0, orbits=2)
    assert results["collision"].drift_range[0, 0] < 1e-3 and not results["collision"].safe[0, 0]
    assert results["coelliptic"].drift_range[0, 0] == pytest.approx(5.0, abs=0.05)
    # It passes straight under the target: 5 km below, level with it along the track, in its plane.
    np.testing.assert_allclose(results["coelliptic"].drift_where[0, 0], (-5.0, 0.0, 0.0), atol=0.05)
    assert results["coelliptic"].safe[0, 0] and results["coelliptic"].arc_range[0, 0] > 5.0


def brute_force_ranges(grid, i, j, orbits, n=20001):
    status, _, _, r1, _, v1, _, _, _ = _porkchop.cell(grid.chaser, grid.target, grid.departures[i], grid.tofs[j],
                                                      grid.prograde, grid.max_revs, arrive_at=grid.arrive_at)
    assert status == 0
    tof = grid.tofs[j]
    period = 2 * math.pi * math.sqrt((R_EARTH + 500.0) ** 3 / MU)
    ranges = []
    for s in (np.linspace(0.0, tof, n), np.linspace(tof, tof + orbits * period, n)):
        rc, _ = arrays.propagate(np.array(r1), np.array(v1), s)
        t = grid.chaser[0] + grid.departures[i] + s - grid.target[0]
        rt, _ = arrays.propagate(np.array(grid.target[1:4]), np.array(grid.target[4:7]), t)
        ranges.append(np.linalg.norm(rc - rt, axis=-1).min())
    return ranges


def test_safety_mask_agrees_with_brute_force_sampling():
    chaser = circular(R_EARTH + 490.0, -1.0)
    grid = porkchop(chaser, SAFE_TARGET, np.linspace(0.0, 2000.0, 4), np.linspace(1200.0, 4000.0, 4),
                    arrive_at=(0.5, -3.0, 0.0))
    keep_out = 2.5
    result = grid.safety(keep_out=keep_out, orbits=1.5)
    assert result.checked.all()
    verdicts = set()
    for i in range(4):
        for j in range(4):
            arc, drift = brute_force_ranges(grid, i, j, 1.5)
            # Sampling finds a least range at or above the true one; the native search is at least as close.
            assert result.arc_range[i, j] <= arc + 1e-9 and result.drift_range[i, j] <= drift + 1e-9
            assert arc - result.arc_range[i, j] < 0.05 and drift - result.drift_range[i, j] < 0.05
            if min(abs(arc - keep_out), abs(drift - keep_out)) > 0.05:
                assert result.safe[i, j] == (min(arc, drift) >= keep_out)
            verdicts.add(bool(result.safe[i, j]))
    assert verdicts == {True, False}
    safe = grid.best(safe=True)
    i, j = list(grid.departures).index(safe.departure), list(grid.tofs).index(safe.tof)
    assert result.safe[i, j] and grid.dv_total[i, j] == np.nanmin(np.where(result.safe, grid.dv_total, np.nan))
    assert safe.dv_total == pytest.approx(grid.dv_total[i, j], rel=1e-12) and safe.dv_total > np.nanmin(grid.dv_total)


def test_safety_of_the_best_cells_only_and_its_refusals():
    grid = porkchop(circular(R_EARTH + 490.0, -2.0), SAFE_TARGET, np.linspace(0.0, 2000.0, 5),
                    np.linspace(1200.0, 4000.0, 5), arrive_at=(0.0, -1.5, 0.0))
    with pytest.raises(ValueError, match="safety"):
        grid.best(safe=True)
    result = grid.safety(keep_out=0.5, best=3)
    assert result.checked.sum() == 3 and np.isnan(result.arc_range[~result.checked]).all()
    cheapest = np.sort(grid.dv_total[np.isfinite(grid.dv_total)])[:3]
    np.testing.assert_array_equal(np.sort(grid.dv_total[result.checked]), cheapest)
    with pytest.raises(ValueError, match="keep_out"):
        grid.safety(keep_out=-1.0)
    with pytest.raises(ValueError, match="orbits"):
        grid.safety(keep_out=1.0, orbits=-1)


# ---- command line ------------------------------------------------------------------------------------------


def cli(*args):
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-m", "vextal.astro", *map(str, args)], capture_output=True, text=True,
                          timeout=300)


def test_cli_plans_earth_to_mars_around_the_sun():
    pytest.importorskip("scipy")
    proc = cli("porkchop", "--chaser", *EARTH_1996, "--target", *MARS_1997, "--departures=-864000:864000:5",
               "--tofs", "%r:%r:5" % (300 * DAY, 318 * DAY), "--body", "sun", "--no-refine")
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    grid = porkchop(EARTH_1996, MARS_1997, np.linspace(-10 * DAY, 10 * DAY, 5), np.linspace(300 * DAY, 318 * DAY, 5),
                    mu=MU_SUN)
    best = grid.best()
    line = next(l for l in proc.stdout.splitlines() if l.startswith("best cell")).split()
    assert float(line[-1]) == pytest.approx(best.dv_total, abs=1e-6) and 5.0 < best.dv_total < 7.0
    assert "mu 1.3271244e+11" in proc.stdout


@pytest.mark.parametrize("command, direction, warns", [
    ("plan", [], True), ("plan", ["--retrograde"], False), ("porkchop", ["--prograde"], True),
    ("porkchop", ["--retrograde"], False), ("porkchop", [], False),
])
def test_cli_warns_when_the_direction_opposes_the_chasers_motion(command, direction, warns):
    window = (["--tof", HALF_ORBIT] if command == "plan" else
              ["--departures", "0:3000:4", "--tofs", "%r:%r:4" % (0.8 * HALF_ORBIT, 1.2 * HALF_ORBIT), "--no-refine"])
    chaser = "--chaser" if command == "plan" else "--initial"  # one vocabulary: each name works in both
    proc = cli(command, chaser, *SSO_CHASER, "--target", *SSO_TARGET, *window, *direction)
    assert proc.returncode == 0, proc.stderr
    assert ("warning: the prograde transfer asked opposes the chaser's own motion" in proc.stderr) == warns
    assert proc.stderr.count("\n") == warns


@pytest.mark.parametrize("args", [
    ["--mu", "0"], ["--mu", "nan"], ["--body", "pluto"], ["--mu", "1", "--body", "sun"], ["--body", "sun"],
    ["--prograde", "--retrograde"], ["--cost", "flyby"], ["--min-radius", "-1"], ["--arrive-at", "1", "2"],
    ["--depart-from", "1", "x", "2"], ["--keep-out", "-0.5"], ["--orbits", "inf"], ["--safe"],
    ["--no-refine", "--keep-out", "1e9", "--safe"],  # no safe cell anywhere
])
def test_cli_planning_input_errors_are_one_line(args):
    proc = cli("porkchop", *args)
    assert proc.returncode == 2, proc.stdout
    assert proc.stderr.startswith("python -m vextal.astro porkchop: error: ") and proc.stderr.count("\n") == 1


def test_cli_reports_safety_and_the_safe_optimum():
    proc = cli("porkchop", "--no-refine", "--arrive-at", 0, -2, 0, "--keep-out", 1, "--orbits", 2, "--safe")
    assert proc.returncode == 0, proc.stderr
    checked = next(l for l in proc.stdout.splitlines() if l.startswith("Passive safety"))
    safe, total = (int(w) for w in re.search(r"(\d+) of (\d+) cells checked are safe", checked).groups())
    assert 0 < safe < total == 1000
    assert "shorter-period" in proc.stdout or "longer-period" in proc.stdout or "single" in proc.stdout


@pytest.mark.parametrize("min_radius, hatched", [(None, True), (0, False)])
def test_the_plot_names_screened_cells(min_radius, hatched):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    chaser = circular(R_EARTH + 400.0, 0.0, inclination_deg=51.6)
    target = circular(R_EARTH + 1000.0, 120.0, inclination_deg=51.6)
    grid = porkchop(chaser, target, np.linspace(0, 86400, 25), np.linspace(1200, 10800, 25), max_revs=1,
                    min_radius=min_radius)
    assert (grid.status == 2).any() == hatched
    figure = grid.plot()
    labels = [text.get_text() for text in figure.axes[0].get_legend().get_texts()]
    assert ("below min radius" in labels) == hatched
