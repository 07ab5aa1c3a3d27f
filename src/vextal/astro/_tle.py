"""Catalogue objects: two-line element sets and OMM records through the ``sgp4`` package.

SGP4 (the ``sgp4`` package's compiled propagator, WGS72 constants as the element sets are fitted with)
gives TEME states; :func:`vextal.astro.frames.teme_to_eci` turns them into the package's ECI, one rotation
per distinct epoch whatever the number of satellites. Epochs are anything :func:`vextal.astro.time.epoch`
reads (UTC, seconds since 1950-01-01 at 86400 s per day, the day count SGP4 itself uses).

Errors that SGP4 reports for an epoch (a decayed orbit, an eccentricity out of range) are per-row statuses
(SGP4's codes, :data:`SGP4_ERRORS`) with NaN rows in :meth:`TLE.propagate` and :func:`propagate_many`, and a
ValueError naming the epoch and SGP4's message in :meth:`TLE.states` and :meth:`TLE.state_at`.

Element sets are checked when they are made: each line's checksum (``checksum=False`` accepts a wrong one) and
every field, which must be a number in the field's form and range (a BSTAR that lost its exponent digit is
refused, not read as infinity). An element set used more than :attr:`TLE.age_warning` seconds (14 days) from
its epoch warns with :class:`ElementAgeWarning`; beyond :data:`AGE_LIMIT` (a year) its states are refused.
Files are read up to :data:`MAX_INPUT_BYTES`.
"""

from __future__ import annotations

import io
import os
import re
import warnings
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Type, TypeVar, Union

import numpy as np
import numpy.typing as npt
from sgp4 import omm as _omm  # type: ignore  # no type information
from sgp4.api import SGP4_ERRORS, WGS72, Satrec, SatrecArray  # type: ignore

from . import frames as _frames
from . import time as _time

__all__ = ["TLE", "SGP4States", "SGP4_ERRORS", "ElementAgeWarning", "AGE_LIMIT", "MAX_INPUT_BYTES", "read_tle",
           "read_omm", "propagate_many"]

#: The most bytes read_tle and read_omm read (a whole public catalogue is under 10 MB).
MAX_INPUT_BYTES = 64 * 2**20
#: States further than this from an element set's epoch (s) are refused: SGP4 has no meaning there.
AGE_LIMIT = 366 * 86400.0


class ElementAgeWarning(UserWarning):
    """An element set is used far from its epoch (more than ``TLE.age_warning``), where SGP4's error grows by
    kilometres a day."""

PathOrText = Union[str, "os.PathLike[str]"]
T = TypeVar("T", bound="TLE")


class SGP4States(NamedTuple):
    """States from SGP4 in the package's ECI: positions ``r`` (..., 3) km, velocities ``v`` (..., 3) km/s and
    SGP4's status code per row (0: fine; otherwise a key of :data:`SGP4_ERRORS`, with NaN rows)."""

    r: npt.NDArray[Any]
    v: npt.NDArray[Any]
    status: npt.NDArray[Any]


def _jd(epochs: npt.NDArray[Any]) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    days = np.floor(epochs / 86400.0)
    return _time.JD_1950 + days, (epochs - days * 86400.0) / 86400.0


def _epochs(epochs: Any) -> npt.NDArray[Any]:
    return _time.epochs_argument(epochs)


def _check_age(tle: "TLE", epochs: npt.NDArray[Any]) -> None:
    """Refuses epochs beyond AGE_LIMIT from the element set's epoch, warns beyond its ``age_warning``."""
    if epochs.size == 0:
        return
    age = float(np.max(np.abs(epochs - tle.epoch)))
    if age <= tle.age_warning and age <= tle.age_limit:
        return
    far = float(epochs.ravel()[int(np.argmax(np.abs(epochs - tle.epoch)))])
    what = (f"satellite {tle.satnum}{_called(tle.name)}: the element set of {_time.iso(tle.epoch)} is used at "
            f"{_time.iso(far)}, {age / 86400.0:.1f} days from its epoch")
    if age > tle.age_limit:
        raise ValueError(f"{what}, beyond the limit of {tle.age_limit / 86400.0:.0f} days (TLE.age_limit); use a "
                         f"newer element set{_time.unit_hint(epochs)}")
    warnings.warn(f"{what} (SGP4's error grows by kilometres a day; TLE.age_warning sets the threshold)",
                  ElementAgeWarning, stacklevel=3)


