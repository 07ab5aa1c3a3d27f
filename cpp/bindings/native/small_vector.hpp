// The small vector and quaternion classes (Vector2, Vector4, Vector3f, Vector4f, Quaternion, Quaternionf): one
// implementation of the class, its native table and its Python methods, generic over the record layout
// (scalar type, component count and names). A module instantiates Vectors<Layout> or Quaternions<Layout,
// VectorLayout> and runs its exec().
#pragma once
#include "native/interop.hpp"
#include "native/record.hpp"
#include "native/support.hpp"
#include "core/constants.hpp"

#include <string>

namespace vx::small {

// ---- arithmetic on the components, as doubles -----------------------------------------------------------

template <size_t N>
using Values = std::array<double, N>;

template <size_t N>
double dot(const Values<N>& a, const Values<N>& b) {
    double sum = 0.0;
    for (size_t i = 0; i < N; ++i) sum += a[i] * b[i];
    return sum;
}
template <size_t N>
double norm2(const Values<N>& a) { return dot<N>(a, a); }
template <size_t N>
double norm(const Values<N>& a) { return std::sqrt(norm2<N>(a)); }

template <size_t N, class Op>
Values<N> each(const Values<N>& a, const Values<N>& b, Op op) {
    Values<N> r;
    for (size_t i = 0; i < N; ++i) r[i] = op(a[i], b[i]);
    return r;
}
template <size_t N>
Values<N> add(const Values<N>& a, const Values<N>& b) {
    return each<N>(a, b, [](double u, double v) { return u + v; });
}
template <size_t N>
Values<N> subtract(const Values<N>& a, const Values<N>& b) {
    return each<N>(a, b, [](double u, double v) { return u - v; });
}
template <size_t N>
Values<N> scale(const Values<N>& a, double s) { return each<N>(a, a, [s](double u, double) { return u * s; }); }
template <size_t N>
Values<N> divide(const Values<N>& a, double s) { return each<N>(a, a, [s](double u, double) { return u / s; }); }
template <size_t N>
Values<N> negate(const Values<N>& a) { return scale<N>(a, -1.0); }
template <size_t N>
double distance(const Values<N>& a, const Values<N>& b) { return norm<N>(subtract<N>(a, b)); }

// The unit vector; zero stays zero rather than turning into NaN.
template <size_t N>
Values<N> unit(const Values<N>& a) {
    double n = norm<N>(a);
    return n > 0.0 ? divide<N>(a, n) : a;
}

// Quaternions as (w, x, y, z).
using Quat = Values<4>;
using Vec3 = Values<3>;

inline Quat hamilton(const Quat& a, const Quat& b) {
    return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],  //
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],  //
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],  //
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}
inline Quat conjugate(const Quat& q) { return {q[0], -q[1], -q[2], -q[3]}; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
// p rotated by the unit quaternion u: p + 2w (r x p) + r x (2 r x p), with r the vector part of u.
inline Vec3 rotated(const Quat& u, const Vec3& p) {
    Vec3 r{u[1], u[2], u[3]};
    Vec3 t = scale<3>(cross(r, p), 2.0);
    return add<3>(add<3>(p, scale<3>(t, u[0])), cross(r, t));
}

inline bool is_number(PyObject* o) { return is_real_scalar(o); }

// ---- the class: storage, slots, table entries and their Python methods ------------------------------------

template <class Tr>
struct Record {
    using Object = typename Tr::Object;
    using Scalar = typename Tr::Scalar;
    using V = typename Tr::Values;
    static constexpr size_t N = Tr::N;

    static inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    static inline typename Tr::Table table;
    static inline OverrideSite sites[kMaxEntries];
    static inline V defaults{};

    static Object* of(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }
    static PyObject* py(Object* o) noexcept { return reinterpret_cast<PyObject*>(o); }
    static bool is_instance(PyObject* o) noexcept { return PyObject_TypeCheck(o, &type); }

    // A new exact instance.
    static PyObject* make(const V& v) noexcept {
        Object* o = of(type.tp_alloc(&type, 0));
        if (!o) return nullptr;
        o->vtab = &table;
        Tr::store(o, v);
        return py(o);
    }

    // Table entries: the override dispatch (skip_dispatch 0), then the native body on the components.
    template <int E, double (*Op)(const V&)>
    static double d0(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_DOUBLE(sites[E]);
        return Op(Tr::load(self));
    }
    template <int E, double (*Op)(const V&, const V&)>
    static double d1(Object* self, Object* other, int skip_dispatch) noexcept {
        VX_DISPATCH_DOUBLE(sites[E], py(other));
        if (!check_instance(py(other), &type)) return report_failure(sites[E]);
        return Op(Tr::load(self), Tr::load(other));
    }
    template <int E, V (*Op)(const V&)>
    static PyObject* o0(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[E], &type);
        return make(Op(Tr::load(self)));
    }
    template <int E, V (*Op)(const V&, const V&)>
    static PyObject* o1(Object* self, Object* other, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[E], &type, py(other));
        if (!check_instance(py(other), &type)) return nullptr;
        return make(Op(Tr::load(self), Tr::load(other)));
    }
    template <int E, V (*Op)(const V&, double)>
    static PyObject* os(Object* self, double s, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[E], &type, s);
        return make(Op(Tr::load(self), s));
    }

    // The Python methods: each runs its own class's entry with skip_dispatch 1.
    template <double (*Entry)(Object*, int)>
    static PyObject* py_d0(PyObject* self, PyObject*) noexcept {
        return PyFloat_FromDouble(Entry(of(self), 1));
    }
    template <double (*Entry)(Object*, Object*, int)>
    static PyObject* py_d1(PyObject* self, PyObject* other) noexcept {
        if (!check_arg_type(other, &type, "other", false)) return nullptr;
        return PyFloat_FromDouble(Entry(of(self), of(other), 1));
    }
    template <PyObject* (*Entry)(Object*, int)>
    static PyObject* py_o0(PyObject* self, PyObject*) noexcept {
        return Entry(of(self), 1);
    }
    template <PyObject* (*Entry)(Object*, Object*, int)>
    static PyObject* py_o1(PyObject* self, PyObject* other) noexcept {
        if (!check_arg_type(other, &type, "other", false)) return nullptr;
        return Entry(of(self), of(other), 1);
    }
    template <PyObject* (*Entry)(Object*, double, int)>
    static PyObject* py_os(PyObject* self, PyObject* arg) noexcept {
        double s;
        if (!to_double(arg, s)) return nullptr;
        return Entry(of(self), s, 1);
    }

    // The entries every small type has, first in its table, and their methods.
    enum Common { kMagnitudeSquared, kMagnitude, kDot, kAdd, kSubtract, kCommon };
    static constexpr auto magnitude_squared = d0<kMagnitudeSquared, norm2<N>>;
    static constexpr auto magnitude = d0<kMagnitude, norm<N>>;
    static constexpr auto dot = d1<kDot, small::dot<N>>;
    static constexpr auto add = o1<kAdd, small::add<N>>;
    static constexpr auto subtract = o1<kSubtract, small::subtract<N>>;

    static PyMethodDef common_method(Common entry) noexcept {
        static const PyMethodDef rows[kCommon] = {
            method("magnitude_squared", py_d0<magnitude_squared>, METH_NOARGS,
                   "magnitude_squared($self, /)\n--\n\nThe sum of the squared components."),
            method("magnitude", py_d0<magnitude>, METH_NOARGS, "magnitude($self, /)\n--\n\nThe length (norm)."),
            method("dot", py_d1<dot>, METH_O, "dot($self, other, /)\n--\n\nThe scalar product of the components."),
            method("add", py_o1<add>, METH_O, "add($self, other, /)\n--\n\nself + other."),
            method("subtract", py_o1<subtract>, METH_O, "subtract($self, other, /)\n--\n\nself - other."),
        };
        return rows[entry];
    }

    // ---- slots ----

    // Components start at the defaults, also for a subclass whose __init__ does not call ours.
    static PyObject* tp_new(PyTypeObject* t, PyObject*, PyObject*) noexcept {
        PyObject* self = t->tp_alloc(t, 0);
        if (self) {
            of(self)->vtab = &table;
            Tr::store(of(self), defaults);
        }
        return self;
    }

    static inline Params<N> init_params{"__init__", {}, 0};

    // Class(sequence): one positional list, tuple, array or record of N numbers gives the components.
    static bool one_sequence(Py_ssize_t nargs, Py_ssize_t keywords, PyObject* first) noexcept {
        return nargs == 1 && keywords == 0 && is_component_sequence(first);
    }

    static int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
        Bound<N> given;
        V v = defaults;
        if (one_sequence(PyTuple_GET_SIZE(args), kwargs ? PyDict_GET_SIZE(kwargs) : 0,
                         PyTuple_GET_SIZE(args) ? PyTuple_GET_ITEM(args, 0) : nullptr)) {
            if (!unpack_sequence(PyTuple_GET_ITEM(args, 0), v.data(), N, Tr::kClass)) return -1;
            Tr::store(of(self), v);
            return 0;
        }
        if (!init_params.bind(args, kwargs, given)) return -1;
        for (size_t i = 0; i < N; ++i) {
            if (given[i] && !to_double(given[i], v[i])) return -1;
        }
        Tr::store(of(self), v);
        return 0;
    }

    // Calling the class itself builds the instance in one step, without the argument tuple. Subclasses go through
    // tp_new and tp_init: tp_vectorcall is never inherited.
    static PyObject* tp_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
        Bound<N> given;
        V v = defaults;
        if (cls != py_type()) return fail(PyExc_SystemError, msg::kVectorcallInherited);
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (one_sequence(nargs, kwnames ? PyTuple_GET_SIZE(kwnames) : 0, nargs ? args[0] : nullptr))
            return unpack_sequence(args[0], v.data(), N, Tr::kClass) ? make(v) : nullptr;
        if (!init_params.bind(args, nargs, kwnames, given)) return nullptr;
        for (size_t i = 0; i < N; ++i) {
            if (given[i] && !to_double(given[i], v[i])) return nullptr;
        }
        return make(v);
    }

    static PyObject* py_type() noexcept { return reinterpret_cast<PyObject*>(&type); }

    static void tp_dealloc(PyObject* self) noexcept { Py_TYPE(self)->tp_free(self); }

    static PyObject* tp_repr(PyObject* self) noexcept {
        return record_repr(self, N, [self](Py_ssize_t i) { return Tr::at(of(self), i); });
    }

    static PyObject* tp_richcompare(PyObject* a, PyObject* b, int op) noexcept {
        if ((op != Py_EQ && op != Py_NE) || !is_instance(a) || !is_instance(b)) Py_RETURN_NOTIMPLEMENTED;
        bool equal = Tr::load(of(a)) == Tr::load(of(b));
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    }

    static Py_ssize_t sq_length(PyObject*) noexcept { return N; }

    static PyObject* sq_item(PyObject* self, Py_ssize_t i) noexcept {
        if (i < 0 || i >= Py_ssize_t(N)) return fail_format(PyExc_IndexError, msg::kIndexOutOfRange, Tr::kClass);
        return PyFloat_FromDouble(Tr::at(of(self), i));
    }

    static int sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) noexcept {
        if (i < 0 || i >= Py_ssize_t(N)) return fail_format(PyExc_IndexError, msg::kIndexOutOfRange, Tr::kClass), -1;
        if (!value) return fail_format(PyExc_TypeError, msg::kComponentDeleted, Tr::kClass), -1;
        double d;
        if (!to_double(value, d)) return -1;
        Tr::at(of(self), i) = narrow<Scalar>(d);
        return 0;
    }

    // The stored scalars as a writable buffer of shape (N,), in component order.
    static_assert(sizeof(typename Tr::DataType) == N * sizeof(Scalar), "components are contiguous");
    static int bf_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
        return ScalarBuffer<Scalar, N>::fill(self, view, flags, &Tr::at(of(self), 0), false, Tr::kClass);
    }

    static PyObject* get_component(PyObject* self, void* i) noexcept {
        return sq_item(self, reinterpret_cast<Py_ssize_t>(i));
    }
    static int set_component(PyObject* self, PyObject* value, void* i) noexcept {
        return sq_ass_item(self, reinterpret_cast<Py_ssize_t>(i), value);
    }

    static PyObject* reduce(PyObject* self, PyObject*) noexcept {
        V v = Tr::load(of(self));
        PyObject* args = PyTuple_New(N);
        for (size_t i = 0; args && i < N; ++i) {
            PyObject* c = PyFloat_FromDouble(v[i]);
            if (!c) Py_CLEAR(args);
            else PyTuple_SET_ITEM(args, i, c);
        }
        return reduce_record(self, args);
    }

    // Operators shared by vectors and quaternions; + - and abs() go through the table (skip_dispatch 0), so
    // that a subclass's add/subtract/magnitude shape them too.
    static PyObject* nb_add(PyObject* a, PyObject* b) noexcept {
        if (!is_instance(a) || !is_instance(b)) Py_RETURN_NOTIMPLEMENTED;
        return of(a)->vtab->add(of(a), of(b), 0);
    }
    static PyObject* nb_subtract(PyObject* a, PyObject* b) noexcept {
        if (!is_instance(a) || !is_instance(b)) Py_RETURN_NOTIMPLEMENTED;
        return of(a)->vtab->subtract(of(a), of(b), 0);
    }
    static PyObject* nb_true_divide(PyObject* a, PyObject* b) noexcept {
        double s;
        if (!is_instance(a) || !is_number(b)) Py_RETURN_NOTIMPLEMENTED;
        if (!to_double(b, s)) return nullptr;
        if (s == 0.0) return fail(PyExc_ZeroDivisionError, msg::kFloatDivision);
        return make(small::divide<N>(Tr::load(of(a)), s));
    }
    static PyObject* nb_positive(PyObject* a) noexcept { return make(Tr::load(of(a))); }
    static PyObject* nb_absolute(PyObject* a) noexcept {
        return PyFloat_FromDouble(of(a)->vtab->magnitude(of(a), 0));
    }

    // Readies the class with its methods (the first `entries` of them are the table's, in table order) and
    // number slots, publishes the filled table, and adds the class to the module.
    static bool add_to(PyObject* module, PyMethodDef* methods, int entries, PyNumberMethods* number,
                       const char* doc) noexcept {
        static ClassText text;
        static std::string docs[N];
        static PyGetSetDef getset[N + 1] = {};
        static PySequenceMethods sequence = {};
        static PyBufferProcs buffer = {};
        try {
            text.doc = std::string(Tr::kClass) + "(";
            for (size_t i = 0; i < N; ++i) {
                init_params.names[i] = Tr::kNames[i];
                docs[i] = std::string("The ") + Tr::kNames[i] + " component.";
                getset[i] = {Tr::kNames[i], get_component, set_component, docs[i].c_str(), reinterpret_cast<void*>(i)};
                Ref text_value(scalar_repr(narrow<Scalar>(defaults[i])));
                const char* value = text_value ? PyUnicode_AsUTF8(text_value.get()) : nullptr;
                if (!value) return false;
                text.doc += std::string(i ? ", " : "") + Tr::kNames[i] + "=" + value;
            }
            text.doc += std::string(")\n--\n\n") + doc;
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        if (!fill_class(type, text, Tr::kModule, Tr::kClass, sizeof(Object), methods, sites, entries)) return false;
        sequence.sq_length = sq_length;
        sequence.sq_item = sq_item;
        sequence.sq_ass_item = sq_ass_item;
        buffer.bf_getbuffer = bf_getbuffer;
        number->nb_add = nb_add;
        number->nb_subtract = nb_subtract;
        number->nb_true_divide = nb_true_divide;
        number->nb_positive = nb_positive;
        number->nb_absolute = nb_absolute;

        PyTypeObject& t = type;
        t.tp_new = tp_new;
        t.tp_init = tp_init;
        t.tp_vectorcall = tp_vectorcall;
        t.tp_dealloc = tp_dealloc;
        t.tp_repr = tp_repr;
        t.tp_richcompare = tp_richcompare;
        t.tp_hash = PyObject_HashNotImplemented;  // mutable
        t.tp_as_number = number;
        t.tp_as_sequence = &sequence;
        t.tp_as_buffer = &buffer;
        t.tp_iter = PySeqIter_New;  // iter() over the components, visible as __iter__
        t.tp_getset = getset;
        return add_class(module, &type, Tr::kClass, &table, false) && opt_out_of_ufuncs(&type);
    }
};

