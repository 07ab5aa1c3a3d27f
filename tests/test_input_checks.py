"""Inputs checked at the door: element sets, OEM files, epochs, EOP and elements values, surveys that survive
one bad object, and the warnings where a unit mistake is likely."""
import datetime
import decimal
import fractions
import math
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
import sgp4

from vextal.astro import _oem, _tle, elements as E, frames as F, time as T
from vextal.astro.porkchop import DirectionWarning, porkchop, survey
from vextal.astro.trajectory import TLE, read_omm, read_tle, write_oem

pytest.importorskip("oem")

ISS = ("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006")
DEPOT = ("1 99001U 24001A   24001.50000000  .00001000  00000-0  20000-4 0  9995",
         "2 99001  51.6400 247.6000 0010000 100.0000  20.0000 15.20000000    19")
DOOMED = ("1 99999U 24001A   24001.00000000  .00000000  00000-0  50000-0 0  9994",  # decays within the hour
          "2 99999  51.6000  10.0000 0010000  10.0000 350.0000 16.00000000    18")
START = T.epoch("2024-01-01T12:00:00")


def changed(line, column, text):
    """The line with `text` written from 1-based `column` on, its checksum made right again."""
    body = (line[:column - 1] + text + line[column - 1 + len(text):])[:68]
    return body + str(sum(int(c) if c.isdigit() else c == "-" for c in body) % 10)


@pytest.mark.parametrize("line1, line2, name, message", [
    (ISS[0][:-1] + "5", ISS[1], None, "satellite 25544: line 1's checksum is 5"),
    (ISS[0], ISS[1][:-1] + "5", None, "line 2's checksum is 5"),
    (ISS[0][:68], ISS[1], None, "line 1 has no checksum digit"),
    (changed(ISS[0], 54, " 10270- "), ISS[1], None, r"columns 54-61 \(BSTAR\) ' 10270- '"),
    (changed(ISS[0], 45, " 0000x-0"), ISS[1], None, "second derivative"),
    (changed(ISS[0], 21, "000.5000"), ISS[1], None, "day of the year"),
    (ISS[0], changed(ISS[1], 9, "200.0000"), None, r"inclination\) 200.0000 is outside \[0, 180\]"),
    (ISS[0], changed(ISS[1], 27, "00x6703"), None, "eccentricity"),
    (ISS[0], changed(ISS[1], 53, "        nan"), None, "mean motion"),
    (ISS[0], ISS[1], "ISS\nMETA_START", "control characters"),
], ids=["checksum-1", "checksum-2", "no-checksum", "bstar-exponent", "nddot", "day-0", "inclination",
        "eccentricity", "mean-motion-nan", "name-line-break"])
def test_element_sets_are_refused_naming_the_satellite_and_field(line1, line2, name, message):
    with pytest.raises(ValueError, match=message):
        TLE(line1, line2, name)


def test_a_wrong_checksum_is_accepted_on_request_and_the_states_are_the_same():
    wrong = TLE(ISS[0][:-1] + "5", ISS[1][:-1] + "5", checksum=False)
    np.testing.assert_array_equal(wrong.states(START)[0], TLE(*ISS).states(START)[0])


OMM_FIELDS = ("CCSDS_OMM_VERS,COMMENT,CREATION_DATE,ORIGINATOR,OBJECT_NAME,OBJECT_ID,CENTER_NAME,REF_FRAME,"
              "TIME_SYSTEM,MEAN_ELEMENT_THEORY,EPOCH,MEAN_MOTION,ECCENTRICITY,INCLINATION,RA_OF_ASC_NODE,"
              "ARG_OF_PERICENTER,MEAN_ANOMALY,EPHEMERIS_TYPE,CLASSIFICATION_TYPE,NORAD_CAT_ID,ELEMENT_SET_NO,"
              "REV_AT_EPOCH,BSTAR,MEAN_MOTION_DOT,MEAN_MOTION_DDOT")
OMM_ISS = dict(zip(OMM_FIELDS.split(","), (
    "2.0", "", "2024-01-01T00:00:00", "x", "ISS (ZARYA)", "1998-067A", "EARTH", "TEME", "UTC", "SGP4",
    "2024-01-01T12:00:00.000000", "15.49815308", ".0006703", "51.6416", "247.4627", "130.5360", "325.0288", "0",
    "U", "25544", "999", "3000", ".10270E-3", ".00016717", "0")))


