"""vextal.astro.multirev_arcs.LambertProblem against published cases and independent references."""
import ctypes
import gc
import math
import pickle
import random
import struct
import sys
import weakref

import pytest
from mpmath import mp, mpf

from twobody_reference import (AU, EPS, MU_EARTH, MU_SUN, cross, dot, lambert_lambda_T, min_tof, norm,
                               propagate_classical, propagate_mp, rel_diff)
from conftest import leaked_blocks
from vextal.astro.multirev_arcs import LambertProblem
from vextal.vector3 import Vector3


def solve(r1, r2, tof, mu, prograde=True, max_revs=0):
    return LambertProblem(Vector3(*r1), Vector3(*r2), tof, mu, prograde, max_revs)


def velocities(problem, i):
    return list(problem.departure_velocities[i].to_tuple()), list(problem.arrival_velocities[i].to_tuple())


# ---- published cases -----------------------------------------------------------------------------------------

DER_R1 = (22592.145603, -1599.915239, -19783.950506)
DER_R2 = (1922.067697, 4054.157051, -8925.727465)

# (name, r1, r2, tof, mu, prograde, max_revs, solution index, v1, v2 or None, tolerance)
PUBLISHED = [
    ("Vallado 7-5", (15945.34, 0.0, 0.0), (12214.83899, 10249.46731, 0.0), 76 * 60.0, 398600.4418, True, 0, 0,
     (2.058913, 2.915965, 0.0), (-3.451565, 0.910315, 0.0), 1e-6),
    ("Curtis 5.2", (5000.0, 10000.0, 2100.0), (-14600.0, 2500.0, 7000.0), 3600.0, 398600.0, True, 0, 0,
     (-5.9925, 1.9254, 3.2456), (-3.3125, -4.1966, -0.38529), 1e-4),
    # Der, "The superior Lambert algorithm" (2011): one problem, every arc up to one revolution.
    ("Der 0-rev prograde", DER_R1, DER_R2, 36000.0, 398600.4418, True, 0, 0,
     (2.000652697, 0.387688615, -2.666947760), (-3.79246619, -1.77707641, 6.856814395), 1e-8),
    ("Der 0-rev retrograde", DER_R1, DER_R2, 36000.0, 398600.4418, False, 0, 0,
     (2.96616042, -1.27577231, -0.75545632), None, 1e-8),
    ("Der 1-rev prograde, left", DER_R1, DER_R2, 36000.0, 398600.4418, True, 1, 1,
     (0.50335770, 0.61869408, -1.57176904), (-4.18334626, -1.13262727, 6.13307091), 1e-8),
    ("Der 1-rev prograde, right", DER_R1, DER_R2, 36000.0, 398600.4418, True, 1, 2,
     (-2.45759553, 1.16945801, 0.43161258), (-5.53841370, 0.01822220, 5.49641054), 1e-6),
    ("Der 1-rev retrograde, left", DER_R1, DER_R2, 36000.0, 398600.4418, False, 1, 1,
     (1.33645655, -0.94654565, 0.30211211), None, 1e-8),
    ("Der 1-rev retrograde, right", DER_R1, DER_R2, 36000.0, 398600.4418, False, 1, 2,
     (-1.38861608, -0.47836611, 2.21280154), None, 1e-8),
]


@pytest.mark.parametrize("name, r1, r2, tof, mu, prograde, max_revs, index, v1, v2, tol", PUBLISHED,
                         ids=[case[0] for case in PUBLISHED])
def test_published_cases(name, r1, r2, tof, mu, prograde, max_revs, index, v1, v2, tol):
    problem = solve(r1, r2, tof, mu, prograde, max_revs)
    got1, got2 = velocities(problem, index)
    assert max(abs(a - b) for a, b in zip(got1, v1)) <= tol
    if v2 is not None:
        assert max(abs(a - b) for a, b in zip(got2, v2)) <= tol
    # and the arc really connects r1 to r2 in tof
    r, v = propagate_mp(r1, got1, tof, mu)
    assert rel_diff(r, r2) < 1e-13 and rel_diff(v, got2) < 1e-13


