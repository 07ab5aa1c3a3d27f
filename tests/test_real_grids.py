"""Porkchop grids over real objects and dates: TLE and table ends against SGP4 sampled independently, transfers
that read what the grid read, departures given as dates, and what a dated grid writes and plots."""
import csv
import datetime
import json
import pickle

import numpy as np
import pytest
from sgp4.api import WGS72, Satrec

from vextal.astro import frames as F
from vextal.astro import time as T
from vextal.astro.porkchop import porkchop, survey
from vextal.astro.trajectory import J2, TLE, Table, TwoBody


def with_checksum(body):
    """A TLE line: 68 characters and the modulo-10 checksum (digits, and 1 per minus sign)."""
    assert len(body) == 68
    return body + str(sum(int(c) if c.isdigit() else c == "-" for c in body) % 10)


ISS = ("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006")
# A made-up object some 60 km above the ISS in nearly its plane, 15 degrees behind it.
HIGHER = (with_checksum("1 99001U 24001A   24001.50000000  .00001000  00000-0  20000-4 0  999"),
          with_checksum("2 99001  51.6400 247.6000 0010000 100.0000 340.0000 15.20000000    1"))
START = T.epoch("2024-01-01T12:00:00")  # both element sets' epoch
TOFS = np.linspace(1500.0, 9000.0, 16)


def sgp4_table(lines, start, stop, step=10.0):
    """States sampled straight from the sgp4 package (SGP4's own velocities) every `step` s, rotated to ECI."""
    sat = Satrec.twoline2rv(*lines, WGS72)
    epochs = np.arange(start, stop + step, step)
    jd, fr = T.jd(epochs)
    error, r, v = sat.sgp4_array(jd, fr)
    assert not error.any()
    return Table(epochs, *F.teme_to_eci(r, v, epochs))


@pytest.fixture(scope="module")
def iss():
    return TLE(*ISS, name="ISS")


@pytest.fixture(scope="module")
def higher():
    return TLE(*HIGHER, name="HIGHER")


# Departures from an hour after the chaser's epoch (the chaser's samples then start there, not at its epoch),
# as offsets and as dates.
@pytest.mark.parametrize("departures", [np.linspace(3600.0, 9000.0, 10),
                                        np.datetime64("2024-01-01T13:00") + np.arange(0, 5400, 600).astype("m8[s]")])
def test_grid_over_tles_equals_the_grid_over_sgp4_samples(iss, higher, departures):
    grid = porkchop(iss, higher, departures, TOFS, max_revs=1, threads=1)
    end = START + 9000.0 + TOFS[-1]
    reference = porkchop(sgp4_table(ISS, START, end), sgp4_table(HIGHER, START, end), grid.departures, TOFS,
                         max_revs=1, threads=1)
    assert reference.sources[0].epoch == grid.chaser[0] == iss.epoch  # offsets count from the same epoch
    finite = np.isfinite(reference.dv_total)
    assert finite.mean() > 0.9 and (np.isfinite(grid.dv_total) == finite).all()
    # The two tables differ by their sampling and SGP4's velocities against the rate of its positions
    # (14 to 20 mm/s for the ISS): the cells agree to a few cm/s (measured below 0.1 mm/s on most cells).
    assert np.abs(grid.dv_total - reference.dv_total)[finite].max() < 2e-4
    assert np.median(np.abs(grid.dv_total - reference.dv_total)[finite]) < 2e-5


@pytest.mark.parametrize("ends", ["tles", "table and tle", "two-body and table", "j2"])
def test_transfers_read_what_the_grid_read(iss, higher, ends):
    # Over hours the SGP4 or J2 motion departs from two-body by kilometres: a transfer re-solved from the
    # states at the epochs would not match its cell.
    end = START + 6 * 3600.0
    if ends == "j2":
        chaser, target = J2(iss.state_at(START)), J2(higher.state_at(START))
    else:
        chaser, target = {"tles": (iss, higher), "table and tle": (sgp4_table(ISS, START, end), higher),
                          "two-body and table": (TwoBody(iss.state_at(START)), sgp4_table(HIGHER, START, end))}[ends]
    grid = porkchop(chaser, target, np.linspace(0.0, 6000.0, 9), TOFS[::3], max_revs=1, threads=1)
    assert np.isfinite(grid.dv_total).sum() > 40
    for i, departure in enumerate(grid.departures):
        for j, tof in enumerate(grid.tofs):
            if np.isnan(grid.dv_total[i, j]):
                continue
            transfer = grid.transfer(departure, tof)
            assert transfer.dv_total == pytest.approx(grid.dv_total[i, j], rel=1e-9, abs=1e-12)
            assert (transfer.revolutions, transfer.branch) == (grid.revolutions[i, j], grid.branch[i, j])
            assert transfer.burns[0].time == grid.chaser[0] + departure
    best = grid.best()
    assert best.dv_total == pytest.approx(np.nanmin(grid.dv_total), rel=1e-12)
    refined = grid.refine()
    assert refined.dv_total <= best.dv_total
    # The refined point costs what a grid over the same sources says it costs (departures start at offset 0,
    # so the chaser's samples start at its epoch).
    again = porkchop(*grid.sources, [refined.departure], [refined.tof], max_revs=1, threads=1)
    assert again.dv_total[0, 0] == pytest.approx(refined.dv_total, rel=1e-12)


