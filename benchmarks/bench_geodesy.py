"""EFG.to_llh and LLH.to_efg against pymap3d and pyproj: time per scalar call from Python, and accuracy of
each on the same points against the mpmath reference of tests/geodesy_reference.py.

    python3 -m pip install pymap3d pyproj mpmath
    python3 benchmarks/bench_geodesy.py [--points N] [--docs]

All three work on the module's ellipsoid (a = 6378.1374 km, e2 = 0.0066943799901414); the peers in metres.
With --docs the markdown tables replace their measured block "geodesy" of docs/guide/performance.md.
"""
import argparse
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import geodesy_reference as ref  # noqa: E402
import pymap3d  # noqa: E402
import pyproj  # noqa: E402
from vextal.astro.orbitvector import EFG, LLH  # noqa: E402
from vextal.vector3 import Vector3  # noqa: E402
from _docs_tables import write_measured  # noqa: E402
from _timing import take_turns  # noqa: E402

A_M = ref.A * 1000.0


def vextal_case(points):
    states = [EFG(0.0, Vector3(*p)) for p in points]
    llhs = [s.to_llh() for s in states]

    def to_llh(x, y, z):
        return tuple(EFG(0.0, Vector3(x, y, z)).to_llh())

    def to_efg(lat, lon, h):
        return tuple(LLH(lat, lon, h).to_efg())

    def loop_llh():
        for s in states:
            s.to_llh()

    def loop_efg():
        for g in llhs:
            g.to_efg()

    return "vextal", to_llh, to_efg, loop_llh, loop_efg


def pymap3d_case(points):
    ell = pymap3d.Ellipsoid(semimajor_axis=A_M, semiminor_axis=A_M * math.sqrt(1.0 - ref.E2), name="vextal")
    metres = [(x * 1e3, y * 1e3, z * 1e3) for x, y, z in points]
    geodetic = [pymap3d.ecef2geodetic(*p, ell) for p in metres]
    ecef2geodetic, geodetic2ecef = pymap3d.ecef2geodetic, pymap3d.geodetic2ecef

    def to_llh(x, y, z):
        lat, lon, h = ecef2geodetic(x * 1e3, y * 1e3, z * 1e3, ell)
        return float(lat), float(lon) % 360.0, float(h) / 1e3

    def to_efg(lat, lon, h):
        return tuple(float(c) / 1e3 for c in geodetic2ecef(lat, lon, h * 1e3, ell))

    def loop_llh():
        for x, y, z in metres:
            ecef2geodetic(x, y, z, ell)

    def loop_efg():
        for lat, lon, h in geodetic:
            geodetic2ecef(lat, lon, h, ell)

    return "pymap3d %s" % pymap3d.__version__, to_llh, to_efg, loop_llh, loop_efg


def pyproj_case(points):
    ellipsoid = "+a=%r +es=%r" % (A_M, ref.E2)
    geocentric = pyproj.CRS("+proj=geocent %s +units=m +no_defs" % ellipsoid)
    geographic = pyproj.CRS("+proj=longlat %s +no_defs" % ellipsoid)
    forward = pyproj.Transformer.from_crs(geocentric, geographic, always_xy=True)
    inverse = pyproj.Transformer.from_crs(geographic, geocentric, always_xy=True)
    metres = [(x * 1e3, y * 1e3, z * 1e3) for x, y, z in points]
    lonlat = [forward.transform(*p) for p in metres]
    fwd, inv = forward.transform, inverse.transform

    def to_llh(x, y, z):
        lon, lat, h = fwd(x * 1e3, y * 1e3, z * 1e3)
        return lat, lon % 360.0, h / 1e3

    def to_efg(lat, lon, h):
        return tuple(c / 1e3 for c in inv(lon, lat, h * 1e3))

    def loop_llh():
        for x, y, z in metres:
            fwd(x, y, z)

    def loop_efg():
        for lon, lat, h in lonlat:
            inv(lon, lat, h)

    return "pyproj %s (PROJ %s)" % (pyproj.__version__, pyproj.proj_version_str), to_llh, to_efg, loop_llh, loop_efg


