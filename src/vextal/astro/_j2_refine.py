"""Transfers that arrive under a force model (J2, zonal harmonics: vextal.astro.forces): the departure burn
corrected by shooting with the model's state transition matrix, inside a local optimisation of (departure,
time of flight) over the same cost.

For a departure epoch t1 and a time of flight T the chaser is at (r1, vc) and the target at t2 = t1 + T at
(r2, vt), both read from their trajectories. Shooting finds the departure velocity v1 whose J2-flown arc ends
at r2: Newton's method on the position block Phi_rv of the state transition matrix, started from the two-body
Lambert arc of the chosen revolution count and branch plus the J2 correction the previous evaluation needed.
The cost is |v1 - vc| + |vt - vf|, vf the arc's final velocity. Its gradient over (t1, T) follows from the same matrix
(the constraint r(T; r1, v1) = r2 differentiated along both axes), so the optimiser (scipy's TNC, bounded by
the neighbouring grid lines) needs one or two propagations per evaluation.

The Newton iteration runs in Python over the native STM entry: each step is one native propagation of the
state and its 6 x 6 matrix (about 0.6 ms for six hours in LEO) against a few microseconds of 3 x 3 algebra, and
the convergence rules, backtracking and statuses stay readable beside the optimiser that calls them.
"""
from __future__ import annotations

import math
from typing import Any, Callable, Dict, NamedTuple, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

from vextal.astro import _porkchop, arrays, forces, trajectory

Vector = npt.NDArray[np.float64]
StateFunction = Callable[[float], Tuple[Vector, Vector]]

#: Position miss (km) at which the shooting stops: 1 mm.
SHOOT_TOLERANCE = 1e-6
#: A refined transfer is returned only if flown under J2 it lands within these (km, km/s): 1 m and 1 mm/s.
MISS_KM = 1e-3
MISS_KMS = 1e-6
_MAX_NEWTON = 15
_MAX_HALVINGS = 8  # near a fold of the arc family no step helps: give up early


class Corrected(NamedTuple):
    """A transfer corrected to arrive under J2: departure offset and time of flight (s), the two burns (km/s)
    and the misses of the burns flown under J2 (km, km/s)."""

    departure: float
    tof: float
    burn1: Vector
    burn2: Vector
    miss_km: float
    miss_kms: float


class ShootingError(RuntimeError):
    """The differential correction of a departure burn under J2 did not converge."""


def lambert_velocity(r1: Vector, r2: Vector, tof: float, mu: float, prograde: bool, revolutions: int,
                     branch: int) -> Optional[Vector]:
    """The two-body departure velocity of the arc (revolutions, branch) from r1 to r2 in tof, or None."""
    out = arrays.lambert(r1, r2, tof, mu=mu, prograde=prograde, max_revs=revolutions, threads=1)
    for slot in range(out.v1.shape[0]):
        if _porkchop.slot_arc(slot) == (revolutions, branch):
            v1 = out.v1[slot]
            return None if np.isnan(v1).any() else np.array(v1)
    return None


class Flown(NamedTuple):
    """The model the arcs fly in: the forces, and the epoch of the pole its fields act about (None: the
    frame's z axis)."""

    model: forces.Model
    epoch: Optional[float] = None

    @classmethod
    def j2(cls, mu: float, j2: float, radius: float) -> "Flown":
        """J2 alone about the frame's z axis (arrays.propagate_j2's model)."""
        return cls(forces.Model([forces.J2(mu, j2, radius)]))

    def acceleration(self, r: Vector, v: Vector) -> Vector:
        """The model's acceleration (km/s^2) at (r, v), from the native forces."""
        return np.asarray(forces.acceleration(r, v, self.model, epoch=self.epoch)[0], dtype=np.float64)