def test_survey_of_tles_samples_the_chaser_once_and_matches_single_grids(iss, higher):
    departures = np.linspace(0.0, 5400.0, 7)
    third = TLE(*THIRD)
    result = survey(iss, {"higher": higher, "third": third}, departures, TOFS, max_revs=1, threads=1)
    grids = dict(zip(["higher", "third"], result.porkchops))
    assert grids["higher"].sources[0] is grids["third"].sources[0]
    for name, target in (("higher", higher), ("third", third)):
        single = porkchop(iss, target, departures, TOFS, max_revs=1, threads=1)
        assert single.dv_total.tobytes() == grids[name].dv_total.tobytes()


DATES = ["2024-01-01T13:00:00", "2024-01-01T13:30:00", "2024-01-01T14:15:30.250"]


@pytest.mark.parametrize("form", ["iso", "datetime", "datetime64[ms]", "astropy", "aware datetime"])
def test_departures_as_dates_are_absolute_epochs(iss, higher, form):
    if form == "astropy":
        time = pytest.importorskip("astropy.time")
        departures = time.Time(DATES, scale="utc")
    elif form == "datetime64[ms]":
        departures = np.array(DATES, dtype="datetime64[ms]")
    elif form == "iso":
        departures = DATES
    else:
        departures = [datetime.datetime.fromisoformat(d) for d in DATES]
        if form == "aware datetime":  # the same instants, written two hours east of Greenwich
            zone = datetime.timezone(datetime.timedelta(hours=2))
            departures = [(d + datetime.timedelta(hours=2)).replace(tzinfo=zone) for d in departures]
    grid = porkchop(iss, higher, departures, TOFS, threads=1)
    absolute = np.array([T.epoch(d) for d in DATES])
    assert grid.departure_epochs.tolist() == absolute.tolist() and grid.epoch == iss.epoch
    assert grid.departures.tolist() == (absolute - iss.epoch).tolist()
    offsets = porkchop(iss, higher, absolute - iss.epoch, TOFS, threads=1)
    assert offsets.dv_total.tobytes() == grid.dv_total.tobytes()
    assert offsets.departure_epochs is None and offsets.epoch is None


@pytest.mark.parametrize("departures, tofs, offsets, seconds", [
    (np.array(["2024-01-02", "2024-01-03"], dtype="datetime64[D]"), [3600.0], [43200.0, 129600.0], [3600.0]),
    (np.array([0, 90], dtype="timedelta64[m]"), np.array([1, 2], dtype="timedelta64[h]"), [0.0, 5400.0],
     [3600.0, 7200.0]),
    ([np.timedelta64(0, "m"), np.timedelta64(30, "m")], [np.timedelta64(1, "h")], [0.0, 1800.0], [3600.0]),
])
def test_datetime64_and_timedelta64_are_never_bare_numbers(iss, departures, tofs, offsets, seconds):
    grid = porkchop(iss, iss, departures, tofs, threads=1)
    assert grid.departures.tolist() == offsets and grid.tofs.tolist() == seconds


@pytest.mark.parametrize("departures, tofs, error, text", [
    (["2024-01-01T13:00", 60.0], TOFS, TypeError, "mix dates and numbers"),
    ([0.0], ["2024-01-01T15:00"], TypeError, "durations"),
    ([0.0], [600.0, "2024-01-01T15:00"], TypeError, "tofs mix dates and numbers: times of flight are durations"),
    (np.array(["2024-01-01T13:00", "NaT"], dtype="datetime64[s]"), TOFS, ValueError, "valid dates"),
    ([0.0], np.array([60, "NaT"], dtype="timedelta64[s]"), ValueError, "NaT"),
    (["not a date"], TOFS, ValueError, "not a date"),
])
def test_bad_dates_are_refused(iss, departures, tofs, error, text):
    with pytest.raises(error, match=text):
        porkchop(iss, iss, departures, tofs)


