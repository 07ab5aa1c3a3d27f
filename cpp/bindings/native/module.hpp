// Module creation and execution guards, and the pickling refusal of record classes.
#pragma once
#include "native/capi.hpp"

#include <cstdio>

namespace vx {

// Per-process state of a module: modules are process-global (one module object, one interpreter).
struct ModuleGuard {
    const char* short_name;  // "orbitvector"
    const char* full_name;   // "vextal.astro.orbitvector"
    const char* init_name;   // "init vextal.astro.orbitvector", the traceback entry of a failed execution
    int64_t interpreter = -1;
    PyObject* module = nullptr;  // held from execution step 3 on; null again after a failed execution
    PyObject* module_dict = nullptr;
    PyObject* builtin_type_error = nullptr;
    PyObject* builtin_range = nullptr;
};

namespace detail {

inline bool copy_spec_attr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool skip_none) noexcept {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

inline PyObject* builtin(PyObject* builtins, const char* name) noexcept {
    Ref key(PyUnicode_FromString(name));
    if (!key) return nullptr;
    PyObject* value = PyObject_GetAttr(builtins, key.get());
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, msg::kNameNotDefined, key.get());
    }
    return value;
}

}  // namespace detail

// Py_mod_create: one module object per process, loaded into one interpreter only.
inline PyObject* module_create(PyObject* spec, ModuleGuard& guard) noexcept {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) return nullptr;
    if (guard.interpreter == -1) {
        guard.interpreter = current;
    } else if (guard.interpreter != current) {
        return fail(PyExc_ImportError, msg::kInterpreterChange);
    }
    if (guard.module) return newref(guard.module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!detail::copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
        !detail::copy_spec_attr(spec, dict, "origin", "__file__", false) ||
        !detail::copy_spec_attr(spec, dict, "parent", "__package__", false) ||
        !detail::copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// Fails a module execution: adds the init traceback entry, drops the held module so that a later import
// starts again, returns -1.
inline int module_exec_fail(ModuleGuard& guard, int line, const char* file) noexcept {
    if (guard.module) {
        if (PyErr_Occurred()) add_traceback(guard.init_name, line, file);
        Py_CLEAR(guard.module);
        guard.module_dict = nullptr;
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, guard.init_name);
    }
    return -1;
}

// The first execution steps shared by every module: re-initialisation guard, version check, holding the
// module, __builtins__, registration in sys.modules, the built-ins kept. Returns 1 when the module was
// already executed (nothing to do), 0 to go on with the module's own set-up, -1 on failure.
inline int module_exec_begin(PyObject* module, ModuleGuard& guard, const char* file) noexcept {
    if (guard.module) {
        if (guard.module == module) return 1;
        PyErr_Format(PyExc_RuntimeError, msg::kReinit, guard.short_name);
        return -1;
    }
    char built[16], running[4];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    std::snprintf(running, sizeof running, "%.3s", Py_GetVersion());
    if ((built[0] != running[0] || built[2] != running[2]) &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::kVersionMismatch, built, guard.full_name, running) < 0)
        return -1;
    guard.module = newref(module);
    guard.module_dict = PyModule_GetDict(module);
    Ref builtins_module(PyImport_ImportModule("builtins"));
    if (!builtins_module || PyDict_SetItemString(guard.module_dict, "__builtins__", builtins_module.get()) < 0)
        return module_exec_fail(guard, __LINE__, file);
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref full(PyUnicode_FromString(guard.full_name));
    if (!full) return module_exec_fail(guard, __LINE__, file);
    int has = PyDict_Contains(modules, full.get());
    if (has < 0 || (has == 0 && PyDict_SetItem(modules, full.get(), module) < 0))
        return module_exec_fail(guard, __LINE__, file);
    if (!guard.builtin_type_error && !(guard.builtin_type_error = detail::builtin(builtins_module.get(), "TypeError")))
        return module_exec_fail(guard, __LINE__, file);
    if (!guard.builtin_range && !(guard.builtin_range = detail::builtin(builtins_module.get(), "range")))
        return module_exec_fail(guard, __LINE__, file);
    return 0;
}

// Refuses pickling: the record classes hold native state that cannot be rebuilt from Python.
template <const char* Message>
PyObject* refuse_reduce(PyObject*, PyObject*) noexcept {
    return fail(PyExc_TypeError, Message);
}
template <const char* Message>
PyObject* refuse_setstate(PyObject*, PyObject*) noexcept {
    return fail(PyExc_TypeError, Message);
}

// The two refusing methods, under internal names; set_up_pickling moves them to __reduce__/__setstate__.
#define VX_PICKLING_REFUSAL(message)                                                                  \
    {"__reduce_cython__", reinterpret_cast<PyCFunction>(::vx::refuse_reduce<message>), METH_NOARGS, nullptr}, \
        {"__setstate_cython__", reinterpret_cast<PyCFunction>(::vx::refuse_setstate<message>), METH_O, nullptr}

namespace detail {

inline bool has_name(PyObject* method, const char* name) noexcept {
    Ref value(PyObject_GetAttrString(method, "__name__"));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), name) == 0;
}

