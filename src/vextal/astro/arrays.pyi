"""Geodesy, propagation and Lambert's problem over NumPy arrays.

Inputs: arrays of real numbers (float, int, bool, or object arrays holding only real numbers); strings,
complex numbers, dates, None and masked arrays are a TypeError (fill a masked array first, e.g.
np.ma.filled(a, np.nan)). Inputs are read in place with the interpreter lock released: if another thread
rewrites an input array during a call, the results for the rows it touched are unspecified (as in NumPy),
the other rows are exact. Results are bit-identical for any thread count; across machines they are for the
same geodesy kernels (avx2, sse2 and scalar may differ in the last bit, see _geodesy_path)."""
import sys
from typing import Any, ClassVar, Dict, Iterable, Optional, SupportsFloat, SupportsIndex, SupportsInt, Tuple, final

import numpy as np
import numpy.typing as npt

LAMBERT_OK: int

@final
class LambertArrays(Tuple[Any, ...]):
    """Solutions of a batch of Lambert problems, from `lambert`: a tuple with named fields
    (v1, v2, count, status, revolutions, branch) that pickles."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[Tuple[str, ...]]
    def __new__(cls, sequence: Iterable[Any], dict: Dict[str, Any] = ...) -> LambertArrays:
        """Builds the record from its six fields (as pickling does)."""
        ...
    if sys.version_info >= (3, 13):
        def __replace__(self, **changes: Any) -> LambertArrays: ...
    @property
    def v1(self) -> npt.NDArray[np.float64]:
        """Departure velocities (..., K, 3) in km/s; NaN where an arc does not exist."""
        ...
    @property
    def v2(self) -> npt.NDArray[np.float64]:
        """Arrival velocities (..., K, 3) in km/s; NaN where an arc does not exist."""
        ...
    @property
    def count(self) -> npt.NDArray[np.int32]:  # type: ignore[override]
        """Arcs found per problem (...): 1 + 2 * (revolution limit after cropping), 0 on failure."""
        ...
    @property
    def status(self) -> npt.NDArray[np.int32]:
        """Status code per problem (...): LAMBERT_OK, or a code that `lambert_message` turns into the
        solver's message."""
        ...
    @property
    def revolutions(self) -> npt.NDArray[np.int32]:
        """Revolution count of each of the K slots: 0, 1, 1, 2, 2, ..."""
        ...
    @property
    def branch(self) -> npt.NDArray[np.int32]:
        """Branch of each of the K slots: 0 for no revolutions, then -1 (the shorter-period arc) and +1 (the
        longer-period arc) per count."""
        ...

def efg_to_llh(xyz: npt.ArrayLike, *, threads: Optional[int] = None) -> npt.NDArray[np.float64]:
    """Geodetic coordinates of Earth-fixed points: xyz (..., 3) in km to a new float64 array (..., 3) of
    latitude (degrees), longitude (degrees, in [0, 360)) and height (km) on the package's ellipsoid.
    Accurate to a few units in the last place at any height off the polar axis; on the axis the answer
    of EFG.to_llh. A point with a NaN or an infinite coordinate gives NaN in all three components.
    threads: worker threads (None: every core). Raises ValueError for a trailing axis other than 3,
    TypeError for an array that is not of real numbers."""
    ...
def llh_to_efg(
    llh: npt.ArrayLike, *, errors: str = ..., threads: Optional[int] = None
) -> npt.NDArray[np.float64]:
    """Earth-fixed positions (km) of geodetic coordinates: llh (..., 3) of latitude, longitude (degrees)
    and height (km) to a new float64 array (..., 3), the formula of LLH.to_efg. A point with a
    non-finite value, or a latitude outside [-90, 90], gives NaN in all three components; with
    errors='raise' such a latitude is a ValueError naming the first such point."""
    ...
def propagate(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: npt.ArrayLike,
    *,
    mu: SupportsFloat = ...,
    errors: str = ...,
    threads: Optional[int] = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Two-body propagation of states: positions r (..., 3) km and velocities v (..., 3) km/s moved on by
    dt (...) seconds under mu (km^3/s^2, default 398600.5), broadcast together. Returns new arrays
    (r, v), each value that of kepler.propagate_lagrangian. A state that cannot be propagated gets NaN
    rows, or with errors='raise' a ValueError naming the first such state."""
    ...
def eci_to_ric(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    r_ref: npt.ArrayLike,
    v_ref: npt.ArrayLike,
    *,
    threads: Optional[int] = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """States relative to reference states in each reference's RIC frame: r, v (..., 3) km and km/s
    against r_ref, v_ref (..., 3), broadcast together. Returns new arrays (position, velocity) of
    (radial, in-track, cross-track) components: R = r_ref/|r_ref|, C along r_ref x v_ref, I = C x R;
    the velocity is seen from the frame turning with the reference (a point at rest in it reads 0).
    A reference with a zero position or no angular momentum gives NaN rows."""
    ...
def lambert(
    r1: npt.ArrayLike,
    r2: npt.ArrayLike,
    tof: npt.ArrayLike,
    *,
    mu: SupportsFloat = ...,
    prograde: bool = True,
    max_revs: SupportsIndex = 0,
    errors: str = ...,
    threads: Optional[int] = None,
) -> LambertArrays:
    """Lambert's problem for every broadcast element of r1 (..., 3), r2 (..., 3) km and tof (...) s.
    Returns LambertArrays(v1, v2, count, status, revolutions, branch): v1 and v2 (..., K, 3) with
    K = 1 + 2 * m slots in the solver's order (no revolutions, then per N the shorter-period and the
    longer-period branch), NaN where an arc does not exist; m is the most revolutions any problem of the call can
    have, at most max_revs (a time of flight allows fewer than tof / (pi * sqrt((s/2)^3 / mu)), s the
    semiperimeter), so a large max_revs costs memory only where arcs need it. The velocities are those
    of LambertProblem. prograde must be a bool and max_revs an int from 0 to 100000 (TypeError or
    ValueError naming them otherwise). A problem that cannot be solved gets its status code (see
    lambert_message) and NaN rows, or with errors='raise' a ValueError naming the first such problem."""
    ...
def lambert_message(code: SupportsInt, /) -> str:
    """The solver's message for a status code of lambert()."""
    ...
