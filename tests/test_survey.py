"""survey(): one chaser against many targets on this machine, and its table of optima."""
import math
import sys

import numpy as np
import pytest

from vextal.astro.porkchop import Porkchop, Survey, porkchop, survey

CHASER = (0.0, 7000.0, 0.0, 0.0, 0.5, 0.0, 0.0)  # falls and rises along the x axis
TARGETS = {
    "radial": (0.0, 8000.0, 0.0, 0.0, 0.3, 0.0, 0.0),  # on the chaser's line: every cell collinear, no arc
    "high": (0.0, 0.0, 7378.1374, 0.0, -7.35, 0.0, 0.0),
    "low": (0.0, -6878.1374, 0.0, 50.0, 0.0, -7.61, 0.0),
    "tilted": (0.0, 4800.0, 5300.0, 900.0, -5.65, 5.12, 0.4),
}
DEPARTURES = np.linspace(0.0, 6000.0, 13)
TOFS = np.linspace(900.0, 12000.0, 9)
COLUMNS = ["target", "departure", "tof", "dv_total", "dv_departure", "dv_arrival", "revolutions", "branch"]


@pytest.fixture
def without_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # import pandas now raises ImportError


def test_table_sorted_by_cost_with_unreachable_targets_last(without_pandas):
    result = survey(CHASER, TARGETS, DEPARTURES, TOFS, max_revs=1)
    assert isinstance(result, Survey)
    grids = dict(zip(TARGETS, result.porkchops))
    assert [p.target for p in result.porkchops] == list(TARGETS.values())  # porkchops keep the input order
    cheapest = {name: float(np.min(p.dv_total)) if not np.isnan(p.dv_total).all() else math.nan
                for name, p in grids.items()}
    expected_order = sorted(TARGETS, key=lambda n: (math.isnan(cheapest[n]), cheapest[n]))
    assert expected_order[-1] == "radial"
    table = result.table
    assert isinstance(table, list) and [r["target"] for r in table] == expected_order
    for record in table:
        assert list(record) == COLUMNS
        if record["target"] == "radial":
            assert math.isnan(record["dv_total"]) and record["revolutions"] == -1
            continue
        best = grids[record["target"]].best()
        assert record["dv_total"] == pytest.approx(cheapest[record["target"]], abs=1e-12)
        assert [record[c] for c in COLUMNS[1:]] == [best.departure, best.tof, best.dv_total, best.dv_departure,
                                                     best.dv_arrival, best.revolutions, best.branch]


def test_grids_match_single_porkchops_and_targets_by_index(without_pandas):
    targets = list(TARGETS.values())[1:]
    result = survey(CHASER, targets, DEPARTURES, TOFS, prograde=False, max_revs=2, threads=1)
    assert sorted(r["target"] for r in result.table) == [0, 1, 2]
    for target, got in zip(targets, result.porkchops):
        expected = porkchop(CHASER, target, DEPARTURES, TOFS, prograde=False, max_revs=2)
        assert isinstance(got, Porkchop) and not got.prograde and got.max_revs == 2
        for name in ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch"):
            np.testing.assert_array_equal(getattr(got, name), getattr(expected, name))


def test_table_is_a_dataframe_with_pandas():
    pandas = pytest.importorskip("pandas")
    table = survey(CHASER, TARGETS, DEPARTURES, TOFS).table
    assert isinstance(table, pandas.DataFrame) and list(table.columns) == COLUMNS
    costs = table["dv_total"].tolist()
    assert list(table["target"])[-1] == "radial" and math.isnan(costs[-1])
    assert costs[:-1] == sorted(costs[:-1])


def test_progress_over_targets():
    fractions = []
    survey(CHASER, list(TARGETS.values())[:3], DEPARTURES, TOFS, progress=fractions.append)
    assert fractions == [1 / 3, 2 / 3, 1.0]


@pytest.mark.parametrize("targets, error, match", [
    ([], ValueError, "at least one target"),
    ({}, ValueError, "at least one target"),
    ([(0.0, 1.0)], TypeError, "7 numbers"),
])
def test_bad_targets(targets, error, match):
    with pytest.raises(error, match=match):
        survey(CHASER, targets, DEPARTURES, TOFS)
