"""The first picture's window with both orbits moved under J2, and its optimum corrected to arrive under J2."""
import numpy as np

from vextal.astro.porkchop import porkchop

chaser = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
target = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
grid = porkchop(chaser, target, np.linspace(0, 86400, 145), np.linspace(1200, 10800, 145), max_revs=1,
                model="j2")
transfer = grid.refine()   # shooting under J2 from the best cell
grid.plot(optimum=transfer, title="Under J2: miss %.1e km" % transfer.miss_km).savefig("porkchop_j2.png", dpi=80)
