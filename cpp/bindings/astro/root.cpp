// vextal.astro.root: function bindings (a native function of one double behind a native table) and the
// bracketing root solver over them. RootFunctionBinding is the base a Python subclass extends with its own
// evaluate(x); TestEquationBinding and KeplerEquationBinding are native bindings. bracket_and_solve_root and
// CreateKeplerEquationBinding are published in __pyx_capi__ for other extension modules.
#include "native/record.hpp"
#include "native/support.hpp"
#include "core/kepler.hpp"
#include "core/root.hpp"

#include <vextal/astro/root.hpp>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

using vextal::KeplerEquation;
using vextal::KeplerEquationBindingObject;
using vextal::RootFunctionBindingObject;
using vextal::RootFunctionTable;
using vextal::TestEquationBindingObject;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char kSolveName[] = "vextal.astro.root.bracket_and_solve_root";

PyTypeObject RootFunctionBinding_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject TestEquationBinding_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject KeplerEquationBinding_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
RootFunctionTable root_table, test_table, kepler_table;

vx::OverrideSite sites[] = {
    {"vextal.astro.root.RootFunctionBinding.evaluate"},
    {"vextal.astro.root.TestEquationBinding.evaluate"},
    {"vextal.astro.root.KeplerEquationBinding.evaluate"},
};

PyObject* obj(void* p) { return reinterpret_cast<PyObject*>(p); }

// ---- the Kepler equations ------------------------------------------------------------------------------

double elliptic(double E, double e, double M, double, double, double) { return E - e * std::sin(E) - M; }
double hyperbolic(double H, double e, double M, double, double, double) { return e * std::sinh(H) - H - M; }

double universal(double s, double r0, double sigma0, double beta, double mu, double dt) {
    double c[4];
    vextal::numerics::stumpff(beta * s * s, c);
    return r0 * s * c[1] + sigma0 * s * s * c[2] + mu * s * s * s * c[3] - dt;
}

struct Form {
    const char* name;
    KeplerEquation equation;
};
constexpr Form kForms[] = {{"elliptic", elliptic}, {"hyperbolic", hyperbolic}, {"universal", universal}};

// ---- table entries: NaN with an exception set on failure ------------------------------------------------

// The override step of an evaluate entry; true when the entry is done (`result` holds the override's value,
// or NaN with an error set).
bool dispatched(RootFunctionBindingObject* self, int skip_dispatch, vx::OverrideSite& site, double x, double& result) {
    if (skip_dispatch || !vx::dispatch_double(obj(self), site, result, x)) return false;
    if (PyErr_Occurred()) {
        VX_TRACEBACK(site.qualname);
        result = kNaN;
    }
    return true;
}

double RootFunctionBinding_evaluate(RootFunctionBindingObject* self, double x, int skip_dispatch) {
    double result;
    if (dispatched(self, skip_dispatch, sites[0], x, result)) return result;
    PyErr_SetString(PyExc_NotImplementedError, vx::msg::kAbstractEvaluate);
    VX_TRACEBACK(sites[0].qualname);
    return kNaN;
}

double TestEquationBinding_evaluate(RootFunctionBindingObject* self, double x, int skip_dispatch) {
    double result;
    if (dispatched(self, skip_dispatch, sites[1], x, result)) return result;
    return x * x * x - reinterpret_cast<TestEquationBindingObject*>(self)->value;
}

double KeplerEquationBinding_evaluate(RootFunctionBindingObject* self, double x, int skip_dispatch) {
    double result;
    if (dispatched(self, skip_dispatch, sites[2], x, result)) return result;
    auto* k = reinterpret_cast<KeplerEquationBindingObject*>(self);
    const double* p = k->parameters;
    return k->equation(x, p[0], p[1], p[2], p[3], p[4]);
}

// ---- the solver -----------------------------------------------------------------------------------------

struct Call {
    RootFunctionBindingObject* binding;
    bool failed = false;
};

double call_binding(double x, void* context) {
    auto* call = static_cast<Call*>(context);
    if (call->failed) return kNaN;
    double y = call->binding->vtab->evaluate(call->binding, x, 0);
    if (std::isnan(y) && PyErr_Occurred()) call->failed = true;
    return y;
}

