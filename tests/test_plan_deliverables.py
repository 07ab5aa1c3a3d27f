"""A plan that leaves the session: relative states in RIC, burns in RIC and VNB, the transfer's flight, its
OEM and OPM files read back by other CCSDS readers, and dates in every output."""
import json
import math

import numpy as np
import pytest

from vextal.astro import arrays

MU = 398600.5


def gram_schmidt_ric(r, v):
    """RIC rows built another way: R from r, I by removing v's radial part, C = R x I."""
    radial = r / np.linalg.norm(r)
    along = v - np.dot(v, radial) * radial
    along /= np.linalg.norm(along)
    return np.array([radial, along, np.cross(radial, along)])


def moved(r, v, dt):
    r2, v2 = arrays.propagate(r, v, dt, mu=MU)
    return np.asarray(r2), np.asarray(v2)


@pytest.mark.parametrize("reference, offset, dv", [
    ((7000.0, 0.0, 0.0, 0.0, 7.546, 0.0), (1.0, 2.0, 3.0), (0.001, 0.0, 0.0)),
    ((6778.0, 500.0, -300.0, -0.6, 6.2, 4.1), (-0.5, 10.0, 0.2), (0.0, -0.002, 0.0005)),
    ((26000.0, 3000.0, 1000.0, -1.0, 3.2, 1.9), (20.0, -40.0, 5.0), (0.01, 0.0, -0.003)),
])
def test_eci_to_ric_against_a_rotating_frame_differentiated(reference, offset, dv):
    r_ref, v_ref = np.array(reference[:3]), np.array(reference[3:])
    r, v = r_ref + np.array(offset), v_ref + np.array(dv)
    position, velocity = arrays.eci_to_ric(r, v, r_ref, v_ref)
    assert np.allclose(position, gram_schmidt_ric(r_ref, v_ref) @ (r - r_ref), atol=1e-9)
    # The relative velocity seen from the turning frame: d/dt of the RIC position, by central differences.
    h = 0.5
    ahead = [moved(r, v, h), moved(r_ref, v_ref, h)]
    behind = [moved(r, v, -h), moved(r_ref, v_ref, -h)]
    p_ahead = gram_schmidt_ric(*ahead[1]) @ (ahead[0][0] - ahead[1][0])
    p_behind = gram_schmidt_ric(*behind[1]) @ (behind[0][0] - behind[1][0])
    assert np.allclose(velocity, (p_ahead - p_behind) / (2 * h), atol=2e-8)


def test_eci_to_ric_broadcasts_and_refuses_frameless_references():
    r_ref = np.array([[7000.0, 0.0, 0.0], [0.0, 0.0, 0.0], [7000.0, 0.0, 0.0]])
    v_ref = np.array([[0.0, 7.5, 0.0], [0.0, 7.5, 0.0], [7.5, 0.0, 0.0]])
    position, velocity = arrays.eci_to_ric(np.zeros((4, 1, 3)) + [7001.0, 0.0, 0.0], [0.0, 7.5, 0.0], r_ref, v_ref)
    assert position.shape == velocity.shape == (4, 3, 3)
    assert np.allclose(position[:, 0], [1.0, 0.0, 0.0])
    assert np.isnan(position[:, 1:]).all() and np.isnan(velocity[:, 1:]).all()
    with pytest.raises(ValueError, match="eci_to_ric"):
        arrays.eci_to_ric(np.zeros((2, 3)), np.zeros((3, 3)), np.ones(3), np.ones(3))


# ---- burns, flight and files ------------------------------------------------------------------------------

from vextal.astro import time  # noqa: E402
from vextal.astro.porkchop import porkchop  # noqa: E402
from vextal.astro.trajectory import J2, TwoBody, read_oem  # noqa: E402

