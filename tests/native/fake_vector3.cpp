// Test-only stand-in for vextal.vector3: a native Vector3 class whose instances are 8 bytes larger than the
// published layout (a native class, since LLH, a native class, derives from it). Its table is never called.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

struct BigVector3 {
    PyObject_HEAD
    void* vtab;
    double x, y, z;
    double extra;
};

void* table[25] = {};
PyTypeObject BigVector3_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fake_vector3", nullptr, -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_fake_vector3() {
    BigVector3_Type.tp_name = "vextal.vector3.Vector3";
    BigVector3_Type.tp_basicsize = sizeof(BigVector3);
    BigVector3_Type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    BigVector3_Type.tp_new = PyType_GenericNew;
    if (PyType_Ready(&BigVector3_Type) < 0) return nullptr;
    PyObject* capsule = PyCapsule_New(table, nullptr, nullptr);
    if (!capsule || PyDict_SetItemString(BigVector3_Type.tp_dict, "__pyx_vtable__", capsule) < 0) return nullptr;
    Py_DECREF(capsule);
    PyType_Modified(&BigVector3_Type);
    PyObject* module = PyModule_Create(&module_def);
    Py_INCREF(&BigVector3_Type);
    if (!module || PyModule_AddObject(module, "Vector3", reinterpret_cast<PyObject*>(&BigVector3_Type)) < 0)
        return nullptr;
    return module;
}
