"""Force models: zonal harmonics against an independent integration, J2 through the seam against the J2
propagator's bits, the pole of date against pyerfa's pole, the state transition matrix against finite
differences, Ctrl-C inside one long integration, and the refusals of models and their doors."""
import os
import pickle
import re
import sys

import erfa
import numpy as np
import pytest
from numpy.polynomial import legendre

from conftest import run_python
from vextal.astro import arrays, forces, trajectory
from vextal.astro import time as vtime

MU, RADIUS = 398600.5, 6378.1374
EGM96 = (1.08262668e-3, -2.53265649e-6, -1.61962159e-6, -2.27296083e-7, 5.40681239e-7)
HALF_DAY = 43200.0

ORBITS = {  # (r km, v km/s)
    "leo": ([6778.137, 0.0, 0.0], [0.0, 4.763308, 6.009799]),
    "sso": ([7078.137, 0.0, 0.0], [0.0, -1.0308, 7.4330]),
    "eccentric": ([6678.137, 0.0, 0.0], [0.0, 7.6886, 6.4516]),  # e about 0.6 at 63.4 degrees
}


def zonal_acceleration(r, pole=(0.0, 0.0, 1.0), coefficients=EGM96):
    """The gradient of U = mu/r (1 - sum Jn (R/r)^n Pn(u)), u = p.r / r, from NumPy's Legendre series."""
    p = np.asarray(pole)
    rn = np.linalg.norm(r)
    u = p @ r / rn
    e = r / rn
    a = -MU / rn**2 * e
    for n, jn in enumerate(coefficients, start=2):
        c = np.zeros(n + 1)
        c[n] = 1.0
        pn, dpn = legendre.legval(u, c), legendre.legval(u, legendre.legder(c))
        k = -MU * jn * RADIUS**n
        # d/dr of k r^-(n+1) Pn(u): radial part and the part through u (du/dr = (p - u e) / r).
        a = a + k * (-(n + 1) * rn ** -(n + 2) * pn * e + rn ** -(n + 2) * dpn * (p - u * e))
    return a


def reference(r0, v0, dt, acceleration):
    from scipy.integrate import solve_ivp

    out = solve_ivp(lambda t, y: np.concatenate((y[3:], acceleration(y[:3]))), (0.0, dt),
                    np.concatenate((r0, v0)), method="DOP853", rtol=1e-13, atol=1e-12)
    return out.y[:3, -1], out.y[3:, -1]


@pytest.mark.parametrize("orbit", sorted(ORBITS))
@pytest.mark.parametrize("epoch", [None, "2026-03-01T00:00:00"])
def test_zonal_to_degree_six_matches_an_independent_integration(orbit, epoch):
    r0, v0 = map(np.array, ORBITS[orbit])
    pole = (0.0, 0.0, 1.0) if epoch is None else independent_pole(epoch)
    expected, _ = reference(r0, v0, HALF_DAY, lambda r: zonal_acceleration(r, pole))
    r, _ = forces.propagate(r0, v0, HALF_DAY, forces.Zonal(6), epoch=epoch, errors="raise")
    assert np.linalg.norm(r - expected) < 1e-6  # 1 mm


def independent_pole(epoch):
    """The CIP of pyerfa's X, Y (GCRS) taken into the J2000 mean frame by the frame bias."""
    jd1, jd2 = vtime.jd(vtime.epoch(epoch), "tt")
    x, y, _ = erfa.xys06a(float(jd1), float(jd2))
    rb, _, _ = erfa.bp06(float(jd1), float(jd2))
    return np.asarray(rb) @ np.array([x, y, np.sqrt(1.0 - x * x - y * y)])


