"""Transfer-window search: porkchop grids of two-impulse Lambert transfers between two states.

``porkchop(chaser, target, departures, tofs)`` answers "when should I leave, how long should I fly, and what
does it cost" over a grid: for each departure offset (seconds after ``chaser.time``) and time of flight it moves
the chaser to the departure epoch and the target to the arrival epoch (two-body, 398600.5 km^3/s^2), solves
Lambert's problem for every arc up to ``max_revs`` revolutions and keeps the cheapest by total delta-v. The grid
runs natively on every core; plots (matplotlib), refinement (scipy) and progress bars (tqdm) need the
``vextal[porkchop]`` extra.
"""
from __future__ import annotations

from typing import Any, List, Mapping, Optional, Sequence, Union, cast

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._distributed import Chunks, check_arguments, porkchops_on_cluster
from vextal.astro._porkchop_results import (GridArrays, Porkchop, Progress, ProgressOption, Source, State,
                                            Transfer, check_model, stack_rows, state_tuple)
from vextal.astro._survey import Survey, named_targets, survey_result

__all__ = ["porkchop", "survey", "Porkchop", "Survey", "Transfer"]

_PROBE = (0.0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0)  # a valid state, for checking the other arguments alone


def porkchop(chaser: Source, target: Source, departures: npt.ArrayLike, tofs: npt.ArrayLike, *,
             prograde: bool = True, max_revs: int = 0, threads: Optional[int] = None,
             progress: ProgressOption = None, client: Any = None, chunks: Chunks = None,
             model: str = "two-body") -> Porkchop:
    """The porkchop grid between two states (ECI, 7-tuples or trajectories of vextal.astro.trajectory, whose
    `epoch` then stands for chaser.time): departures are offsets after chaser.time and tofs times of flight, in
    seconds, 1-D. Returns a Porkchop. threads: None for every core. progress: True for a progress bar on long
    grids (tqdm), or a callable that receives the fraction done. client: a dask.distributed Client to spread the
    departure axis over, cut into `chunks` (a count, or a sequence of chunk sizes; default four per worker
    thread), each chunk on one thread unless `threads` is given. model: "two-body", or "j2" to move states
    under J2 (they become vextal.astro.trajectory.J2 trajectories, sampled once into tables for the grid; a
    trajectory passed in is used as it is); the arcs are two-body Lambert arcs between the positions either
    way, and the result's `model` says which was used."""
    model = check_model(model)
    if model == "j2" and client is not None:
        raise ValueError("a cluster grid moves the states two-body only; model='j2' runs locally")
    if client is not None:
        from vextal.astro import _distributed

        for name, source in (("chaser", chaser), ("target", target)):
            if hasattr(source, "_grid_source"):
                raise TypeError("a cluster grid takes the %s as an ECI state or 7 numbers, not a trajectory (%s)"
                                % (name, type(source).__name__))

        return _distributed.porkchop_on_cluster(cast(State, chaser), cast(State, target), departures, tofs,
                                                prograde=prograde, max_revs=max_revs, threads=threads,
                                                progress=progress, client=client, chunks=chunks)
    # Every refusal before any work: the native grid over no cells checks the axes as given (only real
    # numbers, one-dimensional) and the options; the sources are checked below and by the grid itself.
    check_arguments(_PROBE, [_PROBE], departures, tofs, prograde, max_revs, threads)
    departures = np.asarray(departures, dtype=np.float64)
    tofs = np.asarray(tofs, dtype=np.float64)
    sources: List[Any] = []
    for name, source in (("chaser", chaser), ("target", target)):
        if hasattr(source, "_grid_source") and hasattr(source, "state_at"):
            sources.append(source)
        elif model == "j2":
            from vextal.astro.trajectory import J2

            sources.append(J2(state_tuple(source, name)))
        else:
            sources.append(state_tuple(source, name))
    chaser_source, target_source = sources
    if not isinstance(chaser_source, tuple) or not isinstance(target_source, tuple):
        # Trajectories: the native grid reads what covers the grid's epochs (a two-body state or a table);
        # the result keeps the states at the chaser's epoch and at the target's.
        t0 = chaser_source[0] if isinstance(chaser_source, tuple) else float(chaser_source.epoch)
        grid_chaser, grid_target = chaser_source, target_source
        if departures.size and tofs.size:
            first, last = t0 + float(departures.min()), t0 + float(departures.max())
            if not isinstance(chaser_source, tuple):
                grid_chaser = chaser_source._grid_source(first, last)
            if not isinstance(target_source, tuple):
                grid_target = target_source._grid_source(first + float(tofs.min()), last + float(tofs.max()))
        chaser_state = chaser_source if isinstance(chaser_source, tuple) else \
            state_tuple(chaser_source.state_at(t0), "chaser")
        target_state = target_source if isinstance(target_source, tuple) else \
            state_tuple(target_source.state_at(float(target_source.epoch)), "target")
        trajectories: Any = (chaser_source, target_source)
        # The native grid counts departures from its chaser's own epoch, a table's first sample: a table that
        # starts elsewhere than t0 (sampled over the departures only) is read at the same epochs by offsets
        # moved by the difference.
        shift = 0.0 if isinstance(grid_chaser, tuple) else t0 - float(grid_chaser.epoch)
    else:
        grid_chaser, grid_target = chaser_state, target_state = chaser_source, target_source
        trajectories, shift = None, 0.0
    offsets = departures + shift if shift else departures
    if not progress:
        arrays = _porkchop.grid(grid_chaser, grid_target, offsets, tofs, prograde, max_revs, threads)
    else:
        arrays = _with_progress(grid_chaser, grid_target, offsets, tofs, prograde, max_revs, threads, progress)
    result = Porkchop(chaser_state, target_state, departures, tofs, prograde, max_revs, *arrays, model=model,
                      trajectories=trajectories)
    if trajectories is not None:
        result.grid_sources = (grid_chaser, grid_target, shift)
    return result


