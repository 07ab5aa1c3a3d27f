// vextal.astro.orbitvector: satellite state records (_OrbitVector and its frames ECI, EFG, RIC), the geodetic
// point LLH, their native method tables with Python-override dispatch, the orbital quantities of an ECI state
// and the conversions into and out of a chief's radial / in-track / cross-track frame. The geodesy bodies and
// the module functions live in orbitvector_geodesy.cpp.
#include "astro/orbitvector_internal.hpp"
#include "core/constants.hpp"

#include <vextal/matrix4f.hpp>
#include <vextal/quaternion.hpp>
#include <vextal/quaternionf.hpp>
#include <vextal/vector2.hpp>
#include <vextal/vector3f.hpp>
#include <vextal/vector4.hpp>
#include <vextal/vector4f.hpp>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace vextal::orbitvector {

vx::Vector3Api vector3;
PyTypeObject* matrix4_type = nullptr;
PyTypeObject ECI_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject EFG_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject RIC_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject LLH_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

PyTypeObject OrbitVector_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
ECITable eci_table;
EFGTable efg_table;
RICTable ric_table;
LLHTable llh_table;
vx::ModuleGuard guard{"orbitvector", kOrbitVectorModule, "init vextal.astro.orbitvector"};

// The state constructor's defaults, shared by every state built without vectors; made last at import, so
// their presence also says that the import got through.
PyObject* default_position = nullptr;
PyObject* default_velocity = nullptr;

// ---- names and constants made once --------------------------------------------------------------------

enum Name { kPosition, kVelocity, kTime, kNormalize, kCross, kSubtract, kMultiply, kMagnitude, kTransform, kX, kY, kZ,
            kNames };
constexpr const char* kNameTexts[kNames] = {"position", "velocity", "time",      "normalize", "cross", "subtract",
                                            "multiply", "magnitude", "transform", "x",         "y",     "z"};
PyObject* names[kNames];
PyObject* int_zero = nullptr;   // the matrix's constant entries are the ints 0 and 1
PyObject* int_one = nullptr;
PyObject* float_one = nullptr;  // 1.0 / q and m ** 2.0 of the frame rate
PyObject* float_two = nullptr;

bool make_names() {
    for (int i = 0; i < kNames; ++i) {
        if (!names[i] && !(names[i] = PyUnicode_InternFromString(kNameTexts[i]))) return false;
    }
    return (int_zero || (int_zero = PyLong_FromLong(0))) && (int_one || (int_one = PyLong_FromLong(1))) &&
           (float_one || (float_one = PyFloat_FromDouble(1.0))) && (float_two || (float_two = PyFloat_FromDouble(2.0)));
}

// ---- small helpers --------------------------------------------------------------------------------------

template <class T>
PyObject* obj(T* p) {
    return reinterpret_cast<PyObject*>(p);
}
OrbitVectorObject* state_of(PyObject* o) { return reinterpret_cast<OrbitVectorObject*>(o); }
Vector3Object* vec(PyObject* o) { return reinterpret_cast<Vector3Object*>(o); }

// The Python attribute `name` of `o`, so that a subclass's own property takes effect.
vx::Ref attr(PyObject* o, Name name) { return vx::Ref(PyObject_GetAttr(o, names[name])); }

// o.method(args...) looked up by name; a plain method is called unbound with `o` first (no bound method made).
template <class... A>
vx::Ref call(Name method, PyObject* o, A... args) {
    PyObject* argv[] = {o, args...};
    return vx::Ref(PyObject_VectorcallMethod(names[method], argv, 1 + sizeof...(A), nullptr));
}

// a.<an>.method(b.<bn>), the two attributes read in that order.
vx::Ref call_on_attrs(Name method, PyObject* a, Name an, PyObject* b, Name bn) {
    vx::Ref left = attr(a, an);
    if (!left) return left;
    vx::Ref right = attr(b, bn);
    if (!right) return right;
    return call(method, left.get(), right.get());
}

