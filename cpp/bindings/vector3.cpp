// vextal.vector3: the mutable 3-vector of doubles that states, burns and frames share by reference.
#include "native/interop.hpp"
#include "native/record.hpp"
#include "native/support.hpp"
#include "core/constants.hpp"
#include "core/vec3.hpp"

#include <vextal/matrix4.hpp>
#include <vextal/vector3.hpp>

#include <cmath>

using vextal::Matrix4Object;
using vextal::Vector3Object;
using vextal::Vector3Table;
using vextal::numerics::Vec3;

namespace {

PyTypeObject Vector3_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
Vector3Table table;
vx::ModuleGuard guard{"vector3", "vextal.vector3", "init vextal.vector3"};
PyTypeObject* matrix4_type = nullptr;  // imported on first use: vextal.matrix4 imports this module

Vec3 vec(const Vector3Object* v) { return {v->_vector.x, v->_vector.y, v->_vector.z}; }
Vector3Object* self_of(PyObject* o) { return reinterpret_cast<Vector3Object*>(o); }

PyObject* make(Vec3 v) {
    auto* out = reinterpret_cast<Vector3Object*>(Vector3_Type.tp_alloc(&Vector3_Type, 0));
    if (!out) return nullptr;
    out->vtab = &table;
    out->_vector = {v.x, v.y, v.z};
    return reinterpret_cast<PyObject*>(out);
}

// Native callers may pass None or anything else; only a Vector3 goes on into the arithmetic.
bool is_vector(PyObject* o) { return vx::check_instance(o, &Vector3_Type); }

bool is_matrix(PyObject* o) {
    if (!matrix4_type) {
        vx::Ref module(PyImport_ImportModule(vextal::kMatrix4Module));
        if (!module) return false;
        matrix4_type = vx::import_class(module.get(), vextal::kMatrix4Module, vextal::kMatrix4Class,
                                        sizeof(Matrix4Object));
        if (!matrix4_type) return false;
    }
    return vx::check_instance(o, matrix4_type);
}

// ---- override sites: one per table entry, in table order ------------------------------------------------

enum Entry {
    kMagnitudeSquared, kMagnitude, kDot, kCross, kAdd, kSubtract, kMultiply, kDivide, kNegate, kNormalize,
    kDistance, kAngle, kTransform, kTransformDirection, kScale, kLerp, kProject, kReject, kRotate, kMinimum,
    kMaximum, kIsClose, kCopy, kSet, kToTuple, kEntries
};

vx::OverrideSite sites[kEntries] = {
    {"vextal.vector3.Vector3.magnitude_squared"},
    {"vextal.vector3.Vector3.magnitude"},
    {"vextal.vector3.Vector3.dot"},
    {"vextal.vector3.Vector3.cross"},
    {"vextal.vector3.Vector3.add"},
    {"vextal.vector3.Vector3.subtract"},
    {"vextal.vector3.Vector3.multiply"},
    {"vextal.vector3.Vector3.divide"},
    {"vextal.vector3.Vector3.negate"},
    {"vextal.vector3.Vector3.normalize"},
    {"vextal.vector3.Vector3.distance"},
    {"vextal.vector3.Vector3.angle"},
    {"vextal.vector3.Vector3.transform"},
    {"vextal.vector3.Vector3.transform_direction"},
    {"vextal.vector3.Vector3.scale"},
    {"vextal.vector3.Vector3.lerp"},
    {"vextal.vector3.Vector3.project"},
    {"vextal.vector3.Vector3.reject"},
    {"vextal.vector3.Vector3.rotate"},
    {"vextal.vector3.Vector3.minimum"},
    {"vextal.vector3.Vector3.maximum"},
    {"vextal.vector3.Vector3.is_close"},
    {"vextal.vector3.Vector3.copy"},
    {"vextal.vector3.Vector3.set"},
    {"vextal.vector3.Vector3.to_tuple"},
};

// ---- the plain arithmetic behind the entries ------------------------------------------------------------

Vec3 op_cross(Vec3 a, Vec3 b) { return vextal::numerics::cross(a, b); }
Vec3 op_add(Vec3 a, Vec3 b) { return a + b; }
Vec3 op_subtract(Vec3 a, Vec3 b) { return a - b; }
Vec3 op_scale(Vec3 a, Vec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
Vec3 op_minimum(Vec3 a, Vec3 b) { return {std::fmin(a.x, b.x), std::fmin(a.y, b.y), std::fmin(a.z, b.z)}; }
Vec3 op_maximum(Vec3 a, Vec3 b) { return {std::fmax(a.x, b.x), std::fmax(a.y, b.y), std::fmax(a.z, b.z)}; }
Vec3 op_project(Vec3 a, Vec3 onto) {
    double n2 = vextal::numerics::norm2(onto);
    return n2 > 0.0 ? onto * (vextal::numerics::dot(a, onto) / n2) : Vec3{0.0, 0.0, 0.0};
}
Vec3 op_reject(Vec3 a, Vec3 from) { return a - op_project(a, from); }

double op_dot(Vec3 a, Vec3 b) { return vextal::numerics::dot(a, b); }
double op_distance(Vec3 a, Vec3 b) { return vextal::numerics::norm(a - b); }
// Angle in degrees, from atan2 so that it stays accurate near 0 and 180 degrees.
double op_angle(Vec3 a, Vec3 b) {
    return std::atan2(vextal::numerics::norm(vextal::numerics::cross(a, b)), vextal::numerics::dot(a, b)) *
           (180.0 / vextal::numerics::pi);
}

Vec3 apply(const Matrix4Object* m, Vec3 v, double w) {
    const double* r = m->_m;
    return {r[0] * v.x + r[1] * v.y + r[2] * v.z + r[3] * w, r[4] * v.x + r[5] * v.y + r[6] * v.z + r[7] * w,
            r[8] * v.x + r[9] * v.y + r[10] * v.z + r[11] * w};
}

// ---- table entries --------------------------------------------------------------------------------------
// Each starts with the override dispatch (skip_dispatch 0), then runs its native body.

template <Entry E, double (*Op)(Vec3)>
double unary_double(Vector3Object* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[E]);
    return Op(vec(self));
}

template <Entry E, double (*Op)(Vec3, Vec3)>
double binary_double(Vector3Object* self, Vector3Object* other, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[E], reinterpret_cast<PyObject*>(other));
    if (!is_vector(reinterpret_cast<PyObject*>(other))) return vx::report_failure(sites[E]);
    return Op(vec(self), vec(other));
}

