"""The porkchop grid: Lambert transfers over departure and flight time."""
from typing import Any, Optional, Sequence, SupportsFloat, SupportsInt, Tuple

import numpy as np
import numpy.typing as npt

def grid(
    chaser: Sequence[SupportsFloat],
    target: Sequence[SupportsFloat],
    departures: npt.ArrayLike,
    tofs: npt.ArrayLike,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    threads: Optional[int] = None,
) -> Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int32],
    npt.NDArray[np.int8],
]:
    """The cheapest Lambert arc of every (departure, time of flight) cell, off the interpreter lock.

    `chaser` and `target` are 7-sequences (epoch, x, y, z km, vx, vy, vz km/s). For departure offset d (s after
    the chaser's epoch) and time of flight tof (s, > 0), the chaser is moved to epoch + d and the target to
    epoch + d + tof (two-body, 398600.5 km^3/s^2), and every arc up to `max_revs` revolutions is solved.
    Returns (dv_departure, dv_arrival, dv_total) in km/s, then revolutions (int32, -1 where no arc exists)
    and branch (int8: 0, -1 left, +1 right), each of shape (len(departures), len(tofs)); NaN where no arc
    exists. Each departure row depends on its own inputs alone, so any split of the departure axis and any
    `threads` give the same bits. Raises ValueError for a non-positive tof, non-finite inputs, a zero
    position or a negative `max_revs`.
    """
    ...
