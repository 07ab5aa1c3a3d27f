"""What a porkchop grid gives back: the grid (``Porkchop``), one transfer of it (``Transfer``), and the helpers the
local grid, the cluster grid and the survey share (state tuples, progress, optional imports).

The grid (``porkchop.py``), cluster (``_distributed.py``) and survey (``_survey.py``) modules import this one;
it imports none of them.
"""
from __future__ import annotations

import csv
import json
import math
import os
from typing import (TYPE_CHECKING, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Protocol, Sequence,
                    SupportsFloat, Tuple, Union)

import numpy as np
import numpy.typing as npt

from vextal.astro import _files, _porkchop, _porkchop_plot, arrays
from vextal.astro._optional import optional
from vextal.astro._state import State as State
from vextal.astro._state import StateTuple as StateTuple
from vextal.astro._state import state_tuple as state_tuple
from vextal.astro._tables import GridTables
from vextal.astro._transfer_out import TransferOutputs, plan_of
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import SatBurn

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

__all__ = ["Porkchop", "Progress", "Safety", "Transfer", "State", "ProgressOption", "state_tuple", "CELL_STATUS",
           "source_states"]

FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch", "status")

#: The codes of ``Porkchop.status``: why a cell holds an arc or none.
CELL_STATUS = {0: "an arc", 1: "no arc (Lambert's problem has none)", 2: "every arc comes below min_radius",
               3: "no state at the cell's epoch"}
COSTS = ("rendezvous", "intercept")
#: How a grid moves the chaser and the target: two-body motion, or the central field and J2 (the arcs between
#: the positions are two-body Lambert arcs either way).
MODELS = ("two-body", "j2")


def check_model(model: object, name: str = "model") -> str:
    """`model` if it is one of MODELS; ValueError naming the choices otherwise."""
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError("%s must be one of %s, not %r" % (name, ", ".join(map(repr, MODELS)), model))
    return model



class Trajectory(Protocol):
    """An object's motion as the grid reads it (the kinds of vextal.astro.trajectory)."""

    @property
    def epoch(self) -> float:
        """The reference epoch (s): a chaser's stands for departure offset zero."""

    def state_at(self, epoch: float) -> ECI:
        """The state at `epoch`."""

    def _grid_source(self, start: float, stop: float) -> Any:
        """What the native grid reads for epochs in [start, stop]."""


#: What porkchop() takes for the chaser and the target: a state or a trajectory.
Source = Union[State, Trajectory]
#: What the native grid reads for one end, and a result reads back: a 7-tuple (two-body under the grid's mu),
#: a two-body trajectory (``state``, ``mu``) or a table (``epochs``, ``positions``, ``velocities``).
GridSource = Any
#: ``progress=``: nothing (None/False), a tqdm bar (True), or a callable that receives the fraction done.
ProgressOption = Union[None, bool, Callable[[float], object]]
GridArrays = Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64],
                   npt.NDArray[np.int32], npt.NDArray[np.int8], npt.NDArray[np.int8]]
#: A hold point or departure offset: (radial, in-track, cross-track) km.
Offset = Tuple[float, float, float]


