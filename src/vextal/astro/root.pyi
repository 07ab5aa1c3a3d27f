"""Root bracketing and solving over native function bindings."""
from typing import Any, Dict, Literal, NoReturn, SupportsFloat, SupportsIndex, Tuple

from typing_extensions import disjoint_base

_Float = SupportsFloat

__pyx_capi__: Dict[str, Any]

@disjoint_base
class RootFunctionBinding:
    def __new__(cls, *args: Any, **kwargs: Any) -> "RootFunctionBinding": ...
    def evaluate(self, x: _Float, /) -> float: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

@disjoint_base
class TestEquationBinding(RootFunctionBinding):
    def __new__(cls, value: _Float = ...) -> "TestEquationBinding": ...
    @property
    def value(self) -> float: ...

@disjoint_base
class KeplerEquationBinding(RootFunctionBinding):
    def __new__(
        cls,
        form: Literal["elliptic", "hyperbolic", "universal"],
        p1: _Float = ...,
        p2: _Float = ...,
        p3: _Float = ...,
        p4: _Float = ...,
        p5: _Float = ...,
    ) -> "KeplerEquationBinding": ...
    @property
    def form(self) -> str: ...
    @property
    def parameters(self) -> Tuple[float, float, float, float, float]: ...

def bracket_and_solve_root(
    binding: RootFunctionBinding,
    x0: _Float,
    x1: _Float,
    max_iterations: SupportsIndex = ...,
    digits: SupportsIndex = ...,
) -> Tuple[float, float, float, int]: ...