def to_efg_error(to_efg, llh_refs):
    """Largest distance (km) between to_efg of the reference geodetic coordinates and their exact position."""
    worst = 0.0
    for lat, lon, h in llh_refs:
        exact = ref.efg(lat, lon, h)
        got = to_efg(float(lat), float(lon), float(h))
        worst = max(worst, math.sqrt(sum(float(g - e) ** 2 for g, e in zip(got, exact))))
    return worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=2000, help="points for the accuracy tables")
    parser.add_argument("--timing-points", type=int, default=1000, help="points per timing loop")
    parser.add_argument("--repeat", type=int, default=20, help="timing repeats (the best is taken)")
    parser.add_argument("--docs", "--readme", dest="docs", action="store_true",
                        help="write the tables into docs/guide/performance.md")
    args = parser.parse_args()

    timing_points = [p for p, _ in ref.sample_points(args.timing_points, seed=1)]
    accuracy_points = ref.sample_points(args.points, seed=2)
    references = [ref.geodetic(*p) for p, _ in accuracy_points]
    llh_refs = references[: max(200, args.points // 4)]

    cases = [make(timing_points) for make in (vextal_case, pymap3d_case, pyproj_case)]
    # Warm: three runs of a loop in a row, the first one warming the caches; the loops take turns.
    loops = [loop for case in cases for loop in case[3:]]
    times = [t.seconds / len(timing_points) for t in take_turns(loops, args.repeat, in_a_row=3)]
    rows = []
    for i, (name, to_llh, to_efg, _, _) in enumerate(cases):
        table = ref.measure(accuracy_points, to_llh, to_efg, references)
        rows.append((name, times[2 * i], times[2 * i + 1], table, to_efg_error(to_efg, llh_refs)))

    base = rows[0]
    um = 1e9  # micrometres per km
    lines = [
        "Per scalar call from Python (CPython %d.%d, best of %d warm loops over %d points); errors are the largest on %d "
        "random points from 100 km below the surface to 50,000 km at every latitude (a quarter within 1e-9 to 1 "
        "degree of a pole), against a 34-digit mpmath reference. `to_efg` error: the position from exact geodetic "
        "coordinates; round trip: `to_llh` then `to_efg`."
        % (sys.version_info[0], sys.version_info[1], args.repeat, len(timing_points), len(accuracy_points)),
        "",
        "| library | to_llh (us) | to_efg (us) | vextal faster (to_llh / to_efg) | latitude error (deg) "
        "| longitude error (deg) | height error (um) | to_efg error (um) | round trip (um) |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for name, t_llh, t_efg, table, efg_err in rows:
        lines.append("| %s | %.3f | %.3f | %s | %.1e | %.1e | %.2g | %.2g | %.2g |" % (
            name, t_llh * 1e6, t_efg * 1e6,
            "-" if name == base[0] else "%.1fx / %.1fx" % (t_llh / base[1], t_efg / base[2]),
            table.overall("latitude"), table.overall("longitude"), table.overall("height") * um, efg_err * um,
            table.overall("round_trip") * um))
    lines += ["", "Largest height error (um) / round trip (um) per height band (km):", "",
              "| library | " + " | ".join("%g to %g" % band for band in ref.BANDS) + " |",
              "|---|" + "---|" * len(ref.BANDS)]
    for name, _, _, table, _ in rows:
        cells = ["%.2g / %.2g" % (table.worst[b]["height"] * um, table.worst[b]["round_trip"] * um) for b in ref.BANDS]
        lines.append("| %s | %s |" % (name, " | ".join(cells)))
    text = "\n".join(lines)
    print(text)
    if args.docs:
        write_measured("geodesy", text)


if __name__ == "__main__":
    main()
