"""Force models: what the pole of date and the zonal terms change, and the tolerance a LEO day needs.

    PYTHONPATH=build/pkg python3 benchmarks/bench_forces.py

1. The pole of date: a 400 km orbit inclined 51.6 degrees at 2026-06-01, moved under J2 about the frame's z
   axis (arrays.propagate_j2 without an epoch) and about the Earth's pole of date (with the epoch): the
   distance between the two after 1, 6, 12 and 24 hours, and the same for a transfer refined under J2 (the
   README's chaser and target at 2026-06-01) flown about the pole of date: its arrival miss.
2. Zonal terms: the distance after the same spans between J2 and zonal harmonics to degree 6 (EGM96).
3. Tolerance: the distance after a LEO day from an rtol=1e-15 run, for rtol 1e-13 (the default) to 1e-10,
   under Zonal(6), with the time of one propagation (best of five, one thread).
Runs in a few seconds.
"""
import time

import numpy as np

from vextal.astro import arrays, forces, time as vtime
from vextal.astro.porkchop import porkchop

EPOCH = vtime.epoch("2026-06-01T00:00:00")
R0 = np.array([6778.137, 0.0, 0.0])
V0 = np.array([0.0, 4.766, 6.012])  # 400 km, 51.6 degrees
SPANS = [3600.0, 21600.0, 43200.0, 86400.0]


def pole_of_date() -> None:
    print("J2 about the pole of date against the frame's z axis (2026-06-01, 400 km, 51.6 deg):")
    for dt in SPANS:
        flat, _ = arrays.propagate_j2(R0, V0, dt)
        dated, _ = arrays.propagate_j2(R0, V0, dt, epoch=EPOCH)
        print("  after %5.1f h: %8.1f m" % (dt / 3600, np.linalg.norm(flat - dated) * 1e3))
    chaser = (EPOCH, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
    target = (EPOCH, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
    grid = porkchop(chaser, target, np.linspace(50000.0, 62000.0, 21), np.linspace(1200.0, 10800.0, 17),
                    max_revs=1, model="j2")
    transfer = grid.refine()
    r1, v1 = grid.trajectories[0].states(EPOCH + transfer.departure)
    burn1 = np.array(transfer.burns[0].delta_v.to_tuple())
    r2, _ = grid.trajectories[1].states(EPOCH + transfer.departure + transfer.tof)
    for name, epoch in (("the frame's z axis", None), ("the pole of date", EPOCH)):
        rf, _ = arrays.propagate_j2(r1, v1 + burn1, transfer.tof, epoch=epoch)
        print("  transfer planned about the z axis (%.0f s of flight), flown about %s: misses by %.1f m"
              % (transfer.tof, name, np.linalg.norm(rf - r2) * 1e3))


def zonal_terms() -> None:
    print("Zonal harmonics to degree 6 against J2 alone (same orbit, frame's z axis):")
    for dt in SPANS:
        j2, _ = forces.propagate(R0, V0, dt, forces.J2())
        z6, _ = forces.propagate(R0, V0, dt, forces.Zonal(6))
        print("  after %5.1f h: %8.1f m" % (dt / 3600, np.linalg.norm(j2 - z6) * 1e3))


def tolerance() -> None:
    print("Tolerance, one LEO day under Zonal(6): distance from rtol=1e-15 and time of one propagation:")
    model = forces.Zonal(6)
    tight, _ = forces.propagate(R0, V0, 86400.0, model, rtol=1e-15)
    for rtol in (1e-13, 1e-12, 1e-11, 1e-10):
        r, _ = forces.propagate(R0, V0, 86400.0, model, rtol=rtol)
        best = min(_timed(lambda: forces.propagate(R0, V0, 86400.0, model, rtol=rtol, threads=1)) for _ in range(5))
        print("  rtol %g: %8.4f mm, %6.2f ms" % (rtol, np.linalg.norm(r - tight) * 1e6, best * 1e3))


def _timed(call) -> float:
    t = time.perf_counter()
    call()
    return time.perf_counter() - t


if __name__ == "__main__":
    pole_of_date()
    zonal_terms()
    tolerance()
