"""The J2 propagator against scipy's DOP853 and brahe (satkit where it runs offline), one LEO day, in one run.

    python3 -m pip install ".[bench]"
    python3 benchmarks/bench_j2.py [--readme]

A circular 400 km orbit inclined 51.6 degrees, moved one day under the central field and J2 alone. Each
integrator runs at a ladder of tolerances; its error is the distance after the day from its own far tighter
run (scipy and vextal integrate the same model, and their tight runs agree to a few micrometres; brahe's
constants differ slightly, so it is measured against itself). For each, the loosest tolerance whose error is
within 1 mm is timed (best of several calls, one thread). vextal's public `propagate_j2` (fixed tolerance
1e-13, far within 1 mm) is given too, and per state over a batch of 1000 states on one and on every core.
A missing or broken peer (satkit downloads a JPL ephemeris on first use) is skipped with a note. With
--readme the table replaces the section "J2 propagation: speed and accuracy" of README.md.
"""
import argparse
import math
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from vextal.astro import arrays  # noqa: E402
from _readme import replace_readme_section  # noqa: E402

MU, J2, RE = 398600.5, 1.08262668e-3, 6378.1374
DAY = 86400.0
ACCURACY = 1e-6  # km
SECTION = "## J2 propagation: speed and accuracy"


def leo():
    a, inc = 6778.1374, math.radians(51.6)
    speed = math.sqrt(MU / a)
    return np.array([a, 0.0, 0.0]), speed * np.array([0.0, math.cos(inc), math.sin(inc)])


def best(f, repeat=7):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


SKIPPED = []  # notes for the README


def peer(name, make):
    try:
        return make()
    except Exception as e:  # noqa: BLE001 - a peer that cannot run is skipped with a note
        note = "%s: %s: %s" % (name, type(e).__name__, str(e).splitlines()[0][:120])
        print("  (skipped %s)" % note)
        SKIPPED.append("skipped " + note)
        return None


def ladder(name, run, tolerances, reference, repeat=7):
    """Errors at each tolerance; the loosest within ACCURACY is timed. Returns a table row or None."""
    chosen = None
    for tol in tolerances:
        err = float(np.linalg.norm(run(tol) - reference))
        print("  %-28s tol %-7.0e error %.2e km" % (name, tol, err))
        if err <= ACCURACY and chosen is None:
            chosen = (tol, err)
    if chosen is None:
        print("  %s: no tolerance reaches 1 mm" % name)
        SKIPPED.append("%s: no tolerance down to %.0e reaches 1 mm" % (name, tolerances[-1]))
        return None
    tol, err = chosen
    seconds = best(lambda: run(tol), repeat)
    return name, "%.0e" % tol, err, seconds


def vextal_rows(r0, v0, reference):
    def run(rtol):
        return arrays._sample_j2(r0, v0, [DAY], rtol=rtol)[0][0]

    rows = [ladder("vextal DOP853", run, [1e-10, 3e-11, 1e-11, 3e-12, 1e-12], reference, repeat=21)]
    r, _ = arrays.propagate_j2(r0, v0, DAY)
    rows.append(("vextal propagate_j2 (default)", "1e-13", float(np.linalg.norm(r - reference)),
                 best(lambda: arrays.propagate_j2(r0, v0, DAY), 21)))
    return rows


def scipy_rhs(_t, y):
    r = y[:3]
    rn = math.sqrt(r @ r)
    s = 5.0 * r[2] ** 2 / (rn * rn)
    c = 1.5 * J2 * MU * RE**2 / rn**5
    a = -MU * r / rn**3 - c * r * np.array([1.0 - s, 1.0 - s, 3.0 - s])
    return np.concatenate([y[3:], a])


def scipy_run(r0, v0, rtol):
    from scipy.integrate import solve_ivp

    # error weights as vextal's: the size of the position and of the velocity
    atol = np.repeat([rtol * np.linalg.norm(r0), rtol * np.linalg.norm(v0)], 3)
    sol = solve_ivp(scipy_rhs, (0.0, DAY), np.concatenate([r0, v0]), method="DOP853", rtol=rtol, atol=atol)
    return sol.y[:3, -1]


def brahe_case(r0, v0):
    import brahe as bh

    bh.initialize_eop()  # the package's own table: no download
    epoch = bh.Epoch.from_datetime(2026, 1, 1, 0, 0, 0.0, 0.0, bh.TimeSystem.UTC)
    x0 = np.concatenate([r0, v0]) * 1e3
    # J2 alone; the rotation to the Earth-fixed frame about the pole only, so the field is the inertial one's
    force = bh.ForceModelConfig(gravity=bh.GravityConfiguration.earth_zonal(bh.ZonalHarmonicsDegree.J2),
                                frame_transform=bh.FrameTransformationModel.EARTH_ROTATION_ONLY)

    def runner(method):
        def run(tol):
            cfg = (bh.NumericalPropagationConfig.with_method(getattr(bh.IntegrationMethod, method))
                   .with_rel_tol(tol).with_abs_tol(tol * 1e3))
            prop = bh.NumericalOrbitPropagator(epoch, x0, cfg, force, None)
            prop.propagate_to(epoch + DAY)
            return np.asarray(prop.current_state()[:3]) / 1e3
        return run

    return bh.__version__, runner


