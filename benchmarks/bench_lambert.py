"""Lambert and Kepler propagation: vextal side by side with the peers a user would otherwise pick.

    python benchmarks/bench_lambert.py [--problems N] [--native]

Peers (install them in the benchmark environment only, e.g. `pip install pykep lamberthub`) are skipped when
missing: pykep's lambert_problem and propagate_lagrangian, lamberthub's izzo2015, hapsira's izzo. Every
solver gets the same problems (random LEO-GEO positions, 0.1 to 6 reference periods, both directions) in its
own input form, prepared before timing. Columns: time per Python call (best of several passes), mean
iterations per solution where the solver reports them, and the worst arrival residual |r(tof) - r2| / |r2|
of its solutions, each propagated by the same independent anomaly-based propagator (tests/
twobody_reference.py). --native also builds and runs the C++ microbenchmark of the numerics.
"""
import argparse
import ctypes
import importlib.util
import math
import os
import random
import subprocess
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from twobody_reference import MU_EARTH, norm, propagate_classical, rel_diff  # noqa: E402

from vextal.astro.kepler import propagate_lagrangian, propagate_lagrangian_u  # noqa: E402
from vextal.astro.multirev_arcs import LambertProblem  # noqa: E402
from vextal.astro.orbitvector import ECI  # noqa: E402
from vextal.vector3 import Vector3  # noqa: E402
from _timing import best_of  # noqa: E402

MAX_REVS = 10


def load_pykep():
    """pykep's compiled core. pykep 3.0.1's wheel lacks a data file that its package __init__ reads, so when
    the package import fails the core extension is loaded on its own (under a bare package module)."""
    spec = importlib.util.find_spec("pykep")
    if spec is None:
        return None
    try:
        import pykep
        return pykep
    except Exception:
        stub = types.ModuleType("pykep")
        stub.__path__ = [os.path.dirname(spec.origin)]
        sys.modules["pykep"] = stub
        flags = sys.getdlopenflags()
        sys.setdlopenflags(flags | ctypes.RTLD_GLOBAL)  # as pykep's own __init__ does, for heyoka's JIT
        try:
            import pykep.core as core
        finally:
            sys.setdlopenflags(flags)
        return core


def optional(name):
    try:
        return __import__(name, fromlist=["_"])
    except Exception:
        return None


def problems(count, seed=2024):
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        vectors = []
        for _ in range(2):
            u = [rng.gauss(0, 1) for _ in range(3)]
            R = 6600.0 * (42200.0 / 6600.0) ** rng.random()
            vectors.append([R * x / norm(u) for x in u])
        a = 0.5 * (norm(vectors[0]) + norm(vectors[1]))
        tof = 2 * math.pi * math.sqrt(a ** 3 / MU_EARTH) * 10 ** rng.uniform(-1, 0.8)
        out.append((vectors[0], vectors[1], tof, rng.random() < 0.5))
    return out


def residual(r1, r2, tof, v1):
    r, _, _ = propagate_classical(r1, list(v1), tof, MU_EARTH)
    return rel_diff(r, r2)


class Row:
    def __init__(self, group, solver, seconds, calls, iterations, residuals, solutions):
        self.cells = [group, solver, "%.2f" % (seconds / calls * 1e6),
                      "%.2f" % (sum(iterations) / len(iterations)) if iterations else "-",
                      "%.1e" % max(residuals) if residuals else "-", str(solutions)]


def bench_lambert(rows, probs, pk, hub, hapsira_izzo, units):
    for group, revs in (("Lambert, 0 rev", 0), ("Lambert, max_revs %d" % MAX_REVS, MAX_REVS)):
        v_in = [(Vector3(*a), Vector3(*b), t, p) for a, b, t, p in probs]
        results = [LambertProblem(a, b, t, MU_EARTH, p, revs) for a, b, t, p in v_in]
        seconds = best_of(lambda: [LambertProblem(a, b, t, MU_EARTH, p, revs) for a, b, t, p in v_in])
        res, its, count = [], [], 0
        for (r1, r2, tof, _), sol in zip(probs, results):
            its += sol.iterations
            count += sol.solution_count()
            res += [residual(r1, r2, tof, v.to_tuple()) for v in sol.departure_velocities]
        rows.append(Row(group, "vextal LambertProblem", seconds, len(probs), its, res, count))
        feasible = [sol.max_revs for sol in results]

        if pk is not None:
            results = [pk.lambert_problem(a, b, t, MU_EARTH, not p, revs) for a, b, t, p in probs]
            seconds = best_of(lambda: [pk.lambert_problem(a, b, t, MU_EARTH, not p, revs) for a, b, t, p in probs])
            res, its, count = [], [], 0
            for (r1, r2, tof, _), sol in zip(probs, results):
                its += list(sol.iters)
                count += len(sol.v0)
                res += [residual(r1, r2, tof, v) for v in sol.v0]
            rows.append(Row(group, "pykep lambert_problem", seconds, len(probs), its, res, count))

        # One call per arc: the zero-revolution arc, then both paths of every feasible N (vextal's count).
        calls = [(M, low) for M in range(revs + 1) for low in ((True,) if M == 0 else (True, False))]
        for name, solver in (("lamberthub izzo2015", hub), ("hapsira izzo", hapsira_izzo)):
            if solver is None:
                continue
            np = units["numpy"]
            arrays = [(np.array(a), np.array(b), t, p, n) for (a, b, t, p), n in zip(probs, feasible)]
            work = [(a, b, t, p, M, low) for a, b, t, p, n in arrays for M, low in calls if M <= n]

            def run():
                return [solver(a, b, t, M, p, low) for a, b, t, p, M, low in work]

            outs = run()
            seconds = best_of(run, 2)
            res = [residual(list(a), list(b), t, v1) for (a, b, t, _, _, _), (v1, _) in zip(work, outs)]
            rows.append(Row(group, name, seconds, len(probs), [], res, len(outs)))


