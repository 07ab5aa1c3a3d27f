"""Geodesy, propagation and Lambert's problem over NumPy arrays."""
from typing import Any, NamedTuple, Optional, SupportsFloat, SupportsInt, Tuple

import numpy as np
import numpy.typing as npt

LAMBERT_OK: int

class LambertArrays(NamedTuple):
    v1: npt.NDArray[np.float64]
    v2: npt.NDArray[np.float64]
    count: npt.NDArray[np.int32]
    status: npt.NDArray[np.int32]
    revolutions: npt.NDArray[np.int32]
    branch: npt.NDArray[np.int32]

def efg_to_llh(xyz: npt.ArrayLike, *, threads: Optional[int] = None) -> npt.NDArray[np.float64]: ...
def llh_to_efg(llh: npt.ArrayLike, *, threads: Optional[int] = None) -> npt.NDArray[np.float64]: ...
def propagate(
    r: npt.ArrayLike,
    v: npt.ArrayLike,
    dt: npt.ArrayLike,
    *,
    mu: SupportsFloat = ...,
    errors: str = ...,
    threads: Optional[int] = None,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def lambert(
    r1: npt.ArrayLike,
    r2: npt.ArrayLike,
    tof: npt.ArrayLike,
    *,
    mu: SupportsFloat = ...,
    prograde: Any = True,
    max_revs: SupportsInt = 0,
    errors: str = ...,
    threads: Optional[int] = None,
) -> LambertArrays: ...
def lambert_message(code: SupportsInt, /) -> str: ...
def _geodesy_path(limit: Optional[str] = None, /) -> str: ...
