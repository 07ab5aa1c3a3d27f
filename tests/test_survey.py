"""survey(): one chaser against many targets on this machine, and its table of optima."""
import math
import sys

import numpy as np
import pytest

from vextal.astro import time
from vextal.astro.porkchop import survey

CHASER = (0.0, 7000.0, 0.0, 0.0, 0.5, 0.0, 0.0)  # falls and rises along the x axis
TARGETS = {
    "radial": (0.0, 8000.0, 0.0, 0.0, 0.3, 0.0, 0.0),  # on the chaser's line: every cell collinear, no arc
    "high": (0.0, 0.0, 7378.1374, 0.0, -7.35, 0.0, 0.0),
    "low": (0.0, -6878.1374, 0.0, 50.0, 0.0, -7.61, 0.0),
    "tilted": (0.0, 4800.0, 5300.0, 900.0, -5.65, 5.12, 0.4),
}
DEPARTURES, TOFS = np.linspace(0.0, 6000.0, 13), np.linspace(900.0, 12000.0, 9)
COLUMNS = ["target", "departure", "tof", "dv_total", "dv_departure", "dv_arrival", "revolutions", "branch",
           "model", "departure_utc", "error"]


def test_table_sorted_by_cost_with_unreachable_targets_last(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # the table is a list of dicts whatever is installed
    fractions = []
    result = survey(CHASER, TARGETS, DEPARTURES, TOFS, max_revs=1, progress=fractions.append)
    assert fractions == [0.25, 0.5, 0.75, 1.0]
    assert [p.target for p in result.porkchops] == list(TARGETS.values())  # grids keep the input order
    grids = dict(zip(TARGETS, result.porkchops))
    cheapest = {n: np.nanmin(p.dv_total) if not np.isnan(p.dv_total).all() else math.nan for n, p in grids.items()}
    order = sorted(TARGETS, key=lambda n: (math.isnan(cheapest[n]), cheapest[n]))
    assert order[-1] == "radial" and [r["target"] for r in result.table] == order
    for record in result.table:
        assert list(record) == COLUMNS
        if record["target"] == "radial":
            assert math.isnan(record["dv_total"]) and record["revolutions"] == -1
            continue
        best = grids[record["target"]].best()
        assert record["dv_total"] == pytest.approx(cheapest[record["target"]], abs=1e-12)
        assert [record[c] for c in COLUMNS[1:]] == [best.departure, best.tof, best.dv_total, best.dv_departure,
                                                     best.dv_arrival, best.revolutions, best.branch, "two-body",
                                                     best.departure_utc, None]
        assert record["departure_utc"] == time.to_datetime(CHASER[0] + best.departure).isoformat(
            timespec="microseconds")


def test_table_is_one_type_and_converts_to_a_dataframe():
    table = survey(CHASER, list(TARGETS.values()), DEPARTURES, TOFS).table
    assert type(table).__name__ == "Table" and isinstance(table, list) and all(type(r) is dict for r in table)
    pandas = pytest.importorskip("pandas")
    table = table.to_pandas()
    assert isinstance(table, pandas.DataFrame) and list(table.columns) == COLUMNS
    costs = table["dv_total"].tolist()
    assert list(table["target"])[-1] == 0 and math.isnan(costs[-1]) and costs[:-1] == sorted(costs[:-1])


@pytest.mark.parametrize("targets, error", [([], ValueError), ({}, ValueError), ([(0.0, 1.0)], TypeError)])
def test_bad_targets(targets, error):
    with pytest.raises(error, match="at least one target|7 numbers"):
        survey(CHASER, targets, DEPARTURES, TOFS)