class Shooter:
    """Shooting and cost under a model between two trajectories read by `chaser` and `target` (epoch ->
    (r, v))."""

    def __init__(self, chaser: StateFunction, target: StateFunction, t0: float, *, prograde: bool,
                 revolutions: int, branch: int, flown: Optional[Flown] = None, mu: float = forces.MU_EARTH,
                 j2: float = forces.EGM96_ZONAL[0], radius: float = forces.EARTH_RADIUS) -> None:
        # Without `flown`: J2 alone with the constants mu, j2 and radius.
        self.chaser, self.target, self.t0 = chaser, target, t0
        self.flown = Flown.j2(mu, j2, radius) if flown is None else flown
        self.mu = self.flown.model.mu
        self.prograde, self.revolutions, self.branch = prograde, revolutions, branch
        self.last: Optional[Vector] = None  # the last solution's departure velocity less its two-body arc's

    def propagate(self, r1: Vector, v1: Vector, tof: float) -> Tuple[Vector, Vector, Vector]:
        r, v, phi = forces.propagate(r1, v1, tof, self.flown.model, epoch=self.flown.epoch, stm=True,
                                     errors="raise", threads=1)
        return r, v, phi

    def shoot(self, r1: Vector, r2: Vector, tof: float, guess: Vector) -> Tuple[Vector, Vector, Vector, Vector]:
        """(v1, rf, vf, phi): the departure velocity whose J2 arc from r1 ends within SHOOT_TOLERANCE of r2
        after tof, the arc's end state and its state transition matrix. ShootingError when Newton's method
        (with halved steps where a full one does not reduce the miss) does not get there."""
        v1 = np.array(guess, dtype=np.float64)
        try:
            rf, vf, phi = self.propagate(r1, v1, tof)
        except (RuntimeError, ValueError) as exc:
            raise ShootingError("the first guess cannot be flown: %s" % exc) from None
        miss = float(np.linalg.norm(rf - r2))
        for _ in range(_MAX_NEWTON):
            if miss <= SHOOT_TOLERANCE:
                return v1, rf, vf, phi
            try:
                step = np.linalg.solve(phi[:3, 3:], rf - r2)
            except np.linalg.LinAlgError:
                raise ShootingError("the arc's position does not depend on the departure velocity here "
                                    "(singular matrix)") from None
            for _ in range(_MAX_HALVINGS):
                trial = v1 - step
                try:
                    rt, vt, pt = self.propagate(r1, trial, tof)
                    trial_miss = float(np.linalg.norm(rt - r2))
                except (RuntimeError, ValueError):
                    trial_miss = math.inf
                if trial_miss < miss:
                    break
                step = step * 0.5
            else:
                break
            v1, rf, vf, phi, miss = trial, rt, vt, pt, trial_miss
        if miss <= SHOOT_TOLERANCE:
            return v1, rf, vf, phi
        raise ShootingError("the shooting under J2 stopped %.3g m from the target" % (miss * 1e3))

    def evaluate(self, departure: float, tof: float) -> Tuple[float, Vector, Dict[str, Vector]]:
        """(cost km/s, gradient over (departure, tof), the solution's vectors) at one point."""
        t1 = self.t0 + departure
        r1, vc = self.chaser(t1)
        r2, vt = self.target(t1 + tof)
        # Newton starts from the two-body arc of the chosen revolutions and branch, plus the J2 correction
        # the last solution needed: anchored to the arc, it cannot wander onto another branch.
        arc = lambert_velocity(r1, r2, tof, self.mu, self.prograde, self.revolutions, self.branch)
        if arc is None:
            raise ShootingError("no two-body arc of %d revolutions (branch %d) to start from"
                                % (self.revolutions, self.branch))
        guess = arc if self.last is None else arc + self.last
        try:
            v1, rf, vf, phi = self.shoot(r1, r2, tof, guess)
        except ShootingError:
            if self.last is None:
                raise
            v1, rf, vf, phi = self.shoot(r1, r2, tof, arc)
        ac = self.flown.acceleration(r1, vc)
        at = self.flown.acceleration(r2, vt)
        af = self.flown.acceleration(rf, vf)
        prr, prv, pvr, pvv = phi[:3, :3], phi[:3, 3:], phi[3:, :3], phi[3:, 3:]
        # r(T; r1(t1), v1) = r2(t1 + T): moving the departure moves r1 along vc and the arrival along vt;
        # lengthening the flight moves the arc's end along vf.
        dv1 = np.linalg.solve(prv, np.column_stack((vt - prr @ vc, vt - vf)))
        dvf = pvr @ np.column_stack((vc, np.zeros(3))) + pvv @ dv1 + np.column_stack((np.zeros(3), af))
        burn1, burn2 = v1 - vc, vt - vf
        d_burn1 = dv1 - np.column_stack((ac, np.zeros(3)))
        d_burn2 = np.column_stack((at, at)) - dvf
        n1, n2 = float(np.linalg.norm(burn1)), float(np.linalg.norm(burn2))
        gradient = np.zeros(2)
        if n1 > 0:
            gradient += burn1 @ d_burn1 / n1
        if n2 > 0:
            gradient += burn2 @ d_burn2 / n2
        self.last = v1 - arc
        return n1 + n2, gradient, {"r1": r1, "vc": vc, "r2": r2, "vt": vt, "v1": v1, "rf": rf, "vf": vf}