def test_j2_about_the_pole_of_2026_matches_an_independent_integration():
    epoch = "2026-06-15T12:00:00"
    p = independent_pole(epoch)
    k = 1.5 * EGM96[0] * MU * RADIUS**2

    def j2(r):
        rn = np.linalg.norm(r)
        zp = p @ r
        return -MU * r / rn**3 - k / rn**5 * ((1.0 - 5.0 * zp**2 / rn**2) * r + 2.0 * zp * p)

    r0, v0 = map(np.array, ORBITS["leo"])
    expected, _ = reference(r0, v0, HALF_DAY, j2)
    state = (vtime.epoch(epoch), *r0, *v0)
    numerical = trajectory.Numerical(state, forces.J2()).states(state[0] + HALF_DAY)[0]
    flat, _ = arrays.propagate_j2(r0, v0, HALF_DAY)
    assert np.linalg.norm(numerical - expected) < 1e-3  # 1 m
    assert np.linalg.norm(flat - expected) > 0.1  # the frame's z axis is 100 m and more away: the pole matters


# Today's propagate_j2 bits (r, v after a day from the first state of test_j2_through_the_seam...): kept so
# that a change of arithmetic anywhere on the way shows.
TODAY = {
    "r": ["-0x1.6bad0002bb6aep+8", "-0x1.b329439431f9ep+12", "-0x1.cf090e78cbf82p+9"],
    "v": ["0x1.e155f3228dda6p+2", "-0x1.7d14ceba61292p-2", "0x1.2c56ea70585f9p-4"],
}
STATES = (np.array([[7000.0, 0, 0], [0, -6800, 1200], [26000.0, 1000, -3000], [-4200, 5000, 3000]]),
          np.array([[0, 7.5, 1.0], [7.6, 0.3, 1.2], [0.5, -1.0, 4.6], [-5.1, -4.0, 2.5]]),
          np.array([86400.0, -43200, 36000.0, 20000.0]))


@pytest.mark.parametrize("call", [
    lambda r, v, dt: forces.propagate(r, v, dt, forces.J2()),
    lambda r, v, dt: forces.propagate(r, v, dt, forces.Model([forces.J2()]), stm=True)[:2],
    lambda r, v, dt: arrays.propagate_j2(r, v, dt, epoch=None),
    lambda r, v, dt: [np.array([trajectory.Numerical((0.0, *r[i], *v[i]), forces.J2(), pole_of_date=False)
                                .states(dt[i])[k] for i in range(len(dt))]) for k in (0, 1)],
])
def test_j2_through_the_seam_keeps_today_s_bits(call):
    r, v = call(*STATES)
    assert [x.hex() for x in r[0]] == TODAY["r"] and [x.hex() for x in v[0]] == TODAY["v"]
    expected = arrays.propagate_j2(*STATES)
    assert np.array_equal(r, expected[0]) and np.array_equal(v, expected[1])


@pytest.mark.parametrize("model, epoch", [
    (forces.Zonal(6), None),
    (forces.Zonal(4), "2026-01-01T00:00:00"),
    (forces.J2(), "2026-01-01T00:00:00"),
])
def test_the_state_transition_matrix_matches_finite_differences(model, epoch):
    r0, v0 = map(np.array, ORBITS["eccentric"])
    dt = 7000.0
    _, _, phi = forces.propagate(r0, v0, dt, model, epoch=epoch, stm=True)
    x0 = np.concatenate((r0, v0))
    numeric = np.empty((6, 6))
    for j in range(6):
        h = 1e-3 if j < 3 else 1e-6
        step = np.eye(6)[j] * h
        plus = np.concatenate(forces.propagate((x0 + step)[:3], (x0 + step)[3:], dt, model, epoch=epoch, rtol=1e-15))
        minus = np.concatenate(forces.propagate((x0 - step)[:3], (x0 - step)[3:], dt, model, epoch=epoch, rtol=1e-15))
        numeric[:, j] = (plus - minus) / (2 * h)
    assert phi == pytest.approx(numeric, rel=1e-5, abs=1e-6)


