"""``python -m vextal.astro porkchop``: search a transfer window and print its optimum.

The grid spans departures by times of flight (seconds), each given as START:STOP:N (N evenly spaced values,
both ends included); departures are seconds after the chaser's epoch, or UTC dates in ISO 8601
(2026-11-01T00:00:2026-11-03T00:00:49). The chaser and the target are states, element sets (TLE files) or, for
the target, a CCSDS OEM ephemeris; a TLE file of several targets makes a survey: one grid per target and the
table of their optima. The optimum is the grid's cheapest cell refined by a local search (scipy); the grid can
be written as a plot (PNG and the other formats matplotlib knows), CSV or JSON. Without states it runs a
built-in example: a chaser in a 400 km circular orbit and a target in a 1000 km circular orbit of the same
inclination, its node 0.5 degree further east, over a day of departures.
"""
import math
import re
import sys

from vextal.astro._cli import (BODY_MU, BRANCH_HELP, BRANCHES, EARTH_RADIUS, STATE, Parser, add_direction,
                               bounded, circular_state, direction_warning, emit, fail, finite, revolutions,
                               whole_number)

PROG = "python -m vextal.astro porkchop"
MAX_CELLS = 25_000_000  # about 0.7 GB of result arrays
SAFETY_CELLS = 1000  # --keep-out checks this many of the cheapest cells


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
    return _counted(start, stop, parts[2], text)


#: START:STOP of a date range: STOP is the part after the last colon that is followed by a calendar date.
DATE_RANGE = re.compile(r"^(?P<start>.+):(?P<stop>[0-9]{4}-[0-9]{2}-[0-9]{2}.*)$")


def departure_range(text):
    """argparse type: START:STOP:N in seconds (as grid_range), or with START and STOP UTC dates in ISO 8601
    (2026-11-01T00:00:2026-11-03T00:00:49, 2026-11-01:2026-11-03:3); returns (start, stop, N, dates), START
    and STOP of dates as epoch numbers."""
    import argparse

    from vextal.astro import time

    head, _, count = text.rpartition(":")
    match = DATE_RANGE.match(head)
    if match is None:
        return grid_range(text) + (False,)
    try:
        start, stop = time.epoch(match.group("start")), time.epoch(match.group("stop"))
    except (TypeError, ValueError) as exc:
        raise argparse.ArgumentTypeError("%s in %r" % (str(exc).replace("epoch(): ", ""), text)) from None
    return _counted(start, stop, count, text) + (True,)


