"""Trajectories: the state of an object at any epoch, whatever moves it.

Every kind answers ``states(epochs) -> (positions, velocities)`` (km and km/s, float64, shape
``epochs.shape + (3,)``, in the package's ECI) and ``state_at(epoch) -> ECI``, and has an ``epoch`` (its
reference time: a two-body state's time, a table's first sample). ``Trajectory`` is that contract as a
protocol: any object with an ``epoch`` and ``states`` (and, optionally, the ``span`` of epochs it covers)
drives a porkchop grid, a survey and a refinement. The grid reads a trajectory natively: a two-body state
(exact Kepler) or a table covering the epochs it needs, sampled once per grid; no Python runs per cell.

- ``TwoBody(state, mu=398600.5)``: exact two-body (Kepler) motion from one state.
- ``Table(epochs, positions, velocities)``: samples read by piecewise cubic Hermite interpolation from the
  position and velocity at the two bracketing samples. Exact at the samples; epochs outside the table raise
  ValueError (never an extrapolation). A circular orbit 400 km up sampled every 60 s stays within 0.4 m and
  0.02 m/s of the two-body motion it samples (the error falls as the fourth power of the spacing).
- ``Numerical(state, model=forces.J2(), *, pole_of_date=True, rtol=1e-13)``: motion under a force model
  (vextal.astro.forces), read by the integrator's dense output; a grid gets a Table of it.
- ``J2(state, *, mu=398600.5, j2=1.08262668e-3, radius=6378.1374)``: Numerical under the central field and
  J2 alone about the frame's z axis (arrays.propagate_j2's model).
- ``TLE(line1, line2)`` (``read_tle``, ``read_omm``, ``propagate_many``): a catalogue object through SGP4 (the
  sgp4 package); its grid source is a table sampled from SGP4 (vextal.astro._tle.sample states its error).
- ``read_oem(path)``: a CCSDS OEM file as a table; ``write_oem(path, trajectory, epochs)`` writes one.
- ``Planet(name)``: a planet's Sun-centred motion from JPL's DE421 (the ``planets`` extra), for grids under
  the Sun's mu ``MU_SUN`` (vextal.astro._planets).

Epochs are numbers (seconds since 1950-01-01T00:00:00 UTC at 86400 s per day) or dates of any kind that
``vextal.astro.time.epoch`` reads; a ``datetime64`` is never read as a bare number.
"""
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Protocol, Sequence, SupportsFloat, Tuple, Union, \
    runtime_checkable

import numpy as np
import numpy.typing as npt

from vextal.astro import _j2, _oem, _planets, _porkchop, _tle, arrays
from vextal.astro import forces as _forces
from vextal.astro import time as _time
from vextal.astro._state import state_tuple

if TYPE_CHECKING:
    from vextal.astro.orbitvector import ECI

__all__ = ["Trajectory", "TwoBody", "Table", "Numerical", "J2", "Planet", "MU_EARTH", "MU_SUN", "TLE", "read_tle",
           "read_omm", "propagate_many", "read_oem", "write_oem", "ElementAgeWarning"]

ElementAgeWarning = _tle.ElementAgeWarning

MU_EARTH: float = _porkchop.MU_EARTH
"""The gravitational parameter of the package (km^3/s^2)."""

States = Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]


@runtime_checkable
class Trajectory(Protocol):
    """What a porkchop grid, a survey and a refinement need of an object's motion: its reference `epoch` (s;
    a chaser's stands for departure offset zero) and ``states(epochs) -> (positions, velocities)``, km and km/s
    in the package's ECI for a 1-D array of epochs (s), each of shape (len(epochs), 3).

    An object may also have a ``span`` attribute, ``(start, stop)`` in seconds or None: the epochs it can give
    states for; a grid that needs states outside it is refused before any work. Every kind of this module is a
    Trajectory; an object of another class is sampled once per grid into a ``Table`` over the epochs the grid
    needs, densely enough that cubic Hermite reading stays within a centimetre of an orbit under the grid's mu.
    ``isinstance(obj, Trajectory)`` checks that the two members are there."""

    @property
    def epoch(self) -> float:
        """The reference epoch (s)."""

    def states(self, epochs: Any) -> States:
        """Positions (km) and velocities (km/s) at `epochs` (s)."""


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

    @property
    def span(self) -> Tuple[float, float]:
        """The first and the last sample's epochs (s): the table gives states between them only."""
        return float(self.epochs[0]), float(self.epochs[-1])

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
            raise ValueError("the grid needs states from %s to %s, the table spans %s to %s"
                             % tuple(_time.iso(float(e)) for e in (start, stop, self.epochs[0], self.epochs[-1])))
        return self

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        # Rebuilt through the constructor: the copy is checked again and its arrays read-only again.
        return type(self), (self.epochs, self.positions, self.velocities)

    def __repr__(self) -> str:
        return "<Table of %d samples from %r to %r s>" % (self.epochs.size, self.epoch, float(self.epochs[-1]))