def shoot(r1, r2, tof, mu, v1, dps=40):
    """The departure velocity that reaches r2, by Newton on v1 with 40-digit propagation (no Lambert theory)."""
    with mp.workdps(dps):
        v = [mpf(x) for x in v1]
        h = mpf(10) ** -18
        for _ in range(3):
            r = propagate_mp(r1, v, tof, mu, dps, exact=True)[0]
            J = mp.matrix(3, 3)
            for j in range(3):
                vp = list(v)
                vp[j] += h
                rp = propagate_mp(r1, vp, tof, mu, dps, exact=True)[0]
                for i in range(3):
                    J[i, j] = (rp[i] - r[i]) / h
            dv = mp.lu_solve(J, mp.matrix([a - mpf(b) for a, b in zip(r, r2)]))
            v = [v[i] - dv[i] for i in range(3)]
        return v


@pytest.mark.parametrize("prograde", [True, False])
def test_three_revolution_arcs_match_shooting(prograde):
    # GEO-like transfer with time for three revolutions: every arc's departure velocity agrees with the
    # velocity found by shooting on 40-digit propagation, to the rounding of a double.
    r1, r2, tof = (42164.0, 0.0, 0.0), (-20000.0, 35000.0, 3000.0), 3.6 * 86164.0
    problem = solve(r1, r2, tof, MU_EARTH, prograde, 3)
    assert problem.revolutions == [0, 1, 1, 2, 2, 3, 3]
    for i in range(problem.solution_count()):
        v1, _ = velocities(problem, i)
        exact = shoot(r1, r2, tof, MU_EARTH, v1)
        err = math.sqrt(sum((float(e) - a) ** 2 for e, a in zip(exact, v1))) / norm(v1)
        assert err < 8 * EPS, (i, err)


# ---- random problems -----------------------------------------------------------------------------------------

def random_problems(seed, count, helio):
    rng = random.Random(seed)
    mu = MU_SUN if helio else MU_EARTH
    rmin, rmax = (0.3 * AU, 30 * AU) if helio else (6600.0, 42200.0)
    problems = []
    for _ in range(count):
        radii = [rmin * (rmax / rmin) ** rng.random() for _ in range(2)]
        vectors = []
        for R in radii:
            u = [rng.gauss(0, 1) for _ in range(3)]
            n = norm(u)
            vectors.append(tuple(R * x / n for x in u))
        a = 0.5 * sum(radii)
        tof = 2 * math.pi * math.sqrt(a ** 3 / mu) * 10 ** rng.uniform(-2, 1.4)  # 0.01 to 25 periods
        problems.append((vectors[0], vectors[1], tof, mu, rng.random() < 0.5, rng.randint(0, 20)))
    return problems


def feasible_revolutions(r1, r2, tof, mu, prograde, max_revs):
    """Largest N <= max_revs whose minimum time of flight (golden-section search on Lagrange's T) is within
    tof; None when T lies within 1e-9 of a minimum (too close to call)."""
    lam, T = lambert_lambda_T(r1, r2, tof, mu, prograde)
    n = 0
    for N in range(1, max_revs + 1):
        t_min = min_tof(N, lam)
        if abs(t_min - T) < 1e-9 * T:
            return None
        if t_min > T:
            break
        n = N
    return n


def arrival_tolerance(r1, r2, v1, v2, tof, mu):
    """1e-11, or where the problem is more sensitive, a few ulps times its condition: on the departure
    velocity (|dr2/dv1| |v1| / |r2| by differences) and on the time (|v2| tof / |r2|)."""
    h = 1e-7 * norm(v1)
    J = 0.0
    for j in range(3):
        vp, vm = list(v1), list(v1)
        vp[j] += h
        vm[j] -= h
        rp, _, _ = propagate_classical(r1, vp, tof, mu)
        rm, _, _ = propagate_classical(r1, vm, tof, mu)
        J += sum(((a - b) / (2 * h)) ** 2 for a, b in zip(rp, rm))
    condition = math.sqrt(J) * norm(v1) / norm(r2) + norm(v2) * tof / norm(r2)
    return max(1e-11, 8 * EPS * condition)


