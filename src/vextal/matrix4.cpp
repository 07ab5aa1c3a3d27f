// vextal.matrix4: the immutable 4x4 matrix of doubles (row by row) used for frame rotations.
#include "native/support.hpp"
#include "native/vector3_api.hpp"

#include <vextal/matrix4.hpp>

#include <cmath>
#include <utility>

using vextal::Matrix4Object;
using vextal::Matrix4Table;
using vextal::Vector3Object;

namespace {

PyTypeObject Matrix4_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
Matrix4Table table;
vx::ModuleGuard guard{"matrix4", "vextal.matrix4", "init vextal.matrix4"};
vx::Vector3Api vector3;

struct M4 {
    double m[16];
};

// ---- plain 4x4 arithmetic -------------------------------------------------------------------------------

M4 product(const double* a, const double* b) {
    M4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[4 * i + j] = a[4 * i] * b[j] + a[4 * i + 1] * b[4 + j] + a[4 * i + 2] * b[8 + j] + a[4 * i + 3] * b[12 + j];
    return r;
}

M4 transposed(const double* a) {
    M4 r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) r.m[4 * j + i] = a[4 * i + j];
    return r;
}

// Gauss-Jordan elimination with partial pivoting. Returns false when the matrix is singular to working
// precision (a pivot below 4 eps times the largest element) or not finite.
bool invert(const double* a, M4& out) {
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

double det3(const double* a, int r0, int r1, int r2, int c0, int c1, int c2) {
    auto e = [a](int r, int c) { return a[4 * r + c]; };
    return e(r0, c0) * (e(r1, c1) * e(r2, c2) - e(r1, c2) * e(r2, c1)) -
           e(r0, c1) * (e(r1, c0) * e(r2, c2) - e(r1, c2) * e(r2, c0)) +
           e(r0, c2) * (e(r1, c0) * e(r2, c1) - e(r1, c1) * e(r2, c0));
}

double determinant_of(const double* a) {
    return a[0] * det3(a, 1, 2, 3, 1, 2, 3) - a[1] * det3(a, 1, 2, 3, 0, 2, 3) + a[2] * det3(a, 1, 2, 3, 0, 1, 3) -
           a[3] * det3(a, 1, 2, 3, 0, 1, 2);
}

// ---- objects --------------------------------------------------------------------------------------------

Matrix4Object* self_of(PyObject* o) { return reinterpret_cast<Matrix4Object*>(o); }

Matrix4Object* alloc(PyTypeObject* type) {
    auto* m = reinterpret_cast<Matrix4Object*>(type->tp_alloc(type, 0));
    if (m) {
        m->vtab = &table;
        m->_hash = -1;
    }
    return m;
}

PyObject* make(const M4& value) {
    Matrix4Object* m = alloc(&Matrix4_Type);
    if (!m) return nullptr;
    std::copy(value.m, value.m + 16, m->_m);
    return reinterpret_cast<PyObject*>(m);
}

bool is_matrix(PyObject* o) { return vx::check_instance(o, &Matrix4_Type); }

enum Entry { kInverse, kTranspose, kMultiply, kDeterminant, kTransform, kGet, kTrace, kIsClose, kEntries };

vx::OverrideSite sites[kEntries] = {
    {"vextal.matrix4.Matrix4.inverse"}, {"vextal.matrix4.Matrix4.transpose"},
    {"vextal.matrix4.Matrix4.multiply"}, {"vextal.matrix4.Matrix4.determinant"},
    {"vextal.matrix4.Matrix4.transform"}, {"vextal.matrix4.Matrix4.get"},
    {"vextal.matrix4.Matrix4.trace"}, {"vextal.matrix4.Matrix4.is_close"},
};

// ---- table entries --------------------------------------------------------------------------------------

PyObject* inverse(Matrix4Object* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kInverse], &Matrix4_Type);
    M4 out;
    if (!invert(self->_m, out)) return vx::fail(PyExc_ValueError, "Matrix4 is singular and has no inverse");
    return make(out);
}

PyObject* transpose(Matrix4Object* self, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kTranspose], &Matrix4_Type);
    return make(transposed(self->_m));
}

PyObject* multiply(Matrix4Object* self, Matrix4Object* other, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kMultiply], &Matrix4_Type, reinterpret_cast<PyObject*>(other));
    if (!is_matrix(reinterpret_cast<PyObject*>(other))) return nullptr;
    return make(product(self->_m, other->_m));
}

