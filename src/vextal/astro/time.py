"""Epochs and time scales.

An epoch number in vextal is **seconds since 1950-01-01T00:00:00 UTC, counting 86400 s per UTC day**: leap
seconds are not counted, as in POSIX time. The number of a UTC clock reading is therefore
``days * 86400 + seconds of the day``, and ``epoch + dt`` is the UTC reading dt seconds of 86400-second days
later.

An interval between two epoch numbers that spans a leap second is one second shorter than the SI seconds that
elapsed (``utc_to_tai`` gives the elapsed time). A reading inside a leap second (``23:59:60.x`` on a day that
has one) reads as the first instant of the next day: the clock stands still through the leap second, so epoch
numbers never run backwards; a ``:60`` reading on a day without a leap second is refused.

Conversions accept (scalars or arrays): numbers (seconds, taken as they are), ``datetime.datetime`` (naive
means UTC; aware ones are converted), ``datetime.date`` (midnight UTC), ``numpy.datetime64`` of any unit,
ISO 8601 strings (with an optional ``Z`` or ``+HH:MM`` offset), and astropy ``Time`` objects in any scale
(astropy is not a dependency; its objects are recognised when it is importable). A ``datetime64`` or
``timedelta64`` is never read as a bare number.

TAI and TT epochs (``utc_to_tai`` and kin) are SI seconds since 1950-01-01T00:00:00 of their own scale, a
uniform count; TAI - UTC comes from ERFA's leap-second table through pyerfa (before 1972 ERFA's drifting
offsets, before 1960 zero).
"""

from __future__ import annotations

import datetime as _dt
import decimal
import fractions
import re
import warnings
from typing import Any, Tuple, Union

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

__all__ = [
    "EPOCH_ORIGIN",
    "iso_date",
    "JD_1950",
    "epoch",
    "to_datetime64",
    "to_datetime",
    "tai_minus_utc",
    "utc_to_tai",
    "tai_to_utc",
    "tai_to_tt",
    "tt_to_tai",
    "utc_to_tt",
    "tt_to_utc",
    "jd",
    "astropy_time_class",
]

#: The origin of epoch numbers, 1950-01-01T00:00:00 UTC: every other form of it below is derived from this one.
EPOCH_ORIGIN = _dt.datetime(1950, 1, 1)
#: Julian date of 1950-01-01T00:00:00, the origin of epoch numbers.
JD_1950 = 2433282.5
#: TT - TAI in seconds.
TT_MINUS_TAI = 32.184
_DAY = 86400.0
_ORIGIN_NS = np.datetime64(EPOCH_ORIGIN, "ns")
_ORIGIN_S = np.datetime64(EPOCH_ORIGIN, "s")
_ORIGIN_DAY = np.datetime64(EPOCH_ORIGIN.date(), "D")
_ORIGIN_JDN = int(JD_1950 + 0.5)  # the Julian day number of the origin's day
_ONE_SECOND = np.timedelta64(1, "s")
_NS_RANGE = 9.2e9  # seconds either side of 1950 that int64 nanoseconds hold

Epochs = Union[float, npt.NDArray[Any]]


# ---- reading epochs ---------------------------------------------------------------------------------------------


