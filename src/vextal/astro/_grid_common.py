"""Small pieces the porkchop modules share: the planning options (cost, model, hold-point offsets) checked once,
progress reporting, the grid's arrays stacked from row blocks, a grid source's states, and ISO dates.

It imports no porkchop module: the grid, the cluster grid, the survey and the result all import it.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Protocol, Sequence, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop, arrays
from vextal.astro._optional import optional
from vextal.astro._state import State, StateTuple
from vextal.astro.orbitvector import ECI

__all__ = ["Progress", "ProgressOption", "GridArrays", "GridSource", "Source", "check_model", "grid_options",
           "iso_date", "source_states", "stack_rows"]

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