std::nullptr_t fail_solve(PyObject* type, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    PyErr_SetString(type, text);
    VX_TRACEBACK(kSolveName);
    return nullptr;
}

struct Number {
    char text[32];
    explicit Number(double d) { std::snprintf(text, sizeof text, "%.17g", d); }
};

// The native entry: widen [x0, x1] until f changes sign, then TOMS 748 to `digits` binary digits.
PyObject* bracket_and_solve_root(RootFunctionBindingObject* binding, double x0, double x1, int max_iterations,
                                 int digits) noexcept {
    if (!VX_NOT_NULL(binding) || !vx::check_instance(obj(binding), &RootFunctionBinding_Type)) {
        VX_TRACEBACK(kSolveName);
        return nullptr;
    }
    if (max_iterations < 1) return fail_solve(PyExc_ValueError, vx::msg::kAtLeastOne, kSolveName, "max_iterations", max_iterations);
    if (digits < 1) return fail_solve(PyExc_ValueError, vx::msg::kAtLeastOne, kSolveName, "digits", digits);
    if (!std::isfinite(x0) || !std::isfinite(x1)) return fail_solve(PyExc_ValueError, vx::msg::kIntervalNotFinite, kSolveName);
    vextal::numerics::RootOptions options;
    options.max_iterations = max_iterations;
    options.rel_tol = vextal::numerics::relative_tolerance_for_bits(digits);
    Call call{binding};
    vextal::numerics::RootResult r = vextal::numerics::bracket_and_solve(call_binding, &call, x0, x1, options);
    if (call.failed) {
        VX_TRACEBACK(kSolveName);
        return nullptr;
    }
    switch (r.status) {
        case vextal::numerics::RootStatus::ok:
            return Py_BuildValue("(dddi)", r.x, r.lower, r.upper, r.evaluations);
        case vextal::numerics::RootStatus::no_bracket:
            return fail_solve(PyExc_ValueError, vx::msg::kNoSignChange, kSolveName, Number(x0).text, Number(x1).text);
        case vextal::numerics::RootStatus::no_convergence:
            return fail_solve(PyExc_RuntimeError, vx::msg::kRootNoConvergence, kSolveName, max_iterations,
                              Number(r.lower).text, Number(r.upper).text);
        default:
            return fail_solve(PyExc_ValueError, vx::msg::kRootNaN, kSolveName);
    }
}

KeplerEquationBindingObject* make_kepler(PyTypeObject* type, KeplerEquation equation, const double p[5]) {
    auto* k = reinterpret_cast<KeplerEquationBindingObject*>(type->tp_alloc(type, 0));
    if (!k) return nullptr;
    k->base.vtab = &kepler_table;
    k->equation = equation;
    std::memcpy(k->parameters, p, sizeof k->parameters);
    return k;
}

KeplerEquationBindingObject* CreateKeplerEquationBinding(KeplerEquation equation, double p1, double p2, double p3,
                                                         double p4, double p5) noexcept {
    if (!equation) {
        PyErr_SetString(PyExc_ValueError, vx::msg::kNullKeplerEquation);
    } else {
        const double p[5] = {p1, p2, p3, p4, p5};
        if (KeplerEquationBindingObject* k = make_kepler(&KeplerEquationBinding_Type, equation, p)) return k;
    }
    VX_TRACEBACK("vextal.astro.root.CreateKeplerEquationBinding");
    return nullptr;
}

// ---- Python-visible methods and functions ---------------------------------------------------------------

