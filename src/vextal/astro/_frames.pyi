"""Rotations of states grouped by epoch: the native door of vextal.astro.frames (use that module)."""
from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

def rotate(
    r: Any, v: Any, a: Any, b: Any, epoch: Any, threads: Optional[int], in_place: bool = False, /
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(a[e] r, a[e] v + b[e] r) for every state j of C-contiguous float64 r and v (..., 3), e = epoch[j % p]:
    a and b C-contiguous float64 (m, 3, 3) (b None: no rate term), epoch a C-contiguous int64 array of p
    indices, p dividing the number of states; threads None for every core. in_place: into r and v themselves
    (writable, two distinct arrays), which are returned."""
