// Sharing classes and functions between extension modules: native tables published in a class's dict under
// "__pyx_vtable__", functions published in a module's "__pyx_capi__" dict as capsules named by their C
// signature, and the instance-size check made when a class is imported.
#pragma once
#include "native/errors.hpp"

#include <cstring>

namespace vx {

inline PyObject* vtable_key() noexcept {
    static PyObject* key = PyUnicode_InternFromString("__pyx_vtable__");
    return key;
}

// Publishes `table` in the class dict. Call after PyType_Ready.
inline bool set_vtable(PyTypeObject* type, void* table) noexcept {
    Ref capsule(PyCapsule_New(table, nullptr, nullptr));
    if (!capsule || !vtable_key() || PyDict_SetItem(type->tp_dict, vtable_key(), capsule.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

// The native table a class publishes; null with KeyError or RuntimeError when there is none.
inline void* get_vtable(PyTypeObject* type) noexcept {
    if (!vtable_key()) return nullptr;
    Ref capsule(PyObject_GetItem(type->tp_dict, vtable_key()));
    if (!capsule) return nullptr;
    // Anything but an unnamed capsule (which always holds a pointer) is refused the same way.
    if (!PyCapsule_IsValid(capsule.get(), nullptr)) return fail(PyExc_RuntimeError, msg::kInvalidVtable);
    return PyCapsule_GetPointer(capsule.get(), nullptr);
}

// Takes class `cls` of the imported module `module` (named `modname`) and checks that it is a type whose
// instances are at least `size` bytes (larger only warns). With `table`, also fetches its native table.
// Returns a new reference to the class.
inline PyTypeObject* import_class(PyObject* module, const char* modname, const char* cls, Py_ssize_t size,
                                  void** table = nullptr) noexcept {
    Ref obj(PyObject_GetAttrString(module, cls));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) return fail_format(PyExc_TypeError, msg::kNotAType, modname, cls);
    auto* type = obj.as<PyTypeObject>();
    Py_ssize_t actual = type->tp_basicsize;
    if (actual < size) return fail_format(PyExc_ValueError, msg::kSizeSmaller, modname, cls, size, actual);
    if (actual > size && PyErr_WarnFormat(PyExc_RuntimeWarning, 0, msg::kSizeLarger, modname, cls, size, actual) < 0)
        return nullptr;
    if (table && !(*table = get_vtable(type))) return nullptr;
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// Publishes native function `fn` in the module's "__pyx_capi__" dict under `name`, as a capsule named
// `signature` (a string literal: the capsule keeps the pointer).
inline bool export_function(PyObject* module, const char* name, void* fn, const char* signature) noexcept {
    Ref capi(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!capi) {
        PyErr_Clear();
        capi = Ref(PyDict_New());
        if (!capi || PyObject_SetAttrString(module, "__pyx_capi__", capi.get()) < 0) return false;
    }
    Ref capsule(PyCapsule_New(fn, signature, nullptr));
    return capsule && PyDict_SetItemString(capi.get(), name, capsule.get()) == 0;
}

// The native function `name` that module `modname` publishes, checked against the expected signature.
inline void* import_function(PyObject* module, const char* modname, const char* name, const char* signature) noexcept {
    Ref capi(PyObject_GetAttrString(module, "__pyx_capi__"));
    if (!capi) return nullptr;
    PyObject* capsule = PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), name) : nullptr;  // borrowed
    if (!capsule) return fail_format(PyExc_ImportError, msg::kMissingCFunction, modname, name);
    if (!PyCapsule_CheckExact(capsule)) return fail_format(PyExc_TypeError, msg::kWrongSignature, modname, name,
                                                           signature, Py_TYPE(capsule)->tp_name);
    const char* got = PyCapsule_GetName(capsule);
    if (!got) got = "";
    if (strcmp(got, signature) != 0)
        return fail_format(PyExc_TypeError, msg::kWrongSignature, modname, name, signature, got);
    return PyCapsule_GetPointer(capsule, got);
}

}  // namespace vx
