"""vextal.astro.arrays: agreement with the scalar classes, accuracy of efg_to_llh against the mpmath reference,
broadcasting and conversions, argument errors, per-problem statuses, threads and the interpreter lock."""
import math
import threading
import time

import numpy as np
import pytest
from mpmath import mpf

import geodesy_reference as ref
from conftest import leaked_blocks, run_python
from vextal.astro import arrays
from vextal.astro.kepler import propagate_lagrangian
from vextal.astro.multirev_arcs import LambertProblem
from vextal.astro.orbitvector import EFG, LLH
from vextal.vector3 import Vector3

MU = 398600.5
PATHS = ["avx2", "sse2", "scalar"]


@pytest.fixture(params=PATHS)
def geodesy_path(request):
    """Each geodesy kernel this machine can run (the best one is restored afterwards)."""
    got = arrays._geodesy_path(request.param)
    try:
        if got != request.param:
            pytest.skip("%s kernels not available here" % request.param)
        yield got
    finally:
        arrays._geodesy_path("avx2")


def random_points(n, seed=1, near_pole=False):
    rng = np.random.default_rng(seed)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    if near_pole:
        lat = np.sign(lat) * (90 - 10.0 ** rng.uniform(-9, 0, n))
    lon = rng.uniform(-180, 540, n)
    h = np.where(rng.random(n) < 0.5, rng.uniform(-100, 50000, n), 10.0 ** rng.uniform(-3, 4.7, n))
    return arrays.llh_to_efg(np.stack([lat, lon, h], axis=-1))


def random_states(n, seed=2):
    """Positions 6500..50000 km, speeds from well bound to hyperbolic, steps of either sign."""
    rng = np.random.default_rng(seed)
    r = rng.normal(size=(n, 3)) * rng.uniform(6500, 50000, (n, 1)) / math.sqrt(3)
    v = rng.normal(size=(n, 3)) * rng.uniform(1, 12, (n, 1)) / math.sqrt(3)
    dt = rng.uniform(-3e4, 3e4, n)
    return r, v, dt


def random_problems(n, seed=3):
    rng = np.random.default_rng(seed)
    r1 = rng.normal(size=(n, 3)) * rng.uniform(6600, 42000, (n, 1)) / math.sqrt(3)
    r2 = rng.normal(size=(n, 3)) * rng.uniform(6600, 42000, (n, 1)) / math.sqrt(3)
    tof = 10.0 ** rng.uniform(2.5, 5.5, n)
    return r1, r2, tof


# ---- agreement with the scalar methods --------------------------------------------------------------------

def test_efg_to_llh_agrees_with_scalar_method(geodesy_path):
    points = np.concatenate([random_points(3000), random_points(1000, seed=5, near_pole=True)])
    got = arrays.efg_to_llh(points)
    want = np.array([tuple(EFG(0.0, Vector3(*p)).to_llh()) for p in points])
    assert np.abs(got[:, 0] - want[:, 0]).max() <= 1e-12
    dlon = np.abs(got[:, 1] - want[:, 1])
    assert np.minimum(dlon, 360 - dlon).max() <= 1e-12
    assert np.abs(got[:, 2] - want[:, 2]).max() <= 1e-9
    assert ((got[:, 1] >= 0) & (got[:, 1] < 360)).all()


def test_polar_axis_is_the_scalar_answer(geodesy_path):
    special = [[0, 0, 6356.0], [0, 0, -7000.0], [0, 0, 0], [1e-11, 0, 6000]]
    points = np.array([[7000.0, 1, 2]] * 3 + special)  # the special points in vector lanes and in the tail
    got = arrays.efg_to_llh(points)
    for p, g in zip(points[3:], got[3:]):
        np.testing.assert_array_equal(g, tuple(EFG(0.0, Vector3(*p)).to_llh()))