template <Entry E, Vec3 (*Op)(Vec3, Vec3)>
PyObject* binary_vector(Vector3Object* self, Vector3Object* other, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[E], &Vector3_Type, reinterpret_cast<PyObject*>(other));
    if (!is_vector(reinterpret_cast<PyObject*>(other))) return nullptr;
    return make(Op(vec(self), vec(other)));
}

double magnitude_squared_of(Vec3 v) { return vextal::numerics::norm2(v); }
double magnitude_of(Vec3 v) { return vextal::numerics::norm(v); }

PyObject* multiply(Vector3Object* self, double scalar, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kMultiply], &Vector3_Type, scalar);
    return make(vec(self) * scalar);
}

PyObject* divide(Vector3Object* self, double scalar, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kDivide], &Vector3_Type, scalar);
    if (scalar == 0.0) return vx::fail(PyExc_ZeroDivisionError, vx::msg::kFloatDivision);
    Vec3 v = vec(self);
    return make({v.x / scalar, v.y / scalar, v.z / scalar});
}

PyObject* negate(Vector3Object* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kNegate], &Vector3_Type);
    return make(vec(self) * -1.0);
}

// The zero vector normalises to itself.
PyObject* normalize(Vector3Object* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kNormalize], &Vector3_Type);
    return make(vextal::numerics::unit(vec(self)));
}

template <Entry E, bool Point>
PyObject* transform_by(Vector3Object* self, Matrix4Object* m, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[E], &Vector3_Type, reinterpret_cast<PyObject*>(m));
    if (!is_matrix(reinterpret_cast<PyObject*>(m))) return nullptr;
    return make(apply(m, vec(self), Point ? 1.0 : 0.0));
}

PyObject* lerp(Vector3Object* self, Vector3Object* other, double t, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kLerp], &Vector3_Type, reinterpret_cast<PyObject*>(other), t);
    if (!is_vector(reinterpret_cast<PyObject*>(other))) return nullptr;
    Vec3 a = vec(self);
    return make(a + (vec(other) - a) * t);
}

