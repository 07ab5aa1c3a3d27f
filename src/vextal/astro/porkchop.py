"""Transfer-window search: porkchop grids of two-impulse Lambert transfers between two states.

``porkchop(chaser, target, departures, tofs)`` answers "when should I leave, how long should I fly, and what
does it cost" over a grid: for each departure offset (seconds after ``chaser.time``) and time of flight it moves
the chaser to the departure epoch and the target to the arrival epoch (two-body under ``mu``, by default the
Earth's 398600.5 km^3/s^2), solves Lambert's problem for every arc up to ``max_revs`` revolutions and keeps the
cheapest that stays above ``min_radius``. The grid runs natively on every core; plots (matplotlib), refinement
(scipy) and progress bars (tqdm) need the ``vextal[porkchop]`` extra.
"""
from __future__ import annotations

import math
import warnings
from typing import Any, Dict, Hashable, List, Mapping, Optional, Sequence, SupportsFloat, Tuple, Union, cast

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro._distributed import Chunks, check_arguments, porkchops_on_cluster
from vextal.astro._porkchop_results import (CELL_STATUS, GridArrays, Porkchop, Progress, ProgressOption, Safety,
                                            Source, State, StateTuple, Transfer, check_model, grid_options,
                                            stack_rows, state_tuple)
from vextal.astro._survey import Survey, named_targets, survey_result

__all__ = ["porkchop", "survey", "Porkchop", "Safety", "Survey", "Transfer", "DirectionWarning",
           "CELL_STATUS", "MU_EARTH", "MU_SUN", "MU_MOON", "MU_MARS"]

#: Gravitational parameters (km^3/s^2): the package's Earth value, and the Sun's, the Moon's and Mars's
#: (IAU 2015 nominal / JPL DE440 values).
MU_EARTH = _porkchop.MU_EARTH
MU_SUN = _porkchop.MU_SUN
MU_MOON = _porkchop.MU_MOON
MU_MARS = _porkchop.MU_MARS


class DirectionWarning(UserWarning):
    """The chaser and the target move in opposite senses about the z axis (or the direction asked opposes
    the chaser's own)."""


def sense(state: StateTuple) -> int:
    """+1 when the state moves counter-clockwise about z (angular momentum's z component > 0), -1 when
    clockwise, 0 when that component is zero."""
    hz = state[1] * state[5] - state[2] * state[4]
    return (hz > 0) - (hz < 0)


def _central_mu(mu: Optional[SupportsFloat], sources: Sequence[Any]) -> float:
    """`mu` when given; else the one mu of the two-body trajectories among `sources`, or the Earth's."""
    if mu is not None:
        return float(mu)
    from vextal.astro.trajectory import TwoBody

    found = {float(source.mu) for source in sources if isinstance(source, TwoBody)}
    return found.pop() if len(found) == 1 else MU_EARTH


def direction(chaser: StateTuple, target: StateTuple, prograde: Optional[bool], stacklevel: int = 3) -> bool:
    """The transfer's direction: `prograde` when given, else the chaser's own sense of motion (the sign of the
    z component of its angular momentum; prograde when that is zero). Warns (DirectionWarning) when chaser
    and target move in opposite senses."""
    chaser_sense, target_sense = sense(chaser), sense(target)
    if chaser_sense * target_sense < 0:
        warnings.warn("the chaser and the target move in opposite senses about the z axis (angular momentum z "
                      "components of opposite signs): every transfer between them reverses the chaser's "
                      "direction", DirectionWarning, stacklevel=stacklevel)
    if prograde is None:
        return chaser_sense >= 0
    if not isinstance(prograde, (bool, np.bool_)):
        raise TypeError("prograde must be True, False or None (the chaser's own direction), not %r" % (prograde,))
    return bool(prograde)

_PROBE = (0.0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0)  # a valid state, for checking the other arguments alone


