"""The array functions of vextal.astro.arrays against the peers' array (or loop) interfaces, in one run.

    python3 -m pip install ".[bench]"
    python3 benchmarks/bench_arrays.py [--points N] [--problems N] [--docs]

- Geodesy on N points (default 1e6), one thread: efg_to_llh / llh_to_efg (each kernel path this machine has)
  against pyerfa (gc2gde / gd2gce), pyproj's Transformer on arrays and pymap3d on arrays; accuracy of each
  against the 34-digit reference of tests/geodesy_reference.py on 300 points; the bare cost of the two arc
  tangents (NumPy's arctan2) and of moving the data (a copy) for scale.
- Lambert on N problems (default 1e5; the native benchmark's LEO-to-GEO distribution), 0 and 5 revolutions:
  threads=1 against the native core on the same problems (cpp/core/tests, when a C++ compiler is there),
  and all cores against lambert-rs. One-thread figures are CPU times (the machine may be shared), the
  all-core ones and the scaling wall-clock times. lambert-rs solves every pair of its position pairs with every time of
  flight, so both are given P position pairs x T times of flight (P * T = N): vextal by broadcasting
  (r1[:, None], r2[:, None], tof[None, :]).
- propagate on N states (default 1e6) against hapsira's farnocchia and vallado and pykep's
  propagate_lagrangian, called per state in a loop (what they offer), timed on a subset.
- Scaling: threads=2 against threads=1.
A missing (or broken) peer is skipped with a note. With --docs the tables replace their
measured block "arrays" of docs/guide/performance.md.
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile

# NumPy's BLAS threads spin for a while after any BLAS call, and their CPU time would count against the
# one-thread figures below (which are CPU times); nothing here needs a threaded BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import geodesy_reference as ref  # noqa: E402
from vextal.astro import arrays  # noqa: E402
from _docs_tables import write_measured  # noqa: E402
from _timing import best_cpu, best_of  # noqa: E402

MU = 398600.5
A_M = ref.A * 1000.0
FLATTENING = 1.0 - math.sqrt(1.0 - ref.E2)


def peer(name, make):
    """make() -> value, or None with a note when the peer is missing or broken."""
    try:
        return make()
    except Exception as e:  # noqa: BLE001 - any failure to import or set up a peer skips it
        print("  (skipped %s: %s: %s)" % (name, type(e).__name__, str(e).splitlines()[0][:100]))
        return None


# ---- geodesy --------------------------------------------------------------------------------------------------

def geodesy_points(n, seed=5):
    rng = np.random.default_rng(seed)
    lat = np.degrees(np.arcsin(rng.uniform(-1, 1, n)))
    llh = np.stack([lat, rng.uniform(0, 360, n), rng.uniform(-10, 2000, n)], axis=-1)
    return arrays.llh_to_efg(llh), llh


class GeodesyCase:
    """One library's conversions: `to_llh` and `to_efg` take and return its own native forms (the timed calls);
    the other members convert from and to (n, 3) arrays of km and of latitude, longitude (deg), height (km)."""

    def __init__(self, name, to_llh, to_efg, xyz_in, llh_in, llh_out, xyz_out):
        self.name, self.to_llh, self.to_efg = name, to_llh, to_efg
        self.xyz_in, self.llh_in, self.llh_out, self.xyz_out = xyz_in, llh_in, llh_out, xyz_out


def same(a):
    return a


def columns(a, scale=(1.0, 1.0, 1.0)):
    return tuple(np.ascontiguousarray(a[:, i]) * scale[i] for i in range(3))


def geodesy_cases():
    cases = []
    for path in ("avx2", "sse2", "scalar"):
        if arrays._geodesy_path(path) == path:
            def to_llh(xyz, path=path):
                arrays._geodesy_path(path)
                return arrays.efg_to_llh(xyz, threads=1)

            def to_efg(llh, path=path):
                arrays._geodesy_path(path)
                return arrays.llh_to_efg(llh, threads=1)

            cases.append(GeodesyCase("vextal (%s kernels)" % path, to_llh, to_efg, same, same, same, same))
    arrays._geodesy_path("avx2")

    def erfa_case():
        import erfa
        return GeodesyCase(
            "pyerfa %s" % erfa.__version__,
            lambda x: erfa.gc2gde(ref.A, FLATTENING, x),
            lambda g: erfa.gd2gce(ref.A, FLATTENING, *g),
            same,
            lambda g: (np.radians(g[:, 1]), np.radians(g[:, 0]), np.ascontiguousarray(g[:, 2])),
            lambda r: np.stack([np.degrees(r[1]), np.degrees(r[0]) % 360, r[2]], axis=-1),
            same)

    def pyproj_case():
        import pyproj
        ell = "+a=%r +es=%r" % (A_M, ref.E2)
        geocentric = pyproj.CRS("+proj=geocent %s +units=m +no_defs" % ell)
        geographic = pyproj.CRS("+proj=longlat %s +no_defs" % ell)
        forward = pyproj.Transformer.from_crs(geocentric, geographic, always_xy=True)
        inverse = pyproj.Transformer.from_crs(geographic, geocentric, always_xy=True)
        return GeodesyCase(
            "pyproj %s" % pyproj.__version__,
            lambda m: forward.transform(*m),
            lambda g: inverse.transform(*g),
            lambda x: columns(x, (1e3, 1e3, 1e3)),
            lambda g: (np.ascontiguousarray(g[:, 1]), np.ascontiguousarray(g[:, 0]), g[:, 2] * 1e3),
            lambda r: np.stack([r[1], np.asarray(r[0]) % 360, np.asarray(r[2]) / 1e3], axis=-1),
            lambda r: np.stack(r, axis=-1) / 1e3)

    def pymap3d_case():
        import pymap3d
        ell = pymap3d.Ellipsoid(semimajor_axis=A_M, semiminor_axis=A_M * math.sqrt(1.0 - ref.E2), name="vextal")
        return GeodesyCase(
            "pymap3d %s" % pymap3d.__version__,
            lambda m: pymap3d.ecef2geodetic(*m, ell),
            lambda g: pymap3d.geodetic2ecef(*g, ell),
            lambda x: columns(x, (1e3, 1e3, 1e3)),
            lambda g: columns(g, (1.0, 1.0, 1e3)),
            lambda r: np.stack([r[0], np.asarray(r[1]) % 360, np.asarray(r[2]) / 1e3], axis=-1),
            lambda r: np.stack(r, axis=-1) / 1e3)

    for name, make in (("pyerfa", erfa_case), ("pyproj", pyproj_case), ("pymap3d", pymap3d_case)):
        case = peer(name, make)
        if case:
            cases.append(case)
    return cases


def geodesy_accuracy(case, points, refs):
    """Largest latitude (degrees) and height (km) errors against the reference, and the largest round trip
    (km) through the library's own inverse."""
    got = case.llh_out(case.to_llh(case.xyz_in(points)))
    lat_err = max(abs(float(g[0] - r[0])) for g, r in zip(got, refs))
    h_err = max(abs(float(g[2] - r[2])) for g, r in zip(got, refs))
    back = case.xyz_out(case.to_efg(case.llh_in(got)))
    return lat_err, h_err, float(np.linalg.norm(back - points, axis=-1).max())


