"""Frame rotations at epochs: TEME (SGP4's frame) to the package's ECI, and ECI to and from Earth-fixed EFG.

The package's ECI is the mean equator and equinox of J2000 (EME2000). EFG is the terrestrial frame (ITRS).
Every model is a composition of pyerfa routines; nothing is transcribed by hand.

Arguments broadcast as NumPy does: positions ``r`` (..., 3) km, velocities ``v`` (..., 3) km/s, epochs (...)
of any type :func:`vextal.astro.time.epoch` reads (UTC, seconds since 1950 at 86400 s per day). Each
function returns new float64 arrays ``(r, v)``. The rotation matrices are computed once per distinct epoch,
and applied natively to the states grouped by epoch (one combined matrix, and its rate term for EFG velocities,
per epoch); ``threads`` (None: every core) sets the threads that apply them.
"""

from __future__ import annotations

import warnings
from typing import Any, Mapping, Optional, Tuple

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

from . import _frames as _native
from . import time as _time

__all__ = ["teme_to_eci", "eci_to_teme", "eci_to_efg", "efg_to_eci", "EARTH_ROTATION_RATE"]

#: The Earth's rotation rate (rad/s), the rate of the Earth rotation angle, IAU 2000.
EARTH_ROTATION_RATE = 2.0 * np.pi * 1.00273781191135448 / 86400.0
_ARCSEC = np.pi / (180.0 * 3600.0)
# omega x r as a matrix product: the cross product by the Earth's rotation vector (0, 0, omega).
_OMEGA = np.array([[0.0, -EARTH_ROTATION_RATE, 0.0], [EARTH_ROTATION_RATE, 0.0, 0.0], [0.0, 0.0, 0.0]])
_EOP_KEYS = ("dut1", "xp", "yp")


def _rotate(a: npt.NDArray[Any], b: Optional[npt.NDArray[Any]], r: npt.NDArray[Any], v: npt.NDArray[Any],
            index: npt.NDArray[Any], threads: Optional[int],
            in_place: bool = False) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """(a r, a v + b r) per state with the matrices (m, 3, 3) of its epoch (``index`` over the batch's trailing
    axes), by the native kernel over the states grouped by epoch (b None: no rate term); ``in_place``: into r
    and v themselves."""
    c = np.ascontiguousarray
    return _native.rotate(c(r), c(v), c(a), None if b is None else c(b),
                          c(index, dtype=np.int64).reshape(-1), threads, in_place)


def _prepare(r: Any, v: Any, epochs: Any) -> Tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    """The float64 states broadcast to their common batch shape, the distinct epochs, and the index of each
    epoch among them over the batch's trailing axes (those the epochs broadcast along)."""
    r = np.asarray(r, dtype=np.float64)
    v = np.asarray(v, dtype=np.float64)
    for name, a in (("r", r), ("v", v)):
        if a.ndim == 0 or a.shape[-1] != 3:
            raise ValueError(f"{name} must have a trailing axis of length 3, got shape {a.shape}")
    e = _time.epochs_argument(epochs)
    hint = _time.unit_hint(e)
    if hint:
        warnings.warn("epochs near 1950-01-01" + hint, _time.UnitWarning, stacklevel=3)
    batch = np.broadcast_shapes(r.shape[:-1], v.shape[:-1], e.shape)
    unique, inverse = np.unique(e, return_inverse=True)
    index = np.broadcast_to(inverse.reshape(e.shape), batch[len(batch) - e.ndim:])
    return np.broadcast_to(r, batch + (3,)), np.broadcast_to(v, batch + (3,)), unique, index


def _eop_at(eop: Optional[Mapping[str, Any]], epochs: npt.NDArray[Any]) -> dict:
    """The EOP values at each epoch: zeros by default; a mapping of values (scalars or arrays that broadcast
    against the distinct epochs), or of columns with an ``epochs`` column (linear interpolation, held at the
    ends)."""
    out = {k: np.zeros_like(epochs) for k in _EOP_KEYS}
    if eop is None:
        return out
    unknown = set(eop) - set(_EOP_KEYS) - {"epochs"}
    if unknown:
        raise ValueError(f"eop: unknown keys {sorted(unknown)}; known: epochs, {', '.join(_EOP_KEYS)}")
    if "epochs" in eop:
        t = np.asarray(_time.epoch(eop["epochs"]), dtype=np.float64)
        if t.ndim != 1 or t.size < 1 or not np.all(np.isfinite(t)) or np.any(np.diff(t) <= 0):
            raise ValueError("eop['epochs'] must be a strictly increasing 1-d sequence of finite epochs")
        for k in _EOP_KEYS:
            if k in eop:
                values = _eop_values(eop, k)
                if values.shape != t.shape:
                    raise ValueError(f"eop[{k!r}] must have one value per epoch ({t.size}), not shape {values.shape}")
                out[k] = np.interp(epochs, t, values)
    else:
        for k in _EOP_KEYS:
            if k in eop:
                out[k] = np.broadcast_to(_eop_values(eop, k), epochs.shape).copy()
    return out


