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
from vextal.astro._grid_sources import DirectionWarning, Window, direction, sense
from vextal.astro._grid_common import (GridArrays, Progress, ProgressOption, Source, check_model, grid_options,
                                       is_trajectory, stack_rows)
from vextal.astro._porkchop_results import CELL_STATUS, Porkchop
from vextal.astro._safety import Safety
from vextal.astro._state import StateTuple, state_tuple
from vextal.astro._transfer import Transfer
from vextal.astro._survey import Survey, named_targets, survey_result, without_chaser

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
             chunks: Chunks = None, model: Any = "two-body") -> Porkchop:
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
    trajectories, sampled once into tables for the grid; a trajectory passed in is used as it is) and make
    every cell exact: the cheapest transfer whose burns, flown under J2 from the chaser's state, reach the
    target's within 1 m (status 4 where none converges; the two-body arcs' cost stays in `dv_total_arc`).
    A force model (vextal.astro.forces, e.g. forces.Zonal(6)) moves states as vextal.astro.trajectory.Numerical
    trajectories in it, about the pole at each state's epoch, and makes every cell exact in it likewise: the
    burns, flown in the model about the pole the chaser's trajectory moves about, reach the target within 1 m;
    refine() then searches the whole window for the exact optimum. The result's `model` says which was
    used."""
    options = grid_options(_central_mu(mu, (chaser, target)), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options)
    given = (chaser, target)
    chaser, target = in_model(chaser, "chaser", model), in_model(target, "target", model)
    options = with_flight(options, model, chaser)
    if client is not None:
        from vextal.astro import _distributed

        grid = _distributed.porkchop_on_cluster(chaser, target, departures, tofs, prograde=prograde,
                                                max_revs=max_revs, threads=threads, progress=progress, client=client,
                                                chunks=chunks, options=options)
    else:
        window = Window(chaser, departures, tofs, (prograde, max_revs, threads), options)
        grid = _local_grid(window, target, "target", prograde, max_revs, threads, progress, options)
    return with_model(grid, model, chaser, target, given)


def check_j2(model: Any, options: Dict[str, Any]) -> None:
    """Refuses a model other than two-body, J2 and force models, and fields about another body than the
    Earth."""
    if check_model(model) != "two-body" and options["mu"] != MU_EARTH:
        raise ValueError("model='j2' is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                         % (MU_EARTH, options["mu"]))


def in_model(source: Any, name: str, model: Any) -> Any:
    """A state as the model moves it: under "j2" a J2 trajectory of it, under a force model a Numerical
    trajectory; a trajectory as it is."""
    if model == "two-body" or is_trajectory(source):
        return source
    from vextal.astro import _j2_refine

    return _j2_refine.trajectory_of(state_tuple(source, name), model)


def with_flight(options: Dict[str, Any], model: Any, chaser: Any) -> Dict[str, Any]:
    """The native grid's keywords with the flight model of exact cells: under "j2" the J2 constants of a J2
    chaser, else the package's; under a force model the model packed with the pole the chaser's trajectory
    in it moves about (else the pole at the chaser's epoch), so that the cells fly as the trajectories move."""
    if not isinstance(model, str):
        from vextal.astro import _j2_refine

        epoch = float(chaser.epoch) if is_trajectory(chaser) else state_tuple(chaser, "chaser")[0]
        flown = _j2_refine.flown_in((chaser,), model, epoch)
        return {**options, "flight": flown.model.packed(flown.epoch)}
    if model != "j2":
        return options
    j2 = float(getattr(chaser, "j2", _porkchop.EARTH_J2))
    radius = float(getattr(chaser, "radius", _porkchop.EARTH_EQUATORIAL_RADIUS))
    return {**options, "flight": ("j2", j2, radius)}


def with_model(grid: Porkchop, model: Any, chaser: Any, target: Any, given: Tuple[Any, Any]) -> Porkchop:
    """The grid, marked with the model that moved its ends and keeping the trajectories it was given (from
    which a J2 refinement reads exact states); the ends of its two-body counterpart are the states as given
    (moved two-body) and the trajectories as the grid read them."""
    if model != "two-body":
        grid.model = model
        grid.two_body_sources = (grid.sources[0] if is_trajectory(given[0]) else grid.chaser,
                                 grid.sources[1] if is_trajectory(given[1]) else grid.target)
    if is_trajectory(chaser) or is_trajectory(target):
        grid.trajectories = (chaser, target)
    return grid


def _local_grid(window: Window, target: Source, name: str, prograde: Optional[bool], max_revs: int,
                threads: Optional[int], progress: ProgressOption, options: Dict[str, Any]) -> Porkchop:
    target_state, target_source = window.target(target, name)
    sense = direction(window.chaser, target_state, prograde, stacklevel=4, name=name)
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
           chunks: Chunks = None, model: Any = "two-body") -> Survey:
    """The porkchop grid of `chaser` against each of `targets` over the same window, and the table of each
    target's cheapest cell (the grid's ``best()``), sorted by cost.

    `targets` is a sequence of ECI states or trajectories (the table names them by index) or a mapping of
    names to them; the chaser is sampled once for every target. Locally, a target whose grid fails (SGP4
    reports an error in the window, an element set too old) is a row of NaN costs with its reason in the
    table's `error` column and has no porkchop; a target with the chaser's catalogue number is left out with
    a warning.
    The other arguments are ``porkchop``'s (the direction, when not given, is the chaser's own for every
    target); with `client` (a ``dask.distributed.Client``) the grids are
    computed on its cluster, split along the departure axis into `chunks` per target, and the call returns
    every grid whole or raises. `progress` follows the whole survey: True for a progress bar (tqdm), or a
    callable that receives the fraction done. Locally the targets' grids run one after another, each on every
    core; with a client every chunk of every target's grid is submitted at once, so the whole cluster stays
    busy across targets. `model` is porkchop's: with "j2" the chaser and the targets move under J2 and the
    table's costs are those of the J2 grids (its `model` column says which); a force model likewise.
    """
    names, states = named_targets(targets)
    if not states:
        raise ValueError("survey needs at least one target")
    options = grid_options(_central_mu(mu, [chaser, *states]), cost, min_radius, arrive_at, depart_from)
    check_j2(model, options)
    names, states = without_chaser(chaser, names, states)
    given_chaser, given_states = chaser, states
    chaser = in_model(chaser, "chaser", model)
    states = [in_model(state, "target %r" % (name,), model) for name, state in zip(names, states)]
    options = with_flight(options, model, chaser)
    errors: List[Optional[str]] = [None] * len(states)
    if client is None:
        window = Window(chaser, departures, tofs, (prograde, max_revs, threads), options)
        with Progress(progress, len(states), unit="target") as bar:
            porkchops: List[Optional[Porkchop]] = []
            for k, (name, state) in enumerate(zip(names, states)):
                try:  # one target that cannot be computed (SGP4 fails in the window) is a row with its reason
                    porkchops.append(_local_grid(window, state, "target %r" % (name,), prograde, max_revs,
                                                 threads, None, options))
                except (ValueError, RuntimeError) as exc:
                    porkchops.append(None)
                    errors[k] = str(exc)
                bar.advance()
    else:
        porkchops = list(porkchops_on_cluster(chaser, states, departures, tofs, prograde=prograde,
                                              max_revs=max_revs, threads=threads, progress=progress, client=client,
                                              chunks=chunks, labels=["target %r" % (name,) for name in names],
                                              options=options))
    porkchops = [grid if grid is None else with_model(grid, model, chaser, state, (given_chaser, given))
                 for grid, state, given in zip(porkchops, states, given_states)]
    return survey_result(names, porkchops, errors, model)