// A vector method's result must be a Vector3 or None...
bool tested(const vx::Ref& v) { return v && vx::check_result_type(v.get(), vector3.type); }
// ...and a Vector3 where it goes on into a native vector operation.
bool native_vector(PyObject* v) { return vx::check_instance(v, vector3.type); }

// A chief must be an ECI state: None is refused here too, since its native table is needed.
bool is_chief(PyObject* chief) {
    if (chief != Py_None && PyObject_TypeCheck(chief, &ECI_Type)) return true;
    vx::fail_format(PyExc_TypeError, vx::msg::kArgType, "chief", ECI_Type.tp_name, Py_TYPE(chief)->tp_name);
    return false;
}

// Adds the traceback entry of `qualname` at the failing line; the value is the null result.
#define VX_FAILED(qualname) (VX_TRACEBACK(qualname), nullptr)

// ---- override sites, one per table entry ---------------------------------------------------------------

enum Entry { kToRic, kEciToRic, kSma, kMeanMotion, kEnergy, kPeriod, kEfgToEci, kToLlh, kRicToEci, kToEfg, kEntries };

vx::OverrideSite sites[kEntries] = {
    {"vextal.astro.orbitvector.ECI.to_ric"},         {"vextal.astro.orbitvector.ECI.eci_to_ric"},
    {"vextal.astro.orbitvector.ECI.compute_sma"},    {"vextal.astro.orbitvector.ECI.compute_mean_motion"},
    {"vextal.astro.orbitvector.ECI.compute_energy"}, {"vextal.astro.orbitvector.ECI.compute_period"},
    {"vextal.astro.orbitvector.EFG.to_eci"},         {"vextal.astro.orbitvector.EFG.to_llh"},
    {"vextal.astro.orbitvector.RIC.to_eci"},         {"vextal.astro.orbitvector.LLH.to_efg"},
};

// ---- orbital quantities ---------------------------------------------------------------------------------
// The double entries never raise: an error is reported twice (traceback, then unraisable) and gives 0.0.

double reported(Entry e) { return vx::report_failure(sites[e]); }

double compute_energy(ECIObject* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kEnergy]);
    // Held while a vector subclass's Python override may run.
    vx::Ref position = vx::Ref::borrow(self->base.position);
    if (!native_vector(position.get())) return VX_TRACEBACK(sites[kEnergy].qualname), reported(kEnergy);
    double r2 = position.as<Vector3Object>()->vtab->magnitude_squared(position.as<Vector3Object>(), 0);
    if (r2 <= MAGNITUDE_EPSILON) return 0.0;
    vx::Ref velocity = vx::Ref::borrow(self->base.velocity);
    if (!native_vector(velocity.get())) return VX_TRACEBACK(sites[kEnergy].qualname), reported(kEnergy);
    double v2 = velocity.as<Vector3Object>()->vtab->magnitude_squared(velocity.as<Vector3Object>(), 0);
    if (v2 <= MAGNITUDE_EPSILON) return 0.0;
    double r = std::sqrt(r2);
    return v2 * 0.5 - MU_EARTH / r;
}

double compute_sma(ECIObject* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kSma]);
    double energy = self->vtab->compute_energy(self, 0);
    if (energy == 0.0) return 0.0;
    return -MU_EARTH / (2 * energy);
}

double compute_mean_motion(ECIObject* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kMeanMotion]);
    double a = self->vtab->compute_sma(self, 0);
    if (a == 0.0) return 1.0;
    double a3 = std::pow(a, 3.0);
    if (a3 == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, vx::msg::kFloatDivision);
        return VX_TRACEBACK(sites[kMeanMotion].qualname), reported(kMeanMotion);
    }
    return std::sqrt(MU_EARTH / a3);
}

double compute_period(ECIObject* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kPeriod]);
    double a = self->vtab->compute_sma(self, 0);
    if (a == 0.0) return 1440.0;
    return std::sqrt(std::pow(a, 3.0) / MU_EARTH) * vextal::numerics::two_pi;
}

