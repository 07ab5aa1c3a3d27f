"""The native frame kernel and the interpolated precession-nutation against ERFA evaluated at every epoch and
composed as the package did before (one matmul per rotation), and the same bits on any thread count."""
import erfa
import numpy as np
import pytest

from vextal.astro import _frames
from vextal.astro import frames as F
from vextal.astro import time as T

START = T.epoch("2024-03-01T00:00:00")


def reference(func, r, v, epochs, eop=None):
    """The composition at every epoch from ERFA, matrix after matrix, with no interpolation."""
    r, v, unique, index = F._prepare(r, v, epochs)
    tt1, tt2 = T.jd(unique, "tt")
    if func in ("teme_to_eci", "eci_to_teme"):
        m = F._teme_exact(tt1, tt2)[index]
        m = np.swapaxes(m, -1, -2) if func == "teme_to_eci" else m
        return np.einsum("...ij,...j->...i", m, r), np.einsum("...ij,...j->...i", m, v)
    values = F._eop_at(eop, unique)
    ut1, ut2 = T.jd(unique + values["dut1"], "utc")
    rb, _, _ = erfa.bp06(tt1, tt2)
    x, y, s = erfa.xys06a(tt1, tt2)
    t = erfa.rz(erfa.era00(ut1, ut2), np.broadcast_to(np.eye(3), x.shape + (3, 3))) @ erfa.c2ixys(x, y, s)
    t = (t @ np.swapaxes(rb, -1, -2))[index]
    w = erfa.pom00(values["xp"] * F._ARCSEC, values["yp"] * F._ARCSEC, erfa.sp00(tt1, tt2))[index]
    spin = np.array([0.0, 0.0, F.EARTH_ROTATION_RATE])
    mv = lambda m, a: np.einsum("...ij,...j->...i", m, a)  # noqa: E731
    if func == "eci_to_efg":
        rt = mv(t, r)
        return mv(w, rt), mv(w, mv(t, v) - np.cross(spin, rt))
    tt, wt = np.swapaxes(t, -1, -2), np.swapaxes(w, -1, -2)
    rt = mv(wt, r)
    return mv(tt, rt), mv(tt, mv(wt, v) + np.cross(spin, rt))


def states(shape, rng):
    r = rng.normal(size=shape + (3,)) * rng.choice([6700.0, 42164.0], size=shape + (1,))
    return r, rng.normal(size=shape + (3,)) * 5.0


EOP = {"epochs": START + 86400.0 * np.arange(-1, 4), "dut1": [0.1, -0.2, 0.3, -0.4, 0.5],
       "xp": [0.1, 0.2, -0.1, 0.05, 0.3], "yp": [0.3, 0.25, 0.2, 0.4, 0.1]}

# (states' batch shape, epochs): few epochs (evaluated at each), many within days (interpolated), spans of
# several days, a scalar epoch, epochs broadcast along a middle axis, repeated epochs, epochs years apart.
LAYOUTS = [
    ((40, 5), START + 3600.0 * np.arange(5)),
    ((30, 600), START + 60.0 * np.arange(600)),
    ((2, 2000), START + np.sort(np.random.default_rng(5).uniform(0, 9 * 86400.0, 2000))),
    ((7,), START + 12.5),
    ((3, 4, 1), (START + 600.0 * np.arange(6)).reshape(1, 6)),
    ((50,), np.repeat(START + 7200.0 * np.arange(10), 5)),
    ((2, 64), START + 86400.0 * 365.25 * np.linspace(-20, 5, 64)),
]


@pytest.mark.parametrize("func", ["eci_to_efg", "efg_to_eci", "teme_to_eci", "eci_to_teme"])
@pytest.mark.parametrize("shape, epochs", LAYOUTS)
def test_frames_match_the_per_epoch_erfa_composition(func, shape, epochs):
    rng = np.random.default_rng(len(shape) * 1000 + np.size(epochs))
    r, v = states(shape, rng)
    kwargs = {"eop": EOP} if func in ("eci_to_efg", "efg_to_eci") else {}
    got_r, got_v = getattr(F, func)(r, v, epochs, **kwargs)
    want_r, want_v = reference(func, r, v, epochs, kwargs.get("eop"))
    assert got_r.shape == want_r.shape and got_v.shape == want_v.shape
    # The interpolated matrices carry up to 5e-15 of the series' own rounding; the products a few ulp more.
    scale_r = np.linalg.norm(r, axis=-1, keepdims=True)
    scale_v = np.linalg.norm(v, axis=-1, keepdims=True) + F.EARTH_ROTATION_RATE * scale_r
    assert np.all(np.abs(got_r - want_r) <= 2e-14 * scale_r)
    assert np.all(np.abs(got_v - want_v) <= 2e-14 * scale_v)


@pytest.mark.parametrize("span_days, count", [(1.0, 1440), (2.0, 29), (30.0, 5000), (1e-6, 400), (400.0, 200)])
def test_interpolated_series_match_erfa_at_every_epoch(span_days, count):
    rng = np.random.default_rng(count)
    epochs = START + np.sort(rng.uniform(0, span_days * 86400.0, count))
    tt1, tt2 = T.jd(epochs, "tt")
    cip = F._slow(lambda a, b: np.stack(erfa.xys06a(a, b), axis=-1), tt1, tt2)
    assert np.abs(cip - np.stack(erfa.xys06a(tt1, tt2), axis=-1)).max() < 1e-15
    assert np.abs(F._slow(F._teme_exact, tt1, tt2) - F._teme_exact(tt1, tt2)).max() < 1e-14


