"""Pieces shared by the commands of ``python -m vextal.astro``: argument types and the error convention.

Every input error ends the command with one line on stderr, ``<prog>: error: <message>``, and exit status 2,
whether argparse found it or the command did (a bad range, a degenerate state, a solver refusal).
"""
import argparse
import importlib.util
import math
import sys


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


def revolutions(text):
    """argparse type: a revolution count, a whole number from 0 to 2**31 - 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative: %r" % text)
    if value > INT32_MAX:
        raise argparse.ArgumentTypeError("must be at most %d: %r" % (INT32_MAX, text))
    return value
