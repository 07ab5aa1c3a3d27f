"""Independent two-body references for the Kepler and Lambert tests, in plain Python and mpmath.

Nothing here shares code or method with the C++ numerics: propagation goes through the classical eccentric and
hyperbolic anomalies (Kepler's equation per conic) or, in mpmath, through the universal variable at 40 digits;
Lambert's time of flight is Lagrange's closed form, and the minimum time per revolution count comes from a
golden-section search.
"""
import math

from mpmath import mp, mpf

EPS = 2.220446049250313e-16
MU_EARTH = 398600.4418
MU_SUN = 1.32712440018e11
AU = 1.495978707e8


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def norm(a):
    return math.sqrt(dot(a, a))


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def rel_diff(a, b):
    return norm([x - y for x, y in zip(a, b)]) / norm(b)


def _solve_monotone(f, df, x, lo, hi):
    """Newton kept inside [lo, hi] (f increasing, f(lo) < 0 < f(hi)), bisecting when a step leaves it."""
    for _ in range(200):
        y = f(x)
        if y == 0:
            return x
        if y < 0:
            lo = x
        else:
            hi = x
        step = y / df(x)
        nxt = x - step
        if not lo < nxt < hi:
            nxt = 0.5 * (lo + hi)
        if abs(nxt - x) <= 2 * EPS * abs(x) or hi - lo <= 2 * EPS * max(abs(lo), abs(hi)):
            return nxt
        x = nxt
    return x


def propagate_classical(r0, v0, dt, mu):
    """(r, v) after dt through the eccentric or hyperbolic anomaly, in doubles. Returns also the anomaly
    change (radians) for starting a high-precision solve."""
    r = norm(r0)
    sig = dot(r0, v0)
    alpha = 2.0 / r - dot(v0, v0) / mu  # 1 / a
    h = cross(r0, v0)
    e = math.sqrt(max(0.0, 1.0 - dot(h, h) * alpha / mu))
    if alpha > 0:
        a = 1.0 / alpha
        n = math.sqrt(mu * alpha ** 3)
        ec, es = 1.0 - r * alpha, sig / math.sqrt(mu * a)
        E0 = math.atan2(es, ec)
        M = E0 - es + n * dt
        turns = math.floor((M + math.pi) / (2 * math.pi))
        Mr = M - 2 * math.pi * turns
        E = _solve_monotone(lambda E: E - e * math.sin(E) - Mr, lambda E: 1 - e * math.cos(E),
                            Mr + 0.85 * e * math.copysign(1.0, math.sin(Mr)), -math.pi - 1, math.pi + 1)
        dE = E + 2 * math.pi * turns - E0
        f = 1 - a / r * (1 - math.cos(dE))
        g = dt - (dE - math.sin(dE)) / n
        rr = a * (1 - e * math.cos(E))
        fd = -math.sqrt(mu * a) * math.sin(dE) / (rr * r)
        gd = 1 - a / rr * (1 - math.cos(dE))
        anomaly = dE
        s = dE / math.sqrt(mu * alpha)
    else:
        a = 1.0 / alpha
        n = math.sqrt(-mu * alpha ** 3)
        es = sig / math.sqrt(-mu * a)
        F0 = math.asinh(es / e)
        M = es - F0 + n * dt
        F = _solve_monotone(lambda F: e * math.sinh(F) - F - M, lambda F: e * math.cosh(F) - 1,
                            math.asinh(M / e), -800.0, 800.0)
        dF = F - F0
        f = 1 - a / r * (1 - math.cosh(dF))
        g = dt - (math.sinh(dF) - dF) / n
        rr = a * (1 - e * math.cosh(F))
        fd = -math.sqrt(-mu * a) * math.sinh(dF) / (rr * r)
        gd = 1 - a / rr * (1 - math.cosh(dF))
        s = dF / math.sqrt(-mu * alpha)
    return ([f * x + g * y for x, y in zip(r0, v0)], [fd * x + gd * y for x, y in zip(r0, v0)], s)