class Progress:
    """Follows ``total`` steps: nothing for None/False, a tqdm bar for True (``bar_options`` passed on), else
    ``progress(fraction)`` after each advance."""

    def __init__(self, progress: ProgressOption, total: int, unit: str = "chunk", **bar_options: Any) -> None:
        self.total, self.done = total, 0
        self.bar: Any = None
        self.callback: Optional[Callable[[float], object]] = None
        if progress is True:
            self.bar = optional("tqdm", "progress=True").tqdm(total=total, unit=unit, desc="porkchop",
                                                              **bar_options)
        elif callable(progress):
            self.callback = progress
        elif progress not in (None, False):
            raise TypeError("progress must be True, False, None or a callable taking the fraction done")

    def advance(self, steps: int = 1) -> None:
        self.done += steps
        if self.bar is not None:
            self.bar.update(steps)
        elif self.callback is not None:
            self.callback(self.done / self.total)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def source_states(source: GridSource, epoch: npt.ArrayLike, offset: npt.ArrayLike = 0.0, *,
                  mu: float = _porkchop.MU_EARTH, errors: str = "raise"
                  ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Positions and velocities of a grid source at ``epoch + offset`` (broadcast together), formed as the
    native grid forms them: a table is read at ``epoch + offset``, a two-body state is moved by
    ``(epoch - its time) + offset`` (a 7-tuple under `mu`, the grid's; a two-body trajectory under its own).
    ValueError outside a table's span, and for a state that cannot be moved with errors="raise" (NaN rows
    with "nan")."""
    at = np.asarray(epoch, dtype=np.float64)
    step = np.asarray(offset, dtype=np.float64)
    if hasattr(source, "epochs"):
        r, v = _porkchop.interpolate(source.epochs, source.positions, source.velocities, at + step)
        return r, v
    state, mu = (source.state, source.mu) if hasattr(source, "state") else (source, mu)
    return arrays.propagate(state[1:4], state[4:7], (at - state[0]) + step, mu=mu, errors=errors, threads=1)


def iso_date(epoch: float) -> str:
    """An epoch number as an ISO 8601 UTC date to the microsecond (2024-01-01T12:00:00.000000)."""
    from vextal.astro import time

    return time.to_datetime(float(epoch)).isoformat(timespec="microseconds")


def grid_units() -> Dict[str, str]:
    """The units, frame and time scale of a grid written out (as the plan JSON carries them)."""
    from vextal.astro._burns import UNITS

    return {"departures": "s after epoch_utc", "tofs": "s", "dv_departure": "km/s", "dv_arrival": "km/s",
            "dv_total": "km/s", "states": "time s since 1950-01-01T00:00:00 UTC (86400 s per day), km, km/s",
            "frame": UNITS["frame"].split(";")[0], "time_scale": "UTC"}


def stack_rows(parts: Sequence[GridArrays]) -> GridArrays:
    """One grid from blocks of consecutive departure rows, in order."""
    return (np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts]),
            np.concatenate([p[2] for p in parts]), np.concatenate([p[3] for p in parts]),
            np.concatenate([p[4] for p in parts]), np.concatenate([p[5] for p in parts]))


def offset(value: Optional[Sequence[SupportsFloat]], name: str) -> Optional[Offset]:
    """A hold-point offset as three floats (None stays None)."""
    if value is None:
        return None
    values = tuple(float(v) for v in value)
    if len(values) != 3:
        raise TypeError("%s must be None or 3 numbers (radial, in-track, cross-track km)" % name)
    return values[0], values[1], values[2]


def grid_options(mu: SupportsFloat, cost: str, min_radius: Optional[SupportsFloat],
                 arrive_at: Optional[Sequence[SupportsFloat]],
                 depart_from: Optional[Sequence[SupportsFloat]]) -> Dict[str, Any]:
    """The native grid's planning keywords, checked: every cell of a grid, refinement and safety run reads
    the same ones."""
    if not isinstance(cost, str) or cost not in COSTS:
        raise ValueError("cost must be 'rendezvous' or 'intercept', not %r" % (cost,))
    return {"mu": float(mu), "cost": cost, "min_radius": None if min_radius is None else float(min_radius),
            "arrive_at": offset(arrive_at, "arrive_at"), "depart_from": offset(depart_from, "depart_from")}


def eci(values: StateTuple) -> ECI:
    from vextal.vector3 import Vector3

    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


def _magnitude(burn: SatBurn) -> float:
    if burn.delta_v is None:
        raise TypeError("a burn without a delta-v vector (None)")
    return burn.delta_v.magnitude()


class Transfer(TransferOutputs):
    """One transfer of the window: departure offset and time of flight (s), the arc's revolution count and
    branch (0 for no revolutions, -1 left, +1 right), the delta-v magnitudes (km/s) and the two burns
    (departure SatBurn, arrival SatBurn). `dv_total` is the cost the grid ranks by: departure + arrival for a
    rendezvous, the departure alone for an intercept (whose arrival burn is the relative velocity there).

    `model` says how the burns were planned: "two-body", or "j2" for a transfer corrected to arrive under J2
    (Porkchop.refine(model="j2")). A J2 transfer also reports `miss_km` and `miss_kms`, the position miss and
    the velocity left over after the arrival burn when its burns are flown under J2 from the chaser's state,
    and `dv_total_two_body`, the two-body grid's cost at the same departure and time of flight; these are
    None for a two-body transfer.

    A transfer from a grid also knows its plan: ``burn_records()`` (UTC epochs, delta-v in ECI, RIC and VNB),
    ``trajectory()``, ``to_oem``, ``to_opm`` and ``plot_ric`` (see TransferOutputs)."""

    __slots__ = ("departure", "tof", "revolutions", "branch", "dv_departure", "dv_arrival", "dv_total", "burns",
                 "cost", "model", "miss_km", "miss_kms", "dv_total_two_body", "_plan")

    def __init__(self, departure: SupportsFloat, tof: SupportsFloat, revolutions: int, branch: int,
                 burns: Tuple[SatBurn, SatBurn], cost: str = "rendezvous") -> None:
        self.departure = float(departure)
        self.tof = float(tof)
        self.revolutions = int(revolutions)
        self.branch = int(branch)
        self.burns = burns
        self.cost = cost
        self.dv_departure = _magnitude(burns[0])
        self.dv_arrival = _magnitude(burns[1])
        self.dv_total = self.dv_departure if cost == "intercept" else self.dv_departure + self.dv_arrival
        self.model = "two-body"
        self.miss_km: Optional[float] = None
        self.miss_kms: Optional[float] = None
        self.dv_total_two_body: Optional[float] = None
        self._plan: Any = None

    def as_dict(self) -> Dict[str, Any]:
        burns = [{"time": b.time, "utc": iso_date(b.time),
                  "delta_v": list(b.delta_v.to_tuple()) if b.delta_v is not None else None} for b in self.burns]
        extra = self.burns_dict() if self._plan is not None else {}
        return {"departure": self.departure, "departure_utc": self.departure_utc, "arrival_utc": self.arrival_utc, "tof": self.tof, "revolutions": self.revolutions,
                "branch": self.branch, "dv_departure": self.dv_departure, "dv_arrival": self.dv_arrival,
                "dv_total": self.dv_total, "cost": self.cost, "burns": burns, "model": self.model,
                "miss_km": self.miss_km, "miss_kms": self.miss_kms, "dv_total_two_body": self.dv_total_two_body,
                **extra}

    def __repr__(self) -> str:
        extra = "" if self.model == "two-body" else ", model=%r, miss_km=%r, dv_total_two_body=%r" % (
            self.model, self.miss_km, self.dv_total_two_body)
        return ("Transfer(departure=%r, departure_utc=%r, tof=%r, revolutions=%d, branch=%d, dv_total=%r%s)"
                % (self.departure, self.departure_utc, self.tof, self.revolutions, self.branch, self.dv_total,
                   extra))


class Safety(NamedTuple):
    """What ``Porkchop.safety`` finds, as grids of the porkchop's shape: `safe` (bool: checked, and both least
    ranges at least `keep_out`), `checked` (the cells examined), `arc_range` and `drift_range` (km, the least
    distance from the target along the transfer arc and along the free drift after a missed arrival burn; NaN
    where not checked), for `orbits` target periods of drift; `arc_where` and `drift_where` (shape + (3,)) the
    chaser's position relative to the target at those closest approaches, in the target's RIC frame (radial,
    in-track, cross-track km)."""

    safe: npt.NDArray[np.bool_]
    checked: npt.NDArray[np.bool_]
    arc_range: npt.NDArray[np.float64]
    drift_range: npt.NDArray[np.float64]
    keep_out: float
    orbits: float
    arc_where: npt.NDArray[np.float64]
    drift_where: npt.NDArray[np.float64]


class Porkchop(GridTables):
    """A porkchop grid: `departures` (offsets after the chaser's epoch, s) by `tofs` (s), and for each cell
    the cheapest arc's `dv_departure`, `dv_arrival`, `dv_total` (km/s, NaN where no arc exists),
    `revolutions` (-1 there), `branch` and `status` (why a cell is empty: ``CELL_STATUS``). `chaser` and
    `target` are kept as 7-tuples (their states at the chaser's epoch and at the target's); `mu`, `cost`,
    `min_radius`, `arrive_at` and `depart_from` are the planning options every cell was solved with (and
    refinement and safety use). `sources` are what the grid read for the two ends (a 7-tuple, a two-body
    trajectory or a table; by default the two states): ``transfer``, ``best``, ``refine`` and ``safety`` read
    the same ones, so that they agree with the grid's cells for any trajectory. `model` is how the grid moved
    the chaser and the target ("two-body" or "j2"); `trajectories`, the two trajectories it was given (or
    None), from which refine(model="j2") reads exact states."""

    chaser: StateTuple
    target: StateTuple
    departures: npt.NDArray[np.float64]
    tofs: npt.NDArray[np.float64]
    prograde: bool
    max_revs: int
    mu: float
    cost: str
    min_radius: Optional[float]
    arrive_at: Optional[Offset]
    depart_from: Optional[Offset]
    dv_departure: npt.NDArray[np.float64]
    dv_arrival: npt.NDArray[np.float64]
    dv_total: npt.NDArray[np.float64]
    revolutions: npt.NDArray[np.int32]
    branch: npt.NDArray[np.int8]
    status: npt.NDArray[np.int8]
    safety_result: Optional[Safety]
    #: The UTC epoch of departure offset zero (s since 1950-01-01T00:00:00 UTC), when the grid knows it; plots
    #: then show dates.
    epoch: Optional[float] = None
    #: The absolute departure epochs (s since 1950-01-01T00:00:00 UTC) when the grid was given dates, else None;
    #: to_dict, to_csv and to_json then write the dates in ISO 8601 (UTC).
    departure_epochs: Optional[npt.NDArray[np.float64]] = None

    def __init__(self, chaser: State, target: State, departures: npt.ArrayLike, tofs: npt.ArrayLike,
                 prograde: bool, max_revs: int, dv_departure: npt.ArrayLike, dv_arrival: npt.ArrayLike,
                 dv_total: npt.ArrayLike, revolutions: npt.ArrayLike, branch: npt.ArrayLike,
                 status: Optional[npt.ArrayLike] = None, *, mu: SupportsFloat = _porkchop.MU_EARTH,
                 cost: str = "rendezvous", min_radius: Optional[SupportsFloat] = None,
                 arrive_at: Optional[Sequence[SupportsFloat]] = None,
                 depart_from: Optional[Sequence[SupportsFloat]] = None,
                 sources: Optional[Tuple[GridSource, GridSource]] = None, model: str = "two-body",
                 trajectories: Optional[Tuple[Any, Any]] = None) -> None:
        self.model = check_model(model)
        self.trajectories = trajectories
        self.chaser = state_tuple(chaser, "chaser")
        self.target = state_tuple(target, "target")
        self.sources: Tuple[GridSource, GridSource] = (self.chaser, self.target) if sources is None else sources
        self.departures = np.array(departures, dtype=np.float64)  # copies: the caller's arrays may change
        self.tofs = np.array(tofs, dtype=np.float64)
        self.prograde = bool(prograde)
        self.max_revs = int(max_revs)
        options = grid_options(mu, cost, min_radius, arrive_at, depart_from)
        self.mu, self.cost, self.min_radius = options["mu"], options["cost"], options["min_radius"]
        self.arrive_at, self.depart_from = options["arrive_at"], options["depart_from"]
        self.safety_result = None
        shape = (self.departures.size, self.tofs.size)
        if self.departures.ndim != 1 or self.tofs.ndim != 1:
            raise ValueError("departures and tofs must be one-dimensional")
        if status is None:  # grids made before the status array: an arc or none
            status = np.where(np.asarray(revolutions) >= 0, 0, 1).astype(np.int8)
        for name, values in zip(FIELDS, (dv_departure, dv_arrival, dv_total, revolutions, branch, status)):
            array = np.asarray(values)
            if array.shape != shape:
                raise ValueError("%s has shape %s, the grid is %s" % (name, array.shape, shape))
            setattr(self, name, array)

    @property
    def options(self) -> Dict[str, Any]:
        """The planning keywords of the native calls (mu, cost, min_radius, arrive_at, depart_from)."""
        return {"mu": self.mu, "cost": self.cost, "min_radius": self.min_radius, "arrive_at": self.arrive_at,
                "depart_from": self.depart_from}

    @property
    def shape(self) -> Tuple[int, int]:
        """(departures, times of flight)."""
        rows, columns = self.dv_total.shape
        return rows, columns

    def __repr__(self) -> str:
        return "<Porkchop %d departures x %d times of flight, max_revs=%d, %s, model=%s>" % (
            self.shape + (self.max_revs, "prograde" if self.prograde else "retrograde", self.model))

    # ---- transfers ---------------------------------------------------------------------------------------

    def _best_index(self, safe: bool = False) -> Tuple[int, int]:
        """(departure index, time-of-flight index) of the cheapest cell (of the safe ones with `safe`);
        ValueError when there is none."""
        costs = self.dv_total
        if safe:
            if self.safety_result is None:
                raise ValueError("best(safe=True) needs safety(keep_out=...) to have run on this grid first")
            costs = np.where(self.safety_result.safe, costs, np.nan)
        if costs.size == 0 or np.isnan(costs).all():
            screened = int((self.status == 2).sum())
            raise ValueError("no %stransfer arc exists anywhere on this grid%s" % (
                "safe " if safe else "", " (%d cells have arcs only below min_radius %g km)"
                % (screened, self.min_radius if self.min_radius is not None else _porkchop.EARTH_EQUATORIAL_RADIUS)
                if screened else ""))
        i, j = np.unravel_index(np.nanargmin(costs), self.shape)
        return int(i), int(j)

    def _cell(self, departure: float, tof: float, mu: Optional[float] = None) -> Tuple[Any, ...]:
        options = self.options
        if mu is not None:
            options["mu"] = float(mu)
        return tuple(_porkchop.cell(*self.sources, departure, tof, self.prograde, self.max_revs, **options,
                                    epoch=self.chaser[0]))

    def transfer(self, departure: SupportsFloat, tof: SupportsFloat, *, mu: Optional[SupportsFloat] = None) \
            -> Transfer:
        """The transfer leaving `departure` s after the chaser's epoch and flying `tof` s, solved by the core
        as the grid's cells are (the cheapest arc that passes the screen, with this grid's options; `mu`
        overrides the grid's) on the states the grid's sources give (a trajectory's table as the grid read
        it): the departure burn at the departure epoch, the arrival burn at the arrival epoch (matching the
        hold point's velocity when the grid has one)."""
        from vextal.vector3 import Vector3

        status, revolutions, branch, _r1, v_start, v1, _r2, v_goal, v2 = self._cell(
            float(departure), float(tof), None if mu is None else float(mu))
        if status != 0:
            raise ValueError("no transfer arc for departure %r s, time of flight %r s: %s"
                             % (departure, tof, CELL_STATUS.get(status, status)))
        t1 = self.chaser[0] + float(departure)
        burns = (SatBurn(t1, Vector3(*(a - b for a, b in zip(v1, v_start)))),
                 SatBurn(t1 + float(tof), Vector3(*(g - a for g, a in zip(v_goal, v2)))))
        transfer = Transfer(departure, tof, revolutions, branch, burns, self.cost)
        transfer._plan = plan_of(self, mu=None if mu is None else float(mu))
        return transfer

    def best(self, safe: bool = False) -> Transfer:
        """The cheapest cell of the grid as a Transfer; with `safe`, the cheapest cell that ``safety()`` found
        safe. ValueError when there is no such cell."""
        i, j = self._best_index(safe)
        return self.transfer(self.departures[i], self.tofs[j])

    def _cost(self, departure: float, tof: float, mu: Optional[float] = None, two_body: bool = False) -> float:
        """The grid's cost of one cell (two_body: the two-body grid's, from the two states)."""
        options = self.options
        if mu is not None:
            options["mu"] = mu
        chaser, target = (self.chaser, self.target) if two_body else self.sources
        out = _porkchop.grid(chaser, target, (departure,), (tof,), self.prograde, self.max_revs, threads=1,
                             **options, epoch=self.chaser[0])
        cost = float(out[2][0, 0])
        return cost if cost == cost else math.inf

    def refine(self, candidates: int = 1, *, mu: Optional[SupportsFloat] = None,
               model: Optional[str] = None) -> Transfer:
        """The continuous optimum near the best cell, as a Transfer, over departure and time of flight within
        the neighbouring grid lines. With `candidates` > 1 it also starts from the best cell of each of the
        next cheapest revolution counts and returns the cheapest result.

        `model` (default: the grid's) says how the arcs fly. "two-body": the grid's own cost (two-body
        Lambert arcs between the grid's positions, with the grid's options; `mu` overrides the grid's)
        minimised by a bounded Nelder-Mead search (scipy.optimize); never worse than best() (under the same
        mu). "j2": a rendezvous whose departure burn is corrected by shooting under the Earth's J2 (from each
        start cell's arc, multi-revolution included) inside a local optimisation (TNC), from the chaser's J2
        state to the target's J2 state (the grid's trajectories; states become J2 trajectories); the
        Transfer's burns, flown under J2, land within 1 m and 1 mm/s, and it reports miss_km, miss_kms and
        dv_total_two_body. A J2 correction that converges from no start, or only to arcs below the grid's
        min_radius, raises RuntimeError; a transfer that would miss is never returned."""
        optimize = optional("scipy.optimize", "Porkchop.refine()")
        model = check_model(self.model if model is None else model)
        search_mu = None if mu is None else float(mu)
        starts = [self._best_index()]
        if candidates > 1:
            for revs in self._cheapest_revolution_counts()[1:candidates]:
                masked = np.where(self.revolutions == revs, self.dv_total, np.nan)
                row, column = np.unravel_index(np.nanargmin(masked), self.shape)
                starts.append((int(row), int(column)))
        if model == "j2":
            return self._refine_j2(optimize, starts, search_mu)
        i0, j0 = starts[0]
        best = self.transfer(self.departures[i0], self.tofs[j0], mu=search_mu)
        for i, j in starts:
            x, cost = self._refine_cell(optimize, i, j, search_mu)
            if cost < best.dv_total:
                candidate = self.transfer(*x, mu=search_mu)
                if candidate.dv_total < best.dv_total:
                    best = candidate
        return best

    # ---- passive safety ----------------------------------------------------------------------------------

    def safety(self, keep_out: SupportsFloat, orbits: SupportsFloat = 3.0, *, best: Optional[int] = None,
               threads: Optional[int] = None) -> Safety:
        """Passive safety of the grid's arcs, computed natively on every core: for each cell with an arc (or
        the `best` cheapest), the least distance from the target along the transfer arc and along the free
        drift after a missed arrival burn for `orbits` periods of the target's orbit. A cell is safe when
        both stay at or above `keep_out` km. Without a hold point (`arrive_at`) an arc ends at the target
        itself and is never safe. Kept on the grid for ``best(safe=True)``; returns the Safety."""
        keep = float(keep_out)
        if not keep >= 0 or not math.isfinite(keep):
            raise ValueError("keep_out must be a finite distance >= 0 (km)")
        rows, cols = np.nonzero(self.revolutions >= 0)
        if best is not None:
            if isinstance(best, bool) or not isinstance(best, int) or best < 0:
                raise TypeError("best must be None or a whole number >= 0 of cheapest cells")
            order = np.argsort(self.dv_total[rows, cols], kind="stable")[:best]
            rows, cols = rows[order], cols[order]
        arc, drift, arc_at, drift_at, _status = _porkchop.safety(
            *self.sources, self.departures[rows], self.tofs[cols], self.revolutions[rows, cols],
            self.branch[rows, cols], float(orbits), self.prograde, self.max_revs, threads=threads, **self.options,
            epoch=self.chaser[0])
        checked = np.zeros(self.shape, dtype=bool)
        checked[rows, cols] = True
        arc_range = np.full(self.shape, np.nan)
        drift_range = np.full(self.shape, np.nan)
        arc_range[rows, cols] = arc
        drift_range[rows, cols] = drift
        arc_where = np.full(self.shape + (3,), np.nan)
        drift_where = np.full(self.shape + (3,), np.nan)
        arc_where[rows, cols] = arc_at
        drift_where[rows, cols] = drift_at
        with np.errstate(invalid="ignore"):
            safe = checked & (arc_range >= keep) & (drift_range >= keep)
        self.safety_result = Safety(safe, checked, arc_range, drift_range, keep, float(orbits), arc_where,
                                    drift_where)
        return self.safety_result

    def _cheapest_revolution_counts(self) -> List[int]:
        """The revolution counts present in the grid, cheapest best cell first."""
        counts = {int(revs): float(np.nanmin(np.where(self.revolutions == revs, self.dv_total, np.nan)))
                  for revs in np.unique(self.revolutions[self.revolutions >= 0])}
        return sorted(counts, key=counts.__getitem__)

    def _bounds(self, i: int, j: int) -> Tuple[List[int], List[Tuple[float, float]]]:
        """The free axes (0 departure, 1 time of flight: those with more than one grid line) around cell
        (i, j) and their bounds, the neighbouring grid lines."""
        axes: List[int] = []
        bounds: List[Tuple[float, float]] = []
        for k, (values, index) in enumerate(((self.departures, i), (self.tofs, j))):
            if values.size < 2:
                continue
            low, high = float(values[max(index - 1, 0)]), float(values[min(index + 1, values.size - 1)])
            low, high = min(low, high), max(low, high)
            if k == 1:
                low = max(low, 1e-3 * high)  # times of flight stay positive
            axes.append(k)
            bounds.append((low, high))
        return axes, bounds

    def _refine_j2(self, optimize: Any, starts: List[Tuple[int, int]], mu: Optional[float]) -> Transfer:
        """The cheapest J2-corrected transfer from the start cells (see refine)."""
        from vextal.astro import _j2_refine
        from vextal.vector3 import Vector3

        if (self.mu if mu is None else mu) != _porkchop.MU_EARTH:
            raise ValueError("refine(model='j2') is the Earth's oblateness: mu must be the Earth's (%r), not %r"
                             % (_porkchop.MU_EARTH, self.mu if mu is None else mu))
        if self.cost != "rendezvous" or self.arrive_at is not None or self.depart_from is not None:
            raise ValueError("refine(model='j2') plans a rendezvous from the chaser to the target itself; this "
                             "grid's cost=%r, arrive_at=%r, depart_from=%r are not corrected under J2"
                             % (self.cost, self.arrive_at, self.depart_from))
        trajectories, constants = self._j2_trajectories()
        # The grid's screen: by default the Earth's equatorial radius (J2 runs under the Earth's mu only).
        floor = _porkchop.EARTH_EQUATORIAL_RADIUS if self.min_radius is None else self.min_radius
        failures: List[str] = []
        best: Optional[Transfer] = None
        for i, j in starts:
            revolutions, branch = int(self.revolutions[i, j]), int(self.branch[i, j])
            axes, bounds = self._bounds(i, j)
            start = (float(self.departures[i]), float(self.tofs[j]))
            try:
                corrected = _j2_refine.refine(trajectories, self.chaser[0], start, axes, bounds, optimize,
                                              prograde=self.prograde, revolutions=revolutions, branch=branch,
                                              min_radius=floor, **constants)
            except _j2_refine.ShootingError as exc:
                failures.append("from departure %r s, time of flight %r s (%d revolutions): %s"
                                % (start + (revolutions, exc)))
                continue
            t1 = self.chaser[0] + corrected.departure
            burns = (SatBurn(t1, Vector3(*map(float, corrected.burn1))),
                     SatBurn(t1 + corrected.tof, Vector3(*map(float, corrected.burn2))))
            transfer = Transfer(corrected.departure, corrected.tof, revolutions, branch, burns)
            transfer.model, transfer.miss_km, transfer.miss_kms = "j2", corrected.miss_km, corrected.miss_kms
            transfer.dv_total_two_body = self._cost(transfer.departure, transfer.tof, two_body=True)
            transfer._plan = plan_of(self, "j2", trajectories, constants)
            if best is None or transfer.dv_total < best.dv_total:
                best = transfer
        if best is None:
            raise RuntimeError("the correction under J2 did not converge: " + "; ".join(failures))
        return best

    def _j2_trajectories(self) -> Tuple[Tuple[Any, Any], Dict[str, float]]:
        """The chaser's and the target's trajectories for a J2 refinement (the grid's own, or J2 motion of its
        states) and the J2 model's constants (those of a J2 trajectory, else the package's)."""
        from vextal.astro import trajectory

        if self.trajectories is not None:
            pair = tuple(self.trajectories)
        else:
            pair = (trajectory.J2(self.chaser), trajectory.J2(self.target))
        for kind in pair:
            if isinstance(kind, trajectory.J2):
                return (pair[0], pair[1]), {"mu": kind.mu, "j2": kind.j2, "radius": kind.radius}
        return (pair[0], pair[1]), {"mu": trajectory.MU_EARTH, "j2": _porkchop.EARTH_J2,
                                    "radius": _porkchop.EARTH_EQUATORIAL_RADIUS}

    def _refine_cell(self, optimize: Any, i: int, j: int, mu: Optional[float] = None) -> Tuple[List[float], float]:
        """Minimises the cost over the free axes (those with more than one grid line) around cell (i, j)."""
        start = [float(self.departures[i]), float(self.tofs[j])]
        axes, bounds = self._bounds(i, j)
        steps = [0.25 * (high - low) for low, high in bounds]
        if not axes:
            return start, self._cost(start[0], start[1], mu)

        def cost(free: npt.NDArray[np.float64]) -> float:
            x = list(start)
            for k, value in zip(axes, free):
                x[k] = float(value)
            return self._cost(x[0], x[1], mu)

        x0 = np.array([start[k] for k in axes])
        simplex = [x0] + [x0 + np.eye(len(axes))[k] * steps[k] * (1 if x0[k] + steps[k] <= bounds[k][1] else -1)
                          for k in range(len(axes))]
        scale = max(abs(b[1] - b[0]) for b in bounds)
        result = optimize.minimize(cost, x0, method="Nelder-Mead", bounds=bounds,
                                   options={"initial_simplex": np.array(simplex), "xatol": 1e-9 * scale,
                                            "fatol": 1e-14, "maxiter": 2000, "maxfev": 4000})
        x = list(start)
        for k, value in zip(axes, result.x):
            x[k] = float(value)
        return x, float(result.fun)

    # ---- output ------------------------------------------------------------------------------------------

    def _positions(self) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """The chaser's positions at the departures (rows, 3) and the target's at every cell's arrival
        (rows, columns, 3), from the grid's sources (NaN where a two-body state cannot be moved)."""
        t0 = self.chaser[0]
        r1, _ = source_states(self.sources[0], t0, self.departures, mu=self.mu, errors="nan")
        r2, _ = source_states(self.sources[1], (t0 + self.departures)[:, None] + self.tofs[None, :], mu=self.mu,
                              errors="nan")
        return r1, r2

    def plot(self, ax: Optional[Axes] = None, *, which: str = "total", axes: str = "tof",
             levels: Union[None, int, Sequence[float], npt.NDArray[np.float64]] = None, vmax: Optional[float] = None,
             cmap: str = "viridis", optimum: Optional[Transfer] = None, title: Optional[str] = None,
             epoch: Optional[float] = None) -> Figure:
        """The porkchop picture; returns the figure (a new 7 x 5 inch one unless `ax` is given).

        Filled contours of `which` ("total", "departure" or "arrival" delta-v in km/s, or "c3", the departure
        v-infinity squared in km^2/s^2) over departure (x) and time of flight (y), or with axes="arrival" over
        departure and arrival epoch (with lines of equal time of flight). The colours run on a logarithmic scale
        from the least value to `vmax` (default: the 95th percentile of the grid; dearer cells grey) in `levels`
        bands (a count, default 20, or the boundaries themselves); every other boundary is drawn as a labelled
        contour line. Also drawn: the borders between revolution counts, lines of equal arrival epoch, the
        180-degree transfer ridge (where the transfer plane is undefined), and the optimum (best() unless a
        Transfer is given; for which != "total" the cell least in that quantity), the view padded so that its
        marker stays whole. NaN cells stay blank. `epoch`: the UTC epoch of departure offset zero in seconds
        since 1950-01-01T00:00:00 UTC (86400 s per day); with it (or the grid's own `epoch`) the time axes
        show dates."""
        return _porkchop_plot.plot(self, ax, which=which, axes=axes, levels=levels, vmax=vmax, cmap=cmap,
                                   optimum=optimum, title=title, epoch=epoch)

    def rows(self) -> Iterator[Tuple[float, float, float, float, float, int, int, int]]:
        """One (departure, tof, dv_departure, dv_arrival, dv_total, revolutions, branch, status) tuple per
        cell."""
        for i, departure in enumerate(self.departures):
            for j, tof in enumerate(self.tofs):
                yield (float(departure), float(tof), float(self.dv_departure[i, j]), float(self.dv_arrival[i, j]),
                       float(self.dv_total[i, j]), int(self.revolutions[i, j]), int(self.branch[i, j]),
                       int(self.status[i, j]))

    def _departure_dates(self) -> Optional[List[str]]:
        """The departure epochs in ISO 8601 (UTC, to the microsecond) when the grid was given dates."""
        if self.departure_epochs is None:
            return None
        return [iso_date(e) for e in self.departure_epochs]

    def to_csv(self, path: Union[str, os.PathLike[str]]) -> None:
        """One line per cell: departure_s, tof_s, dv_departure, dv_arrival, dv_total (km/s; empty where no arc
        exists), revolutions, branch, status, then departure_utc (ISO 8601) for a grid given dates, and model
        (the grid's: two-body or j2).
        The file is replaced whole or not at all: a write that fails (a full disk, Ctrl-C) leaves the old file
        as it was."""
        dates = self._departure_dates()

        def write(handle: Any) -> None:
            writer = csv.writer(handle)
            writer.writerow(["departure_s", "tof_s", "dv_departure_km_s", "dv_arrival_km_s", "dv_total_km_s",
                             "revolutions", "branch", "status"] + (["departure_utc"] if dates else []) + ["model"])
            columns = max(self.tofs.size, 1)
            for k, row in enumerate(self.rows()):
                writer.writerow(["" if v != v else v for v in row] + ([dates[k // columns]] if dates else [])
                                + [self.model])

        _files.replace(path, write)

    def to_dict(self) -> Dict[str, Any]:
        """The grid as plain data; NaN cells are None. A grid given dates adds ``epoch`` (departure offset zero)
        and ``departure_dates`` in ISO 8601 (UTC)."""
        def grid(array: npt.NDArray[Any]) -> List[List[Any]]:
            return [[None if v != v else v for v in row] for row in array.tolist()]

        data = {"chaser": list(self.chaser), "target": list(self.target), "prograde": self.prograde,
                "max_revs": self.max_revs, **self.options, "model": self.model,
                "departures": self.departures.tolist(),
                "tofs": self.tofs.tolist(),
                **{name: grid(getattr(self, name)) for name in FIELDS}}
        data["epoch_utc"] = iso_date(self.chaser[0])  # of departure offset zero
        data["units"] = grid_units()
        dates = self._departure_dates()
        if dates is not None:  # given dates: offset zero and every departure as UTC dates as well
            data["epoch"] = iso_date(self.chaser[0] if self.epoch is None else self.epoch)
            data["departure_dates"] = dates
        return data

    def to_json(self, path: Union[str, os.PathLike[str]]) -> None:
        """The grid as JSON (``to_dict()``), written whole or not at all as by to_csv."""
        data = self.to_dict()
        _files.replace(path, lambda handle: json.dump(data, handle))
