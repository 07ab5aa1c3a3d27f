"""A transfer as CCSDS files: an OEM of its flight (through ``vextal.astro._oem.write_oem``) and an OPM in KVN
with the chaser's state at departure and one manoeuvre block per burn. Both are written whole or not at all
(``vextal.astro._files``).

The OPM (version 2.0) is written here: the ``oem`` package reads and writes only ephemerides. Its state is the
chaser's just before the departure burn, in EME2000 (the package's ECI) and UTC; each manoeuvre is impulsive
(MAN_DURATION 0) with its delta-v in EME2000, or with frame="RTN" in the chaser's radial / transverse / normal
frame at the burn (the RIC frame of ``Transfer.burn_records``).
"""
from __future__ import annotations

import datetime as _dt
import math
import os
import re
import tempfile
import warnings
from typing import Any, List, Optional, SupportsFloat, Union

import numpy as np

from vextal.astro import _files

_NAME = re.compile(r"^[\x20-\x7e]*$")


def _text(value: str, what: str) -> str:
    """A KVN value: printable ASCII on one line (a control character would break the file's lines)."""
    if not isinstance(value, str) or not _NAME.match(value) or not value.strip():
        raise ValueError("%s must be non-empty printable ASCII on one line, not %r" % (what, value))
    return value.strip()


def _stamp(epoch: float) -> str:
    from vextal.astro import time

    return time.to_datetime(float(epoch)).strftime("%Y-%m-%dT%H:%M:%S.%f")


def _number(x: float) -> str:
    return "%.16e" % float(x)


def opm_text(transfer: Any, *, object_name: str = "CHASER", object_id: str = "UNKNOWN", frame: str = "EME2000",
             mass: SupportsFloat = 1000.0, comment: Optional[str] = None) -> str:
    """The OPM (KVN) of a transfer: header, metadata, the chaser's state just before departure, spacecraft
    parameters (`mass`, kg: CCSDS asks for it with manoeuvres) and the two manoeuvres."""
    if frame not in ("EME2000", "RTN"):
        raise ValueError("frame must be 'EME2000' or 'RTN', not %r" % (frame,))
    kg = float(mass)
    if not (kg > 0 and math.isfinite(kg)):
        raise ValueError("mass must be a positive finite number (kg)")
    plan = transfer.plan()
    records = transfer.burn_records()
    t1 = records[0].epoch
    r, v = plan.departure_state(t1)
    lines: List[str] = [
        "CCSDS_OPM_VERS = 2.0",
        "CREATION_DATE = %s" % _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S"),
        "ORIGINATOR = vextal",
        "",
    ]
    if comment is not None:  # an OPM has no metadata markers: its comments open the metadata
        lines.append("COMMENT %s" % _text(comment, "comment"))
    lines += [
        "OBJECT_NAME = %s" % _text(object_name, "object_name"),
        "OBJECT_ID = %s" % _text(object_id, "object_id"),
        "CENTER_NAME = EARTH",
        "REF_FRAME = EME2000",
        "TIME_SYSTEM = UTC",
        "",
        "COMMENT state of the chaser just before the departure burn; transfer planned in the %s model"
        % transfer.model,
        "EPOCH = %s" % _stamp(t1),
    ]
    for name, value in zip(("X", "Y", "Z", "X_DOT", "Y_DOT", "Z_DOT"), list(np.ravel(r)) + list(np.ravel(v))):
        lines.append("%s = %s" % (name, _number(value)))
    lines += ["", "MASS = %s" % _number(kg), "SOLAR_RAD_AREA = 0.0", "SOLAR_RAD_COEFF = 0.0", "DRAG_AREA = 0.0",
              "DRAG_COEFF = 0.0"]
    for name, record in zip(("departure", "arrival"), records):
        dv = record.dv_eci if frame == "EME2000" else record.dv_ric
        lines += ["", "COMMENT %s burn, |dv| %.9f km/s" % (name, record.magnitude),
                  "MAN_EPOCH_IGNITION = %s" % _stamp(record.epoch), "MAN_DURATION = 0.0",
                  "MAN_DELTA_MASS = -0.001", "MAN_REF_FRAME = %s" % frame]
        for k in range(3):
            lines.append("MAN_DV_%d = %s" % (k + 1, _number(dv[k])))
    return "\n".join(lines) + "\n"


def write_opm(transfer: Any, path: Union[str, "os.PathLike[str]"], **options: Any) -> None:
    """Writes ``opm_text(transfer, **options)`` to `path`, whole or not at all."""
    text = opm_text(transfer, **options)
    _files.replace(path, lambda handle: handle.write(text))


def write_oem(segments: Any, path: Union[str, "os.PathLike[str]"], **options: Any) -> None:
    """Writes an OEM (KVN) of `segments`, (trajectory, epochs) pairs in time order, one OEM segment each (a
    burn between two makes the velocity jump, which no interpolation across it may smooth), whole or not at
    all. Each segment is written by ``vextal.astro._oem.write_oem`` (its options) in a private folder; the
    later ones are joined after the first from their META_START on."""
    from vextal.astro import _oem

    parts: List[str] = []
    with tempfile.TemporaryDirectory(prefix="vextal-oem-") as folder:
        for k, (trajectory, epochs) in enumerate(segments):
            scratch = os.path.join(folder, "part%d.oem" % k)
            with warnings.catch_warnings():  # ERFA doubts UTC before 1960 (no leap seconds then): still UTC
                warnings.filterwarnings("ignore", message=".*dubious year")
                _oem.write_oem(scratch, trajectory, epochs, format="kvn", **options)
            with open(scratch, "r", encoding="utf-8") as handle:
                text = handle.read()
            parts.append(text if k == 0 else text[text.index("META_START"):])
    if not parts:
        raise ValueError("an OEM needs at least one segment")
    _files.replace(path, lambda handle: handle.write("\n".join(parts)))


def sample_epochs(start: float, stop: float, step: float) -> Any:
    """Epochs from `start` to `stop` every `step` s, both ends included (the last step may be shorter)."""
    if not (step > 0 and math.isfinite(step)):
        raise ValueError("step must be a positive finite time (s), not %r" % (step,))
    count = int(math.floor((stop - start) / step + 1e-9))
    epochs = start + step * np.arange(count + 1, dtype=np.float64)
    if stop - epochs[-1] > 1e-6:
        epochs = np.append(epochs, stop)
    return epochs