// ---- the vectors ----------------------------------------------------------------------------------------

template <class Tr>
struct Vectors {
    using R = Record<Tr>;
    using Object = typename Tr::Object;
    static constexpr size_t N = Tr::N;

    enum Entry { kMultiply = R::kCommon, kNegate, kNormalize, kDistance, kEntries };

    static constexpr auto multiply = R::template os<kMultiply, scale<N>>;
    static constexpr auto negate = R::template o0<kNegate, small::negate<N>>;
    static constexpr auto normalize = R::template o0<kNormalize, unit<N>>;
    static constexpr auto distance = R::template d1<kDistance, small::distance<N>>;

    static inline PyMethodDef methods[] = {
        R::common_method(R::kMagnitudeSquared), R::common_method(R::kMagnitude), R::common_method(R::kDot),
        R::common_method(R::kAdd), R::common_method(R::kSubtract),
        method("multiply", R::template py_os<multiply>, METH_O, "multiply($self, s, /)\n--\n\nThe vector scaled by s."),
        method("negate", R::template py_o0<negate>, METH_NOARGS, "negate($self, /)\n--\n\n-self."),
        method("normalize", R::template py_o0<normalize>, METH_NOARGS,
               "normalize($self, /)\n--\n\nThe unit vector; the zero vector gives the zero vector."),
        method("distance", R::template py_d1<distance>, METH_O,
               "distance($self, other, /)\n--\n\nThe length of self - other."),
        method("__reduce__", R::reduce, METH_NOARGS, nullptr),
        {nullptr, nullptr, 0, nullptr},
    };