@pytest.mark.parametrize("helio", [False, True], ids=["LEO-GEO", "heliocentric"])
def test_random_problems(helio):
    problems = random_problems(11 + helio, 2000, helio)
    total = 0
    for r1, r2, tof, mu, prograde, max_revs in problems:
        p = solve(r1, r2, tof, mu, prograde, max_revs)
        n = len(p.departure_velocities)
        assert n == len(p.arrival_velocities) == 1 + 2 * p.max_revs and p.requested_max_revs == max_revs
        expected = feasible_revolutions(r1, r2, tof, mu, prograde, max_revs)
        if expected is not None:
            assert p.max_revs == expected
        assert p.revolutions == [0] + [N for N in range(1, p.max_revs + 1) for _ in (0, 1)]
        for i in range(n):
            v1, v2 = velocities(p, i)
            assert all(math.isfinite(c) for c in v1 + v2)
            h = cross(r1, v1)
            assert (h[2] > 0) == prograde  # direction by angular momentum, whatever the transfer angle
            r, v = propagate_classical(r1, v1, tof, mu)[:2]
            err = max(rel_diff(r, r2), rel_diff(v, v2))
            if err > 1e-11:
                assert err <= arrival_tolerance(r1, r2, v1, v2, tof, mu), (r1, r2, tof, prograde, i, err)
            if i and i % 2 == 0:
                assert p.x[i - 1] < p.x[i]  # left branch before right
        total += n
    assert total > 8000


def test_mean_iterations_stay_small():
    iterations = []
    for r1, r2, tof, mu, prograde, max_revs in random_problems(5, 300, False):
        iterations += solve(r1, r2, tof, mu, prograde, max_revs).iterations
    assert min(iterations) >= 1 and sum(iterations) / len(iterations) < 4


def test_random_arcs_against_forty_digit_propagation():
    worst = 0.0
    for r1, r2, tof, mu, prograde, max_revs in random_problems(23, 15, True) + random_problems(29, 15, False):
        p = solve(r1, r2, tof, mu, prograde, max_revs)
        for i in range(0, p.solution_count(), 3):
            v1, v2 = velocities(p, i)
            r, v = propagate_mp(r1, v1, tof, mu)
            err = max(rel_diff(r, r2), rel_diff(v, v2))
            worst = max(worst, err / arrival_tolerance(r1, r2, v1, v2, tof, mu))
    assert worst <= 1.0


# ---- geometry and direction ---------------------------------------------------------------------------------

@pytest.mark.parametrize("prograde", [True, False])
@pytest.mark.parametrize("r2", [(-20000.0, 3000.0, 1000.0), (-20000.0, -3000.0, 1000.0), (5000.0, 9000.0, -8000.0)])
def test_transfer_direction_and_angle(prograde, r2):
    r1 = (7000.0, 0.0, 100.0)
    p = solve(r1, r2, 9000.0, MU_EARTH, prograde, 2)
    geometric_z = cross(r1, r2)[2]
    long_way = (geometric_z > 0) != prograde
    assert (p.lambda_ < 0) == long_way  # lambda < 0 exactly when the transfer angle exceeds 180 degrees
    for i in range(p.solution_count()):
        v1, _ = velocities(p, i)
        assert (cross(r1, v1)[2] > 0) == prograde


def test_polar_plane_rule():
    # r1 and r2 span a plane containing the z axis: prograde goes the short way, retrograde the long way.
    r1, r2 = (7000.0, 0.0, 0.0), (0.0, 0.0, 8000.0)
    normal = cross(r1, r2)
    for prograde, sign in ((True, 1), (False, -1)):
        v1, _ = velocities(solve(r1, r2, 3000.0, MU_EARTH, prograde), 0)
        assert sign * dot(cross(r1, v1), normal) > 0


