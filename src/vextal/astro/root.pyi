"""Root bracketing and solving over native function bindings."""
from typing import Any, Dict, Literal, NoReturn, SupportsFloat, SupportsIndex, Tuple

from typing_extensions import Self, disjoint_base

_Float = SupportsFloat

__pyx_capi__: Dict[str, Any]

@disjoint_base
class RootFunctionBinding:
    """A native function of one double behind a native table. Subclass it in Python and define evaluate(x) to
    hand a Python function to bracket_and_solve_root. The class itself takes no arguments (TypeError); a subclass
    may take its own. Cannot be pickled."""

    def __new__(cls, *args: Any, **kwargs: Any) -> Self: ...
    def evaluate(self, x: _Float, /) -> float:
        """The function's value at x. RootFunctionBinding's own is abstract: a subclass defines evaluate(x)."""
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: Any, /) -> NoReturn: ...

@disjoint_base
class TestEquationBinding(RootFunctionBinding):
    """f(x) = x**3 - value, whose root is the cube root of value."""

    def __new__(cls, value: _Float = ...) -> Self: ...
    @property
    def value(self) -> float:
        """The constant c of f(x) = x**3 - c."""

@disjoint_base
class KeplerEquationBinding(RootFunctionBinding):
    """A Kepler-type equation in one unknown:

    - 'elliptic': E - e sin E - M, with (p1, p2) = (e, M);
    - 'hyperbolic': e sinh H - H - M, with (p1, p2) = (e, M);
    - 'universal': r0 U1(s) + sigma0 U2(s) + mu U3(s) - dt, U_k(s) = s**k c_k(beta s**2), with (p1 .. p5) =
      (r0, sigma0 = r0 . v0, beta = 2 mu / r0 - v0**2, mu, dt) in km, km^2/s, km^2/s^2, km^3/s^2 and s.

    ValueError for another form."""

    def __new__(
        cls,
        form: Literal["elliptic", "hyperbolic", "universal"],
        p1: _Float = ...,
        p2: _Float = ...,
        p3: _Float = ...,
        p4: _Float = ...,
        p5: _Float = ...,
    ) -> Self: ...
    @property
    def form(self) -> str:
        """'elliptic', 'hyperbolic', 'universal', or 'native' for an equation given natively."""
    @property
    def parameters(self) -> Tuple[float, float, float, float, float]:
        """The five parameters, as a tuple of floats."""

def bracket_and_solve_root(
    binding: RootFunctionBinding,
    x0: _Float,
    x1: _Float,
    max_iterations: SupportsIndex = 200,
    digits: SupportsIndex = 53,
) -> Tuple[float, float, float, int]:
    """Solve binding.evaluate(x) = 0. The interval [x0, x1] is widened geometrically until the function changes
    sign; then TOMS 748 (Alefeld, Potra, Shi) narrows the bracket to `digits` binary digits (53: full double
    precision) within `max_iterations` evaluations.

    Returns (root, lower, upper, evaluations): the end of the final bracket [lower, upper] with the smaller |f|,
    and the number of evaluations. ValueError when no sign change is found or f gives NaN, or for
    max_iterations or digits below 1; RuntimeError when the iteration limit is reached; an exception raised by
    evaluate passes on."""
