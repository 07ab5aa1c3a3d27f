// The Python exception of a numerics status: the one mapping every door uses.
//
// Impossible input is a ValueError, a failed iteration a RuntimeError, and running out of memory a MemoryError
// wherever it happens: never a NaN result, since it says nothing about the problem.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/j2.hpp"
#include "core/kepler.hpp"
#include "core/lambert.hpp"

namespace vx {

inline PyObject* exception_of(vextal::numerics::LambertStatus status) noexcept {
    using S = vextal::numerics::LambertStatus;
    return status == S::out_of_memory ? PyExc_MemoryError
           : status == S::no_convergence ? PyExc_RuntimeError
                                         : PyExc_ValueError;
}

inline PyObject* exception_of(vextal::numerics::KeplerStatus status) noexcept {
    return status == vextal::numerics::KeplerStatus::no_convergence ? PyExc_RuntimeError : PyExc_ValueError;
}

inline PyObject* exception_of(vextal::numerics::J2Status status) noexcept {
    using S = vextal::numerics::J2Status;
    return status == S::out_of_memory ? PyExc_MemoryError : status == S::bad_input ? PyExc_ValueError : PyExc_RuntimeError;
}

}  // namespace vx