def _counted(start, stop, count_text, text):
    import argparse

    try:
        count = int(count_text)
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
               epilog=BRANCH_HELP + " States are TIME X Y Z VX VY VZ (s, km, km/s, inertial about the central "
                      "body). Without states: "
                      "a built-in example (400 km chaser, 1000 km target). A range that starts below zero is "
                      "written with '=': --departures=-3600:3600:13. Dates are UTC, ISO 8601, with or without a "
                      "time: --departures 2026-11-01T00:00:2026-11-03T00:00:49 is 49 departures an hour apart. "
                      "A TLE file holds two- or three-line element sets; with several targets the survey table "
                      "is printed, --csv writes that table, and the plot and JSON show the cheapest target's grid.")
    chaser = p.add_mutually_exclusive_group()
    chaser.add_argument("--chaser", "--initial", dest="chaser", **STATE,
                        help="the chaser's state (--initial is the same option)")
    chaser.add_argument("--chaser-tle", metavar="FILE", help="the chaser's element set (a file holding one)")
    target = p.add_mutually_exclusive_group()
    target.add_argument("--target", **STATE, help="the target's state")
    target.add_argument("--target-tle", metavar="FILE",
                        help="the target's element set; a file of several makes a survey of them all")
    target.add_argument("--target-oem", metavar="FILE", help="the target's ephemeris, a CCSDS OEM file (KVN or XML)")
    p.add_argument("--departures", type=departure_range, metavar="START:STOP:N",
                   help="departure offsets after the chaser's epoch in seconds, or UTC dates (ISO 8601)")
    p.add_argument("--tofs", type=grid_range, metavar="START:STOP:N", help="times of flight in seconds")
    p.add_argument("--max-revs", type=revolutions, metavar="N", help="most revolutions per arc")
    add_direction(p, "the chaser's own sense of motion")
    body = p.add_mutually_exclusive_group()
    body.add_argument("--mu", type=bounded(0.0, low_open=True), metavar="KM3/S2",
                      help="the central body's gravitational parameter (default: the Earth's, 398600.5)")
    body.add_argument("--body", choices=sorted(BODY_MU),
                      help="the central body by name: " + ", ".join("%s %s" % kv for kv in sorted(BODY_MU.items())))
    p.add_argument("--cost", choices=("rendezvous", "intercept"), default="rendezvous",
                   help="rendezvous: departure + arrival delta-v (default); intercept: the departure burn alone")
    p.add_argument("--min-radius", type=bounded(0.0), metavar="KM",
                   help="arcs whose path comes below this radius are no candidates (default: the Earth's "
                        "equatorial radius under the Earth's mu, none under any other; 0 for none)")
    p.add_argument("--arrive-at", nargs=3, type=finite, metavar=("DR", "DI", "DC"),
                   help="arrive at a hold point this far (km) from the target in its radial, in-track, "
                        "cross-track frame, at rest in that frame")
    p.add_argument("--depart-from", nargs=3, type=finite, metavar=("DR", "DI", "DC"),
                   help="leave from a point this far (km) from the chaser in its RIC frame")
    p.add_argument("--keep-out", type=bounded(0.0), metavar="KM",
                   help="passive safety: check the %d cheapest cells' arcs and their free drift after a missed "
                        "arrival burn against this distance from the target, and report the cheapest safe cell"
                        % SAFETY_CELLS)
    p.add_argument("--model", choices=("two-body", "j2"), default="two-body",
                   help="how the chaser and the target move: two-body (default) or j2 (the Earth's oblateness; "
                        "every cell is then a transfer flown under J2)")
    p.add_argument("--orbits", type=bounded(0.0, 1000.0), default=3.0, metavar="N",
                   help="target orbits of free drift that --keep-out checks (default 3)")
    p.add_argument("--threads", type=whole_number(1, 1024), metavar="N",
                   help="worker threads, 1 to 1024 (default: every core)")
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
    p.add_argument("--vmax", type=bounded(0.0, low_open=True), metavar="VALUE",
                   help="the plot's colour limit, in the plotted quantity's unit (default: a low multiple of the "
                        "optimum; dearer cells grey)")
    p.add_argument("--oem-out", metavar="FILE.oem",
                   help="write the reported transfer's flight as a CCSDS OEM (KVN, EME2000, UTC, 60 s steps)")
    p.add_argument("--opm-out", metavar="FILE.opm",
                   help="write the reported transfer as a CCSDS OPM (KVN) with its two manoeuvres")
    p.add_argument("--csv", metavar="FILE", help="write the grid as CSV, one line per cell")
    p.add_argument("--json", metavar="FILE", help="write the grid and the optimum as JSON")
    p.add_argument("--no-refine", action="store_true", help="report the grid's best cell as it is")
    p.add_argument("--safe", action="store_true",
                   help="report the cheapest cell that --keep-out finds safe (not refined)")
    return p


def _resolve(p, args):
    """Fills in the example where states are not given; a chaser and a target, or neither."""
    chaser_given = args.chaser is not None or args.chaser_tle is not None
    target_given = any(v is not None for v in (args.target, args.target_tle, args.target_oem))
    if chaser_given != target_given:
        fail(p.prog, "give a chaser (--chaser or --chaser-tle) and a target (--target, --target-tle or "
                     "--target-oem), or neither for the built-in example")
    defaults = example()
    if not chaser_given:
        if args.mu is not None or args.body not in (None, "earth"):
            fail(p.prog, "--mu and --body need --chaser and --target (the built-in example orbits the Earth)")
        args.chaser, args.target = defaults["chaser"], defaults["target"]
        args.departures = args.departures or defaults["departures"] + (False,)
        args.tofs = args.tofs or defaults["tofs"]
        if args.max_revs is None:
            args.max_revs = defaults["max_revs"]
    if args.departures is None or args.tofs is None:
        fail(p.prog, "--departures and --tofs are required with a given chaser and target")
    if args.tofs[0] <= 0:
        fail(p.prog, "argument --tofs: times of flight must be positive")
    if args.out and (args.departures[2] < 2 or args.tofs[2] < 2):
        fail(p.prog, "argument --out: a porkchop plot needs at least two departures and two times of flight")
    if args.out:
        _plot_format(p, args.out)
    if args.departures[2] * args.tofs[2] > MAX_CELLS:
        fail(p.prog, "the grid of %d x %d cells is larger than %d cells" % (args.departures[2], args.tofs[2], MAX_CELLS))
    for name in ("chaser", "target"):
        if getattr(args, name) is not None and not any(getattr(args, name)[1:4]):
            fail(p.prog, "the %s's position is zero" % name)
    if args.max_revs is None:
        args.max_revs = 0
    if args.safe and args.keep_out is None:
        fail(p.prog, "--safe needs --keep-out")
    if args.body is not None:
        args.mu = BODY_MU[args.body]


