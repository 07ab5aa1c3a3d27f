"""The SIMD Lambert lanes of arrays.lambert and the porkchop grid against lambert-rs, side by side in one run.

    python3 -m pip install lambert-rs     # in the benchmark environment only (the bench extra)
    python3 benchmarks/bench_lambert_lanes.py [--pairs P] [--tofs T] [--size N] [--repeat R]

- arrays.lambert on P position pairs x T times of flight (default 1000 x 100; radii log-uniform 6600..42200 km,
  directions uniform, times of flight 0.01 to 25 periods of the mean radius's circular orbit: the problems of
  bench_arrays.py), max_revs 0 and 5, against lambert-rs's `lambert_izzo_vec` on the same pairs and times:
  one thread (vextal threads=1; lambert-rs in a child process with RAYON_NUM_THREADS=1), both by the process's
  CPU time (on a shared machine the time the work took, not the time it waited for a core), and every core, both
  by wall time; best of R rounds taking turns. vextal's four-lane (AVX2) and two-lane kernels are both shown
  where the CPU has AVX2.
- porkchop N x N (default 300) at 0 and 3 revolutions against lambert-rs's `LambertSearch.grid` (the same N x N
  cells) and `lambert_grid_search` (its triangle of about N^2 cells), every core: the grids of
  bench_porkchop.py.
Ratios above 1 mean vextal is faster. A missing lambert-rs is skipped with a line saying so. The machine may be
shared: the load average is printed with the figures.
"""
import argparse
import json
import os
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # NumPy's BLAS threads would only add noise here

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from _timing import take_turns  # noqa: E402
from bench_arrays import MU, lambert_problems  # noqa: E402

REVS = (0, 5)
GRID_REVS = (0, 3)


def problems(pairs, tofs):
    r1, r2, scale, period = lambert_problems(pairs, tofs)
    return r1, r2, scale * period.mean()  # lambert-rs takes one list of times for every pair


def peer_one_thread(pairs, tofs, repeat):
    """lambert-rs's seconds per call on one thread, from a child process (its thread pool is sized at start)."""
    code = ("import sys, json; sys.path.insert(0, %r); import bench_lambert_lanes as b; "
            "print(json.dumps(b.peer_times(%d, %d, %d)))" % (HERE, pairs, tofs, repeat))
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=900)
    if proc.returncode != 0:
        print("  (lambert-rs on one thread failed: %s)" % proc.stderr.strip().splitlines()[-1:])
        return None
    return {int(k): v for k, v in json.loads(proc.stdout.strip().splitlines()[-1]).items()}


def peer_times(pairs, tofs, repeat):
    import lambert_rs
    r1, r2, tof = problems(pairs, tofs)
    cases = [lambda revs=revs: lambert_rs.lambert_izzo_vec(r1, r2, tof, revs, False, mu=MU) for revs in REVS]
    return {revs: t.seconds for revs, t in zip(REVS, take_turns(cases, repeat, clock=time.process_time))}


def arrays_table(args, rs):
    from vextal.astro import arrays
    r1, r2, tof = problems(args.pairs, args.tofs)
    total = args.pairs * args.tofs
    paths = [p for p in ("avx2", "sse2") if arrays._lambert_path(p) == p]
    arrays._lambert_path("avx2")
    one_peer = peer_one_thread(args.pairs, args.tofs, args.repeat) if rs else None

    def ours(path, revs, threads):
        def run():
            arrays._lambert_path(path)
            return arrays.lambert(r1[:, None], r2[:, None], tof[None, :], mu=MU, max_revs=revs, threads=threads)
        return run

    print("| max_revs | threads | clock | vextal kernels | vextal ns/problem | lambert-rs ns/problem | "
          "lambert-rs / vextal |")
    print("|---:|---|---|---|---:|---:|---:|")
    for revs in REVS:
        for threads in (1, None):
            cases = [ours(path, revs, threads) for path in paths]
            if rs and threads is None:
                cases.append(lambda: rs.lambert_izzo_vec(r1, r2, tof, revs, False, mu=MU))
            clock = time.process_time if threads == 1 else time.perf_counter
            timings = take_turns(cases, args.repeat, clock=clock)
            arrays._lambert_path("avx2")
            peer = (one_peer or {}).get(revs) if threads == 1 else (timings[-1].seconds if rs else None)
            for path, t in zip(paths, timings):
                ns = t.seconds / total * 1e9
                print("| %d | %s | %s | %s | %.0f | %s | %s |" % (
                    revs, "1" if threads == 1 else "all (%d)" % os.cpu_count(), "CPU" if threads == 1 else "wall",
                    path, ns,
                    "%.0f" % (peer / total * 1e9) if peer else "-", "%.2f" % (peer / t.seconds) if peer else "-"))


def porkchop_table(args, rs):
    import bench_porkchop as bp
    print("| revolutions | implementation | cells | ns/cell | CPU/wall | lambert-rs / vextal |")
    print("|---:|---|---:|---:|---:|---:|")
    for revs in GRID_REVS:
        entries = [("vextal porkchop", lambda: bp.vextal_grid(args.size, revs))]
        if rs:
            entries.append(("lambert-rs LambertSearch.grid", lambda: bp.lambert_rs_axes(rs, args.size, revs)))
            entries.append(("lambert-rs lambert_grid_search", lambda: bp.lambert_rs_grid(rs, args.size, revs)))
        timings = take_turns([run for _, run in entries], args.repeat, keep=True)
        ours = None
        for (name, _), t in zip(entries, timings):
            cells = t.result[0]
            per_cell = t.seconds / cells
            ours = ours or per_cell
            print("| %d | %s | %d | %.0f | %.2f | %s |" % (revs, name, cells, per_cell * 1e9, t.cpu / t.seconds,
                                                       "" if per_cell == ours else "%.2f" % (per_cell / ours)))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--pairs", type=int, default=1000)
    p.add_argument("--tofs", type=int, default=100)
    p.add_argument("--size", type=int, default=300, help="porkchop grid of SIZE x SIZE cells (default 300)")
    p.add_argument("--repeat", type=int, default=3, help="rounds, the fastest kept (default 3)")
    args = p.parse_args()
    try:
        import lambert_rs as rs
        from importlib.metadata import version
        peer = "lambert-rs " + version("lambert-rs")
    except ImportError:
        rs, peer = None, None
    print("%d cores, load average %.2f %.2f %.2f; %s" % ((os.cpu_count(),) + os.getloadavg() + (
        peer or "lambert-rs not installed: its columns are skipped",)))
    print()
    print("arrays.lambert, %d pairs x %d times of flight" % (args.pairs, args.tofs))
    print()
    arrays_table(args, rs)
    print()
    print("porkchop %d x %d" % (args.size, args.size))
    print()
    porkchop_table(args, rs)


if __name__ == "__main__":
    main()