@pytest.mark.parametrize("func", ["eci_to_efg", "efg_to_eci", "teme_to_eci", "eci_to_teme"])
def test_same_bits_on_any_thread_count(func):
    r, v = states((150, 1000), np.random.default_rng(3))  # 150,000 states: several blocks per thread
    epochs = START + 60.0 * np.arange(1000)
    one = getattr(F, func)(r, v, epochs, threads=1)
    for threads in (2, 3, None):
        other = getattr(F, func)(r, v, epochs, threads=threads)
        assert np.array_equal(one[0], other[0]) and np.array_equal(one[1], other[1])


def test_non_finite_states_stay_in_their_rows():
    r, v = states((4, 3), np.random.default_rng(8))
    r[1, 2, 0] = np.nan
    v[2, 0, 1] = np.inf
    got_r, got_v = F.eci_to_efg(r, v, START + 60.0 * np.arange(3))
    bad = np.zeros((4, 3), bool)
    bad[1, 2] = bad[2, 0] = True
    assert np.all(np.isfinite(got_r[~bad])) and np.all(np.isfinite(got_v[~bad]))
    assert np.isnan(got_r[1, 2]).all() and not np.isfinite(got_v[2, 0]).all()


def test_empty_batches_keep_their_shape():
    got_r, got_v = F.teme_to_eci(np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(0))
    assert got_r.shape == (0, 3) and got_v.shape == (0, 3)


EYE = np.eye(3).reshape(1, 3, 3)
GOOD = (np.ones((4, 3)), np.ones((4, 3)), EYE, None, np.zeros(2, np.int64), 1)


@pytest.mark.parametrize("position, value, error, message", [
    (4, np.array([0, 1], np.int64), ValueError, "epoch index 1 outside"),
    (4, np.array([-1, 0], np.int64), ValueError, "epoch index -1 outside"),
    (4, np.zeros(3, np.int64), ValueError, "do not repeat over 3 epochs"),
    (4, np.zeros(2, np.int32), TypeError, "int64"),
    (0, np.ones((4, 3), np.float32), TypeError, "float64"),
    (1, np.ones((5, 3)), ValueError, "must hold 12 values"),
    (3, np.ones((2, 3, 3)), ValueError, "b must hold 9 values"),
    (0, np.ones((4, 6))[:, ::2], ValueError, "not C-contiguous"),
    (5, 0, ValueError, "threads must be between"),
])
def test_the_native_door_refuses_what_it_cannot_read(position, value, error, message):
    args = list(GOOD)
    args[position] = value
    with pytest.raises(error, match=message):
        _frames.rotate(*args)


def test_rotation_and_rate_term_are_applied_per_epoch():
    # a[e] = rotation by 90 degrees about z times e + 1, b[e] = e * identity: the kernel's own arithmetic.
    a = np.array([(k + 1.0) * np.array([[0, -1, 0], [1, 0, 0], [0, 0, 1]]) for k in range(3)])
    b = np.array([k * np.eye(3) for k in range(3)])
    epoch = np.array([2, 0, 1], np.int64)
    r = np.arange(18, dtype=float).reshape(2, 3, 3)
    v = -r
    got_r, got_v = _frames.rotate(r, v, a, b, epoch, 1)
    m = a[epoch]
    want_r = np.einsum("eij,sej->sei", m, r)
    assert np.array_equal(got_r, want_r)
    assert np.array_equal(got_v, np.einsum("eij,sej->sei", m, v) + epoch[None, :, None] * r)


@pytest.mark.parametrize("make", [
    lambda r, v: (r.copy(), v.copy()),                      # owned: rotated where they lie
    lambda r, v: (r.copy(), r.copy()[..., :]),              # owned, v a separate copy
    lambda r, v: (np.broadcast_to(r[:1], r.shape), v),      # read-only broadcast: new arrays
    lambda r, v: (r.copy(order="F"), v.copy()),             # not C-contiguous: new arrays
    lambda r, v: (r.astype(np.float32), v.copy()),          # not float64: new arrays
])
def test_rotation_in_place_matches_new_arrays_and_leaves_other_input_alone(make):
    r0, v0 = states((6, 40), np.random.default_rng(2))
    r, v = make(r0, v0)
    before_r, before_v = np.array(r), np.array(v)
    epochs = START + 60.0 * np.arange(40)
    want = F.teme_to_eci(before_r, before_v, epochs)
    got = F._teme_to_eci_owned(r, v, epochs)
    assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1])
    owned = r.dtype == np.float64 and r.flags.c_contiguous and r.flags.writeable
    assert (got[0] is r) == owned
    if not owned:
        assert np.array_equal(r, before_r) and np.array_equal(v, before_v)


def test_the_door_refuses_one_array_for_both_in_place():
    x = np.ones((4, 3))
    with pytest.raises(ValueError, match="two arrays"):
        _frames.rotate(x, x, EYE, None, np.zeros(2, np.int64), 1, True)