class Numerical:
    """Motion under a force model (vextal.astro.forces), from one state: `state` an ECI record or 7 numbers
    (time s, x, y, z km, vx, vy, vz km/s); `model` a Force or a Model (default: forces.J2()). With
    `pole_of_date` (the default) the fields act about the Earth's pole at the state's epoch (pyerfa), else
    about the frame's z axis. `rtol` the step control's relative tolerance (default 1e-13: within 1 mm of a
    far tighter integration after a day in LEO). `epoch` is the state's time. Read by the integrator's dense
    output; for a grid it samples itself into a Table whose interpolation stays within 1 cm and 2 mm/s of
    the integration."""

    __slots__ = ("state", "model", "pole_of_date", "rtol")

    def __init__(self, state: Union["ECI", Sequence[SupportsFloat]], model: Any = None, *,
                 pole_of_date: bool = True, rtol: SupportsFloat = _forces.DEFAULT_RTOL) -> None:
        self.state: Tuple[float, ...] = _seven(state)
        self.model: _forces.Model = _forces.as_model(_forces.J2() if model is None else model)
        self.pole_of_date = bool(pole_of_date)
        self.rtol = float(rtol)
        if not 1e-15 <= self.rtol <= 1e-3:
            raise ValueError("rtol must be between 1e-15 and 1e-3, not %r" % (rtol,))

    @property
    def pole_epoch(self) -> Optional[float]:
        """The epoch of the pole the fields act about (the state's), or None for the frame's z axis."""
        return self.state[0] if self.pole_of_date else None

    @property
    def epoch(self) -> float:
        """The state's time (s)."""
        return self.state[0]

    @property
    def mu(self) -> float:
        """The model's central gravitational parameter (km^3/s^2)."""
        return self.model.mu

    def states(self, epochs: Any) -> States:
        """Positions (km) and velocities (km/s) at `epochs` (s or dates, any shape and order, either side of
        `epoch`): arrays of shape epochs.shape + (3,), from one integration each way read by its dense output."""
        r, v = _forces.sample(self.state[1:4], self.state[4:7], _epochs(epochs) - self.state[0], self.model,
                              epoch=self.pole_epoch, rtol=self.rtol)
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

    def __reduce__(self) -> Tuple[Any, ...]:
        return _numerical, (self.state, self.model, self.pole_of_date, self.rtol)

    def __repr__(self) -> str:
        return "Numerical(%r, %r, pole_of_date=%r, rtol=%r)" % (self.state, self.model, self.pole_of_date, self.rtol)


def _numerical(state: Any, model: Any, pole_of_date: bool, rtol: float) -> Numerical:
    return Numerical(state, model, pole_of_date=pole_of_date, rtol=rtol)


class J2(Numerical):
    """Motion under the Earth's central field and its oblateness term J2 alone, from one state: `state` an ECI
    record or 7 numbers (time s, x, y, z km, vx, vy, vz km/s); `mu` (km^3/s^2, default 398600.5), `j2`
    (default 1.08262668e-3) and `radius` (the equatorial reference radius, km, default 6378.1374) the model's
    constants. J2 acts about the frame's z axis (arrays.propagate_j2's model), or with `pole_of_date=True`
    about the Earth's pole at the state's epoch. `epoch` is the state's time. Numerical with forces.J2:
    within 1 mm of a far tighter integration after a day in LEO or GEO; for a grid it samples itself into a
    Table whose interpolation stays within 1 cm and 2 mm/s of the integration."""

    __slots__ = ()

    def __init__(self, state: Union["ECI", Sequence[SupportsFloat]], *, mu: SupportsFloat = MU_EARTH,
                 j2: SupportsFloat = _porkchop.EARTH_J2,
                 radius: SupportsFloat = _porkchop.EARTH_EQUATORIAL_RADIUS, pole_of_date: bool = False) -> None:
        super().__init__(state, _forces.J2(mu, j2, radius), pole_of_date=pole_of_date)

    @property
    def j2(self) -> float:
        """The J2 coefficient (unnormalised)."""
        return float(self.model.forces[0].parameters[1])

    @property
    def radius(self) -> float:
        """The reference radius (km)."""
        return float(self.model.forces[0].parameters[2])

    def __reduce__(self) -> Tuple[Any, ...]:
        return _j2_trajectory, (self.state, self.mu, self.j2, self.radius, self.pole_of_date)

    def __repr__(self) -> str:
        extra = ", pole_of_date=True" if self.pole_of_date else ""
        return "J2(%r, mu=%r, j2=%r, radius=%r%s)" % (self.state, self.mu, self.j2, self.radius, extra)


def _j2_trajectory(state: Any, mu: float, j2: float, radius: float, pole_of_date: bool) -> J2:
    return J2(state, mu=mu, j2=j2, radius=radius, pole_of_date=pole_of_date)


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


def read_tle(source: Any, *, checksum: bool = True) -> List[TLE]:
    """Every element set of a two- or three-line file (a path or an open text file); ``checksum=False``
    accepts lines whose checksum is wrong."""
    return _tle.read_tle(source, TLE, checksum=checksum)


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