def geodesy_table(n):
    xyz, llh = geodesy_points(n)
    sample = np.array([p for p, _ in ref.sample_points(300)])
    refs = [ref.geodetic(*p) for p in sample]
    rows = []
    for case in geodesy_cases():
        native_xyz, native_llh = case.xyz_in(xyz), case.llh_in(llh)
        t_llh = best_cpu(lambda: case.to_llh(native_xyz)) / n * 1e9
        t_efg = best_cpu(lambda: case.to_efg(native_llh)) / n * 1e9
        lat_err, h_err, trip = geodesy_accuracy(case, sample, refs)
        rows.append((case.name, t_llh, t_efg, lat_err, h_err * 1e12, trip * 1e12))
    arrays._geodesy_path("avx2")
    x, y = xyz[:, 0].copy(), xyz[:, 1].copy()
    floor_atan = best_cpu(lambda: (np.arctan2(y, x), np.arctan2(x, y))) / n * 1e9
    phi, lam = np.radians(llh[:, 0]), np.radians(llh[:, 1])
    floor_sincos = best_cpu(lambda: (np.sin(phi), np.cos(phi), np.sin(lam), np.cos(lam))) / n * 1e9
    out = np.empty_like(xyz)
    floor_copy = best_cpu(lambda: np.copyto(out, xyz)) / n * 1e9
    return rows, (floor_atan, floor_sincos, floor_copy)


