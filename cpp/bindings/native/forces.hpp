// Force models handed to the bindings as vextal.astro.forces packs them (Model.packed): the one reader that
// every module taking a model (arrays' propagation, the porkchop grid's flight) shares.
#pragma once
#include "native/args.hpp"
#include "native/errors.hpp"
#include "native/numpy.hpp"
#include "native/ref.hpp"
#include "core/forces/force.hpp"
#include "core/forces/model.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vx {

// The `forces` argument: a sequence of (name, parameters, pole) with pole None or 9 numbers, as
// vextal.astro.forces packs a model. Every refusal names the force.
inline bool parse_forces(const char* func, PyObject* value, vextal::numerics::ForceModel& model) {
    namespace num = vextal::numerics;
    vx::Ref items(PySequence_Fast(value, "forces must be a sequence of (name, parameters, pole)"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) return vx::fail_format(PyExc_ValueError, "%s(): the model has no force", func), false;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), k);
        const char* name = nullptr;
        PyObject *params = nullptr, *pole = nullptr;
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ||
            !(name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(item, 0))))
            return PyErr_Clear(), vx::fail_format(PyExc_TypeError, "%s(): force %zd must be (name, parameters, pole)",
                                                  func, k), false;
        params = PyTuple_GET_ITEM(item, 1);
        pole = PyTuple_GET_ITEM(item, 2);
        std::vector<double> values;
        double rotation[9];
        vx::Ref seqs[2] = {vx::Ref(PySequence_Fast(params, "parameters must be a sequence")),
                           vx::Ref(pole == Py_None ? nullptr : PySequence_Fast(pole, "pole must be a sequence"))};
        if (!seqs[0] || (pole != Py_None && !seqs[1])) return false;
        try {
            values.resize(static_cast<size_t>(PySequence_Fast_GET_SIZE(seqs[0].get())));
        } catch (...) {
            return PyErr_NoMemory(), false;
        }
        for (size_t i = 0; i < values.size(); ++i)
            if (!vx::to_double(PySequence_Fast_GET_ITEM(seqs[0].get(), Py_ssize_t(i)), values[i]))
                return vx::raise_from(PyExc_TypeError, std::string(func) + "(): force '" + name +
                                                       "': parameters must be real numbers"), false;
        if (seqs[1]) {
            if (PySequence_Fast_GET_SIZE(seqs[1].get()) != 9)
                return vx::fail_format(PyExc_ValueError, "%s(): force '%s': pole must have 9 values", func, name), false;
            for (int i = 0; i < 9; ++i)
                if (!vx::to_double(PySequence_Fast_GET_ITEM(seqs[1].get(), i), rotation[i])) return false;
        }
        const char* error = nullptr;
        auto force = num::make_force(name, num::ForceArgs{values.data(), values.size(), seqs[1] ? rotation : nullptr}, error);
        if (!force) return vx::fail_format(PyExc_ValueError, "%s(): force '%s': %s", func, name, error), false;
        if (!model.add(std::move(force)))
            return vx::fail_format(PyExc_ValueError, "%s(): force '%s': the model has a central field already", func,
                                   name), false;
    }
    return true;
}

}  // namespace vx