def test_partials_are_the_gradient_of_the_acceleration():
    model = forces.Zonal(6)
    r = np.array([[5000.0, -3000.0, 4000.0], [0.0, 0.0, 7000.0]])  # one over the pole
    a, g, d = forces.acceleration(r, np.zeros(3), model, epoch="2026-01-01")
    h = 1e-2
    numeric = np.stack([(forces.acceleration(r + h * e, np.zeros(3), model, epoch="2026-01-01")[0]
                         - forces.acceleration(r - h * e, np.zeros(3), model, epoch="2026-01-01")[0]) / (2 * h)
                        for e in np.eye(3)], axis=-1)
    assert g == pytest.approx(numeric, rel=1e-7, abs=1e-15) and not d.any()
    assert a[1] == pytest.approx(zonal_acceleration(r[1], independent_pole("2026-01-01")), rel=1e-9)


@pytest.mark.parametrize("orbit", ["leo", "eccentric"])
def test_sampling_is_the_propagation(orbit):
    r0, v0 = map(np.array, ORBITS[orbit])
    offsets = np.array([-3000.0, 2500.0, -100.0, 0.0, 6000.0])
    r, v = forces.sample(r0, v0, offsets, forces.Zonal(5), epoch=1e9)
    each = forces.propagate(r0, v0, offsets, forces.Zonal(5), epoch=1e9)
    assert np.array_equal(r[[0, 4]], each[0][[0, 4]])  # the farthest each way: the same bits
    assert np.abs(r - each[0]).max() < 1e-6 and np.array_equal(r[3], r0)


def test_a_zonal_porkchop_refines_to_a_transfer_that_lands_in_its_model():
    from vextal.astro.porkchop import porkchop

    chaser = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
    target = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
    model = forces.Zonal(6)
    grid = porkchop(chaser, target, np.linspace(50000.0, 62000.0, 11), np.linspace(1200.0, 10800.0, 9),
                    max_revs=1, model=model)
    transfer = grid.refine()
    assert grid.model == model and transfer.model == repr(model)
    a, b = trajectory.Numerical(chaser, model), trajectory.Numerical(target, model)
    t1, t2 = transfer.departure, transfer.departure + transfer.tof
    r1, v1 = a.states(t1)
    r2, v2 = b.states(t2)
    burn1, burn2 = (np.array(b.delta_v.to_tuple()) for b in transfer.burns)
    # Flown from the chaser's own epoch: the pole of the chaser's state, as the grid moved it.
    rf, vf = forces.propagate(r1, v1 + burn1, transfer.tof, model, epoch=chaser[0])
    assert np.linalg.norm(rf - r2) < 1e-3 and np.linalg.norm(vf + burn2 - v2) < 1e-6


def test_numerical_trajectories_pickle_and_keep_their_model():
    state = (vtime.epoch("2026-01-01"), *ORBITS["sso"][0], *ORBITS["sso"][1])
    for kind in (trajectory.Numerical(state, forces.Zonal(3)), trajectory.J2(state, pole_of_date=True)):
        copy = pickle.loads(pickle.dumps(kind))
        assert repr(copy) == repr(kind) and np.array_equal(copy.states(state[0] + 600.0)[0],
                                                           kind.states(state[0] + 600.0)[0])