# ---- Lambert ----------------------------------------------------------------------------------------------------

def lambert_problems(pairs, tofs, seed=99):
    """The native benchmark's geocentric distribution: radii log-uniform 6600..42200 km, directions uniform,
    times of flight 0.01 to 25 periods of the mean radius's circular orbit (per pair: a grid in log time)."""
    rng = np.random.default_rng(seed)
    u = rng.normal(size=(2, pairs, 3))
    u /= np.linalg.norm(u, axis=-1, keepdims=True)
    radii = 6600 * (42200 / 6600) ** rng.uniform(size=(2, pairs, 1))
    r1, r2 = u * radii
    a = 0.5 * (radii[0, :, 0] + radii[1, :, 0])
    period = 2 * math.pi * np.sqrt(a ** 3 / MU)
    scale = 10.0 ** (-2 + 3.4 * rng.uniform(size=tofs))
    return r1, r2, scale, period


def native_lambert(r1, r2, tof, max_revs):
    """ns per problem of the native core on the same problems, or None."""
    with tempfile.NamedTemporaryFile(suffix=".bin", delete=False) as f:
        rows = np.concatenate([r1, r2, tof[:, None]], axis=-1)
        f.write(np.ascontiguousarray(rows, dtype=np.float64).tobytes())
        path = f.name
    try:
        proc = subprocess.run(["sh", os.path.join(HERE, os.pardir, "cpp", "core", "tests", "build.sh"), "--lambert-file", path, str(max_revs)],
                              capture_output=True, text=True, timeout=600)
        if proc.returncode != 0:
            print("  (skipped the native core: %s)" % proc.stderr.strip().splitlines()[-1:])
            return None
        return float(proc.stdout.split("problem")[0].split(":")[1].split()[0])
    finally:
        os.unlink(path)


def lambert_table(n):
    pairs = 1000
    tofs = max(1, n // pairs)
    r1, r2, scale, period = lambert_problems(pairs, tofs)
    # vextal's broadcast grid and lambert-rs's all-pairs grid: pair i with time of flight j is tof[i, j].
    # lambert-rs takes one list of times for all pairs, so its times are scale * a common period, and ours
    # the same: tof[i, j] = scale[j] * period_mean.
    tof = scale * period.mean()
    total = pairs * tofs
    flat_r1 = np.repeat(r1, tofs, axis=0)
    flat_r2 = np.repeat(r2, tofs, axis=0)
    flat_tof = np.tile(tof, pairs)
    rs = peer("lambert-rs", lambda: __import__("lambert_rs"))
    rows = []
    for revs in (0, 5):
        one = best_cpu(lambda: arrays.lambert(flat_r1, flat_r2, flat_tof, max_revs=revs, threads=1)) / total * 1e9
        native = native_lambert(flat_r1, flat_r2, flat_tof, revs)
        every = best_of(lambda: arrays.lambert(r1[:, None], r2[:, None], tof[None, :], max_revs=revs)) / total * 1e9
        peer_t = None
        if rs is not None:
            peer_t = best_of(lambda: rs.lambert_izzo_vec(r1, r2, tof, revs, False, mu=MU)) / total * 1e9
        rows.append((revs, one, native, every, peer_t))
    return rows, total


# ---- propagation ------------------------------------------------------------------------------------------------

def propagation_states(n, seed=11):
    rng = np.random.default_rng(seed)
    radius = rng.uniform(6600, 42000, (n, 1))
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=-1, keepdims=True)
    w = np.cross(u, rng.normal(size=(n, 3)))
    w /= np.linalg.norm(w, axis=-1, keepdims=True)
    speed = np.sqrt(MU / radius) * rng.uniform(0.8, 1.2, (n, 1))  # ellipses, e < 0.44
    return u * radius, w * speed, rng.uniform(-20000, 20000, n)