def bench_propagation(rows, probs, pk):
    # One Lambert arc per problem gives a state to propagate by its time of flight.
    states = []
    for r1, r2, tof, p in probs:
        v1 = LambertProblem(Vector3(*r1), Vector3(*r2), tof, 398600.5, p, 0).departure_velocities[0]
        states.append((r1, list(v1.to_tuple()), tof, r2))
    group = "Kepler propagation"
    v_in = [(Vector3(*r), Vector3(*v), t) for r, v, t, _ in states]
    seconds = best_of(lambda: [propagate_lagrangian(r, v, t, 398600.5) for r, v, t in v_in])
    res = [rel_diff(list(propagate_lagrangian(r, v, t, 398600.5)[0].to_tuple()), r2)
           for (r, v, t), (_, _, _, r2) in zip(v_in, states)]
    rows.append(Row(group, "vextal propagate_lagrangian", seconds, len(states), [], res, len(states)))
    e_in = [(ECI(0.0, Vector3(*r), Vector3(*v)), t) for r, v, t, _ in states]
    seconds = best_of(lambda: [propagate_lagrangian_u(s, t) for s, t in e_in])
    res = [rel_diff(list(propagate_lagrangian_u(s, t).position.to_tuple()), r2)
           for (s, t), (_, _, _, r2) in zip(e_in, states)]
    rows.append(Row(group, "vextal propagate_lagrangian_u", seconds, len(states), [], res, len(states)))
    if pk is not None:
        p_in = [([r, v], t) for r, v, t, _ in states]
        seconds = best_of(lambda: [pk.propagate_lagrangian(rv, t, 398600.5) for rv, t in p_in])
        res = [rel_diff(list(pk.propagate_lagrangian(rv, t, 398600.5)[0]), r2)
               for (rv, t), (_, _, _, r2) in zip(p_in, states)]
        rows.append(Row(group, "pykep propagate_lagrangian", seconds, len(states), [], res, len(states)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--problems", type=int, default=1000)
    parser.add_argument("--native", action="store_true", help="also run the C++ microbenchmark")
    args = parser.parse_args()

    pk = load_pykep()
    hub = optional("lamberthub")
    hapsira_izzo = None
    hapsira_iod = optional("hapsira.core.iod")
    if hapsira_iod is not None:
        def hapsira_izzo(r1, r2, tof, M, prograde, low, _iod=hapsira_iod):
            return _iod.izzo(MU_EARTH, r1, r2, tof, M, prograde, low, 35, 1e-8)
    units = {"numpy": optional("numpy")}
    hub_izzo = None
    if hub is not None:
        def hub_izzo(r1, r2, tof, M, prograde, low, _f=hub.izzo2015):
            return _f(MU_EARTH, r1, r2, tof, M, prograde, low)

    probs = problems(args.problems)
    rows = []
    bench_lambert(rows, probs, pk, hub_izzo, hapsira_izzo, units)
    bench_propagation(rows, probs, pk)

    print("%d problems; peers: %s" % (len(probs), ", ".join(
        name for name, mod in (("pykep", pk), ("lamberthub", hub), ("hapsira", hapsira_iod)) if mod is not None)
        or "none installed"))
    header = ["group", "solver", "us per problem", "mean iterations", "worst residual", "solutions"]
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row.cells) + " |")
    if args.native:
        print()
        out = subprocess.run(["sh", os.path.join(HERE, os.pardir, "cpp", "core", "tests", "build.sh"), "--bench"], capture_output=True,
                             text=True)
        print("C++ microbenchmark (native core, -O2):")
        print(out.stdout.strip() or out.stderr.strip())


if __name__ == "__main__":
    main()
    # pykep's core is loaded with RTLD_GLOBAL (its JIT needs that), and lamberthub brings numba's own LLVM:
    # with both in one process the two LLVM copies' teardown at exit can corrupt the heap (seen as an abort
    # after the table is printed; none without lamberthub, none under AddressSanitizer). Skip the teardown.
    if "numba" in sys.modules and "pykep" in sys.modules:
        sys.stdout.flush()
        os._exit(0)
