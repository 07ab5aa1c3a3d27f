"""The elements kernels: the mean-anomaly ellipse (fast Kepler solve straight to the state) against a
reference solve, threads and errors, strided and broadcast inputs, the same bits on any thread count."""
import numpy as np
import pytest

from vextal.astro import elements as E

MU = 398600.5


def reference_state(a, e, i, raan, argp, m):
    """The state through the true anomaly of a Kepler solve by bisection then Newton in extended precision."""
    m = np.radians(np.asarray(m, np.longdouble))
    turns = np.round(m / (2 * np.pi))
    mm = m - turns * 2 * np.pi
    lo, hi = mm - 1.0, mm + 1.0  # E - e sin E = M has its root within e <= 1 of M
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        below = mid - e * np.sin(mid) < mm
        lo, hi = np.where(below, mid, lo), np.where(below, hi, mid)
    x = 0.5 * (lo + hi)
    for _ in range(3):
        x -= (x - e * np.sin(x) - mm) / (1 - e * np.cos(x))
    nu = 2 * np.arctan2(np.sqrt(1 + e) * np.sin(x / 2), np.sqrt(1 - e) * np.cos(x / 2))
    return E.to_state(a, e, i, raan, argp, np.degrees(nu.astype(float)), kind="true")


# Eccentricities from circular to within 1e-6 of a parabola, mean anomalies at periapsis, apoapsis, either
# side of them and many turns out.
ECCENTRICITIES = [0.0, 1e-12, 1e-3, 0.1, 0.5, 0.9, 0.99, 0.9999, 0.999999]
ANOMALIES = [0.0, 1e-7, -1e-7, 1.0, 90.0, 179.999, 180.0, -180.0, 359.9, 720.5, -12345.6, 1e5]


@pytest.mark.parametrize("e", ECCENTRICITIES)
def test_mean_anomaly_states_match_a_reference_solve(e):
    m = np.array(ANOMALIES + list(np.random.default_rng(int(e * 1e6)).uniform(-360, 720, 200)))
    a = 8000.0 / (1 - e) if e < 1 else 8000.0
    got_r, got_v = E.to_state(a, e, 51.6, 30.0, 250.0, m, kind="mean")
    want_r, want_v = reference_state(a, e, 51.6, 30.0, 250.0, m)
    # Near e = 1 at periapsis the state itself is ill-conditioned in M (dE/dM = 1 / (1 - e cos E)).
    cond = 1.0 if e < 0.99 else 1.0 / (1.0 - e)
    scale_r = np.linalg.norm(want_r, axis=-1, keepdims=True)
    scale_v = np.linalg.norm(want_v, axis=-1, keepdims=True)
    assert np.all(np.abs(got_r - want_r) <= 1e-13 * cond * scale_r * (1 + np.abs(m)[:, None] / 360))
    assert np.all(np.abs(got_v - want_v) <= 1e-13 * cond * scale_v * (1 + np.abs(m)[:, None] / 360))


@pytest.mark.parametrize("e", [0.001, 0.3, 0.8, 0.97])
def test_mean_elements_round_trip(e):
    rng = np.random.default_rng(11)
    n = 500
    a, i, raan, argp, m = rng.uniform(7000, 40000, n), rng.uniform(1, 179, n), *rng.uniform(0, 360, (3, n))
    el = E.from_state(*E.to_state(a, e, i, raan, argp, m, kind="mean"))
    assert np.allclose(el.a, a, rtol=1e-11, atol=0) and np.allclose(el.e, e, rtol=1e-9, atol=1e-12)
    assert np.all(np.abs((el.m - m + 180) % 360 - 180) < 1e-8)


def states_with_bad_rows(n):
    rng = np.random.default_rng(4)
    r = rng.normal(size=(n, 3)) * 7000
    v = np.cross(r, rng.normal(size=(n, 3)))
    v *= (7.5 / np.linalg.norm(v, axis=1))[:, None]
    r[7] = np.nan          # not finite
    v[1000] = 0.0          # zero velocity
    v[20000] = r[20000] / 1000.0  # rectilinear
    return r, v