// Rodrigues' rotation of self about `axis` by `degrees`, right-handed.
PyObject* rotate(Vector3Object* self, Vector3Object* axis, double degrees, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kRotate], &Vector3_Type, reinterpret_cast<PyObject*>(axis), degrees);
    if (!is_vector(reinterpret_cast<PyObject*>(axis))) return nullptr;
    Vec3 k = vec(axis);
    if (vextal::numerics::norm2(k) == 0.0) return vx::fail(PyExc_ValueError, vx::msg::kZeroAxis);
    k = vextal::numerics::unit(k);
    double angle = degrees * (vextal::numerics::pi / 180.0), c = std::cos(angle), s = std::sin(angle);
    Vec3 v = vec(self);
    return make(v * c + vextal::numerics::cross(k, v) * s + k * (vextal::numerics::dot(k, v) * (1.0 - c)));
}

// Close when the distance between the two is at most `tolerance`.
int is_close(Vector3Object* self, Vector3Object* other, double tolerance, int skip_dispatch) {
    if (!skip_dispatch) {
        vx::Ref override;
        if (vx::find_override(reinterpret_cast<PyObject*>(self), sites[kIsClose], override)) {
            if (!override) return -1;
            vx::Ref value = vx::call_override(override, reinterpret_cast<PyObject*>(other), tolerance);
            return value ? vx::to_bool(value.get()) : -1;
        }
    }
    if (!is_vector(reinterpret_cast<PyObject*>(other))) return -1;
    return op_distance(vec(self), vec(other)) <= tolerance;
}

PyObject* copy(Vector3Object* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kCopy], &Vector3_Type);
    return make(vec(self));
}

// Sets the three components in place; returns None.
PyObject* set(Vector3Object* self, double x, double y, double z, int skip_dispatch) {
    if (!skip_dispatch) {
        vx::Ref override;
        if (vx::find_override(reinterpret_cast<PyObject*>(self), sites[kSet], override))
            return override ? vx::call_override(override, x, y, z).release() : nullptr;
    }
    self->_vector = {x, y, z};
    Py_RETURN_NONE;
}

PyObject* to_tuple(Vector3Object* self, int skip_dispatch) {
    if (!skip_dispatch) {
        vx::Ref override;
        if (vx::find_override(reinterpret_cast<PyObject*>(self), sites[kToTuple], override))
            return override ? vx::call_override(override).release() : nullptr;
    }
    return Py_BuildValue("(ddd)", self->_vector.x, self->_vector.y, self->_vector.z);
}

// ---- Python-visible methods: each runs its own entry with skip_dispatch 1 ------------------------------

bool vector_arg(PyObject* o, const char* name) { return vx::check_arg_type(o, &Vector3_Type, name, false); }

template <double (*F)(Vector3Object*, int)>
PyObject* py_double0(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(F(self_of(self), 1));
}

template <double (*F)(Vector3Object*, Vector3Object*, int)>
PyObject* py_double1(PyObject* self, PyObject* other) {
    if (!vector_arg(other, "other")) return nullptr;
    return PyFloat_FromDouble(F(self_of(self), self_of(other), 1));
}

template <PyObject* (*F)(Vector3Object*, int)>
PyObject* py_object0(PyObject* self, PyObject*) {
    return F(self_of(self), 1);
}

template <PyObject* (*F)(Vector3Object*, Vector3Object*, int)>
PyObject* py_vector1(PyObject* self, PyObject* other) {
    if (!vector_arg(other, "other")) return nullptr;
    return F(self_of(self), self_of(other), 1);
}

template <PyObject* (*F)(Vector3Object*, double, int)>
PyObject* py_scalar1(PyObject* self, PyObject* arg) {
    double s;
    if (!vx::to_double(arg, s)) return nullptr;
    return F(self_of(self), s, 1);
}

template <PyObject* (*F)(Vector3Object*, Matrix4Object*, int)>
PyObject* py_matrix1(PyObject* self, PyObject* m) {
    // Only a wrong argument gets the argument message; a failed import of Matrix4 keeps its own error.
    if (!is_matrix(m) && matrix4_type && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        return vx::fail_format(PyExc_TypeError, vx::msg::kArgType, "m", matrix4_type->tp_name, Py_TYPE(m)->tp_name);
    }
    if (PyErr_Occurred()) return nullptr;
    return F(self_of(self), reinterpret_cast<Matrix4Object*>(m), 1);
}