T0 = time.epoch("2026-03-01T06:00:00")
# A 400 km chaser and a 1000 km target, their planes half a degree apart (the J2 transfer tests' pair).
CHASER = (T0, 6778.1374, 0.0, 0.0, 0.0, 4.763308, 6.009799)
TARGET = (T0, -3723.5631, 3936.5757, 5007.5304, -6.345244, -2.338222, -2.880128)
DEPARTURES = np.linspace(50000.0, 62000.0, 7)
TOFS = np.linspace(1200.0, 10800.0, 9)


def vnb_by_gram_schmidt(r, v):
    """VNB rows built another way: V from v, B by removing v's part from r, N = B x V."""
    along = v / np.linalg.norm(v)
    binormal = r - np.dot(r, along) * along
    binormal /= np.linalg.norm(binormal)
    return np.array([along, np.cross(binormal, along), binormal])


def transfer_of(kind):
    if kind == "j2-refined":
        pytest.importorskip("scipy.optimize")
        return porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1, model="j2").refine(model="j2")
    if kind == "hold-point":
        return porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1, arrive_at=(0.0, -2.0, 0.0)).best()
    return porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1).best()


def ends(transfer):
    """The chaser before departure and the target at arrival, from the plan's model."""
    mover = (lambda s: J2(s)) if transfer.model == "j2" else (lambda s: TwoBody(s))
    r1, v1 = mover(CHASER).states(transfer.burns[0].time)
    r2, v2 = mover(TARGET).states(transfer.burns[1].time)
    return r1, v1, r2, v2


TRANSFERS = ["two-body", "hold-point", "j2-refined"]


@pytest.mark.parametrize("kind", TRANSFERS)
def test_burns_in_ric_and_vnb_against_frames_built_another_way(kind):
    transfer = transfer_of(kind)
    records = transfer.burn_records()
    r1, v1, _, _ = ends(transfer)
    dv1 = np.array(transfer.burns[0].delta_v.to_tuple())
    # The chaser at the arrival burn: the departure state with the first burn, flown to arrival in the model.
    flown = transfer.trajectory().segments[0][2]
    r2, v2 = flown.states(transfer.burns[1].time)
    for record, burn, (r, v) in zip(records, transfer.burns, ((r1, v1), (r2, v2))):
        dv = np.array(burn.delta_v.to_tuple())
        assert record.epoch == burn.time and record.utc == time.to_datetime(burn.time).isoformat(
            timespec="microseconds")
        assert np.allclose(record.dv_eci, dv, atol=0, rtol=0)
        assert np.allclose(record.dv_ric, gram_schmidt_ric(r, v) @ dv, atol=1e-12)
        assert np.allclose(record.dv_vnb, vnb_by_gram_schmidt(r, v) @ dv, atol=1e-12)
        assert record.magnitude == pytest.approx(np.linalg.norm(dv), rel=1e-14)
    assert np.allclose(transfer.delta_v_ric[0], records[0].dv_ric) and np.allclose(transfer.delta_v("vnb")[1],
                                                                                  records[1].dv_vnb)
    assert np.allclose(records[0].dv_eci, dv1)