def test_llh_to_efg_agrees_with_scalar_method(geodesy_path):
    rng = np.random.default_rng(4)
    llh = np.stack([rng.uniform(-90, 90, 4001), rng.uniform(-720, 720, 4001), rng.uniform(-100, 50000, 4001)], -1)
    got = arrays.llh_to_efg(llh)
    want = np.array([tuple(LLH(*g).to_efg()) for g in llh])
    if geodesy_path == "scalar":  # the same library functions: the same bits
        np.testing.assert_array_equal(got, want)
    else:  # vector sines and cosines: a few units in the last place of the position
        scale = np.linalg.norm(want, axis=-1, keepdims=True)
        assert (np.abs(got - want) <= 4 * np.spacing(scale)).all()


@pytest.mark.parametrize("mu", [MU, 3.0e5])
def test_propagate_is_propagate_lagrangian(mu):
    r, v, dt = random_states(400)
    rn, vn = arrays.propagate(r, v, dt, mu=mu)
    for i in range(len(dt)):
        try:
            a, b = propagate_lagrangian(Vector3(*r[i]), Vector3(*v[i]), float(dt[i]), mu)
        except ValueError:
            assert np.isnan(rn[i]).all() and np.isnan(vn[i]).all()
            continue
        assert tuple(rn[i]) == tuple(a) and tuple(vn[i]) == tuple(b)


@pytest.mark.parametrize("prograde, mu", [(True, MU), (False, MU), (True, 4.5e5)])
def test_lambert_is_lambert_problem(prograde, mu):
    r1, r2, tof = random_problems(150)
    res = arrays.lambert(r1, r2, tof, mu=mu, prograde=prograde, max_revs=3)
    assert res.v1.shape == res.v2.shape == (150, 7, 3)
    assert res.revolutions.tolist() == [0, 1, 1, 2, 2, 3, 3]
    assert res.branch.tolist() == [0, -1, 1, -1, 1, -1, 1]
    for i in range(150):
        p = LambertProblem(Vector3(*r1[i]), Vector3(*r2[i]), float(tof[i]), mu, prograde, 3)
        k = p.solution_count()
        assert res.count[i] == k and res.status[i] == arrays.LAMBERT_OK
        assert p.revolutions == res.revolutions[:k].tolist()
        for j in range(k):
            a, b = p.solution(j)
            assert tuple(res.v1[i, j]) == tuple(a) and tuple(res.v2[i, j]) == tuple(b)
        assert np.isnan(res.v1[i, k:]).all() and np.isnan(res.v2[i, k:]).all()


# ---- accuracy against the 34-digit reference ------------------------------------------------------------

def reference_errors(points):
    """Largest errors: latitude in degrees; height and round trip in units of the last place of the larger of
    the distance from the centre and the equatorial radius (the lengths the height is formed from)."""
    out = arrays.efg_to_llh(points)
    back = arrays.llh_to_efg(out)
    worst = dict(latitude=0.0, height=0.0, round_trip=0.0, round_trip_km=0.0)
    for p, o, b in zip(points, out, back):
        lat, lon, h = ref.geodetic(*p)
        worst["latitude"] = max(worst["latitude"], float(abs(mpf(o[0]) - lat)))
        ulp = np.spacing(max(np.linalg.norm(p), ref.A))
        worst["height"] = max(worst["height"], float(abs(mpf(o[2]) - h)) / ulp)
        miss = np.linalg.norm(b - p)
        worst["round_trip"] = max(worst["round_trip"], miss / ulp)
        worst["round_trip_km"] = max(worst["round_trip_km"], miss)
        dlon = abs(mpf(o[1]) - lon) % 360
        assert min(dlon, 360 - dlon) <= 1e-13
    return worst


