"""Plan a two-impulse transfer between two ECI states: ``python -m vextal.astro [plan] --help``; the
transfer-window search is ``python -m vextal.astro porkchop --help``.

With no arguments it plans the built-in example: a chaser in a 400 km circular orbit and a target a quarter
orbit ahead in a 600 km circular orbit of the same plane, four hours of flight, up to ten revolutions. For
every Lambert arc the planner finds it prints the revolution count, which of the two arcs of that count it is
(the longer- or the shorter-period one), the departure and arrival changes of velocity with their magnitudes
and the total, and marks the cheapest arc.

``python -m vextal.astro plan ...`` is the same command; ``python -m vextal.astro porkchop ...`` runs the
porkchop command where that is installed.
"""
import importlib
import json
import math
import sys

from vextal.astro._cli import (BRANCH_HELP, EARTH_RADIUS, MU_EARTH, Parser, add_direction, add_states, circular_state,
                               direction_warning, emit, fail, finite as _finite, installed, revolutions as _revolutions)

PROG = "python -m vextal.astro"
PORKCHOP = "vextal.astro._cli_porkchop"  # the porkchop command, where installed
EPOCH_GAP = 1e-7  # the planner moves the target on only when it lies more than this before the arrival epoch
UNITS = {"time": "s", "tof": "s", "position": "km", "velocity": "km/s", "delta_v": "km/s", "period": "s",
         "utc": "ISO 8601 UTC of the epoch number read as s since 1950-01-01T00:00:00 UTC",
         "delta_v_ric": "km/s in the chaser's RIC frame at the burn (radial, in-track, cross-track)",
         "delta_v_vnb": "km/s in the chaser's VNB frame at the burn (velocity, normal, binormal)"}


def example():
    return {"initial": circular_state(EARTH_RADIUS + 400.0, 0.0, 51.6),
            "target": circular_state(EARTH_RADIUS + 600.0, 90.0, 51.6), "tof": 4 * 3600.0, "max_revs": 10}


def parser():
    defaults = example()
    p = Parser(
        prog=PROG,
        usage="%(prog)s [plan] [options]",
        description="Plan two-impulse Lambert transfers between two ECI states and list every arc found "
                    "(zero revolutions, then two arcs per revolution count: the longer- and the shorter-period "
                    "one), marking the cheapest. Without arguments: a 400 km chaser and a 600 km target a "
                    "quarter orbit ahead.",
        epilog=BRANCH_HELP + " States are TIME X Y Z VX VY VZ: epoch in seconds on the states' own time scale, "
               "position in km, "
               "velocity in km/s, Earth-centred inertial. The arrival epoch is the initial TIME + TOF (added as "
               "plain numbers); the target is moved on to it along its orbit when it lies before it, and used as "
               "it stands (with a warning) when it lies after it.")
    if installed(PORKCHOP):
        p.epilog += " The porkchop command: %s porkchop --help." % PROG
    add_states(p, defaults["initial"], defaults["target"])
    p.add_argument("--tof", type=_finite, default=defaults["tof"], metavar="SECONDS",
                   help="time of flight in seconds (default %(default)s)")
    add_direction(p, "prograde; a warning when the chaser moves the other way")
    p.add_argument("--max-revs", type=_revolutions, default=defaults["max_revs"], metavar="N",
                   help="most revolutions to consider (default %(default)s)")
    p.add_argument("--json", action="store_true", help="print the plan as JSON")
    p.add_argument("--oem-out", metavar="FILE.oem",
                   help="write the cheapest arc's flight as a CCSDS OEM (KVN, EME2000, UTC, 60 s steps)")
    p.add_argument("--opm-out", metavar="FILE.opm",
                   help="write the cheapest arc as a CCSDS OPM (KVN) with its two manoeuvres")
    return p


def solver_arcs(initial, target, tof, prograde, max_revs):
    """The revolution count of each arc and the largest feasible count, as the solver reports them for the
    transfer the planner solves (the target moved on to the arrival epoch when it lies more than 1e-7
    before it, as plan_lambert does)."""
    from vextal.astro.kepler import propagate_lagrangian_u
    from vextal.astro.multirev_arcs import LambertProblem

    gap = (initial.time + tof) - target.time
    if gap > EPOCH_GAP:
        target = propagate_lagrangian_u(target, gap)
    problem = LambertProblem(initial.position, target.position, tof, MU_EARTH, prograde, max_revs)
    return list(problem.revolutions), problem.max_revs


def transfer_period(position, velocity):
    """The period (s) of the two-body orbit through this position and velocity; None when it is not closed."""
    r = math.sqrt(sum(c * c for c in position))
    energy = sum(c * c for c in velocity) / 2.0 - MU_EARTH / r
    if not energy < 0.0:
        return None
    sma = -MU_EARTH / (2.0 * energy)
    return 2.0 * math.pi * math.sqrt(sma ** 3 / MU_EARTH)