def _geodesy_path(limit: Optional[str] = None, /) -> str:
    """The geodesy kernels in use ('avx2', 'sse2', 'scalar'); with a limit, the best available at or
    below it is chosen first (for tests and benchmarks; not while a call runs)."""
    ...
def propagate_j2(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: npt.ArrayLike,
    *,
    mu: SupportsFloat = 398600.5,
    j2: SupportsFloat = 1.08262668e-3,
    radius: SupportsFloat = 6378.1374,
    errors: str = "nan",
    threads: Optional[int] = None,
    epoch: Any = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Propagation under the central field and J2 alone: positions r (..., 3) km and velocities
    v (..., 3) km/s moved on by dt (...) seconds (either sign), broadcast together. mu in km^3/s^2,
    radius the equatorial radius in km (defaults: the package's constants). Returns new arrays (r, v).
    Integrated by an adaptive eighth-order Runge-Kutta method (DOP853): within 1 mm of a far tighter
    integration after a day in LEO or GEO. A state that cannot be propagated gets NaN rows, or with
    errors='raise' an exception naming the first such state (ValueError for a bad state, RuntimeError
    for an orbit that runs into the centre or needs too many steps). epoch: None for J2 about the
    frame's z axis, or the states' epoch (s since 1950 UTC, or a date) for J2 about the Earth's pole of
    date (vextal.astro.forces). Ctrl-C stops a long call."""
    ...
def _propagate_j2_stm(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: npt.ArrayLike,
    *,
    mu: SupportsFloat = 398600.5,
    j2: SupportsFloat = 1.08262668e-3,
    radius: SupportsFloat = 6378.1374,
    errors: str = "nan",
    threads: Optional[int] = None,
    rtol: SupportsFloat = 1e-13,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """propagate_j2 that also returns the state transition matrices d(r, v)/d(r0, v0) (..., 6, 6):
    (r, v, phi). r and v are those of propagate_j2, bit for bit (at the default rtol)."""
    ...
def _sample_j2(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    offsets: npt.ArrayLike,
    *,
    mu: SupportsFloat = 398600.5,
    j2: SupportsFloat = 1.08262668e-3,
    radius: SupportsFloat = 6378.1374,
    rtol: SupportsFloat = 1e-13,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The J2 states (r, v), each offsets.shape + (3,), of the one state r (3,), v (3,) at offsets
    seconds from it (any order, either side), from one integration each way read by the dense output."""
    ...
def _j2_fixed_steps(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: SupportsFloat,
    steps: SupportsInt,
    fraction: SupportsFloat = 0.0,
    *,
    mu: SupportsFloat = 398600.5,
    j2: SupportsFloat = 1.08262668e-3,
    radius: SupportsFloat = 6378.1374,
) -> Tuple[Tuple[float, float, float], Tuple[float, float, float]]:
    """The integrator with `steps` equal steps and no step control, or its dense output at `fraction`
    of the last step: ((x, y, z), (vx, vy, vz)). For measuring the order."""
    ...
def _propagate_model(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: npt.ArrayLike,
    forces: Iterable[Tuple[str, Iterable[SupportsFloat], Optional[Iterable[SupportsFloat]]]],
    *,
    errors: str = "nan",
    threads: Optional[int] = None,
    rtol: SupportsFloat = 1e-13,
    stm: bool = False,
) -> Tuple[npt.NDArray[np.float64], ...]:
    """vextal.astro.forces.propagate's native door (forces packed by Model.packed())."""
    ...
def _sample_model(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    offsets: npt.ArrayLike,
    forces: Iterable[Tuple[str, Iterable[SupportsFloat], Optional[Iterable[SupportsFloat]]]],
    *,
    rtol: SupportsFloat = 1e-13,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """vextal.astro.forces.sample's native door."""
    ...
def _model_partials(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    forces: Iterable[Tuple[str, Iterable[SupportsFloat], Optional[Iterable[SupportsFloat]]]],
    *,
    t: SupportsFloat = 0.0,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """vextal.astro.forces.acceleration's native door: (a, da/dr, da/dv)."""
    ...
