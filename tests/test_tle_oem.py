"""Catalogue objects through SGP4 and ephemerides through CCSDS OEM files."""
import csv
import io

import numpy as np
import pytest
from sgp4.api import WGS72, Satrec
from sgp4.exporter import export_omm

from vextal.astro import _oem as O
from vextal.astro import _tle as S
from vextal.astro import frames as F
from vextal.astro import time as T

VANGUARD = ("1 00005U 58002B   00179.78495062  .00000023  00000-0  28098-4 0  4753",
            "2 00005  34.2682 348.7242 1859667 331.7664  19.3264 10.82419157413667")
ISS = ("1 25544U 98067A   24001.50000000  .00016717  00000-0  10270-3 0  9009",
       "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.49815308 30006")
# Drag far beyond any real object: SGP4 reports the eccentricity out of range within the first hour.
DOOMED = ("1 99999U 24001A   24001.00000000  .00000000  00000-0  50000-0 0  9994",
          "2 99999  51.6000  10.0000 0010000  10.0000 350.0000 16.00000000    18")


@pytest.fixture(scope="module")
def iss():
    return S.TLE(*ISS, name="ISS (ZARYA)")


def test_states_are_sgp4s_own_teme_output_rotated(iss):
    epochs = iss.epoch + np.linspace(-3 * 86400, 3 * 86400, 97).reshape(1, 97)
    r, v = iss.states(epochs)
    assert r.shape == v.shape == (1, 97, 3)
    sat = Satrec.twoline2rv(*ISS, WGS72)
    jd, fr = T.jd(epochs.ravel())
    err, rt, vt = sat.sgp4_array(jd, fr)
    assert not err.any()
    back_r, back_v = F.eci_to_teme(r[0], v[0], epochs[0])
    np.testing.assert_allclose(back_r, rt, rtol=0, atol=1e-9)
    np.testing.assert_allclose(back_v, vt, rtol=0, atol=1e-12)
    assert iss.epoch == pytest.approx(T.epoch("2024-01-01T12:00:00"), abs=1e-6)
    state = iss.state_at(iss.epoch + 60.0)
    assert state.time == iss.epoch + 60.0
    np.testing.assert_allclose([state.position.x, state.position.y, state.position.z], iss.states(iss.epoch + 60.0)[0])


def test_many_satellites_in_one_call_equal_one_at_a_time(iss):
    vanguard = S.TLE(*VANGUARD)
    vanguard.age_limit = vanguard.age_warning = np.inf  # its set is of 2000: used here only as SGP4 numbers
    tles = [iss, vanguard, S.TLE(*DOOMED)]
    epochs = np.datetime64("2024-01-01T12:00", "s") + np.arange(0, 7200, 600).astype("timedelta64[s]")
    out = S.propagate_many(tles, epochs)
    assert out.r.shape == (3, 12, 3) and out.status.shape == (3, 12)
    for k, tle in enumerate(tles):
        one = tle.propagate(epochs)
        np.testing.assert_array_equal(out.status[k], one.status)
        np.testing.assert_allclose(out.r[k], one.r, rtol=0, atol=1e-9)


def test_an_sgp4_error_is_a_row_status_and_a_clear_exception():
    doomed = S.TLE(*DOOMED)
    epochs = doomed.epoch + np.arange(0, 3600 * 6, 600.0)
    out = doomed.propagate(epochs)
    assert out.status[0] == 0 and np.isfinite(out.r[0]).all()
    bad = out.status != 0
    assert bad.any() and set(out.status[bad]) <= set(S.SGP4_ERRORS)
    assert np.isnan(out.r[bad]).all() and np.isnan(out.v[bad]).all()
    with pytest.raises(ValueError, match="SGP4 error for satellite 99999 .*eccentricity"):
        doomed.states(epochs)
    with pytest.raises(ValueError, match="eccentricity"):
        doomed.state_at(epochs[np.argmax(bad)])


