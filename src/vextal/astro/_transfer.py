"""One transfer of a porkchop grid: when it leaves, how long it flies, its arc and its two burns."""
from __future__ import annotations

from typing import Any, Dict, Optional, SupportsFloat, Tuple

from vextal.astro._transfer_out import TransferOutputs
from vextal.astro.time import iso_date
from vextal.astro.transfer_planner import SatBurn

__all__ = ["Transfer"]


def _magnitude(burn: SatBurn) -> float:
    if burn.delta_v is None:
        raise TypeError("a burn without a delta-v vector (None)")
    return burn.delta_v.magnitude()


class Transfer(TransferOutputs):
    """One transfer of the window: departure offset and time of flight (s), the arc's revolution count and
    branch (0 for no revolutions, -1 shorter-period, +1 longer-period), the delta-v magnitudes (km/s) and the two burns
    (departure SatBurn, arrival SatBurn). `dv_total` is the cost the grid ranks by: departure + arrival for a
    rendezvous, the departure alone for an intercept (whose arrival burn is the relative velocity there).

    `model` says how the burns were planned: "two-body", or "j2" for a transfer corrected to arrive under J2
    (Porkchop.refine(model="j2")). A J2 transfer also reports `miss_km` and `miss_kms`, the position miss and
    the velocity left over after the arrival burn when its burns are flown under J2 from the chaser's state,
    and `dv_total_two_body`, the two-body grid's cost at the same departure and time of flight; these are
    None for a two-body transfer. `at_window_edge` is True for a refined transfer whose optimum lies on the
    boundary of the grid's window (a cheaper one may lie outside it), False inside, None when not refined.

    A transfer from a grid also knows its plan: ``burn_records()`` (UTC epochs, delta-v in ECI, RIC and VNB),
    ``trajectory()``, ``to_oem``, ``to_opm`` and ``plot_ric`` (see _transfer_out.TransferOutputs)."""

    __slots__ = ("departure", "tof", "revolutions", "branch", "dv_departure", "dv_arrival", "dv_total", "burns",
                 "cost", "model", "miss_km", "miss_kms", "dv_total_two_body", "at_window_edge", "_plan")

    def __init__(self, departure: SupportsFloat, tof: SupportsFloat, revolutions: int, branch: int,
                 burns: Tuple[SatBurn, SatBurn], cost: str = "rendezvous") -> None:
        self.departure = float(departure)
        self.tof = float(tof)
        self.revolutions = int(revolutions)
        self.branch = int(branch)
        self.burns = burns
        self.cost = cost
        self.dv_departure = _magnitude(burns[0])
        self.dv_arrival = _magnitude(burns[1])
        self.dv_total = self.dv_departure if cost == "intercept" else self.dv_departure + self.dv_arrival
        self.model = "two-body"
        self.miss_km: Optional[float] = None
        self.miss_kms: Optional[float] = None
        self.dv_total_two_body: Optional[float] = None
        self.at_window_edge: Optional[bool] = None
        self._plan: Any = None

    def as_dict(self) -> Dict[str, Any]:
        burns = [{"time": b.time, "utc": iso_date(b.time),
                  "delta_v": list(b.delta_v.to_tuple()) if b.delta_v is not None else None} for b in self.burns]
        extra = self.burns_dict() if self._plan is not None else {}
        return {"departure": self.departure, "departure_utc": self.departure_utc, "arrival_utc": self.arrival_utc, "tof": self.tof, "revolutions": self.revolutions,
                "branch": self.branch, "dv_departure": self.dv_departure, "dv_arrival": self.dv_arrival,
                "dv_total": self.dv_total, "cost": self.cost, "burns": burns, "model": self.model,
                "miss_km": self.miss_km, "miss_kms": self.miss_kms, "dv_total_two_body": self.dv_total_two_body,
                "at_window_edge": self.at_window_edge, **extra}

    def __repr__(self) -> str:
        extra = "" if self.model == "two-body" else ", model=%r, miss_km=%r, dv_total_two_body=%r" % (
            self.model, self.miss_km, self.dv_total_two_body)
        return ("Transfer(departure=%r, departure_utc=%r, tof=%r, revolutions=%d, branch=%d, dv_total=%r%s)"
                % (self.departure, self.departure_utc, self.tof, self.revolutions, self.branch, self.dv_total,
                   extra))