#: Bounds of the EOP values: |UT1 - UTC| (s) stays below 0.9 s by the leap seconds' rule (a little more before
#: 1972), polar motion below an arcsecond.
_EOP_LIMITS = {"dut1": 2.0, "xp": 2.0, "yp": 2.0}


def _eop_values(eop: Mapping[str, Any], key: str) -> npt.NDArray[Any]:
    """eop[key] as float64 after checking it holds real, finite values within their bounds."""
    a = np.asarray(eop[key])
    if a.dtype.kind not in "fiu":
        raise TypeError(f"eop[{key!r}] must be real numbers, not {eop[key]!r}"[:200])
    a = a.astype(np.float64)
    if not np.all(np.isfinite(a)):
        raise ValueError(f"eop[{key!r}] must be finite")
    if np.any(np.abs(a) > _EOP_LIMITS[key]):
        unit = "s" if key == "dut1" else "arcseconds"
        raise ValueError(f"eop[{key!r}] must lie within +-{_EOP_LIMITS[key]:g} {unit}, not {float(np.abs(a).max()):g}"
                         + (" (UT1 - UTC in seconds, not milliseconds?)" if key == "dut1" else ""))
    return a


# Many distinct epochs within days share the slowly varying parts of the rotations (precession and nutation,
# whose terms have periods above 2 days: the CIP leaves shorter ones to polar motion, and the IAU 1980 series
# has none below 4.7 days), which are then evaluated at 14 Chebyshev nodes per span of at most 2 days and
# interpolated. Against the series evaluated at each epoch (measured): within 4e-16 rad for the CIP's X, Y and
# s, the size of the series' own rounding, and 5e-15 in the TEME matrix's entries (0.2 um at GEO). The
# Earth's rotation and polar motion are evaluated at every epoch.
_NODES = 14
_SPAN = 2.0  # days
_J2000 = 2451545.0