def _called(name: Optional[str]) -> str:
    return f" ({name})" if name else ""


def _empty(shape: Tuple[int, ...]) -> SGP4States:
    return SGP4States(np.empty(shape + (3,)), np.empty(shape + (3,)), np.zeros(shape, dtype=np.int32))


def _to_eci(r: npt.NDArray[Any], v: npt.NDArray[Any], status: npt.NDArray[Any], epochs: npt.NDArray[Any]) -> SGP4States:
    r, v = _frames._teme_to_eci_owned(r, v, epochs)  # SGP4's fresh arrays, rotated where they lie
    bad = status != 0
    if bad.any():
        r[bad] = np.nan
        v[bad] = np.nan
    return SGP4States(r, v, status)


class TLE:
    """One catalogue object propagated by SGP4: ``TLE(line1, line2, name=None)`` from a two-line element set,
    :meth:`from_omm` from an OMM record. Attributes: ``satrec`` (the sgp4 package's record), ``name``,
    ``satnum`` and ``epoch`` (the element set's epoch number). ``vextal.astro.trajectory.TLE`` adds the grid
    source (a table sampled by :func:`sample`); use that one."""

    #: Seconds from the element set's epoch beyond which its states warn (ElementAgeWarning); set it on the
    #: class or on one object.
    age_warning = 14 * 86400.0
    #: Seconds from the epoch beyond which states are refused (ValueError): AGE_LIMIT, a year.
    age_limit = AGE_LIMIT

    def __init__(self, line1: str, line2: str, name: Optional[str] = None, *, checksum: bool = True) -> None:
        for label, line in (("line1", line1), ("line2", line2)):
            if not isinstance(line, str):
                raise TypeError(f"TLE(): {label} must be a str, not {type(line).__name__}")
        line1, line2 = line1.rstrip(), line2.rstrip()
        if not (line1.startswith("1 ") and line2.startswith("2 ")):
            raise ValueError("TLE(): line1 must start with '1 ' and line2 with '2 '")
        satnum = line1[2:7].strip()
        if line1[2:7] != line2[2:7]:
            raise ValueError(f"TLE(): the lines belong to different satellites ({line1[2:7]!r}, {line2[2:7]!r})")
        _check_lines(line1, line2, f"satellite {satnum}{_called(name)}", checksum)
        try:
            satrec = Satrec.twoline2rv(line1, line2, WGS72)
        except (ValueError, IndexError) as err:
            raise ValueError(f"TLE(): satellite {satnum}: cannot read the element set: {err}") from None
        self._setup(satrec, name, (line1, line2))

    def _setup(self, satrec: Any, name: Optional[str], lines: Optional[Tuple[str, str]]) -> None:
        satnum = satrec.satnum_str if hasattr(satrec, "satnum_str") else str(satrec.satnum)
        if name is not None:
            if not isinstance(name, str):
                raise TypeError(f"TLE(): name must be a str or None, not {type(name).__name__}")
            if _CONTROL.search(name):
                raise ValueError(f"TLE(): satellite {satnum}: the name {name!r} holds control characters")
        _check_values(satrec, f"satellite {satnum}{_called(name)}")
        if satrec.error:
            raise ValueError(f"TLE(): satellite {satnum}: SGP4 refuses the element set: "
                             f"{SGP4_ERRORS.get(satrec.error, satrec.error)}")
        self.satrec = satrec
        self.name = name
        self.lines = lines
        self.satnum = satnum
        whole = satrec.jdsatepoch - _time.JD_1950
        self.epoch = float(whole * 86400.0 + satrec.jdsatepochF * 86400.0)

    @classmethod
    def from_omm(cls: Type[T], fields: Mapping[str, str]) -> T:
        """An object from one OMM record as the sgp4 package reads them (a mapping of OMM keywords to text,
        from :func:`read_omm` or ``sgp4.omm.parse_csv`` / ``parse_xml``)."""
        satrec = Satrec()
        try:
            _omm.initialize(satrec, fields)
        except KeyError as err:
            raise ValueError(f"TLE.from_omm(): the OMM record has no {err.args[0]}") from None
        except (ValueError, TypeError, AttributeError) as err:
            raise ValueError(f"TLE.from_omm(): cannot read the OMM record: {err}") from None
        self = cls.__new__(cls)
        self._setup(satrec, fields.get("OBJECT_NAME"), None)
        return self

    def __repr__(self) -> str:
        label = f"{self.name!r}, " if self.name else ""
        return f"TLE({label}satnum={self.satnum}, epoch={_time.to_datetime64(self.epoch)})"

    def propagate(self, epochs: Any) -> SGP4States:
        """SGP4 states at ``epochs`` (any shape) in the package's ECI with a status per epoch; ValueError for
        epochs more than AGE_LIMIT from the element set's, ElementAgeWarning beyond ``age_warning``."""
        e = _epochs(epochs)
        _check_age(self, e)
        return self._propagate(e)

    def _propagate(self, e: npt.NDArray[Any]) -> SGP4States:
        if e.size == 0:
            return _empty(e.shape)
        jd, fr = _jd(e.ravel())
        status, r, v = self.satrec.sgp4_array(jd, fr)
        return _to_eci(r.reshape(e.shape + (3,)), v.reshape(e.shape + (3,)), status.reshape(e.shape), e)

    def states(self, epochs: Any) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        """Positions (km) and velocities (km/s), shape epochs.shape + (3,), in the package's ECI; ValueError
        naming the first epoch at which SGP4 reports an error."""
        e = _epochs(epochs)
        _check_age(self, e)
        return self._states(e)

    def _states(self, epochs: Any) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        e = _epochs(epochs)
        r, v, status = self._propagate(e)
        _raise_first(self, status, e)
        return r, v

    def state_at(self, epoch: Any) -> Any:
        """The state at one epoch as an ECI record (its time the epoch number)."""
        from vextal.vector3 import Vector3

        from .orbitvector import ECI

        t = _time.epoch(epoch)
        if not isinstance(t, float):
            raise TypeError("state_at(): one epoch is needed")
        r, v = self.states(t)
        return ECI(t, Vector3(*r.tolist()), Vector3(*v.tolist()))