// ---- the radial / in-track / cross-track frame ----------------------------------------------------------

// The rotation from inertial axes into this state's frame: rows R, I, C (then 0 0 0 1).
PyObject* eci_to_ric(ECIObject* self, int skip_dispatch) {
    const char* const q = sites[kEciToRic].qualname;
    VX_DISPATCH_OBJECT(sites[kEciToRic], matrix4_type);
    vx::Ref position = attr(obj(self), kPosition);
    if (!position) return VX_FAILED(q);
    vx::Ref r = call(kNormalize, position.get());
    if (!tested(r)) return VX_FAILED(q);
    vx::Ref h = call_on_attrs(kCross, obj(self), kPosition, obj(self), kVelocity);
    if (!h) return VX_FAILED(q);
    vx::Ref c = call(kNormalize, h.get());
    if (!tested(c) || !native_vector(c.get()) || !native_vector(r.get())) return VX_FAILED(q);
    vx::Ref i(vec(c.get())->vtab->cross(vec(c.get()), vec(r.get()), 0));
    if (!i) return VX_FAILED(q);
    vx::Ref parts[9];
    const vx::Ref* rows[3] = {&r, &i, &c};
    for (int k = 0; k < 9; ++k) {
        if (!(parts[k] = attr(rows[k / 3]->get(), Name(kX + k % 3)))) return VX_FAILED(q);
    }
    PyObject* elements[16] = {parts[0].get(), parts[1].get(), parts[2].get(), int_zero,
                              parts[3].get(), parts[4].get(), parts[5].get(), int_zero,
                              parts[6].get(), parts[7].get(), parts[8].get(), int_zero,
                              int_zero,       int_zero,       int_zero,       int_one};
    PyObject* m = PyObject_Vectorcall(obj(matrix4_type), elements, 16, nullptr);
    return m ? m : VX_FAILED(q);
}

// The frame rate of the chief, omega = (r_c x v_c) / |r_c|^2, by the vectors' Python methods; tested.
vx::Ref frame_rate(PyObject* chief) {
    vx::Ref h = call_on_attrs(kCross, chief, kPosition, chief, kVelocity);
    if (!h) return h;
    vx::Ref position = attr(chief, kPosition);
    if (!position) return position;
    vx::Ref m = call(kMagnitude, position.get());
    if (!m) return m;
    vx::Ref q(PyNumber_Power(m.get(), float_two, Py_None));
    if (!q) return q;
    // A float or int divides as plain IEEE doubles: a zero-length chief position gives an infinite factor.
    double k;
    if (PyFloat_CheckExact(q.get())) {
        k = 1.0 / PyFloat_AS_DOUBLE(q.get());
    } else if (PyLong_CheckExact(q.get())) {
        double d = PyLong_AsDouble(q.get());
        if (d == -1.0 && PyErr_Occurred()) return vx::Ref();
        k = 1.0 / d;
    } else {
        vx::Ref quotient(PyNumber_TrueDivide(float_one, q.get()));
        if (!quotient || !vx::to_double(quotient.get(), k)) return vx::Ref();
    }
    vx::Ref scale(PyFloat_FromDouble(k));
    if (!scale) return scale;
    vx::Ref omega = call(kMultiply, h.get(), scale.get());
    if (!tested(omega)) return vx::Ref();
    return omega;
}

// cls(self.time, position, velocity), the class called as Python would; self's epoch read by name.
PyObject* state_at_epoch_of(PyObject* self, PyTypeObject* cls, PyObject* position, PyObject* velocity) {
    vx::Ref time = attr(self, kTime);
    if (!time) return nullptr;
    PyObject* args[3] = {time.get(), position, velocity};
    return PyObject_Vectorcall(obj(cls), args, 3, nullptr);
}

