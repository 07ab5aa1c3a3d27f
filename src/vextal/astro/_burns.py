"""A transfer's burns as a plan reads them, and the chaser's flight through them.

``Burn`` is one impulsive burn: its epoch (number and ISO 8601 UTC) and its delta-v in the package's ECI and in
the chaser's RIC and VNB frames at the burn (the frames of the chaser's state just before it). ``Flight`` is the
chaser's trajectory from departure through both burns to arrival and on for an optional coast, flown in the
model the transfer was planned in (two-body under the plan's mu, or the central field and J2).

A ``Plan`` is what a transfer keeps of the grid that made it: how to ask the chaser and the target for their
states, the flight model and its constants, the objects' names and the hold point.
"""
from __future__ import annotations

import math
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

Vector = Tuple[float, float, float]

#: The units, frames and time scale of every burn record written out (the plan JSON's block).
UNITS = {"epoch": "s since 1950-01-01T00:00:00 UTC (86400 s per day)", "utc": "ISO 8601, UTC",
         "delta_v": "km/s", "frame": "ECI: J2000 mean equator and equinox (EME2000); RIC and VNB: the chaser's at "
         "the burn (R along r, C along r x v, I = C x R; V along v, N along r x v, B = V x N)",
         "time_scale": "UTC"}


def iso(epoch: float) -> str:
    """An epoch number as ISO 8601 UTC to the microsecond."""
    from vextal.astro import time

    return time.to_datetime(float(epoch)).isoformat(timespec="microseconds")


def _unit(a: npt.NDArray[np.float64], what: str) -> npt.NDArray[np.float64]:
    n = float(np.linalg.norm(a))
    if not (n > 0 and math.isfinite(n)):
        raise ValueError("the chaser's state at the burn has no %s: its frames are undefined" % what)
    return a / n


def ric_axes(r: Sequence[float], v: Sequence[float]) -> npt.NDArray[np.float64]:
    """Rows R, I, C of the RIC frame of a body at (r, v): R along r, C along r x v, I = C x R."""
    rr, vv = np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
    radial = _unit(rr, "position")
    cross = _unit(np.cross(rr, vv), "angular momentum")
    return np.array([radial, np.cross(cross, radial), cross])


def vnb_axes(r: Sequence[float], v: Sequence[float]) -> npt.NDArray[np.float64]:
    """Rows V, N, B of the VNB frame of a body at (r, v): V along v, N along r x v, B = V x N."""
    rr, vv = np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
    along = _unit(vv, "velocity")
    normal = _unit(np.cross(rr, vv), "angular momentum")
    return np.array([along, normal, np.cross(along, normal)])


def _vector(a: Any) -> Vector:
    x, y, z = (float(c) for c in a)
    return x, y, z


class Burn(NamedTuple):
    """One impulsive burn: `epoch` (s since 1950-01-01T00:00:00 UTC), `utc` (ISO 8601), `dv_eci`, `dv_ric`
    (radial, in-track, cross-track) and `dv_vnb` (velocity, normal, binormal), km/s, the frames the chaser's
    just before the burn."""

    epoch: float
    utc: str
    dv_eci: Vector
    dv_ric: Vector
    dv_vnb: Vector

    @property
    def magnitude(self) -> float:
        """|delta-v| (km/s)."""
        return float(math.sqrt(sum(c * c for c in self.dv_eci)))

    def delta_v(self, frame: str = "eci") -> Vector:
        """The delta-v in `frame`: "eci", "ric" or "vnb"."""
        frames = {"eci": self.dv_eci, "ric": self.dv_ric, "vnb": self.dv_vnb}
        if frame not in frames:
            raise ValueError("frame must be 'eci', 'ric' or 'vnb', not %r" % (frame,))
        return frames[frame]

    def as_dict(self) -> Dict[str, Any]:
        return {"epoch": self.epoch, "utc": self.utc, "dv_eci": list(self.dv_eci), "dv_ric": list(self.dv_ric),
                "dv_vnb": list(self.dv_vnb), "dv": self.magnitude}

    def __repr__(self) -> str:
        return "Burn(utc=%r, epoch=%r, dv=%.6f km/s, ric=(%.6f, %.6f, %.6f), vnb=(%.6f, %.6f, %.6f))" % (
            (self.utc, self.epoch, self.magnitude) + self.dv_ric + self.dv_vnb)


def burn(epoch: float, dv: Sequence[float], r: Sequence[float], v: Sequence[float]) -> Burn:
    """The burn `dv` (ECI) at `epoch` of a chaser at (r, v) just before it."""
    d = np.asarray(dv, dtype=np.float64)
    return Burn(float(epoch), iso(epoch), _vector(d), _vector(ric_axes(r, v) @ d), _vector(vnb_axes(r, v) @ d))


