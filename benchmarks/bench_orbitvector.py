"""The state classes of vextal.astro.orbitvector: construction and property reads from Python, native calls of
a table entry (module class, Python subclass without and with an override), compute_period() from Python,
and ECI.to_ric / RIC.to_eci against the NumPy code a user would otherwise write, and against their floor (the
Python-level vector calls that the conversions must make, timed alone).

    python3 -m pip install numpy pytest
    python3 benchmarks/bench_orbitvector.py [--repeat N]

Native calls go through the test client tests/native/orbit_client.cpp, built like a third-party module.
Prints a markdown table; times are the best of --repeat runs, in ns per call.
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import numpy as np  # noqa: E402
from conftest import build_native_module  # noqa: E402
from vextal.astro.orbitvector import ECI, RIC  # noqa: E402
from vextal.matrix4 import Matrix4  # noqa: E402
from vextal.vector3 import Vector3  # noqa: E402
from _timing import take_turns  # noqa: E402


def best_ns(cases, repeat):
    """Best time per call (ns) of each (function, calls per round) case; the cases take turns."""
    return [t.seconds * 1e9 for t in take_turns([f for f, _ in cases], repeat, number=[n for _, n in cases])]


def native_ns(client, entry, objects, n, repeat):
    """Time of one native call of `entry` on each object, from loops of n calls inside the client."""
    for obj in objects:
        client.repeat(entry, obj, 1000, 0)  # warm-up: the first call looks the method up
    cases = [((lambda obj=obj: client.repeat(entry, obj, n, 0)), 1) for obj in objects]
    return [ns / n for ns in best_ns(cases, repeat)]


class NoOverride(ECI):
    pass


class Override(ECI):
    def compute_energy(self):
        return -28.8


# ---- NumPy: the same conversion written directly on arrays ---------------------------------------------------

def cross3(a, b):
    """The cross product written out: NumPy 2's np.cross costs tens of microseconds on 3-vectors."""
    a0, a1, a2 = a
    b0, b1, b2 = b
    return np.array([a1 * b2 - a2 * b1, a2 * b0 - a0 * b2, a0 * b1 - a1 * b0])


def np_frame(rc, vc, cross):
    h = cross(rc, vc)
    radial = rc / np.linalg.norm(rc)
    cross_track = h / np.linalg.norm(h)
    return np.array([radial, cross(cross_track, radial), cross_track]), h / np.dot(rc, rc)


def np_to_ric(r, v, rc, vc, cross=np.cross):
    m, omega = np_frame(rc, vc, cross)
    dr = r - rc
    return m @ dr, m @ (v - vc - cross(omega, dr))


def np_to_eci(p, q, rc, vc, cross=np.cross):
    m, omega = np_frame(rc, vc, cross)
    dr = m.T @ p
    return dr + rc, m.T @ q + vc + cross(omega, dr)


# ---- the floor: only the by-name calls the conversions make, in their order ------------------------------

def frame_calls(c, i):
    r = c.position.normalize()
    n = c.position.cross(c.velocity).normalize()  # C; i stands for the native C x R
    return Matrix4(r.x, r.y, r.z, 0, i.x, i.y, i.z, 0, n.x, n.y, n.z, 0, 0, 0, 0, 1)


def rate_calls(c):
    h = c.position.cross(c.velocity)
    k = 1.0 / c.position.magnitude() ** 2.0
    return h.multiply(k)


def floor_to_ric(x, c, i, w):
    frame_calls(c, i)
    x.position.subtract(c.position)
    rate_calls(c)
    x.velocity.subtract(c.velocity).subtract(w)
    return RIC(x.time, w, w)