double determinant(Matrix4Object* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kDeterminant]);
    if (!(self->_flags & vextal::kMatrixDeterminantKnown)) {
        self->_determinant = determinant_of(self->_m);
        self->_flags |= vextal::kMatrixDeterminantKnown;
    }
    return self->_determinant;
}

// The point v (w = 1) transformed: rows 1 to 3 applied to (x, y, z, 1).
PyObject* transform(Matrix4Object* self, Vector3Object* v, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kTransform], vector3.type, reinterpret_cast<PyObject*>(v));
    if (!vx::check_instance(reinterpret_cast<PyObject*>(v), vector3.type)) return nullptr;
    const double* r = self->_m;
    const auto& p = v->_vector;
    return vector3.make(r[0] * p.x + r[1] * p.y + r[2] * p.z + r[3], r[4] * p.x + r[5] * p.y + r[6] * p.z + r[7],
                        r[8] * p.x + r[9] * p.y + r[10] * p.z + r[11]);
}

double get(Matrix4Object* self, int row, int col, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kGet], row, col);
    if (row < 0 || row > 3 || col < 0 || col > 3) {
        PyErr_SetString(PyExc_IndexError, "Matrix4 index out of range");
        return vx::report_failure(sites[kGet]);
    }
    return self->_m[4 * row + col];
}

double trace(Matrix4Object* self, int skip_dispatch) {
    VX_DISPATCH_DOUBLE(sites[kTrace]);
    return self->_m[0] + self->_m[5] + self->_m[10] + self->_m[15];
}

// Close when no element differs by more than `tolerance`.
int is_close(Matrix4Object* self, Matrix4Object* other, double tolerance, int skip_dispatch) {
    if (!skip_dispatch) {
        vx::Ref override;
        if (vx::find_override(reinterpret_cast<PyObject*>(self), sites[kIsClose], override)) {
            if (!override) return -1;
            vx::Ref value = vx::call_override(override, reinterpret_cast<PyObject*>(other), tolerance);
            return value ? vx::to_bool(value.get()) : -1;
        }
    }
    if (!is_matrix(reinterpret_cast<PyObject*>(other))) return -1;
    for (int i = 0; i < 16; ++i)
        if (!(std::fabs(self->_m[i] - other->_m[i]) <= tolerance)) return 0;
    return 1;
}

// ---- Python-visible methods -----------------------------------------------------------------------------

template <PyObject* (*F)(Matrix4Object*, int)>
PyObject* py_object0(PyObject* self, PyObject*) {
    return F(self_of(self), 1);
}

template <double (*F)(Matrix4Object*, int)>
PyObject* py_double0(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(F(self_of(self), 1));
}

PyObject* py_multiply(PyObject* self, PyObject* other) {
    if (!vx::check_arg_type(other, &Matrix4_Type, "other", false)) return nullptr;
    return multiply(self_of(self), self_of(other), 1);
}

PyObject* py_transform(PyObject* self, PyObject* v) {
    if (!vx::check_arg_type(v, vector3.type, "v", false)) return nullptr;
    return transform(self_of(self), reinterpret_cast<Vector3Object*>(v), 1);
}

bool index_arg(PyObject* o, int& out) {
    if (!vx::to_int(o, out)) return false;
    if (out < -4 || out > 3) return vx::fail(PyExc_IndexError, "Matrix4 index out of range"), false;
    if (out < 0) out += 4;
    return true;
}

PyObject* py_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"get", {"row", "col"}, 2};
    PyObject* values[2];
    int row, col;
    if (!params.bind(args, nargs, kwnames, values) || !index_arg(values[0], row) || !index_arg(values[1], col))
        return nullptr;
    return PyFloat_FromDouble(get(self_of(self), row, col, 1));
}

PyObject* py_is_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"is_close", {"other", "tolerance"}, 1};
    PyObject* values[2];
    double tolerance = 1e-12;
    if (!params.bind(args, nargs, kwnames, values) || !vx::check_arg_type(values[0], &Matrix4_Type, "other", false) ||
        (values[1] && !vx::to_double(values[1], tolerance)))
        return nullptr;
    int close = is_close(self_of(self), self_of(values[0]), tolerance, 1);
    return close < 0 ? nullptr : PyBool_FromLong(close);
}

PyObject* rows_of(const double* m) {
    return Py_BuildValue("((dddd)(dddd)(dddd)(dddd))", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9],
                         m[10], m[11], m[12], m[13], m[14], m[15]);
}

