"""What a porkchop grid reads, resolved once for the local grid, the cluster grid and the survey: the departure
axis (offsets after the chaser's epoch, or dates), the times of flight, and for each end the state kept in the
result and the source the native grid reads (a 7-tuple, a two-body trajectory or a table covering the epochs
the grid asks for).

A trajectory samples itself once per grid (``_grid_source``): a survey samples its chaser once for all
targets, and a cluster grid ships the tables, not the objects that made them, to its workers.
"""
from __future__ import annotations

import datetime
import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop
from vextal.astro import time as _time
from vextal.astro._grid_common import GridSource
from vextal.astro._porkchop_results import Porkchop
from vextal.astro._state import StateTuple, state_tuple

__all__ = ["Window", "read_departures", "read_tofs", "is_trajectory", "DirectionWarning", "direction", "sense"]

PROBE = (0.0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0)  # a valid state, for checking the other arguments alone
_EMPTY = np.empty(0)


class DirectionWarning(UserWarning):
    """The chaser and the target move in opposite senses about the z axis (or the direction asked opposes
    the chaser's own)."""


def sense(state: StateTuple) -> int:
    """+1 when the state moves counter-clockwise about z (angular momentum's z component > 0), -1 when
    clockwise, 0 when that component is zero."""
    hz = state[1] * state[5] - state[2] * state[4]
    return (hz > 0) - (hz < 0)


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


def is_trajectory(obj: Any) -> bool:
    """A trajectory of vextal.astro.trajectory's family (anything with ``_grid_source`` and ``state_at``)."""
    return hasattr(obj, "_grid_source") and hasattr(obj, "state_at")


def _is_dates(values: Any, name: str) -> bool:
    """True for dates (absolute epochs), False for numbers or durations; TypeError for a mixture."""
    t = _time._astropy_time_class()
    if (t is not None and isinstance(values, t)) or isinstance(values, (str, datetime.date, np.datetime64)):
        return True
    if isinstance(values, np.ndarray) and values.dtype.kind != "O":
        return values.dtype.kind in "MUS"
    items = np.array(values, dtype=object).ravel().tolist() if isinstance(values, (list, tuple, np.ndarray)) else []
    dates = [isinstance(item, (str, datetime.date, np.datetime64)) for item in items]
    if any(dates) and not all(dates):
        advice = ("give all as dates, or all as offsets in seconds" if name == "departures"
                  else "times of flight are durations (seconds or timedelta64)")
        raise TypeError("%s mix dates and numbers: %s" % (name, advice))
    return bool(items) and all(dates)