@pytest.mark.parametrize("kind", ["sample", "near pole", "inside the Earth"])
def test_efg_to_llh_accuracy(geodesy_path, kind):
    rng = np.random.default_rng(7)
    if kind == "sample":
        points = np.array([p for p, _ in ref.sample_points(300)])
    elif kind == "near pole":  # within 1e-9 to 1e-5 degree of a pole, at heights -100 .. 50000 km
        lat = rng.choice([-1, 1], 150) * (90 - 10.0 ** rng.uniform(-9, -5, 150))
        h = rng.uniform(-100, 50000, 150)
        points = np.array([[float(c) for c in ref.efg(a, b, c)] for a, b, c in zip(lat, rng.uniform(0, 360, 150), h)])
    else:  # 100 km to 6000 km from the centre: the fixed steps above 1000 km, the bracketed ones below
        d = rng.normal(size=(200, 3))
        points = d / np.linalg.norm(d, axis=1, keepdims=True) * 10.0 ** rng.uniform(2, 3.78, (200, 1))
    worst = reference_errors(points)
    assert worst["latitude"] <= 3e-14  # about two units in the last place of 90 degrees
    assert worst["height"] <= 4  # 2.9 the largest seen
    assert worst["round_trip"] <= 8 and worst["round_trip_km"] <= 42e-12  # as good as EFG.to_llh's: 42 nm


# ---- broadcasting, shapes, dtypes, layouts ----------------------------------------------------------------

def test_broadcasting_matches_elementwise():
    r, v, dt = random_states(6)
    r, v, dt = r.reshape(2, 1, 3, 3), v[:4].reshape(1, 4, 1, 3), dt[:3]
    rn, vn = arrays.propagate(r, v, dt)
    assert rn.shape == vn.shape == (2, 4, 3, 3)
    for i, j, k in np.ndindex(2, 4, 3):
        a, b = arrays.propagate(r[i, 0, k], v[0, j, 0], dt[k])
        assert a.shape == (3,)
        np.testing.assert_array_equal(rn[i, j, k], a)
        np.testing.assert_array_equal(vn[i, j, k], b)
    r1, r2, tof = random_problems(5)
    grid = arrays.lambert(r1[:, None], r2[None, :], tof[0], max_revs=1)
    assert grid.v1.shape == (5, 5, 3, 3) and grid.status.shape == grid.count.shape == (5, 5)
    one = arrays.lambert(r1[3], r2[1], tof[0], max_revs=1)
    k = one.v1.shape[0]  # the slots this one problem can fill (its time of flight bounds its revolutions)
    assert one.status.shape == () and one.v1.shape == (k, 3) and k in (1, 3)
    np.testing.assert_array_equal(grid.v2[3, 1, :k], one.v2)
    assert np.isnan(grid.v2[3, 1, k:]).all()


@pytest.mark.parametrize("func, args", [
    (arrays.efg_to_llh, (np.zeros((0, 3)),)),
    (arrays.efg_to_llh, (np.zeros((2, 0, 3)),)),
    (arrays.llh_to_efg, (np.zeros((0, 3)),)),
    (arrays.propagate, (np.zeros((0, 3)), [1.0, 2, 3], 5.0)),
    (arrays.lambert, (np.zeros((0, 3)), [7000.0, 1, 2], 5.0)),
])
def test_empty_inputs(func, args):
    out = func(*args)
    first = out if isinstance(out, np.ndarray) else out[0]
    assert first.size == 0 and first.dtype == np.float64 and first.shape[-1] == 3


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    lambda a: a.astype(object),
    lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=0)[::2],
    lambda a: a.view([("x", "f8"), ("y", "f8"), ("z", "f8")]).view("f8").reshape(a.shape),
], ids=["list", "object", "fortran", "strided", "view"])
def test_layouts_and_dtypes_convert(convert):
    points = random_points(64)
    want = arrays.efg_to_llh(points)
    got = arrays.efg_to_llh(convert(points))
    np.testing.assert_array_equal(got, want)
    ints = np.array([[7000, 10, -300]], dtype=np.int16)
    np.testing.assert_array_equal(arrays.efg_to_llh(ints), arrays.efg_to_llh(ints.astype(float)))