inline PyObject* lookup(PyTypeObject* type, const char* name) noexcept {  // borrowed, no error
    Ref key(PyUnicode_InternFromString(name));
    if (!key) {
        PyErr_Clear();
        return nullptr;
    }
    return _PyType_Lookup(type, key.get());
}

}  // namespace detail

// Installs the refusing pair as __reduce__ and __setstate__ unless the class (or a base) brings pickling of
// its own: its own __getstate__ (other than object's), __reduce_ex__ or __reduce__.
inline bool set_up_pickling(PyTypeObject* type) noexcept {
    auto failed = [type]() {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, msg::kPicklingInit, type->tp_name);
        return false;
    };
    PyObject* getstate = detail::lookup(type, "__getstate__");
    if (getstate && getstate != detail::lookup(&PyBaseObject_Type, "__getstate__")) return true;
    PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    Ref object_reduce_ex(PyObject_GetAttrString(object, "__reduce_ex__"));
    Ref reduce_ex(PyObject_GetAttrString(cls, "__reduce_ex__"));
    if (!object_reduce_ex || !reduce_ex) return failed();
    if (reduce_ex.get() != object_reduce_ex.get()) return true;
    Ref object_reduce(PyObject_GetAttrString(object, "__reduce__"));
    Ref reduce(PyObject_GetAttrString(cls, "__reduce__"));
    if (!object_reduce || !reduce) return failed();
    if (reduce.get() != object_reduce.get() && !detail::has_name(reduce.get(), "__reduce_cython__")) return true;
    // A class whose refusal is already in place (a module executed again after a failed import) keeps it.
    PyObject* dict = type->tp_dict;
    PyObject* reduce_own = PyDict_GetItemString(dict, "__reduce_cython__");  // borrowed
    if (reduce_own) {
        if (PyDict_SetItemString(dict, "__reduce__", reduce_own) < 0 ||
            PyDict_DelItemString(dict, "__reduce_cython__") < 0)
            return failed();
    } else if (reduce.get() == object_reduce.get()) {
        return failed();
    }
    Ref setstate(PyObject_GetAttrString(cls, "__setstate__"));
    if (!setstate) PyErr_Clear();
    if (!setstate || detail::has_name(setstate.get(), "__setstate_cython__")) {
        PyObject* setstate_own = PyDict_GetItemString(dict, "__setstate_cython__");  // borrowed
        if (setstate_own) {
            if (PyDict_SetItemString(dict, "__setstate__", setstate_own) < 0 ||
                PyDict_DelItemString(dict, "__setstate_cython__") < 0)
                return failed();
        } else if (!setstate) {
            return failed();
        }
    }
    PyType_Modified(type);
    return true;
}

// Makes a static class ready, adds it to the module under its short name and sets up its pickling.
inline bool add_class(PyObject* module, PyTypeObject* type, const char* name, void* table = nullptr,
                      bool pickling_refusal = true) noexcept {
    if (PyType_Ready(type) < 0) return false;
    if (table && !set_vtable(type, table)) return false;
    if (PyModule_AddObject(module, name, newref(reinterpret_cast<PyObject*>(type))) < 0) {
        Py_DECREF(type);
        return false;
    }
    return !pickling_refusal || set_up_pickling(type);
}

}  // namespace vx

// The standard module-execution failure: traceback entry at this line, module released.
#define VX_EXEC_FAIL(guard) ::vx::module_exec_fail((guard), __LINE__, VX_SOURCE_FILE)

// Defines the module `full_name` (a string literal; entry point PyInit_<name>) with the shared create and execute
// guards and the module functions `methods` (null-terminated, or nullptr); `setup(module)` returns false with an
// error set when the module's own set-up fails.
#define VX_MODULE(name, full_name, doc, methods, setup)                                                        \
    namespace {                                                                                              \
    ::vx::ModuleGuard vx_guard{#name, full_name, "init " full_name};                                         \
    PyObject* vx_module_create(PyObject* spec, PyModuleDef*) { return ::vx::module_create(spec, vx_guard); } \
    int vx_module_exec(PyObject* module) {                                                                   \
        int begun = ::vx::module_exec_begin(module, vx_guard, VX_SOURCE_FILE);                               \
        if (begun != 0) return begun < 0 ? -1 : 0;                                                           \
        return (setup)(module) ? 0 : VX_EXEC_FAIL(vx_guard);                                                 \
    }                                                                                                        \
    PyModuleDef_Slot vx_module_slots[] = {                                                                   \
        {Py_mod_create, reinterpret_cast<void*>(vx_module_create)},                                          \
        {Py_mod_exec, reinterpret_cast<void*>(vx_module_exec)},                                              \
        {0, nullptr},                                                                                        \
    };                                                                                                       \
    PyModuleDef vx_module_def = {PyModuleDef_HEAD_INIT, #name, doc, 0, methods, vx_module_slots};            \
    }                                                                                                        \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&vx_module_def); }

// The same for the top-level module `vextal.<name>`, which has no module functions.
#define VX_TOP_LEVEL_MODULE(name, doc, setup) VX_MODULE(name, "vextal." #name, doc, nullptr, setup)
