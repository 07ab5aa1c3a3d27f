"""A realistic user script, checked by mypy --strict and pyright against the installed stubs (tests/test_typing.py);
it also runs (the same test runs it), so every line is a real use of the API."""
from __future__ import annotations

import math
from typing import List, Optional, Tuple

import numpy as np

from vextal.astro.kepler import propagate_lagrangian, propagate_lagrangian_u
from vextal.astro.multirev_arcs import LambertProblem
from vextal.astro.orbitvector import ECI, EFG, LLH, RIC
from vextal.astro.transfer_planner import LambertMultiRevResult, SatBurn, plan_lambert
from vextal.matrix4 import Matrix4
from vextal.quaternion import Quaternion
from vextal.vector3 import Vector3

MU = 398600.5

# The README's example.
chaser = ECI(0.0, Vector3(6778.1374, 0, 0), Vector3(0, 7.6686, 0))
target = ECI(0.0, Vector3(0, 6978.1374, 0), Vector3(-7.5578, 0, 0))
period: float = chaser.compute_period()
sma: float = chaser.compute_sma()
print(period, sma, chaser.compute_energy(), chaser.compute_mean_motion())
relative: RIC = target.to_ric(chaser)
print(relative.position)
point: LLH = EFG(0.0, Vector3(4000, 3000, 4000)).to_llh()
latitude, longitude, height = point.x, point.y, point.z
back: Vector3 = point.to_efg()
assert EFG(0.0).to_eci() is None  # no Earth rotation model

plan: LambertMultiRevResult = plan_lambert(chaser, target, 5400.0, max_revs=2)
for departure, arrival in plan.burns:
    print(departure.delta_v.magnitude() + arrival.delta_v.magnitude() if departure.delta_v and arrival.delta_v
          else None)

# What the command line does: states from plain numbers, the solver's view of the same transfer.
def state(values: Tuple[float, ...]) -> ECI:
    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


initial = state((0.0, 7000.0, 0.0, 0.0, 0.0, 7.546, 0.0))
goal = state((5.0, 0.0, 7200.0, 0.0, -7.44, 0.0, 0.0))
moved: ECI = propagate_lagrangian_u(goal, 16000.0 - goal.time)
r: Optional[Vector3] = moved.position
assert initial.position is not None and r is not None
problem = LambertProblem(initial.position, r, 16000.0, MU, True, 3)
revolutions: List[int] = list(problem.revolutions)
velocities: Tuple[Vector3, Vector3] = problem.solution(0)
print(problem.solution_count(), problem.max_revs, revolutions, velocities[0].to_tuple(), repr(problem))
r2, v2 = propagate_lagrangian(initial.position, initial.velocity, 100.0, MU)
burn = SatBurn(10.0, Vector3(0.001, 0.0, 0.0))
print(burn.time, burn.delta_v, r2.magnitude(), v2.magnitude())

# Frames and vector maths.
rotation: Matrix4 = chaser.eci_to_ric()
inverse: Matrix4 = rotation.inverse()
radial: Vector3 = rotation @ Vector3(1.0, 0.0, 0.0)
element: float = rotation[0, 1]
row: Tuple[float, float, float, float] = rotation[2]
unit: Vector3 = (2.0 * radial - radial / 2.0).normalize()
angle: float = unit.angle(Vector3(0, 1, 0))
q = Quaternion.from_axis_angle(Vector3(0, 0, 1), 90.0)
turned: Vector3 = q.rotate(Vector3(1, 0, 0))
print(inverse.determinant(), element, row, angle, turned.is_close(Vector3(0, 1, 0), 1e-12), abs(turned))
prograde: bool = plan_lambert(chaser, target, 5400.0, False, 0).burns[0][0].time == 0.0

# NumPy interplay.
array = np.asarray(Vector3(1.0, 2.0, 3.0))
matrix = np.asarray(rotation)
from_array = Vector3(np.array([1.0, 2.0, 3.0]))
from_list = Vector3([1.0, 2.0, 3.0])
scaled: Vector3 = np.float64(2.0) * from_array
print(array.shape, matrix.shape, from_list, scaled, math.isclose(float(array.sum()), 6.0))

# A transfer window: the grid, its best cell, the refined optimum, a plot, a survey of two targets.
import matplotlib  # noqa: E402

matplotlib.use("Agg")
from matplotlib.figure import Figure  # noqa: E402

from vextal.astro.porkchop import Porkchop, Survey, Transfer, porkchop, survey  # noqa: E402
from vextal.astro.trajectory import TwoBody  # noqa: E402

grid: Porkchop = porkchop(chaser, target, np.linspace(0.0, 5400.0, 7), np.linspace(1800.0, 5400.0, 7), max_revs=1,
                          threads=1, min_radius=0)  # every arc, those through the Earth too
cheapest: Transfer = grid.best()
refined: Transfer = grid.refine()
assert refined.dv_total <= cheapest.dv_total and grid.shape == (7, 7)
figure: Figure = grid.plot(optimum=refined)
figure.savefig("porkchop.png")
launch: Figure = grid.plot(which="c3", axes="arrival", levels=8, vmax=1.0, epoch=2.5e9, title="C3")
rows = [row for row in grid.rows() if not math.isnan(row[4])]
window: Survey = survey(chaser, {"A": target, "B": state((0.0, 0.0, 7100.0, 0.0, -7.49, 0.0, 0.1))},
                        grid.departures, grid.tofs, progress=lambda fraction: None)
first: Porkchop = window.porkchops[0]
moving: Porkchop = porkchop(TwoBody(chaser), target, [0.0, 600.0], [1800.0, 2400.0])  # a trajectory for a state
# The planning options: another central body, intercept cost, a hold point, passive safety.
from vextal.astro.porkchop import CELL_STATUS, MU_SUN, DirectionWarning, Safety  # noqa: E402

lunar: Porkchop = porkchop((0.0, 1838.0, 0.0, 0.0, 0.0, 1.633, 0.0), (0.0, 0.0, 1938.0, 0.0, -1.59, 0.0, 0.0),
                           [0.0, 600.0], [3000.0, 4000.0], mu=4902.800118, prograde=True)
sun_mu: float = MU_SUN
screened: int = int((grid.status == 2).sum())
status_text: str = CELL_STATUS[0]
intercept: Transfer = porkchop(chaser, target, grid.departures, grid.tofs, max_revs=1, cost="intercept").best()
held: Porkchop = porkchop(chaser, target, np.linspace(0.0, 5400.0, 7), np.linspace(1800.0, 5400.0, 7), max_revs=1,
                          arrive_at=(0.0, -2.0, 0.0), depart_from=[0.0, 1.0, 0.0])
safety: Safety = held.safety(keep_out=0.5, orbits=2.0, best=10)
safe: Transfer = held.best(safe=True)
warning_class: type = DirectionWarning
print(lunar.mu, sun_mu, screened, status_text, intercept.cost, safety.safe.sum(), safe.dv_total, warning_class)
print(cheapest.revolutions, cheapest.branch, refined.burns[0].time, len(rows), first.dv_total.dtype, grid)
print("the user script ran to its end")
