"""States of many catalogue objects at many epochs in an inertial frame, against the peers, in one run.

    python3 -m pip install ".[bench]"
    python3 benchmarks/bench_tle.py [--satellites N] [--epochs M]

N element sets (default 1,000, LEO to GEO, made with the sgp4 package's exporter) at M epochs (default 1,440,
one a minute over a day):
- vextal: ``propagate_many`` (the sgp4 package's array call, then TEME -> the J2000 mean frame with one
  IAU-76/80 rotation per epoch), from TLE objects to ECI arrays;
- sgp4: the bare ``SatrecArray.sgp4`` call (TEME, no rotation): the floor, the goal is within 1.2x of it;
- skyfield: ``EarthSatellite.at(times)`` per satellite (GCRS), its array interface over epochs;
- satkit: ``satkit.sgp4`` over all element sets and epochs, then its TEME -> GCRF quaternions per epoch (satkit
  runs offline here, with zero EOP).
Each timing is the best of --repeat runs (wall clock; the machine is shared). Agreement with vextal's positions
is printed too (different frames and models: GCRS is 20 m from the J2000 mean frame in LEO).
"""
import argparse
import math
import time
import warnings

import numpy as np
from sgp4.api import WGS72, Satrec, SatrecArray
from sgp4.exporter import export_tle

from vextal.astro import _tle, frames
from vextal.astro import time as vtime

START = "2024-01-01T00:00:00"


def make_tles(n, rng):
    lines = []
    epoch_jd = 2460310.5 - 2433281.5  # 2024-01-01 in days since 1949-12-31 00:00 UT (sgp4init's epoch)
    for k in range(n):
        sat = Satrec()
        mean_motion = rng.uniform(1.0027, 16.0)  # rev/day
        sat.sgp4init(WGS72, "i", k + 1, epoch_jd, rng.uniform(0, 1e-4), 0.0, 0.0, rng.uniform(0, 0.05),
                     math.radians(rng.uniform(0, 360)), math.radians(rng.uniform(0, 120)),
                     math.radians(rng.uniform(0, 360)), mean_motion * 2 * math.pi / 1440.0,
                     math.radians(rng.uniform(0, 360)))
        lines.append(export_tle(sat))
    return lines


def best(f, repeat):
    times = []
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--satellites", type=int, default=1000)
    parser.add_argument("--epochs", type=int, default=1440)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rng = np.random.default_rng(2024)
    lines = make_tles(args.satellites, rng)
    tles = [_tle.TLE(*pair) for pair in lines]
    epochs = vtime.epoch(START) + 60.0 * np.arange(args.epochs)
    n = args.satellites * args.epochs
    rows = []

    t_vx, ours = best(lambda: _tle.propagate_many(tles, epochs), args.repeat)
    rows.append(("vextal propagate_many (J2000 mean)", t_vx))
    jd, fr = vtime.jd(epochs)
    array = SatrecArray([t.satrec for t in tles])
    t_sgp4, (_, r_teme, _) = best(lambda: array.sgp4(jd, fr), args.repeat)
    rows.append(("sgp4 SatrecArray.sgp4 (TEME, no rotation)", t_sgp4))
    t_rot, _ = best(lambda: frames.teme_to_eci(r_teme, r_teme, epochs), args.repeat)
    rows.append(("  of which vextal's rotation alone", t_rot))
    ok = ours.status == 0

    try:
        from skyfield.api import EarthSatellite, load

        ts = load.timescale(builtin=True)
        dt64 = vtime.to_datetime64(epochs)
        t_sf = ts.from_datetimes([d.astype("datetime64[us]").item().replace(tzinfo=__import__("datetime").timezone.utc)
                                  for d in dt64])
        sats = [EarthSatellite(l1, l2, ts=ts) for l1, l2 in lines]
        t_sky, sky = best(lambda: [s.at(t_sf).position.km.T for s in sats], max(1, args.repeat - 2))
        rows.append(("skyfield EarthSatellite.at per satellite (GCRS)", t_sky))
        sky = np.array(sky)
        print("skyfield vs vextal positions: median %.1f m, max %.1f m"
              % (np.median(np.linalg.norm(sky - ours.r, axis=-1)[ok]) * 1e3,
                 np.max(np.linalg.norm(sky - ours.r, axis=-1)[ok]) * 1e3))
    except Exception as err:  # a missing or broken peer is skipped with a note
        print("skyfield skipped:", err)

    try:
        import satkit as sk

        warnings.simplefilter("ignore")
        sk.frametransform.disable_eop_time_warning()
        sk_tles = sk.TLE.from_lines([line for pair in lines for line in pair])
        start = sk.time(2024, 1, 1, 0, 0, 0)
        sk_times = [start + sk.duration.from_seconds(60.0 * k) for k in range(args.epochs)]

        def run_satkit():
            p, _ = sk.sgp4(sk_tles, sk_times)
            p = np.asarray(p)
            qs = sk.frametransform.qteme2gcrf(sk_times)
            return np.stack([q * p[:, k, :] for k, q in enumerate(qs)], axis=1)

        t_sk, out = best(run_satkit, max(1, args.repeat - 2))
        rows.append(("satkit sgp4 + qteme2gcrf (GCRF)", t_sk))
        out = np.asarray(out)
        if out.shape[-1] != 3:
            out = np.swapaxes(out, -1, -2)
        d = np.linalg.norm(out / 1e3 - ours.r, axis=-1)[ok]
        print("satkit vs vextal positions: median %.1f m, max %.1f m" % (np.median(d) * 1e3, np.max(d) * 1e3))
    except Exception as err:
        print("satkit skipped:", err)

    print(f"\n{args.satellites} TLEs x {args.epochs} epochs = {n} states, best of {args.repeat} (wall clock)")
    print("| library | total (s) | ns / state | / sgp4 |")
    print("|---|---:|---:|---:|")
    for name, t in rows:
        print(f"| {name} | {t:.3f} | {t / n * 1e9:.0f} | {t / t_sgp4:.2f} |")


if __name__ == "__main__":
    main()