@pytest.mark.parametrize("kind", TRANSFERS)
def test_flight_lands_on_the_target_and_holds_its_velocity(kind):
    transfer = transfer_of(kind)
    coast = 1800.0
    flight = transfer.trajectory(coast=coast)
    t1, t2 = transfer.burns[0].time, transfer.burns[1].time
    r1, v1, r2, v2 = ends(transfer)
    if kind == "hold-point":  # the hold point 2 km behind the target, at rest in its frame
        axes = gram_schmidt_ric(r2, v2)
        r2 = r2 + axes.T @ np.array([0.0, -2.0, 0.0])
        omega = np.cross(r2 - axes.T @ np.array([0.0, -2.0, 0.0]), v2) / np.dot(r2 - axes.T @ [0.0, -2.0, 0.0],
                                                                                r2 - axes.T @ [0.0, -2.0, 0.0])
        v2 = v2 + np.cross(omega, axes.T @ np.array([0.0, -2.0, 0.0]))
    position, velocity = flight.states([t1, t2])
    assert np.allclose(position[0], r1, atol=1e-9)
    assert np.allclose(velocity[0], v1 + np.array(transfer.burns[0].delta_v.to_tuple()), atol=1e-12)
    tolerance = 2e-6 if kind == "j2-refined" else 1e-6  # the J2 correction lands within 1 m and 1 mm/s
    assert np.linalg.norm(position[1] - r2) < tolerance * 1e3
    assert np.linalg.norm(velocity[1] - v2) < tolerance
    # After the arrival burn a rendezvous coasts with the target.
    if kind != "hold-point":
        mover = J2 if transfer.model == "j2" else TwoBody
        r3, _ = mover(TARGET).states(t2 + coast)
        assert np.linalg.norm(flight.states(t2 + coast)[0] - r3) < 1e-2
    with pytest.raises(ValueError, match="the flight spans"):
        flight.states(t2 + coast + 1.0)


@pytest.mark.parametrize("kind", ["two-body", "j2-refined"])
@pytest.mark.parametrize("step, coast", [(60.0, 0.0), (137.0, 900.0)])
def test_oem_read_back_by_two_readers(tmp_path, kind, step, coast):
    ndm = pytest.importorskip("ccsds_ndm")
    transfer = transfer_of(kind)
    path = tmp_path / "transfer.oem"
    transfer.to_oem(path, step, coast=coast, object_name="CHASER")
    flight = transfer.trajectory(coast)
    message = ndm.from_file(str(path))
    assert len(message.segments) == (2 if coast else 1)
    for segment, (start, stop, kind_of) in zip(message.segments, flight.segments):
        vectors = segment.data.state_vector
        epochs = np.array([time.epoch(sv.epoch) for sv in vectors])
        assert epochs[0] == pytest.approx(start, abs=1e-6) and epochs[-1] == pytest.approx(stop, abs=1e-6)
        assert np.all(np.diff(epochs) <= step + 1e-6)
        r, v = kind_of.states(epochs)
        assert np.abs(np.array([[sv.x, sv.y, sv.z] for sv in vectors]) - r).max() < 1e-6  # 1 mm
        assert np.abs(np.array([[sv.x_dot, sv.y_dot, sv.z_dot] for sv in vectors]) - v).max() < 1e-9  # 1 um/s
    # The package's own reader joins the segments; the arc's last state (before the arrival burn) stays.
    table = read_oem(path)
    r, v = flight.segments[0][2].states(table.epochs[0])
    assert np.allclose(table.positions[0], r, atol=1e-6) and np.allclose(table.velocities[0], v, atol=1e-9)


@pytest.mark.parametrize("frame, field", [("EME2000", "dv_eci"), ("RTN", "dv_ric")])
@pytest.mark.parametrize("kind", ["two-body", "j2-refined"])
def test_opm_read_back_by_another_reader(tmp_path, frame, field, kind):
    ndm = pytest.importorskip("ccsds_ndm")
    transfer = transfer_of(kind)
    path = tmp_path / "transfer.opm"
    transfer.to_opm(path, frame=frame, object_name="CHASER 1", object_id="2026-001A")
    message = ndm.from_file(str(path))
    assert message.validate(strict=False) is None
    assert message.segment.metadata.object_name == "CHASER 1"
    data = message.segment.data
    r1, v1, _, _ = ends(transfer)
    state = data.state_vector
    assert time.epoch(state.epoch) == pytest.approx(transfer.burns[0].time, abs=1e-6)
    assert np.abs(np.array([state.x, state.y, state.z]) - r1).max() < 1e-6
    assert np.abs(np.array([state.x_dot, state.y_dot, state.z_dot]) - v1).max() < 1e-9
    assert len(data.maneuver_parameters) == 2
    for manoeuvre, record in zip(data.maneuver_parameters, transfer.burn_records()):
        assert manoeuvre.man_ref_frame == frame and manoeuvre.man_duration == 0.0
        assert time.epoch(manoeuvre.man_epoch_ignition) == pytest.approx(record.epoch, abs=1e-6)
        dv = np.array([manoeuvre.man_dv_1, manoeuvre.man_dv_2, manoeuvre.man_dv_3])
        assert np.abs(dv - np.array(getattr(record, field))).max() < 1e-12