def _stumpff(z):
    """c2, c3 at mpmath precision."""
    if abs(z) < mpf("0.5"):
        c2 = c3 = mpf(0)
        t2, t3 = mpf(1) / 2, mpf(1) / 6
        k = 0
        while abs(t2) > mpf(10) ** (-mp.dps - 5):
            c2 += t2
            c3 += t3
            t2 *= -z / ((2 * k + 3) * (2 * k + 4))
            t3 *= -z / ((2 * k + 4) * (2 * k + 5))
            k += 1
        return c2, c3
    if z > 0:
        a = mp.sqrt(z)
        return (1 - mp.cos(a)) / z, (a - mp.sin(a)) / (z * a)
    a = mp.sqrt(-z)
    return (mp.cosh(a) - 1) / -z, (mp.sinh(a) - a) / (-z * a)


def propagate_mp(r0, v0, dt, mu, dps=40, exact=False):
    """(r, v) after dt by the universal Kepler equation at `dps` digits, started from the classical solution.
    The inputs may be mpf; with exact=True the result stays in mpf."""
    with mp.workdps(dps):
        R0 = [mpf(x) for x in r0]
        V0 = [mpf(x) for x in v0]
        DT, MU = mpf(dt), mpf(mu)
        rn = mp.sqrt(sum(x * x for x in R0))
        sig = sum(x * y for x, y in zip(R0, V0))
        beta = 2 * MU / rn - sum(x * x for x in V0)

        def terms(s):
            c2, c3 = _stumpff(beta * s * s)
            return 1 - beta * s * s * c2, s * (1 - beta * s * s * c3), s * s * c2, s ** 3 * c3

        s = mpf(propagate_classical([float(x) for x in r0], [float(x) for x in v0], float(dt), float(mu))[2])
        for _ in range(60):
            u0, u1, u2, u3 = terms(s)
            step = (rn * u1 + sig * u2 + MU * u3 - DT) / (rn * u0 + sig * u1 + MU * u2)
            s -= step
            if abs(step) <= abs(s) * mpf(10) ** (-dps + 3):
                break
        u0, u1, u2, u3 = terms(s)
        r = rn * u0 + sig * u1 + MU * u2
        f, g = 1 - MU * u2 / rn, rn * u1 + sig * u2
        fd, gd = -MU * u1 / (r * rn), 1 - MU * u2 / r
        rv = [f * x + g * y for x, y in zip(R0, V0)]
        vv = [fd * x + gd * y for x, y in zip(R0, V0)]
        return (rv, vv) if exact else ([float(x) for x in rv], [float(x) for x in vv])


# ---- Lambert geometry and time of flight ------------------------------------------------------------------

def lambert_lambda_T(r1, r2, tof, mu, prograde):
    """Izzo's lambda (signed by the transfer direction) and non-dimensional T."""
    R1, R2 = norm(r1), norm(r2)
    c = norm([b - a for a, b in zip(r1, r2)])
    s = 0.5 * (R1 + R2 + c)
    lam = math.sqrt(max(0.0, 1.0 - c / s))
    hz = cross(r1, r2)[2]
    short = (hz > 0) == prograde if hz != 0 else prograde
    return (lam if short else -lam), tof * math.sqrt(2 * mu / s ** 3)


def tof_lagrange(x, N, lam):
    """Lagrange's form of T(x) for N revolutions (elliptic x in (-1, 1))."""
    a = 1.0 / (1.0 - x * x)
    alpha = 2 * math.acos(x)
    beta = math.copysign(2 * math.asin(math.sqrt(lam * lam / a)), lam)
    return a * math.sqrt(a) * ((alpha - math.sin(alpha)) - (beta - math.sin(beta)) + 2 * math.pi * N) / 2


def min_tof(N, lam):
    """Minimum of T over x in (-1, 1) for N >= 1 revolutions, by golden-section search."""
    lo, hi = -1 + 1e-12, 1 - 1e-12
    g = (math.sqrt(5) - 1) / 2
    a, b = hi - g * (hi - lo), lo + g * (hi - lo)
    fa, fb = tof_lagrange(a, N, lam), tof_lagrange(b, N, lam)
    for _ in range(120):
        if fa < fb:
            hi, b, fb = b, a, fa
            a = hi - g * (hi - lo)
            fa = tof_lagrange(a, N, lam)
        else:
            lo, a, fa = a, b, fb
            b = lo + g * (hi - lo)
            fb = tof_lagrange(b, N, lam)
    return min(fa, fb)