@pytest.mark.parametrize("change, message", [
    ({"MEAN_MOTION": "nan"}, r"record 1 \(satellite 25544\): .*mean motion is nan"),
    ({"BSTAR": "inf"}, "BSTAR is inf"),
    ({"ECCENTRICITY": "1.5"}, "eccentricity 1.5 is out of range"),
    ({"OBJECT_NAME": "\"ISS\nMETA_START\""}, "control characters"),
    ({"EPOCH": "2024-13-01T00:00:00.000000"}, "record 1"),
    ({"MEAN_MOTION": None}, "has no MEAN_MOTION"),
])
def test_omm_records_are_checked_as_element_sets(tmp_path, change, message):
    record = {k: v for k, v in dict(OMM_ISS, **change).items() if v is not None}
    path = tmp_path / "x.csv"
    path.write_text(",".join(record) + "\n" + ",".join(record.values()) + "\n")
    with pytest.raises(ValueError, match=message) as info:
        read_omm(path)
    assert str(path) in str(info.value)


def test_read_tle_names_the_file_line_and_satellite_of_the_sgp4_verification_set():
    path = os.path.join(os.path.dirname(sgp4.__file__), "SGP4-VER.TLE")
    with pytest.raises(ValueError, match=r"SGP4-VER.TLE: lines 100-101: satellite 33333: line 1's checksum"):
        read_tle(path)
    with pytest.raises(ValueError, match=r"lines 103-104: satellite 33334: SGP4 refuses"):
        read_tle(path, checksum=False)


@pytest.mark.parametrize("content, bound, message", [
    (b"\x7fELF\x02\x01\x01\x00" + bytes(range(256)), None, "line 1: not a text file"),
    (b"ISS\nnot an element set\n", None, "no two-line element set"),
    (("ISS\n" + "\n".join(ISS) + "\n").encode() * 4, 300, "larger than 300 bytes"),
], ids=["binary", "names-only", "size-bound"])
def test_read_tle_refuses_what_is_not_a_bounded_text_of_element_sets(tmp_path, monkeypatch, content, bound, message):
    if bound is not None:
        monkeypatch.setattr(_tle, "MAX_INPUT_BYTES", bound)
    path = tmp_path / "x.tle"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        read_tle(path)


@pytest.mark.parametrize("offset_days, outcome", [
    (13.0, None), (-20.0, "20.0 days from its epoch"), (200.0, "200.0 days from its epoch"),
    (400.0, "beyond the limit of 366 days"), (-(124 * 365.25), "1899-12-31T12:00:00.000Z"),
])
def test_element_sets_used_far_from_their_epoch_warn_then_are_refused(offset_days, outcome):
    iss = TLE(*ISS, name="ISS")
    at = iss.epoch + offset_days * 86400.0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if outcome is not None and (abs(offset_days) > 366):
            with pytest.raises(ValueError, match=outcome):
                iss.states(at)
            return
        r, _ = iss.states(at)
    ages = [w for w in caught if issubclass(w.category, _tle.ElementAgeWarning)]
    if outcome is None:
        assert not ages
    else:
        assert len(ages) == 1 and outcome in str(ages[0].message) and "satellite 25544 (ISS)" in str(ages[0].message)
    assert np.isfinite(r).all()


def test_an_age_refusal_hints_at_an_mjd():
    with pytest.raises(ValueError, match="Modified Julian Dates"):
        TLE(*ISS).states(60310.5)


@pytest.mark.parametrize("call", [lambda: TLE(*ISS).propagate([]), lambda: _tle.propagate_many([TLE(*ISS)], [])])
def test_empty_epochs_give_empty_states(call):
    out = call()
    assert out.r.shape[-2:] == (0, 3) and out.status.shape[-1] == 0


# ---- surveys ------------------------------------------------------------------------------------------------------

