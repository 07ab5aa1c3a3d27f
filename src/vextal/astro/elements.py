"""Classical orbital elements <-> Cartesian states (km, km/s), broadcasting over NumPy arrays.

Angles are in degrees at this interface. ``a`` is negative for a hyperbola (e > 1). Where an angle is
undefined the conversion from a state fixes a convention instead of returning a NaN:

* circular orbit (e < 1e-10): ``argp`` = 0 and ``nu`` (and ``m``) is the argument of latitude, from the
  ascending node;
* equatorial orbit (sin i < 1e-10): ``raan`` = 0 and ``argp`` is the longitude of periapsis, from the x axis
  (measured in the direction of motion, also for a retrograde orbit);
* both: ``raan`` = ``argp`` = 0 and ``nu`` is the true longitude.

Angles of an ellipse come back in [0, 360); a hyperbola's ``nu`` and ``m`` are signed (negative before
periapsis). Parabolic orbits (|e - 1| < 1e-9) and degenerate input (zero or parallel position and velocity,
non-finite values, a true anomaly beyond a hyperbola's asymptote, the wrong sign of ``a``) raise ValueError
naming the first offending element. The numerics are plain C++ (``cpp/core/elements.cpp``).
"""

from __future__ import annotations

from typing import Any, NamedTuple, Tuple

import numpy as np
import numpy.typing as npt

from . import _elements
from ._porkchop import MU_EARTH

__all__ = ["Elements", "to_state", "from_state", "true_from_mean"]



class Elements(NamedTuple):
    """Classical elements (arrays, or floats for a single state): semi-major axis ``a`` (km, negative for a
    hyperbola), eccentricity ``e``, inclination ``i``, right ascension of the ascending node ``raan``,
    argument of periapsis ``argp``, true anomaly ``nu`` and mean anomaly ``m`` (degrees)."""

    a: Any
    e: Any
    i: Any
    raan: Any
    argp: Any
    nu: Any
    m: Any


def _check_mu(func: str, mu: float) -> float:
    mu = float(mu)
    if not (mu > 0 and np.isfinite(mu)):
        raise ValueError(f"{func}(): mu must be a positive finite number")
    return mu


def _real(func: str, name: str, x: Any) -> npt.NDArray[Any]:
    a = np.asarray(x)
    if a.dtype.kind not in "fiub":
        raise TypeError(f"{func}(): {name} must be real numbers, not of dtype {a.dtype}")
    return a.astype(np.float64)


def _raise_first(func: str, status: npt.NDArray[Any], shape: Tuple[int, ...]) -> None:
    bad = np.flatnonzero(status)
    if bad.size:
        where = np.unravel_index(int(bad[0]), shape) if shape else ()
        at = f" at index {tuple(int(k) for k in where)}" if shape else ""
        raise ValueError(f"{func}(){at}: {_elements.message(int(status[bad[0]]))}")


def to_state(a: Any, e: Any, i: Any, raan: Any, argp: Any, anomaly: Any, *, mu: float = MU_EARTH,
             kind: str = "true") -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """Position (km) and velocity (km/s) of classical elements (angles in degrees; ``anomaly`` the true
    anomaly, or the mean anomaly with ``kind="mean"``), broadcast together: arrays of shape (..., 3), or
    shape (3,) for scalar input."""
    if kind not in ("true", "mean"):
        raise ValueError(f"to_state(): kind must be 'true' or 'mean', not {kind!r}")
    mu = _check_mu("to_state", mu)
    names = ("a", "e", "i", "raan", "argp", "anomaly")
    args = [_real("to_state", n, x) for n, x in zip(names, (a, e, i, raan, argp, anomaly))]
    try:
        arrays = np.broadcast_arrays(*args)
    except ValueError:
        shapes = ", ".join(f"{n} {x.shape}" for n, x in zip(names, args))
        raise ValueError(f"to_state(): shapes do not broadcast: {shapes}") from None
    shape = arrays[0].shape
    flat = [np.ascontiguousarray(x.ravel()) for x in arrays]
    for k in (2, 3, 4, 5):
        flat[k] = np.radians(flat[k])
    r, v, status = _elements.to_state(flat[0], flat[1], flat[2], flat[3], flat[4], flat[5], mu, kind == "mean")
    _raise_first("to_state", status, shape)
    return r.reshape(shape + (3,)), v.reshape(shape + (3,))


def from_state(r: Any, v: Any, *, mu: float = MU_EARTH) -> Elements:
    """Classical elements of states: positions ``r`` (..., 3) km and velocities ``v`` (..., 3) km/s broadcast
    together; fields are arrays of the batch shape, or floats for a single state."""
    mu = _check_mu("from_state", mu)
    r = _real("from_state", "r", r)
    v = _real("from_state", "v", v)
    for name, x in (("r", r), ("v", v)):
        if x.ndim == 0 or x.shape[-1] != 3:
            raise ValueError(f"from_state(): {name} must have a trailing axis of length 3, got shape {x.shape}")
    try:
        r, v = np.broadcast_arrays(r, v)
    except ValueError:
        raise ValueError(f"from_state(): shapes do not broadcast: r {r.shape}, v {v.shape}") from None
    shape = r.shape[:-1]
    out, status = _elements.from_state(np.ascontiguousarray(r.reshape(-1, 3)),
                                       np.ascontiguousarray(v.reshape(-1, 3)), mu)
    _raise_first("from_state", status, shape)
    cols = [out[:, k].reshape(shape) for k in range(7)]
    for k in (2, 3, 4, 5, 6):
        cols[k] = np.degrees(cols[k])
    if not shape:
        return Elements(*(float(c) for c in cols))
    return Elements(*cols)


def true_from_mean(m: Any, e: Any) -> Any:
    """True anomaly (degrees) of mean anomalies ``m`` (degrees) and eccentricities ``e`` (ellipse or
    hyperbola), broadcast together; a float for scalar input."""
    mm, ee = np.broadcast_arrays(_real("true_from_mean", "m", m), _real("true_from_mean", "e", e))
    nu, status = _elements.true_from_mean_rad(np.ascontiguousarray(np.radians(mm).ravel()),
                                          np.ascontiguousarray(ee.ravel()))
    _raise_first("true_from_mean", status, mm.shape)
    out = np.degrees(nu).reshape(mm.shape)
    return float(out) if out.ndim == 0 else out