@pytest.mark.parametrize("call, exc, text", [
    (lambda: forces.J2() + forces.Zonal(), ValueError, "one central field"),
    (lambda: forces.Model([]), ValueError, "at least one force"),
    (lambda: forces.Model([forces.J2(), "drag"]), TypeError, "made of forces"),
    (lambda: forces.Zonal(7), ValueError, "degree must be an int from 2 to 6"),
    (lambda: forces.Zonal(4, coefficients=EGM96), ValueError, "3 finite numbers"),
    (lambda: forces.J2(mu=-1.0), ValueError, "mu must be a positive"),
    (lambda: forces.propagate([7000.0, 0, 0], [0, 7.5, 0], 60.0, "j2"), TypeError, "Force or Model"),
    (lambda: forces.propagate([7000.0, 0, 0], [0, 7.5, 0], 60.0, forces.J2(), rtol=1.0), ValueError, "rtol"),
    (lambda: forces.propagate([7000.0, 0, 0], [0, 7.5, 0], 60.0, forces.J2(), epoch=[1.0, 2.0]), ValueError,
     "one finite epoch"),
    (lambda: arrays._propagate_model([7000.0, 0, 0], [0, 7.5, 0], 60.0, [("drag", (1.0,), None)]), ValueError,
     "no force of that name"),
    (lambda: arrays._propagate_model([7000.0, 0, 0], [0, 7.5, 0], 60.0, [("j2", (1.0,), None)]), ValueError,
     "3 parameters"),
    (lambda: arrays._propagate_model([7000.0, 0, 0], [0, 7.5, 0], 60.0, [("j2", (MU, 1e-3, RADIUS), (1.0,) * 9)]),
     ValueError, "rotation"),
    (lambda: arrays._propagate_model([7000.0, 0, 0], [0, 7.5, 0], 60.0, [("j2", (MU, 1e-3, RADIUS), None)] * 2),
     ValueError, "central field already"),
    (lambda: trajectory.Numerical((0.0, 7000.0, 0, 0, 0, 7.5, 0), rtol=0.0), ValueError, "rtol"),
    (lambda: forces.propagate([7000.0, 0, 0], [0, 7.5, 0], 1e12, forces.J2(), errors="raise"), RuntimeError,
     "more integration steps"),
])
def test_refusals_name_the_problem(call, exc, text):
    with pytest.raises(exc, match=text):
        call()


@pytest.mark.parametrize("dt", [5e-324, -5e-324, 0.0])
def test_a_span_below_the_time_s_resolution_is_no_motion(dt):
    r0, v0 = map(np.array, ORBITS["leo"])
    r, v, phi = forces.propagate(r0, v0, dt, forces.Zonal(6), stm=True, errors="raise")
    assert np.abs(r - r0).max() < 1e-300 and np.abs(v - v0).max() < 1e-300
    assert np.abs(phi - np.eye(6)).max() < 1e-300


CALLS = {
    "propagate_j2": "arrays.propagate_j2(r, v, 2e9, threads=1)",
    "stm": "forces.propagate(r, v, 2e9, forces.Zonal(6), stm=True, threads=1)",
    "sample": "forces.sample(r, v, [2e9], forces.J2())",
    "numerical": "trajectory.Numerical((0.0, *r, *v), forces.Zonal(3)).states(-2e9)",
    # Two blocks on two threads; the calling thread takes the first (four states of a few milliseconds each),
    # a worker the long one: the calling thread, out of blocks, must keep checking signals.
    "two threads": "forces.propagate(r, v, [2e5] * 4 + [2e9], forces.J2(), threads=2)",
}


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT from os.kill")
@pytest.mark.parametrize("name", sorted(CALLS))
def test_ctrl_c_stops_one_long_integration(name):
    # One state over 60 years of low orbit (millions of steps, many seconds): SIGINT after 0.3 s must end the
    # call with KeyboardInterrupt within 0.5 s of the signal.
    code = """
import os, signal, threading, time
from vextal.astro import arrays, forces, trajectory
r, v = [6778.137, 0.0, 0.0], [0.0, 4.763308, 6.009799]
sent = []
def interrupt():
    sent.append(time.monotonic())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(0.3, interrupt).start()
try:
    %s
    print("finished")
except KeyboardInterrupt:
    print("interrupted %%.3f" %% (time.monotonic() - sent[0]))
""" % CALLS[name]
    out = run_python(code).stdout.split()
    assert out[0] == "interrupted" and float(out[1]) < 0.5, out


GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs", "guide", "force-models.md")


def _guide_blocks():
    if not os.path.exists(GUIDE):
        return []
    with open(GUIDE, encoding="utf-8") as f:
        return re.findall(r"```python\n(.*?)```", f.read(), re.S)


@pytest.mark.parametrize("index", range(len(_guide_blocks())))
def test_the_guide_s_examples_run(index):
    run_python(_guide_blocks()[index])
