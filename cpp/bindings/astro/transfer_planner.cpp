// vextal.astro.transfer_planner: two-impulse transfers between ECI states through the multi-revolution
// Lambert solver. SatBurn and LambertMultiRevResult hold the plan; plan_lambert makes it, from Python and
// natively through the module's __pyx_capi__.
#include "native/support.hpp"
#include "native/vector3_api.hpp"
#include "core/constants.hpp"

#include <vextal/astro/kepler.hpp>
#include <vextal/astro/multirev_arcs.hpp>
#include <vextal/astro/orbitvector.hpp>
#include <vextal/astro/root.hpp>
#include <vextal/astro/transfer_planner.hpp>
#include <vextal/matrix4.hpp>
#include <vextal/matrix4f.hpp>
#include <vextal/quaternion.hpp>
#include <vextal/quaternionf.hpp>
#include <vextal/vector2.hpp>
#include <vextal/vector3f.hpp>
#include <vextal/vector4.hpp>
#include <vextal/vector4f.hpp>

#include <cstring>

using vextal::ECIObject;
using vextal::LambertMultiRevResultObject;
using vextal::PlanLambertOptArgs;
using vextal::SatBurnObject;
using vextal::Vector3Object;

namespace {

constexpr double MU_EARTH = vextal::numerics::mu_earth;
// A target at most this far (in units of `time`) before the arrival epoch is used as it is.
constexpr double kPropagationThreshold = 1e-7;

PyTypeObject SatBurn_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject LambertMultiRevResult_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
vx::ModuleGuard guard{"transfer_planner", "vextal.astro.transfer_planner", "init vextal.astro.transfer_planner"};

// ---- what module execution imports and makes ------------------------------------------------------------

struct ClassImport {
    const char* module;
    const char* name;
    Py_ssize_t size;
    bool table;
    PyTypeObject* type = nullptr;
    void* vtab = nullptr;
};

enum ImportedClass { kVector3 = 8, kECI = 10, kLambertProblem = 14, kImportedClasses = 18 };

// Every class this module was built against, imported in this order with its instance size checked.
#define TP_CLASS(module, name, object) {vextal::module, vextal::name, sizeof(vextal::object), true}
ClassImport classes[kImportedClasses] = {
    TP_CLASS(kVector2Module, kVector2Class, Vector2Object),
    TP_CLASS(kQuaternionfModule, kQuaternionfClass, QuaternionfObject),
    TP_CLASS(kMatrix4fModule, kMatrix4fClass, Matrix4fObject),
    TP_CLASS(kVector3fModule, kVector3fClass, Vector3fObject),
    TP_CLASS(kVector4fModule, kVector4fClass, Vector4fObject),
    TP_CLASS(kVector4Module, kVector4Class, Vector4Object),
    TP_CLASS(kQuaternionModule, kQuaternionClass, QuaternionObject),
    TP_CLASS(kMatrix4Module, kMatrix4Class, Matrix4Object),
    TP_CLASS(kVector3Module, kVector3Class, Vector3Object),
    {vextal::kOrbitVectorModule, "_OrbitVector", sizeof(vextal::OrbitVectorObject), false},
    {vextal::kOrbitVectorModule, "ECI", sizeof(ECIObject), true},
    {vextal::kOrbitVectorModule, "EFG", sizeof(vextal::EFGObject), true},
    {vextal::kOrbitVectorModule, "RIC", sizeof(vextal::RICObject), true},
    {vextal::kOrbitVectorModule, "LLH", sizeof(vextal::LLHObject), true},
    TP_CLASS(kMultirevArcsModule, kLambertProblemClass, LambertProblemObject),
    {vextal::kRootModule, "RootFunctionBinding", sizeof(vextal::RootFunctionBindingObject), true},
    {vextal::kRootModule, "TestEquationBinding", sizeof(vextal::TestEquationBindingObject), true},
    {vextal::kRootModule, "KeplerEquationBinding", sizeof(vextal::KeplerEquationBindingObject), true},
};
#undef TP_CLASS

struct FunctionImport {
    const char* module;
    const char* name;
    const char* signature;  // the capsule must carry exactly this name
    void* fn = nullptr;
};

enum ImportedFunction { kPropagateLagrangianU = 3, kImportedFunctions = 4 };

FunctionImport functions[kImportedFunctions] = {
    {vextal::kRootModule, "CreateKeplerEquationBinding", vextal::kCreateKeplerEquationBindingSignature},
    {vextal::kRootModule, "bracket_and_solve_root", vextal::kBracketAndSolveRootSignature},
    {vextal::kKeplerModule, "propagate_lagrangian", vextal::kPropagateLagrangianSignature},
    {vextal::kKeplerModule, "propagate_lagrangian_u", vextal::kPropagateLagrangianUSignature},
};

vx::Vector3Api vector3;
PyObject* default_delta_v = nullptr;  // shared by every SatBurn made without a delta_v; set last at import
PyObject* mu_earth = nullptr;          // MU_EARTH as a Python float, for the solver

// Attribute names, interned once at module execution.
struct Names {
    PyObject* time = nullptr;
    PyObject* position = nullptr;
    PyObject* velocity = nullptr;
} names;

bool intern_names() {
    const char* texts[] = {"time", "position", "velocity"};
    PyObject** slots[] = {&names.time, &names.position, &names.velocity};
    for (int i = 0; i < 3; ++i) {
        if (!*slots[i] && !(*slots[i] = PyUnicode_InternFromString(texts[i]))) return false;
    }
    return true;
}

// Classes and functions held by a module whose execution failed: reachable only through objects taken
// from it half-made. Refuse to work rather than read null imports.
bool initialised() {
    if (default_delta_v) return true;
    PyErr_Format(PyExc_ImportError, vx::msg::kNotInitialised, guard.full_name);
    return false;
}

// ---- the records' shared slots ---------------------------------------------------------------------------
// Each record holds one object field (`Field` of `Object`), visited by the collector and replaced by None
// when it clears the object.

template <class Object, PyObject* Object::*Field>
struct Record {
    static PyObject*& field(PyObject* self) { return reinterpret_cast<Object*>(self)->*Field; }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(field(self));
        return 0;
    }

