"""vextal.astro.root: function bindings and bracket_and_solve_root, from Python and through __pyx_capi__."""
import ctypes
import math
import pickle

import pytest
from mpmath import mp, mpf

from vextal.astro import root
from vextal.astro.root import KeplerEquationBinding, RootFunctionBinding, bracket_and_solve_root

CubeBinding = root.TestEquationBinding  # not imported by its own name: pytest would try to collect it

SIGNATURES = {
    "CreateKeplerEquationBinding":
        "struct __pyx_obj_6vextal_5astro_4root_KeplerEquationBinding *(__pyx_t_6vextal_5astro_4root_KeplerEquation, "
        "double, double, double, double, double)",
    "bracket_and_solve_root":
        "PyObject *(struct __pyx_obj_6vextal_5astro_4root_RootFunctionBinding *, double, double, int, int)",
}


class Square(RootFunctionBinding):
    def __init__(self, c):
        self.c = c
        self.calls = 0

    def evaluate(self, x):
        self.calls += 1
        return x * x - self.c


def within_ulps(x, exact, ulps=1):
    """True when x is within `ulps` units in the last place of exact."""
    return abs(x - exact) <= ulps * math.ulp(exact)


def test_layout_and_exports():
    assert (RootFunctionBinding.__basicsize__, CubeBinding.__basicsize__,
            KeplerEquationBinding.__basicsize__) == (24, 32, 72)
    assert issubclass(CubeBinding, RootFunctionBinding) and issubclass(KeplerEquationBinding, RootFunctionBinding)
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert {k: get_name(v).decode() for k, v in root.__pyx_capi__.items()} == SIGNATURES
    for cls in (RootFunctionBinding, CubeBinding, KeplerEquationBinding):
        assert type(cls.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


@pytest.mark.parametrize("value", [27.0, 2.0, -5.0, 1e-300, 7.3e250, 1.0 / 3.0])
def test_cube_roots_to_full_precision(value):
    guess = math.copysign(abs(value) ** (1 / 3), value)
    x, lower, upper, evaluations = bracket_and_solve_root(CubeBinding(value), 0.5 * guess, 1.5 * guess)
    exact = math.copysign(float(mp.cbrt(abs(mpf(value)))), value)
    assert lower <= x <= upper and upper - lower <= 2 * math.ulp(max(abs(lower), abs(upper)))
    assert within_ulps(x, exact)
    assert evaluations < 40


def kepler_tolerance(root, f_value_scale, slope):
    """Four ulps of the root, or what rounding in f (about eps * f_value_scale) allows at this slope."""
    return 4 * math.ulp(root) + 4 * 2.2e-16 * f_value_scale / abs(slope)


@pytest.mark.parametrize("e", [0.0, 0.1, 0.5, 0.9, 0.99, 0.999999])
@pytest.mark.parametrize("M", [1e-6, 0.3, 1.0, 3.0, math.pi])
def test_elliptic_kepler_equation(e, M):
    binding = KeplerEquationBinding("elliptic", e, M)
    assert binding.form == "elliptic" and binding.parameters == (e, M, 0.0, 0.0, 0.0)
    E, _, _, _ = bracket_and_solve_root(binding, M, M + 0.1)
    with mp.workdps(40):
        exact = mp.findroot(lambda t: t - e * mp.sin(t) - M, mpf(E))
    assert abs(E - float(exact)) <= kepler_tolerance(float(exact), abs(E), 1 - e * math.cos(E))


@pytest.mark.parametrize("e, M", [(1.2, 0.5), (3.0, 40.0), (1.0001, 1e-3), (50.0, 1e5)])
def test_hyperbolic_kepler_equation(e, M):
    H, _, _, _ = bracket_and_solve_root(KeplerEquationBinding("hyperbolic", e, M), 0.0, 1.0)
    with mp.workdps(40):
        exact = mp.findroot(lambda t: e * mp.sinh(t) - t - M, mpf(H))
    assert abs(H - float(exact)) <= kepler_tolerance(float(exact), abs(H) + M, e * math.cosh(H) - 1)


def test_universal_kepler_equation_matches_elliptic_anomaly():
    # Circular orbit of radius r: the universal anomaly after dt is s = dt / r.
    r, mu, dt = 7000.0, 398600.4418, 1234.5
    beta = mu / r
    s, _, _, _ = bracket_and_solve_root(KeplerEquationBinding("universal", r, 0.0, beta, mu, dt), 0.0, 0.1)
    assert within_ulps(s, dt / r, 4)
    assert abs(KeplerEquationBinding("universal", r, 0.0, beta, mu, dt).evaluate(dt / r)) < 1e-9


def test_python_binding_is_solved_and_counted():
    f = Square(2.0)
    x, lower, upper, evaluations = bracket_and_solve_root(f, 0.0, 1.0)  # [0, 1] holds no root: widened
    assert within_ulps(x, math.sqrt(2.0)) and lower < upper
    assert f.calls == evaluations


def test_fewer_digits_take_fewer_evaluations():
    full = bracket_and_solve_root(Square(3.0), 1.0, 2.0)
    coarse = bracket_and_solve_root(Square(3.0), 1.0, 2.0, digits=20)
    assert abs(coarse[0] - math.sqrt(3.0)) <= 2.0 ** -19 * 2 and coarse[3] < full[3]
    assert bracket_and_solve_root(Square(3.0), 1.0, 2.0, max_iterations=200, digits=500)[0] == full[0]


@pytest.mark.parametrize("x0, x1", [(1.0, 3.0), (100.0, 300.0)])  # the second is widened first
def test_largest_iteration_limit_solves_like_the_default(x0, x1):
    assert bracket_and_solve_root(CubeBinding(8.0), x0, x1, 2**31 - 1) == bracket_and_solve_root(CubeBinding(8.0), x0, x1)


class Raising(RootFunctionBinding):
    def evaluate(self, x):
        raise KeyError("inside evaluate")


class NotANumber(RootFunctionBinding):
    def evaluate(self, x):
        return float("nan")


class Flat(RootFunctionBinding):
    def evaluate(self, x):
        return (x - 1.0) ** 9


class NoRoot(RootFunctionBinding):
    def evaluate(self, x):
        return x * x + 1.0


@pytest.mark.parametrize("binding, args, error, text", [
    (Raising(), (0.0, 1.0), KeyError, "inside evaluate"),
    (RootFunctionBinding(), (0.0, 1.0), NotImplementedError, "abstract"),
    (NotANumber(), (0.0, 1.0), ValueError, "NaN"),
    (NoRoot(), (-1.0, 1.0), ValueError, "does not change sign"),
    (Flat(), (0.0, 3.0, 10), RuntimeError, "no convergence within 10 evaluations"),
    (Square(2.0), (0.0, 3.0, 0), ValueError, "max_iterations must be at least 1"),
    (Square(2.0), (0.0, 3.0, 10, 0), ValueError, "digits must be at least 1"),
    (Square(2.0), (0.0, math.inf), ValueError, "must be finite"),
    (None, (0.0, 1.0), TypeError, "Cannot convert NoneType"),
    ("f", (0.0, 1.0), TypeError, "Argument 'binding' has incorrect type"),
])
def test_failures_raise(binding, args, error, text):
    with pytest.raises(error, match=text):
        bracket_and_solve_root(binding, *args)


def test_failure_inside_evaluate_keeps_both_traceback_entries():
    with pytest.raises(KeyError) as info:
        bracket_and_solve_root(Raising(), 0.0, 1.0)
    names = [entry.name for entry in info.traceback]
    assert "vextal.astro.root.bracket_and_solve_root" in names and "evaluate" in names


@pytest.mark.parametrize("call, error", [
    (lambda: KeplerEquationBinding("parabolic", 1.0), ValueError),
    (lambda: KeplerEquationBinding(), TypeError),
    (lambda: KeplerEquationBinding("elliptic", 1, 2, 3, 4, 5, 6), TypeError),
    (lambda: KeplerEquationBinding("elliptic", "e"), TypeError),
    (lambda: CubeBinding("x"), TypeError),
    (lambda: RootFunctionBinding(1), TypeError),
    (lambda: CubeBinding(1.0).evaluate("x"), TypeError),
])
def test_construction_errors(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("binding", [CubeBinding(2.0), KeplerEquationBinding("elliptic", 0.1, 0.2), Square(1)])
def test_pickling_refused(binding):
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(binding)


# ---- the native functions, called through their capsules as another extension module would --------------

KEPLER_EQUATION = ctypes.CFUNCTYPE(ctypes.c_double, *[ctypes.c_double] * 6)


def capi_function(name, restype, *argtypes):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(root.__pyx_capi__[name], SIGNATURES[name].encode())
    return ctypes.PYFUNCTYPE(restype, *argtypes)(address)


def test_native_create_and_solve_with_a_native_equation():
    create = capi_function("CreateKeplerEquationBinding", ctypes.py_object, KEPLER_EQUATION, *[ctypes.c_double] * 5)
    solve = capi_function("bracket_and_solve_root", ctypes.py_object, ctypes.py_object, ctypes.c_double,
                          ctypes.c_double, ctypes.c_int, ctypes.c_int)
    # Kepler's equation for a 0.7 eccentricity, written as a native callback.
    equation = KEPLER_EQUATION(lambda x, e, M, a, b, c: x - e * math.sin(x) - M)
    binding = create(equation, 0.7, 2.0, 0.0, 0.0, 0.0)
    assert type(binding) is KeplerEquationBinding and binding.form == "native"
    E = solve(binding, 0.0, 1.0, 100, 53)[0]
    assert abs(E - 0.7 * math.sin(E) - 2.0) <= 4e-16
    with pytest.raises(ValueError, match="CreateKeplerEquationBinding"):
        create(KEPLER_EQUATION(), 0.0, 0.0, 0.0, 0.0, 0.0)
    with pytest.raises(TypeError):
        solve(None, 0.0, 1.0, 10, 53)


# ---- a bracket with no double inside is final ------------------------------------------------------------

class Line(RootFunctionBinding):
    """2x + c: for a subnormal c the root lies between two adjacent doubles next to zero, where the width
    tolerance abs_tol + rel_tol * max(|a|, |b|) underflows to 0."""

    def __init__(self, c):
        self.c = c

    def evaluate(self, x):
        return 2.0 * x + self.c


@pytest.mark.parametrize("c", [5e-324, -5e-324, 1e-320, -3e-321, 2.5e-310])
@pytest.mark.parametrize("x0, x1", [(-1.0, 2.0), (0.0, 1e-300), (-5e-324, 5e-324)])
def test_adjacent_bracket_is_returned(c, x0, x1):
    x, lower, upper, evaluations = bracket_and_solve_root(Line(c), x0, x1)
    assert lower <= x <= upper and math.nextafter(lower, math.inf) >= upper
    assert 2.0 * lower + c <= 0.0 <= 2.0 * upper + c
    assert evaluations < 200  # spent on shrinking the bracket, not on a final one