def test_a_survey_keeps_going_past_a_failing_target_and_leaves_out_the_chaser():
    iss = TLE(*ISS, name="ISS")
    targets = {"depot": TLE(*DEPOT), "doomed": TLE(*DOOMED), "iss": TLE(*ISS)}
    departures = np.linspace(0.0, 3600.0, 4)  # after the chaser's epoch
    with pytest.warns(UserWarning, match="'iss' is the chaser itself"):
        result = survey(iss, targets, departures, np.linspace(1200.0, 5400.0, 5))
    rows = {r["target"]: r for r in result.table}
    assert set(rows) == {"depot", "doomed"} and len(result.porkchops) == 1
    assert rows["depot"]["error"] is None and math.isfinite(rows["depot"]["dv_total"])
    assert math.isnan(rows["doomed"]["dv_total"]) and "satellite 99999" in rows["doomed"]["error"]
    assert result.porkchops[0].best().dv_total == rows["depot"]["dv_total"]
    assert [r["target"] for r in result.table] == ["depot", "doomed"]


def test_a_direction_warning_names_the_target():
    chaser = (0.0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0)
    retro = (0.0, 0.0, 7100.0, 0.0, 7.4, 0.0, 0.0)
    with pytest.warns(DirectionWarning, match="target 'retro'"):
        survey(chaser, {"retro": retro, "ahead": (0.0, 0.0, 7100.0, 0.0, -7.4, 0.0, 0.0)}, [0.0, 600.0],
               [1800.0, 2400.0])