@pytest.mark.parametrize("relative", [0.0, 1e-12, -1e-12, 1e-7, -1e-7, 1e-3, -1e-3])
@pytest.mark.parametrize("r2", [(-3000.0, 9000.0, 2000.0), (9000.0, -1000.0, 500.0), (-9000.0, -800.0, 300.0)])
def test_near_parabolic_arcs(relative, r2):
    # tof at and around the parabolic time, T = 2/3 (1 - lambda^3): x is within 1e-3 of 1, where T(x) and
    # its derivatives need their series forms.
    r1 = (7000.0, 0.0, 0.0)
    lam, T_per_second = lambert_lambda_T(r1, r2, 1.0, MU_EARTH, True)
    tof = 2.0 / 3.0 * (1 - lam) * (1 + lam + lam * lam) / T_per_second * (1 + relative)
    p = solve(r1, r2, tof, MU_EARTH, True)
    assert abs(p.x[0] - 1) < 1e-2 and (p.x[0] - 1) * relative <= 0
    v1, v2 = velocities(p, 0)
    r, v = propagate_mp(r1, v1, tof, MU_EARTH)
    assert rel_diff(r, r2) < 1e-13 and rel_diff(v, v2) < 1e-13


@pytest.mark.parametrize("angle", [1e-9, 1e-6, 1e-3])
@pytest.mark.parametrize("near", ["0 degrees", "180 degrees"])
def test_nearly_collinear_positions_still_solve(angle, near):
    # Just off the collinear cases that are refused: the plane is fixed by the small offset and every arc
    # must still reach r2.
    R2 = 9000.0 if near == "0 degrees" else -9000.0
    r1, r2 = (7000.0, 0.0, 0.0), (R2 * math.cos(angle), abs(R2) * math.sin(angle), 0.0)
    p = solve(r1, r2, 8000.0, MU_EARTH, True, 1)
    for i in range(p.solution_count()):
        v1, v2 = velocities(p, i)
        r, v = propagate_mp(r1, v1, 8000.0, MU_EARTH)
        assert rel_diff(r, r2) < 1e-12 and rel_diff(v, v2) < 1e-12


def test_absurd_revolution_counts_are_refused():
    with pytest.raises(ValueError, match="more than 100000 revolutions"):
        solve((7000.0, 0.0, 0.0), (0.0, 8000.0, 0.0), 1e12, MU_EARTH, True, 10 ** 9)
    with pytest.raises(OverflowError):
        solve((7000.0, 0.0, 0.0), (0.0, 8000.0, 0.0), 1e4, MU_EARTH, True, 2 ** 40)


@pytest.mark.parametrize("fraction", [0.01, 0.3, 0.46, 0.475])
def test_max_revs_is_cropped_to_what_the_time_allows(fraction):
    # T just above 5 pi: five revolutions are possible only if T exceeds their minimum time (5.4719 pi
    # here), which the solver has to find, T being below T(x = 0) = 5.484 pi.
    r1, r2 = (7000.0, 0.0, 0.0), (0.0, 8000.0, 0.0)
    tof = (5 + fraction) * math.pi / lambert_lambda_T(r1, r2, 1.0, MU_EARTH, True)[1]
    p = solve(r1, r2, tof, MU_EARTH, True, 1000)
    assert p.requested_max_revs == 1000 and p.max_revs == feasible_revolutions(r1, r2, tof, MU_EARTH, True, 1000)
    assert p.max_revs == (5 if fraction > 0.4719 else 4) and p.solution_count() == 1 + 2 * p.max_revs
    assert p.min_time_iterations > 0  # deciding on N = 5 took the minimum-time search