def epoch(x: Any) -> Any:
    """Seconds since 1950-01-01T00:00:00 UTC (86400 s per day) of ``x``: a float for a scalar input, a float64
    array for an array or a sequence. See the module documentation for the accepted types."""
    t = astropy_time_class()
    if t is not None and isinstance(x, t):
        return _from_astropy(x)
    if x is None:
        raise TypeError("epoch(): None is not an epoch")
    if isinstance(x, (bool, np.bool_)):
        raise TypeError("epoch(): a bool is not an epoch")
    if isinstance(x, (int, float, np.integer, np.floating, fractions.Fraction, decimal.Decimal)):
        return float(x)
    if isinstance(x, (_dt.time, _dt.timedelta)):
        raise TypeError(f"epoch(): a {type(x).__name__} is not an epoch (a time of day or a duration has no date)")
    if isinstance(x, _dt.datetime):
        return _from_datetime(x)
    if isinstance(x, _dt.date):
        return float((x - EPOCH_ORIGIN.date()).days * 86400)
    if isinstance(x, str):
        return _from_string(x)
    if isinstance(x, np.timedelta64) or (isinstance(x, np.ndarray) and x.dtype.kind == "m"):
        raise TypeError("epoch(): a timedelta64 is a duration, not an epoch")
    if isinstance(x, np.datetime64):
        return float(_from_datetime64(np.asarray(x)))
    a = np.asarray(x)
    kind = a.dtype.kind
    if kind == "M":
        return _from_datetime64(a)
    if kind == "m":
        raise TypeError("epoch(): a timedelta64 is a duration, not an epoch")
    if kind in "fiu":
        return a.astype(np.float64)
    if kind in "UO":
        if a.ndim == 0:  # not one of the types above, wrapped by asarray: reading it again would not end
            raise TypeError(f"epoch(): cannot read an epoch from {type(x).__name__}")
        flat = [epoch(item) for item in a.ravel().tolist()]
        if any(not isinstance(f, float) for f in flat):
            raise TypeError("epoch(): an array of epochs must hold scalars")
        return np.array(flat, dtype=np.float64).reshape(a.shape)
    raise TypeError(f"epoch(): cannot read an epoch from {type(x).__name__} (dtype {a.dtype})")


def astropy_time_class() -> Any:
    """astropy's Time class when astropy.time has been imported, else None (without importing astropy)."""
    import sys

    module = sys.modules.get("astropy.time")  # astropy Time objects exist only when astropy is imported
    return getattr(module, "Time", None) if module is not None else None


def _from_datetime(x: _dt.datetime) -> float:
    if x.tzinfo is not None and x.utcoffset() is not None:
        x = x.astimezone(_dt.timezone.utc).replace(tzinfo=None)
    d = x.replace(tzinfo=None) - EPOCH_ORIGIN
    return float(d.days * 86400 + d.seconds) + d.microseconds * 1e-6


def _from_datetime64(a: npt.NDArray[Any]) -> Any:
    unit, _ = np.datetime_data(a.dtype)
    if unit == "generic":
        raise TypeError("epoch(): a datetime64 without a unit is not an epoch")
    nat = np.isnat(a)
    origin = _ORIGIN_S
    if unit in _COARSE:  # whole seconds: exact in int64 and in float64, once checked not to overflow in seconds
        count = np.where(nat, 0, a.view(np.int64))
        if np.any(np.abs(count) > _EPOCH_LIMIT / _COARSE[unit]):
            raise ValueError(f"epoch(): a datetime64[{unit}] lies beyond 10000 years from 1970")
        out = (a.astype("datetime64[s]") - origin).astype(np.int64).astype(np.float64)
    else:
        # Whole seconds and the rest apart, each exact in its own unit, so nothing rounds before the sum.
        whole = a.astype("datetime64[s]")
        whole = np.where(whole > a, whole - _ONE_SECOND, whole)  # floor, also before 1950
        rest = (a - whole).astype(np.int64) * _unit_seconds(unit)
        out = (whole - origin).astype(np.int64).astype(np.float64) + rest
    out = np.where(nat, np.nan, out)
    return out if out.ndim else float(out)


_EPOCH_LIMIT = 10000 * 365.25 * 86400.0  # seconds: datetime64 values beyond are refused, not wrapped
_COARSE = {"Y": 365.2425 * 86400, "M": 30.436875 * 86400, "W": 7 * 86400.0, "D": 86400.0, "h": 3600.0, "m": 60.0,
           "s": 1.0}


def _unit_seconds(unit: str) -> float:
    return {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12, "fs": 1e-15, "as": 1e-18}[unit]


