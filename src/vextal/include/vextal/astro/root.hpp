// vextal.astro.root: function bindings for the bracketing root solver, their record layouts and native
// tables, and the native functions published in the module's __pyx_capi__ dict.
//
// A binding is a native function of one double: table->evaluate(self, x, skip_dispatch). A Python subclass
// of RootFunctionBinding that defines evaluate(x) is honoured when skip_dispatch is 0. evaluate returns NaN
// with a Python exception set when it fails (a NaN without an exception is a plain NaN value).
#pragma once
#include <Python.h>

#include <cstddef>

namespace vextal {

struct RootFunctionBindingObject;

struct RootFunctionTable {
    double (*evaluate)(RootFunctionBindingObject* self, double x, int skip_dispatch);
};

struct RootFunctionBindingObject {
    PyObject_HEAD
    RootFunctionTable* vtab;
};

// f(x) = x^3 - value: a smooth test function whose root is the cube root of `value`.
struct TestEquationBindingObject {
    RootFunctionBindingObject base;
    double value;
};

// A Kepler-type equation: the residual at x with five parameters. The module's own forms:
//   elliptic    E - e sin E - M            parameters (e, M, -, -, -)
//   hyperbolic  e sinh H - H - M           parameters (e, M, -, -, -)
//   universal   r0 U1(s) + sigma0 U2(s) + mu U3(s) - dt, with U_k(s) = s^k c_k(beta s^2) the universal
//               functions (c_k Stumpff's)  parameters (r0, sigma0 = r0 . v0, beta = 2 mu / r0 - v0^2, mu, dt)
using KeplerEquation = double (*)(double x, double p1, double p2, double p3, double p4, double p5);

struct KeplerEquationBindingObject {
    RootFunctionBindingObject base;
    KeplerEquation equation;
    double parameters[5];
};

static_assert(offsetof(RootFunctionBindingObject, vtab) == 16, "binding table pointer follows the header");
static_assert(sizeof(RootFunctionBindingObject) == 24, "RootFunctionBinding instance size");
static_assert(sizeof(TestEquationBindingObject) == 32, "TestEquationBinding instance size");
static_assert(offsetof(KeplerEquationBindingObject, equation) == 24, "Kepler equation pointer");
static_assert(sizeof(KeplerEquationBindingObject) == 72, "KeplerEquationBinding instance size");

// CreateKeplerEquationBinding(equation, p1, ..., p5): a new KeplerEquationBinding, or null with an
// exception set (a null equation is a ValueError).
using CreateKeplerEquationBindingFunction = KeplerEquationBindingObject* (*)(KeplerEquation equation, double p1,
                                                                            double p2, double p3, double p4,
                                                                            double p5);
// bracket_and_solve_root(binding, x0, x1, max_iterations, digits): widens [x0, x1] until f changes sign,
// then solves f(x) = 0 to `digits` binary digits (53: full precision) within max_iterations evaluations.
// Returns a new tuple (root, lower, upper, evaluations), or null with an exception set (SystemError for a
// null binding).
using BracketAndSolveRootFunction = PyObject* (*)(RootFunctionBindingObject* binding, double x0, double x1,
                                                  int max_iterations, int digits);

inline constexpr const char kRootModule[] = "vextal.astro.root";
inline constexpr const char kCreateKeplerEquationBindingSignature[] =
    "struct __pyx_obj_6vextal_5astro_4root_KeplerEquationBinding *(__pyx_t_6vextal_5astro_4root_KeplerEquation, "
    "double, double, double, double, double)";
inline constexpr const char kBracketAndSolveRootSignature[] =
    "PyObject *(struct __pyx_obj_6vextal_5astro_4root_RootFunctionBinding *, double, double, int, int)";

}  // namespace vextal