def _slow(func: Any, tt1: npt.NDArray[Any], tt2: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """func(tt1, tt2) (TT two-part Julian dates (n,) -> an array (n, ...) of smooth functions of time) at the
    dates: evaluated at each, or where there are more than twice as many dates as nodes, interpolated."""
    t = (tt1 - _J2000) + tt2  # days from J2000
    if t.size <= 2 * _NODES:
        return func(tt1, tt2)
    lo, hi = float(t.min()), float(t.max())
    spans = max(1, int(np.ceil((hi - lo) / _SPAN)))
    if t.size <= 2 * spans * _NODES or not hi > lo:
        return func(tt1, tt2)
    width = (hi - lo) / spans
    x = np.cos(np.pi * (np.arange(_NODES) + 0.5) / _NODES)  # the nodes in [-1, 1]
    starts = lo + width * np.arange(spans)
    at = (starts[:, None] + 0.5 * width * (x + 1.0)).ravel()
    values = func(np.full(at.shape, _J2000), at)
    rest = values.shape[1:]
    values = values.reshape((spans, _NODES, -1))
    # Chebyshev coefficients per span from the values at the nodes (the discrete cosine transform).
    j = np.arange(_NODES)
    basis = np.cos(np.pi * j[:, None] * (np.arange(_NODES)[None, :] + 0.5) / _NODES) * (2.0 / _NODES)
    basis[0] *= 0.5
    coef = np.einsum("jk,skc->sjc", basis, values)
    which = np.minimum(((t - lo) / width).astype(np.intp), spans - 1)
    u = np.clip(2.0 * (t - starts[which]) / width - 1.0, -1.0, 1.0)
    terms = np.polynomial.chebyshev.chebvander(u, _NODES - 1)
    out = np.einsum("nj,njc->nc", terms, coef[which])
    return out.reshape(t.shape + rest)


def _teme_exact(tt1: npt.NDArray[Any], tt2: npt.NDArray[Any]) -> npt.NDArray[Any]:
    eqeq = erfa.eqeq94(tt1, tt2)
    eye = np.broadcast_to(np.eye(3), eqeq.shape + (3, 3))
    return np.matmul(erfa.rz(eqeq, eye), erfa.pnm80(tt1, tt2))


def _teme_matrices(epochs: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """ECI -> TEME matrices: IAU 1976 precession, IAU 1980 nutation, then the 1994 equation of the equinoxes
    about the true pole (TEME's x axis is the mean equinox on the true equator)."""
    tt1, tt2 = _time.jd(epochs, "tt")
    return _slow(_teme_exact, tt1, tt2)


def teme_to_eci(r: Any, v: Any, epochs: Any, *, threads: Optional[int] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """States in TEME (true equator, mean equinox of date: SGP4's output frame) to the package's ECI (mean
    equator and equinox of J2000), as SGP4 practice does: IAU 1976 precession and IAU 1980 nutation with the
    1994 equation of the equinoxes, no EOP. The rotation's own rate (precession, about 1e-11 rad/s, well
    below a mm/s) is left out of the velocity, as is usual. The IAU 2006/2000A model (with the frame bias)
    (TEME through the Earth-fixed frame, as astropy does it) places the same TEME state in the J2000 mean
    frame 0.7 to 1.6 m apart in LEO and 3 to 7 m apart at GEO (measured over 2000-2024)."""
    r, v, unique, index = _prepare(r, v, epochs)
    return _rotate(np.swapaxes(_teme_matrices(unique), -1, -2), None, r, v, index, threads)


def _teme_to_eci_owned(r: npt.NDArray[Any], v: npt.NDArray[Any], epochs: Any) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """teme_to_eci into r and v themselves where they are fresh C-contiguous float64 arrays of the batch's shape
    that the caller owns (SGP4's output): no second pair of arrays to allocate. Otherwise as teme_to_eci."""
    full, _, unique, index = _prepare(r, v, epochs)
    owned = all(isinstance(x, np.ndarray) and x.dtype == np.float64 and x.flags.c_contiguous and x.flags.writeable
                and x.shape == full.shape for x in (r, v))
    if not owned or np.shares_memory(r, v):
        return teme_to_eci(r, v, epochs)
    return _rotate(np.swapaxes(_teme_matrices(unique), -1, -2), None, r, v, index, None, in_place=True)


def eci_to_teme(r: Any, v: Any, epochs: Any, *, threads: Optional[int] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """The inverse of :func:`teme_to_eci`."""
    r, v, unique, index = _prepare(r, v, epochs)
    return _rotate(_teme_matrices(unique), None, r, v, index, threads)


def _terrestrial(epochs: npt.NDArray[Any], eop: Optional[Mapping[str, Any]]) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """(T, W) per epoch: T = Earth rotation angle about the CIP times the IAU 2006/2000A celestial-to-
    intermediate matrix times the frame bias's inverse (ECI -> terrestrial intermediate frame), W = polar
    motion (terrestrial intermediate -> EFG)."""
    values = _eop_at(eop, epochs)
    tt1, tt2 = _time.jd(epochs, "tt")
    ut1, ut2 = _time.jd(epochs + values["dut1"], "utc")  # UT1 = UTC + (UT1 - UTC), 86400 s per day
    rb, _, _ = erfa.bp06(tt1, tt2)  # GCRS -> J2000 mean: the frame bias
    x, y, s = _slow(lambda d1, d2: np.stack(erfa.xys06a(d1, d2), axis=-1), tt1, tt2).T
    q = erfa.c2ixys(x, y, s)  # GCRS -> CIRS
    era = erfa.era00(ut1, ut2)
    eye = np.broadcast_to(np.eye(3), era.shape + (3, 3))
    t = np.matmul(erfa.rz(era, eye), np.matmul(q, np.swapaxes(rb, -1, -2)))
    w = erfa.pom00(values["xp"] * _ARCSEC, values["yp"] * _ARCSEC, erfa.sp00(tt1, tt2))
    return t, w


def eci_to_efg(r: Any, v: Any, epochs: Any, eop: Optional[Mapping[str, Any]] = None, *,
               threads: Optional[int] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """States in the package's ECI (J2000 mean) to Earth-fixed EFG (ITRS) with the IAU 2006/2000A model
    (ERFA's CIO-based chain plus the frame bias between the J2000 mean frame and the GCRS). The velocity
    includes the Earth's rotation (v_EFG = W (T v - omega x T r)).

    ``eop``: Earth orientation parameters, ``dut1`` (UT1 - UTC, s), ``xp``, ``yp`` (polar motion, arcseconds),
    as values per epoch or as columns with an ``epochs`` column (interpolated linearly). Left out they are
    zero: |UT1 - UTC| stays below 0.9 s, which turns the frame by up to 0.9 s of rotation (about 420 m along
    the equator at the surface, 460 m in LEO, 2.8 km at GEO); polar motion (below 0.6") moves positions by up
    to about 20 m at the surface, 22 m in LEO.
    """
    r, v, unique, index = _prepare(r, v, epochs)
    t, w = _terrestrial(unique, eop)
    # r_EFG = W T r, v_EFG = W T v - W Omega T r with Omega the cross product by the rotation vector.
    return _rotate(w @ t, -(w @ (_OMEGA @ t)), r, v, index, threads)


def efg_to_eci(r: Any, v: Any, epochs: Any, eop: Optional[Mapping[str, Any]] = None, *,
               threads: Optional[int] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """The inverse of :func:`eci_to_efg` (same model, same ``eop`` and the same error without it)."""
    r, v, unique, index = _prepare(r, v, epochs)
    t, w = _terrestrial(unique, eop)
    tt, wt = np.swapaxes(t, -1, -2), np.swapaxes(w, -1, -2)
    # r_ECI = T' W' r, v_ECI = T' W' v + T' Omega W' r.
    return _rotate(tt @ wt, tt @ (_OMEGA @ wt), r, v, index, threads)
