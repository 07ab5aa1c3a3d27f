// Python-override dispatch of native table entries.
//
// A table entry called natively with skip_dispatch 0 first asks whether the instance's class (a Python
// subclass) redefines the method; if so the redefinition runs instead of the native body. The answer "no
// override" is cached per entry under the class's type version tag, which changes whenever the class or any
// of its bases changes, so a method added later to a Python base class is still found. An instance may also
// shadow the method in its own __dict__, which is checked on every call (one dict probe).
#pragma once
#include "native/args.hpp"

#include <cstring>

namespace vx {

// One entry's Python name, its Python-visible wrapper (to recognise the class's own built-in method) and its
// "no override" cache. One per table entry for the whole process.
struct OverrideSite {
    const char* qualname;  // "vextal.vector3.Vector3.cross": the method's name is its last part
    void* wrapper = nullptr;
    PyObject* key = nullptr;  // interned name, made on first use
    unsigned int tag = 0;     // type version tag known to have no override; 0 = none
};

namespace detail {

// The class's version tag where the interpreter keeps it valid, else 0.
inline unsigned int usable_tag(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
#endif
#if PY_VERSION_HEX < 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    // A class with its own __getattribute__ may answer differently on every lookup: never cache it.
    if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
    return type->tp_version_tag;
}

// True when the instance's own __dict__ may hold `key` (a failed probe counts as "may").
inline bool instance_shadows(PyObject* self, PyObject* key) noexcept {
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (!dictptr || !*dictptr || PyDict_GET_SIZE(*dictptr) == 0) return false;
    PyObject* found = PyDict_GetItemWithError(*dictptr, key);
    if (!found && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return found != nullptr;
}

inline Ref as_object(PyObject* obj) noexcept { return Ref::borrow(obj); }
inline Ref as_object(double value) noexcept { return Ref(PyFloat_FromDouble(value)); }
inline Ref as_object(int value) noexcept { return Ref(PyLong_FromLong(value)); }

}  // namespace detail

// Looks for a Python override of `site` on `self`. Returns false when the native body should run; true when
// `found` holds the override to call, or when the lookup failed (found empty, error set).
inline bool find_override(PyObject* self, OverrideSite& site, Ref& found) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    // Instances of our own classes (static, no instance dict) can never carry an override.
    if (type->tp_dictoffset == 0 && !(type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT))) return false;
    if (!site.key && !(site.key = PyUnicode_InternFromString(strrchr(site.qualname, '.') + 1))) return true;
    unsigned int before = detail::usable_tag(type);
    if (site.tag != 0 && site.tag == before && !detail::instance_shadows(self, site.key)) return false;
    Ref method(PyObject_GetAttr(self, site.key));
    if (!method) return true;
    if (PyCFunction_Check(method.get()) &&
        reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(method.get())) == site.wrapper) {
        // The class's own built-in method: no override. Cache unless the class changed meanwhile.
        unsigned int after = detail::usable_tag(type);
        site.tag = before == after ? after : 0;
        return false;
    }
    found = std::move(method);
    return true;
}

// Calls a found override with the entry's arguments (PyObject*, double or int).
template <class... A>
inline Ref call_override(const Ref& override, A... args) noexcept {
    Ref boxed[] = {detail::as_object(args)..., Ref()};
    PyObject* argv[sizeof...(A) + 1];
    for (size_t i = 0; i < sizeof...(A); ++i) {
        if (!boxed[i]) return Ref();
        argv[i] = boxed[i].get();
    }
    return Ref(PyObject_Vectorcall(override.get(), argv, sizeof...(A), nullptr));
}

// Dispatch for an entry returning an object of class `result_type` (or None). Returns true when the entry is
// done: `result` then holds the override's checked result, or null with an error set.
template <class... A>
inline bool dispatch_object(PyObject* self, OverrideSite& site, PyTypeObject* result_type, PyObject*& result,
                            A... args) noexcept {
    Ref override;
    if (!find_override(self, site, override)) return false;
    result = nullptr;
    if (!override) return true;
    Ref value = call_override(override, args...);
    if (value && check_result_type(value.get(), result_type)) result = value.release();
    return true;
}

// Dispatch for an entry returning a double. Returns true when the entry is done: `result` then holds the
// override's converted result, or an error is set (the caller reports it).
template <class... A>
inline bool dispatch_double(PyObject* self, OverrideSite& site, double& result, A... args) noexcept {
    Ref override;
    if (!find_override(self, site, override)) return false;
    result = 0.0;
    if (!override) return true;
    Ref value = call_override(override, args...);
    if (value && !to_double(value.get(), result)) result = 0.0;
    return true;
}

// A double entry never raises to its caller: the pending error is reported and the result is 0.0.
inline double report_failure(const OverrideSite& site) noexcept {
    report_unraisable(site.qualname);
    return 0.0;
}

}  // namespace vx

// The dispatch step at the top of a table entry whose instance is `self` and flag `skip_dispatch`: returns
// the override's checked result when a Python subclass redefines the method. A failure there gets the
// entry's traceback entry, like any other failure of the entry.
#define VX_DISPATCH_OBJECT(site, result_type, ...)                                                         \
    do {                                                                                                   \
        PyObject* vx_result_;                                                                              \
        if (!skip_dispatch && ::vx::dispatch_object(reinterpret_cast<PyObject*>(self), (site), (result_type), \
                                                    vx_result_, ##__VA_ARGS__)) {                          \
            if (!vx_result_) VX_TRACEBACK((site).qualname);                                                \
            return vx_result_;                                                                             \
        }                                                                                                  \
    } while (0)

// The same for a double entry; a failing override is reported (with the entry's traceback entry) and gives 0.0.
#define VX_DISPATCH_DOUBLE(site, ...)                                                                      \
    do {                                                                                                   \
        double vx_result_;                                                                                 \
        if (!skip_dispatch &&                                                                              \
            ::vx::dispatch_double(reinterpret_cast<PyObject*>(self), (site), vx_result_, ##__VA_ARGS__)) { \
            if (!PyErr_Occurred()) return vx_result_;                                                      \
            VX_TRACEBACK((site).qualname);                                                                 \
            return ::vx::report_failure(site);                                                             \
        }                                                                                                  \
    } while (0)
