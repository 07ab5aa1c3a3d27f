"""The porkchop picture as a deliverable, checked as values (not pixels): the colour limit from the cheap end,
round colour-bar ticks, labels that do not overlap, the optimum's box, the edge flag, safe cells, the C3
overlay; and the relative-motion picture in the target's RIC frame against the native safety figures."""
import re

import numpy as np
import pytest

from vextal.astro import _porkchop_plot as pp
from vextal.astro import time
from vextal.astro.porkchop import porkchop

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

T0 = time.epoch("2026-03-01T06:00:00")
CHASER = (T0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
TARGET = (T0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)


@pytest.fixture(scope="module")
def grid():
    return porkchop(CHASER, TARGET, time.to_datetime64(T0 + np.linspace(40000.0, 70000.0, 31)),
                    np.linspace(1200.0, 10800.0, 25), max_revs=1, arrive_at=(0.0, -2.0, 0.0))


@pytest.mark.parametrize("values, expected", [
    # The ISS-like window: 0.052 to 9.41 km/s; four times the optimum, far below the 95th percentile (> 9).
    (np.array([0.052, 0.06, 0.08, 0.5, 1.0, 2.0, 5.0, 9.41, 9.0, 8.0]), 0.208),
    (np.linspace(1.0, 100.0, 1000), 10.9),  # a broad optimum: the cheapest tenth's value is higher
    (np.array([1.0, 1.2, 1.5, 2.0, np.nan]), 2.0),  # never above the dearest cell
])
def test_colour_limit_comes_from_the_cheap_end(values, expected):
    assert pp.default_vmax(values) == pytest.approx(expected)
    g_values = np.where(np.isnan(values), np.nan, values)
    assert pp.colour_levels(g_values, 5, None)[-1] == pytest.approx(expected)


@pytest.mark.parametrize("low, high, expected", [
    (0.052, 0.5, [0.07, 0.1, 0.15, 0.2, 0.3, 0.5]),  # 1-2-5 gives three: more mantissas
    (0.0927, 14.7, [0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0]),  # not 0.0927 and 14.7
    (0.4, 1.6, [0.5, 0.7, 1.0, 1.5]),
    (3.1, 3.9, []),
    (-1.0, 1.0, [-0.8, -0.4, 0.0, 0.4, 0.8]),  # a linear scale: matplotlib's round steps
])
def test_round_ticks(low, high, expected):
    ticks = pp.round_ticks(low, high)
    assert ticks == expected and all("e" not in "%r" % t and len("%r" % abs(t)) <= 4 for t in ticks)


def text_boxes(fig, texts):
    renderer = fig.canvas.get_renderer()
    return [t.get_window_extent(renderer) for t in texts]


@pytest.mark.parametrize("which, axes", [("total", "tof"), ("total", "arrival"), ("c3", "tof"),
                                         ("departure", "tof")])
def test_plot_colours_ticks_labels_and_title(grid, which, axes):
    fig = grid.plot(which=which, axes=axes)
    ax, bar = fig.axes[0], fig.axes[1]
    values = pp.quantity(grid, which)
    levels = [c for c in ax.collections if getattr(c, "filled", False)][0].levels
    assert levels[0] == pytest.approx(np.nanmin(values)) and levels[-1] == pytest.approx(pp.default_vmax(values))
    ticks = [t for t in bar.get_yticks() if levels[0] <= t <= levels[-1]]
    assert ticks == pp.round_ticks(levels[0], levels[-1]) and len(ticks) >= 2
    assert [t.get_text() for t in bar.get_yticklabels()][: len(ticks)] == ["%g" % t for t in ticks]
    fig.canvas.draw()
    labels = [t for t in ax.texts if t.get_visible() and t.get_text()]
    boxes = text_boxes(fig, labels)
    overlaps = [(a.get_text(), b.get_text()) for k, (a, x) in enumerate(zip(labels, boxes))
                for b, y in zip(labels[k + 1:], boxes[k + 1:]) if x.overlaps(y)]
    assert overlaps == []
    sizes = {t.get_fontsize() for t in labels if re.fullmatch(r"[0-9.e+-]+( km/s)?", t.get_text())}
    assert sizes and min(sizes) >= 7
    assert "two-body model" in ax.get_title()
    if which == "c3":
        # The colours are C3 = departure v-infinity squared; the overlay's lines are arrival v-infinity.
        np.testing.assert_allclose(values, grid.dv_departure ** 2)
        overlay = [c for c in ax.collections if not getattr(c, "filled", True) and
                   list(c.get_edgecolor()[0][:3]) == pytest.approx(list(matplotlib.colors.to_rgb("tab:orange")))]
        assert overlay and np.all(np.asarray(overlay[0].levels) >= np.nanmin(grid.dv_arrival))
        assert "arrival v-infinity (km/s)" in [t.get_text() for t in ax.get_legend().get_texts()]
    plt.close(fig)


def test_optimum_box_gives_date_flight_revolutions_and_model(grid):
    best = grid.best()
    fig = grid.plot()
    box = [t for t in fig.axes[0].texts if t.get_gid() == "optimum-box"][0].get_text().splitlines()
    assert box[0] == "%.4g km/s" % best.dv_total
    assert box[1] == "departs %s UTC" % best.departure_utc[:19].replace("T", " ")
    assert box[2] == "flies %.4g h" % (best.tof / 3600.0)
    assert box[3] == "%d rev, two-body model" % best.revolutions
    plt.close(fig)


@pytest.mark.parametrize("departures, tofs, edge", [
    (np.linspace(40000.0, 70000.0, 31), np.linspace(1200.0, 10800.0, 25), False),
    (np.linspace(40000.0, 50000.0, 11), np.linspace(1200.0, 10800.0, 25), True),  # the cheapest lies later
])
def test_edge_flag(departures, tofs, edge):
    g = porkchop(CHASER, TARGET, departures, tofs, max_revs=1, arrive_at=(0.0, -2.0, 0.0))
    best = g.best()
    on_line = best.departure in (departures[0], departures[-1]) or best.tof in (tofs[0], tofs[-1])
    assert pp.on_edge(g, best) == on_line == edge
    fig = g.plot()
    flags = [t for t in fig.axes[0].texts if t.get_gid() == "edge-flag"]
    assert len(flags) == edge
    plt.close(fig)
    flagged = type("T", (), {"departure": best.departure, "tof": best.tof, "at_window_edge": not edge})()
    assert pp.on_edge(g, flagged) == (not edge)  # a transfer that knows says so


def test_safe_cells_and_the_best_safe_cell_are_marked(grid):
    safety = grid.safety(1.0, 2.0)
    assert safety.safe.any()
    fig = grid.plot()
    ax = fig.axes[0]
    safe = [line for line in ax.lines if line.get_label() == "safe cell"][0]
    assert len(safe.get_xdata()) == int(safety.safe.sum())
    marker = [line for line in ax.lines if line.get_label() == "best safe"][0]
    best = grid.best(safe=True)
    epoch_days = matplotlib.dates.date2num(time.to_datetime(T0 + best.departure))
    assert marker.get_xdata()[0] == pytest.approx(epoch_days, abs=1e-9)
    assert marker.get_ydata()[0] == pytest.approx(best.tof / 3600.0)
    plt.close(fig)
    grid.safety_result = None


def test_relative_motion_against_the_native_safety(grid):
    from vextal.astro._ric_plot import relative_motion

    safety = grid.safety(1.0, 2.0, best=5)
    i, j = np.argwhere(safety.checked)[0]
    transfer = grid.transfer(grid.departures[i], grid.tofs[j])
    motion = relative_motion(transfer, 2.0, 4000)
    # Sampling finds the least ranges from above; the native search refines them.
    assert safety.arc_range[i, j] <= motion.arc_range + 1e-9 <= safety.arc_range[i, j] + 0.05
    assert safety.drift_range[i, j] <= motion.drift_range + 1e-9 <= safety.drift_range[i, j] + 0.05
    np.testing.assert_allclose(motion.arc[-1], (0.0, -2.0, 0.0), atol=1e-6)  # the arc ends at the hold point
    np.testing.assert_allclose(motion.hold, (0.0, -2.0, 0.0))
    fig = transfer.plot_ric(orbits=2.0, keep_out=1.0, samples=4000)
    radial, cross = fig.axes
    arc = [line for line in radial.lines if line.get_label().startswith("transfer arc")][0]
    np.testing.assert_allclose(arc.get_xdata(), motion.arc[:, 1])
    np.testing.assert_allclose(arc.get_ydata(), motion.arc[:, 0])
    drift = [line for line in cross.lines if line.get_label().startswith("drift")][0]
    np.testing.assert_allclose(drift.get_ydata(), motion.drift[:, 2])
    assert "least range %.3g km" % motion.drift_range in drift.get_label()
    assert [p.get_radius() for p in radial.patches] == [1.0]
    assert transfer.departure_utc[:19] in fig._suptitle.get_text()
    plt.close(fig)
    grid.safety_result = None


def test_relative_motion_zoom(grid):
    fig = grid.best().plot_ric(keep_out=0.5, span=3.0)
    for panel in fig.axes:
        assert panel.get_xlim() == pytest.approx((-3.0, 3.0)) and panel.get_ylim() == pytest.approx((-3.0, 3.0))
    plt.close(fig)


@pytest.mark.parametrize("options, message", [({"orbits": -1.0}, "orbits"), ({"samples": 1}, "samples"),
                                              ({"ax": [None]}, "pair of axes"), ({"span": 0.0}, "span")])
def test_relative_motion_refusals(grid, options, message):
    with pytest.raises(ValueError, match=message):
        grid.best().plot_ric(**options)