_ISO = re.compile(
    r"^\s*(?P<date>[+-]?\d{4,}-\d{2}-\d{2}|\d{4}-\d{3})"
    r"(?:[T ](?P<h>\d{2}):(?P<m>\d{2})(?::(?P<s>\d{2})(?P<f>[.,]\d+)?)?)?"
    r"(?P<tz>Z|[+-]\d{2}:?\d{2})?\s*$"
)


def _from_string(text: str) -> float:
    m = _ISO.match(text)
    if m is None:
        raise ValueError(f"epoch(): {text!r} is not an ISO 8601 date and time")
    date = m["date"]
    if len(date) == 8 and date[4] == "-":  # ordinal date YYYY-DDD
        day: Any = np.datetime64(date[:4] + "-01-01", "D") + np.timedelta64(int(date[5:]) - 1, "D")
        if int(date[5:]) < 1 or day.astype(object).year != int(date[:4]):
            raise ValueError(f"epoch(): {text!r}: day of year out of range")
    else:
        try:
            day = np.datetime64(date, "D")
        except ValueError:
            raise ValueError(f"epoch(): {text!r} is not a valid date") from None
    days = int((day - _ORIGIN_DAY).astype(np.int64))
    h, mi, s = int(m["h"] or 0), int(m["m"] or 0), int(m["s"] or 0)
    frac = m["f"]
    if h > 23 or mi > 59 or s > 60 or (h == 24 and (mi or s or frac)):
        raise ValueError(f"epoch(): {text!r}: time of day out of range")
    offset = 0
    tz = m["tz"]
    if tz and tz != "Z":
        digits = tz[1:].replace(":", "")
        if int(digits[:2]) > 23 or int(digits[2:]) > 59:
            raise ValueError(f"epoch(): {text!r}: the offset {tz} is out of range")
        offset = (int(digits[:2]) * 3600 + int(digits[2:]) * 60) * (1 if tz[0] == "+" else -1)
    if s == 60:
        # The leap second: only on a day that has one, and it reads as the next day's first instant.
        if h != 23 or mi != 59 or offset:
            raise ValueError(f"epoch(): {text!r}: second 60 is a leap second, only at 23:59:60 UTC")
        start = days * _DAY
        if not tai_minus_utc(start + _DAY) - tai_minus_utc(start + _DAY - 1.0) >= 0.5:
            raise ValueError(f"epoch(): {text!r}: {date} has no leap second")
        return start + _DAY
    whole = days * 86400 + h * 3600 + mi * 60 + s - offset
    return float(whole) + (float("0." + frac[1:]) if frac else 0.0)


def _from_astropy(t: Any) -> Any:
    utc = t.utc
    # ERFA splits the quasi-JD of UTC into calendar fields, leap seconds included (second 60), to the ns.
    iy, im, id_, ihmsf = erfa.d2dtf("UTC", 9, utc.jd1, utc.jd2)
    days = (_civil_days(iy, im, id_)).astype(np.float64)
    h, mi, s, f = (ihmsf[k].astype(np.float64) for k in ("h", "m", "s", "f"))
    leap = s == 60
    out = np.where(leap, (days + 1) * _DAY, days * _DAY + h * 3600 + mi * 60 + s) + np.where(leap, 0.0, f * 1e-9)
    out = np.asarray(out, dtype=np.float64)
    return out if out.ndim else float(out)


def _civil_days(y: Any, m: Any, d: Any) -> npt.NDArray[Any]:
    """Days from 1950-01-01 to the given civil dates (proleptic Gregorian)."""
    y = np.asarray(y, dtype=np.int64)
    m = np.asarray(m, dtype=np.int64)
    d = np.asarray(d, dtype=np.int64)
    a = (14 - m) // 12
    yy = y + 4800 - a
    mm = m + 12 * a - 3
    jdn = d + (153 * mm + 2) // 5 + 365 * yy + yy // 4 - yy // 100 + yy // 400 - 32045
    return jdn - _ORIGIN_JDN


