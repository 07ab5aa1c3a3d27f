"""The porkchop grid: Lambert transfers over departure and flight time."""
from typing import Any, Optional, Sequence, SupportsFloat, SupportsInt, Tuple, Union

import numpy as np
import numpy.typing as npt

MU_EARTH: float
"""The gravitational parameter of the package (km^3/s^2)."""
EARTH_EQUATORIAL_RADIUS: float
"""The equatorial radius of the package's ellipsoid (km)."""
EARTH_ECCENTRICITY_SQ: float
"""The first eccentricity squared of the package's ellipsoid."""
EARTH_J2: float
"""The Earth's oblateness term J2 of the package (the equatorial radius above is its reference radius)."""

def grid(
    chaser: Union[Sequence[SupportsFloat], Any],
    target: Union[Sequence[SupportsFloat], Any],
    departures: npt.ArrayLike,
    tofs: npt.ArrayLike,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    threads: Optional[int] = None,
    epoch: Optional[SupportsFloat] = None,
) -> Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int32],
    npt.NDArray[np.int8],
]:
    """The cheapest Lambert arc of every (departure, time of flight) cell, off the interpreter lock.

    `chaser` and `target` are 7-sequences (epoch, x, y, z km, vx, vy, vz km/s) or trajectories: an object with
    `epochs`, `positions` and `velocities` (a table, read by cubic Hermite interpolation; cells outside its span
    are NaN) or with `state` and `mu` (two-body). For departure offset d (s after
    the chaser's epoch) and time of flight tof (s, > 0), the chaser is moved to epoch + d and the target to
    epoch + d + tof (two-body, 398600.5 km^3/s^2), and every arc up to `max_revs` revolutions is solved.
    Returns (dv_departure, dv_arrival, dv_total) in km/s, then revolutions (int32, -1 where no arc exists)
    and branch (int8: 0, -1 left, +1 right), each of shape (len(departures), len(tofs)); NaN where no arc
    exists. Each departure row depends on its own inputs alone, so any split of the departure axis and any
    `threads` give the same bits. Raises ValueError for a non-positive tof, non-finite inputs, a zero
    position or a negative `max_revs`. `epoch`: the epoch the departure offsets count from (default: the
    chaser's, which for a table is its first sample; a table sampled for a window stands for an object whose
    epoch lies elsewhere).
    """
    ...

def interpolate(
    epochs: npt.ArrayLike, positions: npt.ArrayLike, velocities: npt.ArrayLike, at: npt.ArrayLike
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """States of a sampled table at the epochs `at` (any shape) by piecewise cubic Hermite interpolation from the
    bracketing samples: (positions, velocities), float64 of shape at.shape + (3,). ValueError for an epoch outside
    [epochs[0], epochs[-1]]."""
    ...

def slot_arc(slot: SupportsInt, /) -> Tuple[int, int]:
    """(revolutions, branch) of Lambert solution slot `slot` in the solver's order: slot 0 has no revolutions
    (branch 0), then per revolution count the left (-1) and the right (+1) branch."""
    ...
