"""CCSDS Orbit Ephemeris Messages (KVN and XML) in and out, through the ``oem`` package (the ``oem`` extra).

Reading converts every segment to UTC epoch numbers and the package's ECI: time systems UTC, TAI, TT and GPS
are converted (leap seconds from ERFA's table), others refused; reference frames EME2000 (the package's ECI),
GCRF/ICRF (the constant frame bias), TEME (:func:`vextal.astro.frames.teme_to_eci`) and ITRF in any
realisation (:func:`vextal.astro.frames.efg_to_eci`, with the ``eop`` given or zero EOP and the error stated
there) are converted, others refused. Only Earth-centred messages are read. Segments are joined in time
order; a sample repeated at a segment boundary is kept once. ``vextal.astro.trajectory.read_oem`` gives the
result as a table trajectory.

Every malformed file is a ValueError naming the file and, where it can be told, the line. Files larger than
:data:`MAX_OEM_BYTES` and paths that are not regular files are refused before reading. A sample inside a leap
second (23:59:60 UTC, or its TAI/TT instant) is refused: epoch numbers count 86400 s per day and give it the
epoch of the next midnight, so it and the next day's first sample could not both be kept.
:func:`write_oem` writes through :func:`vextal.astro._files.replace` (the old file stays whole if anything
fails) and refuses names and ids holding control characters, which would start new lines in the file.
"""

from __future__ import annotations

import datetime as _dt
import os
import re
import shutil
import stat
import tempfile
from typing import Any, List, Mapping, Optional, Tuple

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

from . import _files
from . import frames as _frames
from . import time as _time

__all__ = ["read_oem_arrays", "write_oem", "MAX_OEM_BYTES"]

#: The largest OEM file read (about a million states in KVN).
MAX_OEM_BYTES = 256 * 2**20
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f]")

_GPS_MINUS_TAI = -19.0


def _oem_module() -> Any:
    try:
        import oem  # type: ignore  # optional, and without type information
    except ImportError:
        raise ImportError("reading and writing OEM files needs the 'oem' package: pip install 'vextal[oem]'") from None
    return oem


def _utc_epochs(times: Any, system: str, path: str) -> npt.NDArray[Any]:
    """UTC epoch numbers of a segment's epochs (astropy Time in the segment's scale, or naive datetimes holding
    GPS clock readings, which astropy has no scale for)."""
    if system in ("UTC", "TAI", "TT"):
        from astropy.time import Time  # type: ignore

        return np.asarray(_time.epoch(Time(list(times))), dtype=np.float64)
    if system == "GPS":
        labels = np.array([_time.epoch(t.replace(tzinfo=None)) for t in times], dtype=np.float64)
        return np.asarray(_time.tai_to_utc(labels - _GPS_MINUS_TAI), dtype=np.float64)
    raise ValueError(f"read_oem(): {path}: TIME_SYSTEM {system} is not supported (UTC, TAI, TT, GPS are)")


def _to_eci(frame: str, r: npt.NDArray[Any], v: npt.NDArray[Any], epochs: npt.NDArray[Any], eop: Optional[Mapping[str, Any]],
            path: str) -> Tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    if frame in ("EME2000", "J2000"):
        return r, v
    if frame in ("GCRF", "ICRF"):
        rb, _, _ = erfa.bp06(2451545.0, 0.0)  # the frame bias is constant: any date gives it
        return r @ rb.T, v @ rb.T
    if frame == "TEME":
        return _frames.teme_to_eci(r, v, epochs)
    if frame.startswith("ITRF"):
        return _frames.efg_to_eci(r, v, epochs, eop)
    raise ValueError(f"read_oem(): {path}: REF_FRAME {frame} is not supported "
                     "(EME2000, GCRF, ICRF, TEME and ITRF are)")


def _checked_path(path: Any) -> str:
    """The file name, after checking that it is a regular file no larger than MAX_OEM_BYTES."""
    name = os.fspath(path)
    try:
        info = os.stat(name)
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, name) from None
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"read_oem(): {name}: not a regular file")
    if info.st_size > MAX_OEM_BYTES:
        raise ValueError(f"read_oem(): {name}: {info.st_size} bytes, larger than MAX_OEM_BYTES ({MAX_OEM_BYTES})")
    return name


def _text_lines(name: str) -> List[str]:
    with open(name, "rb") as f:
        return f.read().decode("utf-8", errors="replace").splitlines()


