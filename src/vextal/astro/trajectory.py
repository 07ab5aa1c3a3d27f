"""Trajectories: the state of an object at any epoch, whatever moves it.

Every kind answers ``states(epochs) -> (positions, velocities)`` (km and km/s, float64, shape
``epochs.shape + (3,)``, in the package's ECI) and ``state_at(epoch) -> ECI``, and has an ``epoch`` (its
reference time: a two-body state's time, a table's first sample). The porkchop grid reads a trajectory
natively through ``_grid_source(start, stop)``, which gives a two-body state (exact Kepler) or a table that
covers [start, stop]; no Python runs per cell.

- ``TwoBody(state, mu=398600.5)``: exact two-body (Kepler) motion from one state.
- ``Table(epochs, positions, velocities)``: samples read by piecewise cubic Hermite interpolation from the
  position and velocity at the two bracketing samples. Exact at the samples; epochs outside the table raise
  ValueError (never an extrapolation). A circular orbit 400 km up sampled every 60 s stays within 0.4 m and
  0.02 m/s of the two-body motion it samples (the error falls as the fourth power of the spacing).
- ``J2(state, *, mu=398600.5, j2=1.08262668e-3, radius=6378.1374)``: motion under the central field and J2
  alone (arrays.propagate_j2's model), read by the integrator's dense output; a grid gets a Table of it.
- ``TLE(line1, line2)`` (``read_tle``, ``read_omm``, ``propagate_many``): a catalogue object through SGP4 (the
  sgp4 package); its grid source is a table sampled from SGP4 (vextal.astro._tle.sample states its error).
- ``read_oem(path)``: a CCSDS OEM file as a table; ``write_oem(path, trajectory, epochs)`` writes one.
- ``Planet(name)``: a planet's Sun-centred motion from JPL's DE421 (the ``planets`` extra), for grids under
  the Sun's mu ``MU_SUN`` (vextal.astro._planets).

Epochs are numbers (seconds since 1950-01-01T00:00:00 UTC at 86400 s per day) or dates of any kind that
``vextal.astro.time.epoch`` reads; a ``datetime64`` is never read as a bare number.
"""
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, SupportsFloat, Tuple, Union

import numpy as np
import numpy.typing as npt

from vextal.astro import _j2, _oem, _planets, _porkchop, _tle, arrays
from vextal.astro import time as _time
from vextal.astro._state import state_tuple

if TYPE_CHECKING:
    from vextal.astro.orbitvector import ECI

__all__ = ["TwoBody", "Table", "J2", "MU_EARTH", "TLE", "read_tle", "read_omm", "propagate_many", "read_oem",
           "write_oem", "Planet", "MU_SUN"]

MU_EARTH: float = _porkchop.MU_EARTH
"""The gravitational parameter of the package (km^3/s^2)."""

States = Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]


def _seven(state: Any) -> Tuple[float, ...]:
    """(time, x, y, z, vx, vy, vz) as floats from an ECI state or a sequence of seven numbers, finite, with a
    non-zero position."""
    out = state_tuple(state)
    if not all(np.isfinite(out)):
        raise ValueError("state must hold finite numbers only")
    if out[1:4] == (0.0, 0.0, 0.0):
        raise ValueError("state has a zero position vector")
    return out


def _eci(time: float, r: "npt.NDArray[np.float64]", v: "npt.NDArray[np.float64]") -> "ECI":
    from vextal.astro.orbitvector import ECI
    from vextal.vector3 import Vector3

    return ECI(float(time), Vector3(*map(float, r)), Vector3(*map(float, v)))