@pytest.mark.parametrize("door", ["from_state", "to_state_mean", "to_state_true"])
def test_same_bits_on_any_thread_count(door):
    r, v = states_with_bad_rows(60000)  # several blocks per thread
    el = E.from_state(r, v, errors="nan")
    call = {
        "from_state": lambda t: E.from_state(r, v, errors="nan", threads=t),
        "to_state_mean": lambda t: E.to_state(el.a, el.e, el.i, el.raan, el.argp, el.m, kind="mean",
                                              errors="nan", threads=t),
        "to_state_true": lambda t: E.to_state(el.a, el.e, el.i, el.raan, el.argp, el.nu, errors="nan", threads=t),
    }[door]
    one = np.column_stack(call(1)) if door == "from_state" else np.concatenate(call(1), axis=1)
    for threads in (2, 5, None):
        got = call(threads)
        other = np.column_stack(got) if door == "from_state" else np.concatenate(got, axis=1)
        assert np.array_equal(one, other, equal_nan=True)


def test_errors_nan_marks_the_refused_rows_only():
    r, v = states_with_bad_rows(30000)
    el = E.from_state(r, v, errors="nan")
    bad = np.zeros(30000, bool)
    bad[[7, 1000, 20000]] = True
    assert np.all(np.isnan(np.column_stack(el)[bad])) and np.all(np.isfinite(np.column_stack(el)[~bad]))
    good = E.from_state(r[~bad], v[~bad])
    assert np.array_equal(np.column_stack(good), np.column_stack(el)[~bad])
    with pytest.raises(ValueError, match=r"from_state\(\) at index \(7,\): the input is not finite"):
        E.from_state(r, v)
    with pytest.raises(ValueError, match=r"from_state\(\) at index \(7,\)"):
        E.from_state(r, v, errors="raise")


@pytest.mark.parametrize("kwargs, index, message", [
    ({"e": [0.1, 1.0, 0.2]}, 1, "parabolic"),
    ({"a": [7000.0, 7000.0, -7000.0]}, 2, "semi-major axis must be positive"),
    ({"e": [0.1, -0.1, 0.2]}, 1, "eccentricity is negative"),
    ({"anomaly": [0.0, np.nan, 1.0]}, 1, "not finite"),
])
@pytest.mark.parametrize("kind", ["true", "mean"])
def test_to_state_errors(kwargs, index, message, kind):
    args = {"a": 7000.0, "e": 0.1, "i": 10.0, "raan": 20.0, "argp": 30.0, "anomaly": [0.0, 40.0, 80.0], **kwargs}
    r, v = E.to_state(**args, kind=kind, errors="nan")
    assert np.isnan(r[index]).all() and np.isnan(v[index]).all()
    assert np.isfinite(np.delete(r, index, axis=0)).all()
    with pytest.raises(ValueError, match=rf"to_state\(\) at index \({index},\): .*{message}"):
        E.to_state(**args, kind=kind)


@pytest.mark.parametrize("func, args", [
    (E.to_state, (7000.0, 0.1, 10.0, 20.0, 30.0, 40.0)),
    (E.from_state, ([7000.0, 0, 0], [0, 7.5, 0])),
])
@pytest.mark.parametrize("kwargs, error, message", [
    ({"errors": "ignore"}, ValueError, "errors must be 'nan' or 'raise'"),
    ({"threads": 0}, ValueError, "threads must be between 1 and 1024"),
    ({"threads": 2.0}, TypeError, "threads must be an int or None"),
])
def test_keyword_refusals(func, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        func(*args, **kwargs)


def test_strided_and_broadcast_inputs_read_as_copies_would_be():
    rng = np.random.default_rng(9)
    table = rng.uniform(0.0, 1.0, (1000, 6)) * [30000, 0.9, 180, 360, 360, 360] + [7000, 0, 0, 0, 0, 0]
    columns = [table[:, k] for k in range(6)]  # strided views
    copies = [np.ascontiguousarray(c) for c in columns]
    for kind in ("true", "mean"):
        assert np.array_equal(np.concatenate(E.to_state(*columns, kind=kind), axis=1),
                              np.concatenate(E.to_state(*copies, kind=kind), axis=1))
    # a scalar broadcast along the batch, and a reversed (negative stride) column
    got = E.to_state(copies[0][::-1], 0.1, copies[2], 45.0, copies[4], copies[5], kind="mean")
    want = E.to_state(copies[0][::-1].copy(), np.full(1000, 0.1), copies[2], np.full(1000, 45.0), copies[4],
                      copies[5], kind="mean")
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