    // vector * number and number * vector (through the table); anything else is left to the other operand.
    static PyObject* nb_multiply(PyObject* a, PyObject* b) noexcept {
        bool left = R::is_instance(a);
        PyObject* vector = left ? a : b;
        PyObject* number = left ? b : a;
        double s;
        if (!is_number(number)) Py_RETURN_NOTIMPLEMENTED;
        if (!to_double(number, s)) return nullptr;
        return R::of(vector)->vtab->multiply(R::of(vector), s, 0);
    }
    static PyObject* nb_negative(PyObject* a) noexcept { return R::of(a)->vtab->negate(R::of(a), 0); }

    static bool exec(PyObject* module) noexcept {
        static PyNumberMethods number = {};
        number.nb_multiply = nb_multiply;
        number.nb_negative = nb_negative;
        R::table = {{R::magnitude_squared, R::magnitude, R::dot, R::add, R::subtract, multiply, negate, normalize,
                     distance}};
        return R::add_to(module, methods, kEntries, &number, Tr::kDoc);
    }
};

// ---- the quaternions (w, x, y, z); VTr is the layout of the 3-vector class that rotate() works on --------

template <class Tr, class VTr>
struct Quaternions {
    using R = Record<Tr>;
    using Object = typename Tr::Object;
    using VObject = typename VTr::Object;

