"""The porkchop grid: Lambert transfers over departure and flight time."""
from typing import Any, Optional, Sequence, SupportsFloat, SupportsInt, Tuple

import numpy as np
import numpy.typing as npt

def grid(
    chaser: Sequence[SupportsFloat],
    target: Sequence[SupportsFloat],
    departures: npt.ArrayLike,
    tofs: npt.ArrayLike,
    prograde: Any = True,
    max_revs: Optional[SupportsInt] = 0,
    threads: Optional[int] = None,
) -> Tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int32],
    npt.NDArray[np.int8],
]: ...