class Plan(NamedTuple):
    """What a transfer keeps of its grid: `chaser` and `target` (anything with ``states(epochs)``), `model`
    ("two-body" or "j2"), `constants` (mu, and j2 and radius under J2), `names` (chaser, target) and
    `arrive_at`, the hold point (radial, in-track, cross-track km) or None; `depart_from`, the point the chaser
    leaves from in its own RIC frame (None: the chaser itself)."""

    chaser: Any
    target: Any
    model: str
    constants: Dict[str, float]
    names: Tuple[str, str] = ("chaser", "target")
    arrive_at: Optional[Tuple[float, float, float]] = None
    depart_from: Optional[Tuple[float, float, float]] = None
    forces: Any = None  # the force model (vextal.astro.forces) of a plan flown in one, else None
    pole_of_date: bool = False  # its fields about the pole of date (else the frame's z axis)

    def departure_state(self, epoch: float) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Where the chaser is just before the departure burn: its own state, or the point `depart_from` at
        rest in its RIC frame (as the grid's cell takes it)."""
        r, v = self.chaser.states(epoch)
        if self.depart_from is None:
            return np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)
        return held(np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64), self.depart_from)

    def mover(self, state: Sequence[float]) -> Any:
        """A trajectory from a 7-number state in the plan's model."""
        from vextal.astro import trajectory

        if self.forces is not None:
            return trajectory.Numerical(state, self.forces, pole_of_date=self.pole_of_date)
        if self.model == "j2":
            return trajectory.J2(state, **self.constants)
        return trajectory.TwoBody(state, mu=self.constants["mu"])


def held(r: npt.NDArray[np.float64], v: npt.NDArray[np.float64], offset: Sequence[float]
         ) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The point at `offset` (radial, in-track, cross-track km) in the RIC frame of a body at (r, v), and the
    velocity of a point at rest in that turning frame (v + omega x d, omega = r x v / |r|^2)."""
    d = ric_axes(r, v).T @ np.asarray(offset, dtype=np.float64)
    omega = np.cross(r, v) / float(np.dot(r, r))
    return r + d, v + np.cross(omega, d)


def _seven(epoch: float, r: Any, v: Any) -> Tuple[float, ...]:
    return (float(epoch),) + _vector(r) + _vector(v)


class Flight:
    """The chaser's trajectory through a transfer: from the departure epoch (before the departure burn; the
    burn acts at that instant, so the state there is the one after it) along the arc to the arrival epoch,
    then after the arrival burn for `coast` s more. ``states``/``state_at`` as the other trajectories; epochs
    outside [departure, arrival + coast] raise ValueError. `segments` are (start, stop, trajectory)."""

    def __init__(self, plan: Plan, departure: float, arrival: float, dv1: Sequence[float], dv2: Sequence[float],
                 coast: float = 0.0) -> None:
        coast = float(coast)
        if not (coast >= 0 and math.isfinite(coast)):
            raise ValueError("coast must be a finite time >= 0 (s), not %r" % (coast,))
        r0, v0 = plan.departure_state(departure)
        arc = plan.mover(_seven(departure, r0, np.asarray(v0) + np.asarray(dv1, dtype=np.float64)))
        r2, v2 = arc.states(arrival)
        after = plan.mover(_seven(arrival, r2, np.asarray(v2) + np.asarray(dv2, dtype=np.float64)))
        self.plan = plan
        self.start, self.stop = float(departure), float(arrival) + coast
        self.arrival = float(arrival)
        self.segments: List[Tuple[float, float, Any]] = [(self.start, self.arrival, arc)]
        if coast > 0:
            self.segments.append((self.arrival, self.stop, after))
        self._after = after

    @property
    def epoch(self) -> float:
        """The departure epoch (s)."""
        return self.start

    def states(self, epochs: Any) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """Positions (km) and velocities (km/s) at `epochs` (s or dates, any shape), each from the segment
        that covers it (the arrival epoch itself: after the arrival burn)."""
        from vextal.astro import time

        t = np.asarray(time.epoch(epochs), dtype=np.float64)
        if not np.isfinite(t).all() or t.size and (t.min() < self.start or t.max() > self.stop):
            raise ValueError("the flight spans %s to %s (%r to %r s); epochs outside it were asked for"
                             % (iso(self.start), iso(self.stop), self.start, self.stop))
        r = np.empty(t.shape + (3,))
        v = np.empty(t.shape + (3,))
        after = t >= self.arrival
        for mask, kind in ((~after, self.segments[0][2]), (after, self._after)):
            if mask.any():
                r[mask], v[mask] = kind.states(t[mask])
        return r, v

    def state_at(self, epoch: Any) -> Any:
        from vextal.astro.trajectory import _eci, _one_epoch

        t = _one_epoch(epoch)
        r, v = self.states(t)
        return _eci(t, r, v)

    def __repr__(self) -> str:
        return "<Flight %s model from %s to %s>" % (self.plan.model, iso(self.start), iso(self.stop))


def burns(plan: Plan, epochs: Tuple[float, float], dvs: Tuple[Sequence[float], Sequence[float]]) -> Tuple[Burn, Burn]:
    """The two burns of a transfer, each in the frames of the chaser's state just before it (at departure the
    chaser's own, at arrival the arc's end)."""
    flight = Flight(plan, epochs[0], epochs[1], dvs[0], (0.0, 0.0, 0.0))
    r0, v0 = plan.departure_state(epochs[0])
    r2, v2 = flight.segments[0][2].states(epochs[1])
    return burn(epochs[0], dvs[0], r0, v0), burn(epochs[1], dvs[1], r2, v2)


def summary(transfer: Any) -> str:
    """One line per burn for a terminal: UTC, delta-v magnitude, ECI, RIC and VNB components (km/s)."""
    lines = []
    for name, b in zip(("departure", "arrival"), transfer.burn_records()):
        lines.append("%s burn %s (t=%.6f s): |dv| %.6f km/s  ECI %s  RIC %s  VNB %s" % (
            name, b.utc, b.epoch, b.magnitude, _triple(b.dv_eci), _triple(b.dv_ric), _triple(b.dv_vnb)))
    return "\n".join(lines)


def _triple(v: Vector) -> str:
    return "(%+.6f, %+.6f, %+.6f)" % v
