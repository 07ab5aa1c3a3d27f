// The immutable 4x4 matrix classes (Matrix4 of doubles, Matrix4f of floats): one implementation of the class, its
// native table and its Python methods, generic over the record (Matrix4Layout, Matrix4fLayout in math_types.hpp).
// Elements are stored row by row in the scalar type; all arithmetic runs on doubles.
#pragma once
#include "native/interop.hpp"
#include "native/record.hpp"
#include "native/support.hpp"

#include <string>

namespace vx::mat4 {

struct M4 {
    double m[16];
};

// ---- plain 4x4 arithmetic -------------------------------------------------------------------------------

inline M4 product(const double* a, const double* b) {
    M4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[4 * i + j] =
                a[4 * i] * b[j] + a[4 * i + 1] * b[4 + j] + a[4 * i + 2] * b[8 + j] + a[4 * i + 3] * b[12 + j];
    return r;
}

inline M4 transposed(const double* a) {
    M4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r.m[4 * j + i] = a[4 * i + j];
    return r;
}

// Gauss-Jordan elimination with partial pivoting. Returns false when the matrix is singular to working
// precision (a pivot below 4 eps times the largest element) or not finite.
inline bool invert(const double* a, M4& out) {
    double w[4][8];
    double scale = 0.0;
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            w[i][j] = a[4 * i + j];
            w[i][4 + j] = i == j ? 1.0 : 0.0;
            scale = std::fmax(scale, std::fabs(a[4 * i + j]));
        }
    }
    if (!(scale > 0.0) || !std::isfinite(scale)) return false;
    for (int c = 0; c < 4; ++c) {
        int p = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(w[r][c]) > std::fabs(w[p][c])) p = r;
        if (!(std::fabs(w[p][c]) > 4.0 * 2.220446049250313e-16 * scale)) return false;
        if (p != c) std::swap(w[p], w[c]);
        double inv = 1.0 / w[c][c];
        for (int j = 0; j < 8; ++j) w[c][j] *= inv;
        for (int r = 0; r < 4; ++r) {
            if (r == c || w[r][c] == 0.0) continue;
            double f = w[r][c];
            for (int j = 0; j < 8; ++j) w[r][j] -= f * w[c][j];
        }
    }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) out.m[4 * i + j] = w[i][4 + j];
    return true;
}

inline double det3(const double* a, int r0, int r1, int r2, int c0, int c1, int c2) {
    auto e = [a](int r, int c) { return a[4 * r + c]; };
    return e(r0, c0) * (e(r1, c1) * e(r2, c2) - e(r1, c2) * e(r2, c1)) -
           e(r0, c1) * (e(r1, c0) * e(r2, c2) - e(r1, c2) * e(r2, c0)) +
           e(r0, c2) * (e(r1, c0) * e(r2, c1) - e(r1, c1) * e(r2, c0));
}

inline double determinant_of(const double* a) {
    return a[0] * det3(a, 1, 2, 3, 1, 2, 3) - a[1] * det3(a, 1, 2, 3, 0, 2, 3) + a[2] * det3(a, 1, 2, 3, 0, 1, 3) -
           a[3] * det3(a, 1, 2, 3, 0, 1, 2);
}

// The rows as a tuple of four 4-tuples of floats.
inline PyObject* rows_of(const double* m) {
    return Py_BuildValue("((dddd)(dddd)(dddd)(dddd))", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9],
                         m[10], m[11], m[12], m[13], m[14], m[15]);
}

// ---- the class ------------------------------------------------------------------------------------------

template <class Tr>
struct Matrix4Type {
    using Object = typename Tr::Object;
    using Table = std::remove_pointer_t<decltype(std::declval<Object&>().vtab)>;
    using Scalar = std::remove_reference_t<decltype(std::declval<Object&>()._m[0])>;
    using VTr = typename Tr::Vector;
    using VObject = typename VTr::Object;

    static inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    static inline Table table;
    static inline Imported<VTr> vector;