PyObject* py_evaluate(PyObject* self, PyObject* arg) {
    double x;
    if (!vx::to_double(arg, x)) return nullptr;
    auto* b = reinterpret_cast<RootFunctionBindingObject*>(self);
    double y = b->vtab->evaluate(b, x, 1);
    if (std::isnan(y) && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(y);
}

PyObject* py_bracket_and_solve_root(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<5> params{"bracket_and_solve_root", {"binding", "x0", "x1", "max_iterations", "digits"}, 3};
    vx::Bound<5> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return nullptr;
    if (!vx::check_arg_type(values[0], &RootFunctionBinding_Type, "binding")) return nullptr;
    double x0, x1;
    int max_iterations = vextal::numerics::RootOptions().max_iterations, digits = 53;
    if (!vx::to_double(values[1], x0) || !vx::to_double(values[2], x1)) return nullptr;
    if (values[3] && !vx::to_int(values[3], max_iterations)) return nullptr;
    if (values[4] && !vx::to_int(values[4], digits)) return nullptr;
    return bracket_and_solve_root(reinterpret_cast<RootFunctionBindingObject*>(values[0]), x0, x1, max_iterations,
                                  digits);
}

PyMethodDef binding_methods[] = {
    vx::method("evaluate", py_evaluate, METH_O,
               "evaluate($self, x, /)\n--\n\nThe function's value at x. RootFunctionBinding's own is abstract: a "
               "subclass defines evaluate(x)."),
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* Binding_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Python subclasses may take constructor arguments of their own; the native base takes none.
    if (type == &RootFunctionBinding_Type && (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs))))
        return vx::fail(PyExc_TypeError, "RootFunctionBinding() takes no arguments");
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<RootFunctionBindingObject*>(self)->vtab = &root_table;
    return self;
}

PyObject* TestEquation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static vx::Params<1> params{"TestEquationBinding", {"value"}, 0};
    vx::Bound<1> values;
    double value = 0.0;
    if (!params.bind(args, kwargs, values) || (values[0] && !vx::to_double(values[0], value))) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* t = reinterpret_cast<TestEquationBindingObject*>(self);
    t->base.vtab = &test_table;
    t->value = value;
    return self;
}

PyObject* KeplerEquation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static vx::Params<6> params{"KeplerEquationBinding", {"form", "p1", "p2", "p3", "p4", "p5"}, 1};
    vx::Bound<6> values;
    if (!params.bind(args, kwargs, values)) return nullptr;
    KeplerEquation equation = nullptr;
    for (const Form& f : kForms) {
        if (PyUnicode_Check(values[0]) && PyUnicode_CompareWithASCIIString(values[0], f.name) == 0) equation = f.equation;
    }
    if (!equation) return vx::fail_format(PyExc_ValueError, vx::msg::kUnknownKeplerForm, values[0]);
    double p[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < 5; ++i) {
        if (values[i + 1] && !vx::to_double(values[i + 1], p[i])) return nullptr;
    }
    return obj(make_kepler(type, equation, p));
}

void Binding_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyObject* get_value(PyObject* self, void*) {
    return PyFloat_FromDouble(reinterpret_cast<TestEquationBindingObject*>(self)->value);
}

PyObject* get_form(PyObject* self, void*) {
    KeplerEquation equation = reinterpret_cast<KeplerEquationBindingObject*>(self)->equation;
    for (const Form& f : kForms) {
        if (f.equation == equation) return PyUnicode_FromString(f.name);
    }
    return PyUnicode_FromString("native");
}

PyObject* get_parameters(PyObject* self, void*) {
    const double* p = reinterpret_cast<KeplerEquationBindingObject*>(self)->parameters;
    return Py_BuildValue("(ddddd)", p[0], p[1], p[2], p[3], p[4]);
}