def optimise(shooter: Shooter, start: Tuple[float, float], axes: Any, bounds: Any, optimize: Any
             ) -> Tuple[float, float]:
    """(departure, tof) minimising the J2 cost from `start` over the free `axes` (0 departure, 1 time of
    flight) within `bounds`, by a truncated Newton method (TNC) on the cost and its gradient. Points where the
    shooting fails count as dear (the optimiser backs away from them)."""
    if not axes:
        return start
    scale = np.array([max(b[1] - b[0], 1.0) for b in bounds])
    first = list(start)

    def point(free: Vector) -> Tuple[float, float]:
        x = list(first)
        for k, value in zip(axes, free * scale):
            x[k] = float(value)
        return x[0], x[1]

    def cost(free: Vector) -> Tuple[float, Vector]:
        try:
            value, gradient, _ = shooter.evaluate(*point(free))
        except ShootingError:
            return 1e3, np.zeros(len(axes))
        return value, np.array([gradient[k] for k in axes]) * scale

    x0 = np.array([start[k] for k in axes]) / scale
    # TNC rather than L-BFGS-B: the same bounded quasi-Newton use of the gradient, without BLAS calls, whose
    # thread pool costs more than the whole refinement on a busy machine.
    result = optimize.minimize(cost, x0, jac=True, method="TNC",
                               bounds=[(b[0] / s, b[1] / s) for b, s in zip(bounds, scale)],
                               options={"ftol": 1e-10, "xtol": 1e-8, "gtol": 1e-8, "maxfun": 200})
    return point(np.asarray(result.x, dtype=np.float64))


def _reader(source: Any) -> StateFunction:
    def states(epoch: float) -> Tuple[Vector, Vector]:
        r, v = source.states(epoch)
        return np.asarray(r, dtype=np.float64), np.asarray(v, dtype=np.float64)

    return states


def refine(trajectories: Tuple[Any, Any], t0: float, start: Tuple[float, float], axes: Any, bounds: Any,
           optimize: Any, *, prograde: bool, revolutions: int, branch: int, flown: Flown,
           min_radius: float = 0.0) -> Corrected:
    """The J2 transfer of least cost near `start` (departure offset after t0, time of flight) on the arc
    (revolutions, branch), with its misses measured by propagate_j2. The optimiser reads
    tables of the trajectories over the bounds (built once); the answer is shot again from the trajectories'
    own states. ShootingError when no converged transfer lands within MISS_KM and MISS_KMS, or when its arc
    comes below `min_radius` (km)."""
    chaser, target = trajectories
    span = [list(start), list(start)]
    for k, (low, high) in zip(axes, bounds):
        span[0][k], span[1][k] = low, high
    pad = 1.0  # s: the optimiser's points may round past a bound
    chaser_table = chaser._grid_source(t0 + span[0][0] - pad, t0 + span[1][0] + pad)
    target_table = target._grid_source(t0 + span[0][0] + span[0][1] - 2 * pad,
                                       t0 + span[1][0] + span[1][1] + 2 * pad)
    def shooter(chaser: StateFunction, target: StateFunction) -> Shooter:
        return Shooter(chaser, target, t0, flown=flown, prograde=prograde, revolutions=revolutions,
                       branch=branch)

    fast = shooter(_reader(chaser_table), _reader(target_table))
    start_cost = fast.evaluate(*start)[0]  # ShootingError if the start cell has no J2 arc
    x = optimise(fast, start, axes, bounds, optimize)
    try:
        if fast.evaluate(*x)[0] > start_cost:
            x = start
    except ShootingError:
        x = start
    # The answer from the trajectories themselves, warm-started from the table's solution.
    exact = shooter(_reader(chaser), _reader(target))
    exact.last = fast.last
    _, _, arc = exact.evaluate(*x)
    rf, vf = forces.propagate(arc["r1"], arc["v1"], x[1], flown.model, epoch=flown.epoch, errors="raise",
                              threads=1)
    burn1, burn2 = arc["v1"] - arc["vc"], arc["vt"] - arc["vf"]
    miss_km = float(np.linalg.norm(rf - arc["r2"]))
    miss_kms = float(np.linalg.norm(vf + burn2 - arc["vt"]))
    if not (miss_km <= MISS_KM and miss_kms <= MISS_KMS):
        raise ShootingError("the corrected burns miss the target by %.3g m and %.3g mm/s under J2"
                            % (miss_km * 1e3, miss_kms * 1e6))
    lowest = lowest_radius(arc["r1"], arc["v1"], x[1], flown)
    if lowest < min_radius:
        raise ShootingError("the corrected arc comes down to %.1f km from the centre, below min_radius %g km"
                            % (lowest, min_radius))
    return Corrected(x[0], x[1], burn1, burn2, miss_km, miss_kms)