def porkchop(chaser: Source, target: Source, departures: npt.ArrayLike, tofs: npt.ArrayLike, *,
             prograde: Optional[bool] = None, max_revs: int = 0, mu: Optional[SupportsFloat] = None,
             cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
             arrive_at: Optional[Sequence[SupportsFloat]] = None, depart_from: Optional[Sequence[SupportsFloat]] = None,
             threads: Optional[int] = None, progress: ProgressOption = None, client: Any = None,
             chunks: Chunks = None, model: str = "two-body") -> Porkchop:
    """The porkchop grid between two states (ECI, 7-tuples or trajectories of vextal.astro.trajectory, whose
    `epoch` then stands for chaser.time): departures are offsets after chaser.time and tofs times of flight, in
    seconds, 1-D. Returns a Porkchop.

    prograde: None (the default) follows the chaser's own sense of motion (the sign of its angular momentum's
    z component); True or False force it. A chaser and target moving in opposite senses give a
    DirectionWarning. mu: the central body's gravitational parameter (km^3/s^2; MU_SUN for an interplanetary
    window), for the arcs and for moving 7-tuple and ECI states; by default the mu of two-body trajectories
    given (vextal.astro.trajectory.TwoBody) when they agree, else the Earth's. cost: "rendezvous" (departure + arrival
    delta-v) or "intercept" (departure only). min_radius: arcs whose flown path comes below this radius (km)
    are not candidates (decided from whether periapsis lies on the arc); default the Earth's equatorial radius
    under the Earth's mu, none under any other; 0 for none. arrive_at: a hold point (dr, di, dc) km in the
    target's RIC frame at arrival, whose velocity (the target's plus the frame's rotation) the arrival burn
    matches; depart_from: the departure point likewise in the chaser's RIC frame at departure.

    threads: None for every core. progress: True for a progress bar on long grids (tqdm), or a callable that
    receives the fraction done. client: a dask.distributed Client to spread the departure axis over, cut into
    `chunks` (a count, or a sequence of chunk sizes; default four per worker thread), each chunk on one thread
    unless `threads` is given.

    model: "two-body", or "j2" to move states under the Earth's J2 (they become vextal.astro.trajectory.J2
    trajectories, sampled once into tables for the grid; a trajectory passed in is used as it is); the arcs
    are two-body Lambert arcs between the positions either way, and the result's `model` says which was used."""
    options = grid_options(_central_mu(mu, (chaser, target)), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options, client)
    if client is not None:
        from vextal.astro import _distributed

        for name, source in (("chaser", chaser), ("target", target)):
            if hasattr(source, "_grid_source"):
                raise TypeError("a cluster grid takes the %s as an ECI state or 7 numbers, not a trajectory (%s)"
                                % (name, type(source).__name__))
        sense = direction(state_tuple(cast(State, chaser), "chaser"), state_tuple(cast(State, target), "target"),
                          prograde)
        return _distributed.porkchop_on_cluster(cast(State, chaser), cast(State, target), departures, tofs,
                                                prograde=sense, max_revs=max_revs, threads=threads,
                                                progress=progress, client=client, chunks=chunks, options=options)
    # Every refusal before any work: the native grid over no cells checks the axes as given (only real
    # numbers, one-dimensional) and the options; the sources are checked below and by the grid itself.
    check_arguments(_PROBE, [_PROBE], departures, tofs, prograde, max_revs, threads, options)
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
    sense = direction(chaser_state, target_state, prograde)
    offsets = departures + shift if shift else departures
    if not progress:
        arrays = _porkchop.grid(grid_chaser, grid_target, offsets, tofs, sense, max_revs, threads=threads,
                                **options)
    else:
        arrays = _with_progress(grid_chaser, grid_target, offsets, tofs, sense, max_revs, threads, progress,
                                options)
    result = Porkchop(chaser_state, target_state, departures, tofs, sense, max_revs, *arrays, **options,
                      model=model, trajectories=trajectories)
    if trajectories is not None:
        result.grid_sources = (grid_chaser, grid_target, shift)
    return result


def check_j2(model: str, options: Dict[str, Any], client: Any) -> None:
    """Refuses a model other than two-body and J2, and J2 where it cannot run: on a cluster (which moves
    states two-body) or about another body than the Earth."""
    if check_model(model) != "j2":
        return
    if client is not None:
        raise ValueError("a cluster grid moves the states two-body only; model='j2' runs locally")
    if options["mu"] != MU_EARTH:
        raise ValueError("model='j2' is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                         % (MU_EARTH, options["mu"]))


def _with_progress(chaser: Any, target: Any, departures: npt.NDArray[np.float64],
                   tofs: npt.NDArray[np.float64], prograde: bool, max_revs: int, threads: Optional[int],
                   progress: ProgressOption, options: Dict[str, Any]) -> GridArrays:
    """The grid in blocks of departure rows, reporting after each; rows do not depend on the split, so the
    result is the same as one call's."""
    rows = max(1, min(departures.size, 2 ** 16 // max(1, tofs.size)))
    rows = max(rows, -(-departures.size // 200))  # at most about 200 blocks
    per_row = max(tofs.size, 1)  # cells, counted so that an empty grid still ends its count
    parts: List[GridArrays] = []
    with Progress(progress, max(departures.size, 1) * per_row, unit="cell", unit_scale=True, delay=0.5) as bar:
        for start in range(0, max(departures.size, 1), rows):
            block = departures[start:start + rows]
            parts.append(_porkchop.grid(chaser, target, block, tofs, prograde, max_revs, threads=threads, **options))
            bar.advance(block.size * per_row)
    return stack_rows(parts)


def survey(chaser: State, targets: Union[Sequence[State], Mapping[Any, State]], departures: npt.ArrayLike,
           tofs: npt.ArrayLike, *, prograde: Optional[bool] = None, max_revs: int = 0,
           mu: Optional[SupportsFloat] = None,
           cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
           arrive_at: Optional[Sequence[SupportsFloat]] = None, depart_from: Optional[Sequence[SupportsFloat]] = None,
           threads: Optional[int] = None, progress: ProgressOption = None, client: Any = None,
           chunks: Chunks = None, model: str = "two-body") -> Survey:
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states (the table names them by index) or a mapping of names to states.
    The other arguments are ``porkchop``'s (the direction, when not given, is the chaser's own for every
    target); with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done. Locally the targets' grids run one after another, each on every
    core; with a client every chunk of every target's grid is submitted at once, so the whole cluster stays
    busy across targets. `model` is porkchop's: with "j2" the chaser and the targets move under J2 (locally
    only) and the table's costs are those of the J2 grids (its `model` column says which).
    """
    names, states = named_targets(targets)
    if not states:
        raise ValueError("survey needs at least one target")
    options = grid_options(_central_mu(mu, [chaser, *states]), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options, client)
    if client is None:
        with Progress(progress, len(states), unit="target") as bar:
            porkchops: List[Porkchop] = []
            for state in states:
                porkchops.append(porkchop(chaser, state, departures, tofs, prograde=prograde, max_revs=max_revs,
                                          threads=threads, model=model, **options))
                bar.advance()
    else:
        chaser_tuple = state_tuple(chaser, "chaser")
        sense = direction(chaser_tuple, chaser_tuple, prograde)
        for name, state in zip(names, states):
            direction(chaser_tuple, state_tuple(state, "target %r" % (name,)), sense)
        porkchops = porkchops_on_cluster(chaser, states, departures, tofs, prograde=sense, max_revs=max_revs,
                                         threads=threads, progress=progress, client=client, chunks=chunks,
                                         labels=["target %r" % (name,) for name in names], options=options)
    return survey_result(names, porkchops)