def test_reading_tle_files(tmp_path):
    path = tmp_path / "sats.txt"
    path.write_text("ISS (ZARYA)\n%s\n%s\n\n%s\n%s\n0 VANGUARD 1\n%s\n%s\n" % (ISS + VANGUARD + VANGUARD))
    tles = S.read_tle(path)
    assert [t.name for t in tles] == ["ISS (ZARYA)", None, "VANGUARD 1"]
    assert [t.satnum for t in tles] == ["25544", "00005", "00005"]
    (tmp_path / "bad.txt").write_text(ISS[0] + "\n")
    with pytest.raises(ValueError, match="not part of a two-line set"):
        S.read_tle(tmp_path / "bad.txt")
    with pytest.raises(ValueError, match="different satellites"):
        S.TLE(ISS[0], VANGUARD[1])


def omm_csv(fields):
    text = io.StringIO()
    writer = csv.DictWriter(text, fieldnames=list(fields))
    writer.writeheader()
    writer.writerow(fields)
    return text.getvalue()


def omm_xml(fields):
    # The layout the sgp4 package reads: every keyword as an element of the segment's metadata here.
    items = "".join("<%s>%s</%s>" % (k, v, k) for k, v in fields.items())
    return ("<ndm><omm><body><segment><metadata>%s</metadata><data><meanElements/><tleParameters/></data>"
            "</segment></body></omm></ndm>" % items)


@pytest.mark.parametrize("encode", [omm_csv, omm_xml], ids=["csv", "xml"])
def test_omm_records_give_the_states_of_their_element_sets(iss, encode):
    # Written by the sgp4 package's own exporter from the same element set.
    fields = export_omm(Satrec.twoline2rv(*ISS, WGS72), "ISS (ZARYA)")
    (omm,) = S.read_omm(io.StringIO(encode(fields)))
    assert omm.name == "ISS (ZARYA)" and omm.epoch == pytest.approx(iss.epoch, abs=1e-3)
    epochs = iss.epoch + np.arange(0, 86400, 3600.0)
    np.testing.assert_allclose(omm.states(epochs)[0], iss.states(epochs)[0], rtol=0, atol=1e-3)


# ---- OEM --------------------------------------------------------------------------------------------------------

oem = pytest.importorskip("oem")


def library_oem(path, frame, system, epochs_text, r, v, center="EARTH"):
    """An OEM written by the parser library itself, from text epochs in the file's time system."""
    from astropy.time import Time
    from oem.components import EphemerisSegment, HeaderSection, MetaDataSection

    scale = system.lower()
    times = tuple(Time(t, scale=scale, precision=6) for t in epochs_text)
    header = HeaderSection({"CCSDS_OEM_VERS": "2.0", "CREATION_DATE": "2026-01-01T00:00:00", "ORIGINATOR": "TEST"})
    meta = MetaDataSection({"OBJECT_NAME": "X", "OBJECT_ID": "X", "CENTER_NAME": center, "REF_FRAME": frame,
                            "TIME_SYSTEM": system, "START_TIME": epochs_text[0], "STOP_TIME": epochs_text[-1]},
                           version="2.0")
    columns = (times,) + tuple(tuple(c) for c in np.concatenate([r, v], axis=1).T.tolist())
    oem.OrbitEphemerisMessage(header, [EphemerisSegment(meta, columns, version="2.0")]).save_as(str(path))


@pytest.mark.parametrize("system, offset", [("UTC", 0.0), ("TAI", 37.0), ("TT", 69.184)])
def test_read_an_oem_written_by_the_library(tmp_path, iss, system, offset):
    # TEME states straight from SGP4 with epochs stamped in another time system: the reader must land on the
    # package's ECI states at the UTC epochs.
    utc = iss.epoch + np.arange(0.0, 600.0, 60.0)
    sat = Satrec.twoline2rv(*ISS, WGS72)
    _, rt, vt = sat.sgp4_array(*T.jd(utc))
    stamps = [str(T.to_datetime64(u + offset))[:26] for u in utc]
    library_oem(tmp_path / "teme.oem", "TEME", system, stamps, rt, vt)
    epochs, r, v = O.read_oem_arrays(tmp_path / "teme.oem")
    np.testing.assert_allclose(epochs, utc, rtol=0, atol=1e-6)
    want_r, want_v = iss.states(utc)
    np.testing.assert_allclose(r, want_r, rtol=0, atol=1e-6)
    np.testing.assert_allclose(v, want_v, rtol=0, atol=1e-9)


