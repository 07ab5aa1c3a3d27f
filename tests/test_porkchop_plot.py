"""The porkchop picture: every quantity and both axis layouts render with their labels, contour labels, legend
and an optimum inside the view; dates from an epoch; the colour levels; the 180-degree ridge it draws."""
import datetime
import math
import re

import numpy as np
import pytest

from test_porkchop import CHASER, HOHMANN_TOF, MU, R1, R2, TARGET, circular
from vextal.astro._cli_porkchop import example
from vextal.astro._porkchop_plot import ridge_function
from vextal.astro.kepler import propagate_lagrangian_u
from vextal.astro.orbitvector import ECI
from vextal.astro.porkchop import porkchop
from vextal.vector3 import Vector3

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.dates  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.contour import ContourSet  # noqa: E402

EPOCH_2030 = (datetime.date(2030, 1, 1) - datetime.date(1950, 1, 1)).days * 86400.0  # s since 1950 UTC
COLOUR_BAR = {"total": "total delta-v (km/s)", "departure": "departure delta-v (km/s)",
              "arrival": "arrival delta-v (km/s)", "c3": "C3, departure v-infinity squared (km²/s²)"}


@pytest.fixture(scope="module")
def window():
    """The command line's example window, coarser: two revolution counts, 180-degree ridges, an inner optimum;
    unscreened, so that every cell has an arc (the hatching of screened cells has its own test)."""
    e = example()
    return porkchop(e["chaser"], e["target"], np.linspace(0.0, 86400.0, 49), np.linspace(1200.0, 10800.0, 49),
                    max_revs=1, min_radius=0)


def marker_margin(fig, ax):
    """Pixels between the optimum marker's centre and the nearest edge of the axes (negative: outside)."""
    fig.canvas.draw()
    marker = [line for line in ax.lines if line.get_label() == "optimum"][0]
    x, y = ax.transData.transform((marker.get_xdata()[0], marker.get_ydata()[0]))
    box = ax.get_window_extent()
    return min(x - box.x0, box.x1 - x, y - box.y0, box.y1 - y)


@pytest.mark.parametrize("epoch", [None, EPOCH_2030])
@pytest.mark.parametrize("axes", ["tof", "arrival"])
@pytest.mark.parametrize("which", ["total", "departure", "arrival", "c3"])
def test_every_layout_renders_with_its_labels(window, which, axes, epoch, tmp_path):
    fig = window.plot(which=which, axes=axes, epoch=epoch)
    ax = fig.axes[0]
    fig.savefig(tmp_path / "p.png", dpi=100)
    assert plt.imread(tmp_path / "p.png").shape[:2] == (500, 700)
    assert fig.axes[1].get_ylabel() == COLOUR_BAR[which]
    assert ax.get_xlabel() == ("departure date (UTC)" if epoch else "departure after chaser epoch (hours)")
    assert ax.get_ylabel() == {"tof": "time of flight (hours)", "arrival": (
        "arrival date (UTC)" if epoch else "arrival after chaser epoch (hours)")}[axes]
    contour_labels = [t for t in ax.texts if re.fullmatch(r"-?[0-9.]+(e[-+][0-9]+)?", t.get_text())]
    assert len(contour_labels) >= 1  # labels that would overlap are dropped
    assert any(re.fullmatch(r"\d\|\d rev", t.get_text()) for t in ax.texts)  # the revolution borders' labels
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == ["optimum"] + (["arrival v-infinity (km/s)"] if which == "c3" else []) + [
        "revolution-count border", "180-degree transfer ridge", "arrival epoch" if axes == "tof" else "time of flight"]
    assert marker_margin(fig, ax) >= 11  # half the marker
    plt.close(fig)


def test_an_optimum_on_the_window_edge_stays_whole():
    # Hohmann leaves 1000 s in, the last departure of the window: the view grows to hold the marker.
    n1, n2 = math.sqrt(MU / R1 ** 3), math.sqrt(MU / R2 ** 3)
    phase = (math.pi - n2 * HOHMANN_TOF) + (n1 - n2) * 1000.0
    grid = porkchop(circular(R1, 0.0), circular(R2, math.degrees(phase)), np.linspace(0.0, 1000.0, 21),
                    np.linspace(HOHMANN_TOF - 600.0, HOHMANN_TOF + 600.0, 21))
    assert grid.best().departure == 1000.0
    fig = grid.plot()
    assert marker_margin(fig, fig.axes[0]) >= 11
    plt.close(fig)


def test_dates_from_an_epoch(window):
    start = datetime.datetime(2030, 1, 1, tzinfo=datetime.timezone.utc)
    fig = window.plot(epoch=EPOCH_2030 + 3600.0)
    ax = fig.axes[0]
    fig.canvas.draw()
    left = matplotlib.dates.num2date(ax.get_xlim()[0])
    assert abs((left - start).total_seconds() - 3600.0) < 1e-3
    assert any("2030" in t.get_text() or "Jan" in t.get_text() for t in ax.get_xticklabels())
    assert any(t.get_text().startswith("arr. 2030-01-01") for t in ax.texts)
    plt.close(fig)
    window.epoch = EPOCH_2030  # a grid that knows its epoch plots dates by itself
    try:
        fig = window.plot()
        assert matplotlib.dates.num2date(fig.axes[0].get_xlim()[0]) == start
        plt.close(fig)
    finally:
        window.epoch = None


def filled_levels(fig):
    return [c for c in fig.axes[0].collections if isinstance(c, ContourSet) and c.filled][0].levels


def cheap_limit(values):
    """The default colour limit: four times the optimum, or the cheapest tenth's cost when higher."""
    return min(max(4 * np.nanmin(values), np.nanpercentile(values, 10)), np.nanmax(values))