@pytest.mark.parametrize("options, message", [
    ({"frame": "LVLH"}, "frame must be"), ({"object_name": "A\nB"}, "printable ASCII"),
    ({"mass": -1.0}, "mass must be"), ({"object_name": ""}, "printable ASCII"),
])
def test_opm_refuses_what_would_break_the_file(tmp_path, options, message):
    path = tmp_path / "kept.opm"
    path.write_text("old")
    with pytest.raises(ValueError, match=message):
        transfer_of("two-body").to_opm(path, **options)
    assert path.read_text() == "old"


def test_a_transfer_without_a_plan_says_so():
    from vextal.astro.porkchop import Transfer

    transfer = transfer_of("two-body")
    bare = Transfer(transfer.departure, transfer.tof, 0, 0, transfer.burns)
    with pytest.raises(ValueError, match="carries no plan"):
        bare.burn_records()
    assert "departure_utc" in bare.as_dict() and "burn_records" not in bare.as_dict()


# ---- dates and tables ---------------------------------------------------------------------------------------

ISO = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}"


@pytest.mark.parametrize("kind", TRANSFERS)
def test_dates_in_repr_dict_and_html(kind):
    import re

    transfer = transfer_of(kind)
    utc = time.to_datetime(transfer.burns[0].time).isoformat(timespec="microseconds")
    assert "departure_utc=%r" % utc in repr(transfer)
    data = json.loads(json.dumps(transfer.as_dict()))
    assert data["departure_utc"] == utc and data["burns"][1]["utc"] == transfer.arrival_utc
    assert data["burn_units"]["time_scale"] == "UTC" and data["burn_units"]["delta_v"] == "km/s"
    assert [b["dv_ric"] for b in data["burn_records"]] == [list(v) for v in transfer.delta_v_ric]
    page = transfer._repr_html_()
    assert utc in page and "%.6g" % transfer.dv_total in page and len(re.findall(ISO, page)) == 2
    assert "%.6f" % transfer.delta_v_vnb[1][2] in page
    assert "utc='%s'" % utc in repr(transfer.burn_records()[0])


@pytest.fixture(scope="module")
def grids():
    offsets = porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1)
    dated = porkchop(CHASER, TARGET, time.to_datetime64(T0 + DEPARTURES), TOFS, max_revs=1)
    return {"offsets": offsets, "dated": dated}


FIELDS = ("dv_departure", "dv_arrival", "dv_total", "revolutions", "branch", "status")


@pytest.mark.parametrize("which", ["offsets", "dated"])
def test_xarray_and_pandas_round_trip_every_field(grids, which):
    pytest.importorskip("xarray")
    pytest.importorskip("pandas")
    grid = grids[which]
    dataset = grid.to_xarray()
    assert dataset.sizes == {"departure": grid.shape[0], "tof": grid.shape[1]}
    for name in FIELDS:
        assert dataset[name].dims == ("departure", "tof")
        np.testing.assert_array_equal(dataset[name].values, getattr(grid, name))
        assert dataset[name].dtype == getattr(grid, name).dtype
    np.testing.assert_array_equal(dataset["departure_s"].values, grid.departures)
    np.testing.assert_array_equal(dataset["tof"].values, grid.tofs)
    if which == "dated":
        assert dataset["departure"].dtype.kind == "M"
        back = np.array([time.epoch(d) for d in dataset["departure"].values]) - T0
        np.testing.assert_allclose(back, grid.departures, atol=1e-6)
    else:
        np.testing.assert_array_equal(dataset["departure"].values, grid.departures)
    assert dataset.attrs["model"] == grid.model and dataset.attrs["time_scale"] == "UTC"
    frame = grid.to_pandas()
    assert len(frame) == grid.dv_total.size
    for name in FIELDS:
        pivot = frame.pivot(index="departure_s", columns="tof_s", values=name)
        np.testing.assert_array_equal(pivot.to_numpy(), getattr(grid, name))
    assert ("departure_utc" in frame.columns) == (which == "dated")


