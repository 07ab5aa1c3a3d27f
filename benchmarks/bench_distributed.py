"""A porkchop grid on a Dask cluster against the local threaded run, in one run.

    python3 -m pip install "dask[distributed]"
    python3 benchmarks/bench_distributed.py [--departures 2000] [--tofs 500] [--max-revs 3] [--repeat 3]

The grid: a chaser on a 400 km circular orbit, a target on a 1000 km orbit inclined by 5 degrees, departures
over one day and times of flight from 20 minutes to 8 hours, every arc up to ``--max-revs`` revolutions.
Three ways to compute the same grid:

- local: ``porkchop(...)`` with ``threads=None`` (every core of this machine);
- a ``LocalCluster`` of 1 single-threaded worker process, ``porkchop(..., client=client)``;
- a ``LocalCluster`` of 2 single-threaded worker processes, the same call.

Both clusters are started (on the loopback address) and warmed up with a small grid before the timing (so the
timing holds no process start-up nor first import on the workers), and closed after. The three take turns,
``--repeat`` rounds, and each keeps its best time, in seconds; the cluster grids are checked bit for bit against the local one. The goals:
2 workers at least 1.7x faster than 1, and the 2-worker cluster within 15 % of the local threaded run.
"""
import argparse
import math
import os
import platform

import numpy as np

from vextal.astro.orbitvector import ECI
from vextal.astro.porkchop import porkchop
from vextal.vector3 import Vector3
from _timing import take_turns

MU = 398600.5


def circular(radius, inclination_deg, phase_deg):
    """A circular orbit state at time 0: position at `phase_deg` along an orbit of the given inclination."""
    speed = math.sqrt(MU / radius)
    u, i = math.radians(phase_deg), math.radians(inclination_deg)
    position = Vector3(radius * math.cos(u), radius * math.sin(u) * math.cos(i), radius * math.sin(u) * math.sin(i))
    velocity = Vector3(-speed * math.sin(u), speed * math.cos(u) * math.cos(i), speed * math.cos(u) * math.sin(i))
    return ECI(0.0, position, velocity)


def same_bits(a, b):
    return all(np.asarray(getattr(a, f)).tobytes() == np.asarray(getattr(b, f)).tobytes()
               for f in ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--departures", type=int, default=2000)
    parser.add_argument("--tofs", type=int, default=500)
    parser.add_argument("--max-revs", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--chunks", type=int, default=None, help="chunks of the departure axis on a cluster "
                        "(default: the library's, a few per worker thread)")
    args = parser.parse_args()

    import dask
    import distributed
    from distributed import Client, LocalCluster

    chaser, target = circular(6778.1374, 0.0, 0.0), circular(7378.1374, 5.0, 40.0)
    departures = np.linspace(0.0, 86400.0, args.departures)
    tofs = np.linspace(1200.0, 8 * 3600.0, args.tofs)
    cells = args.departures * args.tofs

    def grid(**kw):
        return porkchop(chaser, target, departures, tofs, max_revs=args.max_revs, **kw)

    import contextlib

    with contextlib.ExitStack() as stack:
        clients = {}
        for workers in (1, 2):
            cluster = stack.enter_context(LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                       host="127.0.0.1", dashboard_address=None))
            clients[workers] = stack.enter_context(Client(cluster, set_as_default=False))
            porkchop(chaser, target, departures[:8], tofs[:8], max_revs=args.max_revs, client=clients[workers])
        runs = {"local": grid, 1: lambda: grid(client=clients[1], chunks=args.chunks),
                2: lambda: grid(client=clients[2], chunks=args.chunks)}
        # The three take turns, so a burst of load elsewhere hits them alike.
        timings = dict(zip(runs, take_turns(list(runs.values()), args.repeat, keep=True)))
        best = {name: timing.seconds for name, timing in timings.items()}
        results = {name: timing.result for name, timing in timings.items()}

    local_time = best["local"]
    rows = [("local, threads=None (%d cores)" % os.cpu_count(), local_time, True)]
    for workers in (1, 2):
        rows.append(("LocalCluster, %d single-threaded worker%s" % (workers, "s" * (workers > 1)), best[workers],
                     same_bits(results[workers], results["local"])))

    print("Porkchop grid %d x %d, max_revs %d; Python %s, dask %s, distributed %s; load %s"
          % (args.departures, args.tofs, args.max_revs, platform.python_version(), dask.__version__,
             distributed.__version__, " ".join("%.2f" % x for x in os.getloadavg())))
    print()
    print("| run | seconds | cells per second | against local | bit-identical to local |")
    print("|---|---:|---:|---:|---|")
    for name, seconds, same in rows:
        print("| %s | %.2f | %.3g | %.2fx | %s |" % (name, seconds, cells / seconds, seconds / local_time,
                                                     "yes" if same else "NO"))
    one, two = rows[1][1], rows[2][1]
    print()
    print("2 workers against 1: %.2fx faster (goal >= 1.7x); 2-worker cluster overhead against local: %+.1f %% "
          "(goal < 15 %%)" % (one / two, 100.0 * (two / local_time - 1.0)))


if __name__ == "__main__":
    main()
