"""A day of departures from a 400 km orbit to a 1000 km orbit in a plane turned by half a degree: total
delta-v over departure and time of flight, with up to one revolution and the refined optimum."""
import numpy as np

from vextal.astro.porkchop import porkchop

chaser = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)   # (t, x, y, z, vx, vy, vz): km, km/s
target = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
grid = porkchop(chaser, target, np.linspace(0, 86400, 145), np.linspace(1200, 10800, 145), max_revs=1)
optimum = grid.refine()
grid.plot(optimum=optimum, title="400 km to 1000 km, one day of departures").savefig("porkchop.png", dpi=80)
