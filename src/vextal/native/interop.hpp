// How the math classes meet NumPy and other array libraries without depending on any of them:
// - the buffer protocol publishes the stored scalars (C order, "d" or "f"), so np.asarray(v) is a float64 array
//   of shape (3,) and np.asarray(m) one of shape (4, 4), with no NumPy at build or import time;
// - `__array_ufunc__ = None` makes NumPy's arrays and scalars hand their binary operators to us, so that
//   np.float64(2) * v calls our __rmul__ and gives a vector instead of an array;
// - scalar operands are any real number, NumPy's scalar types among them (is_real_scalar);
// - a single positional sequence (a list, a tuple, an array) gives the components (unpack_sequence).
#pragma once
#include "args.hpp"
#include "errors.hpp"
#include "messages.hpp"
#include "ref.hpp"

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

// Reads exactly `n` numbers from the sequence `o` into `out`; ValueError naming `cls` for another length.
inline bool unpack_sequence(PyObject* o, double* out, Py_ssize_t n, const char* cls) noexcept {
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
