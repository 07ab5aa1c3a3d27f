"""Two-impulse Lambert transfers between ECI states: the burn records and plan_lambert."""
from typing import Any, Dict, List, NoReturn, Optional, SupportsFloat, SupportsIndex, SupportsInt, Tuple, Union

from typing_extensions import disjoint_base

from vextal.astro.orbitvector import ECI
from vextal.vector3 import Vector3

__test__: Dict[str, Any]
__pyx_capi__: Dict[str, Any]

@disjoint_base
class SatBurn:
    def __new__(cls, time: SupportsFloat = ..., delta_v: Optional[Vector3] = ...) -> "SatBurn": ...
    @property
    def time(self) -> float: ...
    @property
    def delta_v(self) -> Optional[Vector3]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

@disjoint_base
class LambertMultiRevResult:
    def __new__(cls, *args: Any, **kwargs: Any) -> "LambertMultiRevResult": ...
    @property
    def burns(self) -> List[Tuple[SatBurn, SatBurn]]: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

def plan_lambert(
    state_initial: Optional[ECI],
    state_target: Optional[ECI],
    deltat_sec: SupportsFloat,
    is_prograde: object = ...,
    max_revs: Union[SupportsInt, SupportsIndex] = ...,
) -> LambertMultiRevResult: ...
