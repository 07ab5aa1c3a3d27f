"""Records a sample of public results into public_results.npz, which test_public_results.py compares bit for
bit: porkchop grids (zero and multi-revolution, prograde and retrograde, departures before the chaser's epoch,
targets moved backwards), the array functions, plan_lambert and LambertProblem. Run it only to re-record after
a deliberate change of results:

    PYTHONPATH=build/pkg python3 tests/data/make_public_results.py
"""
import os

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
PATH = os.path.join(HERE, "public_results.npz")

CHASER = (1000.0, 6778.0, 0.0, 0.0, 0.0, 7.6686, 0.0)
TARGET = (1500.0, 0.0, 7078.0, 10.0, -7.5043, 0.0, 0.05)
ECCENTRIC = (-300.0, -7000.0, 1200.0, 300.0, -1.0, -8.4, 1.1)

# name: (chaser, target, departures, tofs, prograde, max_revs)
GRIDS = {
    "leo": (CHASER, TARGET, np.linspace(0.0, 6000.0, 13), np.linspace(600.0, 9000.0, 15), True, 0),
    "multirev": (CHASER, TARGET, np.linspace(0.0, 5400.0, 7), np.linspace(4000.0, 30000.0, 14), True, 3),
    "backward": (CHASER, ECCENTRIC, np.linspace(-8000.0, -1000.0, 8), np.linspace(500.0, 7000.0, 9), False, 2),
}


def inputs():
    rng = np.random.default_rng(17)
    r = rng.normal(size=(64, 3)) * 7000.0
    r *= (6700.0 + rng.uniform(0.0, 30000.0, size=(64, 1))) / np.linalg.norm(r, axis=1, keepdims=True)
    v = np.cross([0.0, 0.0, 1.0], r)
    v *= (np.sqrt(398600.5 / np.linalg.norm(r, axis=1)) * rng.uniform(0.7, 1.3, 64))[:, None] / \
        np.linalg.norm(v, axis=1, keepdims=True)
    v += rng.normal(size=(64, 3)) * 0.3
    dt = rng.uniform(-40000.0, 40000.0, size=64)
    r2 = np.roll(r, 1, axis=0)
    tof = rng.uniform(300.0, 40000.0, size=64)
    llh = np.column_stack([rng.uniform(-90, 90, 64), rng.uniform(-180, 360, 64), rng.uniform(-5, 40000, 64)])
    return r, v, dt, r2, tof, llh


def record():
    from vextal.astro import arrays
    from vextal.astro.multirev_arcs import LambertProblem
    from vextal.astro.orbitvector import ECI
    from vextal.astro.porkchop import porkchop
    from vextal.astro.transfer_planner import plan_lambert
    from vextal.vector3 import Vector3

    out = {}
    for name, (chaser, target, deps, tofs, prograde, max_revs) in GRIDS.items():
        # Unscreened, as recorded before arcs were screened against the Earth's radius by default.
        grid = porkchop(chaser, target, deps, tofs, prograde=prograde, max_revs=max_revs, threads=1, min_radius=0)
        for field in ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch"):
            out["grid_%s_%s" % (name, field)] = getattr(grid, field)
        best = grid.best()
        out["grid_%s_best" % name] = np.array([best.departure, best.tof, best.revolutions, best.branch,
                                               best.dv_departure, best.dv_arrival, best.dv_total])
    r, v, dt, r2, tof, llh = inputs()
    out["propagate_r"], out["propagate_v"] = arrays.propagate(r, v, dt, threads=1)
    for revs in (0, 2):
        sol = arrays.lambert(r, r2, tof, max_revs=revs, threads=1)
        for field in ("v1", "v2", "count", "status"):
            out["lambert%d_%s" % (revs, field)] = getattr(sol, field)
    # The scalar geodesy kernels: the vector ones depend on the CPU and on glibc's vector maths library.
    kernels = arrays._geodesy_path()
    arrays._geodesy_path("scalar")
    try:
        out["efg_to_llh"] = arrays.efg_to_llh(r, threads=1)
        out["llh_to_efg"] = arrays.llh_to_efg(llh, threads=1)
    finally:
        arrays._geodesy_path(kernels)
    planned, problems = [], []
    for i in range(8):
        a = ECI(float(dt[i] % 1000), Vector3(*r[i]), Vector3(*v[i]))
        b = ECI(float(dt[i] % 1000) + 50.0, Vector3(*r2[i]), Vector3(*v[i - 1]))
        plan = plan_lambert(a, b, float(tof[i]), bool(i % 2), 3)
        planned.append([[b1.time, *b1.delta_v.to_tuple(), b2.time, *b2.delta_v.to_tuple()]
                        for b1, b2 in plan.burns] + [[np.nan] * 8] * (7 - len(plan.burns)))
        problem = LambertProblem(Vector3(*r[i]), Vector3(*r2[i]), float(tof[i]), 398600.5, bool(i % 2), 3)
        rows = [[*problem.departure_velocities[k].to_tuple(), *problem.arrival_velocities[k].to_tuple(),
                 problem.x[k], problem.revolutions[k]] for k in range(problem.solution_count())]
        problems.append(rows + [[np.nan] * 8] * (7 - len(rows)))
    out["plan_lambert"] = np.array(planned)
    out["lambert_problem"] = np.array(problems)
    return out


if __name__ == "__main__":
    np.savez_compressed(PATH, **record())
    print("wrote", PATH, os.path.getsize(PATH), "bytes")