@pytest.mark.parametrize("options, expected", [
    ({}, lambda low, top: np.geomspace(low, top, 20)),  # fine steps near the optimum, coarse ones above
    ({"levels": 7}, lambda low, top: np.geomspace(low, top, 7)),
    ({"vmax": 3.0, "levels": 4}, lambda low, top: np.geomspace(low, 3.0, 4)),
    ({"levels": [4.0, 0.5, 1.0, 2.0]}, lambda low, top: np.array([0.5, 1.0, 2.0, 4.0])),
])
def test_levels_and_vmax_set_the_colours(window, options, expected):
    fig = window.plot(**options)
    want = expected(np.nanmin(window.dv_total), cheap_limit(window.dv_total))
    np.testing.assert_allclose(filled_levels(fig), want, rtol=1e-12)
    plt.close(fig)


@pytest.mark.parametrize("options, text", [
    ({"which": "c4"}, "which must be"), ({"axes": "date"}, "axes must be"), ({"levels": 1}, "at least 2"),
    ({"levels": [1.0]}, "two finite"), ({"vmax": 0.01}, "not above the least value"),
    ({"epoch": math.nan}, "epoch must be"),
])
def test_bad_plot_options_raise(window, options, text):
    with pytest.raises(ValueError, match=text):
        window.plot(**options)
    plt.close("all")


def transfer_angle(grid, i, j):
    """The angle (degrees, 0 to 360) the cheapest arc of cell (i, j) sweeps from departure to arrival, about its
    own angular momentum, from plan_lambert's burn and scalar Kepler moves."""
    chaser, target = (ECI(s[0], Vector3(*s[1:4]), Vector3(*s[4:7])) for s in (grid.chaser, grid.target))
    start = propagate_lagrangian_u(chaser, float(grid.departures[i]))
    end = propagate_lagrangian_u(target, start.time + float(grid.tofs[j]) - target.time)
    r1, r2 = np.array(start.position.to_tuple()), np.array(end.position.to_tuple())
    v1 = np.array(start.velocity.to_tuple()) + np.array(grid.transfer(grid.departures[i], grid.tofs[j])
                                                         .burns[0].delta_v.to_tuple())
    h = np.cross(r1, v1)
    return math.degrees(math.atan2(np.dot(np.cross(r1, r2), h) / np.linalg.norm(h), np.dot(r1, r2))) % 360.0


def test_the_ridge_is_where_the_transfers_pass_180_degrees(window):
    # Where the transfer angle passes 180 degrees the transfer plane is undefined (the cost spikes there when
    # the two positions come close to opposite). The plot's ridge runs between two cells of a row exactly where
    # the cheapest arcs of those cells sweep less and more than 180 degrees; where the angle passes 0 degrees
    # (cosine > 0) it draws nothing.
    sine, cosine = ridge_function(window)
    flips = [(i, j) for i in range(window.shape[0]) for j in range(window.shape[1] - 1)
             if np.sign(sine[i, j]) != np.sign(sine[i, j + 1])]
    ridge = [(i, j) for i, j in flips if cosine[i, j] < 0]
    assert len(ridge) >= window.shape[0] and len(ridge) < len(flips)  # every row crosses it; not every flip
    for i, j in ridge:
        before, after = transfer_angle(window, i, j), transfer_angle(window, i, j + 1)
        assert (before - 180.0) * (after - 180.0) < 0, (i, j, before, after)


def test_the_default_plot_of_a_degenerate_axis_refuses():
    grid = porkchop(CHASER, TARGET, [0.0], [600.0, 1200.0])
    with pytest.raises(ValueError, match="at least two departures"):
        grid.plot()


@pytest.mark.parametrize("which, field, from_burns", [
    ("c3", lambda g: g.dv_departure ** 2, lambda t: t.burns[0].delta_v.magnitude() ** 2),
    ("departure", lambda g: g.dv_departure, lambda t: t.burns[0].delta_v.magnitude()),
    ("arrival", lambda g: g.dv_arrival, lambda t: t.burns[1].delta_v.magnitude()),
    ("total", lambda g: g.dv_total, lambda t: t.burns[0].delta_v.magnitude() + t.burns[1].delta_v.magnitude()),
])
def test_each_quantity_is_drawn_with_its_values(window, which, field, from_burns):
    """The colours span the quantity's own values, and the optimum marked is the cell least in it, labelled
    with its value as the burns give it (C3: the departure burn's magnitude squared)."""
    values = field(window)
    fig = window.plot(which=which)
    # The colour limit is the cheap end's: 4 x the least value, or the cheapest tenth's when higher.
    vmax = min(max(4 * np.nanmin(values), np.nanpercentile(values, 10)), np.nanmax(values))
    np.testing.assert_allclose(filled_levels(fig), np.geomspace(np.nanmin(values), vmax, 20), rtol=1e-12)
    i, j = np.unravel_index(np.nanargmin(values), values.shape)
    ax = fig.axes[0]
    marker = [line for line in ax.lines if line.get_label() == "optimum"][0]
    assert (marker.get_xdata()[0], marker.get_ydata()[0]) == pytest.approx(
        (window.departures[i] / 3600.0, window.tofs[j] / 3600.0), rel=1e-12)  # hours on both axes
    box = [text for text in ax.texts if text.get_gid() == "optimum-box"][0].get_text().splitlines()
    shown = float(re.fullmatch(r"(\S+) (km/s|km²/s²)", box[0]).group(1))
    assert shown == float("%.4g" % from_burns(window.transfer(window.departures[i], window.tofs[j])))
    plt.close(fig)
