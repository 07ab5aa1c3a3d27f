"""How far the package's frames are from astropy's, measured (accuracy, not speed).

    python3 -m pip install astropy
    python3 benchmarks/compare_frames.py

- TEME -> J2000 mean frame: vextal's IAU-76/80 chain (SGP4 practice) against astropy's TEME -> ITRS -> GCRS ->
  J2000 mean (IAU 2006/2000A, astropy's bundled EOP), twice a year 2000-2024, a LEO and a GEO state: the size of
  the difference between the two precession-nutation models.
- ECI -> EFG with astropy's own EOP (UT1-UTC, polar motion) given to vextal: the agreement of the two
  IAU 2006/2000A implementations.
astropy runs offline here (auto_download off: the bundled IERS-B table).
"""
import numpy as np
from astropy.utils import iers

iers.conf.auto_download = False
import astropy.coordinates as c  # noqa: E402
import astropy.units as u  # noqa: E402
from astropy.time import Time  # noqa: E402

from vextal.astro import frames  # noqa: E402

STATES = {"LEO": ([5094.18016210, 6127.64465950, 6380.34453270], [-4.746131487, 0.785818041, 5.531931288]),
          "GEO": ([42164.0, 100.0, 50.0], [-0.007, 3.0746, 0.01])}


def rep(r, v):
    return c.CartesianRepresentation(np.asarray(r) * u.km, differentials=c.CartesianDifferential(np.asarray(v) * u.km / u.s))


def main():
    dates = [f"{y}-{m:02d}-01T00:00:00" for y in range(2000, 2025) for m in (1, 7)]
    for name, (r, v) in STATES.items():
        teme, efg_r, efg_v = [], [], []
        for iso in dates:
            t = Time(iso, scale="utc")
            j2000 = c.TEME(rep(r, v), obstime=t).transform_to(c.PrecessedGeocentric(equinox="J2000", obstime=t))
            ref = j2000.cartesian.xyz.to_value(u.km)
            teme.append(np.linalg.norm(frames.teme_to_eci(r, v, iso)[0] - ref) * 1e3)
            itrs = j2000.transform_to(c.ITRS(obstime=t))
            xp, yp = (float(q.to_value(u.arcsec)) for q in iers.earth_orientation_table.get().pm_xy(t))
            eop = {"dut1": float(t.delta_ut1_utc), "xp": xp, "yp": yp}
            got_r, got_v = frames.eci_to_efg(ref, j2000.velocity.d_xyz.to_value(u.km / u.s), iso, eop)
            efg_r.append(np.linalg.norm(got_r - itrs.cartesian.xyz.to_value(u.km)) * 1e6)
            efg_v.append(np.linalg.norm(got_v - itrs.velocity.d_xyz.to_value(u.km / u.s)) * 1e6)
        print(f"{name}: TEME -> J2000, IAU-76/80 against IAU 2006/2000A: min {min(teme):.2f} m, "
              f"median {np.median(teme):.2f} m, max {max(teme):.2f} m ({len(dates)} dates 2000-2024)")
        print(f"{name}: ECI -> EFG against astropy, same EOP: max {max(efg_r):.3f} mm, {max(efg_v):.4f} mm/s")


if __name__ == "__main__":
    main()