@pytest.mark.parametrize("frame, system, center, message", [
    ("TOD", "UTC", "EARTH", "REF_FRAME TOD"),
    ("EME2000", "TDB", "EARTH", "TIME_SYSTEM TDB"),
    ("EME2000", "UTC", "MOON", "CENTER_NAME MOON"),
])
def test_unsupported_frames_time_systems_and_centres_are_refused(tmp_path, frame, system, center, message):
    stamps = ["2024-01-01T00:00:00.000000", "2024-01-01T00:01:00.000000"]
    library_oem(tmp_path / "x.oem", frame, system, stamps, np.ones((2, 3)) * 7000, np.ones((2, 3)), center)
    with pytest.raises(ValueError, match=message):
        O.read_oem_arrays(tmp_path / "x.oem")


@pytest.mark.parametrize("fmt", ["kvn", "xml"])
def test_write_and_read_back_to_a_millimetre(tmp_path, iss, fmt):
    epochs = iss.epoch + np.arange(0.0, 5400.0, 30.0) + 0.1234567  # not on the microsecond grid
    O.write_oem(tmp_path / "out.oem", iss, epochs, object_name="ISS", object_id="1998-067A", format=fmt)
    e, r, v = O.read_oem_arrays(tmp_path / "out.oem")
    assert np.abs(e - epochs).max() < 1e-6
    want_r, want_v = iss.states(e)  # the file's states belong to the file's epochs
    assert np.abs(r - want_r).max() < 1e-6 and np.abs(v - want_v).max() < 1e-9
    with pytest.raises(ValueError, match="strictly increasing"):
        O.write_oem(tmp_path / "bad.oem", iss, epochs[::-1])


@pytest.mark.parametrize("lines", [ISS, VANGUARD], ids=["ISS", "e=0.19"])
def test_grid_sources_are_tables_that_read_back_sgp4(tmp_path, lines):
    from vextal.astro.trajectory import TLE, Table, read_oem

    sat = TLE(*lines)
    table = sat._grid_source(sat.epoch, sat.epoch + 6 * 3600)
    assert isinstance(table, Table) and table.epochs[0] == sat.epoch and table.epochs[-1] == sat.epoch + 6 * 3600
    offsets = np.random.default_rng(5).uniform(0, 6 * 3600, 2000)
    probe = sat.epoch + offsets
    r, v = table.states(probe)
    assert np.linalg.norm(r - sat.states(probe)[0], axis=-1).max() < 1e-5  # 1 cm (measured 4 mm)
    # Velocities against the rate of SGP4's positions taken on exact offsets from its epoch (an epoch number
    # near the present resolves only half a microsecond): measured 0.6 to 0.7 mm/s.
    rec = Satrec.twoline2rv(*lines, WGS72)
    teme = lambda dt: np.array([rec.sgp4_tsince(x / 60.0)[1] for x in offsets + dt])  # noqa: E731
    _, rate = F.teme_to_eci(teme(0.0), (teme(1e-3) - teme(-1e-3)) / 2e-3, probe)
    assert np.linalg.norm(v - rate, axis=-1).max() < 2e-6
    O.write_oem(tmp_path / "t.oem", table, table.epochs[:50])
    read = read_oem(tmp_path / "t.oem")
    np.testing.assert_allclose(read.states(table.epochs[10:40]), table.states(table.epochs[10:40]), rtol=0,
                               atol=1e-6)