def _read(p, kind, path):
    """The objects of a TLE or OEM file; an unreadable or malformed file ends the command (status 2)."""
    from vextal.astro import trajectory

    try:
        if kind == "oem":
            return [trajectory.read_oem(path)]
        objects = trajectory.read_tle(path)
    except OSError as exc:
        fail(p.prog, "cannot read %s: %s" % (path, exc.strerror or exc))
    except ImportError as exc:
        p.exit(1, "%s: error: %s\n" % (p.prog, exc))
    except (ValueError, KeyError, TypeError) as exc:  # the readers' and the parsers' complaints about content
        fail(p.prog, str(exc) if path in str(exc) else "%s: %s" % (path, exc))
    if not objects:
        fail(p.prog, "%s holds no element set" % path)
    return objects


def _objects(p, args):
    """(chaser, {label: target}) from the states and files given."""
    chaser = args.chaser
    if args.chaser_tle is not None:
        tles = _read(p, "tle", args.chaser_tle)
        if len(tles) != 1:
            fail(p.prog, "%s holds %d element sets; --chaser-tle takes a file of one" % (args.chaser_tle, len(tles)))
        chaser = tles[0]
    if args.target_tle is not None:
        from vextal.astro._survey import same_object

        tles = _read(p, "tle", args.target_tle)
        own = [t for t in tles if same_object(chaser, t)]
        if own and len(own) < len(tles):
            sys.stderr.write("%s: note: satellite %s is the chaser itself: left out of the targets\n"
                             % (p.prog, chaser.satnum))
            tles = [t for t in tles if not same_object(chaser, t)]
        labels = [t.name or t.satnum for t in tles]
        # Labels name the targets in the table; a label used twice gets the set's place in the file.
        labels = [label if labels.count(label) == 1 else "%s [%d]" % (label, k + 1) for k, label in enumerate(labels)]
        return chaser, dict(zip(labels, tles))
    if args.target_oem is not None:
        return chaser, {"target": _read(p, "oem", args.target_oem)[0]}
    return chaser, {"target": args.target}


def _date(epoch):
    from vextal.astro._grid_common import iso_date

    return iso_date(epoch)[:-3] + "Z"  # to the millisecond
def _plot_format(p, path):
    """The image format of `path` from its extension (PNG without one), or an input error naming the formats
    matplotlib can write. Without matplotlib the write itself reports the missing extra."""
    import os

    extension = os.path.splitext(path)[1][1:].lower() or "png"
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        return extension
    formats = FigureCanvasAgg(Figure()).get_supported_filetypes()
    if extension not in formats:
        fail(p.prog, "argument --out: cannot write a %r image; the file name may end in %s"
             % (extension, ", ".join("." + f for f in sorted(formats))))
    return extension


def _write(p, path, action):
    """Runs `action`, which writes `path` whole (the old file stays as it was if anything fails); a failure
    is one line naming the file, status 2."""
    try:
        action()
    except OSError as exc:
        fail(p.prog, "cannot write %s: %s" % (path, exc.strerror or exc))
    except ValueError as exc:  # content the file cannot hold (a name with control characters)
        fail(p.prog, "cannot write %s: %s" % (path, exc))


