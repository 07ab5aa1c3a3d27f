"""The command line: python -m vextal.astro."""
import json
import math
import subprocess
import sys

import pytest

from vextal.astro.__main__ import example
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vextal.astro", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def state(values):
    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


def test_default_run_prints_a_plan_with_the_cheapest_marked():
    proc = cli()
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    rows = [line for line in lines if line[4:8].strip().isdigit()]
    assert len(rows) >= 3 and len(rows) % 2 == 1  # several revolutions allowed and feasible
    assert [int(r[4:8]) for r in rows] == [(i + 1) // 2 for i in range(len(rows))]
    marked = [r for r in rows if r.startswith("*")]
    assert len(marked) == 1
    totals = [float(r.split()[-1]) for r in rows]
    assert float(marked[0].split()[-1]) == min(totals)
    assert any(line.startswith("* cheapest:") for line in lines)


def test_json_matches_the_planner():
    proc = cli("--json")
    assert proc.returncode == 0, proc.stderr
    data = json.loads(proc.stdout)
    ex = example()
    result = plan_lambert(state(ex["initial"]), state(ex["target"]), ex["tof"], True, ex["max_revs"])
    assert len(data["arcs"]) == len(result.burns)
    for arc, (departure, arrival) in zip(data["arcs"], result.burns):
        assert arc["departure"]["delta_v"] == list(departure.delta_v.to_tuple())
        assert arc["arrival"]["delta_v"] == list(arrival.delta_v.to_tuple())
        assert arc["arrival"]["time"] == arrival.time
        assert arc["total"] == pytest.approx(math.hypot(*arc["departure"]["delta_v"]) +
                                             math.hypot(*arc["arrival"]["delta_v"]))
    totals = [arc["total"] for arc in data["arcs"]]
    assert data["cheapest"] == totals.index(min(totals))
    assert [arc["revolutions"] for arc in data["arcs"]] == [(i + 1) // 2 for i in range(len(totals))]
    assert data["feasible_revs"] == data["arcs"][-1]["revolutions"] == (len(totals) - 1) // 2


def test_states_direction_and_revolutions_from_options():
    initial = (5.0, 7000.0, 0.0, 0.0, 0.0, 7.546, 0.0)
    target = (5.0, 0.0, 7200.0, 100.0, -7.44, 0.0, 0.0)
    base = ["--initial", *initial, "--target", *target, "--tof", 16000, "--json"]
    prograde = json.loads(cli(*base).stdout)
    retrograde = json.loads(cli(*base, "--retrograde").stdout)
    single = json.loads(cli(*base, "--max-revs", 0).stdout)
    assert prograde["prograde"] and not retrograde["prograde"]
    assert prograde["arcs"] != retrograde["arcs"]
    assert len(single["arcs"]) == 1 and single["arcs"][0] == prograde["arcs"][0]
    assert prograde["arcs"][0]["departure"]["time"] == 5.0
    result = plan_lambert(state(initial), state(target), 16000.0, False, 10)
    assert [a["arrival"]["delta_v"] for a in retrograde["arcs"]] == [list(b.delta_v.to_tuple())
                                                                      for _, b in result.burns]


@pytest.mark.parametrize("args", [
    ["--tof", "abc"], ["--tof", "0"], ["--tof", "-60"], ["--tof", "nan"], ["--initial", "1", "2"],
    ["--target", "0", "1", "2", "3", "4", "5", "inf"], ["--max-revs", "-1"], ["--max-revs", "2.5"], ["--bogus"],
    ["extra"],
])
def test_bad_options_give_usage_and_no_traceback(args):
    proc = cli(*args)
    assert proc.returncode == 2
    assert proc.stderr.startswith("usage: python -m vextal.astro")
    assert "Traceback" not in proc.stderr and proc.stdout == ""


def test_solver_refusal_is_reported_cleanly():
    r, v = ("7000", "0", "0"), ("0", "7.5", "0")
    # the target sits where the chaser starts, at the arrival epoch: no transfer plane
    proc = cli("--initial", "0", *r, *v, "--target", "100", *r, *v, "--tof", "100")
    assert proc.returncode == 1
    assert "cannot plan this transfer" in proc.stderr and "Traceback" not in proc.stderr
