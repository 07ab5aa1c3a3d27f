"""Catalogue objects: two-line element sets and OMM records through the ``sgp4`` package.

SGP4 (the ``sgp4`` package's compiled propagator, WGS72 constants as the element sets are fitted with)
gives TEME states; :func:`vextal.astro.frames.teme_to_eci` turns them into the package's ECI, one rotation
per distinct epoch whatever the number of satellites. Epochs are anything :func:`vextal.astro.time.epoch`
reads (UTC, seconds since 1950-01-01 at 86400 s per day, the day count SGP4 itself uses).

Errors that SGP4 reports for an epoch (a decayed orbit, an eccentricity out of range) are per-row statuses
(SGP4's codes, :data:`SGP4_ERRORS`) with NaN rows in :meth:`TLE.propagate` and :func:`propagate_many`, and a
ValueError naming the epoch and SGP4's message in :meth:`TLE.states` and :meth:`TLE.state_at`.
"""

from __future__ import annotations

import io
import os
from typing import Any, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Type, TypeVar, Union

import numpy as np
import numpy.typing as npt
from sgp4 import omm as _omm  # type: ignore  # no type information
from sgp4.api import SGP4_ERRORS, WGS72, Satrec, SatrecArray  # type: ignore

from . import frames as _frames
from . import time as _time

__all__ = ["TLE", "SGP4States", "SGP4_ERRORS", "read_tle", "read_omm", "propagate_many"]

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
    e = np.asarray(_time.epoch(epochs), dtype=np.float64)
    if not np.all(np.isfinite(e)):
        raise ValueError("epochs must be finite")
    return e


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

    def __init__(self, line1: str, line2: str, name: Optional[str] = None) -> None:
        line1, line2 = line1.rstrip(), line2.rstrip()
        if not (line1.startswith("1 ") and line2.startswith("2 ")):
            raise ValueError("TLE(): line1 must start with '1 ' and line2 with '2 '")
        if line1[2:7] != line2[2:7]:
            raise ValueError(f"TLE(): the lines belong to different satellites ({line1[2:7]!r}, {line2[2:7]!r})")
        try:
            satrec = Satrec.twoline2rv(line1, line2, WGS72)
        except (ValueError, IndexError) as err:
            raise ValueError(f"TLE(): cannot read the element set: {err}") from None
        self._setup(satrec, name, (line1, line2))

    def _setup(self, satrec: Any, name: Optional[str], lines: Optional[Tuple[str, str]]) -> None:
        if satrec.error:
            raise ValueError(f"TLE(): SGP4 refuses the element set: {SGP4_ERRORS.get(satrec.error, satrec.error)}")
        self.satrec = satrec
        self.name = name
        self.lines = lines
        self.satnum = satrec.satnum_str if hasattr(satrec, "satnum_str") else str(satrec.satnum)
        whole = satrec.jdsatepoch - _time.JD_1950
        self.epoch = float(whole * 86400.0 + satrec.jdsatepochF * 86400.0)

    @classmethod
    def from_omm(cls: Type[T], fields: Mapping[str, str]) -> T:
        """An object from one OMM record as the sgp4 package reads them (a mapping of OMM keywords to text,
        from :func:`read_omm` or ``sgp4.omm.parse_csv`` / ``parse_xml``)."""
        satrec = Satrec()
        try:
            _omm.initialize(satrec, fields)
        except (KeyError, ValueError) as err:
            raise ValueError(f"TLE.from_omm(): cannot read the OMM record: {err!r}") from None
        self = cls.__new__(cls)
        self._setup(satrec, fields.get("OBJECT_NAME"), None)
        return self

    def __repr__(self) -> str:
        label = f"{self.name!r}, " if self.name else ""
        return f"TLE({label}satnum={self.satnum}, epoch={_time.to_datetime64(self.epoch)})"

    def propagate(self, epochs: Any) -> SGP4States:
        """SGP4 states at ``epochs`` (any shape) in the package's ECI with a status per epoch."""
        e = _epochs(epochs)
        jd, fr = _jd(e.ravel())
        status, r, v = self.satrec.sgp4_array(jd, fr)
        out = _to_eci(r.reshape(e.shape + (3,)), v.reshape(e.shape + (3,)), status.reshape(e.shape), e)
        return out

    def states(self, epochs: Any) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        """Positions (km) and velocities (km/s), shape epochs.shape + (3,), in the package's ECI; ValueError
        naming the first epoch at which SGP4 reports an error."""
        e = _epochs(epochs)
        r, v, status = self.propagate(e)
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

    el = from_state(*tle.states(start))
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
        raise ValueError(f"SGP4 error for satellite {tle.satnum} at {_time.to_datetime64(e)} (epoch {e}): "
                         f"{SGP4_ERRORS.get(code, code)}")


def propagate_many(tles: Sequence[TLE], epochs: Any) -> SGP4States:
    """SGP4 states of many objects at the same epochs in one call (the sgp4 package's array API), in the
    package's ECI: shapes (len(tles),) + epochs.shape + (3,), a status per satellite and epoch."""
    e = _epochs(epochs)
    jd, fr = _jd(e.ravel())
    array = SatrecArray([t.satrec for t in tles])
    status, r, v = array.sgp4(jd, fr)
    n = len(tles)
    return _to_eci(r.reshape((n,) + e.shape + (3,)), v.reshape((n,) + e.shape + (3,)),
                   status.reshape((n,) + e.shape), e)


def _read_text(source: Union[PathOrText, io.TextIOBase]) -> str:
    if hasattr(source, "read"):
        return source.read()  # type: ignore[union-attr]
    with open(os.fspath(source), encoding="ascii", errors="replace") as f:  # type: ignore[arg-type]
        return f.read()


def read_tle(source: Union[PathOrText, io.TextIOBase], cls: Type[T] = TLE) -> List[T]:  # type: ignore[assignment]
    """Every element set of a file (path or open text file) of two-line sets, each optionally preceded by a
    name line (the three-line form; a leading '0 ' is dropped from the name), as ``cls`` objects."""
    lines = [line.rstrip() for line in _read_text(source).splitlines() if line.strip()]
    out: List[T] = []
    name: Optional[str] = None
    k = 0
    while k < len(lines):
        line = lines[k]
        if line.startswith("1 ") and k + 1 < len(lines) and lines[k + 1].startswith("2 "):
            out.append(cls(line, lines[k + 1], name))
            name = None
            k += 2
            continue
        if line.startswith(("1 ", "2 ")):
            raise ValueError(f"read_tle(): line {k + 1} is not part of a two-line set: {line[:30]!r}")
        name = line[2:].strip() if line.startswith("0 ") else line.strip()
        k += 1
    return out


def read_omm(source: Union[PathOrText, io.TextIOBase], cls: Type[T] = TLE) -> List[T]:  # type: ignore[assignment]
    """Every record of an OMM file in CSV or XML (as the sgp4 package reads them), as ``cls`` objects."""
    text = _read_text(source)
    records: Iterable[Mapping[str, str]]
    if text.lstrip().startswith("<"):
        records = _omm.parse_xml(io.StringIO(text))
    else:
        records = _omm.parse_csv(io.StringIO(text))
    return [cls.from_omm(fields) for fields in records]
