"""repr(): LambertProblem tells its problem and solution count; the planner's records and the states keep the
interpreter's default representation."""
import re

import pytest

from vextal.astro.multirev_arcs import LambertProblem
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import LambertMultiRevResult, SatBurn, plan_lambert
from vextal.vector3 import Vector3

R1, R2, MU = Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7200.0, 0.0), 398600.5


class Sub(LambertProblem):
    pass


@pytest.mark.parametrize("cls, tof, prograde, asked", [
    (LambertProblem, 16000.0, True, 10), (LambertProblem, 1600.0, False, 0), (Sub, 16000.0, False, 1),
])
def test_lambert_problem_repr_gives_the_problem_and_its_solution_count(cls, tof, prograde, asked):
    problem = cls(R1, R2, tof, MU, prograde, asked)
    count = problem.solution_count()
    assert repr(problem) == "<%s r1=%r r2=%r tof=%r mu=%r %s max_revs=%d (asked %d): %d solution%s>" % (
        cls.__name__, R1, R2, tof, MU, "prograde" if prograde else "retrograde", problem.max_revs, asked, count,
        "" if count == 1 else "s")
    assert count == len(problem.departure_velocities) == 2 * problem.max_revs + 1


@pytest.mark.parametrize("make, name", [
    (lambda: SatBurn(1.0, Vector3()), "vextal.astro.transfer_planner.SatBurn"),
    (lambda: plan_lambert(ECI(0.0, R1, Vector3(0, 7.5, 0)), ECI(0.0, R2, Vector3(-7.4, 0, 0)), 3000.0),
     "vextal.astro.transfer_planner.LambertMultiRevResult"),
    (lambda: ECI(), "vextal.astro.orbitvector.ECI"),
])
def test_records_keep_the_default_repr(make, name):
    obj = make()
    assert re.fullmatch(r"<%s object at 0x[0-9a-f]+>" % re.escape(name), repr(obj))
    assert type(obj).__repr__ is object.__repr__
    assert LambertMultiRevResult.__repr__ is object.__repr__
