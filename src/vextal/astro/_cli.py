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