def satkit_case(r0, v0):
    import satkit as sk

    t0 = sk.time(2026, 1, 1)

    def run(tol):
        ps = sk.propsettings(abs_error=tol, rel_error=tol, gravity_degree=2, gravity_order=0, use_spaceweather=False,
                             use_sun_gravity=False, use_moon_gravity=False)
        ps.use_relativistic_correction = False
        ps.tide_model = sk.tidemodel.none
        res = sk.propagate(np.concatenate([r0, v0]) * 1e3, t0, duration_secs=DAY, propsettings=ps)
        return np.asarray(res.pos) / 1e3

    try:
        run(1e-10)
    except RuntimeError as e:
        if "ephemeris" not in str(e):
            raise
        raise RuntimeError("satkit %s propagates only with its JPL ephemeris, a 102 MB download on first use "
                           "(none here: no network)" % sk.__version__) from None
    return sk.__version__, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--readme", action="store_true", help="write the table into README.md")
    args = parser.parse_args()
    r0, v0 = leo()
    print("reference: scipy DOP853 at rtol 3e-14 (checked against vextal at rtol 1e-15)")
    reference = scipy_run(r0, v0, 3e-14)
    tight = arrays._sample_j2(r0, v0, [DAY], rtol=1e-15)[0][0]
    agreement = float(np.linalg.norm(reference - tight))
    print("  the two tight runs differ by %.2e km" % agreement)
    rows = vextal_rows(r0, v0, reference)
    import scipy
    rows.append(ladder("scipy %s DOP853" % scipy.__version__, lambda tol: scipy_run(r0, v0, tol),
                       [1e-9, 3e-10, 1e-10, 3e-11, 1e-11, 3e-12, 1e-12], reference, repeat=3))
    brahe = peer("brahe", lambda: brahe_case(r0, v0))
    if brahe:
        version, runner = brahe
        own = runner("RKN1210")(1e-14)  # its most accurate integrator, far tighter
        for method in ("RKN1210", "RKF78", "DP54"):
            rows.append(ladder("brahe %s %s" % (version, method), runner(method),
                               [1e-8, 1e-9, 1e-10, 1e-11, 1e-12, 1e-13], own, repeat=7))
    satkit = peer("satkit", lambda: satkit_case(r0, v0))
    if satkit:
        version, run = satkit
        rows.append(ladder("satkit %s" % version, run, [1e-8, 1e-10, 1e-12], run(1e-14)))
    rows = [row for row in rows if row]

    states = 1000
    rs = np.repeat(r0[None], states, axis=0)
    batch1 = best(lambda: arrays.propagate_j2(rs, v0, DAY, threads=1), 3) / states
    batch_all = best(lambda: arrays.propagate_j2(rs, v0, DAY), 3) / states

    scipy_time = next(row[3] for row in rows if row[0].startswith("scipy"))
    lines = ["| integrator | tolerance | error after 1 day (mm) | time (ms) | time / vextal DOP853 |",
             "|---|---:|---:|---:|---:|"]
    base = rows[0][3]
    for name, tol, err, seconds in rows:
        lines.append("| %s | %s | %.3f | %.3f | %.1f |" % (name, tol, err * 1e6, seconds * 1e3, seconds / base))
    table = "\n".join(lines)
    notes = ("vextal at 1 mm is %.0fx faster than scipy's DOP853 at 1 mm. Batches of %d states (propagate_j2, "
             "default tolerance): %.3f ms per state on one thread, %.3f ms on every core (%d). The two tight "
             "references differ by %.1e mm." % (scipy_time / base, states, batch1 * 1e3, batch_all * 1e3,
                                                  len(os.sched_getaffinity(0)), agreement * 1e6))
    if SKIPPED:
        notes += " Not in the table: " + "; ".join(SKIPPED) + "."
    print()
    print(table)
    print()
    print(notes)
    if args.readme:
        body = (SECTION + "\n\n`python3 benchmarks/bench_j2.py --readme` (one LEO day, 400 km, 51.6 degrees, J2 only; "
                "each integrator at the loosest tolerance within 1 mm of its own tight run):\n\n" + table + "\n\n"
                + notes + "\n")
        replace_readme_section(SECTION, body)


if __name__ == "__main__":
    main()
