"""Porkchop surveys: one chaser against many targets (a constellation), and a table of each target's optimum.

Exported as ``vextal.astro.porkchop.survey``. Locally the targets' grids run one after another, each on
every core; with a Dask client every chunk of every target's grid is submitted at once, so the whole cluster
stays busy across targets.
"""
import collections.abc
import math
import typing

#: The columns of the survey table, in order.
COLUMNS = ("target", "departure", "tof", "dv_total", "dv_departure", "dv_arrival", "revolutions", "branch")


class Table(list):
    """The survey table: a list of records (dicts of the columns ``COLUMNS``), the same type whether or not
    pandas is installed; ``to_pandas()`` makes it a DataFrame of those columns."""

    columns = COLUMNS

    def to_pandas(self):
        try:
            import pandas  # type: ignore  # optional, and without type information
        except ImportError as exc:
            raise ImportError("Table.to_pandas() needs pandas: pip install pandas") from exc
        return pandas.DataFrame.from_records(list(self), columns=list(COLUMNS))


class Survey(typing.NamedTuple):
    """What ``survey`` returns: ``porkchops``, one ``Porkchop`` per target in the order given, and ``table``,
    one record per target (the columns ``COLUMNS``) sorted by total delta-v, cheapest first, targets without
    any transfer last: a ``Table`` (a list of dicts, with ``to_pandas()``)."""

    porkchops: typing.List[typing.Any]
    table: typing.Any


def survey(chaser, targets, departures, tofs, *, prograde=True, max_revs=0, threads=None, progress=None,
           client=None, chunks=None):
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states (the table names them by index) or a mapping of names to states.
    The other arguments are ``porkchop``'s; with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done.
    """
    from vextal.astro import porkchop as pc

    if isinstance(targets, collections.abc.Mapping):
        names, states = list(targets.keys()), list(targets.values())
    else:
        states = list(targets)
        names = list(range(len(states)))
    if not states:
        raise ValueError("survey needs at least one target")

    if client is None:
        porkchops = _local(pc, chaser, states, departures, tofs, prograde, max_revs, threads, progress)
    else:
        from vextal.astro._distributed import porkchops_on_cluster

        porkchops = porkchops_on_cluster(chaser, states, departures, tofs, prograde=prograde, max_revs=max_revs,
                                         threads=threads, progress=progress, client=client, chunks=chunks,
                                         labels=["target %r" % (name,) for name in names])

    records = [_record(name, grid) for name, grid in zip(names, porkchops)]
    records.sort(key=lambda r: (math.isnan(r["dv_total"]), r["dv_total"]))  # stable: ties keep target order
    return Survey(porkchops, Table(records))


def _local(pc, chaser, states, departures, tofs, prograde, max_revs, threads, progress):
    """The grids one after another on this machine; `progress` sees the fraction of the whole survey."""
    from vextal.astro.porkchop import Progress

    with Progress(progress, len(states), unit="target") as bar:
        grids = []
        for state in states:
            grids.append(pc.porkchop(chaser, state, departures, tofs, prograde=prograde, max_revs=max_revs,
                                     threads=threads))
            bar.advance()
    return grids


def _record(name, grid):
    try:
        best = grid.best()
    except ValueError:  # no arc anywhere on this target's grid
        return dict(zip(COLUMNS, (name, math.nan, math.nan, math.nan, math.nan, math.nan, -1, 0)))
    return {"target": name, "departure": best.departure, "tof": best.tof, "dv_total": best.dv_total,
            "dv_departure": best.dv_departure, "dv_arrival": best.dv_arrival, "revolutions": best.revolutions,
            "branch": best.branch}