#: Samples per revolution at the periapsis rate, and the half-step (s) of the velocity's central difference.
SAMPLES_PER_REVOLUTION = 300
_DIFFERENCE_STEP = 0.05


def sample(tle: TLE, start: float, stop: float) -> Tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    """Epochs, positions and velocities covering [start, stop] (at least two samples) every 1/300 of a
    revolution at the periapsis rate, for cubic Hermite reading.

    The velocities are the rate of SGP4's positions (a central difference over 0.1 s, divided by the step the
    epoch numbers actually hold), not SGP4's own velocities: these differ from the rate of its positions by its
    short-period terms (measured 14 to 20 mm/s for the ISS, up to 1.2 m/s for an orbit of e = 0.19), which a
    Hermite table would turn into position errors that only fall linearly with the spacing. With the rate of
    the positions the table keeps to SGP4 within millimetres (measured over a day at 20,000 random epochs
    against SGP4 run on exact offsets from its epoch: 4 mm and 0.6 mm/s for the ISS, 4 mm and 0.7 mm/s at
    e = 0.19, 21 mm and 21 mm/s at GEO, where SGP4's deep-space terms are less smooth); its velocities differ
    from SGP4's by SGP4's own inconsistency above."""
    start, stop = float(start), float(stop)
    if not (np.isfinite(start) and np.isfinite(stop) and stop >= start):
        raise ValueError(f"sampling needs finite start <= stop, got [{start}, {stop}]")
    from ._porkchop import MU_EARTH
    from .elements import from_state

    _check_age(tle, np.array([start, stop]))
    el = from_state(*tle._states(start))
    rp = abs(el.a) * abs(1.0 - el.e)
    rate = np.sqrt(MU_EARTH * (1.0 + el.e) / rp**3)  # angular rate at periapsis (rad/s)
    step = 2.0 * np.pi / SAMPLES_PER_REVOLUTION / rate
    n = max(2, int(np.ceil((stop - start) / step)) + 1)
    epochs = np.linspace(start, stop, n) if stop > start else np.array([start, start + 1.0])
    h = _DIFFERENCE_STEP
    # The difference is taken in TEME and rotated with the sample's own matrix, as SGP4's velocities are: one
    # rotation per sample, not three (the rotation is most of the sampling's cost; its rate, under 0.1 mm/s
    # in LEO, is left out as for SGP4's own velocities). It is divided by the step the epochs actually hold:
    # near the present an epoch number resolves half a microsecond, so epochs +- 0.05 s differ from 0.1 s by
    # up to 5 ppm, a 4 cm/s error in LEO.
    ahead, behind = epochs + h, epochs - h
    dr_dt = (_teme_positions(tle, ahead) - _teme_positions(tle, behind)) / (ahead - behind)[:, None]
    r, v = _frames.teme_to_eci(_teme_positions(tle, epochs), dr_dt, epochs)
    return epochs, r, v