def label_branches(arcs):
    """Name each arc's branch: "single" for zero revolutions; of the two arcs of a revolution count, the one on
    the longer-period transfer orbit is "longer-period", the other "shorter-period"."""
    by_revs = {}
    for arc in arcs:
        by_revs.setdefault(arc["revolutions"], []).append(arc)
    for revs, group in by_revs.items():
        if revs == 0 or len(group) != 2:
            for arc in group:
                arc["branch"] = "single"
            continue
        first, second = (math.inf if arc["period"] is None else arc["period"] for arc in group)
        longer = group[0] if first >= second else group[1]
        for arc in group:
            arc["branch"] = "longer-period" if arc is longer else "shorter-period"


def plan(initial, target, tof, prograde=True, max_revs=10):
    """The plan as plain data: one entry per arc with both burns, magnitudes, the total, the transfer orbit's
    period and the branch; warnings about the inputs; the units."""
    from vextal.astro.orbitvector import ECI
    from vextal.astro.transfer_planner import plan_lambert
    from vextal.vector3 import Vector3

    def state(values):
        return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))

    chaser, goal = state(initial), state(target)
    result = plan_lambert(chaser, goal, tof, prograde, max_revs)
    revolutions, feasible = solver_arcs(chaser, goal, tof, prograde, max_revs)
    if len(revolutions) != len(result.burns):  # the solver's published order: 0, then two arcs per count
        from vextal.astro._porkchop import slot_arc

        revolutions = [slot_arc(index)[0] for index in range(len(result.burns))]
    arcs = []
    for revs, (departure, arrival) in zip(revolutions, result.burns):
        burns = [{"time": b.time, "delta_v": list(b.delta_v.to_tuple()), "magnitude": b.delta_v.magnitude()}
                 for b in (departure, arrival)]
        transfer_velocity = [v + dv for v, dv in zip(initial[4:7], burns[0]["delta_v"])]
        arcs.append({"revolutions": revs, "departure": burns[0], "arrival": burns[1],
                     "total": burns[0]["magnitude"] + burns[1]["magnitude"],
                     "period": transfer_period(initial[1:4], transfer_velocity)})
    label_branches(arcs)
    _add_frames(initial, target, arcs)
    cheapest = min(range(len(arcs)), key=lambda k: arcs[k]["total"]) if arcs else None
    warnings = []
    opposed = direction_warning(initial, prograde)
    if opposed:
        warnings.append(opposed)
    arrival_epoch = initial[0] + tof
    if target[0] - arrival_epoch > EPOCH_GAP:
        warnings.append("the target's epoch %s s is after the arrival epoch %s s: the target is used as it stands "
                        "(not moved back to the arrival epoch)" % (_number(target[0]), _number(arrival_epoch)))
    return {"initial": list(initial), "target": list(target), "tof": tof, "prograde": prograde,
            "max_revs": max_revs, "feasible_revs": feasible, "arrival_epoch": arrival_epoch, "arcs": arcs,
            "cheapest": cheapest, "warnings": warnings, "units": dict(UNITS)}


def _plan_of(initial, target):
    from vextal.astro._burns import Plan
    from vextal.astro.trajectory import TwoBody

    return Plan(TwoBody(initial, mu=MU_EARTH), TwoBody(target, mu=MU_EARTH), "two-body", {"mu": MU_EARTH})


def _add_frames(initial, target, arcs):
    """Each burn's UTC epoch and delta-v in the chaser's RIC and VNB frames at the burn (epoch numbers read as
    s since 1950-01-01T00:00:00 UTC, as everywhere in the package)."""
    from vextal.astro._burns import burns

    plan = _plan_of(initial, target)
    for arc in arcs:
        ends = (arc["departure"], arc["arrival"])
        records = burns(plan, (ends[0]["time"], ends[1]["time"]), (ends[0]["delta_v"], ends[1]["delta_v"]))
        for burn, record in zip(ends, records):
            burn.update(utc=record.utc, delta_v_ric=list(record.dv_ric), delta_v_vnb=list(record.dv_vnb))


def transfer_of(data):
    """The cheapest arc as a Transfer with its plan (for the OEM and OPM files)."""
    from vextal.astro._porkchop_results import Transfer
    from vextal.astro.transfer_planner import SatBurn
    from vextal.vector3 import Vector3

    arc = data["arcs"][data["cheapest"]]
    burns = tuple(SatBurn(arc[k]["time"], Vector3(*arc[k]["delta_v"])) for k in ("departure", "arrival"))
    from vextal.astro._porkchop import slot_arc

    _, branch = slot_arc(data["cheapest"])  # the arcs are in the solver's slot order
    transfer = Transfer(0.0, data["tof"], arc["revolutions"], branch, burns)
    transfer._plan = _plan_of(data["initial"], data["target"])
    return transfer