// (vector, number) methods: lerp(other, t), rotate(axis, degrees), is_close(other, tolerance=1e-12).
bool vector_and_scalar(vx::Params<2>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject*& v, double& s, double fallback) {
    vx::Bound<2> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return false;
    if (!vector_arg(values[0], params.names[0])) return false;
    v = values[0];
    s = fallback;
    return !values[1] || vx::to_double(values[1], s);
}

PyObject* py_lerp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"lerp", {"other", "t"}, 2};
    PyObject* other;
    double t;
    if (!vector_and_scalar(params, args, nargs, kwnames, other, t, 0.0)) return nullptr;
    return lerp(self_of(self), self_of(other), t, 1);
}

PyObject* py_rotate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"rotate", {"axis", "degrees"}, 2};
    PyObject* axis;
    double degrees;
    if (!vector_and_scalar(params, args, nargs, kwnames, axis, degrees, 0.0)) return nullptr;
    return rotate(self_of(self), self_of(axis), degrees, 1);
}

PyObject* py_is_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"is_close", {"other", "tolerance"}, 1};
    PyObject* other;
    double tolerance;
    if (!vector_and_scalar(params, args, nargs, kwnames, other, tolerance, 1e-12)) return nullptr;
    int close = is_close(self_of(self), self_of(other), tolerance, 1);
    return close < 0 ? nullptr : PyBool_FromLong(close);
}

PyObject* py_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<3> params{"set", {"x", "y", "z"}, 3};
    vx::Bound<3> values;
    double xyz[3];
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return nullptr;
    for (int i = 0; i < 3; ++i) {
        if (!vx::to_double(values[i], xyz[i])) return nullptr;
    }
    return set(self_of(self), xyz[0], xyz[1], xyz[2], 1);
}

PyObject* py_reduce(PyObject* self, PyObject*) {
    const auto& v = self_of(self)->_vector;
    return vx::reduce_record(self, Py_BuildValue("(ddd)", v.x, v.y, v.z));
}

// The table, with each entry's method; order of `methods` follows the table.
constexpr auto kMagnitudeSquaredEntry = unary_double<kMagnitudeSquared, magnitude_squared_of>;
constexpr auto kMagnitudeEntry = unary_double<kMagnitude, magnitude_of>;
constexpr auto kDotEntry = binary_double<kDot, op_dot>;
constexpr auto kCrossEntry = binary_vector<kCross, op_cross>;
constexpr auto kAddEntry = binary_vector<kAdd, op_add>;
constexpr auto kSubtractEntry = binary_vector<kSubtract, op_subtract>;
constexpr auto kDistanceEntry = binary_double<kDistance, op_distance>;
constexpr auto kAngleEntry = binary_double<kAngle, op_angle>;
constexpr auto kTransformEntry = transform_by<kTransform, true>;
constexpr auto kTransformDirectionEntry = transform_by<kTransformDirection, false>;
constexpr auto kScaleEntry = binary_vector<kScale, op_scale>;
constexpr auto kProjectEntry = binary_vector<kProject, op_project>;
constexpr auto kRejectEntry = binary_vector<kReject, op_reject>;
constexpr auto kMinimumEntry = binary_vector<kMinimum, op_minimum>;
constexpr auto kMaximumEntry = binary_vector<kMaximum, op_maximum>;

#define VX_METH(name, fn, flags, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc}

