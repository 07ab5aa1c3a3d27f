// Test client: imports the state classes of vextal.astro.orbitvector the way another extension module would
// (import, instance-size check, table from the "__pyx_vtable__" capsule), from the published headers alone,
// and calls every native table entry.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vextal/astro/orbitvector.hpp>

#include <cstring>
#include <initializer_list>

namespace {

using namespace vextal;

struct Imported {
    const char* name;
    Py_ssize_t size;
    PyTypeObject* type;
    void* table;
};

Imported classes[] = {
    {"ECI", sizeof(ECIObject), nullptr, nullptr},
    {"EFG", sizeof(EFGObject), nullptr, nullptr},
    {"RIC", sizeof(RICObject), nullptr, nullptr},
    {"LLH", sizeof(LLHObject), nullptr, nullptr},
};
enum { kECI, kEFG, kRIC, kLLH };
Vector3Table* vector3_table = nullptr;

void* capsule_pointer(PyObject* type) {
    PyObject* capsule = PyObject_GetAttrString(type, "__pyx_vtable__");
    if (!capsule) return nullptr;
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);
    return table;
}

bool import_class(PyObject* module, Imported& c) {
    PyObject* type = PyObject_GetAttrString(module, c.name);
    if (!type) return false;
    if (!PyType_Check(type) || reinterpret_cast<PyTypeObject*>(type)->tp_basicsize != c.size) {
        PyErr_Format(PyExc_ValueError, "%s: not a class of the declared size %zd", c.name, c.size);
        Py_DECREF(type);
        return false;
    }
    c.type = reinterpret_cast<PyTypeObject*>(type);
    c.table = capsule_pointer(type);
    return c.table != nullptr;
}

template <class T>
T* as(PyObject* o) {
    return reinterpret_cast<T*>(o);
}

PyObject* boxed(double d) { return PyFloat_FromDouble(d); }

// One native call of `entry` ("ECI.compute_sma", "RIC.to_eci", ...) on `self`; `arg` is the chief where
// the entry takes one. The instance must be of the entry's class; the chief is passed as it is.
PyObject* call_entry(const char* entry, PyObject* self, PyObject* arg, int skip) {
    auto check = [self](int cls) {
        if (PyObject_TypeCheck(self, classes[cls].type)) return true;
        PyErr_Format(PyExc_TypeError, "instance of %s required", classes[cls].name);
        return false;
    };
    auto* eci = static_cast<ECITable*>(classes[kECI].table);
    if (!strncmp(entry, "ECI.", 4)) {
        if (!check(kECI)) return nullptr;
        auto* s = as<ECIObject>(self);
        const char* name = entry + 4;
        if (!strcmp(name, "to_ric")) return eci->to_ric(s, as<ECIObject>(arg), skip);
        if (!strcmp(name, "eci_to_ric")) return eci->eci_to_ric(s, skip);
        if (!strcmp(name, "compute_sma")) return boxed(eci->compute_sma(s, skip));
        if (!strcmp(name, "compute_mean_motion")) return boxed(eci->compute_mean_motion(s, skip));
        if (!strcmp(name, "compute_energy")) return boxed(eci->compute_energy(s, skip));
        if (!strcmp(name, "compute_period")) return boxed(eci->compute_period(s, skip));
    } else if (!strncmp(entry, "EFG.", 4)) {
        if (!check(kEFG)) return nullptr;
        auto* efg = static_cast<EFGTable*>(classes[kEFG].table);
        if (!strcmp(entry + 4, "to_eci")) return efg->to_eci(as<EFGObject>(self), skip);
        if (!strcmp(entry + 4, "to_llh")) return efg->to_llh(as<EFGObject>(self), skip);
    } else if (!strcmp(entry, "RIC.to_eci")) {
        if (!check(kRIC)) return nullptr;
        return static_cast<RICTable*>(classes[kRIC].table)->to_eci(as<RICObject>(self), as<ECIObject>(arg), skip);
    } else if (!strncmp(entry, "LLH.", 4)) {
        if (!check(kLLH)) return nullptr;
        auto* llh = static_cast<LLHTable*>(classes[kLLH].table);
        if (!strcmp(entry + 4, "to_efg")) return llh->to_efg(as<LLHObject>(self), skip);
        // One of the entries copied from Vector3's table.
        if (!strcmp(entry + 4, "magnitude")) return boxed(llh->base.magnitude(as<Vector3Object>(self), skip));
    }
    return PyErr_Format(PyExc_ValueError, "unknown entry %s", entry);
}