    static inline Imported<VTr> vector;

    enum Entry { kMultiply = R::kCommon, kConjugate, kInverse, kNormalize, kRotate, kEntries };

    static constexpr auto multiply = R::template o1<kMultiply, hamilton>;
    static constexpr auto conjugate = R::template o0<kConjugate, small::conjugate>;
    static constexpr auto normalize = R::template o0<kNormalize, unit<4>>;

    // conjugate / |q|^2; a zero quaternion has none.
    static PyObject* inverse(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(R::sites[kInverse], &R::type);
        Quat q = Tr::load(self);
        double n2 = norm2<4>(q);
        if (n2 == 0.0) return fail_format(PyExc_ZeroDivisionError, msg::kZeroNoInverse, Tr::kClass);
        return R::make(divide<4>(small::conjugate(q), n2));
    }

    // v rotated by the unit quaternion self / |self|: q v q^-1.
    static PyObject* rotate(Object* self, VObject* v, int skip_dispatch) noexcept {
        PyObject* target = reinterpret_cast<PyObject*>(v);
        VX_DISPATCH_OBJECT(R::sites[kRotate], vector.type, target);
        if (!check_instance(target, vector.type)) return nullptr;
        Quat q = Tr::load(self);
        double n = norm<4>(q);
        if (n == 0.0) return fail_format(PyExc_ZeroDivisionError, msg::kZeroNoRotation, Tr::kClass);
        return vector.make(rotated(divide<4>(q, n), VTr::load(v)));
    }