// This state relative to the chief, in the chief's rotating frame: position M (r - r_c) and velocity
// M ((v - v_c) - omega x (r - r_c)).
PyObject* to_ric(ECIObject* self, ECIObject* chief, int skip_dispatch) {
    const char* const q = sites[kToRic].qualname;
    VX_DISPATCH_OBJECT(sites[kToRic], &RIC_Type, obj(chief));
    if (!is_chief(obj(chief))) return VX_FAILED(q);
    vx::Ref m(chief->vtab->eci_to_ric(chief, 0));
    if (!m) return VX_FAILED(q);
    vx::Ref dr = call_on_attrs(kSubtract, obj(self), kPosition, obj(chief), kPosition);
    if (!tested(dr)) return VX_FAILED(q);
    vx::Ref omega = frame_rate(obj(chief));
    if (!omega) return VX_FAILED(q);
    vx::Ref u = call_on_attrs(kSubtract, obj(self), kVelocity, obj(chief), kVelocity);
    if (!u || !native_vector(omega.get()) || !native_vector(dr.get())) return VX_FAILED(q);
    vx::Ref w(vec(omega.get())->vtab->cross(vec(omega.get()), vec(dr.get()), 0));
    if (!w) return VX_FAILED(q);
    vx::Ref dv = call(kSubtract, u.get(), w.get());
    if (!tested(dv)) return VX_FAILED(q);
    auto* matrix = m.as<Matrix4Object>();
    vx::Ref position(vec(dr.get())->vtab->transform(vec(dr.get()), matrix, 0));
    if (!position || !native_vector(dv.get())) return VX_FAILED(q);
    vx::Ref velocity(vec(dv.get())->vtab->transform(vec(dv.get()), matrix, 0));
    if (!velocity) return VX_FAILED(q);
    PyObject* result = state_at_epoch_of(obj(self), &RIC_Type, position.get(), velocity.get());
    return result ? result : VX_FAILED(q);
}

// The inverse of ECI.to_ric about the same chief: r = M^-1 p + r_c, v = (M^-1 v_ric + v_c) + omega x M^-1 p.
PyObject* ric_to_eci(RICObject* self, ECIObject* chief, int skip_dispatch) {
    const char* const q = sites[kRicToEci].qualname;
    VX_DISPATCH_OBJECT(sites[kRicToEci], &ECI_Type, obj(chief));
    if (!is_chief(obj(chief))) return VX_FAILED(q);
    vx::Ref m(chief->vtab->eci_to_ric(chief, 0));
    if (!m || !vx::check_instance(m.get(), matrix4_type)) return VX_FAILED(q);
    auto* matrix = m.as<Matrix4Object>();
    vx::Ref inverse(matrix->vtab->inverse(matrix, 0));
    if (!inverse) return VX_FAILED(q);
    vx::Ref position = attr(obj(self), kPosition);
    if (!position) return VX_FAILED(q);
    vx::Ref p = call(kTransform, position.get(), inverse.get());
    if (!tested(p)) return VX_FAILED(q);
    vx::Ref velocity = attr(obj(self), kVelocity);
    if (!velocity) return VX_FAILED(q);
    vx::Ref pv = call(kTransform, velocity.get(), inverse.get());
    if (!tested(pv)) return VX_FAILED(q);
    vx::Ref omega = frame_rate(obj(chief));
    if (!omega) return VX_FAILED(q);
    vx::Ref rc = attr(obj(chief), kPosition);
    if (!tested(rc) || !native_vector(p.get()) || !native_vector(rc.get())) return VX_FAILED(q);
    vx::Ref r(vec(p.get())->vtab->add(vec(p.get()), vec(rc.get()), 0));
    if (!r) return VX_FAILED(q);
    vx::Ref vc = attr(obj(chief), kVelocity);
    if (!tested(vc) || !native_vector(pv.get()) || !native_vector(vc.get())) return VX_FAILED(q);
    vx::Ref s(vec(pv.get())->vtab->add(vec(pv.get()), vec(vc.get()), 0));
    if (!s || !native_vector(omega.get())) return VX_FAILED(q);
    vx::Ref t(vec(omega.get())->vtab->cross(vec(omega.get()), vec(p.get()), 0));
    if (!t || !native_vector(s.get())) return VX_FAILED(q);
    vx::Ref v(vec(s.get())->vtab->add(vec(s.get()), vec(t.get()), 0));
    if (!v) return VX_FAILED(q);
    PyObject* result = state_at_epoch_of(obj(self), &ECI_Type, r.get(), v.get());
    return result ? result : VX_FAILED(q);
}