def _number(value):
    """A number in the shortest form that keeps it (1e-09, 14400.0, 0.0 rather than -0.0)."""
    return repr(value + 0.0 if value == 0.0 else value)


def _fixed(value, digits=6):
    """Fixed-point text without a sign on zero (-0.000000 prints as 0.000000); exponent form from 1e9 on."""
    text = "%.*f" % (digits, value) if abs(value) < 1e9 else "%.*e" % (digits, value)
    return text.lstrip("-") if float(text) == 0.0 else text


def _vector(values):
    return "(%s)" % " ".join(_fixed(v) for v in values)


def _table(rows, align):
    """Rows of cells as text lines, each column as wide as its widest cell; align holds '<' or '>' per column."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(align))]
    return ["  ".join(cell.ljust(w) if a == "<" else cell.rjust(w)
                      for cell, w, a in zip(row, widths, align)).rstrip() + "\n" for row in rows]


def report(data, out):
    direction = "prograde" if data["prograde"] else "retrograde"
    count = len(data["arcs"])
    out.write("Transfer of %s s, %s, up to %d revolutions (%d feasible): %d arc%s\n"
              % (_number(data["tof"]), direction, data["max_revs"], data["feasible_revs"], count,
                 "" if count == 1 else "s"))
    out.write("Epochs in s; arrival epoch %s (initial epoch + time of flight)\n" % _number(data["arrival_epoch"]))
    for name, values in (("initial", data["initial"]), ("target", data["target"])):
        out.write("  %-7s epoch %s  r=%s km  v=%s km/s\n" % (name, _number(values[0]), _vector(values[1:4]),
                                                              _vector(values[4:7])))
    out.write("\n")
    if not data["arcs"]:
        out.write("No transfer arc found.\n")
        return
    rows = [["", "revs", "branch", "departure delta-v (km/s)", "|dv1|", "arrival delta-v (km/s)", "|dv2|",
             "total"]]
    for index, arc in enumerate(data["arcs"]):
        d, a = arc["departure"], arc["arrival"]
        rows.append(["*" if index == data["cheapest"] else "", str(arc["revolutions"]), arc["branch"],
                     _vector(d["delta_v"]), _fixed(d["magnitude"]), _vector(a["delta_v"]), _fixed(a["magnitude"]),
                     _fixed(arc["total"])])
    out.writelines(_table(rows, "<><<><>>"))
    best = data["arcs"][data["cheapest"]]
    out.write("\n* cheapest: %d revolution%s (%s), %s km/s in total; burns at epochs %s s and %s s\n"
              % (best["revolutions"], "" if best["revolutions"] == 1 else "s", best["branch"], _fixed(best["total"]),
                 _number(best["departure"]["time"]), _number(best["arrival"]["time"])))
    for name in ("departure", "arrival"):
        burn = best[name]
        out.write("  %s burn %s UTC: RIC %s km/s, VNB %s km/s\n" % (name, burn["utc"], _vector(burn["delta_v_ric"]),
                                                                   _vector(burn["delta_v_vnb"])))


def plan_command(argv):
    p = parser()
    args = p.parse_args(argv)
    if args.tof <= 0.0:
        p.error("argument --tof: the time of flight must be positive")
    try:
        data = plan(args.chaser, args.target, args.tof, args.prograde is not False, args.max_revs)
    except (ValueError, TypeError, ArithmeticError, RuntimeError) as exc:
        fail(p.prog, "cannot plan this transfer: %s" % exc)
    for warning in data["warnings"]:
        sys.stderr.write("%s: warning: %s\n" % (p.prog, warning))
    for path, write in ((args.oem_out, lambda t, f: t.to_oem(f, 60.0)), (args.opm_out, lambda t, f: t.to_opm(f))):
        if path is None:
            continue
        if data["cheapest"] is None:
            fail(p.prog, "no transfer arc: nothing to write to %s" % path)
        try:
            write(transfer_of(data), path)
        except ImportError as exc:
            p.exit(1, "%s: error: %s\n" % (p.prog, exc))
        except (OSError, ValueError) as exc:
            fail(p.prog, "cannot write %s: %s" % (path, getattr(exc, "strerror", None) or exc))
    if args.json:
        return emit(lambda: sys.stdout.write(json.dumps(data, indent=2) + "\n"))
    return emit(lambda: report(data, sys.stdout))


def main(argv=None):
    """`porkchop ...` runs the porkchop command (where installed), `plan ...` and anything else the planner."""
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["porkchop"]:
        try:  # by name: the porkchop command is an optional part of the package
            porkchop = importlib.import_module(PORKCHOP)
        except ModuleNotFoundError as exc:
            if exc.name != PORKCHOP:
                raise
        else:
            return porkchop.main(argv[1:])
    if argv[:1] == ["plan"]:
        argv = argv[1:]
    return plan_command(argv)


if __name__ == "__main__":
    sys.exit(main())
