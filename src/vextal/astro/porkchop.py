"""Transfer-window search: porkchop grids of two-impulse Lambert transfers between two states.

``porkchop(chaser, target, departures, tofs)`` answers "when should I leave, how long should I fly, and what
does it cost" over a grid: for each departure (an offset in seconds after ``chaser.time``, or a date) and time
of flight it takes the chaser's state at the departure epoch and the target's at the arrival epoch (two-body,
398600.5 km^3/s^2, or the trajectories given: tables, TLEs, OEM files), solves Lambert's problem for every arc
up to ``max_revs`` revolutions and keeps the cheapest by total delta-v. The grid runs natively on every core;
plots (matplotlib), refinement (scipy) and progress bars (tqdm) need the ``vextal[porkchop]`` extra.
"""
from __future__ import annotations

from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._distributed import Chunks, porkchops_on_cluster
from vextal.astro._grid_sources import Window
from vextal.astro._porkchop_results import (GridArrays, Porkchop, Progress, ProgressOption, Source, Transfer,
                                            stack_rows)
from vextal.astro._survey import Survey, named_targets, survey_result

__all__ = ["porkchop", "survey", "Porkchop", "Survey", "Transfer"]


def porkchop(chaser: Source, target: Source, departures: Any, tofs: Any, *, prograde: bool = True,
             max_revs: int = 0, threads: Optional[int] = None, progress: ProgressOption = None, client: Any = None,
             chunks: Chunks = None) -> Porkchop:
    """The porkchop grid between two objects: ECI states, 7-tuples or trajectories of vextal.astro.trajectory
    (two-body, table, TLE/OMM, OEM, ...), whose `epoch` then stands for chaser.time.

    `departures` (1-D) are offsets in seconds after the chaser's epoch (a timedelta64 in its own unit), or
    dates of any kind vextal.astro.time.epoch reads (datetime, datetime64, ISO strings, astropy Time): absolute
    UTC epochs, whose offsets are then taken from the chaser's epoch, and the result carries them
    (``departure_epochs``, ``epoch``; its plot shows dates). `tofs` are times of flight in seconds (or a
    timedelta64), 1-D. A trajectory is sampled once for the epochs the grid needs, and the result's
    ``transfer``/``best``/``refine`` read the same samples. Returns a Porkchop. threads: None for every core.
    progress: True for a progress bar on long grids (tqdm), or a callable that receives the fraction done.
    client: a dask.distributed Client to spread the departure axis over, cut into `chunks` (a count, or a
    sequence of chunk sizes; default four per worker thread), each chunk on one thread unless `threads` is
    given; trajectories travel to the workers as the tables they sample."""
    if client is not None:
        from vextal.astro import _distributed

        return _distributed.porkchop_on_cluster(chaser, target, departures, tofs, prograde=prograde,
                                                max_revs=max_revs, threads=threads, progress=progress, client=client,
                                                chunks=chunks)
    window = Window(chaser, departures, tofs, (prograde, max_revs, threads))
    return _local_grid(window, target, "target", prograde, max_revs, threads, progress)


def _local_grid(window: Window, target: Source, name: str, prograde: bool, max_revs: int, threads: Optional[int],
                progress: ProgressOption) -> Porkchop:
    target_state, target_source = window.target(target, name)
    sources = (window.chaser_source, target_source)
    if not progress:
        arrays = _porkchop.grid(*sources, window.departures, window.tofs, prograde, max_revs, threads, window.epoch)
    else:
        arrays = _with_progress(sources, window, prograde, max_revs, threads, progress)
    return window.result(target_state, target_source, prograde, max_revs, arrays)


def _with_progress(sources: Tuple[Any, Any], window: Window, prograde: bool, max_revs: int, threads: Optional[int],
                   progress: ProgressOption) -> GridArrays:
    """The grid in blocks of departure rows, reporting after each; rows do not depend on the split, so the
    result is the same as one call's."""
    departures, tofs = window.departures, window.tofs
    rows = max(1, min(departures.size, 2 ** 16 // max(1, tofs.size)))
    rows = max(rows, -(-departures.size // 200))  # at most about 200 blocks
    per_row = max(tofs.size, 1)  # cells, counted so that an empty grid still ends its count
    parts: List[GridArrays] = []
    with Progress(progress, max(departures.size, 1) * per_row, unit="cell", unit_scale=True, delay=0.5) as bar:
        for start in range(0, max(departures.size, 1), rows):
            block = departures[start:start + rows]
            parts.append(_porkchop.grid(*sources, block, tofs, prograde, max_revs, threads, window.epoch))
            bar.advance(block.size * per_row)
    return stack_rows(parts)


def survey(chaser: Source, targets: Union[Sequence[Source], Mapping[Any, Source]], departures: Any, tofs: Any, *, prograde: bool = True, max_revs: int = 0, threads: Optional[int] = None,
           progress: ProgressOption = None, client: Any = None, chunks: Chunks = None) -> Survey:
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states or trajectories (the table names them by index) or a mapping of
    names to them. The chaser is sampled once for every target. The other
    arguments are ``porkchop``'s; with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done. Locally the targets' grids run one after another, each on every
    core; with a client every chunk of every target's grid is submitted at once, so the whole cluster stays
    busy across targets.
    """
    names, states = named_targets(targets)
    if not states:
        raise ValueError("survey needs at least one target")
    if client is None:
        window = Window(chaser, departures, tofs, (prograde, max_revs, threads))
        with Progress(progress, len(states), unit="target") as bar:
            porkchops: List[Porkchop] = []
            for name, state in zip(names, states):
                porkchops.append(_local_grid(window, state, "target %r" % (name,), prograde, max_revs, threads, None))
                bar.advance()
    else:
        porkchops = porkchops_on_cluster(chaser, states, departures, tofs, prograde=prograde, max_revs=max_revs,
                                         threads=threads, progress=progress, client=client, chunks=chunks,
                                         labels=["target %r" % (name,) for name in names])
    return survey_result(names, porkchops)