// ---- geodesy entries: the dispatch here, the bodies in orbitvector_geodesy.cpp ------------------------

PyObject* efg_to_eci_entry(EFGObject* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kEfgToEci], &ECI_Type);
    return efg_to_eci(self);
}

PyObject* efg_to_llh_entry(EFGObject* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kToLlh], &LLH_Type);
    return efg_to_llh(self);
}

PyObject* llh_to_efg_entry(LLHObject* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kToEfg], vector3.type);
    return llh_to_efg(self);
}

// ---- Python-visible methods: each runs its own class's entry with skip_dispatch 1 ----------------------

template <Entry E, double (*F)(ECIObject*, int)>
PyObject* py_double(PyObject* self, PyObject*) {
    PyObject* result = PyFloat_FromDouble(F(reinterpret_cast<ECIObject*>(self), 1));
    return result ? result : VX_FAILED(sites[E].qualname);
}

template <class Self, PyObject* (*F)(Self*, int)>
PyObject* py_object0(PyObject* self, PyObject*) {
    return F(reinterpret_cast<Self*>(self), 1);
}

template <class Self, PyObject* (*F)(Self*, ECIObject*, int)>
PyObject* py_chief(PyObject* self, PyObject* chief) {
    return F(reinterpret_cast<Self*>(self), reinterpret_cast<ECIObject*>(chief), 1);
}

