"""``python -m vextal.astro porkchop``: search a transfer window and print its optimum.

The grid spans departure offsets (seconds after the chaser's epoch) by times of flight (seconds), each given as
START:STOP:N (N evenly spaced values, both ends included). The optimum is the grid's cheapest cell refined by a
local search (scipy); the grid can be written as a plot (PNG and the other formats matplotlib knows), CSV or
JSON. Without states it runs a built-in example: a chaser in a 400 km circular orbit and a target in a 1000 km
circular orbit of the same inclination, its node 0.5 degree further east, over a day of departures.
"""
import sys

from vextal.astro._cli import EARTH_RADIUS, Parser, circular_state, emit, fail, finite, revolutions, whole_number

PROG = "python -m vextal.astro porkchop"
MAX_CELLS = 25_000_000  # about 0.7 GB of result arrays


def example():
    return {"chaser": circular_state(EARTH_RADIUS + 400.0, 0.0, 51.6),
            "target": circular_state(EARTH_RADIUS + 1000.0, 120.0, 51.6, 0.5),
            "departures": (0.0, 86400.0, 145), "tofs": (1200.0, 3 * 3600.0, 145), "max_revs": 1}


def grid_range(text):
    """argparse type: START:STOP:N, N >= 1 evenly spaced values from START to STOP (seconds)."""
    import argparse

    parts = text.split(":")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError("expected START:STOP:N, not %r" % text)
    start, stop = (finite(p) for p in parts[:2])
    try:
        count = int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError("N must be a whole number in %r" % text) from None
    if count < 1:
        raise argparse.ArgumentTypeError("N must be at least 1 in %r (the grid would be empty)" % text)
    if count > 1_000_000:
        raise argparse.ArgumentTypeError("N is larger than 1000000 in %r" % text)
    if stop < start or (count == 1 and stop != start):
        raise argparse.ArgumentTypeError("STOP must not be below START, and equal it when N is 1: %r" % text)
    return start, stop, count


def pixel_size(text):
    """argparse type: WIDTHxHEIGHT in pixels."""
    import argparse

    parts = text.lower().split("x")
    try:
        width, height = (int(p) for p in parts)
    except ValueError:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT in pixels, such as 1200x800, not %r" % text) from None
    if not (16 <= width <= 20000 and 16 <= height <= 20000):
        raise argparse.ArgumentTypeError("each side must be 16 to 20000 pixels: %r" % text)
    return width, height


def parser():
    p = Parser(prog=PROG, description="Search a transfer window: the cheapest two-impulse Lambert transfer over a "
                                      "grid of departure times and times of flight, refined locally.",
               epilog="States are TIME X Y Z VX VY VZ (s, km, km/s, Earth-centred inertial). Without states: "
                      "a built-in example (400 km chaser, 1000 km target). A range that starts below zero is "
                      "written with '=': --departures=-3600:3600:13.")
    state = dict(nargs=7, type=finite, metavar=("TIME", "X", "Y", "Z", "VX", "VY", "VZ"))
    p.add_argument("--chaser", **state, help="the chaser's state")
    p.add_argument("--target", **state, help="the target's state")
    p.add_argument("--departures", type=grid_range, metavar="START:STOP:N",
                   help="departure offsets after the chaser's epoch, in seconds")
    p.add_argument("--tofs", type=grid_range, metavar="START:STOP:N", help="times of flight in seconds")
    p.add_argument("--max-revs", type=revolutions, metavar="N", help="most revolutions per arc")
    p.add_argument("--retrograde", action="store_true", help="transfer in the retrograde direction")
    p.add_argument("--threads", type=int, metavar="N", help="worker threads (default: every core)")
    p.add_argument("--out", metavar="FILE.png", help="write the porkchop plot")
    p.add_argument("--which", choices=("total", "departure", "arrival", "c3"), default="total",
                   help="the plotted quantity: total, departure or arrival delta-v, or C3 (departure v-infinity "
                        "squared, km^2/s^2); default total")
    p.add_argument("--axes", choices=("tof", "arrival"), default="tof",
                   help="plot over departure x time of flight (default) or departure x arrival")
    p.add_argument("--levels", type=whole_number(2, 200), metavar="N",
                   help="colour bands of the plot (default 20)")
    p.add_argument("--dpi", type=whole_number(10, 1200), default=100, metavar="DPI",
                   help="plot resolution in dots per inch (default 100)")
    p.add_argument("--size", type=pixel_size, default=(700, 500), metavar="WxH",
                   help="plot size in pixels (default 700x500)")
    p.add_argument("--csv", metavar="FILE", help="write the grid as CSV, one line per cell")
    p.add_argument("--json", metavar="FILE", help="write the grid and the optimum as JSON")
    p.add_argument("--no-refine", action="store_true", help="report the grid's best cell as it is")
    return p


