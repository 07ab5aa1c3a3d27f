"""Trajectories of the user's own classes (vextal.astro.trajectory.Trajectory: an epoch and states, no private
method) drive a porkchop grid, a survey and refine as the package's kinds do; the guide's examples run."""
import math
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

from vextal.astro import porkchop as pk
from vextal.astro.trajectory import J2, MU_EARTH, Table, Trajectory, TwoBody

CHASER = (0.0, 6778.0, 0.0, 0.0, 0.0, math.sqrt(MU_EARTH / 6778.0), 0.0)
_V = math.sqrt(MU_EARTH / 7078.0)
TARGET = (0.0, 7078.0 * math.cos(0.5), 7078.0 * math.sin(0.5), 0.0, -_V * math.sin(0.5), _V * math.cos(0.5), 0.01)
DEPARTURES = np.linspace(4000.0, 6000.0, 7)
TOFS = np.linspace(2000.0, 3600.0, 7)
GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide" / "custom-trajectories.md"


class Kepler:
    """Two-body motion through the public API only; `span` when given."""

    def __init__(self, state, span=None):
        self.state, self.epoch = state, state[0]
        if span is not None:
            self.span = span
        self.calls = 0

    def states(self, epochs):
        self.calls += 1
        return TwoBody(self.state).states(epochs)


class BadShape(Kepler):
    def states(self, epochs):
        r, v = super().states(epochs)
        return r[:1], v


def ends(kind):
    return {"state": (CHASER, TARGET), "two-body": (TwoBody(CHASER), TwoBody(TARGET)),
            "custom chaser": (Kepler(CHASER), TwoBody(TARGET)), "custom target": (TwoBody(CHASER), Kepler(TARGET)),
            "custom both": (Kepler(CHASER), Kepler(TARGET))}[kind]


@pytest.mark.parametrize("obj, expected", [
    (TwoBody(CHASER), True), (Table([0.0, 1.0], np.ones((2, 3)), np.ones((2, 3))), True), (J2(CHASER), True),
    (Kepler(CHASER), True), (CHASER, False), (np.array(CHASER), False),
    (type("EpochOnly", (), {"epoch": 0.0})(), False),
])
def test_what_counts_as_a_trajectory(obj, expected):
    assert isinstance(obj, Trajectory) is expected


@pytest.mark.parametrize("kind", ["custom chaser", "custom target", "custom both"])
def test_a_custom_trajectory_gives_the_two_body_grid(kind):
    exact = pk.porkchop(*ends("two-body"), DEPARTURES, TOFS)
    grid = pk.porkchop(*ends(kind), DEPARTURES, TOFS)
    assert isinstance(grid.sources[0 if kind != "custom target" else 1], Table)
    np.testing.assert_array_equal(grid.revolutions, exact.revolutions)
    # Sampled into a table: within its centimetre of interpolation, far below a cell's step in cost.
    assert np.nanmax(np.abs(grid.dv_total - exact.dv_total)) < 1e-5
    assert np.nanmax(np.abs(grid.dv_total - exact.dv_total)) > 0  # read from the table, not Kepler
    assert grid.chaser == pytest.approx(exact.chaser, abs=1e-9)


@pytest.mark.parametrize("kind", ["custom chaser", "custom both"])
def test_refine_and_survey_take_a_custom_trajectory(kind):
    exact = pk.porkchop(*ends("two-body"), DEPARTURES, TOFS).refine()
    chaser, target = ends(kind)
    refined = pk.porkchop(chaser, target, DEPARTURES, TOFS).refine()
    assert refined.dv_total == pytest.approx(exact.dv_total, abs=1e-5)
    assert refined.departure == pytest.approx(exact.departure, abs=1.0)
    result = pk.survey(chaser, {"a": target, "b": TwoBody(TARGET)}, DEPARTURES, TOFS)
    assert [row["dv_total"] for row in result.table] == pytest.approx([result.porkchops[0].best().dv_total] * 2,
                                                                      abs=1e-5)


def test_a_survey_samples_its_custom_chaser_once():
    chaser = Kepler(CHASER)
    pk.survey(chaser, [TwoBody(TARGET)] * 3, DEPARTURES, TOFS)
    assert chaser.calls == 3  # the state at its epoch, the step's state, the table: once for all targets


def test_a_j2_refinement_of_custom_trajectories_lands():
    grid = pk.porkchop(Kepler(CHASER), Kepler(TARGET), DEPARTURES, TOFS, model="j2")
    transfer = grid.refine()
    assert transfer.model == "j2" and transfer.miss_km < 1e-3


@pytest.mark.parametrize("span, message", [
    ((0.0, 9600.0), None),
    ((0.0, 9000.0), r"needs states from 6000.0 to 9600.0 s, the Kepler spans 0.0 to 9000.0 s"),
    ((7000.0, 20000.0), r"needs states from 6000.0 to 9600.0 s"),
    (None, None),
])
def test_a_target_s_span_must_cover_the_arrivals(span, message):
    target = Kepler(TARGET, span)
    if message is None:
        assert pk.porkchop(TwoBody(CHASER), target, DEPARTURES, TOFS).shape == (7, 7)
    else:
        with pytest.raises(ValueError, match=message):
            pk.porkchop(TwoBody(CHASER), target, DEPARTURES, TOFS)
        assert target.calls <= 1  # refused before any sampling of the window


def test_states_of_the_wrong_shape_are_refused():
    with pytest.raises(TypeError, match=r"BadShape.states\(epochs\) must give positions and velocities of shape"):
        pk.porkchop(BadShape(CHASER), TwoBody(TARGET), DEPARTURES, TOFS)


@pytest.mark.parametrize("index", [0, 1])
def test_the_guide_examples_run(index, tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", GUIDE.read_text(), re.S)
    assert len(blocks) == 2
    script = tmp_path / "example.py"
    script.write_text(blocks[index])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(pathlib.Path(pk.__file__).parents[2]),
                                                                   os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