def test_strided_and_broadcast_operands_are_read_in_place():
    r, v, dt = random_states(60)
    want = arrays.propagate(r[::3], v[::3], dt[::3])
    wide = np.zeros((20, 2, 5))
    wide[:, 1, 1:4] = v[::3]  # components adjacent, rows 80 bytes apart
    backwards = dt[::3][::-1].copy()[::-1]  # a negative stride
    got = arrays.propagate(np.repeat(r, 2, axis=0)[::6], wide[:, 1, 1:4], backwards)
    for a, b in zip(want, got):
        np.testing.assert_array_equal(a, b)
    r1, r2, tof = random_problems(4)
    grid = arrays.lambert(np.asfortranarray(r1)[:, None, None], r2[None, :, None], tof[0] * np.array([1.0, 2.0]))
    assert grid.v1.shape == (4, 4, 2, 1, 3)
    for j, k, m in np.ndindex(4, 4, 2):
        one = arrays.lambert(r1[j], r2[k], tof[0] * (m + 1.0))
        np.testing.assert_array_equal(grid.v1[j, k, m], one.v1)
        np.testing.assert_array_equal(grid.v2[j, k, m], one.v2)


def test_results_are_new_writable_arrays():
    points = random_points(8)
    out = arrays.efg_to_llh(points)
    assert out is not points and out.flags.c_contiguous and out.flags.writeable and out.flags.owndata


# ---- argument errors ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, exc, text", [
    (lambda: arrays.efg_to_llh(np.zeros((4, 2))), ValueError, "xyz must have a trailing axis of length 3"),
    (lambda: arrays.efg_to_llh(5.0), ValueError, "xyz must have a trailing axis"),
    (lambda: arrays.llh_to_efg([["a", "b", "c"]]), TypeError, "llh must be an array of real numbers"),
    (lambda: arrays.llh_to_efg(np.zeros((2, 3), complex)), TypeError, "llh must be an array of real numbers"),
    (lambda: arrays.efg_to_llh([[1, 2, 3], [1, 2]]), TypeError, "xyz"),
    (lambda: arrays.efg_to_llh([[object(), 1, 2]]), TypeError, "xyz must be an array of real numbers"),
    (lambda: arrays.propagate(np.zeros((2, 3)), np.zeros((3, 3)), 1.0), ValueError, "do not broadcast: r (2, 3), v (3, 3)"),
    (lambda: arrays.propagate([1, 2, 3], [1, 2, 3], "x"), TypeError, "dt must be an array of real numbers"),
    (lambda: arrays.propagate([1, 2, 3], [1, 2, 3], 1.0, mu=0.0), ValueError, "mu must be a positive finite number"),
    (lambda: arrays.lambert(np.ones((2, 3)), [1, 2, 3], [1.0, 2.0, 3.0, 4.0]), ValueError, "tof (4,)"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, max_revs=-1), ValueError, "max_revs must not be negative"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, mu=math.nan), ValueError, "mu must be a positive"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, mu="1"), TypeError, "mu must be a real number"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, max_revs="2"), TypeError, "max_revs must be an int"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, max_revs=2**40), ValueError, "max_revs must not exceed 100000 (got 1099511627776)"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, max_revs=100001), ValueError, "must not exceed 100000"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, errors="ignore"), ValueError, "errors must be 'nan' or 'raise'"),
    (lambda: arrays.efg_to_llh([1, 2, 3], threads=0), ValueError, "threads must be between 1 and 1024"),
    (lambda: arrays.efg_to_llh([1, 2, 3], threads=2.0), TypeError, "threads must be an int or None"),
    (lambda: arrays.efg_to_llh([1, 2, 3], 2), TypeError, "takes exactly 1 positional argument (2 given)"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1]), TypeError, "takes at least 3 positional arguments"),
    (lambda: arrays.lambert([1, 2, 3], [3, 2, 1], 1.0, maxrevs=2), TypeError, "unexpected keyword argument 'maxrevs'"),
    (lambda: arrays.lambert_message(99), ValueError, "unknown status code 99"),
    (lambda: arrays._geodesy_path("avx512"), ValueError, "unknown kernels 'avx512'"),
])
def test_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert text in str(info.value)


# ---- per-element statuses ---------------------------------------------------------------------------------

