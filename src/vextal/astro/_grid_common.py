"""Small pieces the porkchop modules share: the planning options (cost, model, hold-point offsets) checked once,
progress reporting, the grid's arrays stacked from row blocks, a grid source's states, and ISO dates.

It imports no porkchop module: the grid, the cluster grid, the survey and the result all import it.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Protocol, Sequence, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _j2, _porkchop, arrays
from vextal.astro import trajectory as _trajectory
from vextal.astro._optional import optional
from vextal.astro._state import State, StateTuple, state_tuple
from vextal.astro.time import iso_date as iso_date
from vextal.astro._transfer import Transfer
from vextal.astro.trajectory import Trajectory

__all__ = ["Progress", "ProgressOption", "GridArrays", "GridSource", "Source", "check_model", "grid_options",
           "iso_date", "source_states", "stack_rows", "is_trajectory", "state_at", "grid_source"]

COSTS = ("rendezvous", "intercept")
#: How a grid moves the chaser and the target: two-body motion, or the central field and J2 (whose cells are
#: then exact: transfers flown under J2).
MODELS = ("two-body", "j2")


def check_model(model: Any, name: str = "model") -> Any:
    """`model` if it is one of MODELS or a force model (vextal.astro.forces); ValueError otherwise."""
    from vextal.astro import _j2

    if not _j2.is_model(model) and (not isinstance(model, str) or model not in MODELS):
        raise ValueError("%s must be one of %s or a vextal.astro.forces model, not %r"
                         % (name, ", ".join(map(repr, MODELS)), model))
    return model


#: What porkchop() takes for the chaser and the target: a state or a trajectory (any object with an epoch
#: and states(), vextal.astro.trajectory.Trajectory).
Source = Union[State, Trajectory]
#: What the native grid reads for one end, and a result reads back: a 7-tuple (two-body under the grid's mu),
#: a two-body trajectory (``state``, ``mu``) or a table (``epochs``, ``positions``, ``velocities``).
GridSource = Any
#: ``progress=``: nothing (None/False), a tqdm bar (True), or a callable that receives the fraction done.
ProgressOption = Union[None, bool, Callable[[float], object]]
#: The native grid's arrays: the six of FIELDS, and for exact cells each cell's miss and two-body arcs' cost.
GridArrays = Tuple[npt.NDArray[Any], ...]
#: The flight model of exact cells as the native calls take it: ("j2", j2, radius), or a force model packed
#: with its pole (vextal.astro.forces.Model.packed: a list of (name, parameters, pole)).
Flight = Union[Tuple[str, float, float], List[Tuple[str, Tuple[float, ...], Optional[Tuple[float, ...]]]]]
#: A hold point or departure offset: (radial, in-track, cross-track) km.
Offset = Tuple[float, float, float]


class Grid(Protocol):
    """What refinement, the safety run and the plot read of a porkchop result (``Porkchop`` is one)."""

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
    sources: Tuple[GridSource, GridSource]
    model: str
    trajectories: Optional[Tuple[Any, Any]]
    epoch: Optional[float]
    flight: Optional[Flight]
    two_body_sources: Tuple[GridSource, GridSource]
    safety_result: Any

    @property
    def options(self) -> Dict[str, Any]:
        """The planning keywords of the native calls."""

    @property
    def shape(self) -> Tuple[int, int]:
        """(departures, times of flight)."""

    def best_cell(self, safe: bool = False) -> Tuple[int, int]:
        """The indices of the cheapest cell."""

    def transfer(self, departure: SupportsFloat, tof: SupportsFloat, *,
                 mu: Optional[SupportsFloat] = None) -> Transfer:
        """The transfer of one departure and time of flight."""

    def best(self, safe: bool = False) -> Transfer:
        """The cheapest cell's transfer."""

    def _cell(self, departure: float, tof: float, mu: Optional[float] = None, exact: bool = True,
              slot: Optional[int] = None, own_states: bool = False) -> Tuple[Any, ...]:
        """The native cell."""

    def _transfer(self, departure: float, tof: float, mu: Optional[float], exact: bool = True) -> Transfer:
        """The transfer of one departure and time of flight, exact in the grid's model with `exact`."""


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


def stack_rows(parts: Sequence[GridArrays]) -> GridArrays:
    """One grid from blocks of consecutive departure rows, in order."""
    return tuple(np.concatenate([p[k] for p in parts]) for k in range(len(parts[0])))


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


#: The package's own kinds: each gives the grid its own source (its fast path), and its state at an epoch.
BUILT_IN = (_trajectory.TwoBody, _trajectory.Table, _trajectory.Numerical, _trajectory.TLE)


def is_trajectory(obj: Any) -> bool:
    """A trajectory (vextal.astro.trajectory.Trajectory: an ``epoch`` and ``states``), not a state."""
    return isinstance(obj, _trajectory.Trajectory)


def _states(trajectory: Any, epochs: npt.NDArray[np.float64]) -> Tuple[npt.NDArray[np.float64],
                                                                      npt.NDArray[np.float64]]:
    """A trajectory's positions and velocities at 1-D `epochs`, checked to be (len(epochs), 3) each."""
    r, v = (np.asarray(part, dtype=np.float64) for part in trajectory.states(epochs))
    if r.shape != (epochs.size, 3) or v.shape != (epochs.size, 3):
        raise TypeError("%s.states(epochs) must give positions and velocities of shape %s for %d epochs, not %s "
                        "and %s" % (type(trajectory).__name__, (epochs.size, 3), epochs.size, r.shape, v.shape))
    return r, v


def state_at(trajectory: Any, epoch: float, name: str) -> StateTuple:
    """A trajectory's state at `epoch` as a 7-tuple."""
    if isinstance(trajectory, BUILT_IN):
        return state_tuple(trajectory.state_at(epoch), name)
    r, v = _states(trajectory, np.array([epoch]))
    return state_tuple((epoch, *r[0], *v[0]), name)


def grid_source(trajectory: Any, start: float, stop: float, mu: float = _porkchop.MU_EARTH) -> GridSource:
    """What the native grid reads of a trajectory for epochs in [start, stop]: the package's kinds give their
    own; another trajectory is sampled into a Table over [start, stop] as densely as a J2 orbit's table under
    `mu` (its state at `start` sets the step). ValueError when the trajectory's ``span`` leaves out part of
    [start, stop]."""
    if isinstance(trajectory, BUILT_IN):
        return trajectory._grid_source(start, stop)
    span = getattr(trajectory, "span", None)
    if span is not None:
        first, last = (float(x) for x in span)
        if not (first <= start and stop <= last):
            raise ValueError("the grid needs states from %r to %r s, the %s spans %r to %r s"
                             % (float(start), float(stop), type(trajectory).__name__, first, last))
    r, v = _states(trajectory, np.array([start]))
    epochs = _j2.table_epochs(float(start), float(stop), _j2.table_step(r[0], v[0], mu))
    return _trajectory.Table(epochs, *_states(trajectory, epochs))