def _epochs(epochs: Any) -> npt.NDArray[np.float64]:
    # Numbers are seconds; dates of every kind vextal.astro.time reads become epoch numbers (a datetime64 is
    # never read as a bare number).
    values = np.asarray(_time.epoch(epochs), dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError("epochs must be finite numbers")
    return values


def _one_epoch(epoch: Any) -> float:
    value = _epochs(epoch)
    if value.ndim != 0:
        raise TypeError("one epoch is needed, not an array of shape %s" % (value.shape,))
    return float(value)


class TwoBody:
    """Two-body motion from one state: `state` an ECI record or 7 numbers (time s, x, y, z km, vx, vy, vz km/s),
    `mu` the gravitational parameter (km^3/s^2). `epoch` is the state's time."""

    __slots__ = ("state", "mu")

    def __init__(self, state: Union["ECI", Sequence[SupportsFloat]], mu: SupportsFloat = MU_EARTH) -> None:
        self.state: Tuple[float, ...] = _seven(state)
        self.mu = float(mu)
        if not (self.mu > 0 and np.isfinite(self.mu)):
            raise ValueError("mu must be a positive finite number")

    @property
    def epoch(self) -> float:
        """The state's time (s)."""
        return self.state[0]

    def states(self, epochs: Any) -> States:
        """Positions (km) and velocities (km/s) at `epochs` (s, any shape): arrays of shape epochs.shape + (3,).
        ValueError where the state cannot be moved there."""
        dt = _epochs(epochs) - self.state[0]
        r, v = arrays.propagate(self.state[1:4], self.state[4:7], dt, mu=self.mu, errors="raise", threads=1)
        return r, v

    def state_at(self, epoch: Any) -> "ECI":
        """The ECI state at `epoch` (s)."""
        t = _one_epoch(epoch)
        r, v = self.states(t)
        return _eci(t, r, v)

    def _grid_source(self, start: float, stop: float) -> "TwoBody":
        """What the native grid reads for epochs in [start, stop]: this state (exact Kepler)."""
        return self

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # Rebuilt through the constructor, which checks the state again (a cluster grid ships trajectories).
        return type(self), (self.state, self.mu)

    def __repr__(self) -> str:
        return "TwoBody(%r, mu=%r)" % (self.state, self.mu)


class Table:
    """A sampled trajectory: `epochs` (n,) strictly increasing (s), `positions` (n, 3) km and `velocities`
    (n, 3) km/s, finite, n >= 2; kept as read-only copies. Read by piecewise cubic Hermite interpolation from
    the position and velocity at the two bracketing samples; epochs outside [epochs[0], epochs[-1]] raise
    ValueError. `epoch` is the first sample's."""

    __slots__ = ("epochs", "positions", "velocities")

    def __init__(self, epochs: npt.ArrayLike, positions: npt.ArrayLike, velocities: npt.ArrayLike) -> None:
        t = np.array(epochs, dtype=np.float64)
        r = np.array(positions, dtype=np.float64)
        v = np.array(velocities, dtype=np.float64)
        if t.ndim != 1 or t.size < 2:
            raise ValueError("epochs must be one-dimensional with at least two samples, not of shape %s" % (t.shape,))
        for name, values in (("positions", r), ("velocities", v)):
            if values.shape != (t.size, 3):
                raise ValueError("%s must have shape %s, not %s" % (name, (t.size, 3), values.shape))
        for name, values in (("epochs", t), ("positions", r), ("velocities", v)):
            if not np.isfinite(values).all():
                raise ValueError("%s must hold finite numbers only" % name)
            values.flags.writeable = False
        if not (np.diff(t) > 0).all():
            raise ValueError("epochs must be strictly increasing")
        self.epochs: npt.NDArray[np.float64] = t
        self.positions: npt.NDArray[np.float64] = r
        self.velocities: npt.NDArray[np.float64] = v

    @property
    def epoch(self) -> float:
        """The first sample's epoch (s)."""
        return float(self.epochs[0])

    def states(self, epochs: Any) -> States:
        """Positions (km) and velocities (km/s) at `epochs` (s, any shape), interpolated: arrays of shape
        epochs.shape + (3,). ValueError for an epoch outside the table."""
        r, v = _porkchop.interpolate(self.epochs, self.positions, self.velocities, _epochs(epochs))
        return r, v

    def state_at(self, epoch: Any) -> "ECI":
        """The ECI state at `epoch` (s), interpolated."""
        t = _one_epoch(epoch)
        r, v = self.states(t)
        return _eci(t, r, v)

    def _grid_source(self, start: float, stop: float) -> "Table":
        """This table, after checking that it covers [start, stop] (ValueError naming both spans otherwise)."""
        if not (self.epochs[0] <= start and stop <= self.epochs[-1]):
            raise ValueError("the grid needs states from %r to %r s, the table spans %r to %r s"
                             % (float(start), float(stop), float(self.epochs[0]), float(self.epochs[-1])))
        return self

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # Rebuilt through the constructor: the copy is checked again and its arrays read-only again.
        return type(self), (self.epochs, self.positions, self.velocities)

    def __repr__(self) -> str:
        return "<Table of %d samples from %r to %r s>" % (self.epochs.size, self.epoch, float(self.epochs[-1]))


class J2:
    """Motion under the Earth's central field and its oblateness term J2 alone, from one state: `state` an ECI
    record or 7 numbers (time s, x, y, z km, vx, vy, vz km/s); `mu` (km^3/s^2, default 398600.5), `j2`
    (default 1.08262668e-3) and `radius` (the equatorial reference radius, km, default 6378.1374) the model's
    constants. `epoch` is the state's time. Integrated as arrays.propagate_j2 does (DOP853): within 1 mm of a
    far tighter integration after a day in LEO or GEO. For a grid it samples itself into a Table whose
    interpolation stays within 1 cm and 2 mm/s of the integration."""

    __slots__ = ("state", "mu", "j2", "radius")

    def __init__(self, state: Union["ECI", Sequence[SupportsFloat]], *, mu: SupportsFloat = MU_EARTH,
                 j2: SupportsFloat = _porkchop.EARTH_J2,
                 radius: SupportsFloat = _porkchop.EARTH_EQUATORIAL_RADIUS) -> None:
        self.state: Tuple[float, ...] = _seven(state)
        self.mu, self.j2, self.radius = float(mu), float(j2), float(radius)
        if not (self.mu > 0 and np.isfinite(self.mu)):
            raise ValueError("mu must be a positive finite number")
        if not np.isfinite(self.j2):
            raise ValueError("j2 must be a finite number")
        if not (self.radius > 0 and np.isfinite(self.radius)):
            raise ValueError("radius must be a positive finite number")

    @property
    def epoch(self) -> float:
        """The state's time (s)."""
        return self.state[0]

    def states(self, epochs: Any) -> States:
        """Positions (km) and velocities (km/s) at `epochs` (s or dates, any shape and order, either side of
        `epoch`): arrays of shape epochs.shape + (3,), from one integration each way read by its dense output."""
        r, v = arrays._sample_j2(self.state[1:4], self.state[4:7], _epochs(epochs) - self.state[0], mu=self.mu,
                                 j2=self.j2, radius=self.radius)
        return r, v

    def state_at(self, epoch: Any) -> "ECI":
        """The ECI state at `epoch` (s or a date)."""
        t = _one_epoch(epoch)
        r, v = self.states(t)
        return _eci(t, r, v)

    def _table_epochs(self, start: float, stop: float) -> npt.NDArray[np.float64]:
        """The sample epochs of the table that covers [start, stop]."""
        return _j2.table_epochs(float(start), float(stop), _j2.table_step(self.state[1:4], self.state[4:7], self.mu))

    def _grid_source(self, start: float, stop: float) -> Table:
        """What the native grid reads for epochs in [start, stop]: a Table sampled from one integration."""
        epochs = self._table_epochs(start, stop)
        r, v = self.states(epochs)
        return Table(epochs, r, v)

    def __repr__(self) -> str:
        return "J2(%r, mu=%r, j2=%r, radius=%r)" % (self.state, self.mu, self.j2, self.radius)


class Planet:
    """A planet's (or Pluto's, or the Earth-Moon barycentre's, "emb") Sun-centred motion from JPL's DE421, in
    the package's ECI axes: ``Planet("mars")`` (vextal.astro._planets; the ``planets`` extra). ``states`` /
    ``state_at`` as the other kinds (km, km/s); epochs outside DE421's span (1899-07-29 to 2200-02-02) raise
    ValueError. A porkchop grid reads a table sampled every 6 hours; use it with the Sun's mu ``MU_SUN``.
    `epoch` is J2000 (2000-01-01T12:00:00 UTC) unless given."""

    __slots__ = ("name", "_epoch")

    def __init__(self, name: str, epoch: Any = "2000-01-01T12:00:00") -> None:
        key = str(name).strip().lower()
        if key not in _planets.NAMES:
            raise ValueError("unknown planet %r: one of %s" % (name, ", ".join(_planets.NAMES)))
        self.name = key
        self._epoch = _one_epoch(epoch)

    @property
    def epoch(self) -> float:
        """The reference epoch (s): a chaser's stands for departure offset zero."""
        return self._epoch

    def states(self, epochs: Any) -> States:
        """Sun-centred positions (km) and velocities (km/s) at `epochs` (s or dates, any shape)."""
        return _planets.heliocentric(self.name, epochs)

    def state_at(self, epoch: Any) -> "ECI":
        """The ECI state at `epoch` (s or a date)."""
        t = _one_epoch(epoch)
        r, v = self.states(t)
        return _eci(t, r, v)

    def _grid_source(self, start: float, stop: float) -> Table:
        """A table sampled every 6 hours at most covering [start, stop]."""
        epochs = _planets.table_epochs(start, stop)
        r, v = self.states(epochs)
        return Table(epochs, r, v)

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return type(self), (self.name, self._epoch)

    def __repr__(self) -> str:
        return "Planet(%r)" % self.name


class TLE(_tle.TLE):
    """A catalogue object through SGP4 (the sgp4 package): ``TLE(line1, line2, name=None)``,
    ``TLE.from_omm(fields)``; ``states``/``state_at`` in the package's ECI, ``propagate`` with SGP4's status
    per epoch (see vextal.astro._tle). Its grid source is a table sampled from SGP4 (``_tle.sample``)."""

    def _grid_source(self, start: float, stop: float) -> Table:
        """A table sampled from SGP4 covering [start, stop]."""
        return Table(*_tle.sample(self, start, stop))


def read_tle(source: Any) -> List[TLE]:
    """Every element set of a two- or three-line file (a path or an open text file)."""
    return _tle.read_tle(source, TLE)


def read_omm(source: Any) -> List[TLE]:
    """Every record of an OMM file in CSV or XML (as the sgp4 package reads them)."""
    return _tle.read_omm(source, TLE)


def read_oem(path: Any, *, eop: Optional[Mapping[str, Any]] = None) -> Table:
    """A table of an OEM file (KVN or XML), in UTC epoch numbers and the package's ECI; time systems and frames
    as vextal.astro._oem.read_oem_arrays converts them (``eop`` for an Earth-fixed file)."""
    return Table(*_oem.read_oem_arrays(path, eop=eop))


MU_SUN: float = _planets.MU_SUN
"""The Sun's gravitational parameter (km^3/s^2), for grids between planets."""
propagate_many = _tle.propagate_many
write_oem = _oem.write_oem
