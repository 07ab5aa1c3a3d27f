"""Transfer-window search: porkchop grids of two-impulse Lambert transfers between two states.

``porkchop(chaser, target, departures, tofs)`` answers "when should I leave, how long should I fly, and what
does it cost" over a grid: for each departure (an offset in seconds after ``chaser.time``, or a date) and time
of flight it takes the chaser's state at the departure epoch and the target's at the arrival epoch (two-body
under ``mu``, by default the Earth's 398600.5 km^3/s^2, or the trajectories given: tables, TLEs, OEM files, J2),
solves Lambert's problem for every arc up to ``max_revs`` revolutions and keeps the cheapest that stays above
``min_radius``. The grid runs natively on every core; plots (matplotlib), refinement (scipy) and progress bars
(tqdm) need the ``vextal[porkchop]`` extra.
"""
from __future__ import annotations

import math
import warnings
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._distributed import Chunks, porkchops_on_cluster
from vextal.astro._grid_sources import DirectionWarning, Window, direction, is_trajectory, sense
from vextal.astro._grid_common import (GridArrays, Progress, ProgressOption, Source, check_model, grid_options,
                                       stack_rows)
from vextal.astro._porkchop_results import CELL_STATUS, Porkchop
from vextal.astro._safety import Safety
from vextal.astro._state import StateTuple, state_tuple
from vextal.astro._transfer import Transfer
from vextal.astro._survey import Survey, named_targets, survey_result

__all__ = ["porkchop", "survey", "Porkchop", "Safety", "Survey", "Transfer", "DirectionWarning",
           "CELL_STATUS", "MU_EARTH", "MU_SUN", "MU_MOON", "MU_MARS"]

#: Gravitational parameters (km^3/s^2): the package's Earth value, and the Sun's, the Moon's and Mars's
#: (IAU 2015 nominal / JPL DE440 values).
MU_EARTH = _porkchop.MU_EARTH
MU_SUN = _porkchop.MU_SUN
MU_MOON = _porkchop.MU_MOON
MU_MARS = _porkchop.MU_MARS


def _central_mu(mu: Optional[SupportsFloat], sources: Sequence[Any]) -> float:
    """`mu` when given; else the one mu of the two-body trajectories among `sources`, or the Earth's."""
    if mu is not None:
        return float(mu)
    from vextal.astro.trajectory import TwoBody

    found = {float(source.mu) for source in sources if isinstance(source, TwoBody)}
    return found.pop() if len(found) == 1 else MU_EARTH


def porkchop(chaser: Source, target: Source, departures: Any, tofs: Any, *,
             prograde: Optional[bool] = None, max_revs: int = 0, mu: Optional[SupportsFloat] = None,
             cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
             arrive_at: Optional[Sequence[SupportsFloat]] = None, depart_from: Optional[Sequence[SupportsFloat]] = None,
             threads: Optional[int] = None, progress: ProgressOption = None, client: Any = None,
             chunks: Chunks = None, model: str = "two-body") -> Porkchop:
    """The porkchop grid between two objects: ECI states, 7-tuples or trajectories of vextal.astro.trajectory
    (two-body, table, TLE/OMM, OEM, J2, ...), whose `epoch` then stands for chaser.time. Returns a Porkchop.

    `departures` (1-D) are offsets in seconds after the chaser's epoch (a timedelta64 in its own unit), or
    dates of any kind vextal.astro.time.epoch reads (datetime, datetime64, ISO strings, astropy Time): absolute
    UTC epochs, whose offsets are then taken from the chaser's epoch, and the result carries them
    (``departure_epochs``, ``epoch``; its plot shows dates). `tofs` are times of flight in seconds (or a
    timedelta64), 1-D. A trajectory is sampled once for the epochs the grid needs, and the result's
    ``transfer``/``best``/``refine``/``safety`` read the same samples.

    prograde: None (the default) follows the chaser's own sense of motion (the sign of its angular momentum's
    z component); True or False force it. A chaser and target moving in opposite senses give a
    DirectionWarning. mu: the central body's gravitational parameter (km^3/s^2; MU_SUN for an interplanetary
    window), for the arcs and for moving 7-tuple and ECI states; by default the mu of two-body trajectories
    given (vextal.astro.trajectory.TwoBody) when they agree, else the Earth's. cost: "rendezvous" (departure +
    arrival delta-v) or "intercept" (departure only). min_radius: arcs whose flown path comes below this radius
    (km) are not candidates (decided from whether periapsis lies on the arc); default the Earth's equatorial
    radius under the Earth's mu, none under any other; 0 for none. arrive_at: a hold point (dr, di, dc) km in
    the target's RIC frame at arrival, whose velocity (the target's plus the frame's rotation) the arrival burn
    matches; depart_from: the departure point likewise in the chaser's RIC frame at departure.

    threads: None for every core. progress: True for a progress bar on long grids (tqdm), or a callable that
    receives the fraction done. client: a dask.distributed Client to spread the departure axis over, cut into
    `chunks` (a count, or a sequence of chunk sizes; default four per worker thread), each chunk on one thread
    unless `threads` is given; trajectories travel to the workers as the tables they sample.

    model: "two-body", or "j2" to move states under the Earth's J2 (they become vextal.astro.trajectory.J2
    trajectories, sampled once into tables for the grid; a trajectory passed in is used as it is); the arcs
    are two-body Lambert arcs between the positions either way, and the result's `model` says which was used
    (refine() then corrects the optimum to arrive under J2)."""
    options = grid_options(_central_mu(mu, (chaser, target)), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options)
    chaser, target = in_model(chaser, "chaser", model), in_model(target, "target", model)
    if client is not None:
        from vextal.astro import _distributed

        grid = _distributed.porkchop_on_cluster(chaser, target, departures, tofs, prograde=prograde,
                                                max_revs=max_revs, threads=threads, progress=progress, client=client,
                                                chunks=chunks, options=options)
    else:
        window = Window(chaser, departures, tofs, (prograde, max_revs, threads), options)
        grid = _local_grid(window, target, "target", prograde, max_revs, threads, progress, options)
    return with_model(grid, model, chaser, target)