    static int clear(PyObject* self) {
        vx::replace(field(self), vx::newref(Py_None));
        return 0;
    }

    // A Python subclass's finalizer has run already (subtype_dealloc calls it before this); for the class
    // itself it runs here when one exists, as for any collected type.
    static void dealloc(PyObject* self) {
        if (Py_TYPE(self)->tp_finalize && Py_TYPE(self)->tp_dealloc == dealloc && !PyObject_GC_IsFinalized(self) &&
            PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
        PyObject_GC_UnTrack(self);
        Py_CLEAR(field(self));
        Py_TYPE(self)->tp_free(self);
    }

    static void ready(PyTypeObject& t, const char* name, newfunc new_, PyGetSetDef* getset, PyMethodDef* methods) {
        if (t.tp_flags & Py_TPFLAGS_READY) return;
        t.tp_name = name;
        t.tp_basicsize = sizeof(Object);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        t.tp_new = new_;
        t.tp_dealloc = dealloc;
        t.tp_traverse = traverse;
        t.tp_clear = clear;
        t.tp_getset = getset;
        t.tp_methods = methods;
    }
};

using SatBurnRecord = Record<SatBurnObject, &SatBurnObject::delta_v>;
using ResultRecord = Record<LambertMultiRevResultObject, &LambertMultiRevResultObject::burns>;

// ---- SatBurn --------------------------------------------------------------------------------------------

SatBurnObject* burn_of(PyObject* o) { return reinterpret_cast<SatBurnObject*>(o); }

// Allocates a SatBurn of class `type` and runs __cinit__ on the bound arguments (null where omitted).
PyObject* make_burn(PyTypeObject* type, PyObject* time, PyObject* delta_v) {
    vx::Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    burn_of(self.get())->delta_v = vx::newref(Py_None);
    double t = 0.0;
    if (!initialised() || (time && !vx::to_double(time, t)) ||
        (delta_v && !vx::check_arg_type(delta_v, vector3.type, "delta_v"))) {
        VX_TRACEBACK("vextal.astro.transfer_planner.SatBurn.__cinit__");
        return nullptr;
    }
    burn_of(self.get())->time = t;
    vx::replace(burn_of(self.get())->delta_v, vx::newref(delta_v ? delta_v : default_delta_v));
    return self.release();
}

PyObject* SatBurn_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static vx::Params<2> params{"__cinit__", {"time", "delta_v"}, 0};
    vx::Bound<2> values;
    if (!params.bind(args, kwargs, values)) {
        VX_TRACEBACK("vextal.astro.transfer_planner.SatBurn.__cinit__");
        return nullptr;
    }
    return make_burn(type, values[0], values[1]);
}