@pytest.fixture(scope="module")
def dated(iss, higher):
    departures = np.datetime64("2024-01-01T13:00") + np.arange(0, 11 * 3600, 900).astype("m8[s]")
    return porkchop(iss, higher, departures, np.linspace(1800.0, 9000.0, 13), max_revs=1, threads=1)


def test_a_dated_grid_writes_its_dates(dated, tmp_path):
    data = dated.to_dict()
    assert data["epoch"] == "2024-01-01T12:00:00.000000"
    assert data["departure_dates"][:2] == ["2024-01-01T13:00:00.000000", "2024-01-01T13:15:00.000000"]
    dated.to_json(tmp_path / "grid.json")
    assert json.loads((tmp_path / "grid.json").read_text())["departure_dates"] == data["departure_dates"]
    dated.to_csv(tmp_path / "grid.csv")
    rows = list(csv.DictReader(open(tmp_path / "grid.csv")))
    assert len(rows) == dated.dv_total.size
    assert rows[dated.tofs.size]["departure_utc"] == "2024-01-01T13:15:00.000000"
    assert float(rows[dated.tofs.size]["departure_s"]) == 4500.0
    plain = porkchop(dated.chaser, dated.target, [0.0], [600.0]).to_dict()  # offsets: no dates to write
    assert "departure_dates" not in plain and "epoch" not in plain


def test_a_dated_grid_plots_dates(dated):
    dates = pytest.importorskip("matplotlib.dates")
    figure = dated.plot()
    ax = figure.axes[0]
    assert ax.get_xlabel() == "departure date (UTC)"
    low, high = ax.get_xlim()
    first = dates.date2num(datetime.datetime(2024, 1, 1, 13, 0))
    assert low <= first <= high and high - low < 0.6  # half a day of departures, in days
    assert 3 <= len([t for t in ax.get_xticks() if low <= t <= high]) <= 7  # hourly labels would run together
    optimum = dated.best()
    marker = [line for line in ax.get_lines() if line.get_marker() == "*"][0]
    when = T.to_datetime(dated.epoch + optimum.departure)
    assert marker.get_xdata()[0] == pytest.approx(dates.date2num(when), abs=1e-6)


def test_a_pickled_table_is_rebuilt_through_its_checks():
    # Cluster grids ship tables: the copy is read-only like the original, and a corrupted one is refused.
    table = Table([0.0, 60.0], np.full((2, 3), 7000.0), np.ones((2, 3)))
    data = pickle.dumps(table)
    copy = pickle.loads(data)
    assert not copy.positions.flags.writeable and copy.states(30.0)[0].tolist() == table.states(30.0)[0].tolist()
    bad = data.replace(np.array([60.0]).tobytes(), np.array([-60.0]).tobytes())
    assert bad != data
    with pytest.raises(ValueError, match="strictly increasing"):
        pickle.loads(bad)


# ---- the command line ------------------------------------------------------------------------------------------

THIRD = (with_checksum("1 99002U 24001B   24001.50000000  .00001000  00000-0  20000-4 0  999"),
         with_checksum("2 99002  51.6000 248.0000 0005000  90.0000 320.0000 15.30000000    1"))
WINDOW = ["--departures", "2024-01-01T13:00:2024-01-01T15:00:9", "--tofs", "1500:9000:11", "--max-revs", "1"]


@pytest.fixture(scope="module")
def files(tmp_path_factory, higher):
    folder = tmp_path_factory.mktemp("objects")
    (folder / "iss.tle").write_text("ISS (ZARYA)\n%s\n%s\n" % ISS)
    (folder / "higher.tle").write_text("%s\n%s\n" % HIGHER)
    (folder / "two.tle").write_text("HIGHER\n%s\n%s\nTHIRD\n%s\n%s\n" % (HIGHER + THIRD))
    (folder / "empty.tle").write_text("\n")
    (folder / "bad.tle").write_text("%s\n%s\n" % (ISS[0], ISS[1][:40]))
    pytest.importorskip("oem")
    from vextal.astro.trajectory import write_oem

    write_oem(folder / "higher.oem", higher, START + np.arange(0.0, 6 * 3600.0, 30.0), object_name="HIGHER")
    return folder


def run(*args):
    from vextal.astro import _cli_porkchop

    return _cli_porkchop.main([str(a) for a in args])


