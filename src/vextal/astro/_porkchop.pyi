"""The porkchop grid: Lambert transfers over departure and flight time."""
from typing import Any, Optional, Sequence, SupportsFloat, SupportsInt, Tuple, Union

import numpy as np
import numpy.typing as npt

MU_EARTH: float
"""The gravitational parameter of the package (km^3/s^2)."""
MU_SUN: float
"""The Sun's gravitational parameter (km^3/s^2, IAU 2015 nominal)."""
MU_MOON: float
"""The Moon's gravitational parameter (km^3/s^2, JPL DE440)."""
MU_MARS: float
"""Mars's gravitational parameter (km^3/s^2, JPL DE440, system)."""
#: A flight model of exact cells: ("j2", j2, radius), or a force model as vextal.astro.forces packs it
#: (Model.packed(epoch): (name, parameters, pole) triples, pole None or the 9 values of the pole's rotation).
_Flight = Union[Tuple[str, SupportsFloat, SupportsFloat],
                Sequence[Tuple[str, Sequence[SupportsFloat], Optional[Sequence[SupportsFloat]]]]]
EARTH_EQUATORIAL_RADIUS: float
"""The equatorial radius of the package's ellipsoid (km)."""
EARTH_ECCENTRICITY_SQ: float
"""The first eccentricity squared of the package's ellipsoid."""
EARTH_J2: float
"""The Earth's oblateness term J2 of the package (the equatorial radius above is its reference radius)."""

_Offset = Optional[Sequence[SupportsFloat]]
_Vector = Tuple[float, float, float]

def grid(
    chaser: Union[Sequence[SupportsFloat], Any],
    target: Union[Sequence[SupportsFloat], Any],
    departures: npt.ArrayLike,
    tofs: npt.ArrayLike,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    threads: Optional[int] = None,
    mu: Optional[SupportsFloat] = None,
    cost: Optional[str] = None,
    min_radius: Optional[SupportsFloat] = None,
    arrive_at: _Offset = None,
    depart_from: _Offset = None,
    epoch: Optional[SupportsFloat] = None,
    flight: Optional[_Flight] = None,
) -> Tuple[npt.NDArray[Any], ...]:
    """The cheapest Lambert arc of every (departure, time of flight) cell, off the interpreter lock.

    `chaser` and `target` are 7-sequences (epoch, x, y, z km, vx, vy, vz km/s) or trajectories: an object with
    `epochs`, `positions` and `velocities` (a table, read by cubic Hermite interpolation; cells outside its span
    are NaN) or with `state` and `mu` (two-body). For departure offset d (s after
    the chaser's epoch) and time of flight tof (s, > 0), the chaser is moved to epoch + d and the target to
    epoch + d + tof (7-sequences two-body under `mu`, default 398600.5 km^3/s^2), and every arc up to
    `max_revs` revolutions is solved; the cell keeps the cheapest arc that passes the screen. Returns
    (dv_departure, dv_arrival, dv_total) in km/s, then revolutions (int32, -1 where no arc exists), branch
    (int8: 0, -1 shorter-period, +1 longer-period) and status (int8: 0 an arc, 1 no arc, 2 every arc below `min_radius`, 3 no
    state at the cell's epoch), each of shape (len(departures), len(tofs)); NaN where no arc exists.
    `cost`: "rendezvous" (departure + arrival delta-v, the default) or "intercept" (departure only).
    `min_radius` (km): arcs whose flown path comes below it are no candidates, decided from whether
    periapsis lies on the arc (default the Earth's equatorial radius under the Earth's mu, else none; 0 for
    none). `arrive_at` / `depart_from`: (dr, di, dc) km in the target's RIC frame at arrival / the chaser's
    at departure; the burn there matches the velocity of a point at rest in that rotating frame. Each departure
    row depends on its own inputs alone, so any split of the departure axis and any `threads` give the same
    bits. Raises ValueError for a non-positive tof, non-finite inputs, a zero
    position or a negative `max_revs`. `epoch`: the epoch the departure offsets count from (default: the
    chaser's, which for a table is its first sample; a table sampled for a window stands for an object whose
    epoch lies elsewhere). `flight`: None, ("j2", j2, radius) or a packed force model (_Flight) for exact
    cells: each cell's cheapest transfer whose departure burn, flown under `mu` and J2 (radius km) or in the
    force model, reaches the arrival point within 1 m
    (status 4 where no arc's shooting converges); two more float64 arrays then follow, each cell's position
    miss flown in the model (km) and the cost of its cheapest two-body arc (km/s).
    """
    ...

def cell(
    chaser: Union[Sequence[SupportsFloat], Any],
    target: Union[Sequence[SupportsFloat], Any],
    departure: SupportsFloat,
    tof: SupportsFloat,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    slot: Optional[SupportsInt] = None,
    mu: Optional[SupportsFloat] = None,
    cost: Optional[str] = None,
    min_radius: Optional[SupportsFloat] = None,
    arrive_at: _Offset = None,
    depart_from: _Offset = None,
    epoch: Optional[SupportsFloat] = None,
    flight: Optional[_Flight] = None,
) -> Tuple[Any, ...]:
    """One cell of grid() solved alone: (status, revolutions, branch, r1, v_start, v1, r2, v_goal, v2): the
    departure point and the velocity held there, the arc's departure velocity, the arrival point, the velocity
    to match there and the arc's arrival velocity (None without an arc). `slot`: that Lambert slot's arc only
    (see slot_arc), else the cheapest that passes the screen. `epoch`: the epoch `departure` counts from, as for
    grid(). `flight`: as for grid(); v1 and v2 are then the shot departure velocity and the model's arrival
    velocity, and a tenth item follows, the position miss flown in the model (km)."""
    ...

def safety(
    chaser: Union[Sequence[SupportsFloat], Any],
    target: Union[Sequence[SupportsFloat], Any],
    departures: npt.ArrayLike,
    tofs: npt.ArrayLike,
    revolutions: npt.ArrayLike,
    branch: npt.ArrayLike,
    orbits: SupportsFloat,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    threads: Optional[int] = None,
    mu: Optional[SupportsFloat] = None,
    cost: Optional[str] = None,
    min_radius: Optional[SupportsFloat] = None,
    arrive_at: _Offset = None,
    depart_from: _Offset = None,
    epoch: Optional[SupportsFloat] = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64],
           npt.NDArray[np.int8]]:
    """Passive safety of cells (1-D arrays of equal length, each cell's arc named by its revolutions and
    branch), off the interpreter lock: (arc_range, drift_range, arc_where, drift_where, status). The least
    distance (km) from the target along the transfer arc and along the free drift on the same conic for
    `orbits` periods of the target's orbit after a missed arrival burn; *_where the chaser's RIC position
    relative to the target there, (n, 3). Sampled at 64 points per target period (16 to 4096 per span), each
    sampled minimum refined by golden section. NaN and a non-zero status where a cell has no arc. `epoch`: the
    epoch departures count from, as for grid()."""
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
    (branch 0), then per revolution count the shorter-period (-1) and the longer-period (+1) branch."""
    ...
