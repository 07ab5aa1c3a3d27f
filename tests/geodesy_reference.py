"""High-precision geodetic reference on the module's ellipsoid, in mpmath, for the tests and the benchmark.

The geodetic latitude of an Earth-fixed point (x, y, z), p = hypot(x, y), is the root of
    f(phi) = p sin(phi) - z cos(phi) - e2 a sin(phi) cos(phi) / w,   w = sqrt(1 - e2 sin^2(phi)),
found by Newton's method at 34 significant digits; the height is then h = p cos(phi) + z sin(phi) - a w,
which has no cancellation anywhere. a and e2 are the exact doubles the module uses.
"""
import math
import random

from mpmath import mp, mpf

A = 6378.1374
E2 = 0.0066943799901414
DIGITS = 34

# Height bands (km) for the error tables: below the surface, low orbit, medium, out to beyond GEO.
BANDS = ((-100.0, 0.0), (0.0, 1000.0), (1000.0, 10000.0), (10000.0, 50000.0))


def geodetic(x, y, z):
    """(latitude deg, longitude deg in [0, 360), height km) of the point, as mpf."""
    with mp.workdps(DIGITS):
        a, e2 = mpf(A), mpf(E2)
        x, y, z = mpf(x), mpf(y), mpf(z)
        p = mp.sqrt(x * x + y * y)
        lon = mp.degrees(mp.atan2(y, x)) if p else mpf(0)
        if lon < 0:
            lon += 360
        if not p:
            lat = mpf(-90) if z < 0 else mpf(90)
            return lat, lon, abs(z) - a * mp.sqrt(1 - e2)
        phi = mp.atan2(z, p * (1 - e2))
        for _ in range(60):
            s, c = mp.sin(phi), mp.cos(phi)
            w = mp.sqrt(1 - e2 * s * s)
            f = p * s - z * c - e2 * a * s * c / w
            df = p * c + z * s - e2 * a * ((c * c - s * s) / w + e2 * s * s * c * c / w ** 3)
            step = f / df
            phi -= step
            if abs(step) < mpf(10) ** (4 - DIGITS):
                break
        else:
            raise ArithmeticError("reference did not converge at %r" % ((x, y, z),))
        s, c = mp.sin(phi), mp.cos(phi)
        h = p * c + z * s - a * mp.sqrt(1 - e2 * s * s)
        return mp.degrees(phi), lon, h


def efg(lat, lon, h):
    """Earth-fixed (x, y, z) km of geodetic latitude, longitude (degrees) and height (km), as mpf."""
    with mp.workdps(DIGITS):
        phi, lam = mp.radians(mpf(lat)), mp.radians(mpf(lon))
        s = mp.sin(phi)
        n = mpf(A) / mp.sqrt(1 - mpf(E2) * s * s)
        k = mp.cos(phi) * (n + h)
        return mp.cos(lam) * k, mp.sin(lam) * k, (n * (1 - mpf(E2)) + h) * s


def sample_points(count, seed=20240611):
    """`count` Earth-fixed points as doubles, with the geodetic height each was drawn at.

    Latitudes are drawn uniform in sin(latitude), and one point in four lies within 1e-9 to 1 degree of a
    pole (log-uniform offset); heights are uniform on -100 .. 50000 km for half the points and log-uniform
    from 1 m to 50000 km (either sign below 100 km) for the other half, so the surface is well covered."""
    rng = random.Random(seed)
    points = []
    for i in range(count):
        if i % 4 == 3:
            offset = 10.0 ** rng.uniform(-9.0, 0.0)
            lat = rng.choice((-1.0, 1.0)) * (mpf(90) - offset)
        else:
            lat = mpf(math.degrees(math.asin(rng.uniform(-1.0, 1.0))))
        lon = rng.uniform(-180.0, 540.0)
        if i % 2:
            h = rng.uniform(-100.0, 50000.0)
        else:
            h = 10.0 ** rng.uniform(-3.0, math.log10(50000.0))
            if h < 100.0 and rng.random() < 0.5:
                h = -h
        x, y, z = efg(lat, lon, h)
        points.append(((float(x), float(y), float(z)), h))
    return points


def band_of(height):
    for lo, hi in BANDS:
        if lo <= height < hi or (hi == BANDS[-1][1] and height == hi):
            return lo, hi
    raise ValueError(height)


class ErrorTable:
    """Largest errors per height band of a geodetic conversion against the reference: latitude and longitude
    in degrees, height and round-trip position in km."""

    COLUMNS = ("latitude", "longitude", "height", "round_trip")

    def __init__(self):
        self.worst = {band: dict.fromkeys(self.COLUMNS, 0.0) for band in BANDS}

    def add(self, band, **errors):
        row = self.worst[band]
        for name, value in errors.items():
            value = float(value)
            if not value <= row[name]:  # NaN is the worst of all
                row[name] = value

    def overall(self, name):
        values = [row[name] for row in self.worst.values()]
        return max(values, key=lambda v: math.inf if math.isnan(v) else v)


def measure(points, to_llh, to_efg=None, references=None):
    """Error table of `to_llh(x, y, z) -> (lat, lon, h)` and, if given, the round trip through
    `to_efg(lat, lon, h) -> (x, y, z)` on `points` (from sample_points). `references` may hold the
    precomputed geodetic() of each point."""
    table = ErrorTable()
    for i, ((x, y, z), height) in enumerate(points):
        ref = references[i] if references else geodetic(x, y, z)
        lat, lon, h = to_llh(x, y, z)
        dlon = abs(mpf(lon) - ref[1]) % 360
        errors = dict(latitude=abs(mpf(lat) - ref[0]), longitude=min(dlon, 360 - dlon), height=abs(mpf(h) - ref[2]))
        if to_efg is not None:
            bx, by, bz = to_efg(lat, lon, h)
            errors["round_trip"] = math.sqrt((bx - x) ** 2 + (by - y) ** 2 + (bz - z) ** 2)
        table.add(band_of(height), **errors)
    return table
