// Vector3 as seen from another of our modules: imported with its size checked, built natively.
#pragma once
#include "native/capi.hpp"

#include <vextal/vector3.hpp>

namespace vx {

struct Vector3Api {
    PyTypeObject* type = nullptr;
    vextal::Vector3Table* table = nullptr;

    // Imports vextal.vector3.Vector3 (size 48) and its table; `module` may be the already imported module.
    bool import(PyObject* module = nullptr) noexcept {
        Ref owned;
        if (!module) {
            owned = Ref(PyImport_ImportModule(vextal::kVector3Module));
            if (!owned) return false;
            module = owned.get();
        }
        void* vtab = nullptr;
        type = import_class(module, vextal::kVector3Module, vextal::kVector3Class, sizeof(vextal::Vector3Object), &vtab);
        table = static_cast<vextal::Vector3Table*>(vtab);
        return type != nullptr;
    }

    bool is_vector(PyObject* obj) const noexcept {
        return Py_TYPE(obj) == type || PyType_IsSubtype(Py_TYPE(obj), type);
    }

    // A new exact Vector3 holding (x, y, z): what Vector3(x, y, z) gives, without the call.
    PyObject* make(double x, double y, double z) const noexcept {
        auto* v = reinterpret_cast<vextal::Vector3Object*>(type->tp_alloc(type, 0));
        if (!v) return nullptr;
        v->vtab = table;
        v->_vector = {x, y, z};
        return reinterpret_cast<PyObject*>(v);
    }

    static vextal::Vector3Data& data(PyObject* vector) noexcept {
        return reinterpret_cast<vextal::Vector3Object*>(vector)->_vector;
    }
};

}  // namespace vx