@pytest.mark.parametrize("target", [["--target-tle", "higher.tle"], ["--target-oem", "higher.oem"]])
def test_cli_grids_over_files_with_dates(files, target, iss, capsys):
    from vextal.astro.trajectory import read_oem

    assert run("--chaser-tle", files / "iss.tle", target[0], files / target[1], *WINDOW, "--no-refine",
               "--json", files / "out.json") == 0
    out = capsys.readouterr().out
    data = json.loads((files / "out.json").read_text())
    departures = np.datetime64("2024-01-01T13:00") + np.arange(0, 9).astype("m8[m]") * 15
    other = TLE(*HIGHER) if target[1].endswith("tle") else read_oem(files / target[1])
    grid = porkchop(iss, other, departures, np.linspace(1500, 9000, 11), max_revs=1)
    assert data["dv_total"] == grid.to_dict()["dv_total"]
    assert data["departure_dates"][-1] == "2024-01-01T15:00:00.000000"
    best = grid.best()
    when = T.to_datetime(grid.epoch + best.departure).isoformat(timespec="milliseconds")
    assert "best cell  departs %sZ" % when in out


def test_cli_target_file_of_several_is_a_survey(files, capsys, tmp_path):
    assert run("--chaser-tle", files / "iss.tle", "--target-tle", files / "two.tle", *WINDOW, "--no-refine",
               "--csv", tmp_path / "survey.csv") == 0
    out = capsys.readouterr().out.splitlines()
    result = survey(TLE(*ISS), {"HIGHER": TLE(*HIGHER), "THIRD": TLE(*THIRD)},
                    np.datetime64("2024-01-01T13:00") + np.arange(0, 9).astype("m8[m]") * 15,
                    np.linspace(1500, 9000, 11), max_revs=1)
    costs = {p_name: grid.best().dv_total for p_name, grid in zip(("HIGHER", "THIRD"), result.porkchops)}
    order = sorted(costs, key=costs.get)
    assert out[0].startswith("Survey: 2 targets, 9 departures x 11 times of flight")
    assert [line.split()[0] for line in out[2:4]] == order
    assert float(out[2].split()[-1]) == pytest.approx(costs[order[0]], abs=1e-6)
    assert "Cheapest target: %s" % order[0] in out
    rows = list(csv.DictReader(open(tmp_path / "survey.csv")))
    assert [r["target"] for r in rows] == order and rows[0]["departure_utc"].startswith("2024-01-01T1")


@pytest.mark.parametrize("args, words", [
    (["--chaser-tle", "missing.tle", "--target-tle", "higher.tle"] + WINDOW, "cannot read"),
    (["--chaser-tle", "two.tle", "--target-tle", "higher.tle"] + WINDOW, "holds 2 element sets"),
    (["--chaser-tle", "iss.tle", "--target-tle", "empty.tle"] + WINDOW, "holds no element set"),
    (["--chaser-tle", "iss.tle", "--target-tle", "bad.tle"] + WINDOW, "bad.tle"),
    (["--chaser-tle", "iss.tle", "--target-tle", "higher.tle", "--target-oem", "higher.oem"], "not allowed"),
    (["--chaser-tle", "iss.tle", "--chaser", 0, 7000, 0, 0, 0, 7.5, 0, "--target-tle", "higher.tle"], "not allowed"),
    (["--chaser-tle", "iss.tle"], "give a chaser"),
    (["--chaser-tle", "iss.tle", "--target-tle", "higher.tle", "--tofs", "60:600:3"], "required"),
    (["--departures", "2024-01-01T13:00:2024-13-01T15:00:9"], "2024-13-01"),
    (["--departures", "2024-01-01T15:00:2024-01-01T13:00:9"], "STOP must not be below START"),
    (["--departures", "2024-01-01T13:00:3600:9"], "START:STOP:N"),
    (["--departures", "2024-01-01:2024-01-02:x"], "whole number"),
    (["--chaser-tle", "iss.tle", "--target-oem", "higher.oem", "--departures", "2024-01-01T13:00:2024-01-01T20:00:3",
      "--tofs", "1500:9000:3"], "table spans"),  # the ephemeris ends at 18:00
])
def test_cli_bad_files_and_dates_are_one_line_with_status_2(files, args, words, capsys, monkeypatch):
    monkeypatch.chdir(files)
    with pytest.raises(SystemExit) as exit:
        run(*args)
    err = capsys.readouterr().err
    assert exit.value.code == 2 and err.count("\n") == 1
    assert err.startswith("python -m vextal.astro porkchop: error: ") and words in err, err