    enum Entry { kInverse, kTranspose, kMultiply, kDeterminant, kTransform, kGet, kTrace, kIsClose, kEntries };
    static inline OverrideSite sites[kEntries];

    static Object* of(PyObject* o) noexcept { return reinterpret_cast<Object*>(o); }
    static PyObject* py(Object* o) noexcept { return reinterpret_cast<PyObject*>(o); }
    static bool is_matrix(PyObject* o) noexcept { return check_instance(o, &type); }

    static M4 load(const Object* o) noexcept {
        M4 r;
        std::copy(o->_m, o->_m + 16, r.m);
        return r;
    }

    static Object* alloc(PyTypeObject* t) noexcept {
        Object* m = of(t->tp_alloc(t, 0));
        if (m) {
            m->vtab = &table;
            m->_hash = -1;
        }
        return m;
    }

    static PyObject* make(const M4& value) noexcept {
        Object* m = alloc(&type);
        if (!m) return nullptr;
        for (int i = 0; i < 16; ++i) m->_m[i] = narrow<Scalar>(value.m[i]);
        return py(m);
    }

    // ---- table entries ----

    static PyObject* inverse(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[kInverse], &type);
        M4 out;
        if (!invert(load(self).m, out)) return fail_format(PyExc_ValueError, msg::kSingular, Tr::kClass);
        return make(out);
    }

    static PyObject* transpose(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[kTranspose], &type);
        return make(transposed(load(self).m));
    }

    static PyObject* multiply(Object* self, Object* other, int skip_dispatch) noexcept {
        VX_DISPATCH_OBJECT(sites[kMultiply], &type, py(other));
        if (!is_matrix(py(other))) return nullptr;
        return make(product(load(self).m, load(other).m));
    }

    static double determinant(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_DOUBLE(sites[kDeterminant]);
        if (!(self->_flags & vextal::kMatrixDeterminantKnown)) {
            self->_determinant = determinant_of(load(self).m);
            self->_flags |= vextal::kMatrixDeterminantKnown;
        }
        return self->_determinant;
    }

    // The point v (w = 1) transformed: rows 1 to 3 applied to (x, y, z, 1).
    static PyObject* transform(Object* self, VObject* v, int skip_dispatch) noexcept {
        PyObject* point = reinterpret_cast<PyObject*>(v);
        VX_DISPATCH_OBJECT(sites[kTransform], vector.type, point);
        if (!check_instance(point, vector.type)) return nullptr;
        const M4 m = load(self);
        const double* r = m.m;
        auto p = VTr::load(v);
        return vector.make({r[0] * p[0] + r[1] * p[1] + r[2] * p[2] + r[3],  //
                            r[4] * p[0] + r[5] * p[1] + r[6] * p[2] + r[7],  //
                            r[8] * p[0] + r[9] * p[1] + r[10] * p[2] + r[11]});
    }

    static double get(Object* self, int row, int col, int skip_dispatch) noexcept {
        VX_DISPATCH_DOUBLE(sites[kGet], row, col);
        if (row < 0 || row > 3 || col < 0 || col > 3) {
            PyErr_Format(PyExc_IndexError, msg::kIndexOutOfRange, Tr::kClass);
            return report_failure(sites[kGet]);
        }
        return self->_m[4 * row + col];
    }

    static double trace(Object* self, int skip_dispatch) noexcept {
        VX_DISPATCH_DOUBLE(sites[kTrace]);
        const M4 m = load(self);
        return m.m[0] + m.m[5] + m.m[10] + m.m[15];
    }

    // Close when no element differs by more than `tolerance`.
    static int is_close(Object* self, Object* other, double tolerance, int skip_dispatch) noexcept {
        if (!skip_dispatch) {
            Ref override;
            if (find_override(py(self), sites[kIsClose], override)) {
                if (!override) return -1;
                Ref value = call_override(override, py(other), tolerance);
                return value ? to_bool(value.get()) : -1;
            }
        }
        if (!is_matrix(py(other))) return -1;
        for (int i = 0; i < 16; ++i)
            if (!(std::fabs(double(self->_m[i]) - double(other->_m[i])) <= tolerance)) return 0;
        return 1;
    }

    // ---- Python-visible methods: each runs its own class's entry with skip_dispatch 1 ----

    template <PyObject* (*F)(Object*, int)>
    static PyObject* py_object0(PyObject* self, PyObject*) noexcept {
        return F(of(self), 1);
    }

    template <double (*F)(Object*, int)>
    static PyObject* py_double0(PyObject* self, PyObject*) noexcept {
        return PyFloat_FromDouble(F(of(self), 1));
    }

    static PyObject* py_multiply(PyObject* self, PyObject* other) noexcept {
        if (!check_arg_type(other, &type, "other", false)) return nullptr;
        return multiply(of(self), of(other), 1);
    }

    static PyObject* py_transform(PyObject* self, PyObject* v) noexcept {
        if (!check_arg_type(v, vector.type, "v", false)) return nullptr;
        return transform(of(self), reinterpret_cast<VObject*>(v), 1);
    }

    static bool index_arg(PyObject* o, int& out) noexcept {
        if (!to_int(o, out)) return false;
        if (out < -4 || out > 3) return fail_format(PyExc_IndexError, msg::kIndexOutOfRange, Tr::kClass), false;
        if (out < 0) out += 4;
        return true;
    }

    static PyObject* py_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        static Params<2> params{"get", {"row", "col"}, 2};
        Bound<2> values;
        int row, col;
        if (!params.bind(args, nargs, kwnames, values) || !index_arg(values[0], row) || !index_arg(values[1], col))
            return nullptr;
        return PyFloat_FromDouble(get(of(self), row, col, 1));
    }

    static PyObject* py_is_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        static Params<2> params{"is_close", {"other", "tolerance"}, 1};
        Bound<2> values;
        double tolerance = 1e-12;
        if (!params.bind(args, nargs, kwnames, values) || !check_arg_type(values[0], &type, "other", false) ||
            (values[1] && !to_double(values[1], tolerance)))
            return nullptr;
        int close = is_close(of(self), of(values[0]), tolerance, 1);
        return close < 0 ? nullptr : PyBool_FromLong(close);
    }

    static PyObject* py_tolist(PyObject* self, PyObject*) noexcept {
        Ref rows(rows_of(load(of(self)).m));
        if (!rows) return nullptr;
        // Appended row by row: a list with empty slots must not meet a collection that making the next row
        // may run (its callbacks see every tracked object).
        Ref list(PyList_New(0));
        for (int i = 0; list && i < 4; ++i) {
            Ref row(PySequence_List(PyTuple_GET_ITEM(rows.get(), i)));
            if (!row || PyList_Append(list.get(), row.get()) < 0) return nullptr;
        }
        return list.release();
    }

    static PyObject* py_reduce(PyObject* self, PyObject*) noexcept {
        const M4 e = load(of(self));
        const double* m = e.m;
        return reduce_record(self, Py_BuildValue("(dddddddddddddddd)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7],
                                                 m[8], m[9], m[10], m[11], m[12], m[13], m[14], m[15]));
    }

    static PyObject* py_identity(PyObject* cls, PyObject*) noexcept { return PyObject_CallNoArgs(cls); }

    // The entries' methods first, in table order.
    static inline PyMethodDef methods[] = {
        method("inverse", py_object0<inverse>, METH_NOARGS,
               "inverse($self, /)\n--\n\nThe inverse matrix; ValueError when the matrix is singular."),
        method("transpose", py_object0<transpose>, METH_NOARGS, "transpose($self, /)\n--\n\nThe transposed matrix."),
        method("multiply", py_multiply, METH_O, "multiply($self, other, /)\n--\n\nThe product self @ other."),
        method("determinant", py_double0<determinant>, METH_NOARGS, "determinant($self, /)\n--\n\nThe determinant."),
        method("transform", py_transform, METH_O,
               "transform($self, v, /)\n--\n\nThe 3-vector point v transformed (rows 1 to 3 applied to (x, y, z, 1))."),
        method("get", py_get, METH_FASTCALL | METH_KEYWORDS,
               "get($self, /, row, col)\n--\n\nThe element at row, col (0 to 3)."),
        method("trace", py_double0<trace>, METH_NOARGS, "trace($self, /)\n--\n\nThe sum of the diagonal."),
        method("is_close", py_is_close, METH_FASTCALL | METH_KEYWORDS,
               "is_close($self, /, other, tolerance=1e-12)\n--\n\n"
               "True when no element differs by more than tolerance."),
        method("tolist", py_tolist, METH_NOARGS, "tolist($self, /)\n--\n\nThe rows as a list of four lists."),
        method("identity", py_identity, METH_NOARGS | METH_CLASS, "identity($cls, /)\n--\n\nThe identity matrix."),
        method("__reduce__", py_reduce, METH_NOARGS, nullptr),
        {nullptr, nullptr, 0, nullptr},
    };

    // ---- slots ----

    // The 16 elements from one sequence: flat, or 4 rows of 4 (a nested list, a (4, 4) array, another matrix).
    static bool from_sequence(PyObject* sequence, M4& out) noexcept {
        int read = read_buffer(sequence, out.m, 16, 4, Tr::kClass);  // a (4, 4) or (16,) array, another matrix
        if (read != 0) return read > 0;
        Ref listed;
        if (!PySequence_Check(sequence)) {  // a buffer without iteration (a matrix indexes by row): as nested lists
            Ref view(PyMemoryView_FromObject(sequence));
            listed = Ref(view ? PyObject_CallMethod(view.get(), "tolist", nullptr) : nullptr);
            if (!listed) return false;
            sequence = listed.get();
        }
        Ref rows(PySequence_Fast(sequence, "elements must be a sequence"));
        if (!rows) return false;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(rows.get());
        if (n == 16) return unpack_sequence(rows.get(), out.m, 16, Tr::kClass);
        if (n != 4) return fail_format(PyExc_ValueError, msg::kMatrixSequence, Tr::kClass), false;
        for (Py_ssize_t i = 0; i < 4; ++i) {
            PyObject* row = PySequence_Fast_GET_ITEM(rows.get(), i);
            if (!is_component_sequence(row)) return fail_format(PyExc_ValueError, msg::kMatrixSequence, Tr::kClass), false;
            if (!unpack_sequence(row, out.m + 4 * i, 4, Tr::kClass)) return false;
        }
        return true;
    }

    // M() is the identity; M(a00, a01, ..., a33) takes the 16 elements row by row, M(sequence) takes them from
    // one sequence (from_sequence).
    static PyObject* tp_new(PyTypeObject* t, PyObject* args, PyObject* kwargs) noexcept {
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return fail_format(PyExc_TypeError, msg::kNoKeywords, Tr::kClass);
        bool one_sequence = n == 1 && is_component_sequence(PyTuple_GET_ITEM(args, 0));
        if (n != 0 && n != 16 && !one_sequence) return fail_format(PyExc_TypeError, msg::kMatrixArgCount, Tr::kClass, n);
        M4 values;
        if (one_sequence && !from_sequence(PyTuple_GET_ITEM(args, 0), values)) return nullptr;
        for (Py_ssize_t i = 0; i < 16 && !one_sequence; ++i) {
            if (n == 0) {
                values.m[i] = i % 5 == 0 ? 1.0 : 0.0;
            } else if (!to_double(PyTuple_GET_ITEM(args, i), values.m[i])) {
                return nullptr;
            }
        }
        Object* m = alloc(t);
        if (m) {
            for (int i = 0; i < 16; ++i) m->_m[i] = narrow<Scalar>(values.m[i]);
        }
        return py(m);
    }

    static void tp_dealloc(PyObject* self) noexcept {
        if (of(self)->_weakreflist) PyObject_ClearWeakRefs(self);
        Py_TYPE(self)->tp_free(self);
    }

    static PyObject* tp_repr(PyObject* self) noexcept {
        return record_repr(self, 16, [self](Py_ssize_t i) { return of(self)->_m[i]; });
    }

    static PyObject* tp_richcompare(PyObject* a, PyObject* b, int op) noexcept {
        if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(a, &type) || !PyObject_TypeCheck(b, &type))
            Py_RETURN_NOTIMPLEMENTED;
        bool equal = true;
        for (int i = 0; i < 16 && equal; ++i) equal = of(a)->_m[i] == of(b)->_m[i];
        return PyBool_FromLong(op == Py_EQ ? equal : !equal);
    }

    // Matrices are immutable, so they hash by value (equal matrices, equal hashes) and cache it.
    static Py_hash_t tp_hash(PyObject* self) noexcept {
        Object* m = of(self);
        if (m->_hash != -1) return m->_hash;
        Ref rows(rows_of(load(m).m));
        if (!rows) return -1;
        Py_hash_t h = PyObject_Hash(rows.get());
        if (h != -1) m->_hash = h;
        return h;
    }

    // m @ n is the product; m @ v transforms the 3-vector point v.
    static PyObject* nb_matmul(PyObject* a, PyObject* b) noexcept {
        if (!PyObject_TypeCheck(a, &type)) Py_RETURN_NOTIMPLEMENTED;
        if (PyObject_TypeCheck(b, &type)) return of(a)->vtab->multiply(of(a), of(b), 0);
        if (vector.is_instance(b)) return of(a)->vtab->transform(of(a), reinterpret_cast<VObject*>(b), 0);
        Py_RETURN_NOTIMPLEMENTED;
    }

    // m[i] is row i as a tuple; m[i, j] the element.
    static PyObject* mp_subscript(PyObject* self, PyObject* key) noexcept {
        int row, col;
        const M4 e = load(of(self));
        const double* m = e.m;
        if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 2) {
            if (!index_arg(PyTuple_GET_ITEM(key, 0), row) || !index_arg(PyTuple_GET_ITEM(key, 1), col)) return nullptr;
            return PyFloat_FromDouble(m[4 * row + col]);
        }
        if (!PyIndex_Check(key)) return fail_format(PyExc_TypeError, msg::kMatrixIndices, Tr::kClass);
        if (!index_arg(key, row)) return nullptr;
        const double* r = m + 4 * row;
        return Py_BuildValue("(dddd)", r[0], r[1], r[2], r[3]);
    }

    static Py_ssize_t mp_length(PyObject*) noexcept { return 4; }

    // The elements as a read-only buffer of shape (4, 4), row by row: np.asarray(m) is the matrix.
    static int bf_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
        return ScalarBuffer<Scalar, 4, 4>::fill(self, view, flags, of(self)->_m, true, Tr::kClass);
    }

    static bool exec(PyObject* module) noexcept {
        static ClassText text;
        static PyNumberMethods number = {};
        static PyMappingMethods mapping = {};
        static PyBufferProcs buffer = {};
        if (!vector.import()) return false;
        try {
            text.doc = std::string(Tr::kClass) + "(*elements)\n--\n\n" + Tr::kDoc;
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
        if (!fill_class(type, text, Tr::kModule, Tr::kClass, sizeof(Object), methods, sites, kEntries)) return false;
        table = {{inverse, transpose, multiply, determinant, transform, get, trace, is_close}};
        number.nb_matrix_multiply = nb_matmul;
        mapping.mp_length = mp_length;
        mapping.mp_subscript = mp_subscript;
        buffer.bf_getbuffer = bf_getbuffer;
        PyTypeObject& t = type;
        t.tp_new = tp_new;
        t.tp_dealloc = tp_dealloc;
        t.tp_repr = tp_repr;
        t.tp_richcompare = tp_richcompare;
        t.tp_hash = tp_hash;
        t.tp_weaklistoffset = offsetof(Object, _weakreflist);
        t.tp_as_number = &number;
        t.tp_as_mapping = &mapping;
        t.tp_as_buffer = &buffer;
        return add_class(module, &type, Tr::kClass, &table, false) && opt_out_of_ufuncs(&type);
    }
};

}  // namespace vx::mat4