BAD_PROBLEMS = [  # r1, r2, tof, the message LambertProblem raises
    ([7000.0, 0, 0], [14000.0, 0, 0], 3000.0, "collinear"),
    ([0.0, 0, 0], [0, 7000.0, 0], 3000.0, "non-zero length"),
    ([7000.0, math.nan, 0], [0, 7000.0, 0], 3000.0, "finite"),
    ([7000.0, 0, 0], [0, 7000.0, 0], -5.0, "time of flight"),
]


def test_lambert_statuses_and_raise():
    good = ([7000.0, 0, 0], [0, 8000.0, 500], 4000.0)
    rows = [good] + [b[:3] for b in BAD_PROBLEMS] + [good]
    r1, r2, tof = (np.array([row[i] for row in rows]) for i in range(3))
    res = arrays.lambert(r1, r2, tof, max_revs=1)
    assert res.status[0] == res.status[-1] == 0 and res.count[0] == res.count[-1] >= 1
    np.testing.assert_array_equal(res.v1[0], res.v1[-1])
    for i, (a, b, t, text) in enumerate(BAD_PROBLEMS, start=1):
        assert res.status[i] != 0 and res.count[i] == 0 and np.isnan(res.v1[i]).all() and np.isnan(res.v2[i]).all()
        assert text in arrays.lambert_message(int(res.status[i]))
        with pytest.raises(ValueError) as scalar:
            LambertProblem(Vector3(*a), Vector3(*b), t, MU, True, 1)
        assert arrays.lambert_message(int(res.status[i])) in str(scalar.value)
    with pytest.raises(ValueError, match=r"lambert\(\): problem \(0, 1\): r1 and r2 are collinear"):
        arrays.lambert(r1.reshape(2, 3, 3), r2.reshape(2, 3, 3), 3000.0, errors="raise")


def test_propagate_failures_are_nan_or_raise():
    r = np.array([[7000.0, 0, 0], [0, 0, 0], [7000.0, 0, 0]])
    v = np.array([[0, 7.5, 0], [0, 7.5, 0], [0, 7.5, math.inf]])
    rn, vn = arrays.propagate(r, v, 100.0)
    assert np.isfinite(rn[0]).all() and np.isnan(rn[1:]).all() and np.isnan(vn[1:]).all()
    with pytest.raises(ValueError, match=r"propagate\(\): state \(1,\): invalid input"):
        arrays.propagate(r, v, 100.0, errors="raise")


# ---- threads and the interpreter lock ---------------------------------------------------------------------

def test_thread_count_does_not_change_results():
    points = random_points(70000)
    np.testing.assert_array_equal(arrays.efg_to_llh(points, threads=1), arrays.efg_to_llh(points, threads=2))
    llh = arrays.efg_to_llh(points)
    np.testing.assert_array_equal(arrays.llh_to_efg(llh, threads=1), arrays.llh_to_efg(llh, threads=3))
    r, v, dt = random_states(5000)
    for a, b in zip(arrays.propagate(r, v, dt, threads=1), arrays.propagate(r, v, dt, threads=2)):
        np.testing.assert_array_equal(a, b)
    r1, r2, tof = random_problems(3000)
    one, two = arrays.lambert(r1, r2, tof, max_revs=2, threads=1), arrays.lambert(r1, r2, tof, max_revs=2, threads=2)
    for a, b in zip(one, two):
        np.testing.assert_array_equal(a, b)


