"""Exact J2 porkchop cells and the window-wide refine, measured in one run.

    python3 benchmarks/bench_exact.py [--size 300] [--threads 1] [--picture]

On the README's pair (a 400 km chaser, a 1000 km target, departures over a day):

- grid: a size x size grid (flights of 20 minutes to 3 hours, up to one revolution) solved on the same J2
  tables twice, with two-body Lambert cells and with exact cells (each cell's transfer shot under J2), on
  `--threads` threads: time per cell of each and their ratio (fastest of two turns taken in alternation), and
  the position miss of every finite exact cell flown in the model (its distribution), with the count of cells
  where no arc converged.
- refine: refine() of an exact J2 grid (41 x 41) on windows whose cheapest arcs have 0 to 5 revolutions:
  milliseconds per call (fastest of three, scipy already imported), the cost and whether the optimum lies on
  the window's edge.
- --picture: the README's ISS-to-depot window (element sets), two-body-arc colours beside exact colours, written
  to docs/exact_tle.png.
"""
import argparse
import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from vextal.astro import _porkchop  # noqa: E402
from vextal.astro.porkchop import porkchop  # noqa: E402
from vextal.astro.trajectory import J2  # noqa: E402
from _timing import take_turns  # noqa: E402

CHASER = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
TARGET = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
#: Times of flight (s) whose cheapest arcs have 0, 1, ... 5 revolutions (the two orbits' periods are 92 and
#: 105 minutes).
REVOLUTION_WINDOWS = [(0, 1200.0, 5400.0), (1, 6000.0, 10800.0), (2, 11500.0, 16500.0), (3, 17000.0, 22000.0),
                      (4, 22500.0, 27500.0), (5, 28000.0, 33000.0)]


def grid_figures(size, threads):
    departures = np.linspace(0.0, 86400.0, size)
    tofs = np.linspace(1200.0, 10800.0, size)
    chaser, target = J2(CHASER), J2(TARGET)
    sources = (chaser._grid_source(0.0, 86400.0), target._grid_source(1200.0, 86400.0 + 10800.0))
    flight = ("j2", chaser.j2, chaser.radius)
    two_body, exact = take_turns([
        lambda: _porkchop.grid(*sources, departures, tofs, True, 1, threads=threads),
        lambda: _porkchop.grid(*sources, departures, tofs, True, 1, threads=threads, flight=flight)],
        repeat=2, keep=True)
    cells = size * size
    print("grid %d x %d, %d thread(s): two-body %.2f us per cell, exact %.1f us per cell, %.0fx"
          % (size, size, threads, two_body.seconds / cells * 1e6, exact.seconds / cells * 1e6,
             exact.seconds / two_body.seconds))
    arrays = exact.result
    status, miss = arrays[5], arrays[6]
    finite = miss[status == 0] * 1e3
    print("exact cells: %d with a transfer, %d screened, %d where no arc converged, %d without an arc"
          % ((status == 0).sum(), (status == 2).sum(), (status == 4).sum(), (status == 1).sum()))
    print("position miss flown in the model (m), every finite cell: median %.2g, 90%% %.2g, 99%% %.2g, max %.2g"
          % tuple(np.percentile(finite, [50, 90, 99, 100])))
    gap = (arrays[2] - arrays[7])[status == 0] * 1e3
    print("exact cost - two-body-arc cost (m/s): median %.1f, 1%% %.1f, 99%% %.1f"
          % tuple(np.nanpercentile(gap, [50, 1, 99])))


def refine_figures():
    for revs, low, high in REVOLUTION_WINDOWS:
        grid = porkchop(CHASER, TARGET, np.linspace(0.0, 86400.0, 41), np.linspace(low, high, 41),
                        max_revs=revs, model="j2")
        grid.refine()  # imports scipy
        (timing,) = take_turns([grid.refine], repeat=3, keep=True)
        transfer = timing.result
        best = grid.best()
        print("refine, %d revolutions: %.0f ms, %.2f m/s (best cell %.2f m/s), %d revolutions, at window edge: %s"
              % (revs, timing.seconds * 1e3, transfer.dv_total * 1e3, best.dv_total * 1e3, transfer.revolutions,
                 transfer.at_window_edge))


def picture(path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from vextal.astro.trajectory import TLE

    iss = TLE("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
              "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006", name="ISS")
    depot = TLE("1 99001U 24001A   24001.50000000  .00001000  00000-0  20000-4 0  9995",
                "2 99001  51.6400 247.6000 0010000 100.0000  20.0000 15.20000000    19")
    departures = np.arange("2024-01-01T12:00", "2024-01-02T00:00", 5, dtype="datetime64[m]")
    tofs = np.linspace(1200, 2.5 * 3600, 100)
    arcs = porkchop(iss, depot, departures, tofs, max_revs=1)
    exact = porkchop(iss, depot, departures, tofs, max_revs=1, model="j2")
    figure, (left, right) = plt.subplots(1, 2, figsize=(14, 5))
    vmax = float(np.nanpercentile(exact.dv_total, 95))
    arcs.plot(ax=left, optimum=arcs.refine(), vmax=vmax, title="two-body arcs between the element sets' states")
    exact.plot(ax=right, optimum=exact.refine(), vmax=vmax, title="exact: each cell's transfer flown under J2")
    figure.tight_layout()
    figure.savefig(path, dpi=72)
    print("best cell: two-body arcs %.1f m/s, exact %.1f m/s; refined: %.1f m/s and %.1f m/s; written %s"
          % (np.nanmin(arcs.dv_total) * 1e3, np.nanmin(exact.dv_total) * 1e3, arcs.refine().dv_total * 1e3,
             exact.refine().dv_total * 1e3, path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=300)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--picture", action="store_true")
    args = parser.parse_args()
    started = time.perf_counter()
    grid_figures(args.size, args.threads)
    refine_figures()
    if args.picture:
        picture(os.path.join(HERE, "..", "docs", "exact_tle.png"))
    print("(%.0f s in all; load average %.1f on %d cores)" % (time.perf_counter() - started, os.getloadavg()[0],
                                                             os.cpu_count() or 0))


if __name__ == "__main__":
    main()
