// A test-only extension module that uses the vextal math classes the way another extension module would: it
// includes only the published headers (vextal.get_include()), imports each class by module and class name,
// checks its instance size and takes its native table from the "__pyx_vtable__" capsule. Python calls
//     call(class_name, entry_name, instance, args_tuple, skip_dispatch)
// run one table entry through the instance's table pointer, with object arguments passed through unchecked
// (the entries check them), doubles and ints converted, and the result boxed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vextal/matrix4.hpp>
#include <vextal/matrix4f.hpp>
#include <vextal/quaternion.hpp>
#include <vextal/quaternionf.hpp>
#include <vextal/vector2.hpp>
#include <vextal/vector3.hpp>
#include <vextal/vector3f.hpp>
#include <vextal/vector4.hpp>
#include <vextal/vector4f.hpp>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>

namespace {

// ---- importing a class: module, class, type check, size check, table --------------------------------------

// A new reference to the class, its table in *table; null with an exception set on failure. A smaller instance
// size than expected is an error, a larger one a warning (the class may have grown compatibly).
PyTypeObject* import_class(const char* module_name, const char* class_name, Py_ssize_t size, void** table) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (!module) return nullptr;
    PyObject* cls = PyObject_GetAttrString(module, class_name);
    Py_DECREF(module);
    if (!cls) return nullptr;
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type object", module_name, class_name);
        Py_DECREF(cls);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_basicsize < size) {
        PyErr_Format(PyExc_ValueError, "%s.%s size changed: expected %zd, got %zd", module_name, class_name, size,
                     type->tp_basicsize);
        Py_DECREF(cls);
        return nullptr;
    }
    if (type->tp_basicsize > size &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0, "%s.%s size changed: expected %zd, got %zd", module_name, class_name,
                         size, type->tp_basicsize) < 0) {
        Py_DECREF(cls);
        return nullptr;
    }
    PyObject* capsule = PyDict_GetItemString(type->tp_dict, "__pyx_vtable__");  // borrowed
    *table = capsule ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
    if (!*table) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        Py_DECREF(cls);
        return nullptr;
    }
    return type;
}

// ---- calling an entry with Python arguments ---------------------------------------------------------------

bool convert(PyObject* o, double& out) {
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

bool convert(PyObject* o, int& out) {
    long value = PyLong_AsLong(o);
    if (value == -1 && PyErr_Occurred()) return false;
    out = static_cast<int>(value);
    return true;
}

template <class Object>
bool convert(PyObject* o, Object*& out) {  // any object: the entry must check it
    out = reinterpret_cast<Object*>(o);
    return true;
}

PyObject* box(PyObject* result) { return result; }

// A double entry never raises: an exception left pending would be a fault of the entry.
PyObject* box(double result) {
    if (PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_SystemError, "double entry returned with an exception set");
        return nullptr;
    }
    return PyFloat_FromDouble(result);
}

PyObject* box(int result) {
    if (result == -1 && PyErr_Occurred()) return nullptr;
    return PyLong_FromLong(result);
}

template <class R, class Self, class... Rest, size_t... I>
PyObject* call_with(R (*entry)(Self*, Rest...), PyObject* self, PyObject* args, int skip_dispatch,
                    std::index_sequence<I...>) {
    using Params = std::tuple<Rest...>;
    (void)args;  // unused by entries without arguments
    std::tuple<std::tuple_element_t<I, Params>...> values;
    if (!(convert(PyTuple_GET_ITEM(args, I), std::get<I>(values)) && ...)) return nullptr;
    return box(entry(reinterpret_cast<Self*>(self), std::get<I>(values)..., skip_dispatch));
}

// entry(self, args..., skip_dispatch): the last parameter is the flag.
template <class R, class Self, class... Rest>
PyObject* invoke(R (*entry)(Self*, Rest...), PyObject* self, PyObject* args, int skip_dispatch) {
    constexpr Py_ssize_t n = sizeof...(Rest) - 1;  // the flag is last
    if (PyTuple_GET_SIZE(args) != n) {
        PyErr_Format(PyExc_TypeError, "this entry takes %zd arguments (%zd given)", n, PyTuple_GET_SIZE(args));
        return nullptr;
    }
    return call_with(entry, self, args, skip_dispatch, std::make_index_sequence<n>{});
}

