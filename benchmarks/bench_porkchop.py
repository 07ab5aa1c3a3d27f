"""Porkchop grids: vextal's native grid against lambert-rs and against a Python loop, in one run.

    python3 -m pip install lambert-rs     # in the benchmark environment only
    python3 benchmarks/bench_porkchop.py [--size N] [--loop-rows R]

Same states for all three: a chaser in a 400 km circular orbit and a target in a 1000 km circular orbit 28
degrees inclined from it, 60 degrees ahead, both at epoch 0, and an 8-hour window; zero and up to three
revolutions, prograde, mu = 398600.5 km^3/s^2.

- vextal: `porkchop()` on N departures in [0, 8 h] by N times of flight in [8 h / N, 8 h], every core.
- lambert-rs: `lambert_grid_search(chaser, target, (0, 8 h), dt_step)` with the step chosen so that its
  triangle of (departure < arrival) pairs inside the window holds about N x N cells, on every core (its own
  thread pool). Per cell it propagates both states and keeps the cheapest arc, as vextal does.
- lambert-rs, rectangular: `LambertSearch(chaser, target).grid(departure_times=..., arrival_times=...)` on N
  departures in [0, 8 h] by N arrivals in [8 h, 16 h], so that every cell has arrival after departure.
- Python loop: what a user writes today per cell: both states moved with `propagate_lagrangian_u` (the
  chaser to the departure epoch, the target to the arrival epoch), then `plan_lambert` and the cheapest arc
  by the magnitudes of its burns. Timed over the first R rows.

Figures are cells per second of wall time (best of --repeat rounds, the entries taking turns), with the CPU
time over wall time showing how many cores each used. The grid's memory is its five (N, N) result arrays;
nothing is kept per cell.
"""
import argparse
import math
import os

import numpy as np

from vextal.astro.kepler import propagate_lagrangian_u
from vextal.astro.orbitvector import ECI
from vextal.astro.porkchop import porkchop
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3
from _timing import take_turns

MU = 398600.5
R_EARTH = 6378.1374
WINDOW = 8 * 3600.0


def circular(radius, angle_deg, inclination_deg):
    u, i = math.radians(angle_deg), math.radians(inclination_deg)
    speed = math.sqrt(MU / radius)
    return (0.0, radius * math.cos(u), radius * math.sin(u) * math.cos(i), radius * math.sin(u) * math.sin(i),
            -speed * math.sin(u), speed * math.cos(u) * math.cos(i), speed * math.cos(u) * math.sin(i))


CHASER = circular(R_EARTH + 400.0, 0.0, 0.0)
TARGET = circular(R_EARTH + 1000.0, 60.0, 28.0)


def vextal_grid(size, max_revs):
    departures = np.linspace(0.0, WINDOW, size)
    tofs = np.linspace(WINDOW / size, WINDOW, size)
    grid = porkchop(CHASER, TARGET, departures, tofs, max_revs=max_revs)
    return grid.dv_total.size, float(np.nanmin(grid.dv_total))


def lambert_rs_grid(lambert_rs, size, max_revs):
    points = int(round((1 + math.sqrt(1 + 8 * size * size)) / 2))  # points * (points - 1) / 2 ~ size^2
    step = WINDOW / (points - 1)
    result = lambert_rs.lambert_grid_search(np.array(CHASER[1:]), np.array(TARGET[1:]), (0.0, WINDOW), step,
                                            max_rev=max_revs, mu=MU)
    return result.cost.size, float(np.nanmin(result.cost))


def lambert_rs_axes(lambert_rs, size, max_revs):
    search = lambert_rs.LambertSearch(np.array(CHASER[1:]), np.array(TARGET[1:]), max_rev=max_revs, mu=MU)
    result = search.grid(departure_times=np.linspace(0.0, WINDOW, size),
                         arrival_times=np.linspace(WINDOW * (1 + 1 / size), 2 * WINDOW, size))
    return result.cost.size, float(np.nanmin(result.cost))


def python_loop(size, max_revs, rows):
    def eci(v):
        return ECI(v[0], Vector3(*v[1:4]), Vector3(*v[4:7]))

    chaser0, target0 = eci(CHASER), eci(TARGET)
    departures = np.linspace(0.0, WINDOW, size)[:rows].tolist()
    tofs = np.linspace(WINDOW / size, WINDOW, size).tolist()
    cells, best = 0, math.inf
    for departure in departures:
        for tof in tofs:
            chaser = propagate_lagrangian_u(chaser0, departure)
            target = propagate_lagrangian_u(target0, (chaser.time + tof) - target0.time)
            try:
                plan = plan_lambert(chaser, target, tof, True, max_revs)
            except ValueError:  # collinear cell
                continue
            cost = min(b1.delta_v.magnitude() + b2.delta_v.magnitude() for b1, b2 in plan.burns)
            best = min(best, cost)
            cells += 1
    return len(departures) * len(tofs), best


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=int, default=500, help="grid of SIZE x SIZE cells (default 500)")
    p.add_argument("--loop-rows", type=int, default=50, help="rows the Python loop is timed over (default 50)")
    p.add_argument("--repeat", type=int, default=5, help="runs per entry, best kept (default 5)")
    args = p.parse_args()
    try:
        import lambert_rs
        from importlib.metadata import version
        peer = "lambert-rs " + version("lambert-rs")
    except ImportError:
        lambert_rs, peer = None, "lambert-rs (not installed)"
    print("%d x %d grid, %d cores, load average %.2f; %s" % (args.size, args.size, os.cpu_count(),
                                                          os.getloadavg()[0], peer))
    print()
    print("| revolutions | implementation | cells | ns/cell | cells/s | CPU/wall | min total dv (km/s) | "
          "vextal speed-up |")
    print("|---:|---|---:|---:|---:|---:|---:|---:|")
    for max_revs in (0, 3):
        entries = [("vextal porkchop", lambda: vextal_grid(args.size, max_revs))]
        if lambert_rs is not None:
            entries.append(("lambert-rs lambert_grid_search",
                            lambda: lambert_rs_grid(lambert_rs, args.size, max_revs)))
            entries.append(("lambert-rs LambertSearch.grid (axes)",
                            lambda: lambert_rs_axes(lambert_rs, args.size, max_revs)))
        entries.append(("Python loop (%d rows)" % args.loop_rows,
                        lambda: python_loop(args.size, max_revs, args.loop_rows)))
        ours = None
        timings = take_turns([run for _, run in entries], args.repeat, keep=True)  # round-robin, fastest kept
        for (name, _), (wall, cpu, (cells, best)) in zip(entries, timings):
            rate = cells / wall
            ours = ours or rate
            print("| %d | %s | %d | %.0f | %.3g | %.2f | %.6f | %s |" % (
                max_revs, name, cells, 1e9 / rate, rate, cpu / wall, best,
                "" if rate == ours else "%.1fx" % (ours / rate)))

if __name__ == "__main__":
    main()
