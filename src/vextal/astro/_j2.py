"""The J2 trajectory: one orbit moved under the central field and J2 alone (``arrays.propagate_j2``'s model).

``J2(state)`` answers the trajectory questions (``states(epochs)``, ``state_at(epoch)``) from one integration
per call, read at every epoch by the integrator's dense output, and samples itself into a table for grids
(``_grid_source``), densely enough that cubic Hermite interpolation between the samples stays within
``TABLE_POSITION_BOUND`` km and ``TABLE_VELOCITY_BOUND`` km/s of the integration.
"""
import math

import numpy as np

from vextal.astro import arrays

__all__ = ["J2"]

MU = 398600.5
J2_EARTH = 1.08262668e-3
RADIUS = 6378.1374

# Cubic Hermite error over one sample step h (measured on LEO, GEO and e = 0.6 orbits, a day each, 20000
# random epochs): position error ~ C k^4 r_p with k = h / sqrt(r_p^3 / mu), C = 2.7e-3 (circular) to 7.4e-3
# (e = 0.6); velocity error ~ 0.2 k^3 v_p. The step is chosen for C = 1e-2, so that the measured errors stay
# below these bounds with a margin of three or more.
TABLE_POSITION_BOUND = 1e-5  # km (1 cm)
TABLE_VELOCITY_BOUND = 2e-6  # km/s (2 mm/s)
_HERMITE_C = 1e-2


def _perigee_radius(r, v, mu):
    """Osculating two-body pericentre distance (km) of the state, at least 1000 km (a radial or plunging
    orbit would otherwise ask for an endless table)."""
    r, v = np.asarray(r, float), np.asarray(v, float)
    rn = float(np.linalg.norm(r))
    h = np.cross(r, v)
    e = np.linalg.norm(((v @ v - mu / rn) * r - (r @ v) * v) / mu)
    return max(float(h @ h) / mu / (1.0 + float(e)), 1000.0)


def table_step(r, v, mu=MU, bound=TABLE_POSITION_BOUND):
    """The sample step (s) of a J2 table of the orbit through (r, v): interpolation error within `bound` km."""
    rp = _perigee_radius(r, v, mu)
    k = (bound / (_HERMITE_C * rp)) ** 0.25
    return k * math.sqrt(rp**3 / mu)


class J2:
    """An orbit under the Earth's central field and its J2 term alone.

    ``state``: an ECI record or seven numbers (time, x, y, z, vx, vy, vz) in s, km, km/s; ``mu`` (km^3/s^2,
    default 398600.5), ``j2`` (default 1.08262668e-3) and ``radius`` (equatorial, km, default 6378.1374) are
    the model's constants. ``epoch`` is the state's time. Integrated by DOP853 (see ``arrays.propagate_j2``):
    within 1 mm of a far tighter integration after a day in LEO or GEO.
    """

    def __init__(self, state, *, mu=MU, j2=J2_EARTH, radius=RADIUS):
        from vextal.astro.porkchop import state_tuple

        self.state = state_tuple(state)
        self.mu, self.j2, self.radius = float(mu), float(j2), float(radius)
        if not all(math.isfinite(x) for x in self.state):
            raise ValueError("J2: the state must be finite")
        if not (self.mu > 0 and math.isfinite(self.mu)):
            raise ValueError("J2: mu must be a positive finite number")
        if not math.isfinite(self.j2):
            raise ValueError("J2: j2 must be a finite number")
        if not (self.radius > 0 and math.isfinite(self.radius)):
            raise ValueError("J2: radius must be a positive finite number")
        if self.state[1:4] == (0.0, 0.0, 0.0):
            raise ValueError("J2: the position must not be zero")
        self._r = np.array(self.state[1:4])
        self._v = np.array(self.state[4:7])

    @property
    def epoch(self):
        """The state's time (s since 1950-01-01 UTC)."""
        return self.state[0]

    def _model(self):
        return {"mu": self.mu, "j2": self.j2, "radius": self.radius}

    def states(self, epochs):
        """Positions (km) and velocities (km/s), each of shape epochs.shape + (3,), at the given epochs (either
        side of ``epoch``, any order), from one integration each way."""
        t = np.asarray(epochs, dtype=np.float64)
        if not np.all(np.isfinite(t)):
            raise ValueError("J2.states(): epochs must be finite")
        return arrays._sample_j2(self._r, self._v, t - self.epoch, **self._model())

    def state_at(self, epoch):
        """The state at ``epoch`` as an ECI record."""
        from vextal.astro.porkchop import _eci

        t = float(epoch)
        r, v = self.states(np.array([t]))
        return _eci((t, *r[0].tolist(), *v[0].tolist()))

    def table_epochs(self, start, stop):
        """Sample epochs of a table covering [start, stop]: equal steps of at most ``table_step``, both ends
        included (two samples at least)."""
        start, stop = float(start), float(stop)
        if not (math.isfinite(start) and math.isfinite(stop)) or stop < start:
            raise ValueError("J2: the span [%r, %r] is not a finite interval" % (start, stop))
        step = table_step(self._r, self._v, self.mu)
        if stop == start:
            return np.array([start, start + step])
        n = max(1, math.ceil((stop - start) / step))
        epochs = np.linspace(start, stop, n + 1)
        return epochs

    def _grid_source(self, start, stop):
        """A Table of this orbit covering [start, stop], sampled so that its Hermite interpolation stays within
        1 cm and 2 mm/s of the integration."""
        from vextal.astro.trajectory import Table

        epochs = self.table_epochs(start, stop)
        r, v = self.states(epochs)
        return Table(epochs, r, v)

    def __repr__(self):
        return "J2(%r, mu=%r, j2=%r, radius=%r)" % (self.state, self.mu, self.j2, self.radius)