def test_record_fields():
    r1, r2 = Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 500.0)
    p = LambertProblem(r1, r2, 20000.0, MU_EARTH, False, 1)
    assert p.r1 is r1 and p.r2 is r2  # the positions as given, shared like a state's vectors
    assert (p.tof, p.mu, p.is_prograde, p.requested_max_revs) == (20000.0, MU_EARTH, False, 1)
    c = norm([b - a for a, b in zip(r1.to_tuple(), r2.to_tuple())])
    assert p.chord == c and p.semiperimeter == 0.5 * (7000.0 + norm(r2.to_tuple()) + c)
    lam, T = lambert_lambda_T(r1=(7000.0, 0.0, 0.0), r2=(0.0, 8000.0, 500.0), tof=20000.0, mu=MU_EARTH,
                              prograde=False)
    assert abs(p.lambda_ - lam) < 1e-15 and abs(p.nondimensional_tof - T) < 1e-14 * T
    n = p.solution_count()
    assert n == 3 and p.solution(2) == (p.departure_velocities[2], p.arrival_velocities[2])
    with pytest.raises(IndexError):
        p.solution(n)
    # revolutions, iterations and x unpack solution_data: (double, int32, int32) per solution
    data = p.solution_data
    assert isinstance(data, bytes) and len(data) == 16 * n
    unpacked = [struct.unpack_from("<dii", data, 16 * i) for i in range(n)]
    assert p.x == [u[0] for u in unpacked] and p.revolutions == [0, 1, 1] == [u[1] for u in unpacked]
    assert p.iterations == [u[2] for u in unpacked] and p.x is not p.x
    # the record layout other modules read: the velocity lists are the third and fourth fields
    base = id(p)
    assert ctypes.c_void_p.from_address(base + 40).value == id(p.departure_velocities)
    assert ctypes.c_void_p.from_address(base + 48).value == id(p.arrival_velocities)
    assert ctypes.c_void_p.from_address(base + 24).value == id(r1)
    assert LambertProblem.__basicsize__ == 128
    assert type(LambertProblem.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


def test_subclass_goes_through_the_constructor():
    class Named(LambertProblem):
        def __init__(self, *args, name="arc"):
            self.name = name

    p = Named(Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 0.0), 3000.0, MU_EARTH, True, 0)
    q = LambertProblem(Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 0.0), 3000.0, MU_EARTH, True, 0)
    assert p.name == "arc" and p.departure_velocities == q.departure_velocities and p.x == q.x


def test_native_table_honours_python_overrides():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(LambertProblem.__dict__["__pyx_vtable__"], None)
    entries = (ctypes.c_void_p * 2).from_address(table)
    solution_count = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)(entries[0])
    solution = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int, ctypes.c_int)(entries[1])

    class Sub(LambertProblem):
        def solution_count(self):
            return 42

        def solution(self, index):
            return ("override", index)

    args = (Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 0.0), 30000.0, MU_EARTH, True, 1)
    plain, sub = LambertProblem(*args), Sub(*args)
    assert solution_count(plain, 0) == 3 and solution(plain, 1, 0) == plain.solution(1)
    assert solution_count(sub, 0) == 42 and solution(sub, 2, 0) == ("override", 2)
    assert solution_count(sub, 1) == 3 and solution(sub, 2, 1) == plain.solution(2)
    with pytest.raises(IndexError, match="out of range"):
        solution(plain, 3, 0)


def test_cycles_through_the_record_are_collected():
    class Sub(LambertProblem):
        pass

    p = Sub(Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 0.0), 3000.0, MU_EARTH)
    p.departure_velocities.append(p)
    alive = weakref.ref(p)
    del p
    gc.collect()
    assert alive() is None


def test_construction_from_a_finaliser_does_not_take_over_the_record():
    # A collection while the record is allocated runs a finaliser that constructs another problem; the
    # record being built must keep its own solutions.
    r1, r2 = Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 0.0)
    inner = []

    class Finaliser:
        def __del__(self):
            inner.append(LambertProblem(Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 7100.0, 100.0), 1000.0, MU_EARTH))

    expected = LambertProblem(r1, r2, 3 * 86400.0, MU_EARTH, True, 5)
    threshold = gc.get_threshold()
    try:
        for _ in range(20):
            cycle = Finaliser()
            cycle.me = cycle
            del cycle
            gc.set_threshold(1)
            p = LambertProblem(r1, r2, 3 * 86400.0, MU_EARTH, True, 5)
            gc.set_threshold(*threshold)
            assert (p.max_revs, p.solution_count(), p.x) == (5, 11, expected.x)
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert inner and all(q.solution_count() == 1 for q in inner)


# ---- bad input ----------------------------------------------------------------------------------------------

