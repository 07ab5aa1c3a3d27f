"""CCSDS Orbit Ephemeris Messages (KVN and XML) in and out, through the ``oem`` package (the ``oem`` extra).

Reading converts every segment to UTC epoch numbers and the package's ECI: time systems UTC, TAI, TT and GPS
are converted (leap seconds from ERFA's table), others refused; reference frames EME2000 (the package's ECI),
GCRF/ICRF (the constant frame bias), TEME (:func:`vextal.astro.frames.teme_to_eci`) and ITRF in any
realisation (:func:`vextal.astro.frames.efg_to_eci`, with the ``eop`` given or zero EOP and the error stated
there) are converted, others refused. Only Earth-centred messages are read. Segments are joined in time
order; a sample repeated at a segment boundary is kept once. ``vextal.astro.trajectory.read_oem`` gives the
result as a table trajectory.
"""

from __future__ import annotations

import datetime as _dt
import os
from typing import Any, Mapping, Optional, Tuple

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

from . import frames as _frames
from . import time as _time

__all__ = ["read_oem_arrays", "write_oem"]

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


def read_oem_arrays(path: Any, *, eop: Optional[Mapping[str, Any]] = None) -> Tuple[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]:
    """(epochs, positions, velocities) of an OEM file (KVN or XML) in UTC epoch numbers, km and km/s in the
    package's ECI, every segment joined in time order."""
    oem = _oem_module()
    name = os.fspath(path)
    message = oem.OrbitEphemerisMessage.open(name)
    parts = []
    for segment in message:
        md = segment.metadata
        center = str(md["CENTER_NAME"]).strip().upper()
        if center != "EARTH":
            raise ValueError(f"read_oem(): {name}: CENTER_NAME {center} is not supported (only EARTH is)")
        states = list(segment.states)
        times = [s.epoch for s in states]
        epochs = _utc_epochs(times, str(md["TIME_SYSTEM"]).strip().upper(), name)
        r = np.array([s.position for s in states], dtype=np.float64).reshape(-1, 3)
        v = np.array([s.velocity for s in states], dtype=np.float64).reshape(-1, 3)
        r, v = _to_eci(str(md["REF_FRAME"]).strip().upper(), r, v, epochs, eop, name)
        parts.append((epochs, r, v))
    parts.sort(key=lambda p: p[0][0])
    epochs = np.concatenate([p[0] for p in parts])
    r = np.concatenate([p[1] for p in parts])
    v = np.concatenate([p[2] for p in parts])
    keep = np.concatenate([[True], np.diff(epochs) != 0])  # a boundary sample shared by two segments
    epochs, r, v = epochs[keep], r[keep], v[keep]
    if np.any(np.diff(epochs) < 0):
        raise ValueError(f"read_oem(): {name}: segments overlap in time")
    return epochs, r, v


def write_oem(path: Any, trajectory: Any, epochs: Any, *, object_name: str = "UNKNOWN",
              object_id: str = "UNKNOWN", format: str = "kvn") -> None:
    """Writes the states of ``trajectory`` (anything with ``states(epochs)``) at ``epochs`` to an OEM file
    (version 2.0, ``format`` 'kvn' or 'xml') in EME2000 and UTC. Epochs are written to the microsecond, the
    file's precision, so the trajectory is sampled at the epochs rounded to the microsecond: the file's
    states then belong exactly to its epochs."""
    if format not in ("kvn", "xml"):
        raise ValueError(f"write_oem(): format must be 'kvn' or 'xml', not {format!r}")
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
    oem.OrbitEphemerisMessage(header, [segment]).save_as(os.fspath(path), file_format=format)