const char* entry_of(PyObject* name) {
    const char* entry = PyUnicode_AsUTF8(name);
    return entry;
}

// call(entry, self, skip_dispatch[, chief])
PyObject* py_call(PyObject*, PyObject* args) {
    PyObject *name, *self, *arg = Py_None;
    int skip;
    if (!PyArg_ParseTuple(args, "UOi|O", &name, &self, &skip, &arg)) return nullptr;
    const char* entry = entry_of(name);
    return entry ? call_entry(entry, self, arg, skip) : nullptr;
}

// repeat(entry, self, n, skip_dispatch[, chief]): n native calls in a loop (for benchmarks); the last result.
PyObject* py_repeat(PyObject*, PyObject* args) {
    PyObject *name, *self, *arg = Py_None;
    Py_ssize_t n;
    int skip;
    if (!PyArg_ParseTuple(args, "UOni|O", &name, &self, &n, &skip, &arg)) return nullptr;
    const char* entry = entry_of(name);
    if (!entry) return nullptr;
    if (!strcmp(entry, "ECI.compute_energy") && PyObject_TypeCheck(self, classes[kECI].type)) {
        // The double entry without boxing, so that the loop times the call itself.
        auto* eci = static_cast<ECITable*>(classes[kECI].table);
        double sum = 0.0;
        for (Py_ssize_t i = 0; i < n; ++i) sum += eci->compute_energy(as<ECIObject>(self), skip);
        return boxed(sum / (n ? n : 1));
    }
    PyObject* last = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_XDECREF(last);
        if (!(last = call_entry(entry, self, arg, skip))) return nullptr;
    }
    if (!last) Py_RETURN_NONE;
    return last;
}

// The table an instance carries, and the one its class publishes, as addresses.
PyObject* py_vtab_of(PyObject*, PyObject* self) {
    if (PyObject_TypeCheck(self, classes[kLLH].type))
        return PyLong_FromVoidPtr(as<LLHObject>(self)->base.vtab);
    for (int c : {kECI, kEFG, kRIC}) {
        if (PyObject_TypeCheck(self, classes[c].type)) return PyLong_FromVoidPtr(as<ECIObject>(self)->vtab);
    }
    return PyErr_Format(PyExc_TypeError, "not a state or LLH");
}

PyObject* py_table_of(PyObject*, PyObject* type) {
    void* table = capsule_pointer(type);
    return table ? PyLong_FromVoidPtr(table) : nullptr;
}

// True when LLH's table starts with Vector3's 25 entries, unchanged.
PyObject* py_llh_table_copies_vector3(PyObject*, PyObject*) {
    auto* llh = static_cast<LLHTable*>(classes[kLLH].table);
    return PyBool_FromLong(memcmp(&llh->base, vector3_table, sizeof(Vector3Table)) == 0);
}

// callable(*args, **kwargs) without the interpreter's own checks of the keyword names.
PyObject* py_call_with_kwargs(PyObject*, PyObject* args) {
    PyObject *callable, *pos, *kw;
    if (!PyArg_ParseTuple(args, "OO!O!", &callable, &PyTuple_Type, &pos, &PyDict_Type, &kw)) return nullptr;
    return PyObject_Call(callable, pos, kw);
}

PyMethodDef methods[] = {
    {"call", py_call, METH_VARARGS, nullptr},
    {"repeat", py_repeat, METH_VARARGS, nullptr},
    {"vtab_of", py_vtab_of, METH_O, nullptr},
    {"table_of", py_table_of, METH_O, nullptr},
    {"llh_table_copies_vector3", py_llh_table_copies_vector3, METH_NOARGS, nullptr},
    {"call_with_kwargs", py_call_with_kwargs, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "orbit_client", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_orbit_client() {
    PyObject* orbitvector = PyImport_ImportModule(kOrbitVectorModule);
    if (!orbitvector) return nullptr;
    bool ok = true;
    for (Imported& c : classes) ok = ok && import_class(orbitvector, c);
    Py_DECREF(orbitvector);
    if (!ok) return nullptr;
    PyObject* vector3 = PyImport_ImportModule(kVector3Module);
    PyObject* cls = vector3 ? PyObject_GetAttrString(vector3, kVector3Class) : nullptr;
    Py_XDECREF(vector3);
    vector3_table = cls ? static_cast<Vector3Table*>(capsule_pointer(cls)) : nullptr;
    Py_XDECREF(cls);
    if (!vector3_table) return nullptr;
    return PyModule_Create(&module_def);
}
