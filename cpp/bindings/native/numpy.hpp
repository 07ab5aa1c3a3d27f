// NumPy through Python, for the bulk modules: NumPy is a run-time dependency only (nothing is compiled against
// its headers). Conversion and allocation call NumPy's own functions with the interpreter lock held; the
// computation then works on the raw buffers.
#pragma once
#include "native/errors.hpp"
#include "native/ref.hpp"

#include <string>

namespace vx {

// A buffer view of an object, released with its owner (or earlier, by release()).
struct Buffer {
    Py_buffer view{};
    bool held = false;

    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    bool get(PyObject* obj, int flags) {
        release();
        held = PyObject_GetBuffer(obj, &view, flags) == 0;
        return held;
    }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
    template <class T>
    T* data() const { return static_cast<T*>(view.buf); }
};

// The NumPy functions and types the bulk modules call, imported once and kept for the life of the process
// (as the numpy module itself is).
struct NumPy {
    PyObject* asarray = nullptr;
    PyObject* ascontiguousarray = nullptr;
    PyObject* broadcast_to = nullptr;
    PyObject* broadcast_shapes = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* int32 = nullptr;
    PyObject* int8 = nullptr;
    PyObject* dtype_key = nullptr;  // "dtype", the keyword
    PyObject* masked_array = nullptr;  // numpy.ma.MaskedArray
    int max_dims = 32;                 // axes an array may have: 64 from NumPy 2 on
};
inline NumPy np;

inline bool import_numpy() {
    if (np.asarray) return true;
    Ref module(PyImport_ImportModule("numpy"));
    if (!module) return false;
    Ref ma(PyImport_ImportModule("numpy.ma"));
    Ref version(PyObject_GetAttrString(module.get(), "__version__"));
    const char* text = version ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (!ma || !text) return false;
    NumPy n;
    n.max_dims = text[0] == '1' && text[1] == '.' ? 32 : 64;
    PyObject* m = module.get();
    if (!(n.masked_array = PyObject_GetAttrString(ma.get(), "MaskedArray")) ||
        !(n.ascontiguousarray = PyObject_GetAttrString(m, "ascontiguousarray")) ||
        !(n.broadcast_to = PyObject_GetAttrString(m, "broadcast_to")) ||
        !(n.broadcast_shapes = PyObject_GetAttrString(m, "broadcast_shapes")) ||
        !(n.empty = PyObject_GetAttrString(m, "empty")) || !(n.float64 = PyObject_GetAttrString(m, "float64")) ||
        !(n.int32 = PyObject_GetAttrString(m, "int32")) || !(n.int8 = PyObject_GetAttrString(m, "int8")) ||
        !(n.dtype_key = PyUnicode_InternFromString("dtype")) || !(n.asarray = PyObject_GetAttrString(m, "asarray"))) {
        for (PyObject* p : {n.ascontiguousarray, n.broadcast_to, n.broadcast_shapes, n.empty, n.float64, n.int32,
                            n.int8, n.dtype_key, n.asarray, n.masked_array})
            Py_XDECREF(p);
        return false;
    }
    np = n;
    return true;
}

// With VX_CHECK_PENDING defined (the sanitizer build) a call into Python made while an exception is pending
// stops the process, as a debug build of CPython does: such a call can lose or misreport the error.
inline void check_no_pending(const char* where) {
#ifdef VX_CHECK_PENDING
    if (PyErr_Occurred()) Py_FatalError(where);
#else
    (void)where;
#endif
}

// f(arg, dtype=dtype)
inline PyObject* call_with_dtype(PyObject* f, PyObject* arg, PyObject* dtype) {
    check_no_pending("call_with_dtype: an exception is pending");
    Ref names(PyTuple_Pack(1, np.dtype_key));
    if (!names) return nullptr;
    PyObject* args[] = {arg, dtype};
    return PyObject_Vectorcall(f, args, 1, names.get());
}

// Replaces the pending error by a new one of `type` with the message `text`, chained to it as its cause.
inline void raise_from(PyObject* type, const std::string& text) {
    PyObject *cause_type, *cause, *cause_tb;
    PyErr_Fetch(&cause_type, &cause, &cause_tb);
    PyErr_NormalizeException(&cause_type, &cause, &cause_tb);
    if (cause && cause_tb) PyException_SetTraceback(cause, cause_tb);
    Py_XDECREF(cause_type);
    Py_XDECREF(cause_tb);
    PyErr_SetString(type, text.c_str());
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v && cause) {
        Py_INCREF(cause);
        PyException_SetContext(v, cause);  // each steals one reference
        PyException_SetCause(v, cause);
    } else {
        Py_XDECREF(cause);
    }
    PyErr_Restore(t, v, tb);
}