def _parse_error(name: str, exc: Exception) -> ValueError:
    """The parser's complaint as a ValueError naming the file and the line (when the parser or the text tells
    it)."""
    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    line = getattr(exc, "lineno", None)
    found = re.match(r"Error on line (\d+): (.*)", text, re.S)
    if found:
        line, text = int(found.group(1)), found.group(2)
    elif line is None:
        # A value the parser quotes, or a keyword it names: its line; a missing keyword: the end of the first
        # metadata block.
        quoted = re.search(r"'([^']+)'|: ([A-Z][A-Z0-9_]+)$", text)
        missing = text.startswith("Missing")
        if quoted or missing:
            try:
                lines = _text_lines(name)
            except OSError:
                lines = []
            needle = "META_STOP" if missing else (quoted.group(1) or quoted.group(2))  # type: ignore[union-attr]
            line = next((k for k, t in enumerate(lines, 1) if needle in t), None)
            if missing and line is not None:
                text += " (in the header or the metadata block that ends here)"
    if line is None and "data" in text:
        try:
            line, why = _bad_data_line(_text_lines(name))
        except (OSError, TypeError):
            line = None
        if line is not None:
            text = f"{text} ({why})"
    where = f"line {line}: " if line else ""
    return ValueError(f"read_oem(): {name}: {where}{text} ({type(exc).__name__})" if not isinstance(exc, ValueError)
                      else f"read_oem(): {name}: {where}{text}")


def _bad_data_line(lines: List[str]) -> Tuple[Optional[int], str]:
    """(line, reason) of the first KVN state line that is not a time in order within its segment's
    START_TIME..STOP_TIME followed by 6 or 9 numbers, or (None, '')."""
    span: dict = {}
    inside, last = False, None
    for number, raw in enumerate(lines, 1):
        text = raw.strip()
        key, _, value = text.partition("=")
        if key.strip() in ("START_TIME", "STOP_TIME"):
            span[key.strip()] = value.strip()
        if text.startswith(("META_STOP", "COVARIANCE_STOP")):
            inside, last = text.startswith("META_STOP"), None
            continue
        if text.startswith(("META_START", "COVARIANCE_START")):
            inside = False
            continue
        if not inside or not text or text.startswith("COMMENT"):
            continue
        words = text.split()
        try:
            t = _time.epoch(words[0])
            start, stop = _time.epoch(span.get("START_TIME", words[0])), _time.epoch(span.get("STOP_TIME", words[0]))
            [float(w) for w in words[1:]]
        except ValueError:
            return number, "not a time followed by numbers"
        if len(words) not in (7, 10):
            return number, f"{len(words) - 1} numbers where 6 or 9 belong"
        if last is not None and t <= last:
            return number, "a time not after the line before"
        if not start <= t <= stop:
            return number, "a time outside START_TIME..STOP_TIME"
        last = t
    return None, ""


def _segment_lines(name: str) -> List[int]:
    """The line where each segment starts (META_START in KVN, <segment> in XML), for messages."""
    try:
        lines = _text_lines(name)
    except OSError:
        return []
    return [k for k, t in enumerate(lines, 1) if t.strip().startswith(("META_START", "<segment"))]