// Table order first: the override sites recognise the classes' own methods by these functions.
PyMethodDef OrbitVector_methods[] = {
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef ECI_methods[] = {
    {"to_ric", py_chief<ECIObject, to_ric>, METH_O, nullptr},
    {"eci_to_ric", py_object0<ECIObject, eci_to_ric>, METH_NOARGS, nullptr},
    {"compute_sma", py_double<kSma, compute_sma>, METH_NOARGS, nullptr},
    {"compute_mean_motion", py_double<kMeanMotion, compute_mean_motion>, METH_NOARGS, nullptr},
    {"compute_energy", py_double<kEnergy, compute_energy>, METH_NOARGS, nullptr},
    {"compute_period", py_double<kPeriod, compute_period>, METH_NOARGS, nullptr},
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef EFG_methods[] = {
    {"to_eci", py_object0<EFGObject, efg_to_eci_entry>, METH_NOARGS, nullptr},
    {"to_llh", py_object0<EFGObject, efg_to_llh_entry>, METH_NOARGS, nullptr},
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef RIC_methods[] = {
    {"to_eci", py_chief<RICObject, ric_to_eci>, METH_O, nullptr},
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef LLH_methods[] = {
    {"to_efg", py_object0<LLHObject, llh_to_efg_entry>, METH_NOARGS, nullptr},
    VX_PICKLING_REFUSAL(vx::msg::kStructPickling),
    {nullptr, nullptr, 0, nullptr},
};

void fill_tables() {
    eci_table = ECITable{to_ric, eci_to_ric, compute_sma, compute_mean_motion, compute_energy, compute_period};
    efg_table = EFGTable{efg_to_eci_entry, efg_to_llh_entry};
    ric_table = RICTable{ric_to_eci};
    const PyMethodDef* wrappers[kEntries] = {&ECI_methods[0], &ECI_methods[1], &ECI_methods[2], &ECI_methods[3],
                                             &ECI_methods[4], &ECI_methods[5], &EFG_methods[0], &EFG_methods[1],
                                             &RIC_methods[0], &LLH_methods[0]};
    for (int e = 0; e < kEntries; ++e) sites[e].wrapper = reinterpret_cast<void*>(wrappers[e]->ml_meth);
}

// ---- state records --------------------------------------------------------------------------------------

// __cinit__(time=0, position=default, velocity=default): the arguments reach it also when a Python subclass
// defines __init__. Nothing is stored unless every check passes. A frame's `set_table` puts its table in
// right after allocation: the object is tracked by the collector from then on, so Python code run by the
// time conversion (a __float__) can reach it through gc.get_objects() and call its methods.
PyObject* construct_state(PyTypeObject* type, PyObject* args, PyObject* kwargs, void (*set_table)(PyObject*)) {
    static vx::Params<3> params{"__cinit__", {"time", "position", "velocity"}, 0};
    const char* const q = "vextal.astro.orbitvector._OrbitVector.__cinit__";
    // The classes are reachable (through __subclasses__) even after a failed import.
    if (!default_position) return vx::fail_format(PyExc_ImportError, vx::msg::kNotInitialised, kOrbitVectorModule);
    vx::Ref self(type->tp_alloc(type, 0));
    if (!self) return VX_FAILED(q);
    if (set_table) set_table(self.get());
    OrbitVectorObject* s = state_of(self.get());
    s->position = vx::newref(Py_None);
    s->velocity = vx::newref(Py_None);
    vx::Bound<3> values;
    double time = 0.0;
    if (!params.bind(args, kwargs, values) || (values[0] && !vx::to_double(values[0], time)) ||
        (values[1] && !vx::check_arg_type(values[1], vector3.type, "position")) ||
        (values[2] && !vx::check_arg_type(values[2], vector3.type, "velocity")))
        return VX_FAILED(q);
    s->time = time;
    vx::replace(s->position, vx::newref(values[1] ? values[1] : default_position));
    vx::replace(s->velocity, vx::newref(values[2] ? values[2] : default_velocity));
    return self.release();
}

PyObject* OrbitVector_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_state(type, args, kwargs, nullptr);
}

// A frame class's instance (or a Python subclass's) gets the frame's table.
template <class Object, class Table, Table* T>
void set_table(PyObject* self) {
    reinterpret_cast<Object*>(self)->vtab = T;
}

template <class Object, class Table, Table* T>
PyObject* Frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return construct_state(type, args, kwargs, set_table<Object, Table, T>);
}

int OrbitVector_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(state_of(self)->position);
    Py_VISIT(state_of(self)->velocity);
    return 0;
}

int OrbitVector_clear(PyObject* self) {
    vx::replace(state_of(self)->position, vx::newref(Py_None));
    vx::replace(state_of(self)->velocity, vx::newref(Py_None));
    return 0;
}

// Runs a finalizer still pending on an instance of our own class (a Python subclass's instance had its own
// run by the interpreter already). True when the finalizer resurrected the object.
bool resurrected(PyObject* self, destructor own) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_finalize && type->tp_dealloc == own && PyObject_CallFinalizerFromDealloc(self) < 0;
}