# ---- writing epochs ---------------------------------------------------------------------------------------------


def to_datetime64(e: Any) -> Any:
    """``numpy.datetime64[ns]`` (scalar or array) of epoch numbers (any input :func:`epoch` accepts); NaN reads
    as NaT. The result is the nearest nanosecond of the float's value (a float64 epoch near the present holds
    about half a microsecond)."""
    s = np.asarray(epoch(e), dtype=np.float64)
    finite = np.isfinite(s)
    if np.any(np.abs(s[finite]) > _NS_RANGE):
        raise ValueError("to_datetime64(): an epoch lies beyond the range of datetime64[ns] (years 1658 to 2242)")
    safe = np.where(finite, s, 0.0)
    whole = np.floor(safe)
    ns = whole.astype(np.int64) * 1_000_000_000 + np.rint((safe - whole) * 1e9).astype(np.int64)
    out = _ORIGIN_NS + ns.astype("timedelta64[ns]")
    out = np.where(finite, out, np.datetime64("NaT", "ns"))
    return out if out.ndim else out[()]


class UnitWarning(UserWarning):
    """A number that reads as though given in another unit: an epoch number that looks like a Modified Julian
    Date or a Julian Date, a position that looks like metres."""


def unit_hint(e: Any) -> str:
    """A hint when epoch numbers read as Modified Julian Dates or Julian Dates (seconds within days of
    1950-01-01 otherwise), else ''."""
    a = np.asarray(e, dtype=np.float64)
    if a.size == 0:
        return ""
    if np.all((a >= 15000.0) & (a <= 100000.0)):
        return (" (these numbers read as Modified Julian Dates: epoch numbers are seconds since 1950-01-01 UTC; "
                "an MJD converts as (mjd - 33282) * 86400)")
    if np.all((a >= 2.4e6) & (a <= 2.5e6)):
        return (" (these numbers read as Julian Dates: epoch numbers are seconds since 1950-01-01 UTC; a JD "
                "converts as (jd - 2433282.5) * 86400)")
    return ""