def check_j2(model: str, options: Dict[str, Any]) -> None:
    """Refuses a model other than two-body and J2, and J2 about another body than the Earth."""
    if check_model(model) == "j2" and options["mu"] != MU_EARTH:
        raise ValueError("model='j2' is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                         % (MU_EARTH, options["mu"]))


def in_model(source: Any, name: str, model: str) -> Any:
    """A state as the model moves it: under "j2" a J2 trajectory of it; a trajectory as it is."""
    if model != "j2" or is_trajectory(source):
        return source
    from vextal.astro.trajectory import J2

    return J2(state_tuple(source, name))


def with_model(grid: Porkchop, model: str, chaser: Any, target: Any) -> Porkchop:
    """The grid, marked with the model that moved its ends and keeping the trajectories it was given (from
    which a J2 refinement reads exact states)."""
    if model != "two-body":
        grid.model = model
    if is_trajectory(chaser) or is_trajectory(target):
        grid.trajectories = (chaser, target)
    return grid


def _local_grid(window: Window, target: Source, name: str, prograde: Optional[bool], max_revs: int,
                threads: Optional[int], progress: ProgressOption, options: Dict[str, Any]) -> Porkchop:
    target_state, target_source = window.target(target, name)
    sense = direction(window.chaser, target_state, prograde, stacklevel=4)
    sources = (window.chaser_source, target_source)
    if not progress:
        arrays = _porkchop.grid(*sources, window.departures, window.tofs, sense, max_revs, threads=threads,
                                **options, epoch=window.epoch)
    else:
        arrays = _with_progress(sources, window, sense, max_revs, threads, progress, options)
    return window.result(target_state, target_source, sense, max_revs, arrays, options)


def _with_progress(sources: Tuple[Any, Any], window: Window, prograde: bool, max_revs: int, threads: Optional[int],
                   progress: ProgressOption, options: Dict[str, Any]) -> GridArrays:
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
            parts.append(_porkchop.grid(*sources, block, tofs, prograde, max_revs, threads=threads, **options,
                                        epoch=window.epoch))
            bar.advance(block.size * per_row)
    return stack_rows(parts)


def survey(chaser: Source, targets: Union[Sequence[Source], Mapping[Any, Source]], departures: Any, tofs: Any, *,
           prograde: Optional[bool] = None, max_revs: int = 0,
           mu: Optional[SupportsFloat] = None,
           cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
           arrive_at: Optional[Sequence[SupportsFloat]] = None, depart_from: Optional[Sequence[SupportsFloat]] = None,
           threads: Optional[int] = None, progress: ProgressOption = None, client: Any = None,
           chunks: Chunks = None, model: str = "two-body") -> Survey:
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states or trajectories (the table names them by index) or a mapping of
    names to them; the chaser is sampled once for every target.
    The other arguments are ``porkchop``'s (the direction, when not given, is the chaser's own for every
    target); with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done. Locally the targets' grids run one after another, each on every
    core; with a client every chunk of every target's grid is submitted at once, so the whole cluster stays
    busy across targets. `model` is porkchop's: with "j2" the chaser and the targets move under J2 and the
    table's costs are those of the J2 grids (its `model` column says which).
    """
    names, states = named_targets(targets)
    if not states:
        raise ValueError("survey needs at least one target")
    options = grid_options(_central_mu(mu, [chaser, *states]), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options)
    chaser = in_model(chaser, "chaser", model)
    states = [in_model(state, "target %r" % (name,), model) for name, state in zip(names, states)]
    if client is None:
        window = Window(chaser, departures, tofs, (prograde, max_revs, threads), options)
        with Progress(progress, len(states), unit="target") as bar:
            porkchops: List[Porkchop] = []
            for name, state in zip(names, states):
                porkchops.append(_local_grid(window, state, "target %r" % (name,), prograde, max_revs, threads,
                                             None, options))
                bar.advance()
    else:
        porkchops = porkchops_on_cluster(chaser, states, departures, tofs, prograde=prograde, max_revs=max_revs,
                                         threads=threads, progress=progress, client=client, chunks=chunks,
                                         labels=["target %r" % (name,) for name in names], options=options)
    porkchops = [with_model(grid, model, chaser, state) for grid, state in zip(porkchops, states)]
    return survey_result(names, porkchops)