@pytest.mark.parametrize("which", ["offsets", "dated"])
def test_grid_html_and_png(grids, which):
    grid = grids[which]
    best = grid.best()
    page = grid._repr_html_()
    assert "%.6g" % best.dv_total in page and best.departure_utc in page
    assert "%d departures x %d times of flight" % grid.shape in page
    png = grid._repr_png_()
    assert png[:8] == b"\x89PNG\r\n\x1a\n"


def test_json_and_survey_carry_dates_and_units(grids, tmp_path):
    from vextal.astro.porkchop import survey

    grid = grids["offsets"]
    grid.to_json(tmp_path / "grid.json")
    data = json.loads((tmp_path / "grid.json").read_text())
    assert data["epoch_utc"] == "2026-03-01T06:00:00.000000"
    assert data["units"]["dv_total"] == "km/s" and data["units"]["time_scale"] == "UTC"
    table = survey(CHASER, {"a": TARGET}, DEPARTURES, TOFS, max_revs=1).table
    assert table[0]["departure_utc"] == grid.best().departure_utc
    page = table._repr_html_()
    assert "departure_utc" in page and grid.best().departure_utc in page


# ---- the commands ------------------------------------------------------------------------------------------


def state_text(state):
    return [repr(float(x)) for x in state]


@pytest.mark.parametrize("command", ["porkchop", "plan"])
def test_commands_write_oem_and_opm_and_print_dated_burns(tmp_path, capsys, command):
    import re

    ndm = pytest.importorskip("ccsds_ndm")
    from vextal.astro import __main__ as entry

    oem, opm = tmp_path / "out.oem", tmp_path / "out.opm"
    args = [command, "--chaser", *state_text(CHASER), "--target", *state_text(TARGET), "--oem-out", str(oem),
            "--opm-out", str(opm)]
    if command == "porkchop":
        args += ["--departures", "50000:62000:7", "--tofs", "1200:10800:9", "--max-revs", "1", "--no-refine"]
    else:
        args += ["--tof", "5000", "--max-revs", "1"]
    assert entry.main(args) == 0
    out = capsys.readouterr().out
    burns = [line for line in out.splitlines() if re.search(r"(departure|arrival) burn " + ISO, line)]
    assert len(burns) == 2 and all("RIC" in line and "VNB" in line for line in burns)
    message = ndm.from_file(str(opm))
    manoeuvres = message.segment.data.maneuver_parameters
    epochs = [time.epoch(m.man_epoch_ignition) for m in manoeuvres]
    for line, epoch in zip(burns, epochs):
        assert time.to_datetime(epoch).isoformat(timespec="microseconds") in line
    assert time.epoch(message.segment.data.state_vector.epoch) == pytest.approx(epochs[0], abs=1e-6)
    vectors = ndm.from_file(str(oem)).segments[0].data.state_vector
    assert time.epoch(vectors[0].epoch) == pytest.approx(epochs[0], abs=1e-6)
    assert time.epoch(vectors[-1].epoch) == pytest.approx(epochs[1], abs=1e-6)
    if command == "porkchop":
        assert "delta-v km/s in ECI = EME2000" in out
        first = re.search(r"RIC \(([-+\d. ,]+)\)", burns[0]).group(1)
        best = porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1).best()
        assert np.allclose([float(x) for x in first.split(",")], best.delta_v_ric[0], atol=1e-6)