using Invoker = PyObject* (*)(PyObject* self, PyObject* args, int skip_dispatch);

struct Imported {
    PyTypeObject* type = nullptr;
    void* table = nullptr;
    std::map<std::string, Invoker> entries;
};

std::map<std::string, Imported> classes;

template <class Object>
Object* instance(PyObject* self, const char* class_name) {
    PyTypeObject* type = classes[class_name].type;
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "expected a %s, got %s", type->tp_name, Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<Object*>(self);
}

// An invoker calling entry `name` through the instance's own table pointer, as compiled callers do.
#define ENTRY(Object, class_name, name)                                                   \
    {#name, [](PyObject* self, PyObject* args, int skip) -> PyObject* {                  \
         Object* o = instance<Object>(self, class_name);                                  \
         return o ? invoke(o->vtab->name, self, args, skip) : nullptr;                    \
     }},

#define VECTOR3_ENTRIES(X, O, C)                                                                                      \
    X(O, C, magnitude_squared) X(O, C, magnitude) X(O, C, dot) X(O, C, cross) X(O, C, add) X(O, C, subtract)         \
    X(O, C, multiply) X(O, C, divide) X(O, C, negate) X(O, C, normalize) X(O, C, distance) X(O, C, angle)            \
    X(O, C, transform) X(O, C, transform_direction) X(O, C, scale) X(O, C, lerp) X(O, C, project) X(O, C, reject)   \
    X(O, C, rotate) X(O, C, minimum) X(O, C, maximum) X(O, C, is_close) X(O, C, copy) X(O, C, set) X(O, C, to_tuple)
#define MATRIX4_ENTRIES(X, O, C) \
    X(O, C, inverse) X(O, C, transpose) X(O, C, multiply) X(O, C, determinant) X(O, C, transform) X(O, C, get) \
    X(O, C, trace) X(O, C, is_close)
#define SMALL_VECTOR_ENTRIES(X, O, C)                                                                         \
    X(O, C, magnitude_squared) X(O, C, magnitude) X(O, C, dot) X(O, C, add) X(O, C, subtract) X(O, C, multiply) \
    X(O, C, negate) X(O, C, normalize) X(O, C, distance)
#define QUATERNION_ENTRIES(X, O, C)                                                                           \
    X(O, C, magnitude_squared) X(O, C, magnitude) X(O, C, dot) X(O, C, add) X(O, C, subtract) X(O, C, multiply) \
    X(O, C, conjugate) X(O, C, inverse) X(O, C, normalize) X(O, C, rotate)

template <class Object>
bool add_class(const char* module, const char* name, std::map<std::string, Invoker> entries) {
    Imported& c = classes[name];
    c.type = import_class(module, name, sizeof(Object), &c.table);
    c.entries = std::move(entries);
    return c.type != nullptr;
}

bool import_all() {
    using namespace vextal;
    return add_class<Vector3Object>(kVector3Module, kVector3Class,
                                    {VECTOR3_ENTRIES(ENTRY, Vector3Object, "Vector3")}) &&
           add_class<Matrix4Object>(kMatrix4Module, kMatrix4Class,
                                    {MATRIX4_ENTRIES(ENTRY, Matrix4Object, "Matrix4")}) &&
           add_class<Matrix4fObject>(kMatrix4fModule, kMatrix4fClass,
                                     {MATRIX4_ENTRIES(ENTRY, Matrix4fObject, "Matrix4f")}) &&
           add_class<Vector2Object>(kVector2Module, kVector2Class,
                                    {SMALL_VECTOR_ENTRIES(ENTRY, Vector2Object, "Vector2")}) &&
           add_class<Vector4Object>(kVector4Module, kVector4Class,
                                    {SMALL_VECTOR_ENTRIES(ENTRY, Vector4Object, "Vector4")}) &&
           add_class<Vector3fObject>(kVector3fModule, kVector3fClass,
                                     {SMALL_VECTOR_ENTRIES(ENTRY, Vector3fObject, "Vector3f")}) &&
           add_class<Vector4fObject>(kVector4fModule, kVector4fClass,
                                     {SMALL_VECTOR_ENTRIES(ENTRY, Vector4fObject, "Vector4f")}) &&
           add_class<QuaternionObject>(kQuaternionModule, kQuaternionClass,
                                       {QUATERNION_ENTRIES(ENTRY, QuaternionObject, "Quaternion")}) &&
           add_class<QuaternionfObject>(kQuaternionfModule, kQuaternionfClass,
                                        {QUATERNION_ENTRIES(ENTRY, QuaternionfObject, "Quaternionf")});
}