    static PyObject* py_rotate(PyObject* self, PyObject* v) noexcept {
        if (!check_arg_type(v, vector.type, "v", false)) return nullptr;
        return rotate(R::of(self), reinterpret_cast<VObject*>(v), 1);
    }

    // Quaternion.from_axis_angle(axis, degrees): the rotation about `axis` by `degrees`, right-handed.
    static PyObject* from_axis_angle(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
        static Params<2> params{"from_axis_angle", {"axis", "degrees"}, 2};
        Bound<2> given;
        double degrees;
        if (!params.bind(args, nargs, kwnames, given) || !check_arg_type(given[0], vector.type, "axis", false) ||
            !to_double(given[1], degrees))
            return nullptr;
        Vec3 axis = VTr::load(reinterpret_cast<VObject*>(given[0]));
        double n = norm<3>(axis);
        if (n == 0.0) return fail(PyExc_ValueError, msg::kZeroAxis);
        double half = degrees * (vextal::numerics::pi / 360.0), s = std::sin(half) / n;
        Quat q{std::cos(half), axis[0] * s, axis[1] * s, axis[2] * s};
        if (cls == reinterpret_cast<PyObject*>(&R::type)) return R::make(q);
        return PyObject_CallFunction(cls, "dddd", q[0], q[1], q[2], q[3]);
    }