def _report(grid, best, refined, safety, out):
    from vextal.astro._burns import summary

    direction = "prograde" if grid.prograde else "retrograde"
    valid = int((grid.revolutions >= 0).sum())
    screened = int((grid.status == 2).sum())
    out.write("Porkchop grid: %d departures x %d times of flight, up to %d revolution%s, %s, %s motion, "
              "mu %s km^3/s^2, %s cost; %d of %d cells have an arc%s\n"
              % (grid.shape + (grid.max_revs, "" if grid.max_revs == 1 else "s", direction, grid.model,
                               "%.10g" % grid.mu, grid.cost, valid, grid.dv_total.size,
                               " (%d with every arc below %g km)" % (screened, grid.min_radius or EARTH_RADIUS)
                               if screened else "")))
    rows = [("best cell", best)] + ([("refined", refined)] if refined is not None else [])
    out.write("%-10s %14s %14s %5s %17s %12s %12s %12s\n" % ("", "departure (s)", "tof (s)", "revs", "branch",
                                                            "|dv1| km/s", "|dv2| km/s", "cost km/s"))
    for name, t in rows:
        branch = ("%+d %s" if t.branch else "%d %s") % (t.branch, BRANCHES[t.branch])
        out.write("%-10s %14.3f %14.3f %5d %17s %12.6f %12.6f %12.6f\n" % (
            name, t.departure, t.tof, t.revolutions, branch, t.dv_departure, t.dv_arrival, t.dv_total))
    if grid.miss is not None and grid.dv_total_arc is not None:
        import numpy as np

        out.write("cells exact under J2: each cell's burns flown under J2 reach the target within %.3g m; no arc "
                  "converged in %d cells; the cheapest two-body arc between the same states costs %.6f km/s\n"
                  % (float(np.nanmax(grid.miss)) * 1e3 if valid else math.nan, int((grid.status == 4).sum()),
                     float(np.nanmin(grid.dv_total_arc)) if valid else math.nan))
    if refined is not None and refined.at_window_edge:
        out.write("the refined optimum lies on the edge of the window: a cheaper transfer may lie outside it\n")
    if refined is not None and refined.model == "j2":
        out.write("refined under J2: flown from the chaser's J2 state the burns reach the target's within %.3g m "
                  "and %.3g mm/s; the two-body grid's cost there is %.6f km/s\n"
                  % (refined.miss_km * 1e3, refined.miss_kms * 1e6, refined.dv_total_two_body))
    if grid.epoch is not None:  # given dates: the same rows' departure and arrival dates
        for name, t in rows:
            start = grid.epoch + t.departure
            out.write("%-10s departs %s, arrives %s\n" % (name, _date(start), _date(start + t.tof)))
    if safety is not None:
        out.write("Passive safety (keep-out %g km, %g target orbits of drift): %d of %d cells checked are safe\n"
                  % (safety.keep_out, safety.orbits, int(safety.safe.sum()), int(safety.checked.sum())))
    t = refined if refined is not None else best
    out.write("Burns (epochs UTC and s since 1950-01-01T00:00:00 UTC; delta-v km/s in ECI = EME2000, and in the "
              "chaser's RIC and VNB frames at the burn):\n")
    out.write(summary(t) + "\n")


def _survey_report(result, dated, out):
    """One line per target, cheapest first; targets without an arc last, then those skipped."""
    first = result.porkchops[0]
    out.write("Survey: %d targets, %d departures x %d times of flight each, up to %d revolution%s, %s, %s motion\n"
              % (len(result.porkchops), first.shape[0], first.shape[1], first.max_revs,
                 "" if first.max_revs == 1 else "s", "prograde" if first.prograde else "retrograde", first.model))
    out.write("%-24s %24s %12s %5s %7s %12s\n" % ("target", "departure (UTC)" if dated else "departure (s)",
                                                   "tof (s)", "revs", "branch", "total km/s"))
    for record in _records(result):
        if record["dv_total"] != record["dv_total"]:
            out.write("%-24s %24s\n" % (record["target"], "skipped" if record["error"] else "no transfer arc"))
            continue
        departure = _date(first.epoch + record["departure"]) if dated else "%.3f" % record["departure"]
        out.write("%-24s %24s %12.3f %5d %7d %12.6f\n" % (record["target"], departure, record["tof"],
                                                        record["revolutions"], record["branch"], record["dv_total"]))


def _records(result):
    """The survey table's records with plain Python values (for JSON)."""
    return [{k: (v.item() if hasattr(v, "item") else v) for k, v in r.items()} for r in result.table]


def _write_survey_csv(result, handle):
    """The survey table as CSV, one line per target (its departure in s after the chaser's epoch and in UTC)."""
    import csv

    from vextal.astro._survey import COLUMNS

    writer = csv.writer(handle)
    writer.writerow(list(COLUMNS))
    for record in _records(result):
        writer.writerow(["" if v is None or v != v else v for v in (record[c] for c in COLUMNS)])