PyMethodDef methods[] = {
    VX_METH("magnitude_squared", (py_double0<kMagnitudeSquaredEntry>), METH_NOARGS,
            "magnitude_squared($self, /)\n--\n\nx*x + y*y + z*z."),
    VX_METH("magnitude", (py_double0<kMagnitudeEntry>), METH_NOARGS, "magnitude($self, /)\n--\n\nThe length."),
    VX_METH("dot", (py_double1<kDotEntry>), METH_O, "dot($self, other, /)\n--\n\nThe scalar product."),
    VX_METH("cross", (py_vector1<kCrossEntry>), METH_O, "cross($self, other, /)\n--\n\nself x other."),
    VX_METH("add", (py_vector1<kAddEntry>), METH_O, "add($self, other, /)\n--\n\nself + other."),
    VX_METH("subtract", (py_vector1<kSubtractEntry>), METH_O, "subtract($self, other, /)\n--\n\nself - other."),
    VX_METH("multiply", (py_scalar1<multiply>), METH_O, "multiply($self, s, /)\n--\n\nThe vector scaled by s."),
    VX_METH("divide", (py_scalar1<divide>), METH_O,
            "divide($self, s, /)\n--\n\nThe vector divided by s; ZeroDivisionError for 0."),
    VX_METH("negate", (py_object0<negate>), METH_NOARGS, "negate($self, /)\n--\n\n-self."),
    VX_METH("normalize", (py_object0<normalize>), METH_NOARGS,
            "normalize($self, /)\n--\n\nThe unit vector; the zero vector gives the zero vector."),
    VX_METH("distance", (py_double1<kDistanceEntry>), METH_O,
            "distance($self, other, /)\n--\n\nThe length of self - other."),
    VX_METH("angle", (py_double1<kAngleEntry>), METH_O,
            "angle($self, other, /)\n--\n\nThe angle between the two vectors, degrees in [0, 180]."),
    VX_METH("transform", (py_matrix1<kTransformEntry>), METH_O,
            "transform($self, m, /)\n--\n\nThe point transformed by the Matrix4 m (rows 1 to 3, w = 1)."),
    VX_METH("transform_direction", (py_matrix1<kTransformDirectionEntry>), METH_O,
            "transform_direction($self, m, /)\n--\n\nThe direction transformed by the upper-left 3x3 of m."),
    VX_METH("scale", (py_vector1<kScaleEntry>), METH_O, "scale($self, other, /)\n--\n\nComponent-wise product."),
    VX_METH("lerp", py_lerp, METH_FASTCALL | METH_KEYWORDS,
            "lerp($self, /, other, t)\n--\n\nself + (other - self) * t."),
    VX_METH("project", (py_vector1<kProjectEntry>), METH_O,
            "project($self, other, /)\n--\n\nThe component along other (zero when other is zero)."),
    VX_METH("reject", (py_vector1<kRejectEntry>), METH_O,
            "reject($self, other, /)\n--\n\nThe component perpendicular to other."),
    VX_METH("rotate", py_rotate, METH_FASTCALL | METH_KEYWORDS,
            "rotate($self, /, axis, degrees)\n--\n\nRotated right-handedly about axis by degrees."),
    VX_METH("minimum", (py_vector1<kMinimumEntry>), METH_O, "minimum($self, other, /)\n--\n\nComponent-wise minimum."),
    VX_METH("maximum", (py_vector1<kMaximumEntry>), METH_O, "maximum($self, other, /)\n--\n\nComponent-wise maximum."),
    VX_METH("is_close", py_is_close, METH_FASTCALL | METH_KEYWORDS,
            "is_close($self, /, other, tolerance=1e-12)\n--\n\nTrue when the distance is at most tolerance."),
    VX_METH("copy", (py_object0<copy>), METH_NOARGS, "copy($self, /)\n--\n\nA new vector with the same components."),
    VX_METH("set", py_set, METH_FASTCALL | METH_KEYWORDS,
            "set($self, /, x, y, z)\n--\n\nSets the three components in place."),
    VX_METH("to_tuple", (py_object0<to_tuple>), METH_NOARGS, "to_tuple($self, /)\n--\n\n(x, y, z)."),
    VX_METH("__reduce__", py_reduce, METH_NOARGS, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

void fill_table() {
    table = Vector3Table{kMagnitudeSquaredEntry, kMagnitudeEntry, kDotEntry, kCrossEntry, kAddEntry,
                         kSubtractEntry, multiply, divide, negate, normalize, kDistanceEntry, kAngleEntry,
                         kTransformEntry, kTransformDirectionEntry, kScaleEntry, lerp, kProjectEntry, kRejectEntry,
                         rotate, kMinimumEntry, kMaximumEntry, is_close, copy, set, to_tuple};
    for (int i = 0; i < kEntries; ++i) sites[i].wrapper = reinterpret_cast<void*>(methods[i].ml_meth);
}

// ---- slots ----------------------------------------------------------------------------------------------

PyObject* Vector3_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) self_of(self)->vtab = &table;
    return self;
}

// Binds __init__(x=0.0, y=0.0, z=0.0) from either calling convention of Params::bind.
template <class... Call>
bool bind_components(Vec3& out, Call... call) {
    static vx::Params<3> params{"__init__", {"x", "y", "z"}, 0};
    vx::Bound<3> values;
    double xyz[3] = {0.0, 0.0, 0.0};
    if (!params.bind(call..., values)) return false;
    for (int i = 0; i < 3; ++i) {
        if (values[i] && !vx::to_double(values[i], xyz[i])) return false;
    }
    out = {xyz[0], xyz[1], xyz[2]};
    return true;
}

