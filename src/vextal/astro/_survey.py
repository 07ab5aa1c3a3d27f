"""Porkchop surveys: the table of each target's optimum that ``vextal.astro.porkchop.survey`` returns beside its
grids (one chaser against many targets, a constellation)."""
from __future__ import annotations

import collections.abc
import math
import typing
from typing import Any, Dict, Hashable, List, Mapping, Sequence, Tuple

from vextal.astro._porkchop_results import Porkchop

#: The columns of the survey table, in order.
COLUMNS = ("target", "departure", "tof", "dv_total", "dv_departure", "dv_arrival", "revolutions", "branch",
           "model", "departure_utc")


class Table(list):  # type: ignore[type-arg]
    """The survey table: a list of records (dicts of the columns ``COLUMNS``), the same type whether or not
    pandas is installed; ``to_pandas()`` makes it a DataFrame of those columns."""

    columns = COLUMNS

    def to_pandas(self) -> Any:
        try:
            import pandas  # type: ignore  # optional, and without type information
        except ImportError as exc:
            raise ImportError("Table.to_pandas() needs pandas: pip install pandas") from exc
        return pandas.DataFrame.from_records(list(self), columns=list(COLUMNS))

    def _repr_html_(self) -> str:
        from vextal.astro._tables import survey_html

        return survey_html(self)


class Survey(typing.NamedTuple):
    """What ``survey`` returns: ``porkchops``, one ``Porkchop`` per target in the order given, and ``table``,
    one record per target (the columns ``COLUMNS``) sorted by total delta-v, cheapest first, targets without
    any transfer last: a ``Table`` (a list of dicts, with ``to_pandas()``)."""

    porkchops: typing.List[Porkchop]
    table: typing.Any


def survey_result(names: Sequence[Hashable], porkchops: List[Porkchop]) -> Survey:
    """The grids and the table of their optima, cheapest first (ties keep the targets' order)."""
    records = [_record(name, grid) for name, grid in zip(names, porkchops)]
    records.sort(key=lambda r: (math.isnan(r["dv_total"]), r["dv_total"]))  # stable: ties keep target order
    return Survey(porkchops, Table(records))


def _record(name: Hashable, grid: Porkchop) -> Dict[str, Any]:
    try:
        best = grid.best()
    except ValueError:  # no arc anywhere on this target's grid
        return dict(zip(COLUMNS, (name, math.nan, math.nan, math.nan, math.nan, math.nan, -1, 0, grid.model, None)))
    return {"target": name, "departure": best.departure, "tof": best.tof, "dv_total": best.dv_total,
            "dv_departure": best.dv_departure, "dv_arrival": best.dv_arrival, "revolutions": best.revolutions,
            "branch": best.branch, "model": grid.model, "departure_utc": best.departure_utc}


def named_targets(targets: Any) -> Tuple[List[Hashable], List[Any]]:
    """(names, states) of a mapping of names to states, or of a sequence (named by index)."""
    if isinstance(targets, collections.abc.Mapping):
        mapping: Mapping[Hashable, Any] = targets
        return list(mapping.keys()), list(mapping.values())
    states = list(targets)
    return list(range(len(states))), states
