"""Porkchop grids over J2 motion, and transfers corrected to arrive under J2: the burns of a refined transfer,
flown by arrays.propagate_j2 from the chaser's J2 state, land on the target's J2 state, at a local minimum of
the J2 cost that an independent optimiser cannot undercut."""
import json

import numpy as np
import pytest

from vextal.astro import _j2_refine, arrays
from vextal.astro.porkchop import porkchop, survey
from vextal.astro.trajectory import J2

optimize = pytest.importorskip("scipy.optimize")

# A 400 km chaser and a 1000 km target, their planes half a degree apart (the README's example).
CHASER = (0.0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
TARGET = (0.0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
DEPARTURES = np.linspace(50000.0, 62000.0, 21)
TOFS = np.linspace(1200.0, 10800.0, 17)
LONG_TOFS = np.linspace(12000.0, 21600.0, 17)  # three to six hours: two- and three-revolution arcs are cheapest


def grid(max_revs=1, model="j2", tofs=TOFS):
    return porkchop(CHASER, TARGET, DEPARTURES, tofs, max_revs=max_revs, model=model)


def flown(transfer):
    """Position and velocity miss (km, km/s) of the transfer's burns flown under J2 from the chaser's state."""
    chaser, target = J2(CHASER), J2(TARGET)
    r1, v1 = chaser.states(CHASER[0] + transfer.departure)
    r2, v2 = target.states(CHASER[0] + transfer.departure + transfer.tof)
    burn1, burn2 = (np.array(b.delta_v.to_tuple()) for b in transfer.burns)
    rf, vf = arrays.propagate_j2(r1, v1 + burn1, transfer.tof)
    return np.linalg.norm(rf - r2), np.linalg.norm(vf + burn2 - v2)


def independent_cost(departure, tof, revolutions, branch):
    """The J2 cost by a root finder of scipy on propagate_j2 (no state transition matrix, no shared code but
    the propagator and the Lambert guess), inf where it does not converge to 1 mm."""
    chaser, target = J2(CHASER), J2(TARGET)
    r1, vc = chaser.states(departure)
    r2, vt = target.states(departure + tof)
    out = arrays.lambert(r1, r2, tof, max_revs=revolutions)
    slot = 0 if revolutions == 0 else 2 * revolutions - (1 if branch < 0 else 0)
    guess = out.v1[slot]
    if np.isnan(guess).any():
        return np.inf
    solution = optimize.root(lambda v: arrays.propagate_j2(r1, v, tof)[0] - r2, guess, tol=1e-13)
    v1 = solution.x
    rf, vf = arrays.propagate_j2(r1, v1, tof)
    if np.linalg.norm(rf - r2) > 1e-6:
        return np.inf
    return float(np.linalg.norm(v1 - vc) + np.linalg.norm(vt - vf))


def test_model_j2_moves_states_under_j2_and_says_so(tmp_path):
    j2 = grid()
    as_trajectories = porkchop(J2(CHASER), J2(TARGET), DEPARTURES, TOFS, max_revs=1)
    two_body = grid(model="two-body")
    # the states become J2 trajectories: the same two-body arcs as a grid over J2 objects, and not the
    # two-body grid
    assert np.array_equal(j2.dv_total_arc, as_trajectories.dv_total, equal_nan=True)
    assert np.nanmax(np.abs(j2.dv_total - two_body.dv_total)) > 1e-2
    assert (j2.model, two_body.model) == ("j2", "two-body")
    j2.to_csv(tmp_path / "grid.csv")
    j2.to_json(tmp_path / "grid.json")
    lines = (tmp_path / "grid.csv").read_text().splitlines()
    assert lines[0].endswith(",model") and all(line.endswith(",j2") for line in lines[1:])
    assert json.loads((tmp_path / "grid.json").read_text())["model"] == "j2" and "model=j2" in repr(j2)


@pytest.mark.parametrize("model", ["two-body", "j2"])
def test_best_is_the_grid_s_cheapest_cell(model):
    # best() plans from the states the grid moved, so it costs what the grid says (within the J2 table's
    # interpolation error), not what two-body motion of the initial states would cost
    g = grid(model=model)
    best = g.best()
    assert best.dv_total == pytest.approx(np.nanmin(g.dv_total), abs=1e-5)


@pytest.mark.parametrize("max_revs, candidates, model, tofs, revolutions", [
    (0, 1, "j2", TOFS, 0),           # direct arcs only
    (1, 1, "j2", TOFS, 1),           # the J2 grid's best cell is a one-revolution arc
    (1, 2, "j2", TOFS, None),        # from the cheapest cell of each revolution count
    (1, 1, "two-body", TOFS, 0),     # a two-body grid refined under J2 (its states become J2 trajectories)
    (3, 2, "j2", LONG_TOFS, 3),      # three revolutions, the two-revolution start near a fold of its family
])
def test_refined_burns_flown_under_j2_reach_the_target(max_revs, candidates, model, tofs, revolutions):
    g = grid(max_revs, model, tofs)
    transfer = g.refine(candidates, model="j2")
    assert revolutions is None or transfer.revolutions == revolutions
    miss_km, miss_kms = flown(transfer)
    assert miss_km < 1e-3 and miss_kms < 1e-6
    assert transfer.model == "j2" and transfer.miss_km == pytest.approx(miss_km, abs=1e-9)
    assert transfer.miss_kms < 1e-6
    # the two-body grid's cost of the same departure and flight time, for comparison
    two_body = porkchop(CHASER, TARGET, [transfer.departure], [transfer.tof], max_revs=max_revs)
    assert transfer.dv_total_two_body == pytest.approx(two_body.dv_total[0, 0], abs=1e-12)
    # the cost is the independent solver's at the same point (same arc)
    assert independent_cost(transfer.departure, transfer.tof, transfer.revolutions, transfer.branch) == \
        pytest.approx(transfer.dv_total, abs=1e-6)


@pytest.mark.parametrize("max_revs", [0, 1])
def test_refined_transfer_is_a_local_minimum_under_j2(max_revs):
    g = grid(max_revs)
    transfer = g.refine()
    i, j = (int(k) for k in np.unravel_index(np.nanargmin(g.dv_total), g.shape))
    bounds = [(DEPARTURES[max(i - 1, 0)], DEPARTURES[min(i + 1, DEPARTURES.size - 1)]),
              (TOFS[max(j - 1, 0)], TOFS[min(j + 1, TOFS.size - 1)])]
    scale = np.array([b[1] - b[0] for b in bounds])

    def cost(x):
        return independent_cost(*(x * scale), transfer.revolutions, transfer.branch)

    x0 = np.array([transfer.departure, transfer.tof]) / scale
    result = optimize.minimize(cost, x0, method="Nelder-Mead", bounds=[(b[0] / s, b[1] / s) for b, s in
                                                                        zip(bounds, scale)],
                               options={"xatol": 1e-6, "fatol": 1e-9, "initial_simplex":
                                        [x0, x0 + [0.1, 0.0], x0 + [0.0, 0.1]]})
    assert result.fun > transfer.dv_total - 0.5e-3


def test_gradient_of_the_j2_cost_matches_finite_differences():
    chaser, target = J2(CHASER), J2(TARGET)
    shooter = _j2_refine.Shooter(chaser.states, target.states, 0.0, mu=398600.5, j2=1.08262668e-3,
                                 radius=6378.1374, prograde=True, revolutions=1, branch=-1)
    x = np.array([56800.0, 8700.0])
    _, gradient, _ = shooter.evaluate(*x)
    h = 0.5
    numeric = [(shooter.evaluate(*(x + h * e))[0] - shooter.evaluate(*(x - h * e))[0]) / (2 * h)
               for e in np.eye(2)]
    assert gradient == pytest.approx(numeric, rel=1e-4, abs=1e-9)


@pytest.mark.parametrize("name, value", [("SHOOT_TOLERANCE", 0.0), ("MISS_KM", 0.0)])
def test_a_correction_that_does_not_converge_raises(monkeypatch, name, value):
    # Shooting that cannot meet its tolerance, or burns that would miss by any amount: an error, no transfer
    # (the correction of a grid of two-body arcs; a J2 grid's cells are exact already)
    monkeypatch.setattr(_j2_refine, name, value)
    with pytest.raises(RuntimeError, match="did not converge"):
        grid(model="two-body").refine(2, model="j2")


UNKNOWN = "model must be one of 'two-body', 'j2'"


@pytest.mark.parametrize("call, message", [
    (lambda: porkchop(CHASER, TARGET, DEPARTURES, TOFS, model="J2"), UNKNOWN),
    (lambda: survey(CHASER, [TARGET], DEPARTURES, TOFS, model=None), UNKNOWN),
    (lambda: grid(model="two-body").refine(model="kepler"), UNKNOWN),
    # J2 is the Earth's: not about another body, and the correction plans a rendezvous with the target itself
    (lambda: porkchop(CHASER, TARGET, DEPARTURES, TOFS, model="j2", mu=132712440041.279), "mu must be the Earth"),
    (lambda: porkchop(CHASER, TARGET, DEPARTURES, TOFS, arrive_at=(0, -1, 0)).refine(model="j2"), "a rendezvous"),
])
def test_models_that_cannot_run_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_survey_and_command_line_report_j2_costs(capsys):
    from vextal.astro._cli_porkchop import main

    table = survey(CHASER, {"target": TARGET}, DEPARTURES, TOFS, max_revs=1, model="j2").table
    assert table[0]["model"] == "j2" and table[0]["dv_total"] == pytest.approx(np.nanmin(grid().dv_total),
                                                                               abs=1e-5)
    assert main(["--chaser", *map(str, CHASER), "--target", *map(str, TARGET), "--departures", "50000:62000:21",
                 "--tofs", "1200:10800:17", "--max-revs", "1", "--model", "j2"]) == 0
    out = capsys.readouterr().out
    refined = grid().refine()
    assert "j2 motion" in out and "refined under J2" in out and ("%.6f" % refined.dv_total) in out


@pytest.mark.parametrize("scale", [1.02, 0.97])  # raised from the start, and dipping to 6019 km on the far side
def test_lowest_radius_of_a_j2_arc(scale):
    r1 = np.array(CHASER[1:4])
    v1 = np.array(CHASER[4:7]) * scale
    r, _ = arrays.propagate_j2(r1, v1, np.arange(0.0, 9000.5, 0.5))
    expected = np.linalg.norm(r, axis=-1).min()
    assert _j2_refine.lowest_radius(r1, v1, 9000.0, 398600.5, 1.08262668e-3, 6378.1374) == \
        pytest.approx(expected, abs=1e-3)


def test_a_corrected_arc_below_the_grid_s_min_radius_is_refused():
    g = grid(model="two-body")
    g.refine(model="j2")  # flies above the Earth
    g.min_radius = 6790.0  # above the chaser's own orbit: every arc leaving it starts below
    with pytest.raises(RuntimeError, match="below min_radius 6790 km"):
        g.refine(model="j2")
