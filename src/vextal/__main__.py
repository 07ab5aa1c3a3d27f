"""``python -m vextal``: a short help that points at the package's commands."""
import sys

import vextal
from vextal.astro.__main__ import PORKCHOP
from vextal.astro._cli import installed


def usage():
    lines = [
        "vextal %s: satellite state vectors, frame conversions and Lambert transfer planning." % vextal.__version__,
        "",
        "The commands live in vextal.astro:",
        "  python -m vextal.astro [plan] [options]   plan a two-impulse transfer between two ECI states",
    ]
    if installed(PORKCHOP):
        lines.append("  python -m vextal.astro porkchop [options] a porkchop grid of transfer costs")
    lines += ["", "Add --help to a command for its options; the library's documentation is in the README."]
    return "\n".join(lines) + "\n"


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv in ([], ["-h"], ["--help"]):
        sys.stdout.write(usage())
        return 0
    sys.stderr.write("python -m vextal: error: takes no arguments (got %s); the commands are under "
                     "python -m vextal.astro\n" % " ".join(argv))
    return 2


if __name__ == "__main__":
    sys.exit(main())
