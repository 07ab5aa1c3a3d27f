"""Planning options of the porkchop grid: what the periapsis screen and the intercept cost add to a grid's time,
and what passive safety costs on the best cells.

    python3 benchmarks/bench_planning.py [--size N] [--repeat R] [--docs]

The grid of bench_porkchop.py (a 400 km chaser, a 1000 km target 28 degrees inclined and 60 degrees ahead, an
8-hour window, N x N cells, up to three revolutions, every core) is timed unscreened (min_radius=0, the cell as
it was before screening), with the default screen (the Earth's equatorial radius), with the screen and the
intercept cost, and with a hold point; the entries take turns and each keeps its fastest of R runs. Then
`Porkchop.safety(keep_out=1, orbits=3, best=100)` on the screened grid with a 2 km V-bar hold point. With
--docs the table replaces its measured block "planning" of docs/guide/performance.md.
"""
import argparse
import os
import time

import numpy as np

from vextal.astro.porkchop import porkchop
from _docs_tables import write_measured
from bench_porkchop import CHASER, TARGET, WINDOW
from _timing import take_turns



def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=int, default=500, help="grid of SIZE x SIZE cells (default 500)")
    p.add_argument("--repeat", type=int, default=5, help="runs per entry, best kept (default 5)")
    p.add_argument("--docs", "--readme", dest="docs", action="store_true",
                   help="write the table into docs/guide/performance.md")
    args = p.parse_args()
    departures = np.linspace(0.0, WINDOW, args.size)
    tofs = np.linspace(WINDOW / args.size, WINDOW, args.size)

    def grid(**options):
        return lambda: porkchop(CHASER, TARGET, departures, tofs, max_revs=3, threads=1, **options)

    entries = [("unscreened (min_radius=0)", grid(min_radius=0)),
               ("screened (default: Earth's radius)", grid()),
               ("screened, cost=\"intercept\"", grid(cost="intercept")),
               ("screened, arrive_at=(0, -2, 0)", grid(arrive_at=(0.0, -2.0, 0.0)))]
    # One thread, timed by the process's CPU clock: the work itself, without the waits of a shared machine.
    timings = take_turns([run for _, run in entries], args.repeat, keep=True, clock=time.process_time)
    base = timings[0].seconds
    lines = ["%d x %d grid, up to 3 revolutions, one thread, CPU seconds (fastest of %d; load average %.2f; "
             "`python3 benchmarks/bench_planning.py --size %d`):" % (args.size, args.size, args.repeat,
                                                                     os.getloadavg()[0], args.size), "",
             "| grid | CPU seconds | vs unscreened | cells screened out |", "|---|---:|---:|---:|"]
    for (name, _), timing in zip(entries, timings):
        screened = int((timing.result.status == 2).sum())
        lines.append("| %s | %.3f | %+.1f %% | %d |" % (name, timing.seconds, 100 * (timing.seconds / base - 1),
                                                       screened))
    held = porkchop(CHASER, TARGET, departures, tofs, max_revs=3, arrive_at=(0.0, -2.0, 0.0))
    safety = take_turns([lambda: held.safety(keep_out=1.0, orbits=3.0, best=100)], args.repeat, keep=True)[0]
    lines += ["", "Goal: screening and cost= add at most 10 % to a grid's time. The screen is asked only of an arc "
              "cheaper than the cell's best so far, and decides from dot products and one square root.", "",
              "Passive safety of the best 100 cells of that grid (arc and 3 target orbits of drift, keep-out "
              "1 km; goal under 1 s): %.3f s wall, %.3f s CPU; %d of 100 safe."
              % (safety.seconds, safety.cpu, int(safety.result.safe.sum())), ""]
    text = "\n".join(lines)
    print(text)
    if args.docs:
        write_measured("planning", text)


if __name__ == "__main__":
    main()