def propagate_table(n):
    r, v, dt = propagation_states(n)
    rows = [("vextal propagate, threads=1", best_cpu(lambda: arrays.propagate(r, v, dt, threads=1)) / n * 1e9),
            ("vextal propagate, all cores", best_of(lambda: arrays.propagate(r, v, dt)) / n * 1e9)]
    m = min(n, 20000)

    def hapsira_case():
        from hapsira.core.propagation import farnocchia, vallado
        farnocchia(MU, r[0], v[0], float(dt[0]))
        vallado(MU, r[0], v[0], float(dt[0]), 350)

        def loop_farnocchia():
            for i in range(m):
                farnocchia(MU, r[i], v[i], dt[i])

        def loop_vallado():
            for i in range(m):
                f, g, fd, gd = vallado(MU, r[i], v[i], dt[i], 350)
                (f * r[i] + g * v[i], fd * r[i] + gd * v[i])

        return [("hapsira farnocchia (loop)", best_cpu(loop_farnocchia, 2) / m * 1e9),
                ("hapsira vallado (loop, r and v formed)", best_cpu(loop_vallado, 2) / m * 1e9)]

    def pykep_case():
        import pykep
        rl, vl = r[:m].tolist(), v[:m].tolist()
        dl = dt[:m].tolist()

        def loop():
            for i in range(m):
                pykep.propagate_lagrangian([rl[i], vl[i]], dl[i], MU)

        return [("pykep %s propagate_lagrangian (loop)" % pykep.__version__, best_cpu(loop, 2) / m * 1e9)]

    for name, make in (("hapsira", hapsira_case), ("pykep", pykep_case)):
        got = peer(name, make)
        if got:
            rows.extend(got)
    return rows


