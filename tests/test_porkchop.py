"""Porkchop grids: cells against plan_lambert, degenerate cells, thread and split independence, the optimum
against Hohmann, plots, files and the command line."""
import csv
import importlib.util
import json
import math
import subprocess
import sys

import numpy as np
import pytest

from vextal.astro import _porkchop
from vextal.astro.kepler import propagate_lagrangian_u
from vextal.astro.orbitvector import ECI
from vextal.astro.porkchop import Porkchop, porkchop
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3

MU = 398600.5
R_EARTH = 6378.1374


def circular(radius, angle_deg, time=0.0, inclination_deg=0.0, mu=MU):
    u, i = math.radians(angle_deg), math.radians(inclination_deg)
    speed = math.sqrt(mu / radius)
    return (time, radius * math.cos(u), radius * math.sin(u) * math.cos(i), radius * math.sin(u) * math.sin(i),
            -speed * math.sin(u), speed * math.cos(u) * math.cos(i), speed * math.cos(u) * math.sin(i))


def eci(values):
    return ECI(values[0], Vector3(*values[1:4]), Vector3(*values[4:7]))


def arrays(grid):
    return [getattr(grid, k) for k in ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch", "status")]


def same(a, b):
    return all(np.array_equal(x, y, equal_nan=True) and x.dtype == y.dtype for x, y in zip(a, b))


# A chaser at t = 100 s and an inclined, eccentric-ish target whose epoch lies inside the window: early
# arrivals move the target backwards, late ones forwards.
CHASER = (100.0, 6778.0, 120.0, -40.0, -0.1, 7.61, 0.9)
TARGET = (5000.0, -2000.0, 6900.0, 1500.0, -7.2, -1.9, 1.1)


# Sparse axes, and a dense row where every cell but the first starts from its neighbours' solutions.
@pytest.mark.parametrize("departures, tofs", [([0.0, 750.0, 3100.5], [600.0, 2400.0, 9000.0, 16000.0]),
                                              ([1500.0], np.linspace(300.0, 20000.0, 150))])
@pytest.mark.parametrize("prograde", [True, False])
@pytest.mark.parametrize("max_revs", [0, 2])
def test_cells_agree_with_plan_lambert_on_moved_states(departures, tofs, prograde, max_revs):
    departures, tofs = np.asarray(departures), np.asarray(tofs)
    # Unscreened: plan_lambert keeps every arc, including those that pass below the Earth.
    grid = porkchop(eci(CHASER), eci(TARGET), departures, tofs, prograde=prograde, max_revs=max_revs, min_radius=0)
    backwards = 0
    for i, departure in enumerate(departures):
        chaser = propagate_lagrangian_u(eci(CHASER), float(departure))
        for j, tof in enumerate(tofs):
            gap = (chaser.time + tof) - TARGET[0]
            target = propagate_lagrangian_u(eci(TARGET), gap)
            backwards += gap < 0
            plan = plan_lambert(chaser, target, float(tof), prograde, max_revs)
            costs = [(b1.delta_v.magnitude(), b2.delta_v.magnitude()) for b1, b2 in plan.burns]
            k = min(range(len(costs)), key=lambda n: sum(costs[n]))
            assert grid.dv_departure[i, j] == pytest.approx(costs[k][0], abs=1e-12)
            assert grid.dv_arrival[i, j] == pytest.approx(costs[k][1], abs=1e-12)
            assert grid.dv_total[i, j] == pytest.approx(sum(costs[k]), abs=1e-12)
            branch = 0 if k == 0 else (-1 if k % 2 else 1)  # the planner's order: 0, then left, right
            assert (grid.revolutions[i, j], grid.branch[i, j]) == ((k + 1) // 2, branch)
    assert 0 < backwards < departures.size * tofs.size
    if max_revs:
        assert (grid.revolutions > 0).any()


@pytest.mark.parametrize("prograde", [True, False])
def test_each_cells_transfer_names_the_grids_arc(prograde):
    # Every cell's Transfer has the grid's revolution count, branch and cost, and the branch means what it says
    # independently of any slot mapping: of the two arcs of one revolution count (consecutive in the planner's
    # order), the left branch (-1) is the one on the smaller transfer orbit (shorter period). The window holds
    # cells of every (revolutions, branch) pair up to two revolutions.
    grid = porkchop(CHASER, TARGET, np.linspace(0, 6000, 7), np.linspace(3000, 20000, 12), prograde=prograde,
                    max_revs=2, min_radius=0)
    seen = set()
    for i, departure in enumerate(grid.departures):
        for j, tof in enumerate(grid.tofs):
            transfer = grid.transfer(departure, tof)
            assert (transfer.revolutions, transfer.branch) == (grid.revolutions[i, j], grid.branch[i, j])
            assert transfer.dv_total == pytest.approx(grid.dv_total[i, j], rel=1e-12)
            seen.add((transfer.revolutions, transfer.branch))
            if transfer.revolutions:
                start = propagate_lagrangian_u(eci(CHASER), float(departure))
                target = propagate_lagrangian_u(eci(TARGET), start.time + float(tof) - TARGET[0])
                burns = plan_lambert(start, target, float(tof), prograde, 2).burns
                k = min(range(len(burns)), key=lambda n: abs(burns[n][0].delta_v.magnitude() - transfer.dv_departure)
                        + abs(burns[n][1].delta_v.magnitude() - transfer.dv_arrival))  # the transfer's arc
                pair = (k, k + 1) if k % 2 else (k - 1, k)
                r = start.position.magnitude()
                axes = [1.0 / (2.0 / r - (start.velocity + burns[n][0].delta_v).magnitude() ** 2 / MU) for n in pair]
                smaller = pair[int(np.argmin(axes))]
                assert (transfer.branch == -1) == (k == smaller), (i, j, axes)
    assert seen == {(0, 0), (1, -1), (1, 1), (2, -1), (2, 1)}


def test_collinear_cells_are_nan_and_the_rest_is_consistent():
    state = circular(R_EARTH + 500.0, 0.0)
    period = 2 * math.pi * math.sqrt((R_EARTH + 500.0) ** 3 / MU)
    tofs = np.array([0.25, 0.5, 0.75, 1.0]) * period  # the target is the chaser: 0 and 180 degrees collinear
    grid = porkchop(state, state, [0.0, 1000.0], tofs, max_revs=1)
    nan = np.isnan(grid.dv_total)
    assert nan[:, 1].all() and nan[:, 3].all() and not nan[:, 0].any() and not nan[:, 2].any()
    assert np.isnan(grid.dv_departure[nan]).all() and np.isnan(grid.dv_arrival[nan]).all()
    assert (grid.revolutions[nan] == -1).all() and (grid.branch[nan] == 0).all()
    ok = ~nan
    np.testing.assert_array_equal(grid.dv_total[ok], grid.dv_departure[ok] + grid.dv_arrival[ok])


def test_threads_and_departure_splits_give_the_same_bits():
    departures = np.linspace(-3000.0, 20000.0, 37)
    tofs = np.linspace(300.0, 30000.0, 300)  # more than one segment of a row
    args = (CHASER, TARGET, departures, tofs, True, 3)
    one = _porkchop.grid(*args, 1)
    assert same(one, _porkchop.grid(*args, 2))
    parts = [_porkchop.grid(CHASER, TARGET, departures[a:b], tofs, True, 3, 2) for a, b in ((0, 5), (5, 6), (6, 37))]
    assert same(one, [np.concatenate([p[k] for p in parts]) for k in range(len(one))])
    seen = []
    with_progress = porkchop(CHASER, TARGET, departures, tofs, max_revs=3, progress=seen.append)
    assert same(one, arrays(with_progress))
    assert seen == sorted(seen) and seen[-1] == 1.0
    if importlib.util.find_spec("tqdm"):
        assert same(one, arrays(porkchop(CHASER, TARGET, departures, tofs, max_revs=3, progress=True)))


def test_ctrl_c_stops_a_long_grid():
    code = """
import os, signal, threading
import numpy as np
from vextal.astro import _porkchop
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts with SIGINT ignored
threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    _porkchop.grid(%r, %r, np.linspace(0, 1e5, 1000), np.linspace(100, 1e5, 1000), True, 20, 2)
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
""" % (CHASER, TARGET)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert proc.stdout.strip() == "interrupted", proc.stderr


@pytest.mark.parametrize("call, error, text", [
    (lambda: _porkchop.grid(CHASER[:6], TARGET, [0], [1]), TypeError, "7 numbers"),
    (lambda: _porkchop.grid(CHASER, (0, 0, 0, 0, 1, 1, 1), [0], [1]), ValueError, "zero position"),
    (lambda: _porkchop.grid(CHASER, TARGET[:6] + (math.nan,), [0], [1]), ValueError, "finite"),
    (lambda: _porkchop.grid(CHASER, TARGET, [[0.0]], [1]), ValueError, "one-dimensional"),
    (lambda: _porkchop.grid(CHASER, TARGET, [0], [math.inf]), ValueError, "finite"),
    (lambda: _porkchop.grid(CHASER, TARGET, [0], [10.0, 0.0]), ValueError, "positive"),
    (lambda: _porkchop.grid(CHASER, TARGET, [0], [1], True, -1), ValueError, "max_revs"),
    (lambda: _porkchop.grid(CHASER, TARGET, [0], [1], True, 0, 0), ValueError, "threads"),
    (lambda: _porkchop.grid(CHASER, TARGET, ["a"], [1]), TypeError, "departures must be an array of real numbers"),
    (lambda: porkchop(ECI(0.0, None, Vector3(1, 2, 3)), TARGET, [0], [1]), TypeError, "None"),
])
def test_bad_inputs_raise(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_empty_axes_give_empty_grids():
    out = _porkchop.grid(CHASER, TARGET, [], [60.0, 120.0])
    assert [a.shape for a in out] == [(0, 2)] * 6
    with pytest.raises(ValueError, match="no transfer arc"):
        porkchop(CHASER, TARGET, [0.0], []).best()


# Coplanar circular orbits, 400 km to 1000 km, phased so that the Hohmann transfer leaves 1000 s in.
R1, R2 = R_EARTH + 400.0, R_EARTH + 1000.0
HOHMANN_DV = (math.sqrt(MU / R1) * (math.sqrt(2 * R2 / (R1 + R2)) - 1) +
              math.sqrt(MU / R2) * (1 - math.sqrt(2 * R1 / (R1 + R2))))
HOHMANN_TOF = math.pi * math.sqrt(((R1 + R2) / 2) ** 3 / MU)


@pytest.fixture(scope="module")
def hohmann_grid():
    n1, n2 = math.sqrt(MU / R1 ** 3), math.sqrt(MU / R2 ** 3)
    phase = (math.pi - n2 * HOHMANN_TOF) + (n1 - n2) * 1000.0
    return porkchop(circular(R1, 0.0), circular(R2, math.degrees(phase)), np.linspace(0.0, 2000.0, 41),
                    np.linspace(HOHMANN_TOF - 600.0, HOHMANN_TOF + 600.0, 41))


def test_best_and_refine_approach_hohmann(hohmann_grid):
    best = hohmann_grid.best()
    assert best.dv_total == pytest.approx(np.nanmin(hohmann_grid.dv_total), abs=1e-12)
    assert HOHMANN_DV < best.dv_total < HOHMANN_DV + 1e-3
    assert (best.revolutions, best.branch) == (0, 0)
    departure, arrival = best.burns
    assert departure.time == best.departure and arrival.time == pytest.approx(best.departure + best.tof, abs=1e-9)
    refined = hohmann_grid.refine()
    assert refined.dv_total <= best.dv_total
    assert refined.dv_total == pytest.approx(HOHMANN_DV, abs=1e-9)
    assert refined.tof == pytest.approx(HOHMANN_TOF, abs=1.0)
    assert refined.departure == pytest.approx(1000.0, abs=1.0)


def test_refine_from_several_revolution_counts_is_never_worse():
    grid = porkchop(CHASER, TARGET, np.linspace(0, 6000, 13), np.linspace(3000, 20000, 18), max_revs=2)
    best, one, three = grid.best(), grid.refine(), grid.refine(candidates=3)
    assert three.dv_total <= one.dv_total <= best.dv_total
    assert grid.transfer(three.departure, three.tof).dv_total == three.dv_total


def test_plot_renders_with_labels_marker_and_blank_nan_cells(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    departures = np.linspace(0.0, 10 * 86400.0, 20)  # ten days: days on x
    tofs = np.linspace(3600.0, 6 * 3600.0, 30)  # five hours: hours on y
    d, t = np.meshgrid(departures, tofs, indexing="ij")
    cost = 1.0 + ((d - 4 * 86400.0) / 86400.0) ** 2 + ((t - 3 * 3600.0) / 3600.0) ** 2
    cost[12:, 18:] = np.nan  # a block without arcs
    ones = np.ones(cost.shape)
    grid = Porkchop(CHASER, TARGET, departures, tofs, True, 0, cost / 2, cost / 2, cost,
                    np.where(np.isnan(cost), -1, 0), 0 * ones)
    optimum = type("Optimum", (), {"departure": 4 * 86400.0, "tof": 3 * 3600.0, "dv_total": 1.0,
                                   "revolutions": 0})()
    fig = grid.plot(optimum=optimum)
    path = tmp_path / "porkchop.png"
    fig.savefig(path, dpi=100)
    ax = fig.axes[0]
    assert "days" in ax.get_xlabel() and "hours" in ax.get_ylabel()
    assert fig.axes[1].get_ylabel() == "total delta-v (km/s)"
    marker = [line for line in ax.lines if line.get_label() == "optimum"][0]
    assert marker.get_xdata()[0] == pytest.approx(4.0) and marker.get_ydata()[0] == pytest.approx(3.0)
    image = plt.imread(path)
    assert image.shape[:2] == (500, 700)
    to_pixel = ax.transData.transform
    blank = to_pixel((8.5, 5.5))  # inside the NaN block
    filled = to_pixel((1.0, 1.5))
    pixel = lambda xy: image[image.shape[0] - int(round(xy[1])), int(round(xy[0])), :3]
    assert np.allclose(pixel(blank), 1.0) and not np.allclose(pixel(filled), 1.0)
    plt.close(fig)


def test_csv_and_json_hold_the_grid(tmp_path, hohmann_grid):
    state = circular(R_EARTH + 500.0, 0.0)
    grid = porkchop(state, state, [0.0, 60.0], [1000.0, math.pi * math.sqrt((R_EARTH + 500.0) ** 3 / MU)])
    grid.to_csv(tmp_path / "g.csv")
    grid.to_json(tmp_path / "g.json")
    rows = list(csv.DictReader((tmp_path / "g.csv").read_text().splitlines()))
    assert len(rows) == 4 and rows[1]["dv_total_km_s"] == "" and rows[1]["revolutions"] == "-1"
    assert float(rows[2]["departure_s"]) == 60.0 and float(rows[2]["dv_total_km_s"]) == grid.dv_total[1, 0]
    data = json.loads((tmp_path / "g.json").read_text())
    assert data["dv_total"][0][1] is None and data["dv_total"][1][0] == grid.dv_total[1, 0]
    assert data["chaser"] == list(state) and data["tofs"] == grid.tofs.tolist()


def test_missing_extras_name_the_extra(monkeypatch, hohmann_grid):
    for name in ("scipy", "scipy.optimize", "matplotlib", "matplotlib.pyplot", "tqdm"):
        monkeypatch.setitem(sys.modules, name, None)
    for call in (hohmann_grid.refine, hohmann_grid.plot,
                 lambda: porkchop(CHASER, TARGET, [0.0], [600.0], progress=True)):
        with pytest.raises(ImportError, match=r"vextal\[porkchop\]"):
            call()
    assert porkchop(CHASER, TARGET, [0.0], [600.0]).dv_total.shape == (1, 1)


# ---- the command line -----------------------------------------------------------------------------------

def cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vextal.astro", *map(str, args)], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def test_cli_prints_the_refined_optimum_and_writes_files(tmp_path):
    pytest.importorskip("scipy")
    pytest.importorskip("matplotlib")
    proc = cli("porkchop", "--chaser", *CHASER, "--target", *TARGET, "--departures", "0:6000:13",
               "--tofs", "3000:20000:18", "--max-revs", 2, "--out", tmp_path / "p.png", "--csv", tmp_path / "p.csv",
               "--json", tmp_path / "p.json")
    assert proc.returncode == 0, proc.stderr
    data = json.loads((tmp_path / "p.json").read_text())
    grid = porkchop(CHASER, TARGET, np.linspace(0, 6000, 13), np.linspace(3000, 20000, 18), max_revs=2)
    assert data["dv_total"] == grid.to_dict()["dv_total"] and data["max_revs"] == 2
    refined = grid.refine()
    line = [l for l in proc.stdout.splitlines() if l.startswith("refined")][0].split()
    assert float(line[1]) == pytest.approx(refined.departure, abs=1e-3)
    assert float(line[-1]) == pytest.approx(refined.dv_total, abs=1e-6)
    assert data["refined"]["dv_total"] == pytest.approx(refined.dv_total, abs=1e-12)
    assert len((tmp_path / "p.csv").read_text().splitlines()) == 1 + 13 * 18
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("options, size", [
    ([], (500, 700)),
    (["--which", "c3", "--axes", "arrival", "--levels", "8", "--dpi", "50", "--size", "400x300"], (300, 400)),
])
def test_cli_plot_options(tmp_path, options, size):
    pytest.importorskip("matplotlib")
    proc = cli("porkchop", "--chaser", *CHASER, "--target", *TARGET, "--departures", "0:6000:13",
               "--tofs", "3000:20000:18", "--max-revs", 2, "--no-refine", "--out", tmp_path / "p.png", *options)
    assert proc.returncode == 0, proc.stderr
    import matplotlib.pyplot as plt

    assert plt.imread(tmp_path / "p.png").shape[:2] == size


def test_cli_example_and_plan_word():
    proc = cli("porkchop", "--no-refine")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("Porkchop grid: 145 departures x 145 times of flight")
    assert cli("plan", "--json").stdout == cli("--json").stdout != ""


@pytest.mark.parametrize("args", [
    ["--departures", "0:10"], ["--departures", "10:0:5"], ["--tofs", "0:10:0"], ["--tofs", "a:b:3"],
    ["--tofs", "-60:600:3"], ["--departures", "0:100:1"], ["--tofs", "60:600:100000", "--departures", "0:1:1000"],
    ["--chaser", *CHASER], ["--chaser", *CHASER, "--target", *TARGET],
    ["--chaser", 0, 0, 0, 0, 1, 2, 3, "--target", *TARGET, "--departures", "0:1:2", "--tofs", "60:120:2"],
    # radial states on one line: every cell is collinear
    ["--chaser", 0, 7000, 0, 0, 1, 0, 0, "--target", 0, 8000, 0, 0, 0.5, 0, 0, "--departures", "0:100:3",
     "--tofs", "600:1200:3"],
    ["--max-revs", "-2"], ["--threads", "0"], ["--bogus"],
    ["--size", "700"], ["--size", "8x8"], ["--levels", "1"], ["--dpi", "0"], ["--which", "c4"], ["--axes", "date"],
])
def test_cli_bad_input_is_one_line_and_status_2(args):
    proc = cli("porkchop", *args)
    assert proc.returncode == 2, proc.stdout
    assert proc.stderr.startswith("python -m vextal.astro porkchop: error: ")
    assert proc.stderr.count("\n") == 1 and proc.stdout == ""


def test_a_client_hands_the_grid_to_the_distributed_module(monkeypatch):
    import types

    import vextal.astro

    calls = []
    fake = types.ModuleType("vextal.astro._distributed")
    fake.porkchop_on_cluster = lambda *args, **kwargs: calls.append((args, kwargs)) or "cluster result"
    monkeypatch.setitem(sys.modules, "vextal.astro._distributed", fake)
    monkeypatch.setattr(vextal.astro, "_distributed", fake, raising=False)
    client = object()
    assert porkchop(CHASER, TARGET, [0.0], [60.0], max_revs=2, client=client, chunks=7) == "cluster result"
    options = dict(mu=MU, cost="rendezvous", min_radius=None, arrive_at=None, depart_from=None)
    # The direction stays as given: the cluster module resolves it from the chaser's state, which a trajectory
    # gives only once sampled there.
    assert calls == [((CHASER, TARGET, [0.0], [60.0]), dict(prograde=None, max_revs=2, threads=None, progress=None,
                                                           client=client, chunks=7, options=options))]
