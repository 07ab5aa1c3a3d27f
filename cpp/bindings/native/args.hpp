// Argument binding with the interpreter-style messages, and argument conversions.
#pragma once
#include "native/errors.hpp"

#include <climits>
#include <cstring>

namespace vx {

inline void raise_arg_count(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    Py_ssize_t expected = given < min ? min : max;
    const char* bound = exact ? "exactly" : (given < min ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, msg::kArgCount, func, bound, expected, expected == 1 ? "" : "s", given);
}

// The values bound for one call: values[i] is parameter i's, or null where an optional one was not given.
// Values taken from a keyword dict are held by a strong reference until the call returns: the dict belongs
// to the caller, and Python code run later in the call (a __float__, __int__ or __bool__ converting another
// argument, a key's __eq__ during the lookup itself) can clear it and free them. Positional values and
// vectorcall keyword values are held by the caller for the whole call, so the common calls take no
// references at all.
template <int N>
class Bound {
public:
    Bound() noexcept = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() {
        if (held_) {
            for (PyObject* v : values_) Py_XDECREF(v);
        }
    }

    operator PyObject* const*() const noexcept { return values_; }

private:
    template <int>
    friend struct Params;
    PyObject* values_[N] = {};
    bool held_ = false;
};

// The parameters of a function that takes positional-or-keyword arguments: `names[0..max)`, of which the
// first `required` must be given. The interned names are made on first use and kept.
template <int N>
struct Params {
    const char* func;
    const char* names[N];
    int required;
    PyObject* keys[N] = {};

    bool intern() noexcept {
        if (keys[N - 1]) return true;
        for (int i = 0; i < N; ++i) {
            if (!keys[i] && !(keys[i] = PyUnicode_InternFromString(names[i]))) return false;
        }
        return true;
    }

    // Binds a call made with a tuple and a keyword dict (tp_new, tp_init, METH_VARARGS | METH_KEYWORDS).
    bool bind(PyObject* args, PyObject* kwargs, Bound<N>& out) noexcept {
        return bind_impl(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), kwargs, nullptr,
                         out);
    }

    // Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS): keyword values follow the positional ones.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& out) noexcept {
        return bind_impl(args, nargs, nullptr, kwnames, out);
    }

private:
    bool bind_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwdict, PyObject* kwnames,
                   Bound<N>& bound) noexcept {
        const bool exact = required == N;
        PyObject** out = bound.values_;
        Py_ssize_t nkw = kwdict ? PyDict_GET_SIZE(kwdict) : kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs > N || (nkw == 0 && nargs < required)) {
            raise_arg_count(func, exact, required, N, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < N; ++i) out[i] = i < nargs ? args[i] : nullptr;
        if (nkw == 0) return true;
        if (!intern()) return false;
        if (kwdict) {
            bound.held_ = true;
            for (Py_ssize_t i = 0; i < nargs; ++i) Py_INCREF(out[i]);
        }
        // Parameters not given by position are looked up by keyword, in order; a missing required one
        // is reported with its position as the count given.
        Py_ssize_t left = nkw;
        for (Py_ssize_t i = nargs; i < N; ++i) {
            PyObject* value = keyword(kwdict, kwnames, args + nargs, keys[i]);
            if (value) {
                if (kwdict) Py_INCREF(value);
                out[i] = value;
                --left;
            } else if (PyErr_Occurred()) {
                return false;
            } else if (i < required) {
                raise_arg_count(func, exact, required, N, i);
                return false;
            }
        }
        if (left == 0) return true;
        // Something else was passed by keyword: find the first offender in call order. The dict's size is
        // read again on every round: a key's __eq__ may have changed it during the lookups.
        for (Py_ssize_t k = 0; k < (kwdict ? PyDict_GET_SIZE(kwdict) : nkw); ++k) {
            PyObject* key = kwdict ? nth_key(kwdict, k) : PyTuple_GET_ITEM(kwnames, k);
            if (!key) break;
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, msg::kKeywordsMustBeStrings, func);
                return false;
            }
            int slot = find(key);
            if (slot < 0) {
                if (PyErr_Occurred()) return false;
                PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, func, key);
                return false;
            }
            if (slot < nargs) {
                PyErr_Format(PyExc_TypeError, msg::kMultipleValues, func, key);
                return false;
            }
        }
        return true;
    }

    int find(PyObject* key) noexcept {
        for (int i = 0; i < N; ++i) {
            if (keys[i] == key) return i;
        }
        for (int i = 0; i < N; ++i) {
            int eq = PyUnicode_Compare(keys[i], key);
            if (eq == 0) return i;
            if (eq == -1 && PyErr_Occurred()) return -1;
        }
        return -1;
    }

    static PyObject* keyword(PyObject* kwdict, PyObject* kwnames, PyObject* const* kwvalues, PyObject* key) noexcept {
        if (kwdict) return PyDict_GetItemWithError(kwdict, key);
        Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (PyTuple_GET_ITEM(kwnames, k) == key) return kwvalues[k];
        }
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_Check(name) && PyUnicode_Compare(name, key) == 0) return kwvalues[k];
        }
        return nullptr;
    }

    static PyObject* nth_key(PyObject* dict, Py_ssize_t n) noexcept {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        for (Py_ssize_t i = 0; PyDict_Next(dict, &pos, &key, &value); ++i) {
            if (i == n) return key;
        }
        return nullptr;
    }
};