PyObject* py_tolist(PyObject* self, PyObject*) {
    vx::Ref rows(rows_of(self_of(self)->_m));
    if (!rows) return nullptr;
    vx::Ref list(PyList_New(4));
    if (!list) return nullptr;
    for (int i = 0; i < 4; ++i) {
        PyObject* row = PySequence_List(PyTuple_GET_ITEM(rows.get(), i));
        if (!row) return nullptr;
        PyList_SET_ITEM(list.get(), i, row);
    }
    return list.release();
}

PyObject* py_reduce(PyObject* self, PyObject*) {
    const double* m = self_of(self)->_m;
    return Py_BuildValue("O(dddddddddddddddd)", reinterpret_cast<PyObject*>(Py_TYPE(self)), m[0], m[1], m[2], m[3],
                         m[4], m[5], m[6], m[7], m[8], m[9], m[10], m[11], m[12], m[13], m[14], m[15]);
}

PyObject* py_identity(PyObject* cls, PyObject*) { return PyObject_CallNoArgs(cls); }

#define VX_METH(name, fn, flags, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc}

PyMethodDef methods[] = {
    VX_METH("inverse", py_object0<inverse>, METH_NOARGS,
            "inverse($self, /)\n--\n\nThe inverse matrix; ValueError when the matrix is singular."),
    VX_METH("transpose", py_object0<transpose>, METH_NOARGS, "transpose($self, /)\n--\n\nThe transposed matrix."),
    VX_METH("multiply", py_multiply, METH_O, "multiply($self, other, /)\n--\n\nThe product self @ other."),
    VX_METH("determinant", py_double0<determinant>, METH_NOARGS, "determinant($self, /)\n--\n\nThe determinant."),
    VX_METH("transform", py_transform, METH_O,
            "transform($self, v, /)\n--\n\nThe Vector3 point v transformed (rows 1 to 3 applied to (x, y, z, 1))."),
    VX_METH("get", py_get, METH_FASTCALL | METH_KEYWORDS,
            "get($self, /, row, col)\n--\n\nThe element at row, col (0 to 3)."),
    VX_METH("trace", py_double0<trace>, METH_NOARGS, "trace($self, /)\n--\n\nThe sum of the diagonal."),
    VX_METH("is_close", py_is_close, METH_FASTCALL | METH_KEYWORDS,
            "is_close($self, /, other, tolerance=1e-12)\n--\n\nTrue when no element differs by more than tolerance."),
    VX_METH("tolist", py_tolist, METH_NOARGS, "tolist($self, /)\n--\n\nThe rows as a list of four lists."),
    VX_METH("identity", py_identity, METH_NOARGS | METH_CLASS, "identity($cls, /)\n--\n\nThe identity matrix."),
    VX_METH("__reduce__", py_reduce, METH_NOARGS, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

void fill_table() {
    table = Matrix4Table{inverse, transpose, multiply, determinant, transform, get, trace, is_close};
    for (int i = 0; i < kEntries; ++i) sites[i].wrapper = reinterpret_cast<void*>(methods[i].ml_meth);
}

// ---- slots ----------------------------------------------------------------------------------------------

// Matrix4() is the identity; Matrix4(a00, a01, ..., a33) takes the 16 elements row by row.
PyObject* Matrix4_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) return vx::fail(PyExc_TypeError, "Matrix4() takes no keyword arguments");
    if (n != 0 && n != 16)
        return vx::fail_format(PyExc_TypeError, "Matrix4() takes 0 or 16 positional arguments (%zd given)", n);
    double values[16];
    for (Py_ssize_t i = 0; i < 16; ++i) {
        if (n == 0) {
            values[i] = i % 5 == 0 ? 1.0 : 0.0;
        } else if (!vx::to_double(PyTuple_GET_ITEM(args, i), values[i])) {
            return nullptr;
        }
    }
    Matrix4Object* m = alloc(type);
    if (m) std::copy(values, values + 16, m->_m);
    return reinterpret_cast<PyObject*>(m);
}