PyGetSetDef test_getset[] = {
    {"value", get_value, nullptr, "The constant c of f(x) = x**3 - c.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kepler_getset[] = {
    {"form", get_form, nullptr, "'elliptic', 'hyperbolic', 'universal', or 'native' for an equation given natively.",
     nullptr},
    {"parameters", get_parameters, nullptr, "The five parameters, as a tuple of floats.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef module_functions[] = {
    vx::method("bracket_and_solve_root", py_bracket_and_solve_root, METH_FASTCALL | METH_KEYWORDS,
               "bracket_and_solve_root(binding, x0, x1, max_iterations=200, digits=53)\n--\n\n"
               "Solve binding.evaluate(x) = 0. The interval [x0, x1] is widened geometrically until the function\n"
               "changes sign; then TOMS 748 (Alefeld, Potra, Shi) narrows the bracket to `digits` binary digits\n"
               "(53: full double precision) within max_iterations evaluations.\n\n"
               "Returns (root, lower, upper, evaluations): the end of the final bracket [lower, upper] with the\n"
               "smaller |f|, and the number of evaluations. ValueError when no sign change is found or f gives\n"
               "NaN, RuntimeError when the iteration limit is reached; an exception raised by evaluate passes on."),
    {nullptr, nullptr, 0, nullptr},
};

void init_type(PyTypeObject& t, const char* name, const char* doc, PyTypeObject* base, Py_ssize_t size, newfunc new_) {
    t.tp_name = name;
    t.tp_doc = doc;
    t.tp_base = base;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_new = new_;
    t.tp_dealloc = Binding_dealloc;
}

bool setup(PyObject* module) {
    if (!(RootFunctionBinding_Type.tp_flags & Py_TPFLAGS_READY)) {
        root_table.evaluate = RootFunctionBinding_evaluate;
        test_table.evaluate = TestEquationBinding_evaluate;
        kepler_table.evaluate = KeplerEquationBinding_evaluate;
        for (vx::OverrideSite& s : sites) s.wrapper = reinterpret_cast<void*>(py_evaluate);
        init_type(RootFunctionBinding_Type, "vextal.astro.root.RootFunctionBinding",
                  "RootFunctionBinding(*args, **kwargs)\n--\n\nA native function of one double behind a native table. "
                  "Subclass it in Python and define\nevaluate(x) to hand a Python function to bracket_and_solve_root. "
                  "The class itself takes no\narguments; a subclass may take its own.",
                  nullptr, sizeof(RootFunctionBindingObject), Binding_new);
        RootFunctionBinding_Type.tp_methods = binding_methods;
        init_type(TestEquationBinding_Type, "vextal.astro.root.TestEquationBinding",
                  "TestEquationBinding(value=0.0)\n--\n\nf(x) = x**3 - value, whose root is the cube root of value.",
                  &RootFunctionBinding_Type, sizeof(TestEquationBindingObject), TestEquation_new);
        TestEquationBinding_Type.tp_getset = test_getset;
        init_type(KeplerEquationBinding_Type, "vextal.astro.root.KeplerEquationBinding",
                  "KeplerEquationBinding(form, p1=0.0, p2=0.0, p3=0.0, p4=0.0, p5=0.0)\n--\n\n"
                  "A Kepler-type equation in one unknown:\n"
                  "  'elliptic'    E - e sin E - M              (p1, p2) = (e, M)\n"
                  "  'hyperbolic'  e sinh H - H - M             (p1, p2) = (e, M)\n"
                  "  'universal'   r0 U1(s) + sigma0 U2(s) + mu U3(s) - dt, U_k(s) = s**k c_k(beta s**2)\n"
                  "                (p1 .. p5) = (r0, sigma0 = r0 . v0, beta = 2 mu / r0 - v0**2, mu, dt)",
                  &RootFunctionBinding_Type, sizeof(KeplerEquationBindingObject), KeplerEquation_new);
        KeplerEquationBinding_Type.tp_getset = kepler_getset;
    }
    return vx::add_class(module, &RootFunctionBinding_Type, "RootFunctionBinding", &root_table) &&
           vx::add_class(module, &TestEquationBinding_Type, "TestEquationBinding", &test_table) &&
           vx::add_class(module, &KeplerEquationBinding_Type, "KeplerEquationBinding", &kepler_table) &&
           vx::export_function(module, "CreateKeplerEquationBinding",
                               reinterpret_cast<void*>(CreateKeplerEquationBinding),
                               vextal::kCreateKeplerEquationBindingSignature) &&
           vx::export_function(module, "bracket_and_solve_root", reinterpret_cast<void*>(bracket_and_solve_root),
                               vextal::kBracketAndSolveRootSignature);
}

}  // namespace

VX_MODULE(root, "vextal.astro.root", "Root bracketing and solving over native function bindings.", module_functions,
          setup)