// Whether every element of an object array is a real number (an int, a float, anything with __float__ that is
// not complex): None, strings and the like are refused rather than turned into NaN or parsed. -1 on error.
inline int holds_real_numbers(PyObject* array) {
    Ref flat(PyObject_CallMethod(array, "ravel", nullptr));
    Ref items(flat ? PyObject_CallMethod(flat.get(), "tolist", nullptr) : nullptr);
    if (!items || !PyList_Check(items.get())) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyNumberMethods* nb = Py_TYPE(item)->tp_as_number;
        if (PyComplex_Check(item) || !(PyFloat_Check(item) || PyLong_Check(item) || (nb && nb->nb_float))) return 0;
    }
    return 1;
}

// `value` as a float64 array, accepting only real numbers: arrays of floats, ints, bools, and object arrays
// of real numbers. Strings, complex numbers, dates, None and masked arrays (their mask would be ignored) are
// a TypeError naming `func` and `name`. Returns a new reference, or null with the error set.
inline PyObject* real_array(PyObject* value, const char* func, const char* name) {
    check_no_pending("real_array: an exception is pending");
    const std::string what = std::string(func) + "(): " + name;
    const int masked = PyObject_IsInstance(value, np.masked_array);
    if (masked < 0) return nullptr;
    if (masked) {
        PyErr_Format(PyExc_TypeError, "%s must not be a masked array (its mask would be ignored): pass "
                     "np.ma.filled(%s, np.nan) or the unmasked values", what.c_str(), name);
        return nullptr;
    }
    Ref raw(PyObject_CallOneArg(np.asarray, value));
    if (!raw) return raise_from(PyExc_TypeError, what + " must be an array of real numbers"), nullptr;
    Ref dtype(PyObject_GetAttrString(raw.get(), "dtype"));
    Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "kind") : nullptr);
    const char* k = kind ? PyUnicode_AsUTF8(kind.get()) : nullptr;
    if (!k) return nullptr;
    int real = k[0] == 'f' || k[0] == 'i' || k[0] == 'u' || k[0] == 'b';
    if (k[0] == 'O' && (real = holds_real_numbers(raw.get())) < 0) return nullptr;
    if (!real) {
        Ref text(PyObject_Str(dtype.get()));
        const char* t = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!t) return nullptr;
        PyErr_Format(PyExc_TypeError, "%s must be an array of real numbers, not of dtype %s%s", what.c_str(), t,
                     k[0] == 'O' ? " holding other objects (None, strings, ...)" : "");
        return nullptr;
    }
    PyObject* array = call_with_dtype(np.asarray, raw.get(), np.float64);
    if (!array) raise_from(PyExc_TypeError, what + " must be an array of real numbers");
    return array;
}

// A read-only C-contiguous view of `obj` holding `count` items of 8 bytes: float64 (`integer` false) or int64
// (`integer` true). A TypeError or ValueError naming `what` otherwise.
inline bool view8(PyObject* obj, Buffer& buffer, Py_ssize_t count, const char* what, bool integer = false) {
    if (!buffer.get(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const char* f = buffer.view.format;
    if (f && (f[0] == '<' || f[0] == '=' || f[0] == '@')) ++f;
    const bool kind = f && (integer ? (f[0] == 'q' || f[0] == 'l') : f[0] == 'd') && f[1] == 0;
    if (buffer.view.itemsize != 8 || !kind) {
        fail_format(PyExc_TypeError, "%s must be a C-contiguous %s array", what, integer ? "int64" : "float64");
        return false;
    }
    if (buffer.view.len != count * Py_ssize_t(sizeof(double))) {
        fail_format(PyExc_ValueError, "%s must hold %zd values", what, count);
        return false;
    }
    return true;
}

// A new uninitialised C-contiguous array of `shape` and `dtype`, with its writable buffer in `buffer`.
inline PyObject* new_array(PyObject* shape, PyObject* dtype, Buffer& buffer) {
    Ref array(call_with_dtype(np.empty, shape, dtype));
    if (!array || !buffer.get(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
    return array.release();
}

}  // namespace vx