// Double conversion: an exact float is read directly, anything else goes through the float protocol.
inline bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// 32-bit int conversion: an int is taken as it is, anything else goes through its __int__ first (so a
// float is truncated toward zero), with the interpreter's messages.
inline bool to_int(PyObject* obj, int& out) noexcept {
    Ref number;
    if (PyLong_Check(obj)) {
        number = Ref::borrow(obj);
    } else {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb && nb->nb_int) number = Ref(nb->nb_int(obj));
        if (!number) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, msg::kIntegerRequired);
            return false;
        }
        if (!PyLong_CheckExact(number.get())) {
            if (!PyLong_Check(number.get())) {
                PyErr_Format(PyExc_TypeError, msg::kIntWrongResult, "int", "int", Py_TYPE(number.get())->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                                 "strict subclass of int is deprecated, and may be removed in a future version of "
                                 "Python.",
                                 Py_TYPE(number.get())->tp_name) < 0)
                return false;
        }
    }
    long value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value > INT_MAX || value < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, value > 0 ? msg::kIntTooLarge : msg::kIntTooSmall);
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// A strict flag: True, False or a NumPy bool scalar. Anything else (a string such as "no", a number, an array)
// is a TypeError naming the argument: its truth value would be a guess. -1 on error.
inline int to_flag(PyObject* obj, const char* func, const char* name) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False) return 0;
    const char* type = Py_TYPE(obj)->tp_name;
    if (std::strcmp(type, "numpy.bool_") == 0 || std::strcmp(type, "numpy.bool") == 0) return PyObject_IsTrue(obj);
    PyErr_Format(PyExc_TypeError, "%s(): %s must be True or False, not %.200s", func, name, type);
    return -1;
}

// A strict count in [0, high]: an int or an object with __index__ (NumPy integers), never a bool, a float
// (2.7 is not 2) or None; every refusal names the argument and the range.
inline bool to_count(PyObject* obj, const char* func, const char* name, int high, int& out) noexcept {
    Ref number(PyBool_Check(obj) || !PyIndex_Check(obj) ? nullptr : PyNumber_Index(obj));
    if (!number) {  // not an integer (NumPy's bool has an __index__ that refuses)
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s(): %s must be an int from 0 to %d, not %.200s", func, name, high,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && value < 0)) {
        PyErr_Format(PyExc_ValueError, "%s(): %s must not be negative (got %R)", func, name, number.get());
        return false;
    }
    if (overflow > 0 || value > high) {
        PyErr_Format(PyExc_ValueError, "%s(): %s must not exceed %d (got %R)", func, name, high, number.get());
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

// Truth value with None as false; -1 on error.
inline int to_bool(PyObject* obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    return PyObject_IsTrue(obj);
}

}  // namespace vx