def cli(*args):
    return subprocess.run([sys.executable, "-m", "vextal.astro", "porkchop", *map(str, args)], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("sets, code, says", [
    ([("ISS", ISS), ("DEPOT", DEPOT), ("DOOMED", DOOMED)], 0,
     ["satellite 25544 is the chaser itself", "target DOOMED skipped: target 'DOOMED': SGP4 error"]),
    ([("DOOMED", DOOMED), ("DOOMED 2", DOOMED)], 2, ["every target was skipped"]),
], ids=["one-fails", "all-fail"])
def test_the_command_line_survey_skips_targets_that_fail(tmp_path, sets, code, says):
    (tmp_path / "iss.tle").write_text("ISS\n" + "\n".join(ISS) + "\n")
    (tmp_path / "all.tle").write_text("".join("%s\n%s\n%s\n" % (name, *lines) for name, lines in sets))
    proc = cli("--chaser-tle", tmp_path / "iss.tle", "--target-tle", tmp_path / "all.tle", "--departures",
               "2024-01-01T12:00:2024-01-01T13:00:3", "--tofs", "1200:5400:4", "--no-refine")
    assert proc.returncode == code, proc.stderr
    for text in says:
        assert text in proc.stderr
    if code == 0:
        assert "DEPOT" in proc.stdout and "Traceback" not in proc.stderr


@pytest.mark.parametrize("args, message", [
    (["--threads", "2000"], "argument --threads: must be at most 1024"),
    (["--target-oem", "TRUNCATED"], "read_oem(): "),
], ids=["threads", "xml-oem"])
def test_command_line_errors_name_the_option_or_file(tmp_path, args, message):
    iss = TLE(*ISS)
    write_oem(tmp_path / "x.xml", iss, START + np.arange(0.0, 600.0, 60.0), format="xml")
    text = (tmp_path / "x.xml").read_text()
    (tmp_path / "cut.xml").write_text(text[:len(text) // 2])
    (tmp_path / "iss.tle").write_text("\n".join(ISS) + "\n")
    args = [str(tmp_path / "cut.xml") if a == "TRUNCATED" else a for a in args]
    target = [] if "--target-oem" in args else ["--target-tle", tmp_path / "iss.tle"]
    proc = cli("--chaser-tle", tmp_path / "iss.tle", *target, *args, "--departures", "0:60:2", "--tofs", "1200:1800:2")
    assert proc.returncode == 2 and message in proc.stderr and "Traceback" not in proc.stderr, proc.stderr


# ---- OEM files ----------------------------------------------------------------------------------------------------

def kvn(system, stamps, x0=7000):
    return ("CCSDS_OEM_VERS = 2.0\nCREATION_DATE = 2024-01-01T00:00:00\nORIGINATOR = test\n\nMETA_START\n"
            "OBJECT_NAME = X\nOBJECT_ID = X\nCENTER_NAME = EARTH\nREF_FRAME = EME2000\nTIME_SYSTEM = %s\n"
            "START_TIME = %s\nSTOP_TIME = %s\nMETA_STOP\n\n" % (system, stamps[0], stamps[-1])
            + "".join("%s %d 0 0 0 7.5 0\n" % (s, x0 + k) for k, s in enumerate(stamps)))


GOOD = kvn("UTC", ["2024-01-01T00:00:00.000", "2024-01-01T00:01:00.000", "2024-01-01T00:02:00.000"])


@pytest.mark.parametrize("text, message", [
    (GOOD.replace("REF_FRAME = EME2000\n", ""), r"line 12: Missing required header: REF_FRAME"),
    (GOOD.replace("2024-01-01T00:01:00.000 7001", "2024-01-01x00:01:00.000 7001"), "line 16: .*not a time"),
    (GOOD.replace("2024-01-01T00:01:00.000 7001", "2025-01-01T00:01:00.000 7001"), "line 16: .*outside START"),
    (kvn("UTC", ["2024-01-01T00:00:00", "2024-01-01T00:01:30", "2024-01-01T00:01:00", "2024-01-01T00:02:00"]),
     "line 17: .*not after"),
    (GOOD.replace("7001 0 0", "7001 0"), "line 16"),
    (GOOD + kvn("UTC", ["2024-01-01T00:01:30.000", "2024-01-01T00:05:00.000"]).split("\n\n", 1)[1], "overlap"),
    (GOOD.replace("7001 0 0 0 7.5", "7001 0 0 0 nan"), r"segment 1 \(line 5\): a state is not finite"),
], ids=["missing-keyword", "bad-time", "time-past-stop", "time-order", "short-row", "overlap", "nan"])
def test_malformed_oem_files_are_value_errors_naming_file_and_line(tmp_path, text, message):
    path = tmp_path / "x.oem"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as info:
        _oem.read_oem_arrays(path)
    assert str(path) in str(info.value)


@pytest.mark.parametrize("system, stamps", [
    ("UTC", ["2016-12-31T23:59:59.000", "2016-12-31T23:59:60.000", "2017-01-01T00:00:00.000"]),
    ("TAI", ["2017-01-01T00:00:35.000", "2017-01-01T00:00:36.000", "2017-01-01T00:00:37.000"]),
])
def test_a_sample_inside_a_leap_second_is_refused_not_lost(tmp_path, system, stamps):
    (tmp_path / "leap.oem").write_text(kvn(system, stamps))
    with pytest.raises(ValueError, match="samples 2 and 3 both read as 2017-01-01T00:00:00.000Z.*leap second"):
        _oem.read_oem_arrays(tmp_path / "leap.oem")


@pytest.mark.parametrize("field, value", [("object_name", "ISS\nMETA_START"), ("object_id", "1998-067A\r"),
                                          ("object_name", "")])
def test_write_oem_refuses_names_that_would_forge_lines(tmp_path, field, value):
    with pytest.raises(ValueError, match=field):
        write_oem(tmp_path / "x.oem", TLE(*ISS), START + np.arange(3.0), **{field: value})
    assert not (tmp_path / "x.oem").exists()


def test_write_oem_past_a_file_size_limit_leaves_the_old_file_whole(tmp_path):
    old = tmp_path / "x.oem"
    old.write_text(GOOD)
    script = ("import resource, numpy as np\n"
              "from vextal.astro.trajectory import TLE, write_oem\n"
              "resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))\n"
              "iss = TLE(%r, %r)\n"
              "try:\n"
              "    write_oem(%r, iss, iss.epoch + np.arange(0.0, 6000.0, 10.0))\n"
              "except OSError as exc:\n"
              "    print('refused', exc.errno)\n" % (ISS[0], ISS[1], str(old)))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert "refused" in proc.stdout, proc.stderr
    assert old.read_text() == GOOD and os.listdir(tmp_path) == ["x.oem"]


# ---- epochs, EOP, elements ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("value, error, message", [
    (None, TypeError, "None is not an epoch"),
    (datetime.time(12), TypeError, "time is not an epoch"),
    (datetime.timedelta(days=1), TypeError, "timedelta is not an epoch"),
    (np.array([None, 1.0], dtype=object), TypeError, "None"),
    (object(), TypeError, "cannot read an epoch from object"),
    (np.datetime64(2**62, "Y"), ValueError, "beyond 10000 years"),
    (np.array([0, 2**60], dtype="datetime64[D]"), ValueError, "beyond 10000 years"),
    ("2024-01-01T00:00+99:99", ValueError, "offset"),
    ("2024-01-01T00:00+12:60", ValueError, "offset"),
])
def test_what_is_not_a_time_is_refused_without_recursion(value, error, message):
    with pytest.raises(error, match=message):
        T.epoch(value)


@pytest.mark.parametrize("value, expected", [(fractions.Fraction(3, 2), 1.5), (decimal.Decimal("2.25"), 2.25),
                                             ("2024-01-01T05:30+05:30", T.epoch("2024-01-01T00:00"))])
def test_numbers_of_other_types_and_offsets_in_range_are_read(value, expected):
    assert T.epoch(value) == expected


STATE = (np.array([7000.0, 0.0, 0.0]), np.array([0.0, 7.5, 0.0]))


@pytest.mark.parametrize("eop, epochs, error, message", [
    ({"dut1": np.nan}, START, ValueError, r"eop\['dut1'\] must be finite"),
    ({"dut1": np.inf}, START, ValueError, "must be finite"),
    ({"dut1": None}, START, TypeError, "real numbers"),
    ({"dut1": 1e6}, START, ValueError, "within"),
    ({"xp": "0.1"}, START, TypeError, "real numbers"),
    ({"epochs": [np.nan, START], "dut1": [0.1, 0.2]}, START, ValueError, "finite epochs"),
    ({"epochs": [START, START + 1], "dut1": [0.1]}, START, ValueError, "one value per epoch"),
    (None, None, TypeError, "epochs: None is not an epoch"),
])
def test_eop_and_epochs_are_checked(eop, epochs, error, message):
    with pytest.raises(error, match=message):
        F.eci_to_efg(*STATE, epochs, eop)


@pytest.mark.parametrize("call, message", [
    (lambda: E.to_state(0.0, 2.0, 10.0, 0.0, 0.0, 0.0), "a must not be zero"),
    (lambda: E.from_state(*STATE, mu=1e-300), "mu = 1e-300"),
    (lambda: E.from_state([[7000.0, 0.0, 0.0]] * 2, [[0.0, 7.5, 0.0]] * 2, mu=1e-300), r"index \(0,\): mu"),
])
def test_elements_refuse_what_has_no_finite_answer(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("a, e, i", [(42164.0, 5e-11, 0.05), (42164.0, 9e-11, 30.0), (384000.0, 3e-11, 60.0),
                                     (42164.0, 0.001, 3e-9)])
def test_the_elements_round_trip_keeps_near_circular_and_equatorial_states(a, e, i):
    angles = np.random.default_rng(7).uniform(0.0, 360.0, (200, 3))
    r, v = E.to_state(a, e, i, angles[:, 0], angles[:, 1], angles[:, 2])
    back, _ = E.to_state(*E.from_state(r, v)[:6])
    assert np.abs(back - r).max() < 1e-8  # km: 10 micrometres


# ---- unit mistakes ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: porkchop((0.0, 7000e3, 0.0, 0.0, 0.0, 7.5e3, 0.0), (0.0, 0.0, 7100.0, 0.0, -7.4, 0.0, 0.0), [0.0],
                      [1800.0]), "chaser's position is 7e\\+06 km"),
    (lambda: porkchop((0.0, 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0), (0.0, 0.0, 7100e3, 0.0, -7.4e3, 0.0, 0.0), [0.0],
                      [1800.0]), "target's position"),
    (lambda: F.teme_to_eci(*STATE, 60310.5), "Modified Julian Dates"),
    (lambda: F.teme_to_eci(*STATE, 2460310.5), "Julian Dates"),
])
def test_likely_unit_mistakes_warn_with_a_hint(call, message):
    with pytest.warns(T.UnitWarning, match=message):
        call()