def scaling_table(n, problems):
    xyz, llh = geodesy_points(n)
    r, v, dt = propagation_states(min(n, 200000))
    pairs = 1000
    r1, r2, scale, period = lambert_problems(pairs, max(1, problems // pairs))
    tof = np.tile(scale * period.mean(), pairs)
    r1, r2 = np.repeat(r1, len(scale), axis=0), np.repeat(r2, len(scale), axis=0)
    calls = [
        ("efg_to_llh (%d points)" % n, lambda t: arrays.efg_to_llh(xyz, threads=t)),
        ("llh_to_efg (%d points)" % n, lambda t: arrays.llh_to_efg(llh, threads=t)),
        ("propagate (%d states)" % len(dt), lambda t: arrays.propagate(r, v, dt, threads=t)),
        ("lambert, 5 revolutions (%d problems)" % len(tof), lambda t: arrays.lambert(r1, r2, tof, max_revs=5, threads=t)),
    ]
    return [(name, best_of(lambda: f(1)), best_of(lambda: f(2))) for name, f in calls]


# ---- output -----------------------------------------------------------------------------------------------------

def render(n_points, n_problems, geo, floors, lam, total, prop, scale):
    out = []
    out.append("### Geodesy, %d points, one thread\n" % n_points)
    out.append("| library | EFG to LLH (ns/point) | LLH to EFG (ns/point) | latitude error (deg) | height error (nm) "
               "| round trip (nm) |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for name, t1, t2, lat, h, trip in geo:
        out.append("| %s | %.1f | %.1f | %.1e | %.3g | %.3g |" % (name, t1, t2, lat, h, trip))
    out.append("")
    out.append("Errors: largest over 300 points from -100 km to 50,000 km (a quarter within 1e-9 to 1 degree of a "
               "pole) against the 34-digit reference; the round trip goes through each library's own inverse. "
               "For scale: two NumPy `arctan2` over the points take %.1f ns/point, four `sin`/`cos` %.1f ns, "
               "copying the (n, 3) array %.1f ns.\n" % floors)
    out.append(GEODESY_NOTES)
    out.append("### Lambert, %d problems (1000 position pairs x %d times of flight)\n" % (total, total // 1000))
    out.append("| max_revs | vextal threads=1 (ns/problem) | native core, same problems (ns) | ratio "
               "| vextal all cores (ns) | lambert-rs all cores (ns) | lambert-rs / vextal |")
    out.append("|---:|---:|---:|---:|---:|---:|---:|")
    for revs, one, native, every, peer_t in lam:
        out.append("| %d | %.0f | %s | %s | %.0f | %s | %s |" % (
            revs, one, "%.0f" % native if native else "-", "%.2f" % (one / native) if native else "-", every,
            "%.0f" % peer_t if peer_t else "-", "%.1f" % (peer_t / every) if peer_t else "-"))
    out.append("")
    out.append(LAMBERT_NOTES)
    out.append("### Propagation, ns per state\n")
    out.append("| propagator | ns/state |")
    out.append("|---|---:|")
    for name, t in prop:
        out.append("| %s | %.0f |" % (name, t))
    out.append("")
    out.append("### Scaling, threads=2 against threads=1\n")
    out.append("| call | threads=1 (ms) | threads=2 (ms) | speed-up |")
    out.append("|---|---:|---:|---:|")
    for name, t1, t2 in scale:
        out.append("| %s | %.1f | %.1f | %.2f |" % (name, t1 * 1e3, t2 * 1e3, t1 / t2))
    return "\n".join(out) + "\n"


GEODESY_NOTES = """The kernels are chosen at run time: four lanes where the CPU has AVX2 and glibc's vector maths library
(libmvec) is there, two lanes (SSE2) with libmvec alone, otherwise point by point. Where the time goes (a perf
profile of `efg_to_llh` on this machine): about half in the two Halley steps' chain of square roots and
divisions, an eighth in libmvec's two arc tangents, an eighth in the kernel zeroing the fresh output pages;
the bare data movement (the copy above) is a tenth. pyerfa is close to its own bare arithmetic: about 40% of
its time is in scalar `atan`/`atan2`, 16% in the closed form itself, 13% in zeroing its output. pyproj's
profile spreads over PROJ's per-point transformation code, scalar arc tangents a tenth of it; pymap3d's
largest item is the kernel zeroing pages for its NumPy temporaries, then scalar `hypot`, `sin`, `cos`.
"""

LAMBERT_NOTES = """One-thread figures are CPU times: the native core's (`cpp/core/tests/build.sh --lambert-file`) is the
bare solver looping over the same problems without storing anything; the array function also stores every
arc (about 3% in C++ alone) into fresh output arrays whose pages the kernel must zero (a few % more). lambert-rs takes n position pairs and m
times of flight and solves all n x m; vextal gets the same grid by broadcasting.
"""

def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--points", type=int, default=1000000)
    parser.add_argument("--problems", type=int, default=100000)
    parser.add_argument("--docs", "--readme", dest="docs", action="store_true",
                        help="write the tables into docs/guide/performance.md")
    args = parser.parse_args()
    print("geodesy ...")
    geo, floors = geodesy_table(args.points)
    print("lambert ...")
    lam, total = lambert_table(args.problems)
    print("propagate ...")
    prop = propagate_table(args.points)
    print("scaling ...")
    scale = scaling_table(args.points, args.problems)
    text = render(args.points, args.problems, geo, floors, lam, total, prop, scale)
    print(text)
    if args.docs:
        write_measured("arrays", text)
    # hapsira brings numba's LLVM and pykep loads its own with RTLD_GLOBAL (even when its import then fails):
    # with both in one process their teardown at exit can corrupt the heap (seen without vextal loaded at
    # all). The tables are out: skip the teardown.
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