PyObject* SatBurn_get_time(PyObject* self, void*) {
    PyObject* value = PyFloat_FromDouble(burn_of(self)->time);
    if (!value) VX_TRACEBACK("vextal.astro.transfer_planner.SatBurn.time.__get__");
    return value;
}

PyObject* SatBurn_get_delta_v(PyObject* self, void*) { return vx::newref(burn_of(self)->delta_v); }

PyGetSetDef SatBurn_getset[] = {
    {"time", SatBurn_get_time, nullptr, nullptr, nullptr},
    {"delta_v", SatBurn_get_delta_v, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- LambertMultiRevResult ------------------------------------------------------------------------------

LambertMultiRevResultObject* result_of(PyObject* o) { return reinterpret_cast<LambertMultiRevResultObject*>(o); }

// A result of class `type` holding `burns` (a new reference, taken over), or null with the error set.
PyObject* make_result(PyTypeObject* type, PyObject* burns) {
    vx::Ref list(burns);
    if (!list) {
        VX_TRACEBACK("vextal.astro.transfer_planner.LambertMultiRevResult.__cinit__");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) result_of(self)->burns = list.release();
    return self;
}

// Whatever arguments the constructor is given are ignored.
PyObject* LambertMultiRevResult_new(PyTypeObject* type, PyObject*, PyObject*) {
    return make_result(type, PyList_New(0));
}

PyObject* LambertMultiRevResult_get_burns(PyObject* self, void*) { return vx::newref(result_of(self)->burns); }

PyGetSetDef LambertMultiRevResult_getset[] = {
    {"burns", LambertMultiRevResult_get_burns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- plan_lambert ---------------------------------------------------------------------------------------

// The failing statement's line, for the one traceback entry the entry point adds.
#define TP_CHECK(cond)          \
    do {                        \
        if (!(cond)) {          \
            line = __LINE__;    \
            return nullptr;     \
        }                       \
    } while (0)

// A vector read from a state or from the solver: None or a Vector3.
bool vector_or_none(PyObject* obj) { return vx::check_result_type(obj, vector3.type); }

// a - b through the left operand's native table (entry 6); a Python override of `subtract` is honoured.
PyObject* difference(PyObject* a, PyObject* b) {
    if (!vx::check_instance(a, vector3.type) || !vx::check_instance(b, vector3.type)) return nullptr;
    auto* left = reinterpret_cast<Vector3Object*>(a);
    return left->vtab->subtract(left, reinterpret_cast<Vector3Object*>(b), 0);
}

// seq[i] by the generic indexing protocol, with the direct path for exact lists and tuples.
PyObject* item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) && i < PyList_GET_SIZE(seq)) return vx::newref(PyList_GET_ITEM(seq, i));
    if (PyTuple_CheckExact(seq) && i < PyTuple_GET_SIZE(seq)) return vx::newref(PyTuple_GET_ITEM(seq, i));
    vx::Ref index(PyLong_FromSsize_t(i));
    return index ? PyObject_GetItem(seq, index.get()) : nullptr;
}

// The epoch `time + seconds` and the gap `epoch - target_time`, as the interpreter's float arithmetic gives
// them. Exact floats are added in C: float + float is that sum, so the result is the same without objects.
bool arrival_epoch(PyObject* time, vx::Ref& seconds, double deltat_sec, double& epoch) {
    if (PyFloat_CheckExact(time)) {
        epoch = PyFloat_AS_DOUBLE(time) + deltat_sec;
        return true;
    }
    seconds = vx::Ref(PyFloat_FromDouble(deltat_sec));
    if (!seconds) return false;
    vx::Ref sum(PyNumber_Add(time, seconds.get()));
    return sum && vx::to_double(sum.get(), epoch);
}

bool epoch_gap(double epoch, PyObject* target_time, double& gap) {
    if (PyFloat_CheckExact(target_time)) {
        gap = epoch - PyFloat_AS_DOUBLE(target_time);
        return true;
    }
    vx::Ref left(PyFloat_FromDouble(epoch));
    if (!left) return false;
    vx::Ref difference(PyNumber_Subtract(left.get(), target_time));
    return difference && vx::to_double(difference.get(), gap);
}

// One (departure, arrival) pair for arc i of the solver, appended to the list `burns`.
bool add_arc(PyObject* burns, PyObject* solver, Py_ssize_t i, PyObject* initial, PyObject* target, PyObject* v0,
             PyObject* vt) {
    auto* record = reinterpret_cast<vextal::LambertProblemObject*>(solver);
    vx::Ref v1(item_at(record->departure_velocities, i));
    if (!v1 || !vector_or_none(v1.get())) return false;
    vx::Ref v2(item_at(record->arrival_velocities, i));
    if (!v2 || !vector_or_none(v2.get())) return false;
    vx::Ref dv1(difference(v1.get(), v0));
    if (!dv1) return false;
    vx::Ref dv2(difference(vt, v2.get()));
    if (!dv2) return false;
    vx::Ref t1(PyObject_GetAttr(initial, names.time));
    vx::Ref departure(t1 ? make_burn(&SatBurn_Type, t1.get(), dv1.get()) : nullptr);
    if (!departure) return false;
    vx::Ref t2(PyObject_GetAttr(target, names.time));
    vx::Ref arrival(t2 ? make_burn(&SatBurn_Type, t2.get(), dv2.get()) : nullptr);
    if (!arrival) return false;
    vx::Ref pair(PyTuple_Pack(2, departure.get(), arrival.get()));
    if (!pair) return false;
    return PyList_Append(burns, pair.get()) == 0;
}

PyObject* plan(ECIObject* state_initial, ECIObject* state_target, double deltat_sec, PlanLambertOptArgs* options,
               int& line) {
    TP_CHECK(initialised());
    TP_CHECK(VX_NOT_NULL(state_initial, state_target));
    int is_prograde = 1, max_revs = 10;
    if (options && options->count > 0) {
        is_prograde = options->is_prograde;
        if (options->count > 1) max_revs = options->max_revs;
    }
    PyObject* initial = reinterpret_cast<PyObject*>(state_initial);
    vx::Ref target = vx::Ref::borrow(reinterpret_cast<PyObject*>(state_target));

    vx::Ref seconds;  // deltat_sec as a Python float, made once when needed
    double epoch, gap;
    {
        vx::Ref t0(PyObject_GetAttr(initial, names.time));
        TP_CHECK(t0);
        TP_CHECK(arrival_epoch(t0.get(), seconds, deltat_sec, epoch));
        vx::Ref t1(PyObject_GetAttr(target.get(), names.time));
        TP_CHECK(t1);
        TP_CHECK(epoch_gap(epoch, t1.get(), gap));
    }
    if (gap > kPropagationThreshold) {
        auto propagate = reinterpret_cast<vextal::PropagateLagrangianUFunction>(functions[kPropagateLagrangianU].fn);
        target = vx::Ref(reinterpret_cast<PyObject*>(propagate(target.as<ECIObject>(), gap, 0)));
        TP_CHECK(target);
    }

    vx::Ref r1(PyObject_GetAttr(initial, names.position));
    TP_CHECK(r1 && vector_or_none(r1.get()));
    vx::Ref r2(PyObject_GetAttr(target.get(), names.position));
    TP_CHECK(r2 && vector_or_none(r2.get()));
    vx::Ref v0(PyObject_GetAttr(initial, names.velocity));
    TP_CHECK(v0 && vector_or_none(v0.get()));
    vx::Ref vt(PyObject_GetAttr(target.get(), names.velocity));
    TP_CHECK(vt && vector_or_none(vt.get()));

    if (!seconds) seconds = vx::Ref(PyFloat_FromDouble(deltat_sec));
    TP_CHECK(seconds);
    vx::Ref revs(PyLong_FromLong(max_revs));
    TP_CHECK(revs);
    PyObject* solver_args[] = {r1.get(), r2.get(), seconds.get(), mu_earth, is_prograde ? Py_True : Py_False, revs.get()};
    PyTypeObject* lambert = classes[kLambertProblem].type;
    vx::Ref solver(PyObject_Vectorcall(reinterpret_cast<PyObject*>(lambert), solver_args, 6, nullptr));
    TP_CHECK(solver);
    // The record is read natively below: only an instance of the class has that layout.
    TP_CHECK(vx::check_instance(solver.get(), lambert));

    // The burns are collected first and the result made last, so that Python code run on the way (overrides,
    // attribute reads) never meets a half-filled result through gc.get_objects().
    vx::Ref burns(PyList_New(0));
    TP_CHECK(burns);
    Py_ssize_t n = PyObject_Size(solver.as<vextal::LambertProblemObject>()->departure_velocities);
    TP_CHECK(n >= 0);
    for (Py_ssize_t i = 0; i < n; ++i)
        TP_CHECK(add_arc(burns.get(), solver.get(), i, initial, target.get(), v0.get(), vt.get()));
    PyObject* result = make_result(&LambertMultiRevResult_Type, burns.release());
    TP_CHECK(result);
    return result;
}

#undef TP_CHECK

// The native entry published in __pyx_capi__. skip_dispatch is ignored: there is no override to look for.
PyObject* plan_lambert(ECIObject* state_initial, ECIObject* state_target, double deltat_sec, int /*skip_dispatch*/,
                       PlanLambertOptArgs* options) noexcept {
    int line = __LINE__;
    PyObject* result = plan(state_initial, state_target, deltat_sec, options, line);
    if (!result) vx::add_traceback("vextal.astro.transfer_planner.plan_lambert", line, VX_SOURCE_FILE);
    return result;
}

constexpr vextal::PlanLambertFunction kPlanLambertEntry = plan_lambert;  // the published type

// Keywords arrive as a dict: with a vectorcall the interpreter itself would refuse a non-string keyword,
// with its own message and without this function's traceback entry.
PyObject* py_plan_lambert(PyObject*, PyObject* args, PyObject* kwargs) {
    static vx::Params<5> params{
        "plan_lambert", {"state_initial", "state_target", "deltat_sec", "is_prograde", "max_revs"}, 3};
    vx::Bound<5> values;
    PlanLambertOptArgs options{2, 1, 10};
    double deltat_sec;
    bool ok = params.bind(args, kwargs, values) && vx::to_double(values[2], deltat_sec);
    if (ok && values[3]) ok = (options.is_prograde = vx::to_bool(values[3])) >= 0;
    if (ok && values[4]) ok = vx::to_int(values[4], options.max_revs);
    if (!ok || !initialised() ||
        !vx::check_arg_type(values[0], classes[kECI].type, "state_initial") ||
        !vx::check_arg_type(values[1], classes[kECI].type, "state_target")) {
        VX_TRACEBACK("vextal.astro.transfer_planner.plan_lambert");
        return nullptr;
    }
    return plan_lambert(reinterpret_cast<ECIObject*>(values[0]), reinterpret_cast<ECIObject*>(values[1]), deltat_sec,
                        0, &options);
}

// ---- module ---------------------------------------------------------------------------------------------

PyMethodDef record_methods[] = {
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

void ready_types() {
    SatBurnRecord::ready(SatBurn_Type, "vextal.astro.transfer_planner.SatBurn", SatBurn_new, SatBurn_getset,
                         record_methods);
    ResultRecord::ready(LambertMultiRevResult_Type, "vextal.astro.transfer_planner.LambertMultiRevResult",
                        LambertMultiRevResult_new, LambertMultiRevResult_getset, record_methods);
}

// The sibling classes, in table order, each module imported once for its run of rows.
bool import_classes() {
    vx::Ref module;
    for (int i = 0; i < kImportedClasses; ++i) {
        ClassImport& row = classes[i];
        if (i == 0 || strcmp(row.module, classes[i - 1].module) != 0) {
            module = vx::Ref(PyImport_ImportModule(row.module));
            if (!module) return false;
        }
        PyTypeObject* type = vx::import_class(module.get(), row.module, row.name, row.size,
                                              row.table ? &row.vtab : nullptr);
        if (!type) return false;
        Py_XDECREF(row.type);  // held from an earlier, failed execution
        row.type = type;
    }
    vector3.type = classes[kVector3].type;
    vector3.table = static_cast<vextal::Vector3Table*>(classes[kVector3].vtab);
    return true;
}

bool import_functions() {
    for (FunctionImport& row : functions) {
        vx::Ref module(PyImport_ImportModule(row.module));
        if (!module || !(row.fn = vx::import_function(module.get(), row.module, row.name, row.signature)))
            return false;
    }
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) { return vx::module_create(spec, guard); }

int module_exec(PyObject* module) {
    int begun = vx::module_exec_begin(module, guard, VX_SOURCE_FILE);
    if (begun != 0) return begun < 0 ? -1 : 0;
    if (!intern_names()) return VX_EXEC_FAIL(guard);
    if (!vx::export_function(module, "plan_lambert", reinterpret_cast<void*>(kPlanLambertEntry),
                             vextal::kPlanLambertSignature))
        return VX_EXEC_FAIL(guard);
    ready_types();
    if (!vx::add_class(module, &SatBurn_Type, "SatBurn") ||
        !vx::add_class(module, &LambertMultiRevResult_Type, "LambertMultiRevResult"))
        return VX_EXEC_FAIL(guard);
    if (!import_classes()) return VX_EXEC_FAIL(guard);
    if (!import_functions()) return VX_EXEC_FAIL(guard);
    if (!mu_earth && !(mu_earth = PyFloat_FromDouble(MU_EARTH))) return VX_EXEC_FAIL(guard);
    PyObject* fresh = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(vector3.type));
    if (!fresh) return VX_EXEC_FAIL(guard);
    vx::replace(default_delta_v, fresh);
    vx::Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(guard.module_dict, "__test__", test.get()) < 0) return VX_EXEC_FAIL(guard);
    return 0;
}

PyMethodDef module_functions[] = {
    {"plan_lambert", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_plan_lambert)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "transfer_planner", nullptr, 0, module_functions, slots};

}  // namespace

PyMODINIT_FUNC PyInit_transfer_planner() { return PyModuleDef_Init(&module_def); }
