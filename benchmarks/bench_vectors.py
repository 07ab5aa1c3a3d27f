"""Vector3 and Matrix4 from Python against the same operations on NumPy float64 arrays of shape (3,) and (4, 4),
measured side by side in one run.

    python3 -m pip install numpy
    python3 benchmarks/bench_vectors.py [--repeat N]

Prints a markdown table: times are the best of --repeat runs, in ns per call; the last column is how many times
longer the NumPy code takes.
"""
import argparse

import numpy as np
from vextal.matrix4 import Matrix4
from vextal.vector3 import Vector3
from _timing import best_of

ELEMENTS = (0.0, -1.0, 0.0, 10.0, 1.0, 0.0, 0.0, 20.0, 0.0, 0.0, 1.0, 30.0, 0.0, 0.0, 0.0, 1.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--number", type=int, default=200000)
    args = parser.parse_args()

    namespace = {
        "Vector3": Vector3, "np": np,
        "a": Vector3(7000.0, -1200.5, 300.25), "b": Vector3(-1.5, 7.25, 0.5), "m": Matrix4(*ELEMENTS),
        "na": np.array([7000.0, -1200.5, 300.25]), "nb": np.array([-1.5, 7.25, 0.5]),
        "nm": np.array(ELEMENTS).reshape(4, 4),
    }
    # operation, vextal statement, NumPy statement (the same result on float64 arrays)
    cases = [
        ("construction", "Vector3(1.0, 2.0, 3.0)", "np.array((1.0, 2.0, 3.0))"),
        ("cross", "a.cross(b)", "np.cross(na, nb)"),
        ("normalize", "a.normalize()", "na / np.linalg.norm(na)"),
        ("transform (point, 4x4)", "a.transform(m)", "nm[:3, :3] @ na + nm[:3, 3]"),
    ]
    ns = dict(namespace)
    exec("ra, rb = a.transform(m), nm[:3, :3] @ na + nm[:3, 3]", ns)  # both give the same point
    assert np.allclose(tuple(ns["ra"]), ns["rb"])

    print("| operation | vextal (ns) | NumPy (ns) | NumPy / vextal | NumPy code |")
    print("|---|---:|---:|---:|---|")
    for name, ours, theirs in cases:
        t_ours = best_of(ours, args.repeat, number=args.number, namespace=namespace) * 1e9
        t_theirs = best_of(theirs, args.repeat, number=max(1, args.number // 10), namespace=namespace) * 1e9
        print("| %s | %.0f | %.0f | %.1f | `%s` |" % (name, t_ours, t_theirs, t_theirs / t_ours, theirs))


if __name__ == "__main__":
    main()
