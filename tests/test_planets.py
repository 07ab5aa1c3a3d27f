"""Planets by name: DE421 states against the kernel's Chebyshev series evaluated here and turned into J2000 axes
by the published frame bias, against astropy's built-in ephemeris, and used by a porkchop grid."""
import math
import os

import numpy as np
import pytest

pytest.importorskip("jplephem")
de421 = pytest.importorskip("de421")
from astropy.time import Time  # noqa: E402

from vextal.astro import time, trajectory  # noqa: E402

MAS = math.radians(1.0 / 3.6e6)


def frame_bias():
    """ICRS to J2000 mean: the published offsets (IERS Conventions 2010, 5.4.5) as three small rotations."""
    d_alpha, xi, eta = -14.6 * MAS, -16.6170 * MAS, -6.8192 * MAS

    def rot(axis, angle):
        c, s = math.cos(angle), math.sin(angle)
        m = np.eye(3)
        i, j = [(1, 2), (2, 0), (0, 1)][axis]
        m[i, i] = m[j, j] = c
        m[i, j], m[j, i] = s, -s
        return m

    return rot(0, -eta) @ rot(1, xi) @ rot(2, d_alpha)


def series(name, jd):
    """Barycentric position (km) and velocity (km/s) from DE421's coefficients, by numpy's Chebyshev sums."""
    folder = os.path.dirname(de421.__file__)
    coefficients = np.load(os.path.join(folder, "jpl-%s.npy" % name))
    start, stop = 2414992.5, 2524624.5
    span = (stop - start) / coefficients.shape[0]
    index, offset = divmod(jd - start, span)
    s = 2.0 * offset / span - 1.0
    block = coefficients[int(index)]
    r = np.array([np.polynomial.chebyshev.chebval(s, block[k]) for k in range(3)])
    v = np.array([np.polynomial.chebyshev.chebval(s, np.polynomial.chebyshev.chebder(block[k]))
                  for k in range(3)]) * 2.0 / span / 86400.0
    return r, v


def heliocentric(name, utc):
    tdb = Time(utc, scale="utc").tdb.jd
    if name == "earth":
        rb, vb = series("earthmoon", tdb)
        rm, vm = series("moon", tdb)
        r, v = rb - rm / (1.0 + 81.3005690699153), vb - vm / (1.0 + 81.3005690699153)
    else:
        r, v = series({"emb": "earthmoon"}.get(name, name), tdb)
    rs, vs = series("sun", tdb)
    bias = frame_bias()
    return bias @ (r - rs), bias @ (v - vs)


@pytest.mark.parametrize("name, utc", [
    ("mercury", "1950-03-01T00:00:00"), ("venus", "2031-11-02T05:00:00"), ("earth", "2000-01-01T12:00:00"),
    ("emb", "2024-06-30T23:59:00"), ("mars", "2020-07-30T11:50:00"), ("jupiter", "2043-02-14T00:00:00"),
    ("saturn", "1987-09-09T09:09:09"), ("uranus", "2101-05-05T00:00:00"), ("neptune", "2180-01-01T00:00:00"),
    ("pluto", "2015-07-14T11:49:57"),
])
def test_states_against_the_series_evaluated_independently(name, utc):
    r, v = trajectory.Planet(name).states(utc)
    r_ref, v_ref = heliocentric(name, utc)
    assert np.linalg.norm(r - r_ref) < 1.0  # km
    assert np.linalg.norm(v - v_ref) < 1e-6  # km/s


@pytest.mark.parametrize("name, body, tolerance_km", [("earth", "earth", 50.0), ("mars", "mars", 5000.0)])
def test_states_against_astropy_builtin_ephemeris(name, body, tolerance_km):
    # astropy's built-in series (ERFA's epv00 and plan94) are far coarser than DE421: this checks the centre,
    # the axes and the time scale, not the digits.
    from astropy.coordinates import get_body_barycentric, solar_system_ephemeris

    utc = "2026-03-20T00:00:00"
    with solar_system_ephemeris.set("builtin"):
        t = Time(utc, scale="utc")
        p = get_body_barycentric(body, t) - get_body_barycentric("sun", t)
    r_icrs = p.get_xyz().to("km").value
    r, _ = trajectory.Planet(name).states(utc)
    assert np.linalg.norm(frame_bias() @ r_icrs - r) < tolerance_km


@pytest.mark.parametrize("name, epochs, error", [
    ("vulcan", "2020-01-01", "unknown planet"), ("mars", "1890-01-01", "DE421 spans"),
    ("mars", ["2020-01-01", "2250-01-01"], "DE421 spans"),
])
def test_refusals(name, epochs, error):
    with pytest.raises(ValueError, match=error):
        trajectory.Planet(name).states(epochs)


def test_earth_to_mars_grid_under_the_sun():
    from vextal.astro.porkchop import porkchop

    t0 = time.epoch("2020-06-01T00:00:00")
    earth, mars = trajectory.Planet("earth", epoch=t0), trajectory.Planet("mars", epoch=t0)
    days = 86400.0
    grid = porkchop(earth, mars, np.arange(0.0, 81.0, 10.0) * days, np.arange(150.0, 301.0, 25.0) * days,
                    mu=trajectory.MU_SUN, min_radius=7e5)
    best = grid.best()
    # The 2020 window: departures in July-August, about 6 km/s in total for a rendezvous.
    assert 3.0 < best.dv_departure < 4.5 and 4.5 < best.dv_total < 9.0
    r1, _ = earth.states(t0 + best.departure)
    assert np.allclose(grid.sources[0].states(t0 + best.departure)[0], r1, atol=1e-3)