// Vector3(sequence): one positional list, tuple, array or vector of three numbers gives the components.
bool sequence_components(Vec3& out, PyObject* sequence) {
    double xyz[3];
    if (!vx::unpack_sequence(sequence, xyz, 3, "Vector3")) return false;
    out = {xyz[0], xyz[1], xyz[2]};
    return true;
}

int Vector3_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Vec3 v{};  // set on success; initialised for the compiler's flow analysis
    if (PyTuple_GET_SIZE(args) == 1 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0) &&
        vx::is_component_sequence(PyTuple_GET_ITEM(args, 0))) {
        if (!sequence_components(v, PyTuple_GET_ITEM(args, 0))) return -1;
    } else if (!bind_components(v, args, kwargs)) {
        return -1;
    }
    self_of(self)->_vector = {v.x, v.y, v.z};
    return 0;
}

// Calling the class itself builds the vector in one step, without the argument tuple. Subclasses go through
// tp_new and tp_init: tp_vectorcall is never inherited.
PyObject* Vector3_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Vec3 v{};
    if (cls != reinterpret_cast<PyObject*>(&Vector3_Type))
        return vx::fail(PyExc_SystemError, vx::msg::kVectorcallInherited);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == 1 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) && vx::is_component_sequence(args[0])) {
        if (!sequence_components(v, args[0])) return nullptr;
    } else if (!bind_components(v, args, nargs, kwnames)) {
        return nullptr;
    }
    return make(v);
}

void Vector3_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

PyObject* Vector3_repr(PyObject* self) {
    const auto& v = self_of(self)->_vector;
    vx::Ref x(PyFloat_FromDouble(v.x)), y(PyFloat_FromDouble(v.y)), z(PyFloat_FromDouble(v.z));
    if (!x || !y || !z) return nullptr;
    const char* name = Py_TYPE(self)->tp_name;
    const char* dot = strrchr(name, '.');
    return PyUnicode_FromFormat("%s(%R, %R, %R)", dot ? dot + 1 : name, x.get(), y.get(), z.get());
}

PyObject* Vector3_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(a, &Vector3_Type) || !PyObject_TypeCheck(b, &Vector3_Type))
        Py_RETURN_NOTIMPLEMENTED;
    Vec3 u = vec(self_of(a)), v = vec(self_of(b));
    bool equal = u.x == v.x && u.y == v.y && u.z == v.z;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Operators go through the table (skip_dispatch 0) so that a subclass's add/subtract/... shape them too.
PyObject* nb_add(PyObject* a, PyObject* b) {
    if (!PyObject_TypeCheck(a, &Vector3_Type) || !PyObject_TypeCheck(b, &Vector3_Type)) Py_RETURN_NOTIMPLEMENTED;
    return self_of(a)->vtab->add(self_of(a), self_of(b), 0);
}

PyObject* nb_subtract(PyObject* a, PyObject* b) {
    if (!PyObject_TypeCheck(a, &Vector3_Type) || !PyObject_TypeCheck(b, &Vector3_Type)) Py_RETURN_NOTIMPLEMENTED;
    return self_of(a)->vtab->subtract(self_of(a), self_of(b), 0);
}

// vector * number and number * vector; anything else is left to the other operand.
PyObject* nb_multiply(PyObject* a, PyObject* b) {
    bool left = PyObject_TypeCheck(a, &Vector3_Type);
    PyObject* vector = left ? a : b;
    PyObject* number = left ? b : a;
    if (!vx::is_real_scalar(number)) Py_RETURN_NOTIMPLEMENTED;
    double s;
    if (!vx::to_double(number, s)) return nullptr;
    return self_of(vector)->vtab->multiply(self_of(vector), s, 0);
}

PyObject* nb_true_divide(PyObject* a, PyObject* b) {
    if (!PyObject_TypeCheck(a, &Vector3_Type) || !vx::is_real_scalar(b)) Py_RETURN_NOTIMPLEMENTED;
    double s;
    if (!vx::to_double(b, s)) return nullptr;
    return self_of(a)->vtab->divide(self_of(a), s, 0);
}

PyObject* nb_negative(PyObject* a) { return self_of(a)->vtab->negate(self_of(a), 0); }
PyObject* nb_positive(PyObject* a) { return make(vec(self_of(a))); }
PyObject* nb_absolute(PyObject* a) { return PyFloat_FromDouble(self_of(a)->vtab->magnitude(self_of(a), 0)); }

