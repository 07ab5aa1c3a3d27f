"""The planets by name (``vextal.astro.trajectory.Planet``): Sun-centred states from JPL's DE421 ephemeris.

The kernel ships inside the ``de421`` wheel on PyPI (JPL's Chebyshev series as NumPy files) and is read through
``jplephem`` (the ``planets`` extra); nothing is downloaded. DE421 covers Julian dates 2414992.5 to 2524624.5
(1899-07-29 to 2200-02-02 TDB). Its axes are the ICRF's; states are turned into the package's ECI axes (J2000
mean equator and equinox) by the constant frame bias (ERFA's), and the UTC epoch numbers become TDB through
ERFA (TT plus ERFA's TDB - TT at the geocentre).
"""
from __future__ import annotations

import functools
from typing import Any, Tuple

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

from vextal.astro import time as _time

#: The Sun's gravitational parameter (km^3/s^2, IAU 2015 nominal), for grids between planets.
MU_SUN = 1.32712440018e11
#: The names Planet takes: the planets, Pluto and the Earth-Moon barycentre ("emb").
NAMES = ("mercury", "venus", "earth", "emb", "mars", "jupiter", "saturn", "uranus", "neptune", "pluto")
_SERIES = {"emb": "earthmoon"}
#: Sample spacing of a grid's table (s): cubic Hermite on a quarter day stays within metres even for Mercury.
TABLE_STEP = 21600.0


@functools.lru_cache(maxsize=1)
def ephemeris() -> Any:
    """The DE421 series (loaded once)."""
    try:
        import de421  # type: ignore  # the kernel, packaged
        from jplephem import Ephemeris  # type: ignore  # no type information
    except ImportError as exc:
        raise ImportError("Planet needs jplephem and de421: pip install 'vextal[planets]'") from exc
    return Ephemeris(de421)


@functools.lru_cache(maxsize=1)
def _bias() -> npt.NDArray[np.float64]:
    rb, _, _ = erfa.bp06(2451545.0, 0.0)  # the frame bias is constant: any date gives it
    return np.asarray(rb, dtype=np.float64)


def tdb(epochs: npt.NDArray[np.float64]) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Two-part TDB Julian dates of UTC epoch numbers."""
    tt = np.asarray(_time.utc_to_tt(epochs), dtype=np.float64)  # SI seconds since 1950-01-01T00:00 TT
    days = np.floor(tt / 86400.0)
    fraction = (tt - days * 86400.0) / 86400.0
    jd1 = _time.JD_1950 + days
    shift = erfa.dtdb(jd1, fraction, fraction, 0.0, 0.0, 0.0)  # TDB - TT at the geocentre (s)
    return jd1, fraction + np.asarray(shift) / 86400.0


def barycentric(name: str, jd1: npt.NDArray[np.float64], jd2: npt.NDArray[np.float64]
                ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Position (km) and velocity (km/day) of `name` about the solar system's barycentre, ICRF axes, (3, n)."""
    eph = ephemeris()
    if name == "earth":  # the barycentre less the Moon's share of the Earth-Moon vector
        rb, vb = eph.position_and_velocity("earthmoon", jd1, jd2)
        rm, vm = eph.position_and_velocity("moon", jd1, jd2)
        share = 1.0 / (1.0 + eph.EMRAT)
        return rb - share * rm, vb - share * vm
    r, v = eph.position_and_velocity(_SERIES.get(name, name), jd1, jd2)
    return r, v


def heliocentric(name: str, epochs: Any) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Sun-centred positions (km) and velocities (km/s) of `name` (one of NAMES) at UTC `epochs` (s or dates, any
    shape), in the package's ECI axes; ValueError outside DE421's span."""
    t = np.asarray(_time.epoch(epochs), dtype=np.float64)
    if not np.isfinite(t).all():
        raise ValueError("epochs must be finite")
    flat = t.reshape(-1)
    jd1, jd2 = tdb(flat)
    eph = ephemeris()
    whole = jd1 + jd2
    if flat.size and (whole.min() < eph.jalpha or whole.max() > eph.jomega):
        raise ValueError("DE421 spans Julian dates %.1f to %.1f (1899-07-29 to 2200-02-02); epochs outside "
                         "it were asked for" % (eph.jalpha, eph.jomega))
    r, v = barycentric(name, jd1, jd2)
    rs, vs = barycentric("sun", jd1, jd2)
    bias = _bias()
    r = (bias @ (np.reshape(r, (3, -1)) - np.reshape(rs, (3, -1)))).T
    v = (bias @ (np.reshape(v, (3, -1)) - np.reshape(vs, (3, -1)))).T / 86400.0
    return r.reshape(t.shape + (3,)), v.reshape(t.shape + (3,))


def table_epochs(start: float, stop: float) -> npt.NDArray[np.float64]:
    """The sample epochs of a grid's table covering [start, stop], every TABLE_STEP s at most."""
    count = max(int(np.ceil((stop - start) / TABLE_STEP)), 1)
    if stop > start:
        return np.linspace(float(start), float(stop), count + 1)
    return np.array([float(start), float(start) + TABLE_STEP])
