"""Epoch numbers (seconds since 1950-01-01T00:00:00 UTC at 86400 s per day) from every input type, and the
UTC/TAI/TT scales with leap seconds."""
import datetime as dt

import numpy as np
import pytest

from vextal.astro import time as T

# 2000-01-01T00:00:00 UTC: 18262 days after 1950-01-01 (50 years, 12 leap days).
Y2K = 18262 * 86400.0
ISO_US = "2026-03-04T05:06:07.123456"
E_US = (27821 * 86400.0 + 5 * 3600 + 6 * 60 + 7) + 0.123456  # 27821 days from 1950-01-01 to 2026-03-04


def astropy_time(text, scale):
    time = pytest.importorskip("astropy.time")
    return time.Time(text, scale=scale)


@pytest.mark.parametrize("make, expected", [
    (lambda: dt.datetime(2026, 3, 4, 5, 6, 7, 123456), E_US),
    (lambda: dt.datetime(2026, 3, 4, 7, 6, 7, 123456, tzinfo=dt.timezone(dt.timedelta(hours=2))), E_US),
    (lambda: dt.date(2000, 1, 1), Y2K),
    (lambda: np.datetime64(ISO_US, "us"), E_US),
    (lambda: np.datetime64(ISO_US + "789", "ns"), E_US + 789e-9),
    (lambda: np.datetime64("2026-03-04T05:06:07.123", "ms"), E_US - 0.000456),
    (lambda: np.datetime64("2000-01-01T00:00:01", "s"), Y2K + 1),
    (lambda: np.datetime64("2000-01-01", "D"), Y2K),
    (lambda: np.datetime64("2000-01", "M"), Y2K),
    (lambda: ISO_US, E_US),
    (lambda: ISO_US + "Z", E_US),
    (lambda: "2026-03-04T00:36:07.123456-04:30", E_US),
    (lambda: "2000-001T00:00:00", Y2K),
    (lambda: astropy_time(ISO_US, "utc"), E_US),
    (lambda: astropy_time("2026-03-04T05:07:16.307456", "tt"), E_US),  # TT - UTC = 69.184 s in 2026
    (lambda: Y2K + 0.5, Y2K + 0.5),
    (lambda: 7, 7.0),
], ids=["datetime", "aware", "date", "dt64-us", "dt64-ns", "dt64-ms", "dt64-s", "dt64-D", "dt64-M", "iso", "iso-Z",
        "iso-offset", "iso-ordinal", "astropy-utc", "astropy-tt", "float", "int"])
def test_every_input_type_reads_and_round_trips_to_the_microsecond(make, expected):
    e = T.epoch(make())
    assert isinstance(e, float)
    assert abs(e - expected) < 1e-6
    back = T.to_datetime64(e)
    assert back.dtype == np.dtype("datetime64[ns]")
    assert abs(T.epoch(back) - e) < 1e-6
    assert T.to_datetime(e) == T.to_datetime(expected)  # the same microsecond


def test_arrays_keep_their_shape_and_nat_is_nan():
    a = np.array([["2000-01-01", "NaT"], ["2000-01-02", "1949-12-31"]], dtype="datetime64[D]")
    e = T.epoch(a)
    assert e.shape == (2, 2) and e.dtype == np.float64
    np.testing.assert_array_equal(e, [[Y2K, np.nan], [Y2K + 86400, -86400.0]])
    assert np.isnat(T.to_datetime64(np.array([np.nan, 0.0]))[0])
    assert np.isnan(T.tai_minus_utc([np.nan, 0.0])[0])
    with pytest.raises(ValueError, match="range of datetime64"):
        T.to_datetime64(1e10)
    np.testing.assert_array_equal(T.epoch(["2000-01-01", dt.datetime(2000, 1, 2)]), [Y2K, Y2K + 86400])


@pytest.mark.parametrize("unit", ["D", "h", "m", "s", "ms", "us", "ns"])
def test_datetime64_is_never_read_as_a_number(unit):
    day = np.array(["2026-11-01", "2026-11-02"], dtype="datetime64[D]").astype(f"datetime64[{unit}]")
    np.testing.assert_array_equal(T.epoch(day), [28063 * 86400.0, 28064 * 86400.0])


@pytest.mark.parametrize("bad, error", [
    (np.timedelta64(5, "s"), TypeError),
    (np.array([1, 2], dtype="timedelta64[s]"), TypeError),
    (np.datetime64("NaT"), TypeError),  # no unit
    (True, TypeError),
    ("yesterday", ValueError),
    ("2015-12-31T23:59:60", ValueError),  # that day had no leap second
    ("2016-12-31T12:59:60", ValueError),
    ("2026-02-30T00:00:00", ValueError),
])
def test_refusals(bad, error):
    with pytest.raises(error):
        T.epoch(bad)


def test_the_leap_second_reads_as_the_next_days_first_instant():
    midnight = T.epoch("2017-01-01T00:00:00")
    assert T.epoch("2016-12-31T23:59:60") == midnight
    assert T.epoch("2016-12-31T23:59:60.5") == midnight
    assert T.epoch(astropy_time("2016-12-31T23:59:60.5", "utc")) == midnight
    before = T.epoch("2016-12-31T23:59:59")
    assert (T.tai_minus_utc(before), T.tai_minus_utc(midnight)) == (36.0, 37.0)
    # One second of epoch numbers across the leap second is two SI seconds.
    assert T.utc_to_tai(midnight) - T.utc_to_tai(before) == 2.0
    # TAI inside the leap second has no UTC reading of its own: it maps to the midnight.
    assert T.tai_to_utc(T.utc_to_tai(before) + 1.5) == midnight


@pytest.mark.parametrize("iso, tai_utc", [("1972-01-01", 10.0), ("1999-01-01", 32.0), ("2020-06-01", 37.0),
                                          ("1940-01-01", 0.0)])
def test_tai_minus_utc_follows_the_leap_second_table(iso, tai_utc):
    assert T.tai_minus_utc(iso) == tai_utc


def test_scales_round_trip_over_random_epochs():
    rng = np.random.default_rng(18)
    e = rng.uniform(T.epoch("1972-01-01"), T.epoch("2030-01-01"), 2000)
    np.testing.assert_allclose(T.tt_to_utc(T.utc_to_tt(e)), e, rtol=0, atol=1e-6)
    np.testing.assert_allclose(T.utc_to_tt(e) - T.utc_to_tai(e), 32.184, rtol=0, atol=1e-6)
    assert T.utc_to_tt("2020-01-01") - T.epoch("2020-01-01") == pytest.approx(69.184, abs=1e-6)


def test_trajectories_read_dates_as_epochs_never_as_numbers():
    from vextal.astro.trajectory import Table, TwoBody

    two_body = TwoBody((T.epoch("2026-11-01"), 7000.0, 0.0, 0.0, 0.0, 7.5, 0.0))
    days = np.array(["2026-11-01T06", "2026-11-02"], dtype="datetime64[h]")
    np.testing.assert_array_equal(two_body.states(days)[0], two_body.states(T.epoch(days))[0])
    assert two_body.state_at("2026-11-02T00:00:00Z").time == T.epoch("2026-11-02")
    table = Table(T.epoch(days), *two_body.states(days))
    np.testing.assert_array_equal(table.states(days[1])[0], two_body.states(days[1])[0])
