"""The command line: python -m vextal.astro."""
import importlib.machinery
import json
import math
import re
import subprocess
import sys
import types

import pytest

from vextal.astro.__main__ import MU_EARTH as MU, _fixed, example, main as astro_main
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vextal.astro", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


def state(values):
    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


ROW = re.compile(r"^(\*?)\s+(\d+)\s+(\S+)\s+\(([^)]*)\)\s+(\S+)\s+\(([^)]*)\)\s+(\S+)\s+(\S+)$")


def table_rows(text):
    """The arc rows of the printed table as (mark, revolutions, branch, total), and the table's lines."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[:2] == ["revs", "branch"])
    table = lines[start:start + 1] + [line for line in lines[start + 1:] if ROW.match(line)]
    rows = [ROW.match(line).groups() for line in table[1:]]
    return [(m, int(revs), branch, float(total)) for m, revs, branch, _, _, _, _, total in rows], table


def test_default_run_prints_a_plan_with_the_cheapest_marked():
    proc = cli()
    assert proc.returncode == 0, proc.stderr
    rows, _ = table_rows(proc.stdout)
    assert len(rows) >= 3 and len(rows) % 2 == 1  # several revolutions allowed and feasible
    assert [r[1] for r in rows] == [(i + 1) // 2 for i in range(len(rows))]
    marked = [r for r in rows if r[0] == "*"]
    assert len(marked) == 1
    assert marked[0][3] == min(r[3] for r in rows)
    assert any(line.startswith("* cheapest:") for line in proc.stdout.splitlines())
    assert "-0.000000" not in proc.stdout  # the example's velocity has a -0.0 component
    assert "Epochs in s" in proc.stdout and "epoch 0.0" in proc.stdout


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


R, V = ("7000", "0", "0"), ("0", "7.5", "0")


@pytest.mark.parametrize("args, words", [
    (["--tof", "abc"], "not a number"), (["--tof", "0"], "must be positive"), (["--tof", "-60"], "must be positive"),
    (["--tof", "nan"], "not a finite"), (["--initial", "1", "2"], "expected 7 arguments"),
    (["--target", "0", "1", "2", "3", "4", "5", "inf"], "not a finite"), (["--max-revs", "-1"], "negative"),
    (["--max-revs", "2.5"], "whole number"), (["--max-revs", "99999999999999999999"], "at most 2147483647"),
    (["--bogus"], "unrecognized"), (["extra"], "unrecognized"), (["porkchop-ish"], "unrecognized"),
    (["--initial", "0", "0", "0", "0", "0", "0", "0"], "non-zero length"),
    # the target sits where the chaser starts, at the arrival epoch: no transfer plane
    (["--initial", "0", *R, *V, "--target", "100", *R, *V, "--tof", "100"], "collinear"),
    (["--initial", "0", "7000", "0", "0", *V, "--target", "3000", "-7000", "0", "0", *V, "--tof", "3000"],
     "collinear"),
])
def test_every_input_error_is_one_line_with_status_2(args, words):
    proc = cli(*args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("python -m vextal.astro: error: "), proc.stderr
    assert words in lines[0]


def test_branches_are_labelled_by_the_period_of_their_transfer_orbit():
    data = json.loads(cli("--json").stdout)
    assert {k: data["units"][k] for k in ("time", "tof", "position", "velocity", "delta_v", "period")} == {
        "time": "s", "tof": "s", "position": "km", "velocity": "km/s", "delta_v": "km/s", "period": "s"}
    assert {"delta_v_ric", "delta_v_vnb", "utc"} <= set(data["units"])
    arcs = data["arcs"]
    assert arcs[0]["branch"] == "single"
    r = data["initial"][1:4]
    for first, second in zip(arcs[1::2], arcs[2::2]):
        assert first["revolutions"] == second["revolutions"] >= 1
        periods = []
        for arc in (first, second):  # vis-viva on the departure state of the transfer orbit
            v = [a + b for a, b in zip(data["initial"][4:7], arc["departure"]["delta_v"])]
            sma = 1.0 / (2.0 / math.hypot(*r) - sum(c * c for c in v) / MU)
            periods.append(2 * math.pi * math.sqrt(sma ** 3 / MU))
            assert arc["period"] == pytest.approx(periods[-1], rel=1e-12)
        longer = 0 if periods[0] > periods[1] else 1
        assert (first, second)[longer]["branch"] == "longer-period"
        assert (first, second)[1 - longer]["branch"] == "shorter-period"
    rows, _ = table_rows(cli().stdout)
    assert [row[2] for row in rows] == [arc["branch"] for arc in arcs]


def test_a_tiny_time_of_flight_prints_as_it_is_and_keeps_the_columns():
    proc = cli("--tof", "1e-9")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("Transfer of 1e-09 s,")
    assert "0.0 s," not in proc.stdout.splitlines()[0]
    _, table = table_rows(proc.stdout)
    assert len(table) == 2 and len({len(line) for line in table}) == 1  # right-aligned totals line up
    assert table[0].endswith("total")


def test_a_target_after_the_arrival_epoch_is_used_as_it_stands_with_a_warning():
    initial = ("0", "7000", "0", "0", "0", "7.546", "0")
    target = ("20000", "0", "7200", "0", "-7.44", "0", "0")
    proc = cli("--initial", *initial, "--target", *target, "--tof", "16000", "--json")
    assert proc.returncode == 0
    (warning,) = proc.stderr.splitlines()
    assert warning.startswith("python -m vextal.astro: warning: ") and "used as it stands" in warning
    assert "20000.0 s" in warning and "16000.0 s" in warning
    data = json.loads(proc.stdout)
    assert data["warnings"] == [warning.split("warning: ", 1)[1]]
    assert {arc["arrival"]["time"] for arc in data["arcs"]} == {20000.0}
    quiet = cli("--initial", *initial, "--target", "16000", *target[1:], "--tof", "16000")
    assert quiet.returncode == 0 and quiet.stderr == ""


def test_plan_word_and_porkchop_dispatch(monkeypatch, capsys):
    assert cli("plan", "--json").stdout == cli("--json").stdout
    calls = []
    fake = types.ModuleType("vextal.astro._cli_porkchop")
    fake.main = lambda argv: calls.append(argv) or 7
    monkeypatch.setitem(sys.modules, "vextal.astro._cli_porkchop", fake)
    assert astro_main(["porkchop", "--grid", "3"]) == 7 and calls == [["--grid", "3"]]
    monkeypatch.setitem(sys.modules, "vextal.astro._cli_porkchop", None)  # not installed: the word is not special
    with pytest.raises(SystemExit) as info:
        astro_main(["porkchop"])
    assert info.value.code == 2 and "unrecognized arguments: porkchop" in capsys.readouterr().err


def test_python_m_vextal_points_at_the_commands():
    proc = subprocess.run([sys.executable, "-m", "vextal"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stderr == ""
    assert "python -m vextal.astro [plan] [options]" in proc.stdout
    proc = subprocess.run([sys.executable, "-m", "vextal", "plan"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and len(proc.stderr.splitlines()) == 1 and "python -m vextal.astro" in proc.stderr


@pytest.mark.parametrize("value, text", [(-0.0, "0.000000"), (-4e-7, "0.000000"), (-6e-7, "-0.000001"),
                                         (2.25, "2.250000"), (-2.25, "-2.250000"), (-1e12, "-1.000000e+12")])
def test_numbers_print_without_a_sign_on_zero(value, text):
    assert _fixed(value) == text


def test_the_porkchop_command_is_mentioned_only_where_installed(monkeypatch):
    from vextal import __main__ as top
    from vextal.astro import __main__ as astro
    monkeypatch.setitem(sys.modules, "vextal.astro._cli_porkchop", None)
    assert "porkchop" not in top.usage() and "porkchop" not in astro.parser().format_help()
    fake = types.ModuleType("vextal.astro._cli_porkchop")
    fake.__spec__ = importlib.machinery.ModuleSpec("vextal.astro._cli_porkchop", None)
    monkeypatch.setitem(sys.modules, "vextal.astro._cli_porkchop", fake)
    assert "python -m vextal.astro porkchop" in top.usage()
    assert "porkchop --help" in " ".join(astro.parser().format_help().split())