Py_ssize_t sq_length(PyObject*) { return 3; }

PyObject* sq_item(PyObject* self, Py_ssize_t i) {
    if (i < 0 || i > 2) return vx::fail_format(PyExc_IndexError, vx::msg::kIndexOutOfRange, vextal::kVector3Class);
    const auto& v = self_of(self)->_vector;
    return PyFloat_FromDouble(i == 0 ? v.x : i == 1 ? v.y : v.z);
}

int sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    if (i < 0 || i > 2) return vx::fail_format(PyExc_IndexError, vx::msg::kIndexOutOfRange, vextal::kVector3Class), -1;
    if (!value) return vx::fail_format(PyExc_TypeError, vx::msg::kComponentDeleted, vextal::kVector3Class), -1;
    double d;
    if (!vx::to_double(value, d)) return -1;
    auto& v = self_of(self)->_vector;
    (i == 0 ? v.x : i == 1 ? v.y : v.z) = d;
    return 0;
}

PyObject* get_component(PyObject* self, void* index) {
    return sq_item(self, reinterpret_cast<Py_ssize_t>(index));
}

int set_component(PyObject* self, PyObject* value, void* index) {
    return sq_ass_item(self, reinterpret_cast<Py_ssize_t>(index), value);
}

PyGetSetDef getset[] = {
    {"x", get_component, set_component, "The x component.", reinterpret_cast<void*>(0)},
    {"y", get_component, set_component, "The y component.", reinterpret_cast<void*>(1)},
    {"z", get_component, set_component, "The z component.", reinterpret_cast<void*>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The three doubles as a writable buffer of shape (3,): np.asarray(v) views them, np.array(v) copies them.
int bf_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return vx::ScalarBuffer<double, 3>::fill(self, view, flags, &self_of(self)->_vector.x, false, "Vector3");
}

PyNumberMethods number_methods = {};
PySequenceMethods sequence_methods = {};
PyBufferProcs buffer_methods = {};

bool ready_type() {
    number_methods.nb_add = nb_add;
    number_methods.nb_subtract = nb_subtract;
    number_methods.nb_multiply = nb_multiply;
    number_methods.nb_true_divide = nb_true_divide;
    number_methods.nb_negative = nb_negative;
    number_methods.nb_positive = nb_positive;
    number_methods.nb_absolute = nb_absolute;
    sequence_methods.sq_length = sq_length;
    sequence_methods.sq_item = sq_item;
    sequence_methods.sq_ass_item = sq_ass_item;
    buffer_methods.bf_getbuffer = bf_getbuffer;

    PyTypeObject& t = Vector3_Type;
    t.tp_name = "vextal.vector3.Vector3";
    t.tp_basicsize = sizeof(Vector3Object);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "Vector3(x=0.0, y=0.0, z=0.0)\n--\n\nA mutable 3-vector of doubles.";
    t.tp_new = Vector3_new;
    t.tp_init = Vector3_init;
    t.tp_vectorcall = Vector3_vectorcall;
    t.tp_dealloc = Vector3_dealloc;
    t.tp_repr = Vector3_repr;
    t.tp_richcompare = Vector3_richcompare;
    t.tp_hash = PyObject_HashNotImplemented;
    t.tp_as_number = &number_methods;
    t.tp_as_sequence = &sequence_methods;
    t.tp_as_buffer = &buffer_methods;
    t.tp_iter = PySeqIter_New;  // iter() over the components, visible as __iter__
    t.tp_methods = methods;
    t.tp_getset = getset;
    return true;
}

// ---- module ---------------------------------------------------------------------------------------------

PyObject* module_create(PyObject* spec, PyModuleDef*) { return vx::module_create(spec, guard); }

int module_exec(PyObject* module) {
    int begun = vx::module_exec_begin(module, guard, VX_SOURCE_FILE);
    if (begun != 0) return begun < 0 ? -1 : 0;
    fill_table();
    ready_type();
    if (!vx::add_class(module, &Vector3_Type, "Vector3", &table, false) || !vx::opt_out_of_ufuncs(&Vector3_Type))
        return VX_EXEC_FAIL(guard);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vector3", "The 3-vector of doubles.", 0, nullptr, slots};

}  // namespace

PyMODINIT_FUNC PyInit_vector3() { return PyModuleDef_Init(&module_def); }
