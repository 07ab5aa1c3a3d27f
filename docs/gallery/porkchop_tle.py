"""The ISS element set to a made-up depot 60 km higher: departures as UTC dates, so the axis reads in dates."""
import numpy as np

from vextal.astro.porkchop import porkchop
from vextal.astro.trajectory import TLE

iss = TLE("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
          "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006", name="ISS")
depot = TLE("1 99001U 24001A   24001.50000000  .00001000  00000-0  20000-4 0  9995",
            "2 99001  51.6400 247.6000 0010000 100.0000  20.0000 15.20000000    19")
departures = np.arange("2024-01-01T12:00", "2024-01-02T00:00", 5, dtype="datetime64[m]")
grid = porkchop(iss, depot, departures, np.linspace(1200, 2.5 * 3600, 100), max_revs=1)
grid.plot(optimum=grid.refine(), title="ISS to a depot 60 km higher").savefig("porkchop_tle.png", dpi=80)
