"""Orbital elements <-> states over float64 arrays: the native door of vextal.astro.elements (which broadcasts,
converts degrees and raises; use that module)."""
from typing import Any, Tuple

import numpy as np
import numpy.typing as npt

def to_state(
    a: Any, e: Any, i: Any, raan: Any, argp: Any, anomaly: Any, mu: float, mean: bool, /
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """States (r (n, 3) km, v (n, 3) km/s, status (n,)) of n element sets, each argument a C-contiguous float64
    array of n values with angles in radians (the anomaly true, or mean when `mean`); NaN rows and a non-zero
    status (see `message`) where an element set is refused."""

def from_state(
    r: Any, v: Any, mu: float, /
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """Elements (n, 7) of a, e, i, raan, argp, nu, m (km and radians) and a status per state, for C-contiguous
    float64 arrays r and v of shape (n, 3); NaN rows where a state is refused."""

def true_from_mean_rad(m: Any, e: Any, /) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int32]]:
    """True anomalies (radians) and statuses of mean anomalies m (radians) and eccentricities e, C-contiguous
    float64 arrays of equal length."""

def message(code: int, /) -> str:
    """The message of a status code."""