def test_porkchop_command_vmax_and_bad_output(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from vextal.astro import _cli_porkchop

    common = ["--chaser", *state_text(CHASER), "--target", *state_text(TARGET), "--departures", "50000:62000:7",
              "--tofs", "1200:10800:9", "--max-revs", "1", "--no-refine"]
    assert _cli_porkchop.main(common + ["--vmax", "0.9", "--out", str(tmp_path / "p.png")]) == 0
    assert (tmp_path / "p.png").stat().st_size > 0
    with pytest.raises(SystemExit) as stop:
        _cli_porkchop.main(common + ["--opm-out", str(tmp_path / "missing" / "p.opm")])
    assert stop.value.code == 2 and "cannot write" in capsys.readouterr().err


# ---- the guide's examples ------------------------------------------------------------------------------------

import os  # noqa: E402
import pathlib  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide" / "plan-deliverables.md"
GUIDE_BLOCKS = re.findall(r"^```python\n(.*?)^```$", GUIDE.read_text(), re.M | re.S)
# What each block leaves behind, and a line its output must hold.
GUIDE_OUTPUTS = [(["plan.opm", "plan.oem", "ric_tle.png", "ric_tle_zoom.png", "porkchop_safe_tle.png"],
                  r"departure_utc='2024-01-01T"),
                 ([], r"two-body"), (["earth_mars_c3.png"], r"^2020-0[6-8]-")]


@pytest.mark.parametrize("index", range(len(GUIDE_OUTPUTS)))
def test_guide_examples_run(tmp_path, index):
    pytest.importorskip("matplotlib")
    pytest.importorskip("pandas")
    pytest.importorskip("xarray")
    pytest.importorskip("jplephem")
    assert len(GUIDE_BLOCKS) == len(GUIDE_OUTPUTS)
    script = tmp_path / "example.py"
    script.write_text(GUIDE_BLOCKS[index])
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, env=env,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    files, line = GUIDE_OUTPUTS[index]
    assert all((tmp_path / name).stat().st_size > 0 for name in files)
    assert re.search(line, proc.stdout, re.M), proc.stdout


@pytest.mark.parametrize("offset", [(0.0, 5.0, 0.0), (-1.0, 2.0, 0.5)])
def test_flight_leaves_from_the_departure_point(offset):
    transfer = porkchop(CHASER, TARGET, DEPARTURES, TOFS, max_revs=1, depart_from=offset).best()
    flight = transfer.trajectory()
    t1, t2 = transfer.burns[0].time, transfer.burns[1].time
    r1, v1 = TwoBody(CHASER).states(t1)
    start, _ = flight.states(t1)
    np.testing.assert_allclose(start, r1 + gram_schmidt_ric(r1, v1).T @ np.array(offset), atol=1e-9)
    r2, v2 = TwoBody(TARGET).states(t2)
    end, velocity = flight.states(t2)
    assert np.linalg.norm(end - r2) < 1e-6 and np.linalg.norm(velocity - v2) < 1e-9


@pytest.mark.parametrize("kind", ["two-body", "hold-point"])
def test_burn_csv(tmp_path, kind):
    import csv

    transfer = transfer_of(kind)
    transfer.to_csv(tmp_path / "burns.csv")
    rows = list(csv.DictReader(open(tmp_path / "burns.csv")))
    assert [r["burn"] for r in rows] == ["departure", "arrival"]
    for row, record in zip(rows, transfer.burn_records()):
        assert float(row["epoch_s"]) == record.epoch and row["utc"] == record.utc
        assert re.fullmatch(ISO, row["utc"])
        for frame, axes in (("eci", "xyz"), ("ric", "ric"), ("vnb", "vnb")):
            assert [float(row["dv_%s_%s_km_s" % (frame, a)]) for a in axes] == list(record.delta_v(frame))