    static inline PyMethodDef methods[] = {
        R::common_method(R::kMagnitudeSquared), R::common_method(R::kMagnitude), R::common_method(R::kDot),
        R::common_method(R::kAdd), R::common_method(R::kSubtract),
        method("multiply", R::template py_o1<multiply>, METH_O,
               "multiply($self, other, /)\n--\n\nThe Hamilton product self * other (other's rotation first)."),
        method("conjugate", R::template py_o0<conjugate>, METH_NOARGS, "conjugate($self, /)\n--\n\n(w, -x, -y, -z)."),
        method("inverse", R::template py_o0<inverse>, METH_NOARGS,
               "inverse($self, /)\n--\n\nThe inverse; ZeroDivisionError for the zero quaternion."),
        method("normalize", R::template py_o0<normalize>, METH_NOARGS,
               "normalize($self, /)\n--\n\nThe unit quaternion; zero gives zero."),
        method("rotate", py_rotate, METH_O,
               "rotate($self, v, /)\n--\n\nThe 3-vector v rotated by this quaternion, normalised first."),
        method("from_axis_angle", from_axis_angle, METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
               "from_axis_angle($cls, /, axis, degrees)\n--\n\nThe rotation about axis by degrees, right-handed."),
        method("__reduce__", R::reduce, METH_NOARGS, nullptr),
        {nullptr, nullptr, 0, nullptr},
    };

    // q * p is the Hamilton product (through the table); q * number and number * q scale.
    static PyObject* nb_multiply(PyObject* a, PyObject* b) noexcept {
        if (R::is_instance(a) && R::is_instance(b)) return R::of(a)->vtab->multiply(R::of(a), R::of(b), 0);
        bool left = R::is_instance(a);
        PyObject* number = left ? b : a;
        double s;
        if (!is_number(number)) Py_RETURN_NOTIMPLEMENTED;
        if (!to_double(number, s)) return nullptr;
        return R::make(scale<4>(Tr::load(R::of(left ? a : b)), s));
    }
    static PyObject* nb_negative(PyObject* a) noexcept { return R::make(negate<4>(Tr::load(R::of(a)))); }

    static bool exec(PyObject* module) noexcept {
        static PyNumberMethods number = {};
        if (!vector.import()) return false;
        number.nb_multiply = nb_multiply;
        number.nb_negative = nb_negative;
        R::defaults = {1.0, 0.0, 0.0, 0.0};
        R::table = {{R::magnitude_squared, R::magnitude, R::dot, R::add, R::subtract, multiply, conjugate, inverse,
                     normalize, rotate}};
        return R::add_to(module, methods, kEntries, &number, Tr::kDoc);
    }
};

}  // namespace vx::small