def read_oem_arrays(path: Any, *, eop: Optional[Mapping[str, Any]] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    """(epochs, positions, velocities) of an OEM file (KVN or XML) in UTC epoch numbers, km and km/s in the
    package's ECI, every segment joined in time order."""
    oem = _oem_module()
    name = _checked_path(path)
    try:
        message = oem.OrbitEphemerisMessage.open(name)
        segments = list(message)
    except (OSError, MemoryError):
        raise
    except Exception as exc:  # the KVN and XML parsers' errors (ValueError, KeyError, ExpatError, lxml's ...)
        raise _parse_error(name, exc) from None
    starts = _segment_lines(name)
    parts = []
    for number, segment in enumerate(segments):
        at = f"segment {number + 1}" + (f" (line {starts[number]})" if number < len(starts) else "")
        try:
            md = segment.metadata
            center = str(md["CENTER_NAME"]).strip().upper()
            if center != "EARTH":
                raise ValueError(f"CENTER_NAME {center} is not supported (only EARTH is)")
            states = list(segment.states)
            times = [s.epoch for s in states]
            epochs = _utc_epochs(times, str(md["TIME_SYSTEM"]).strip().upper(), name)
            _check_order(epochs)
            r = np.array([s.position for s in states], dtype=np.float64).reshape(-1, 3)
            v = np.array([s.velocity for s in states], dtype=np.float64).reshape(-1, 3)
            if not (np.all(np.isfinite(r)) and np.all(np.isfinite(v))):
                raise ValueError("a state is not finite")
            r, v = _to_eci(str(md["REF_FRAME"]).strip().upper(), r, v, epochs, eop, name)
        except (OSError, MemoryError):
            raise
        except Exception as exc:
            text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
            text = text.replace(f"read_oem(): {name}: ", "")
            raise ValueError(f"read_oem(): {name}: {at}: {text}") from None
        if epochs.size:
            parts.append((epochs, r, v, at))
    if not parts:
        raise ValueError(f"read_oem(): {name}: no state in the file")
    parts.sort(key=lambda p: p[0][0])
    for (before, _, _, first), (after, _, _, second) in zip(parts, parts[1:]):
        if after[0] < before[-1]:
            raise ValueError(f"read_oem(): {name}: {second} ({_time.iso(after[0])} to {_time.iso(after[-1])}) "
                             f"overlaps {first} ({_time.iso(before[0])} to {_time.iso(before[-1])})")
    epochs = np.concatenate([p[0] for p in parts])
    r = np.concatenate([p[1] for p in parts])
    v = np.concatenate([p[2] for p in parts])
    keep = np.concatenate([[True], np.diff(epochs) != 0])  # a boundary sample shared by two segments
    return epochs[keep], r[keep], v[keep]


def _check_order(epochs: npt.NDArray[Any]) -> None:
    """Samples strictly in time order: two that share an epoch number straddle a leap second (23:59:60 reads
    as the next midnight), others are out of order."""
    if not np.all(np.isfinite(epochs)):
        raise ValueError("an epoch is not a finite date")
    step = np.diff(epochs)
    bad = np.flatnonzero(step <= 0)
    if bad.size == 0:
        return
    k = int(bad[0])
    if step[k] == 0 and np.any(np.abs(_time.tai_minus_utc(epochs[k]) - _time.tai_minus_utc(epochs[k] - 1.0)) >= 0.5):
        raise ValueError(f"samples {k + 1} and {k + 2} both read as {_time.iso(epochs[k])}: one lies inside the "
                         "leap second before it, which epoch numbers (86400 s per day) cannot hold; remove the "
                         "sample inside the leap second (23:59:60 UTC)")
    raise ValueError(f"sample {k + 2} ({_time.iso(epochs[k + 1])}) is not after sample {k + 1} "
                     f"({_time.iso(epochs[k])})")


def write_oem(path: Any, trajectory: Any, epochs: Any, *, object_name: str = "UNKNOWN",
              object_id: str = "UNKNOWN", format: str = "kvn") -> None:
    """Writes the states of ``trajectory`` (anything with ``states(epochs)``) at ``epochs`` to an OEM file
    (version 2.0, ``format`` 'kvn' or 'xml') in EME2000 and UTC. Epochs are written to the microsecond, the
    file's precision, so the trajectory is sampled at the epochs rounded to the microsecond: the file's
    states then belong exactly to its epochs."""
    if format not in ("kvn", "xml"):
        raise ValueError(f"write_oem(): format must be 'kvn' or 'xml', not {format!r}")
    for label, value in (("object_name", object_name), ("object_id", object_id)):
        if not isinstance(value, str):
            raise TypeError(f"write_oem(): {label} must be a str, not {type(value).__name__}")
        if not value.strip() or _CONTROL.search(value):
            raise ValueError(f"write_oem(): {label} {value!r} must be non-empty text without control characters "
                             "(a line break would start a new line of the file)")
    oem = _oem_module()
    from astropy.time import Time  # type: ignore
    from oem.components import EphemerisSegment, HeaderSection, MetaDataSection  # type: ignore

    e = np.asarray(_time.epoch(epochs), dtype=np.float64).ravel()
    if e.size < 1 or not np.all(np.isfinite(e)) or np.any(np.diff(e) <= 0):
        raise ValueError("write_oem(): epochs must be finite and strictly increasing")
    stamps = [_time.to_datetime(x) for x in e]
    if len(set(stamps)) != len(stamps):
        raise ValueError("write_oem(): epochs closer than a microsecond cannot be told apart in a file")
    e = np.array([_time.epoch(s) for s in stamps], dtype=np.float64)
    r, v = trajectory.states(e)
    r = np.asarray(r, dtype=np.float64).reshape(-1, 3)
    v = np.asarray(v, dtype=np.float64).reshape(-1, 3)
    if not (np.all(np.isfinite(r)) and np.all(np.isfinite(v))):
        raise ValueError("write_oem(): the trajectory gave non-finite states")
    times = tuple(Time(s, format="datetime", scale="utc", precision=6) for s in stamps)
    header = HeaderSection({
        "CCSDS_OEM_VERS": "2.0",
        "CREATION_DATE": _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S"),
        "ORIGINATOR": "vextal",
    })
    metadata = MetaDataSection({
        "OBJECT_NAME": object_name,
        "OBJECT_ID": object_id,
        "CENTER_NAME": "EARTH",
        "REF_FRAME": "EME2000",
        "TIME_SYSTEM": "UTC",
        "START_TIME": stamps[0].strftime("%Y-%m-%dT%H:%M:%S.%f"),
        "STOP_TIME": stamps[-1].strftime("%Y-%m-%dT%H:%M:%S.%f"),
    }, version="2.0")
    columns = (times,) + tuple(tuple(col) for col in np.concatenate([r, v], axis=1).T.tolist())
    segment = EphemerisSegment(metadata, columns, version="2.0")
    message = oem.OrbitEphemerisMessage(header, [segment])
    with tempfile.TemporaryDirectory() as folder:  # the library writes a path; the file is then put in place whole
        staged = os.path.join(folder, "staged.oem")
        message.save_as(staged, file_format=format)
        with open(staged, "rb") as source:
            _files.replace(path, lambda handle: shutil.copyfileobj(source, handle), binary=True)
