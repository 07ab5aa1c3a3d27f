"""Plan a two-impulse transfer between two ECI states: ``python -m vextal.astro [plan] --help``; the
transfer-window search is ``python -m vextal.astro porkchop --help``.

With no arguments it plans the built-in example: a chaser in a 400 km circular orbit and a target a quarter
orbit ahead in a 600 km circular orbit of the same plane, four hours of flight, up to ten revolutions. For
every Lambert arc the planner finds it prints the revolution count, the departure and arrival changes of
velocity with their magnitudes and the total, and marks the cheapest arc.
"""
import argparse
import json
import math
import os
import sys

from vextal.astro._cli import finite as _finite, revolutions as _revolutions

EARTH_RADIUS = 6378.1374  # km
MU_EARTH = 398600.5  # km^3/s^2, the planner's own value


def _circular(radius, angle_deg, inclination_deg):
    """Position and velocity (km, km/s) on a circular orbit of the given radius, `angle_deg` along it from
    the ascending node, in a plane of the given inclination with its node on the x axis."""
    u, i = math.radians(angle_deg), math.radians(inclination_deg)
    speed = math.sqrt(MU_EARTH / radius)
    position = (radius * math.cos(u), radius * math.sin(u) * math.cos(i), radius * math.sin(u) * math.sin(i))
    velocity = (-speed * math.sin(u), speed * math.cos(u) * math.cos(i), speed * math.cos(u) * math.sin(i))
    return position, velocity


def example():
    chaser = _circular(EARTH_RADIUS + 400.0, 0.0, 51.6)
    target = _circular(EARTH_RADIUS + 600.0, 90.0, 51.6)
    return {"initial": (0.0,) + chaser[0] + chaser[1], "target": (0.0,) + target[0] + target[1],
            "tof": 4 * 3600.0, "max_revs": 10}


def parser():
    defaults = example()
    p = argparse.ArgumentParser(
        prog="python -m vextal.astro",
        description="Plan two-impulse Lambert transfers between two ECI states and list every arc found "
                    "(zero revolutions, then two arcs per revolution count), marking the cheapest. Without "
                    "arguments: a 400 km chaser and a 600 km target a quarter orbit ahead.",
        epilog="States are TIME X Y Z VX VY VZ: epoch (the states' own time scale), position in km, velocity in "
               "km/s, Earth-centred inertial. The target is moved on to the arrival epoch (TIME of the initial "
               "state + TOF, added as plain numbers) when it lies before it.")
    state = dict(nargs=7, type=_finite, metavar=("TIME", "X", "Y", "Z", "VX", "VY", "VZ"))
    p.add_argument("--initial", **state, default=defaults["initial"], help="the chaser's state")
    p.add_argument("--target", **state, default=defaults["target"], help="the target's state")
    p.add_argument("--tof", type=_finite, default=defaults["tof"], metavar="SECONDS",
                   help="time of flight in seconds (default %(default)s)")
    p.add_argument("--retrograde", action="store_true", help="transfer in the retrograde direction")
    p.add_argument("--max-revs", type=_revolutions, default=defaults["max_revs"], metavar="N",
                   help="most revolutions to consider (default %(default)s)")
    p.add_argument("--json", action="store_true", help="print the plan as JSON")
    return p


def solver_arcs(initial, target, tof, prograde, max_revs):
    """The revolution count of each arc and the largest feasible count, as the solver reports them for the
    transfer the planner solves (the target moved on to the arrival epoch when it lies more than 1e-7
    before it, as plan_lambert does)."""
    from vextal.astro.kepler import propagate_lagrangian_u
    from vextal.astro.multirev_arcs import LambertProblem

    gap = (initial.time + tof) - target.time
    if gap > 1e-7:
        target = propagate_lagrangian_u(target, gap)
    problem = LambertProblem(initial.position, target.position, tof, MU_EARTH, prograde, max_revs)
    return list(problem.revolutions), problem.max_revs