def misaligned(a):
    """The same values at an address that is no multiple of 8 (as arrays over pickled buffers can be)."""
    raw = bytearray(a.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float64, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


def test_misaligned_inputs_give_the_same_results():
    points = random_points(50, seed=7)
    assert arrays.efg_to_llh(misaligned(points)).tobytes() == arrays.efg_to_llh(points).tobytes()
    r, v, dt = random_states(20)
    for a, b in zip(arrays.propagate(misaligned(r), v, misaligned(dt)), arrays.propagate(r, v, dt)):
        assert a.tobytes() == b.tobytes()
    r1, r2, tof = random_problems(20)
    assert arrays.lambert(misaligned(r1), r2, tof).v1.tobytes() == arrays.lambert(r1, r2, tof).v1.tobytes()


def test_a_point_gets_the_same_bits_wherever_it_sits(geodesy_path):
    # the vector kernels take several points at a time: a short tail must not be computed differently
    points = random_points(11, seed=5)
    llh = arrays.efg_to_llh(points, threads=1)
    xyz = arrays.llh_to_efg(llh, threads=1)
    for start in range(4):
        for stop in (start + 1, start + 3, start + 6, 11):
            assert arrays.efg_to_llh(points[start:stop], threads=1).tobytes() == llh[start:stop].tobytes()
            assert arrays.llh_to_efg(llh[start:stop], threads=1).tobytes() == xyz[start:stop].tobytes()


def test_other_threads_run_during_a_long_call():
    r1, r2, tof = random_problems(150000)
    done, gaps = threading.Event(), []

    def work():
        arrays.lambert(r1, r2, tof, max_revs=5, threads=1)
        done.set()

    worker = threading.Thread(target=work)
    start = time.perf_counter()
    worker.start()
    last = time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
        time.sleep(0.001)
    worker.join()
    elapsed = time.perf_counter() - start
    assert elapsed > 0.1  # a call long enough to tell
    assert len(gaps) > 20 and max(gaps) < elapsed / 3


@pytest.mark.parametrize("setup, call", [
    # about a second of work on one thread (2.5e6 propagations) with 120 MB of results
    ("dt = np.linspace(-20000.0, 20000.0, 2500000)", "arrays.propagate([7000.0, 0, 0], [0, 7.0, 1.0], dt, threads=1)"),
    # about two seconds: 4000 LEO days under J2
    ("dt = np.full(4000, 86400.0)", "arrays.propagate_j2([6778.0, 0, 0], [0, 7.0, 3.0], dt, threads=1)"),
], ids=["propagate", "propagate_j2"])
def test_ctrl_c_stops_a_long_call(setup, call):
    # SIGINT after 0.15 s
    code = """
import signal, threading, time, os, numpy as np
from vextal.astro import arrays
%s
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts with SIGINT ignored
threading.Timer(0.15, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
start = time.perf_counter()
try:
    %s
    print("finished", time.perf_counter() - start)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - start)
""" % (setup, call)
    out = run_python(code).stdout.split()
    assert out[0] == "interrupted" and float(out[1]) < 0.6, out


# ---- references ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: arrays.efg_to_llh(np.ones((50, 3))),
    lambda: arrays.llh_to_efg(np.ones((50, 3))),
    lambda: arrays.propagate(np.ones((5, 3)), np.ones(3), np.arange(5.0)),
    lambda: arrays.lambert(np.ones((5, 3)), [1.0, 2, 3], 100.0, max_revs=1, errors="raise"),
    lambda: arrays.propagate(np.ones((5, 3)), np.ones((4, 3)), 1.0),
    lambda: arrays.efg_to_llh([["x", 1, 2]]),
    lambda: arrays.lambert([1.0, 2, 3], [2.0, 1, 3], 1.0, threads=0),
], ids=["to_llh", "to_efg", "propagate", "lambert-raise", "broadcast-error", "dtype-error", "threads-error"])
def test_no_leaks(call):
    def run(rounds):
        for _ in range(rounds):
            try:
                call()
            except (ValueError, TypeError):
                pass
    assert leaked_blocks(run, 1000, warmup=100, repeats=3) <= 100  # a leak per call would be 1000 or more


def test_lambert_result_pickles():
    """Results travel between processes (Dask workers) intact."""
    import pickle
    res = arrays.lambert([7000.0, 0, 0], [[0, 7000.0, 10], [7000.0, 0, 0]], 3000.0, max_revs=1)
    back = pickle.loads(pickle.dumps(res))
    assert type(back) is arrays.LambertArrays
    for a, b in zip(res, back):
        np.testing.assert_array_equal(a, b)
