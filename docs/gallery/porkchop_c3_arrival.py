"""Earth to Mars around the Sun in the 1996 window: C3 over departure and arrival dates, the classic
interplanetary layout with lines of equal time of flight."""
import numpy as np

from vextal.astro.porkchop import MU_SUN, porkchop

DAY = 86400.0
earth = (0.0, 104993438.457710, 104655358.391231, 716.927633, -21.5151093131, 20.9864363198, 0.000143764795)
mars = (309 * DAY, -20858575.2522297, -218416862.745306, -4062454.19079935, 25.0371786720, -0.223108487098,
        -0.620177762977)
window = porkchop(earth, mars, np.linspace(-40 * DAY, 40 * DAY, 81), np.linspace(200 * DAY, 360 * DAY, 81),
                  mu=MU_SUN)
figure = window.plot(which="c3", axes="arrival", levels=12, epoch=1478476800.0,   # 1996-11-07 0h UTC
                     title="Earth to Mars, C3 (km²/s²)")
figure.savefig("porkchop_c3_arrival.png", dpi=80)