def plan(initial, target, tof, prograde=True, max_revs=10):
    """The plan as plain data: one entry per arc with both burns, magnitudes and the total."""
    from vextal.astro.orbitvector import ECI
    from vextal.astro.transfer_planner import plan_lambert
    from vextal.vector3 import Vector3

    def state(values):
        return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))

    chaser, goal = state(initial), state(target)
    result = plan_lambert(chaser, goal, tof, prograde, max_revs)
    revolutions, feasible = solver_arcs(chaser, goal, tof, prograde, max_revs)
    if len(revolutions) != len(result.burns):  # the solver's published order: 0, then two arcs per count
        revolutions = [(index + 1) // 2 for index in range(len(result.burns))]
    arcs = []
    for revs, (departure, arrival) in zip(revolutions, result.burns):
        burns = [{"time": b.time, "delta_v": list(b.delta_v.to_tuple()), "magnitude": b.delta_v.magnitude()}
                 for b in (departure, arrival)]
        arcs.append({"revolutions": revs, "departure": burns[0], "arrival": burns[1],
                     "total": burns[0]["magnitude"] + burns[1]["magnitude"]})
    cheapest = min(range(len(arcs)), key=lambda k: arcs[k]["total"]) if arcs else None
    return {"initial": list(initial), "target": list(target), "tof": tof, "prograde": prograde,
            "max_revs": max_revs, "feasible_revs": feasible, "arcs": arcs, "cheapest": cheapest}


def _vector(v):
    return "(%11.6f %11.6f %11.6f)" % tuple(v)


def report(data, out):
    direction = "prograde" if data["prograde"] else "retrograde"
    count = len(data["arcs"])
    out.write("Transfer of %.1f s, %s, up to %d revolutions (%d feasible): %d arc%s\n"
              % (data["tof"], direction, data["max_revs"], data["feasible_revs"], count, "" if count == 1 else "s"))
    out.write("  initial t=%s  r=%s km  v=%s km/s\n" % (data["initial"][0], _vector(data["initial"][1:4]),
                                                        _vector(data["initial"][4:7])))
    out.write("  target  t=%s  r=%s km  v=%s km/s\n\n" % (data["target"][0], _vector(data["target"][1:4]),
                                                          _vector(data["target"][4:7])))
    if not data["arcs"]:
        out.write("No transfer arc found.\n")
        return
    header = "%-3s %4s  %-37s %9s  %-37s %9s  %9s\n"
    out.write(header % ("", "revs", "departure delta-v (km/s)", "|dv1|", "arrival delta-v (km/s)", "|dv2|",
                        "total"))
    for index, arc in enumerate(data["arcs"]):
        mark = "*" if index == data["cheapest"] else ""
        d, a = arc["departure"], arc["arrival"]
        out.write("%-3s %4d  %s %9.6f  %s %9.6f  %9.6f\n" % (mark, arc["revolutions"], _vector(d["delta_v"]),
                                                            d["magnitude"], _vector(a["delta_v"]),
                                                            a["magnitude"], arc["total"]))
    best = data["arcs"][data["cheapest"]]
    out.write("\n* cheapest: %d revolution%s, %.6f km/s in total; burns at t=%s and t=%s\n"
              % (best["revolutions"], "" if best["revolutions"] == 1 else "s", best["total"],
                 best["departure"]["time"], best["arrival"]["time"]))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["porkchop"]:
        from vextal.astro import _cli_porkchop

        return _cli_porkchop.main(argv[1:])
    if argv[:1] == ["plan"]:
        argv = argv[1:]
    p = parser()
    args = p.parse_args(argv)
    if args.tof <= 0.0:
        p.error("argument --tof: the time of flight must be positive")
    try:
        data = plan(args.initial, args.target, args.tof, not args.retrograde, args.max_revs)
    except (ValueError, TypeError, ArithmeticError, RuntimeError) as exc:
        p.exit(1, "%s: cannot plan this transfer: %s\n" % (p.prog, exc))
    try:
        if args.json:
            json.dump(data, sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            report(data, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
