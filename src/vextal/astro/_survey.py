"""Porkchop surveys: the table of each target's optimum that ``vextal.astro.porkchop.survey`` returns beside its
grids (one chaser against many targets, a constellation)."""
from __future__ import annotations

import collections.abc
import math
import typing
import warnings
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, Tuple

from vextal.astro._porkchop_results import Porkchop

#: The columns of the survey table, in order.
COLUMNS = ("target", "departure", "tof", "dv_total", "dv_departure", "dv_arrival", "revolutions", "branch",
           "model", "departure_utc", "error")


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
    """What ``survey`` returns: ``porkchops``, one ``Porkchop`` per target computed, in the order given, and
    ``table``, one record per target (the columns ``COLUMNS``) sorted by total delta-v, cheapest first,
    targets without any transfer last: a ``Table`` (a list of dicts, with ``to_pandas()``). A target whose grid
    could not be computed has no porkchop, and its row NaN costs and its reason in ``error`` (None
    otherwise)."""

    porkchops: typing.List[Porkchop]
    table: typing.Any


def survey_result(names: Sequence[Hashable], porkchops: List[Optional[Porkchop]],
                  errors: Optional[Sequence[Optional[str]]] = None, model: str = "two-body") -> Survey:
    """The grids and the table of their optima, cheapest first (ties keep the targets' order); a target whose
    grid is None is a row of NaN costs with its error."""
    errors = errors if errors is not None else [None] * len(porkchops)
    records = [_record(name, grid, error, model) for name, grid, error in zip(names, porkchops, errors)]
    records.sort(key=lambda r: (math.isnan(r["dv_total"]), r["dv_total"]))  # stable: ties keep target order
    return Survey([grid for grid in porkchops if grid is not None], Table(records))


def _record(name: Hashable, grid: Optional[Porkchop], error: Optional[str], model: str) -> Dict[str, Any]:
    empty = dict(zip(COLUMNS, (name, math.nan, math.nan, math.nan, math.nan, math.nan, -1, 0,
                               model if grid is None else grid.model, None, error)))
    if grid is None:
        return empty
    try:
        best = grid.best()
    except ValueError:  # no arc anywhere on this target's grid
        return empty
    return {"target": name, "departure": best.departure, "tof": best.tof, "dv_total": best.dv_total,
            "dv_departure": best.dv_departure, "dv_arrival": best.dv_arrival, "revolutions": best.revolutions,
            "branch": best.branch, "model": grid.model, "departure_utc": best.departure_utc,
            "error": None}


def same_object(chaser: Any, target: Any) -> bool:
    """True when a target is the chaser's own catalogue object (the same catalogue number)."""
    number = getattr(chaser, "satnum", None)
    return number is not None and getattr(target, "satnum", None) == number


def without_chaser(chaser: Any, names: List[Hashable], states: List[Any]) -> Tuple[List[Hashable], List[Any]]:
    """The targets less the chaser's own object, with a warning naming what was left out."""
    keep = [k for k, state in enumerate(states) if not same_object(chaser, state)]
    if len(keep) < len(states) and keep:
        left = ", ".join(repr(names[k]) for k in range(len(states)) if k not in keep)
        warnings.warn("target %s is the chaser itself (catalogue number %s): left out of the survey"
                      % (left, chaser.satnum), UserWarning, stacklevel=3)
        return [names[k] for k in keep], [states[k] for k in keep]
    return names, states


def named_targets(targets: Any) -> Tuple[List[Hashable], List[Any]]:
    """(names, states) of a mapping of names to states, or of a sequence (named by index)."""
    if isinstance(targets, collections.abc.Mapping):
        mapping: Mapping[Hashable, Any] = targets
        return list(mapping.keys()), list(mapping.values())
    states = list(targets)
    return list(range(len(states))), states