def _teme_positions(tle: TLE, epochs: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """SGP4's TEME positions at `epochs` (1-D); ValueError at the first epoch SGP4 reports an error for."""
    jd, fr = _jd(epochs)
    status, r, _ = tle.satrec.sgp4_array(jd, fr)
    _raise_first(tle, status, epochs)
    return np.asarray(r, dtype=np.float64)


def _raise_first(tle: TLE, status: npt.NDArray[Any], epochs: npt.NDArray[Any]) -> None:
    bad = np.flatnonzero(status)
    if bad.size:
        k = int(bad[0])
        e = float(epochs.ravel()[k])
        code = int(status.ravel()[k])
        raise ValueError(f"SGP4 error for satellite {tle.satnum}{_called(tle.name)} at {_time.iso(e)}: "
                         f"{SGP4_ERRORS.get(code, code)}")


_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")
_EXPONENT = re.compile(r"^[ +-]\d{5}[+-]\d$")  # ' 12345-6': +-.12345e-6
_DECIMAL = re.compile(r"^ *[+-]?\d*\.\d+$")

# (line, first column, last column (1-based, inclusive), field, form, lowest, highest)
_FIELDS = (
    (1, 19, 32, "epoch", re.compile(r"^\d{2}[ \d]{3}\.\d+$"), None, None),
    (1, 34, 43, "first derivative of the mean motion", _DECIMAL, -1.0, 1.0),
    (1, 45, 52, "second derivative of the mean motion", _EXPONENT, None, None),
    (1, 54, 61, "BSTAR", _EXPONENT, None, None),
    (2, 9, 16, "inclination", _DECIMAL, 0.0, 180.0),
    (2, 18, 25, "right ascension of the node", _DECIMAL, 0.0, 360.0),
    (2, 27, 33, "eccentricity", re.compile(r"^\d{7}$"), None, None),
    (2, 35, 42, "argument of perigee", _DECIMAL, 0.0, 360.0),
    (2, 44, 51, "mean anomaly", _DECIMAL, 0.0, 360.0),
    (2, 53, 63, "mean motion", _DECIMAL, 0.0, 100.0),
)


def _checksum(line: str) -> int:
    return sum(int(c) if c.isdigit() else (1 if c == "-" else 0) for c in line[:68]) % 10


def _check_lines(line1: str, line2: str, who: str, checksum: bool) -> None:
    """ValueError naming the satellite, the line and the field whose text is not a number of the field's form
    and range, or whose checksum is wrong."""
    lines = (line1, line2)
    for number, first, last, field, form, low, high in _FIELDS:
        text = lines[number - 1][first - 1:last]
        if len(text) < last - first + 1 or not form.match(text):
            raise ValueError(f"TLE(): {who}: line {number} columns {first}-{last} ({field}) {text!r} is not a "
                             "number in the element set's form")
        if low is not None and not low <= float(text) <= high:
            raise ValueError(f"TLE(): {who}: line {number} columns {first}-{last} ({field}) {text.strip()} is "
                             f"outside [{low:g}, {high:g}]")
    day = float(line1[20:32])
    if not 1.0 <= day < 367.0:
        raise ValueError(f"TLE(): {who}: line 1 columns 21-32 (day of the year) {day} is outside [1, 367)")
    if not checksum:
        return
    for number, line in enumerate(lines, 1):
        given = line[68:69]
        if not given.isdigit():
            raise ValueError(f"TLE(): {who}: line {number} has no checksum digit in column 69 "
                             "(checksum=False accepts the element set without it)")
        if int(given) != _checksum(line):
            raise ValueError(f"TLE(): {who}: line {number}'s checksum is {given} but its columns 1-68 sum to "
                             f"{_checksum(line)}: a character was changed (checksum=False accepts it)")


#: The satrec's values that must be finite, and their ranges (after the sgp4 package's unit conversions).
_VALUES = (
    ("ecco", "eccentricity", 0.0, 1.0),
    ("inclo", "inclination", 0.0, np.pi),
    ("nodeo", "right ascension of the node", -4.0 * np.pi, 4.0 * np.pi),
    ("argpo", "argument of perigee", -4.0 * np.pi, 4.0 * np.pi),
    ("mo", "mean anomaly", -4.0 * np.pi, 4.0 * np.pi),
    ("no_kozai", "mean motion", 0.0, 100.0 * 2.0 * np.pi / 1440.0),
    ("bstar", "BSTAR", -np.inf, np.inf),
    ("ndot", "first derivative of the mean motion", -np.inf, np.inf),
    ("nddot", "second derivative of the mean motion", -np.inf, np.inf),
)


def _check_values(satrec: Any, who: str) -> None:
    """The element set's values as SGP4 holds them: finite and in range (an OMM record is checked here)."""
    for attribute, field, low, high in _VALUES:
        value = float(getattr(satrec, attribute))
        if not np.isfinite(value):
            raise ValueError(f"TLE(): {who}: the {field} is {value}, not a finite number")
        if not low <= value <= high or (attribute == "no_kozai" and value == 0.0):
            raise ValueError(f"TLE(): {who}: the {field} {value:g} is out of range")
    if not np.isfinite(satrec.jdsatepoch + satrec.jdsatepochF):
        raise ValueError(f"TLE(): {who}: the epoch is not finite")


def propagate_many(tles: Sequence[TLE], epochs: Any) -> SGP4States:
    """SGP4 states of many objects at the same epochs in one call (the sgp4 package's array API), in the
    package's ECI: shapes (len(tles),) + epochs.shape + (3,), a status per satellite and epoch."""
    e = _epochs(epochs)
    tles = list(tles)
    for tle in tles:
        _check_age(tle, e)
    n = len(tles)
    if n == 0 or e.size == 0:
        return _empty((n,) + e.shape)
    jd, fr = _jd(e.ravel())
    array = SatrecArray([t.satrec for t in tles])
    status, r, v = array.sgp4(jd, fr)
    return _to_eci(r.reshape((n,) + e.shape + (3,)), v.reshape((n,) + e.shape + (3,)),
                   status.reshape((n,) + e.shape), e)


def _read_text(source: Union[PathOrText, io.TextIOBase], func: str) -> Tuple[str, str]:
    """(text, label) of a path or an open file, read up to MAX_INPUT_BYTES; ValueError for a larger input or
    one that is not text."""
    if hasattr(source, "read"):
        label = str(getattr(source, "name", "<stream>"))
        text = source.read(MAX_INPUT_BYTES + 1)  # type: ignore[union-attr]
    else:
        label = os.fspath(source)  # type: ignore[arg-type]
        with open(label, "rb") as f:
            data = f.read(MAX_INPUT_BYTES + 1)
        text = data.decode("ascii", errors="replace")
    if isinstance(text, bytes):
        text = text.decode("ascii", errors="replace")
    if len(text) > MAX_INPUT_BYTES:
        raise ValueError(f"{func}(): {label}: larger than {MAX_INPUT_BYTES} bytes (MAX_INPUT_BYTES)")
    bad = re.search(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f\ufffd]", text)
    if bad is not None:
        line = text.count("\n", 0, bad.start()) + 1
        raise ValueError(f"{func}(): {label}: line {line}: not a text file (a byte {bad.group()!r} that text "
                         "does not hold)")
    return text, label


def read_tle(source: Union[PathOrText, io.TextIOBase], cls: Type[T] = TLE,  # type: ignore[assignment]
             *, checksum: bool = True) -> List[T]:
    """Every element set of a file (path or open text file) of two-line sets, each optionally preceded by a
    name line (the three-line form; a leading '0 ' is dropped from the name), as ``cls`` objects. Lines that
    start with '#' are comments. ValueError naming the file, the line and the satellite at the first element
    set that is malformed (``checksum=False`` accepts wrong checksums), and for a file without any."""
    text, label = _read_text(source, "read_tle")
    lines = [(n, line.rstrip()) for n, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    out: List[T] = []
    name: Optional[str] = None
    k = 0
    while k < len(lines):
        number, line = lines[k]
        if line.startswith("1 ") and k + 1 < len(lines) and lines[k + 1][1].startswith("2 "):
            try:
                out.append(cls(line, lines[k + 1][1], name, checksum=checksum))  # type: ignore[call-arg]
            except ValueError as exc:
                raise ValueError(f"read_tle(): {label}: lines {number}-{lines[k + 1][0]}: "
                                 f"{str(exc).replace('TLE(): ', '')}") from None
            name = None
            k += 2
            continue
        if line.startswith(("1 ", "2 ")):
            raise ValueError(f"read_tle(): {label}: line {number} is not part of a two-line set: {line[:30]!r}")
        name = line[2:].strip() if line.startswith("0 ") else line.strip()
        k += 1
    if not out and lines:
        raise ValueError(f"read_tle(): {label}: no two-line element set in the file")
    return out


def read_omm(source: Union[PathOrText, io.TextIOBase], cls: Type[T] = TLE) -> List[T]:  # type: ignore[assignment]
    """Every record of an OMM file in CSV or XML (as the sgp4 package reads them), as ``cls`` objects;
    ValueError naming the file and the record (and its satellite) that is malformed."""
    text, label = _read_text(source, "read_omm")
    try:
        if text.lstrip().startswith("<"):
            records = list(_omm.parse_xml(io.StringIO(text)))
        else:
            records = list(_omm.parse_csv(io.StringIO(text)))
    except Exception as exc:  # the XML parser's and the csv module's errors alike
        raise ValueError(f"read_omm(): {label}: not an OMM file in CSV or XML: {type(exc).__name__}: {exc}") from None
    out: List[T] = []
    for number, fields in enumerate(records, 1):
        try:
            out.append(cls.from_omm(fields))
        except (ValueError, TypeError) as exc:
            who = fields.get("NORAD_CAT_ID") if hasattr(fields, "get") else None
            raise ValueError(f"read_omm(): {label}: record {number}"
                             f"{f' (satellite {who})' if who else ''}: {str(exc).replace('TLE.from_omm(): ', '')}"
                             ) from None
    return out
