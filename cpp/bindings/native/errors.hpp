// Raising, traceback entries and unraisable reports.
#pragma once
#include "native/messages.hpp"
#include "native/ref.hpp"

#include <frameobject.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <unordered_map>

#ifndef VX_SOURCE_FILE
#define VX_SOURCE_FILE "vextal"
#endif

namespace vx {

// Sets the error and returns null, so a failure is one line: `return fail(PyExc_TypeError, "...")`.
inline std::nullptr_t fail(PyObject* type, const char* text) noexcept {
    PyErr_SetString(type, text);
    return nullptr;
}

template <class... A>
inline std::nullptr_t fail_format(PyObject* type, const char* format, A... args) noexcept {
    PyErr_Format(type, format, args...);
    return nullptr;
}

// "Cannot convert X to Y": a value of the wrong class where `expected` (or None) is required.
inline std::nullptr_t fail_cannot_convert(PyObject* got, PyTypeObject* expected) noexcept {
    return fail_format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(got)->tp_name, expected->tp_name);
}

// The argument-type message: `obj` is neither None (when allowed) nor an instance of `type`.
inline bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_ok = true) noexcept {
    if ((none_ok && obj == Py_None) || Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type)) return true;
    PyErr_Format(PyExc_TypeError, msg::kArgType, name, type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// True when `obj` is None or an instance of `type`; otherwise raises "Cannot convert".
inline bool check_result_type(PyObject* obj, PyTypeObject* type) noexcept {
    if (obj == Py_None || Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type)) return true;
    fail_cannot_convert(obj, type);
    return false;
}

// Like check_result_type, but None is refused too: the value goes on into native vector arithmetic.
inline bool check_instance(PyObject* obj, PyTypeObject* type) noexcept {
    if (obj != Py_None && (Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type))) return true;
    fail_cannot_convert(obj, type);
    return false;
}

// A native entry refuses a null object argument as CPython's own functions do (SystemError "bad argument to
// internal function"), naming its source relative to the package rather than by the build path.
inline bool not_null(std::initializer_list<const void*> args, const char* file, int line) noexcept {
    for (const void* p : args) {
        if (!p) {
            PyErr_Format(PyExc_SystemError, msg::kBadInternalCall, file, line);
            return false;
        }
    }
    return true;
}

namespace detail {

// Code objects of traceback entries, one per (function, line); kept for the life of the process.
inline PyObject* traceback_code(const char* func, int line, const char* file) noexcept {
    static std::unordered_map<std::string, PyObject*> cache;
    try {
        std::string key = std::string(func) + '\0' + std::to_string(line) + '\0' + file;
        auto it = cache.find(key);
        if (it != cache.end()) return it->second;
        PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, func, line));
        if (code) cache.emplace(std::move(key), code);
        return code;
    } catch (...) {  // out of memory for the cache: the entry is lost, the error it was for is not
        return nullptr;
    }
}

inline PyObject* traceback_globals() {
    static PyObject* globals = nullptr;
    if (!globals) globals = PyDict_New();
    return globals;
}

}  // namespace detail

// Adds one frame (function `func`, source `file`, line `line`) to the pending exception's traceback.
inline void add_traceback(const char* func, int line, const char* file) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);  // PyFrame_New fails while an exception is pending
    PyObject* code = detail::traceback_code(func, line, file);
    PyObject* globals = code ? detail::traceback_globals() : nullptr;
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals,
                                                 nullptr)
                                   : nullptr;
    if (!frame) PyErr_Clear();  // the entry is lost, the original error is not
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// Prints the pending error twice, as the double-returning native entries must: first with its traceback as
// an uncaught error (which also sets sys.last_*), then as an unraisable report with `qualname` as context.
// Clears the error.
inline void report_unraisable(const char* qualname) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    // One exception object for both reports (an error set from C may still be a bare type and message).
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyErr_PrintEx(1);
    PyObject* context = PyUnicode_FromString(qualname);
    PyErr_Restore(type, value, tb);
    if (context) {
        PyErr_WriteUnraisable(context);
        Py_DECREF(context);
    } else {
        PyErr_WriteUnraisable(Py_None);
    }
}

}  // namespace vx

// Traceback entry for the current source line of this file.
#define VX_TRACEBACK(qualname) ::vx::add_traceback((qualname), __LINE__, VX_SOURCE_FILE)
// True when no argument is null; otherwise the bad-internal-call SystemError for this source line.
#define VX_NOT_NULL(...) ::vx::not_null({__VA_ARGS__}, VX_SOURCE_FILE, __LINE__)