// ---- Python functions ---------------------------------------------------------------------------------------

PyObject* py_call(PyObject*, PyObject* args) {
    const char *class_name, *entry_name;
    PyObject *self, *entry_args;
    int skip_dispatch;
    if (!PyArg_ParseTuple(args, "ssOO!i", &class_name, &entry_name, &self, &PyTuple_Type, &entry_args, &skip_dispatch))
        return nullptr;
    auto c = classes.find(class_name);
    if (c == classes.end()) return PyErr_Format(PyExc_KeyError, "no class %s", class_name);
    auto e = c->second.entries.find(entry_name);
    if (e == c->second.entries.end()) return PyErr_Format(PyExc_KeyError, "no entry %s.%s", class_name, entry_name);
    return e->second(self, entry_args, skip_dispatch);
}

// How many entries the client knows for a class.
PyObject* py_entry_count(PyObject*, PyObject* name) {
    const char* class_name = PyUnicode_AsUTF8(name);
    if (!class_name) return nullptr;
    auto c = classes.find(class_name);
    if (c == classes.end()) return PyErr_Format(PyExc_KeyError, "no class %s", class_name);
    return PyLong_FromSize_t(c->second.entries.size());
}

// import_class(module, class, size): the import check alone, with a chosen expected size. Returns the class.
PyObject* py_import_class(PyObject*, PyObject* args) {
    const char *module, *name;
    Py_ssize_t size;
    void* table;
    if (!PyArg_ParseTuple(args, "ssn", &module, &name, &size)) return nullptr;
    return reinterpret_cast<PyObject*>(import_class(module, name, size, &table));
}

// The table pointer of an instance equals the one published by its class (and of a Python subclass).
PyObject* py_uses_class_table(PyObject*, PyObject* args) {
    const char* class_name;
    PyObject* self;
    if (!PyArg_ParseTuple(args, "sO", &class_name, &self)) return nullptr;
    auto c = classes.find(class_name);
    if (c == classes.end()) return PyErr_Format(PyExc_KeyError, "no class %s", class_name);
    if (!PyObject_TypeCheck(self, c->second.type)) return PyErr_Format(PyExc_TypeError, "not a %s", class_name);
    // Every record starts with the object header and then its table pointer.
    void* vtab = *reinterpret_cast<void**>(reinterpret_cast<char*>(self) + sizeof(PyObject));
    return PyBool_FromLong(vtab == c->second.table);
}

// The components of a Vector3 read straight from its record, as the orbit modules do.
PyObject* py_vector3_components(PyObject*, PyObject* self) {
    auto* v = instance<vextal::Vector3Object>(self, "Vector3");
    return v ? Py_BuildValue("(ddd)", v->_vector.x, v->_vector.y, v->_vector.z) : nullptr;
}

PyMethodDef functions[] = {
    {"call", py_call, METH_VARARGS, "call(class_name, entry, self, args, skip_dispatch)"},
    {"entry_count", py_entry_count, METH_O, "entry_count(class_name)"},
    {"import_class", py_import_class, METH_VARARGS, "import_class(module, class, size)"},
    {"uses_class_table", py_uses_class_table, METH_VARARGS, "uses_class_table(class_name, instance)"},
    {"vector3_components", py_vector3_components, METH_O, "vector3_components(v)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vector_client", "Calls the vextal math tables natively.", -1,
                          functions, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vector_client() {
    if (!import_all()) return nullptr;
    return PyModule_Create(&module_def);
}