def read_departures(departures: Any, epoch: float) -> Tuple[npt.NDArray[np.float64],
                                                            Optional[npt.NDArray[np.float64]]]:
    """(offsets after `epoch` in s, the absolute departure epochs or None). Numbers are offsets in seconds,
    a timedelta64 an offset in its own unit; dates of any kind vextal.astro.time.epoch reads (datetime,
    datetime64, ISO strings, astropy Time) are absolute epochs, and their offsets are taken from `epoch`.
    The axis must be one-dimensional; numbers are checked by the native grid as given (real numbers only)."""
    if not _is_dates(departures, "departures"):
        return _seconds(departures, rows=True), None
    try:
        absolute = np.asarray(_time.epoch(departures), dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise type(exc)("departures: %s" % str(exc).replace("epoch(): ", "")) from None
    if not np.isfinite(absolute).all():
        raise ValueError("departures must be valid dates (a NaT or a non-finite epoch is not)")
    offsets = absolute - epoch
    _porkchop.grid(PROBE, PROBE, offsets, _EMPTY)  # one-dimensional
    return offsets, absolute


def read_tofs(tofs: Any) -> npt.NDArray[np.float64]:
    """Times of flight in seconds: numbers, or a timedelta64 in any unit; a date is refused."""
    if _is_dates(tofs, "tofs"):
        raise TypeError("times of flight are durations (seconds or timedelta64), not dates")
    return _seconds(tofs, rows=False)


def _seconds(values: Any, rows: bool) -> npt.NDArray[np.float64]:
    """An axis of seconds: a timedelta64 in its own unit (never its bare count), numbers as they are after the
    native grid over no cells has checked them as given (only real numbers, one-dimensional, finite)."""
    kind = values.dtype.kind if isinstance(values, (np.ndarray, np.generic)) else np.asarray(values).dtype.kind
    if kind == "m":
        durations = np.asarray(values)
        if np.isnat(durations).any():
            raise ValueError("%s must not hold NaT" % ("departures" if rows else "tofs"))
        values = np.asarray(durations / np.timedelta64(1, "s"), dtype=np.float64)
    if rows:
        _porkchop.grid(PROBE, PROBE, values, _EMPTY)
    else:
        _porkchop.grid(PROBE, PROBE, _EMPTY, values)
    return np.asarray(values, dtype=np.float64)


def _resolve(source: Any, name: str, epoch: float, start: Optional[float], stop: float
             ) -> Tuple[StateTuple, GridSource]:
    """(the state kept in the result, the source the grid reads) of one end: a trajectory's state at `epoch`
    and what it gives for [start, stop] (its state at `epoch` for an empty grid), or a state and itself."""
    if not is_trajectory(source):
        state = state_tuple(source, name)
        return state, state
    state = state_tuple(source.state_at(epoch), name)
    return state, (state if start is None else source._grid_source(start, stop))


class Window:
    """The chaser and the two axes of a grid, resolved: ``epoch`` (the chaser's; departure offset zero),
    ``departures`` (offsets after it), ``departure_epochs`` (the dates given, or None), ``tofs``, ``chaser``
    (its state at ``epoch``) and ``chaser_source`` (what the native grid reads, covering the departures)."""

    def __init__(self, chaser: Any, departures: Any, tofs: Any, checks: Tuple[Any, Any, Any] = (None, 0, None),
                 options: Optional[Dict[str, Any]] = None) -> None:
        if not is_trajectory(chaser):
            chaser = state_tuple(chaser, "chaser")
        self.epoch = float(chaser[0]) if isinstance(chaser, tuple) else float(chaser.epoch)
        # Every refusal before any work (sampling a trajectory): prograde, max_revs, threads (`checks`), the
        # planning options and the axes, through the native grid over no cells.
        _porkchop.grid(PROBE, PROBE, _EMPTY, _EMPTY, *checks, **(options or {}))
        self.departures, self.departure_epochs = read_departures(departures, self.epoch)
        self.tofs = read_tofs(tofs)
        self._empty = self.departures.size == 0 or self.tofs.size == 0
        first: Optional[float] = None
        last = 0.0
        if not self._empty:
            first, last = self.epoch + float(self.departures.min()), self.epoch + float(self.departures.max())
        self.chaser, self.chaser_source = _resolve(chaser, "chaser", self.epoch, first, last)

    def target(self, target: Any, name: str = "target") -> Tuple[StateTuple, GridSource]:
        """(state at the target's epoch, source covering every arrival of the grid) of one target."""
        if not is_trajectory(target):
            return _resolve(target, name, 0.0, None, 0.0)
        if self._empty:
            return _resolve(target, name, float(target.epoch), None, 0.0)
        # The grid's arrival epochs are (epoch + d) + tof: the extremes are formed the same way.
        first = (self.epoch + float(self.departures.min())) + float(self.tofs.min())
        last = (self.epoch + float(self.departures.max())) + float(self.tofs.max())
        return _resolve(target, name, float(target.epoch), first, last)

    def result(self, target: StateTuple, target_source: GridSource, prograde: bool, max_revs: int,
               arrays: Any, options: Optional[Dict[str, Any]] = None) -> Porkchop:
        """The Porkchop of this window against one target, from the native grid's arrays and the planning
        options it was computed with."""
        grid = Porkchop(self.chaser, target, self.departures, self.tofs, prograde, max_revs, *arrays,
                        **(options or {}), sources=(self.chaser_source, target_source))
        if self.departure_epochs is not None:
            grid.epoch = self.epoch
            grid.departure_epochs = self.departure_epochs.copy()
        return grid
