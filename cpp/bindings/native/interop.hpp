// How the math classes meet NumPy and other array libraries without depending on any of them:
// - the buffer protocol publishes the stored scalars (C order, "d" or "f"), so np.asarray(v) is a float64 array
//   of shape (3,) and np.asarray(m) one of shape (4, 4), with no NumPy at build or import time;
// - `__array_ufunc__ = None` makes NumPy's arrays and scalars hand their binary operators to us, so that
//   np.float64(2) * v calls our __rmul__ and gives a vector instead of an array;
// - scalar operands are any real number, NumPy's scalar types among them (is_real_scalar);
// - a single positional sequence (a list, a tuple, an array) gives the components (unpack_sequence).
#pragma once
#include "native/args.hpp"
#include "native/errors.hpp"
#include "native/messages.hpp"
#include "native/ref.hpp"

#include <cstring>
#include <type_traits>

namespace vx {

// A real number for scalar operations: float and int and their subclasses (NumPy's float64 is one), and any other
// object with a float or index conversion that is neither complex nor sized (NumPy's float32 and int64 scalars,
// Fraction). Sized objects (arrays, vectors, lists) are left to their own operators.
inline bool is_real_scalar(PyObject* o) noexcept {
    if (PyFloat_Check(o) || PyLong_Check(o)) return true;
    if (PyComplex_Check(o)) return false;
    PyTypeObject* t = Py_TYPE(o);
    PyNumberMethods* n = t->tp_as_number;
    if (!n || (!n->nb_float && !n->nb_index)) return false;
    if (t->tp_as_sequence && t->tp_as_sequence->sq_length) return false;
    return !(t->tp_as_mapping && t->tp_as_mapping->mp_length);
}

// Puts `__array_ufunc__ = None` into a ready class (and its Python subclasses, through the lookup).
inline bool opt_out_of_ufuncs(PyTypeObject* type) noexcept {
    if (PyDict_SetItemString(type->tp_dict, "__array_ufunc__", Py_None) < 0) return false;
    PyType_Modified(type);
    return true;
}

// The buffer of a record of scalars: `Dims...` is the C-order shape (3 for a vector, 4, 4 for a matrix).
template <class Scalar, Py_ssize_t... Dims>
struct ScalarBuffer {
    static_assert(std::is_same_v<Scalar, double> || std::is_same_v<Scalar, float>);
    static constexpr int kNdim = sizeof...(Dims);
    static inline Py_ssize_t shape[kNdim] = {Dims...};
    static inline Py_ssize_t strides[kNdim] = {};
    static constexpr Py_ssize_t kCount = (Dims * ...);

    // Fills `view` for `owner`, whose scalars start at `data`; a writable request fails on a read-only record.
    static int fill(PyObject* owner, Py_buffer* view, int flags, Scalar* data, bool readonly,
                    const char* cls) noexcept {
        if (readonly && (flags & PyBUF_WRITABLE)) {
            view->obj = nullptr;
            return fail_format(PyExc_BufferError, msg::kReadOnlyBuffer, cls), -1;
        }
        Py_ssize_t step = sizeof(Scalar);
        for (int i = kNdim - 1; i >= 0; --i) {
            strides[i] = step;
            step *= shape[i];
        }
        view->buf = data;
        view->obj = newref(owner);
        view->len = kCount * Py_ssize_t(sizeof(Scalar));
        view->itemsize = sizeof(Scalar);
        view->readonly = readonly;
        view->ndim = kNdim;
        view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(std::is_same_v<Scalar, double> ? "d" : "f") : nullptr;
        view->shape = (flags & PyBUF_ND) ? shape : nullptr;
        view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? strides : nullptr;
        view->suboffsets = nullptr;
        view->internal = nullptr;
        return 0;
    }
};

// True when the one positional argument of a constructor is to be read as a sequence of components rather than as
// the first component: a sequence or a buffer exporter that is no real scalar (a list, a tuple, an array, a vector);
// text and bytes keep the number conversion's own error.
inline bool is_component_sequence(PyObject* o) noexcept {
    if (is_real_scalar(o) || PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return false;
    return PySequence_Check(o) || PyObject_CheckBuffer(o);
}

// The fast way for arrays: a C-contiguous buffer of doubles or floats whose shape is (n,), or (rows, n / rows)
// when rows > 0, is read directly. 1 when read, 0 when the buffer is not of that kind (the caller iterates
// instead), -1 with ValueError naming `cls` for a 1-D buffer of another length.
inline int read_buffer(PyObject* o, double* out, Py_ssize_t n, Py_ssize_t rows, const char* cls) noexcept {
    Py_buffer view;
    if (!PyObject_CheckBuffer(o)) return 0;
    if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return 0;
    }
    const char* format = view.format ? view.format : "B";
    bool is_double = strcmp(format, "d") == 0, is_float = strcmp(format, "f") == 0;
    bool flat = view.ndim == 1, table = rows > 0 && view.ndim == 2 && view.shape[0] == rows;
    int result = 0;
    if ((is_double || is_float) && (flat || table)) {
        Py_ssize_t count = flat ? view.shape[0] : view.shape[0] * view.shape[1];
        if (count == n) {
            const char* data = static_cast<const char*>(view.buf);
            for (Py_ssize_t i = 0; i < n; ++i) {
                double d;
                float f;
                if (is_double) memcpy(&d, data + i * sizeof(double), sizeof(double));
                else memcpy(&f, data + i * sizeof(float), sizeof(float)), d = f;
                out[i] = d;
            }
            result = 1;
        } else if (flat) {
            fail_format(PyExc_ValueError, msg::kSequenceLength, cls, n, count);
            result = -1;
        }
    }
    PyBuffer_Release(&view);
    return result;
}

// Reads exactly `n` numbers from the sequence `o` into `out`; ValueError naming `cls` for another length.
inline bool unpack_sequence(PyObject* o, double* out, Py_ssize_t n, const char* cls) noexcept {
    int read = read_buffer(o, out, n, 0, cls);
    if (read != 0) return read > 0;
    Ref items(PySequence_Fast(o, "components must be a sequence"));
    if (!items) return false;
    Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    if (size != n) return fail_format(PyExc_ValueError, msg::kSequenceLength, cls, n, size), false;
    PyObject** item = PySequence_Fast_ITEMS(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!to_double(item[i], out[i])) return false;
    }
    return true;
}

}  // namespace vx
