// Fixed-layout records of a few scalars (the vector, quaternion and matrix types): typed access to the stored
// components, IEEE narrowing to float, component reprs, and classes of this kind imported from another module.
#pragma once
#include "native/capi.hpp"
#include "native/dispatch.hpp"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

namespace vx {

namespace detail {
template <class C, class T>
T member_type_of(T C::*);
template <auto First, auto...>
inline constexpr auto first_of = First;
}  // namespace detail

// A double rounded to the scalar type. For float this is IEEE round-to-nearest with overflow to infinity (a
// plain cast of an out-of-range double is undefined behaviour).
template <class Scalar>
inline Scalar narrow(double d) noexcept {
    if constexpr (std::is_same_v<Scalar, float>) {
        double a = std::fabs(d);
        // Beyond FLT_MAX by half an ulp (2^103) or more the nearest float is infinity.
        if (a > FLT_MAX && std::isfinite(a)) {
            float big = a < double(FLT_MAX) + 0x1p103 ? FLT_MAX : HUGE_VALF;
            return d < 0.0 ? -big : big;
        }
    }
    return static_cast<Scalar>(d);
}

// repr() of a stored component: a double as Python prints it; a float as the shortest decimal that reads back
// (through a Python float) to the same float, so that "Vector3f(0.1, 0.2, 0.3)" round-trips.
template <class Scalar>
inline PyObject* scalar_repr(Scalar value) noexcept {
    double d = value;
    if (std::is_same_v<Scalar, float> && std::isfinite(d)) {
        for (int digits = 1; digits < 9; ++digits) {
            char* text = PyOS_double_to_string(d, 'g', digits, 0, nullptr);
            if (!text) return nullptr;
            double shortest = PyOS_string_to_double(text, nullptr, nullptr);
            PyMem_Free(text);
            if (shortest == -1.0 && PyErr_Occurred()) return nullptr;
            if (static_cast<float>(shortest) == value) {
                d = shortest;
                break;
            }
        }
    }
    Ref number(PyFloat_FromDouble(d));
    return number ? PyObject_Repr(number.get()) : nullptr;
}

// The class name without its module, as repr() shows it ("Vector2", or a Python subclass's own name).
inline const char* short_name(PyTypeObject* type) noexcept {
    const char* dot = strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// repr() of a record: "<Class>(c0, c1, ...)" with the class's short name and the reprs of the `n` components
// that component(i) gives, so that evaluating it rebuilds the record.
template <class Component>
inline PyObject* record_repr(PyObject* self, Py_ssize_t n, Component component) noexcept {
    Ref parts(PyTuple_New(n));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* text = scalar_repr(component(i));
        if (!text) return nullptr;
        PyTuple_SET_ITEM(parts.get(), i, text);
    }
    Ref separator(PyUnicode_FromString(", "));
    Ref joined(separator ? PyUnicode_Join(separator.get(), parts.get()) : nullptr);
    return joined ? PyUnicode_FromFormat("%s(%U)", short_name(Py_TYPE(self)), joined.get()) : nullptr;
}

// A method-table row for a function of any of the PyCFunction shapes.
template <class F>
inline PyMethodDef method(const char* name, F* fn, int flags, const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), flags, doc};
}

// __reduce__ of a record: rebuild by calling the instance's class with `args` (a new reference, consumed),
// then restore the instance __dict__ of a Python subclass, where there is one.
inline PyObject* reduce_record(PyObject* self, PyObject* args) noexcept {
    Ref owned(args);
    if (!owned) return nullptr;
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject** dict = _PyObject_GetDictPtr(self);
    if (dict && *dict && PyDict_GET_SIZE(*dict) != 0) return PyTuple_Pack(3, cls, args, *dict);
    return PyTuple_Pack(2, cls, args);
}

// The most table entries a record class of the generic implementations has.
inline constexpr int kMaxEntries = 12;

// The texts of a static record class: its dotted name, its documentation and its entries' qualified names.
struct ClassText {
    std::string name, doc;
    std::string qualnames[kMaxEntries];
};

// What every record class fills alike: name ("<module>.<class>"), size, flags (subclassable), documentation
// (text.doc, set by the caller), methods, and its table's override sites, named after its first `entries`
// methods (which follow the table's order). False with an error set when the names cannot be made.
inline bool fill_class(PyTypeObject& t, ClassText& text, const char* module, const char* cls, Py_ssize_t size,
                       PyMethodDef* methods, OverrideSite* sites, int entries) noexcept {
    if (entries > kMaxEntries) return fail(PyExc_SystemError, msg::kTooManyEntries), false;
    try {
        text.name = std::string(module) + "." + cls;
        for (int i = 0; i < entries; ++i) text.qualnames[i] = text.name + "." + methods[i].ml_name;
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    for (int i = 0; i < entries; ++i) {
        sites[i].qualname = text.qualnames[i].c_str();
        sites[i].wrapper = reinterpret_cast<void*>(methods[i].ml_meth);
    }
    t.tp_name = text.name.c_str();
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = text.doc.c_str();
    t.tp_methods = methods;
    return true;
}

// The layout of a record class: `Data` (a member of ObjectT) holds the scalars `Members...` in order; the
// table pointer `vtab` precedes it. Arithmetic runs on doubles (`Values`), storage is in the scalar type.
template <class ObjectT, auto Data, auto... Members>
struct Layout {
    using Object = ObjectT;
    using Table = std::remove_pointer_t<decltype(std::declval<Object&>().vtab)>;
    using DataType = decltype(detail::member_type_of(Data));
    using Scalar = decltype(detail::member_type_of(detail::first_of<Members...>));
    static constexpr size_t N = sizeof...(Members);
    using Values = std::array<double, N>;

    static Values load(const Object* o) noexcept {
        const DataType& d = o->*Data;
        return {{static_cast<double>(d.*Members)...}};
    }
    static void store(Object* o, const Values& v) noexcept {
        DataType& d = o->*Data;
        size_t i = 0;
        ((d.*Members = narrow<Scalar>(v[i++])), ...);
    }
    static Scalar& at(Object* o, size_t i) noexcept {
        static constexpr Scalar DataType::*members[] = {Members...};
        return (o->*Data).*members[i];
    }
};

// A record class of another module, imported with its size checked and its table taken; `Tr` is its Layout
// with kModule and kClass (the module and class names).
template <class Tr>
struct Imported {
    PyTypeObject* type = nullptr;
    typename Tr::Table* table = nullptr;

    bool import() noexcept {
        Ref module(PyImport_ImportModule(Tr::kModule));
        if (!module) return false;
        void* vtab = nullptr;
        type = import_class(module.get(), Tr::kModule, Tr::kClass, sizeof(typename Tr::Object), &vtab);
        table = static_cast<typename Tr::Table*>(vtab);
        return type != nullptr;
    }

    bool is_instance(PyObject* o) const noexcept { return Py_TYPE(o) == type || PyType_IsSubtype(Py_TYPE(o), type); }

    // A new exact instance holding `v`: what calling the class with the components gives, without the call.
    PyObject* make(const typename Tr::Values& v) const noexcept {
        auto* o = reinterpret_cast<typename Tr::Object*>(type->tp_alloc(type, 0));
        if (!o) return nullptr;
        o->vtab = table;
        Tr::store(o, v);
        return reinterpret_cast<PyObject*>(o);
    }
};

}  // namespace vx
