"""plan_lambert against the same pipeline written with pykep, per call from Python, in one run.

    python3 -m pip install pykep          # in the benchmark environment only
    python3 benchmarks/bench_planner.py [--pairs N] [--repeat R]

The pipeline: bring the target state forward to the arrival epoch (propagate_lagrangian), solve Lambert's
problem for every arc up to the revolution limit, and form the (departure, arrival) delta-v pair of each arc.
vextal does it in one call (plan_lambert); the pykep version is the few lines of Python a user would write
(pykep_pipeline below). Both run on the same random LEO pairs, with zero and with ten revolutions allowed.
The solver's share is the time of its constructor alone (LambertProblem, lambert_problem) over the whole
pipeline's. Where pykep cannot be imported the pykep rows are left out.
"""
import argparse
import math
import random
import sys

from vextal.astro.multirev_arcs import LambertProblem
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3
from _timing import best_of

MU = 398600.5


def load_pykep():
    """pykep, or only its compiled core where the package's own __init__ fails to import (the 3.0.1 wheel
    misses a data file that an optional submodule reads at import)."""
    try:
        import pykep
        return pykep, pykep.__version__
    except ImportError:
        return None, "not installed"
    except Exception:  # noqa: BLE001 - any failure of the package's own import
        import importlib.util
        import types
        for name in [n for n in sys.modules if n == "pykep" or n.startswith("pykep.")]:
            del sys.modules[name]
        spec = importlib.util.find_spec("pykep")
        shell = types.ModuleType("pykep")
        shell.__path__ = list(spec.submodule_search_locations)
        sys.modules["pykep"] = shell
        import pykep.core as core
        from importlib.metadata import version
        return core, version("pykep") + " (core only)"


def random_state(rng, radius):
    r = Vector3(*(rng.gauss(0.0, 1.0) for _ in range(3))).normalize().multiply(radius)
    along = Vector3(*(rng.gauss(0.0, 1.0) for _ in range(3))).cross(r).normalize()
    return r, along.multiply(math.sqrt(MU / radius) * rng.uniform(0.95, 1.05))


def problems(count, seed=1950):
    """(initial, target, tof): both states at the same epoch, so the target is always moved on by tof."""
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        r0, v0 = random_state(rng, rng.uniform(6700.0, 7200.0))
        r1, v1 = random_state(rng, rng.uniform(6800.0, 8000.0))
        out.append((ECI(0.0, r0, v0), ECI(0.0, r1, v1), rng.uniform(20000.0, 40000.0)))
    return out


def pykep_pipeline(pk):
    """The same pipeline on pykep: lists of floats in, (time, delta-v) pairs out."""
    if hasattr(pk, "lambert_problem") and hasattr(pk.lambert_problem, "get_v1"):  # pykep 2
        def solve(r1, r2, tof, revs):
            lp = pk.lambert_problem(r1, r2, tof, MU, False, revs)
            return lp.get_v1(), lp.get_v2()

        def move(r, v, dt):
            return pk.propagate_lagrangian(r, v, dt, MU)
    else:  # pykep 3
        def solve(r1, r2, tof, revs):
            lp = pk.lambert_problem(r1, r2, tof, MU, False, revs)
            return lp.v0, lp.v1

        def move(r, v, dt):
            return pk.propagate_lagrangian([r, v], dt, MU)

    def plan(t0, r0, v0, t1, r1, v1, tof, revs):
        gap = t0 + tof - t1
        if gap > 1e-7:
            (r1, v1), t1 = move(r1, v1, gap), t1 + gap
        departures, arrivals = solve(r0, r1, tof, revs)
        return [((t0, [a[0] - v0[0], a[1] - v0[1], a[2] - v0[2]]), (t1, [v1[0] - b[0], v1[1] - b[1], v1[2] - b[2]]))
                for a, b in zip(departures, arrivals)]

    return plan, solve


def best_per_call(func, count, repeat):
    """Microseconds per item of the fastest run of `func` over `count` items."""
    return best_of(func, repeat) / count * 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    cases = problems(args.pairs)
    plain = [(s.time, list(s.position.to_tuple()), list(s.velocity.to_tuple()), t.time, list(t.position.to_tuple()),
              list(t.velocity.to_tuple()), tof) for s, t, tof in cases]
    # The vextal solver alone, on the positions plan_lambert hands it (the target moved on by tof).
    from vextal.astro.kepler import propagate_lagrangian_u
    moved = [(s.position, propagate_lagrangian_u(t, tof).position, tof) for s, t, tof in cases]
    pk, pk_version = load_pykep()
    if pk is not None:
        pk_plan, pk_solve = pykep_pipeline(pk)
        pk_moved = [(p[1], list(m[1].to_tuple()), p[6]) for p, m in zip(plain, moved)]

    print("plan_lambert per call from Python, %d random LEO pairs, target moved on by the time of flight "
          "(20000 to 40000 s); best of %d runs. pykep %s." % (args.pairs, args.repeat, pk_version))
    print()
    print("| revolutions | arcs per plan (vextal / pykep) | vextal plan_lambert (us) | vextal solver share "
          "| pykep pipeline (us) | pykep solver share | pykep / vextal |")
    print("|---|---|---|---|---|---|---|")
    for revs in (0, 10):
        arcs = sum(len(plan_lambert(s, t, tof, True, revs).burns) for s, t, tof in cases) / len(cases)
        ours = best_per_call(lambda: [plan_lambert(s, t, tof, True, revs) for s, t, tof in cases], len(cases),
                             args.repeat)
        solver = best_per_call(lambda: [LambertProblem(r1, r2, tof, MU, True, revs) for r1, r2, tof in moved],
                               len(cases), args.repeat)
        row = ["%d" % revs, "%.2f" % arcs, "%.2f" % ours, "%.0f%%" % (100.0 * solver / ours)]
        if pk is not None:
            row[1] += " / %.2f" % (sum(len(pk_plan(*p, revs)) for p in plain) / len(plain))
            theirs = best_per_call(lambda: [pk_plan(*p, revs) for p in plain], len(cases), args.repeat)
            theirs_solver = best_per_call(lambda: [pk_solve(r1, r2, tof, revs) for r1, r2, tof in pk_moved],
                                          len(cases), args.repeat)
            row += ["%.2f" % theirs, "%.0f%%" % (100.0 * theirs_solver / theirs), "%.2f" % (theirs / ours)]
        else:
            row += ["-", "-", "-"]
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