def epochs_argument(x: Any, name: str = "epochs") -> npt.NDArray[Any]:
    """Epoch numbers (float64 array) of an argument, errors naming it; ValueError for a non-finite epoch."""
    try:
        e = np.asarray(epoch(x), dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise type(exc)(f"{name}: {str(exc).replace('epoch(): ', '')}") from None
    if not np.all(np.isfinite(e)):
        raise ValueError(f"{name} must be finite")
    return e


def iso(e: float) -> str:
    """An epoch number as an ISO 8601 UTC date to the millisecond (for messages), or its number when it lies
    beyond the years 1-9999."""
    try:
        return to_datetime(e).isoformat(timespec="milliseconds") + "Z"
    except (ValueError, OverflowError):
        return f"epoch {e!r}"


def iso_date(epoch: float) -> str:
    """An epoch number as an ISO 8601 UTC date to the microsecond (2024-01-01T12:00:00.000000)."""
    return to_datetime(float(epoch)).isoformat(timespec="microseconds")


def to_datetime(e: float) -> _dt.datetime:
    """A naive UTC ``datetime.datetime`` (to the microsecond) of one epoch number."""
    s = epoch(e)
    if not isinstance(s, float) or not np.isfinite(s):
        raise ValueError("to_datetime(): one finite epoch is needed")
    whole = int(np.floor(s))
    us = int(round((s - whole) * 1e6))
    return EPOCH_ORIGIN + _dt.timedelta(seconds=whole, microseconds=us)


# ---- time scales ------------------------------------------------------------------------------------------------


def _calendar(e: npt.NDArray[Any]) -> Tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    days = np.floor(e / _DAY)
    iy, im, id_, _ = erfa.jd2cal(JD_1950, days)
    return iy, im, id_, (e - days * _DAY) / _DAY


def _dat(e: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """TAI - UTC at UTC epochs; NaN where an epoch is not finite."""
    finite = np.isfinite(e)
    iy, im, id_, fd = _calendar(np.where(finite, e, 0.0))
    with warnings.catch_warnings():
        # Years before 1960 (no offset then) and years past the table's end are flagged dubious by ERFA; the
        # table's value is still the best there is.
        warnings.simplefilter("ignore", erfa.ErfaWarning)
        dat = np.asarray(erfa.dat(iy, im, id_, fd), dtype=np.float64)
    return np.where(finite, dat, np.nan)


def _epoch_array(e: Any) -> Tuple[npt.NDArray[Any], bool]:
    a = np.asarray(epoch(e), dtype=np.float64)
    return a, a.ndim == 0


def _out(a: npt.NDArray[Any], scalar: bool) -> Any:
    return float(a) if scalar else a


def tai_minus_utc(e: Any) -> Any:
    """TAI - UTC in seconds at UTC epochs ``e`` (ERFA's leap-second table)."""
    a, scalar = _epoch_array(e)
    return _out(_dat(a), scalar)


def utc_to_tai(e: Any) -> Any:
    """TAI seconds since 1950-01-01T00:00:00 TAI of UTC epochs: the elapsed SI time between two UTC epochs
    is the difference of their TAI values (a leap second in between counts)."""
    a, scalar = _epoch_array(e)
    return _out(a + _dat(a), scalar)


def tai_to_utc(t: Any) -> Any:
    """UTC epochs of TAI seconds (the inverse of :func:`utc_to_tai`); an instant inside a leap second maps to
    the first instant of the next UTC day."""
    a = np.asarray(t, dtype=np.float64)
    u1 = a - _dat(a)
    u2 = a - _dat(u1)
    u3 = a - _dat(u2)
    inside = np.abs(u3 + _dat(u3) - a) > 1e-6
    if np.any(inside):  # u2 and u3 straddle the day boundary where the leap second sits
        boundary = np.ceil(np.minimum(u2, u3) / _DAY) * _DAY
        u3 = np.where(inside, boundary, u3)
    return _out(u3, a.ndim == 0)


def tai_to_tt(t: Any) -> Any:
    """TT seconds since 1950-01-01T00:00:00 TT of TAI seconds (TT = TAI + 32.184 s)."""
    a = np.asarray(t, dtype=np.float64)
    return _out(a + TT_MINUS_TAI, a.ndim == 0)


def tt_to_tai(t: Any) -> Any:
    """TAI seconds of TT seconds (the inverse of :func:`tai_to_tt`)."""
    a = np.asarray(t, dtype=np.float64)
    return _out(a - TT_MINUS_TAI, a.ndim == 0)


def utc_to_tt(e: Any) -> Any:
    """TT seconds since 1950-01-01T00:00:00 TT of UTC epochs."""
    return tai_to_tt(utc_to_tai(e))


def tt_to_utc(t: Any) -> Any:
    """UTC epochs of TT seconds (the inverse of :func:`utc_to_tt`)."""
    return tai_to_utc(tt_to_tai(t))


def jd(e: Any, scale: str = "utc") -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """Two-part Julian dates (whole days, fraction of day) of UTC epochs in ``scale``: 'utc' (86400 s per day,
    as epoch numbers and SGP4 count; not ERFA's stretched quasi-JD of a leap-second day), 'tai' or 'tt'."""
    a = np.asarray(epoch(e), dtype=np.float64)
    if scale == "utc":
        s = a
    elif scale == "tai":
        s = utc_to_tai(a)
    elif scale == "tt":
        s = utc_to_tt(a)
    else:
        raise ValueError(f"jd(): scale must be 'utc', 'tai' or 'tt', not {scale!r}")
    s = np.asarray(s, dtype=np.float64)
    days = np.floor(s / _DAY)
    return JD_1950 + days, (s - days * _DAY) / _DAY
