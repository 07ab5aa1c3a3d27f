"""The Earth's pole of date in the package's ECI (the J2000 mean frame), for fields that act about it.

The rotation R takes ECI vectors into the true equator and equinox of date (r_date = R r): IAU 2006
precession times IAU 2000A nutation from pyerfa (``pn06a``), without the frame bias, which ties GCRS and not
the J2000 mean frame. Its third row is the celestial intermediate pole (erfa.xys06a's X, Y) in ECI: the axis of
the zonal field. Only the pole matters to a zonal field, so the rotation about it is immaterial.
"""
from typing import Any

import erfa  # type: ignore  # no type information
import numpy as np
import numpy.typing as npt

from vextal.astro import time as _time


def one_epoch(epoch: Any) -> float:
    """`epoch` (seconds since 1950 UTC, or a date) as a number; ValueError unless it is one finite epoch."""
    value = np.asarray(_time.epoch(epoch), dtype=np.float64)
    if value.ndim != 0 or not np.isfinite(value):
        raise ValueError("epoch must be one finite epoch, not %r" % (epoch,))
    return float(value)


def pole_rotation(epoch: Any) -> npt.NDArray[np.float64]:
    """The 3 x 3 rotation from the package's ECI to the true equator of date at `epoch` (seconds since 1950
    UTC, or a date). ValueError unless it is one finite epoch."""
    jd1, jd2 = _time.jd(one_epoch(epoch), "tt")
    _, _, _, _, rp, _, rn, _ = erfa.pn06a(float(jd1), float(jd2))
    out: npt.NDArray[np.float64] = np.ascontiguousarray(np.asarray(rn) @ np.asarray(rp), dtype=np.float64)
    return out