V = Vector3
BAD = [
    ((V(0, 0, 0), V(0, 8000, 0), 1000.0, MU_EARTH), ValueError, "non-zero length"),
    ((V(7000, 0, 0), V(0, 0, 0), 1000.0, MU_EARTH), ValueError, "non-zero length"),
    ((V(7000, 0, 0), V(-9000, 0, 0), 1000.0, MU_EARTH), ValueError, "collinear"),
    ((V(7000, 0, 0), V(9000, 0, 0), 1000.0, MU_EARTH), ValueError, "collinear"),
    ((V(7000, 0, 0), V(7000, 0, 0), 1000.0, MU_EARTH), ValueError, "collinear"),
    ((V(math.nan, 0, 0), V(0, 8000, 0), 1000.0, MU_EARTH), ValueError, "finite"),
    ((V(7000, 0, 0), V(0, math.inf, 0), 1000.0, MU_EARTH), ValueError, "finite"),
    ((V(7000, 0, 0), V(0, 8000, 0), math.nan, MU_EARTH), ValueError, "finite"),
    ((V(7000, 0, 0), V(0, 8000, 0), 0.0, MU_EARTH), ValueError, "time of flight must be positive"),
    ((V(7000, 0, 0), V(0, 8000, 0), -100.0, MU_EARTH), ValueError, "time of flight must be positive"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0, 0.0), ValueError, "mu must be positive"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0, -3.0), ValueError, "mu must be positive"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0, math.inf), ValueError, "finite"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0, MU_EARTH, True, -1), ValueError, "max_revs must not be negative"),
    ((V(1e300, 0, 0), V(0, 1e300, 0), 1000.0, MU_EARTH), ValueError, "overflow"),
    ((None, V(0, 8000, 0), 1000.0, MU_EARTH), TypeError, "Cannot convert NoneType"),
    (((7000, 0, 0), V(0, 8000, 0), 1000.0, MU_EARTH), TypeError, "Argument 'r1' has incorrect type"),
    ((V(7000, 0, 0), V(0, 8000, 0), "1000", MU_EARTH), TypeError, "must be real number"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0, MU_EARTH, True, "3"), TypeError, "integer"),
    ((V(7000, 0, 0), V(0, 8000, 0), 1000.0), TypeError, "at least 4 positional"),
]


@pytest.mark.parametrize("args, error, text", BAD)
def test_bad_input(args, error, text):
    with pytest.raises(error, match=text):
        LambertProblem(*args)


@pytest.mark.parametrize("tof", [1e-9, 1e-3, 1.0, 1e5, 1e8, 1e11])
@pytest.mark.parametrize("mu", [1e-10, 1.0, MU_EARTH, 1e20])
def test_extreme_scales_solve_or_refuse_but_never_give_nan(tof, mu):
    try:
        p = solve((7000.0, 0.0, 0.0), (0.0, 8000.0, 0.0), tof, mu, True, 5)
    except ValueError as e:
        assert "overflow" in str(e)
        return
    for v in p.departure_velocities + p.arrival_velocities:
        assert all(math.isfinite(c) for c in v.to_tuple())


def test_pickling_refused():
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(solve((7000.0, 0.0, 0.0), (0.0, 8000.0, 0.0), 3000.0, MU_EARTH))


# ---- references -----------------------------------------------------------------------------------------------

def _leak_calls():
    """One pass over success and failure paths of the three modules."""
    from vextal.astro import root
    from vextal.astro.kepler import propagate_lagrangian
    a, b = Vector3(7000.0, 0.0, 0.0), Vector3(0.0, 8000.0, 500.0)
    p = LambertProblem(a, b, 30000.0, MU_EARTH, True, 2)
    p.x, p.revolutions, p.solution(1), p.solution_data
    for args in ((a, a, 1000.0, MU_EARTH), (a, b, -1.0, MU_EARTH), (None, b, 1.0, 1.0)):
        try:
            LambertProblem(*args)
        except (ValueError, TypeError):
            pass
    propagate_lagrangian(a, Vector3(0.0, 7.5, 0.0), 100.0, MU_EARTH)
    try:
        propagate_lagrangian(a, Vector3(0.0, 7.5, 0.0), 100.0, -1.0)
    except ValueError:
        pass
    root.bracket_and_solve_root(root.TestEquationBinding(2.0), 1.0, 2.0)
    try:
        root.bracket_and_solve_root(root.RootFunctionBinding(), 1.0, 2.0)
    except NotImplementedError:
        pass


def test_no_references_leak():
    def run(count):
        for _ in range(count):
            _leak_calls()

    assert leaked_blocks(run, 2000) < 50
