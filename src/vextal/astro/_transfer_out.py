"""What a transfer gives beyond its figures: its burns with UTC epochs and delta-v in ECI, RIC and VNB, its
flight as a trajectory, OEM and OPM files, the relative-motion picture and a notebook display. ``Transfer``
takes these methods from ``TransferOutputs``; a grid attaches the ``Plan`` they read (``plan_of``).
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Dict, Optional, SupportsFloat, Tuple, Union

from vextal.astro import _burns
from vextal.astro._burns import Burn, Flight, Plan

if TYPE_CHECKING:
    from matplotlib.figure import Figure

Vector = Tuple[float, float, float]
#: The frames of a burn CSV and their axes' names.
CSV_FRAMES = (("eci", "xyz"), ("ric", "ric"), ("vnb", "vnb"))


def _named(kind: Any, default: str) -> str:
    name = getattr(kind, "name", None)
    return name if isinstance(name, str) and name.strip() else default


def plan_of(grid: Any, model: str = "two-body", trajectories: Optional[Tuple[Any, Any]] = None,
            constants: Optional[Dict[str, float]] = None, mu: Optional[float] = None, forces: Any = None,
            pole_of_date: bool = False) -> Plan:
    """The plan of a grid's transfer: two-body arcs between the grid's sources under the grid's (or `mu`), or
    flight between `trajectories` in a force model ("j2": `forces`, a vextal.astro.forces model, or J2 with
    `constants`)."""
    from vextal.astro import trajectory

    names = ("chaser", "target")
    if grid.trajectories is not None:
        names = (_named(grid.trajectories[0], "chaser"), _named(grid.trajectories[1], "target"))
    if model == "j2":
        assert trajectories is not None and constants is not None
        return Plan(trajectories[0], trajectories[1], "j2", dict(constants), names, grid.arrive_at,
                    forces=forces, pole_of_date=pole_of_date)
    use_mu = grid.mu if mu is None else float(mu)
    ends = tuple(trajectory.TwoBody(s, mu=grid.mu) if isinstance(s, tuple) else s for s in grid.sources)
    # The chaser as the grid read it (its burns are the cell's); the target as given, where the grid was given
    # a trajectory, so that its motion can be asked for beyond the grid's window (the relative drift).
    target = ends[1] if grid.trajectories is None else grid.trajectories[1]
    return Plan(ends[0], target, "two-body", {"mu": use_mu}, names, grid.arrive_at, grid.depart_from)


class TransferOutputs:
    """Methods of Transfer that read its plan (see the module)."""

    __slots__ = ()

    def plan(self) -> Plan:
        """The plan the transfer was made with (ValueError for a transfer made by hand)."""
        plan = getattr(self, "_plan", None)
        if plan is None:
            raise ValueError("this transfer carries no plan (made by hand, not by a grid): its burns' frames and "
                             "flight are unknown")
        return plan  # type: ignore[no-any-return]

    def burn_records(self) -> Tuple[Burn, Burn]:
        """The departure and arrival burns: epoch, ISO 8601 UTC, delta-v in ECI, RIC and VNB (km/s), the frames
        the chaser's just before each burn."""
        burns = getattr(self, "burns")
        return _burns.burns(self.plan(), (burns[0].time, burns[1].time),
                            (burns[0].delta_v.to_tuple(), burns[1].delta_v.to_tuple()))

    def delta_v(self, frame: str = "eci") -> Tuple[Vector, Vector]:
        """The two burns' delta-v (km/s) in `frame`: "eci", "ric" or "vnb"."""
        first, second = self.burn_records()
        return first.delta_v(frame), second.delta_v(frame)

    @property
    def delta_v_ric(self) -> Tuple[Vector, Vector]:
        """The burns' delta-v in the chaser's RIC frame at each (radial, in-track, cross-track km/s)."""
        return self.delta_v("ric")

    @property
    def delta_v_vnb(self) -> Tuple[Vector, Vector]:
        """The burns' delta-v in the chaser's VNB frame at each (velocity, normal, binormal km/s)."""
        return self.delta_v("vnb")

    @property
    def departure_utc(self) -> str:
        """The departure burn's epoch, ISO 8601 UTC."""
        return _burns.iso(getattr(self, "burns")[0].time)

    @property
    def arrival_utc(self) -> str:
        """The arrival burn's epoch, ISO 8601 UTC."""
        return _burns.iso(getattr(self, "burns")[1].time)

    def trajectory(self, coast: SupportsFloat = 0.0) -> Flight:
        """The chaser's flight: from departure through both burns to arrival, then `coast` s more, flown in the
        model the transfer was planned in (two-body under the plan's mu, or J2)."""
        burns = getattr(self, "burns")
        return Flight(self.plan(), burns[0].time, burns[1].time, burns[0].delta_v.to_tuple(),
                      burns[1].delta_v.to_tuple(), float(coast))

    def to_oem(self, path: Union[str, "os.PathLike[str]"], step: SupportsFloat = 60.0, *,
               coast: SupportsFloat = 0.0, object_name: Optional[str] = None, object_id: str = "UNKNOWN") -> None:
        """Writes the flight as a CCSDS OEM (KVN, EME2000, UTC) sampled every `step` s: one segment for the arc
        (ending just before the arrival burn) and, with a `coast`, one after it. Written whole or not at
        all."""
        from vextal.astro import _ephemeris_out

        flight = self.trajectory(coast)
        step = float(step)
        segments = [(flight.segments[0][2], _ephemeris_out.sample_epochs(flight.start, flight.arrival, step))]
        if len(flight.segments) > 1:
            segments.append((flight.segments[1][2], _ephemeris_out.sample_epochs(flight.arrival, flight.stop, step)))
        name = self.plan().names[0] if object_name is None else object_name
        _ephemeris_out.write_oem(segments, path, object_name=name, object_id=object_id)

    def to_opm(self, path: Union[str, "os.PathLike[str]"], *, frame: str = "EME2000",
               object_name: Optional[str] = None, object_id: str = "UNKNOWN", mass: SupportsFloat = 1000.0) -> None:
        """Writes a CCSDS OPM (KVN): the chaser's state just before departure and the two burns as impulsive
        manoeuvres, delta-v in EME2000 or (frame="RTN") the chaser's RIC frame at each burn. `mass` (kg) fills
        the spacecraft block the format asks for. Written whole or not at all."""
        from vextal.astro import _ephemeris_out

        name = self.plan().names[0] if object_name is None else object_name
        _ephemeris_out.write_opm(self, path, frame=frame, object_name=name, object_id=object_id, mass=mass)

    def to_csv(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """One line per burn: burn (departure, arrival), epoch_s (s since 1950-01-01T00:00:00 UTC), utc (ISO
        8601), |dv| and the delta-v in ECI (EME2000), RIC and VNB (km/s; the chaser's frames at the burn).
        Written whole or not at all."""
        import csv

        from vextal.astro import _files

        records = self.burn_records()

        def write(handle: Any) -> None:
            writer = csv.writer(handle)
            writer.writerow(["burn", "epoch_s", "utc", "dv_km_s"] + ["dv_%s_%s_km_s" % (frame, axis)
                                                                     for frame, axes in CSV_FRAMES for axis in axes])
            for name, record in zip(("departure", "arrival"), records):
                writer.writerow([name, repr(record.epoch), record.utc, repr(record.magnitude)]
                                + [repr(c) for frame, _ in CSV_FRAMES for c in record.delta_v(frame)])

        _files.replace(path, write)

    def plot_ric(self, ax: Any = None, *, orbits: SupportsFloat = 3.0, keep_out: Optional[SupportsFloat] = None,
                 samples: int = 400, span: Optional[SupportsFloat] = None) -> "Figure":
        """The approach in the target's RIC frame: in-track/radial and in-track/cross-track panels with the
        arc, the hold point, the keep-out sphere (`keep_out` km) and the free drift after a missed arrival burn
        over `orbits` target periods, with the least ranges in the legend; `span` (km) zooms on the target.
        Returns the figure."""
        from vextal.astro import _ric_plot

        return _ric_plot.plot_ric(self, ax, orbits=float(orbits),
                                  keep_out=None if keep_out is None else float(keep_out), samples=samples,
                                  span=None if span is None else float(span))

    def _repr_html_(self) -> str:
        from vextal.astro import _tables

        return _tables.transfer_html(self)

    def burns_dict(self) -> Dict[str, Any]:
        """The burns for a file: each burn's record and the units, frames and time scale."""
        return {"burn_units": dict(_burns.UNITS), "burn_records": [b.as_dict() for b in self.burn_records()]}