void Matrix4_dealloc(PyObject* self) {
    if (self_of(self)->_weakreflist) PyObject_ClearWeakRefs(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* Matrix4_repr(PyObject* self) {
    const double* m = self_of(self)->_m;
    vx::Ref rows(Py_BuildValue("(dddddddddddddddd)", m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8], m[9], m[10],
                               m[11], m[12], m[13], m[14], m[15]));
    if (!rows) return nullptr;
    const char* name = Py_TYPE(self)->tp_name;
    const char* dot = strrchr(name, '.');
    return PyUnicode_FromFormat("%s%R", dot ? dot + 1 : name, rows.get());
}

PyObject* Matrix4_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(a, &Matrix4_Type) || !PyObject_TypeCheck(b, &Matrix4_Type))
        Py_RETURN_NOTIMPLEMENTED;
    bool equal = true;
    for (int i = 0; i < 16 && equal; ++i) equal = self_of(a)->_m[i] == self_of(b)->_m[i];
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// Matrices are immutable, so they hash by value (equal matrices, equal hashes) and cache it.
Py_hash_t Matrix4_hash(PyObject* self) {
    Matrix4Object* m = self_of(self);
    if (m->_hash != -1) return m->_hash;
    vx::Ref rows(rows_of(m->_m));
    if (!rows) return -1;
    Py_hash_t h = PyObject_Hash(rows.get());
    if (h != -1) m->_hash = h;
    return h;
}

// m @ n is the product; m @ v transforms the Vector3 point v.
PyObject* nb_matmul(PyObject* a, PyObject* b) {
    if (!PyObject_TypeCheck(a, &Matrix4_Type)) Py_RETURN_NOTIMPLEMENTED;
    if (PyObject_TypeCheck(b, &Matrix4_Type)) return self_of(a)->vtab->multiply(self_of(a), self_of(b), 0);
    if (vector3.is_vector(b))
        return self_of(a)->vtab->transform(self_of(a), reinterpret_cast<Vector3Object*>(b), 0);
    Py_RETURN_NOTIMPLEMENTED;
}

// m[i] is row i as a tuple; m[i, j] the element.
PyObject* mp_subscript(PyObject* self, PyObject* key) {
    int row, col;
    if (PyTuple_Check(key) && PyTuple_GET_SIZE(key) == 2) {
        if (!index_arg(PyTuple_GET_ITEM(key, 0), row) || !index_arg(PyTuple_GET_ITEM(key, 1), col)) return nullptr;
        return PyFloat_FromDouble(self_of(self)->_m[4 * row + col]);
    }
    if (!PyIndex_Check(key))
        return vx::fail(PyExc_TypeError, "Matrix4 indices must be an int (row) or a pair of ints (row, col)");
    if (!index_arg(key, row)) return nullptr;
    const double* r = self_of(self)->_m + 4 * row;
    return Py_BuildValue("(dddd)", r[0], r[1], r[2], r[3]);
}

Py_ssize_t mp_length(PyObject*) { return 4; }

PyNumberMethods number_methods = {};
PyMappingMethods mapping_methods = {};

void ready_type() {
    number_methods.nb_matrix_multiply = nb_matmul;
    mapping_methods.mp_length = mp_length;
    mapping_methods.mp_subscript = mp_subscript;
    PyTypeObject& t = Matrix4_Type;
    t.tp_name = "vextal.matrix4.Matrix4";
    t.tp_basicsize = sizeof(Matrix4Object);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = "Matrix4(*elements)\n--\n\nAn immutable 4x4 matrix. Matrix4() is the identity; Matrix4(a00, a01, ..., "
               "a33) takes the 16 elements row by row.";
    t.tp_new = Matrix4_new;
    t.tp_dealloc = Matrix4_dealloc;
    t.tp_repr = Matrix4_repr;
    t.tp_richcompare = Matrix4_richcompare;
    t.tp_hash = Matrix4_hash;
    t.tp_weaklistoffset = offsetof(Matrix4Object, _weakreflist);
    t.tp_as_number = &number_methods;
    t.tp_as_mapping = &mapping_methods;
    t.tp_methods = methods;
}

// ---- module ---------------------------------------------------------------------------------------------

PyObject* module_create(PyObject* spec, PyModuleDef*) { return vx::module_create(spec, guard); }

int module_exec(PyObject* module) {
    int begun = vx::module_exec_begin(module, guard, VX_SOURCE_FILE);
    if (begun != 0) return begun < 0 ? -1 : 0;
    if (!vector3.import()) return VX_EXEC_FAIL(guard);
    fill_table();
    ready_type();
    if (!vx::add_class(module, &Matrix4_Type, "Matrix4", &table, false)) return VX_EXEC_FAIL(guard);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "matrix4", "The 4x4 matrix of doubles.", 0, nullptr, slots};

}  // namespace

PyMODINIT_FUNC PyInit_matrix4() { return PyModuleDef_Init(&module_def); }