def main(argv=None):
    p = parser()
    args = p.parse_args(sys.argv[1:] if argv is None else argv)
    _resolve(p, args)
    import json

    import numpy as np

    from vextal.astro import _files, time
    from vextal.astro.porkchop import porkchop, survey

    import warnings

    start, stop, count, dated = args.departures
    departures = np.linspace(start, stop, count)
    if dated:  # dates: the grid takes them as absolute epochs and carries them
        departures = time.to_datetime64(departures)
    tofs = np.linspace(*args.tofs)
    chaser, targets = _objects(p, args)
    if len(targets) * departures.size * tofs.size > MAX_CELLS:
        fail(p.prog, "the grids of %d x %d x %d cells are larger than %d cells" % (len(targets), departures.size,
                                                                                  tofs.size, MAX_CELLS))
    if args.prograde is not None:
        from vextal.astro._state import state_tuple

        own = state_tuple(chaser.state_at(chaser.epoch) if hasattr(chaser, "state_at") else chaser, "chaser")
        opposed = direction_warning(own, args.prograde)
        if opposed:
            sys.stderr.write("%s: warning: %s\n" % (p.prog, opposed))
    options = dict(prograde=args.prograde, max_revs=args.max_revs, mu=args.mu, cost=args.cost,
                   min_radius=args.min_radius, arrive_at=args.arrive_at, depart_from=args.depart_from,
                   threads=args.threads, progress=sys.stderr.isatty() or None, model=args.model)
    safety = result = None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if len(targets) > 1:
                result = survey(chaser, targets, departures, tofs, **options)
                skipped = [r for r in _records(result) if r["error"]]
                for record in skipped:
                    sys.stderr.write("%s: note: target %s skipped: %s\n"
                                     % (p.prog, record["target"], " ".join(record["error"].split())))
                if len(skipped) == len(targets):
                    fail(p.prog, "every target was skipped")
                cheapest = _records(result)[0]["target"]
                computed = [name for name in targets if name not in {r["target"] for r in skipped}]
                grid = result.porkchops[computed.index(cheapest)]
            else:
                grid = porkchop(chaser, next(iter(targets.values())), departures, tofs, **options)
        for warning in caught:
            sys.stderr.write("%s: warning: %s\n" % (p.prog, " ".join(str(warning.message).split())))
        if args.keep_out is not None:
            safety = grid.safety(args.keep_out, args.orbits, best=SAFETY_CELLS, threads=args.threads)
        best = grid.best(safe=args.safe)
    except (ValueError, TypeError, MemoryError, RuntimeError) as exc:  # RuntimeError: a solver that failed
        fail(p.prog, str(exc) or "the grid does not fit in memory")
    except KeyboardInterrupt:
        sys.stderr.write("%s: interrupted\n" % p.prog)
        return 130
    refined = None
    if not args.no_refine and not args.safe:
        try:
            refined = grid.refine()
        except (ImportError, RuntimeError, ValueError) as exc:  # no scipy, or no correction under J2
            sys.stderr.write("%s: note: %s; reporting the grid's best cell\n" % (p.prog, exc))
    try:
        if args.out:
            title = None if result is None else "Porkchop to %s (cheapest of %d targets)" % (cheapest, len(targets))
            from matplotlib.figure import Figure

            # Made at its final size: the labels that would overlap are dropped for this layout.
            figure = Figure(figsize=(args.size[0] / args.dpi, args.size[1] / args.dpi), layout="constrained")
            grid.plot(figure.add_subplot(), optimum=refined or best if args.which == "total" else None,
                      which=args.which, axes=args.axes, levels=args.levels, title=title, vmax=args.vmax)
            image = _plot_format(p, args.out)
            _write(p, args.out, lambda: _files.replace(
                args.out, lambda handle: figure.savefig(handle, format=image, dpi=args.dpi), binary=True))
        if args.csv:
            if result is not None:
                _write(p, args.csv, lambda: _files.replace(args.csv, lambda h: _write_survey_csv(result, h)))
            else:
                _write(p, args.csv, lambda: grid.to_csv(args.csv))
        reported = refined if refined is not None else best
        if args.oem_out:
            _write(p, args.oem_out, lambda: reported.to_oem(args.oem_out, 60.0))
        if args.opm_out:
            _write(p, args.opm_out, lambda: reported.to_opm(args.opm_out))
        if args.json:
            data = grid.to_dict()
            data["best"] = best.as_dict()
            data["refined"] = refined.as_dict() if refined is not None else None
            if result is not None:
                data["target_name"] = cheapest
                data["survey"] = [{k: (None if v != v else v) for k, v in r.items()} for r in _records(result)]
            _write(p, args.json, lambda: _files.replace(args.json, lambda handle: json.dump(data, handle)))
    except ImportError as exc:
        p.exit(1, "%s: error: %s\n" % (p.prog, exc))

    def write():
        if result is not None:
            _survey_report(result, dated, sys.stdout)
            sys.stdout.write("\nCheapest target: %s\n" % cheapest)
        _report(grid, best, refined, safety, sys.stdout)

    return emit(write)
