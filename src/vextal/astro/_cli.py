"""Pieces shared by the commands of ``python -m vextal.astro``: argument types, the error convention, the
examples' orbits and quiet output into a closed pipe.

Every input error ends the command with one line on stderr, ``<prog>: error: <message>``, and exit status 2,
whether argparse found it or the command did (a bad range, a degenerate state, a solver refusal).
"""
import argparse
import importlib.util
import math
import os
import sys

from vextal.astro import _porkchop

EARTH_RADIUS = _porkchop.EARTH_EQUATORIAL_RADIUS  # km
MU_EARTH = _porkchop.MU_EARTH  # km^3/s^2, the planner's own value
#: The central bodies by name, km^3/s^2.
BODY_MU = {"earth": MU_EARTH, "sun": _porkchop.MU_SUN, "moon": _porkchop.MU_MOON, "mars": _porkchop.MU_MARS}


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose errors are one line (no usage block) and exit with status 2."""

    def error(self, message):
        fail(self.prog, message)


def installed(module):
    """True when the optional command module `module` (a dotted name) can be imported."""
    try:
        return importlib.util.find_spec(module) is not None
    except (ImportError, ValueError):  # a parent that cannot be imported, a module without a spec
        return False


def fail(prog, message):
    """Report an input error on one line and exit with status 2."""
    text = " ".join(str(message).split())  # one line, whatever the message held
    sys.stderr.write("%s: error: %s\n" % (prog, text))
    sys.exit(2)


def finite(text):
    """argparse type: a finite float."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text) from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError("not a finite number: %r" % text)
    return value


INT32_MAX = 2**31 - 1  # the planner's revolution limit is a 32-bit int


def whole_number(low, high):
    """argparse type: a whole number from `low` to `high`."""
    def convert(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
        if value < low:
            raise argparse.ArgumentTypeError("must not be negative: %r" % text if low == 0
                                             else "must be at least %d: %r" % (low, text))
        if value > high:
            raise argparse.ArgumentTypeError("must be at most %d: %r" % (high, text))
        return value

    return convert


#: argparse type: a revolution count, a whole number from 0 to 2**31 - 1.
revolutions = whole_number(0, INT32_MAX)


def bounded(low, high=math.inf, low_open=False):
    """argparse type: a finite number from `low` (excluded with `low_open`) to `high`."""
    def convert(text):
        value = finite(text)
        if value < low or (low_open and value == low):
            raise argparse.ArgumentTypeError("must be %s %g: %r" % ("above" if low_open else "at least", low, text))
        if value > high:
            raise argparse.ArgumentTypeError("must be at most %g: %r" % (high, text))
        return value

    return convert


#: The branch of an arc, in both commands' words: of the two arcs of a revolution count, branch -1 is the one on
#: the smaller, shorter-period transfer orbit, branch +1 the longer-period one.
BRANCHES = {0: "single", -1: "shorter-period", 1: "longer-period"}
BRANCH_HELP = ("Branches: 0 single (no revolutions), -1 shorter-period, +1 longer-period (of the two arcs of a "
               "revolution count, the one on the smaller or the larger transfer orbit).")
STATE = dict(nargs=7, type=finite, metavar=("TIME", "X", "Y", "Z", "VX", "VY", "VZ"))


def add_states(p, chaser_default=None, target_default=None):
    """The two state options of both commands: --chaser (alias --initial) and --target."""
    p.add_argument("--chaser", "--initial", dest="chaser", default=chaser_default, **STATE,
                   help="the chaser's state (--initial is the same option)")
    p.add_argument("--target", default=target_default, **STATE, help="the target's state")


def add_direction(p, default_text):
    """--prograde / --retrograde (dest `prograde`: True, False or None when neither is given)."""
    group = p.add_mutually_exclusive_group()
    group.add_argument("--prograde", dest="prograde", action="store_const", const=True,
                       help="transfer in the prograde direction (angular momentum along +z)")
    group.add_argument("--retrograde", dest="prograde", action="store_const", const=False,
                       help="transfer in the retrograde direction (default: %s)" % default_text)


def direction_warning(chaser, prograde):
    """The warning text when the direction asked opposes the chaser's own motion, else None."""
    from vextal.astro.porkchop import sense

    own = sense(chaser)
    if own == 0 or (own > 0) == prograde:
        return None
    return ("the %s transfer asked opposes the chaser's own motion (%s: angular momentum z component %s 0); "
            "--%s follows it" % ("prograde" if prograde else "retrograde",
                                 "clockwise" if own < 0 else "counter-clockwise", "<" if own < 0 else ">",
                                 "retrograde" if own < 0 else "prograde"))


def circular_state(radius, angle_deg, inclination_deg, node_deg=0.0):
    """A state (time 0, km, km/s) on a circular orbit of the given radius, `angle_deg` along it from the
    ascending node, in a plane of the given inclination whose node lies `node_deg` east of the x axis."""
    u, i = math.radians(angle_deg), math.radians(inclination_deg)
    speed = math.sqrt(MU_EARTH / radius)
    p = (math.cos(u), math.sin(u) * math.cos(i), math.sin(u) * math.sin(i))
    q = (-math.sin(u), math.cos(u) * math.cos(i), math.cos(u) * math.sin(i))
    if node_deg:  # rotate about z by the node's longitude
        c, s = math.cos(math.radians(node_deg)), math.sin(math.radians(node_deg))
        p, q = ((v[0] * c - v[1] * s, v[0] * s + v[1] * c, v[2]) for v in (p, q))
    return (0.0,) + tuple(radius * c for c in p) + tuple(speed * c for c in q)


def emit(write):
    """Runs `write`, which prints to stdout, and flushes: status 0, or 1 when the reader went away (| head),
    quietly."""
    try:
        write()
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