void OrbitVector_dealloc(PyObject* self) {
    if (resurrected(self, OrbitVector_dealloc)) return;
    PyObject_GC_UnTrack(self);
    Py_CLEAR(state_of(self)->position);
    Py_CLEAR(state_of(self)->velocity);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_time(PyObject* self, void*) {
    PyObject* time = PyFloat_FromDouble(state_of(self)->time);
    return time ? time : VX_FAILED("vextal.astro.orbitvector._OrbitVector.time.__get__");
}

// The stored vectors themselves, never copies.
PyObject* get_position(PyObject* self, void*) { return vx::newref(state_of(self)->position); }
PyObject* get_velocity(PyObject* self, void*) { return vx::newref(state_of(self)->velocity); }

PyGetSetDef OrbitVector_getset[] = {
    {"time", get_time, nullptr, "Satellite state epoch time in DS1950 UTC.", nullptr},
    {"position", get_position, nullptr, "Satellite state position in km", nullptr},
    {"velocity", get_velocity, nullptr, "Satellite state velocity in km/s", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- LLH: a Vector3 whose table pointer is LLH's ------------------------------------------------------

PyObject* LLH_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = vector3.type->tp_new(type, args, kwargs);
    if (self) vec(self)->vtab = reinterpret_cast<Vector3Table*>(&llh_table);
    return self;
}

void LLH_dealloc(PyObject* self) {
    if (resurrected(self, LLH_dealloc)) return;
    vector3.type->tp_dealloc(self);
}

constexpr const char kOrbitVectorDoc[] =
    "A base class for different satellite state data.\n"
    "    \n"
    "    Constructor Parameters: (:cy:type:`double` time = 0,\n"
    "                             :cy:type:`Vector3` position = Vector3(),\n"
    "                             :cy:type:`Vector3` velocity = Vector3())\n"
    "    \n"
    "    * *time* :cy:type:`double`\n"
    "     \n"
    "      * The time in DS1950 UTC to associate with the state vectors. Optional  \n"
    "      \n"
    "    * *position* :cy:type:`Vector3`\n"
    "     \n"
    "      * The position in km of the satellite within a coordinate frame. Optional\n"
    "      \n"
    "    * *velocity* :cy:type:`Vector3`\n"
    "     \n"
    "      * The velocity in km of the satellite within a coordinate frame. Optional       \n"
    "    ";

void init_state_type(PyTypeObject& t, const char* name, const char* doc, PyTypeObject* base, newfunc new_,
                     PyMethodDef* methods, Py_ssize_t size) {
    if (t.tp_flags & Py_TPFLAGS_READY) return;
    t.tp_name = name;
    t.tp_doc = doc;
    t.tp_base = base;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_new = new_;
    t.tp_dealloc = OrbitVector_dealloc;
    t.tp_traverse = OrbitVector_traverse;
    t.tp_clear = OrbitVector_clear;
    t.tp_free = PyObject_GC_Del;
    t.tp_methods = methods;
}

void init_state_types() {
    init_state_type(OrbitVector_Type, "vextal.astro.orbitvector._OrbitVector", kOrbitVectorDoc, nullptr,
                    OrbitVector_new, OrbitVector_methods, sizeof(OrbitVectorObject));
    OrbitVector_Type.tp_getset = OrbitVector_getset;
    init_state_type(ECI_Type, "vextal.astro.orbitvector.ECI", "A satellite state in the ECI coordinate frame of J2K\n    ",
                    &OrbitVector_Type, Frame_new<ECIObject, ECITable, &eci_table>, ECI_methods, sizeof(ECIObject));
    init_state_type(EFG_Type, "vextal.astro.orbitvector.EFG", "A satellite state in the EFG coordinate frame\n    ",
                    &OrbitVector_Type, Frame_new<EFGObject, EFGTable, &efg_table>, EFG_methods, sizeof(EFGObject));
    init_state_type(RIC_Type, "vextal.astro.orbitvector.RIC", nullptr, &OrbitVector_Type,
                    Frame_new<RICObject, RICTable, &ric_table>, RIC_methods, sizeof(RICObject));
}

// LLH on the imported Vector3: its table is Vector3's as published now, then to_efg.
void init_llh_type() {
    if (LLH_Type.tp_flags & Py_TPFLAGS_READY) return;
    llh_table.base = *vector3.table;
    llh_table.to_efg = llh_to_efg_entry;
    PyTypeObject& t = LLH_Type;
    t.tp_name = "vextal.astro.orbitvector.LLH";
    t.tp_base = vector3.type;
    // Never smaller than the base: a larger Vector3 than the header's (only warned about) keeps its fields.
    t.tp_basicsize = std::max<Py_ssize_t>(sizeof(LLHObject), vector3.type->tp_basicsize);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_new = LLH_new;
    t.tp_dealloc = LLH_dealloc;
    t.tp_methods = LLH_methods;
}

// ---- module ---------------------------------------------------------------------------------------------

// The sibling classes imported after LLH, in import order; held for the life of the process.
struct Sibling {
    const char* module;
    const char* cls;
    Py_ssize_t size;
    PyTypeObject* type;
    void* table;
};

Sibling siblings[] = {
    {kVector2Module, kVector2Class, sizeof(Vector2Object), nullptr, nullptr},
    {kQuaternionfModule, kQuaternionfClass, sizeof(QuaternionfObject), nullptr, nullptr},
    {kMatrix4fModule, kMatrix4fClass, sizeof(Matrix4fObject), nullptr, nullptr},
    {kVector3fModule, kVector3fClass, sizeof(Vector3fObject), nullptr, nullptr},
    {kVector4fModule, kVector4fClass, sizeof(Vector4fObject), nullptr, nullptr},
    {kVector4Module, kVector4Class, sizeof(Vector4Object), nullptr, nullptr},
    {kQuaternionModule, kQuaternionClass, sizeof(QuaternionObject), nullptr, nullptr},
    {kMatrix4Module, kMatrix4Class, sizeof(Matrix4Object), nullptr, nullptr},
};

bool import_sibling(Sibling& s) {
    vx::Ref module(PyImport_ImportModule(s.module));
    if (!module) return false;
    PyTypeObject* type = vx::import_class(module.get(), s.module, s.cls, s.size, &s.table);
    if (!type) return false;
    Py_XDECREF(s.type);  // a repeated import after a failed one
    s.type = type;
    return true;
}

// Vector3 is imported and checked with LLH. Once LLH stands on a Vector3 class, that binding stays (a repeated
// import after a failed one checks the class again but keeps it).
bool import_vector3() {
    vx::Ref module(PyImport_ImportModule(kVector3Module));
    vx::Vector3Api imported;
    if (!module || !imported.import(module.get())) return false;
    if (LLH_Type.tp_flags & Py_TPFLAGS_READY) {
        Py_DECREF(imported.type);
    } else {
        Py_XDECREF(vector3.type);
        vector3 = imported;
    }
    return true;
}

bool make_default(PyObject*& slot) {
    PyObject* v = PyObject_CallNoArgs(obj(vector3.type));
    if (v) vx::replace(slot, v);
    return v != nullptr;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) { return vx::module_create(spec, guard); }

int module_exec(PyObject* module) {
    int begun = vx::module_exec_begin(module, guard, VX_SOURCE_FILE);
    if (begun != 0) return begun < 0 ? -1 : 0;
    if (!make_names()) return VX_EXEC_FAIL(guard);
    fill_tables();
    init_state_types();
    if (!vx::add_class(module, &OrbitVector_Type, "_OrbitVector")) return VX_EXEC_FAIL(guard);
    if (!vx::add_class(module, &ECI_Type, "ECI", &eci_table)) return VX_EXEC_FAIL(guard);
    if (!vx::add_class(module, &EFG_Type, "EFG", &efg_table)) return VX_EXEC_FAIL(guard);
    if (!vx::add_class(module, &RIC_Type, "RIC", &ric_table)) return VX_EXEC_FAIL(guard);
    if (!import_vector3()) return VX_EXEC_FAIL(guard);
    init_llh_type();
    if (!vx::add_class(module, &LLH_Type, "LLH", &llh_table)) return VX_EXEC_FAIL(guard);
    for (Sibling& s : siblings) {
        if (!import_sibling(s)) return VX_EXEC_FAIL(guard);
    }
    matrix4_type = siblings[std::size(siblings) - 1].type;
    if (!make_default(default_position) || !make_default(default_velocity)) return VX_EXEC_FAIL(guard);
    vx::Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(guard.module_dict, "__test__", test.get()) < 0) return VX_EXEC_FAIL(guard);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "orbitvector", nullptr, 0, geodesy_functions, slots,
                          nullptr,               nullptr,       nullptr};

}  // namespace
}  // namespace vextal::orbitvector

PyMODINIT_FUNC PyInit_orbitvector() { return PyModuleDef_Init(&vextal::orbitvector::module_def); }