def floor_to_eci(s, c, i, m):
    frame_calls(c, i)
    s.position.transform(m)
    s.velocity.transform(m)
    rate_calls(c)
    c.position, c.velocity
    return ECI(s.time, i, i)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    rep = args.repeat
    client = build_native_module("orbit_client")

    t, p, v = 1.0, Vector3(7000.0, 10.0, 20.0), Vector3(0.1, 7.5, 0.2)
    state = ECI(t, p, v)
    chief = ECI(0.0, Vector3(6990.0, -40.0, 5.0), Vector3(0.0, 7.52, 0.1))
    ric = state.to_ric(chief)
    rows = []

    construct, keywords, read, period = best_ns(
        [(lambda: ECI(t, p, v), 100000), (lambda: ECI(time=t, position=p, velocity=v), 100000),
         (lambda: state.position, 200000), (state.compute_period, 200000)], rep)
    rows.append(("`ECI(t, p, v)` from Python", construct, ""))
    rows.append(("`ECI(time=t, position=p, velocity=v)` from Python", keywords, "keyword values held for the call"))
    rows.append(("`state.position` from Python", read, ""))
    module, plain, override = native_ns(client, "ECI.compute_energy", [state, NoOverride(t, p, v), Override(t, p, v)],
                                        100000, 3 * rep)
    rows.append(("native `compute_energy`, ECI", module, ""))
    rows.append(("native `compute_energy`, subclass without override", plain, "%.2fx ECI (goal <= 1.5x)" % (plain / module)))
    rows.append(("native `compute_energy`, subclass with override", override, "%.1fx ECI" % (override / module)))
    rows.append(("`compute_period()` from Python", period, ""))

    r, vv, rc, vc = (np.array([a.x, a.y, a.z]) for a in (p, v, chief.position, chief.velocity))
    pr, qr = (np.array([a.x, a.y, a.z]) for a in (ric.position, ric.velocity))
    i = chief.eci_to_ric()
    in_track, w = Vector3(0, 1, 0), Vector3(0, 0, 1)
    to_ric, floor_ric, numpy_ric, hand_ric = best_ns([
        (lambda: state.to_ric(chief), 5000), (lambda: floor_to_ric(state, chief, in_track, w), 5000),
        (lambda: np_to_ric(r, vv, rc, vc), 200), (lambda: np_to_ric(r, vv, rc, vc, cross3), 500)], rep)
    to_eci, floor_eci, numpy_eci, hand_eci = best_ns([
        (lambda: ric.to_eci(chief), 5000), (lambda: floor_to_eci(ric, chief, in_track, i), 5000),
        (lambda: np_to_eci(pr, qr, rc, vc), 200), (lambda: np_to_eci(pr, qr, rc, vc, cross3), 500)], rep)
    check_ric, check_eci = np_to_ric(r, vv, rc, vc, cross3), np_to_eci(pr, qr, rc, vc, cross3)
    assert np.allclose(check_ric[0], [ric.position.x, ric.position.y, ric.position.z], rtol=0, atol=1e-9)
    assert np.allclose(check_eci[1], [v.x, v.y, v.z], rtol=0, atol=1e-12)
    for name, ours, numpy, hand, floor in [("`x.to_ric(c)`", to_ric, numpy_ric, hand_ric, floor_ric),
                                           ("`s.to_eci(c)`", to_eci, numpy_eci, hand_eci, floor_eci)]:
        rows.append((name, ours, "NumPy %.1fx / %.1fx slower (np.cross / cross by hand)" % (numpy / ours, hand / ours)))
        rows.append((name + " floor: its by-name calls alone, from Python", floor, "ours is %.2fx of it" % (ours / floor)))
    rows.append(("NumPy to_ric, np.cross (arrays in, arrays out)", numpy_ric, ""))
    rows.append(("NumPy to_ric, cross by hand", hand_ric, ""))
    rows.append(("NumPy to_eci, np.cross", numpy_eci, ""))
    rows.append(("NumPy to_eci, cross by hand", hand_eci, ""))

    print("Python %s, NumPy %s\n" % (sys.version.split()[0], np.__version__))
    print("| operation | ns per call | note |")
    print("|---|---:|---|")
    for name, ns, note in rows:
        print("| %s | %.1f | %s |" % (name, ns, note))


if __name__ == "__main__":
    main()