def _with_progress(chaser: Any, target: Any, departures: npt.NDArray[np.float64],
                   tofs: npt.NDArray[np.float64], prograde: bool, max_revs: int, threads: Optional[int],
                   progress: ProgressOption) -> GridArrays:
    """The grid in blocks of departure rows, reporting after each; rows do not depend on the split, so the
    result is the same as one call's."""
    rows = max(1, min(departures.size, 2 ** 16 // max(1, tofs.size)))
    rows = max(rows, -(-departures.size // 200))  # at most about 200 blocks
    per_row = max(tofs.size, 1)  # cells, counted so that an empty grid still ends its count
    parts: List[GridArrays] = []
    with Progress(progress, max(departures.size, 1) * per_row, unit="cell", unit_scale=True, delay=0.5) as bar:
        for start in range(0, max(departures.size, 1), rows):
            block = departures[start:start + rows]
            parts.append(_porkchop.grid(chaser, target, block, tofs, prograde, max_revs, threads))
            bar.advance(block.size * per_row)
    return stack_rows(parts)


def survey(chaser: State, targets: Union[Sequence[State], Mapping[Any, State]], departures: npt.ArrayLike,
           tofs: npt.ArrayLike, *, prograde: bool = True, max_revs: int = 0, threads: Optional[int] = None,
           progress: ProgressOption = None, client: Any = None, chunks: Chunks = None,
           model: str = "two-body") -> Survey:
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states (the table names them by index) or a mapping of names to states.
    The other arguments are ``porkchop``'s; with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done. Locally the targets' grids run one after another, each on every
    core; with a client every chunk of every target's grid is submitted at once, so the whole cluster stays
    busy across targets. `model` is porkchop's: with "j2" the chaser and the targets move under J2 (locally
    only) and the table's costs are those of the J2 grids (its `model` column says which).
    """
    model = check_model(model)
    if model == "j2" and client is not None:
        raise ValueError("a cluster grid moves the states two-body only; model='j2' runs locally")
    names, states = named_targets(targets)
    if not states:
        raise ValueError("survey needs at least one target")
    if client is None:
        with Progress(progress, len(states), unit="target") as bar:
            porkchops: List[Porkchop] = []
            for state in states:
                porkchops.append(porkchop(chaser, state, departures, tofs, prograde=prograde, max_revs=max_revs,
                                          threads=threads, model=model))
                bar.advance()
    else:
        porkchops = porkchops_on_cluster(chaser, states, departures, tofs, prograde=prograde, max_revs=max_revs,
                                         threads=threads, progress=progress, client=client, chunks=chunks,
                                         labels=["target %r" % (name,) for name in names])
    return survey_result(names, porkchops)

