"""The approach in the target's RIC frame (``Transfer.plot_ric``): the transfer arc, the hold point, the
keep-out sphere and the free drift after a missed arrival burn, in two panels (in-track against radial, and
in-track against cross-track), with the least ranges of the arc and of the drift.

``relative_motion`` gives the numbers the picture draws; RIC positions come from ``arrays.eci_to_ric``.
"""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, NamedTuple, Optional

import numpy as np
import numpy.typing as npt

from vextal.astro import arrays
from vextal.astro._optional import optional

if TYPE_CHECKING:
    from matplotlib.figure import Figure


class RelativeMotion(NamedTuple):
    """The chaser relative to the target in the target's RIC frame (km): `arc` (n, 3) from departure to
    arrival, `drift` (m, 3) after arrival without the arrival burn for `orbits` target periods, their epochs
    (s), the least ranges `arc_range` and `drift_range` (km), and the `hold` point (3,)."""

    arc_epochs: npt.NDArray[np.float64]
    arc: npt.NDArray[np.float64]
    drift_epochs: npt.NDArray[np.float64]
    drift: npt.NDArray[np.float64]
    arc_range: float
    drift_range: float
    hold: npt.NDArray[np.float64]
    orbits: float


def target_period(r: npt.NDArray[np.float64], v: npt.NDArray[np.float64], mu: float) -> float:
    """The period (s) of the osculating orbit at (r, v); inf for an open one."""
    energy = 0.5 * float(np.dot(v, v)) - mu / float(np.linalg.norm(r))
    if energy >= 0:
        return math.inf
    a = -mu / (2.0 * energy)
    return 2.0 * math.pi * math.sqrt(a ** 3 / mu)


def relative_motion(transfer: Any, orbits: float = 3.0, samples: int = 400) -> RelativeMotion:
    """The chaser's RIC track about the target along the arc and along `orbits` target periods of free drift
    after a missed arrival burn (`samples` points each)."""
    if not (orbits >= 0 and math.isfinite(orbits)):
        raise ValueError("orbits must be a finite number >= 0, not %r" % (orbits,))
    if isinstance(samples, bool) or not isinstance(samples, int) or samples < 2:
        raise ValueError("samples must be a whole number >= 2, not %r" % (samples,))
    plan = transfer.plan()
    flight = transfer.trajectory()
    arc_kind = flight.segments[0][2]
    t1, t2 = flight.start, flight.arrival
    arc_epochs = np.linspace(t1, t2, samples)
    rt, vt = plan.target.states(t2)
    period = target_period(np.asarray(rt), np.asarray(vt), plan.constants["mu"])
    span = orbits * period if math.isfinite(period) else 0.0
    drift_epochs = np.linspace(t2, t2 + span, samples) if span > 0 else np.array([t2])

    def ric(kind: Any, epochs: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        rc, vc = kind.states(epochs)
        rr, vr = plan.target.states(epochs)
        position, _ = arrays.eci_to_ric(rc, vc, rr, vr)
        return np.asarray(position)

    arc = ric(arc_kind, arc_epochs)
    drift = ric(arc_kind, drift_epochs)
    hold = np.array(plan.arrive_at if plan.arrive_at is not None else (0.0, 0.0, 0.0), dtype=np.float64)
    return RelativeMotion(arc_epochs, arc, drift_epochs, drift, float(np.linalg.norm(arc, axis=-1).min()),
                          float(np.linalg.norm(drift, axis=-1).min()), hold, float(orbits))


def plot_ric(transfer: Any, ax: Any = None, *, orbits: float = 3.0, keep_out: Optional[float] = None,
             samples: int = 400, span: Optional[float] = None) -> Figure:
    """Draws ``relative_motion`` in two panels; `ax` a pair of axes, or None for a new 10 x 4.5 inch figure.
    `span` (km): a view of that half-width about the target (the hold point and the keep-out sphere at a
    readable scale), else the whole motion."""
    if span is not None and not (span > 0 and math.isfinite(span)):
        raise ValueError("span must be a positive finite distance (km), not %r" % (span,))
    plt: Any = optional("matplotlib.pyplot", "Transfer.plot_ric()")
    motion = relative_motion(transfer, orbits, samples)
    if ax is None:
        fig, axes = plt.subplots(1, 2, figsize=(10.0, 4.5), layout="constrained")
    else:
        axes = list(ax)
        if len(axes) != 2:
            raise ValueError("ax must be a pair of axes (in-track/radial, in-track/cross-track)")
        fig = axes[0].figure
    plan = transfer.plan()
    for panel, (k, name) in zip(axes, ((0, "radial R (km)"), (2, "cross-track C (km)"))):
        panel.plot(motion.arc[:, 1], motion.arc[:, k], color="tab:blue", linewidth=1.6,
                   label="transfer arc (least range %.3g km)" % motion.arc_range)
        if motion.drift.shape[0] > 1:
            panel.plot(motion.drift[:, 1], motion.drift[:, k], color="tab:orange", linestyle="--", linewidth=1.2,
                       label="drift without arrival burn, %g orbits (least range %.3g km)"
                       % (motion.orbits, motion.drift_range))
        panel.plot([motion.arc[0, 1]], [motion.arc[0, k]], marker="o", color="tab:blue", linestyle="none",
                   label="departure")
        panel.plot([0.0], [0.0], marker="+", color="black", markersize=12, linestyle="none",
                   label=plan.names[1])
        panel.plot([motion.hold[1]], [motion.hold[k]], marker="s", color="tab:green", linestyle="none",
                   label="hold point")
        if keep_out is not None and keep_out > 0:
            panel.add_patch(plt.Circle((0.0, 0.0), keep_out, facecolor="tab:red", alpha=0.15,
                                       edgecolor="tab:red", label="keep-out sphere %g km" % keep_out))
        panel.set_xlabel("in-track I (km)")
        panel.set_ylabel(name)
        if span is not None:
            panel.set_xlim(-span, span)
            panel.set_ylim(-span, span)
            panel.set_aspect("equal", adjustable="box")
        else:
            panel.set_aspect("equal", adjustable="datalim")
        panel.grid(True, linewidth=0.4, alpha=0.5)
    axes[0].legend(loc="best", fontsize=7)
    fig.suptitle("%s relative to %s (RIC), %s model: departs %s, arrives %s" % (
        plan.names[0], plan.names[1], plan.model, transfer.departure_utc[:19], transfer.arrival_utc[:19]),
        fontsize=10)
    result: Figure = fig
    return result
