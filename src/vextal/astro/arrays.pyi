"""Geodesy, propagation and Lambert's problem over NumPy arrays."""
from typing import Any, ClassVar, Dict, Iterable, Optional, SupportsFloat, SupportsInt, Tuple, final

import numpy as np
import numpy.typing as npt

LAMBERT_OK: int

@final
class LambertArrays(Tuple[Any, ...]):
    """A struct sequence (a tuple with named fields)."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[Tuple[str, ...]]
    def __new__(cls, sequence: Iterable[Any], dict: Dict[str, Any] = ...) -> LambertArrays: ...
    @property
    def v1(self) -> npt.NDArray[np.float64]: ...
    @property
    def v2(self) -> npt.NDArray[np.float64]: ...
    @property
    def count(self) -> npt.NDArray[np.int32]: ...  # type: ignore[override]
    @property
    def status(self) -> npt.NDArray[np.int32]: ...
    @property
    def revolutions(self) -> npt.NDArray[np.int32]: ...
    @property
    def branch(self) -> npt.NDArray[np.int32]: ...

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