def lowest_radius(r1: Vector, v1: Vector, tof: float, flown: Any, j2: Optional[float] = None,
                  radius: Optional[float] = None) -> float:
    """The least distance from the centre (km) along the arc from (r1, v1) over tof: the arc read by the
    integrator's dense output every 20 s or less, the least sample refined by a parabola through it and its
    neighbours (within metres of the true least)."""
    steps = max(2, int(math.ceil(abs(tof) / 20.0)))
    t = np.linspace(0.0, tof, steps + 1)
    if not isinstance(flown, Flown):  # (mu, j2, radius): J2 alone
        flown = Flown.j2(float(flown), forces.EGM96_ZONAL[0] if j2 is None else j2,
                         forces.EARTH_RADIUS if radius is None else radius)
    r, _ = forces.sample(r1, v1, t, flown.model, epoch=flown.epoch)
    d = np.linalg.norm(r, axis=-1)
    k = int(np.argmin(d))
    if 0 < k < steps:
        a, b, c = d[k - 1], d[k], d[k + 1]
        curvature = a - 2.0 * b + c
        if curvature > 0:
            return float(b - 0.125 * (a - c) ** 2 / curvature)
    return float(d[k])


def trajectory_of(state: Any, model: Any) -> Any:
    """A state's trajectory in `model`: J2 (about the frame's z axis) for "j2", Numerical (about the pole at
    the state's epoch) for a force model."""
    return trajectory.J2(state) if model == "j2" else trajectory.Numerical(state, model)


def refine_inputs(grid: Any, model: Any) -> Tuple[Tuple[Any, Any], Any]:
    """The chaser's and the target's trajectories for a refinement in `model` (the grid's own, or the model's
    motion of its states) and the model the arcs fly in: that of the first trajectory in the same model (its
    constants and pole), else "j2" about the frame's z axis or the force model about the pole at the
    chaser's epoch."""
    pair = tuple(grid.trajectories) if grid.trajectories is not None else (
        trajectory_of(grid.chaser, model), trajectory_of(grid.target, model))
    return (pair[0], pair[1]), flown_in(pair, model, float(grid.chaser[0]))


def flown_in(pair: Sequence[Any], model: Any, epoch: float) -> Flown:
    """The model arcs fly in between trajectories `pair`: that of the first trajectory in the same model (its
    constants and pole), else "j2" about the frame's z axis or the force model about the pole at `epoch`."""
    wanted = None if model == "j2" else forces.as_model(model)
    for kind in pair:
        if isinstance(kind, trajectory.J2 if wanted is None else trajectory.Numerical) and (
                wanted is None or kind.model == wanted):
            return Flown(kind.model, kind.pole_epoch)
    if wanted is None:
        return Flown(forces.Model([forces.J2()]))
    return Flown(wanted, epoch)