def _resolve(p, args):
    """Fills in the example where states are not given; both states or neither."""
    if (args.chaser is None) != (args.target is None):
        fail(p.prog, "give both --chaser and --target, or neither for the built-in example")
    defaults = example()
    if args.chaser is None:
        args.chaser, args.target = defaults["chaser"], defaults["target"]
        args.departures = args.departures or defaults["departures"]
        args.tofs = args.tofs or defaults["tofs"]
        if args.max_revs is None:
            args.max_revs = defaults["max_revs"]
    if args.departures is None or args.tofs is None:
        fail(p.prog, "--departures and --tofs are required with given states")
    if args.tofs[0] <= 0:
        fail(p.prog, "argument --tofs: times of flight must be positive")
    if args.departures[2] * args.tofs[2] > MAX_CELLS:
        fail(p.prog, "the grid of %d x %d cells is larger than %d cells" % (args.departures[2], args.tofs[2], MAX_CELLS))
    if args.threads is not None and args.threads < 1:
        fail(p.prog, "argument --threads: must be at least 1")
    for name in ("chaser", "target"):
        if not any(getattr(args, name)[1:4]):
            fail(p.prog, "the %s's position is zero" % name)
    if args.max_revs is None:
        args.max_revs = 0


def _report(grid, best, refined, out):
    direction = "prograde" if grid.prograde else "retrograde"
    valid = int((grid.revolutions >= 0).sum())
    out.write("Porkchop grid: %d departures x %d times of flight, up to %d revolution%s, %s; %d of %d cells "
              "have an arc\n" % (grid.shape + (grid.max_revs, "" if grid.max_revs == 1 else "s", direction,
                                               valid, grid.dv_total.size)))
    rows = [("best cell", best)] + ([("refined", refined)] if refined is not None else [])
    out.write("%-10s %14s %14s %5s %7s %12s %12s %12s\n" % ("", "departure (s)", "tof (s)", "revs", "branch",
                                                           "|dv1| km/s", "|dv2| km/s", "total km/s"))
    for name, t in rows:
        out.write("%-10s %14.3f %14.3f %5d %7d %12.6f %12.6f %12.6f\n" % (
            name, t.departure, t.tof, t.revolutions, t.branch, t.dv_departure, t.dv_arrival, t.dv_total))
    t = refined if refined is not None else best
    for label, burn in zip(("departure", "arrival"), t.burns):
        out.write("%s burn at t=%.6f: delta-v (%.6f %.6f %.6f) km/s\n" % ((label, burn.time) + burn.delta_v.to_tuple()))


def main(argv=None):
    p = parser()
    args = p.parse_args(sys.argv[1:] if argv is None else argv)
    _resolve(p, args)
    import json

    import numpy as np

    from vextal.astro.porkchop import porkchop

    departures, tofs = (np.linspace(*r) for r in (args.departures, args.tofs))
    try:
        grid = porkchop(args.chaser, args.target, departures, tofs, prograde=not args.retrograde,
                        max_revs=args.max_revs, threads=args.threads, progress=sys.stderr.isatty() or None)
        best = grid.best()
    except (ValueError, TypeError, MemoryError) as exc:
        fail(p.prog, str(exc) or "the grid does not fit in memory")
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % p.prog)
        return 130
    refined = None
    if not args.no_refine:
        try:
            refined = grid.refine()
        except ImportError as exc:
            sys.stderr.write("%s: note: %s; reporting the grid's best cell\n" % (p.prog, exc))
    try:
        if args.out:
            figure = grid.plot(optimum=refined or best if args.which == "total" else None, which=args.which,
                               axes=args.axes, levels=args.levels)
            figure.set_size_inches(args.size[0] / args.dpi, args.size[1] / args.dpi)
            figure.savefig(args.out, dpi=args.dpi)
        if args.csv:
            grid.to_csv(args.csv)
        if args.json:
            data = grid.to_dict()
            data["best"] = best.as_dict()
            data["refined"] = refined.as_dict() if refined is not None else None
            with open(args.json, "w") as handle:
                json.dump(data, handle)
    except ImportError as exc:
        p.exit(1, "%s: error: %s\n" % (p.prog, exc))
    except OSError as exc:
        p.exit(1, "%s: error: cannot write %s: %s\n" % (p.prog, exc.filename, exc.strerror))
    return emit(lambda: _report(grid, best, refined, sys.stdout))
