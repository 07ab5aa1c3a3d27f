// Test client: uses vextal.astro.transfer_planner the way another extension module would, from the published
// header alone: finds plan_lambert in the module's "__pyx_capi__" by name and exact signature, calls it with
// the options record null or filled, and reads the burn records' fields at their published offsets.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vextal/astro/transfer_planner.hpp>

#include <cstring>

namespace {

using namespace vextal;

PlanLambertFunction plan_lambert = nullptr;
PyTypeObject* satburn_type = nullptr;
PyTypeObject* result_type = nullptr;

PyTypeObject* sized_class(PyObject* module, const char* name, Py_ssize_t size) {
    PyObject* type = PyObject_GetAttrString(module, name);
    if (type && (!PyType_Check(type) || reinterpret_cast<PyTypeObject*>(type)->tp_basicsize != size)) {
        PyErr_Format(PyExc_ValueError, "%s: not a class of the declared size %zd", name, size);
        Py_CLEAR(type);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

// import(): looks plan_lambert up and returns the capsule's name as found.
PyObject* import_planner(PyObject*, PyObject*) {
    PyObject* module = PyImport_ImportModule(kTransferPlannerModule);
    if (!module) return nullptr;
    PyObject* name = nullptr;
    PyObject* capi = PyObject_GetAttrString(module, "__pyx_capi__");
    PyObject* capsule = capi ? PyDict_GetItemString(capi, "plan_lambert") : nullptr;  // borrowed
    if (capi && !capsule) PyErr_SetString(PyExc_ImportError, "no plan_lambert in __pyx_capi__");
    if (capsule) {
        const char* found = PyCapsule_GetName(capsule);
        if (!found || std::strcmp(found, kPlanLambertSignature) != 0) {
            PyErr_Format(PyExc_TypeError, "plan_lambert has signature %s", found ? found : "(none)");
        } else {
            plan_lambert = reinterpret_cast<PlanLambertFunction>(PyCapsule_GetPointer(capsule, found));
            satburn_type = sized_class(module, "SatBurn", sizeof(SatBurnObject));
            result_type = sized_class(module, "LambertMultiRevResult", sizeof(LambertMultiRevResultObject));
            if (plan_lambert && satburn_type && result_type) name = PyUnicode_FromString(found);
        }
    }
    Py_XDECREF(capi);
    Py_DECREF(module);
    return name;
}

// plan(initial, target, deltat_sec, count=-1, is_prograde=0, max_revs=0, skip_dispatch=0): a count of -1
// passes a null options record.
PyObject* plan(PyObject*, PyObject* args) {
    PyObject *initial, *target;
    double seconds;
    int count = -1, is_prograde = 0, max_revs = 0, skip_dispatch = 0;
    if (!PyArg_ParseTuple(args, "OOd|iiii", &initial, &target, &seconds, &count, &is_prograde, &max_revs,
                          &skip_dispatch))
        return nullptr;
    if (!plan_lambert) return PyErr_Format(PyExc_RuntimeError, "import() first");
    PlanLambertOptArgs options{count, is_prograde, max_revs};
    return plan_lambert(reinterpret_cast<ECIObject*>(initial), reinterpret_cast<ECIObject*>(target), seconds,
                        skip_dispatch, count < 0 ? nullptr : &options);
}

// fields(record): (time, delta_v) of a SatBurn or (burns,) of a LambertMultiRevResult, read natively.
PyObject* fields(PyObject*, PyObject* record) {
    if (satburn_type && PyObject_TypeCheck(record, satburn_type)) {
        auto* burn = reinterpret_cast<SatBurnObject*>(record);
        return Py_BuildValue("(dO)", burn->time, burn->delta_v);
    }
    if (result_type && PyObject_TypeCheck(record, result_type))
        return Py_BuildValue("(O)", reinterpret_cast<LambertMultiRevResultObject*>(record)->burns);
    return PyErr_Format(PyExc_TypeError, "not a planner record");
}

// vectorcall(func, values, kwnames): calls func with the values (positional ones, then one per keyword
// name) and the keyword names exactly as given, unchecked.
PyObject* vectorcall(PyObject*, PyObject* args) {
    PyObject *func, *values, *kwnames;
    if (!PyArg_ParseTuple(args, "OO!O!", &func, &PyTuple_Type, &values, &PyTuple_Type, &kwnames)) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(values), nkw = PyTuple_GET_SIZE(kwnames);
    if (n < nkw || n > 16) return PyErr_Format(PyExc_ValueError, "bad call shape");
    PyObject* stack[16];
    for (Py_ssize_t i = 0; i < n; ++i) stack[i] = PyTuple_GET_ITEM(values, i);
    return PyObject_Vectorcall(func, stack, n - nkw, nkw ? kwnames : nullptr);
}

// exec_again(module): executes the module's definition against a second, new module object.
PyObject* exec_again(PyObject*, PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return nullptr;
    PyObject* other = PyModule_New("transfer_planner_again");
    if (!other) return nullptr;
    if (PyModule_ExecDef(other, def) < 0) {
        Py_DECREF(other);
        return nullptr;
    }
    return other;
}

PyMethodDef methods[] = {
    {"import_planner", import_planner, METH_NOARGS, nullptr},
    {"plan", plan, METH_VARARGS, nullptr},
    {"fields", fields, METH_O, nullptr},
    {"vectorcall", vectorcall, METH_VARARGS, nullptr},
    {"exec_again", exec_again, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "planner_client", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_planner_client() { return PyModule_Create(&module_def); }
