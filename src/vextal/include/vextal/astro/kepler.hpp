// vextal.astro.kepler: the native two-body propagators published in the module's __pyx_capi__ dict.
#pragma once
#include <vextal/astro/orbitvector.hpp>

namespace vextal {

// propagate_lagrangian(r, v, dt, mu, skip_dispatch): moves (r km, v km/s) by dt seconds under mu km^3/s^2.
// Returns a new tuple (r, v) of two new Vector3, or null with an exception set: SystemError for a null
// vector, TypeError for a None or non-Vector3 one, ValueError for bad input or a non-finite result, RuntimeError if Kepler's equation
// does not converge. skip_dispatch is ignored (module function).
using PropagateLagrangianFunction = PyObject* (*)(Vector3Object* r, Vector3Object* v, double dt, double mu,
                                                  int skip_dispatch);
// propagate_lagrangian_u(state, dt, skip_dispatch): the ECI state moved on by dt seconds with
// MU_EARTH = 398600.5; the new state's time is state.time + dt. New reference or null with an exception
// (SystemError for a null state).
using PropagateLagrangianUFunction = ECIObject* (*)(ECIObject* state, double dt, int skip_dispatch);

inline constexpr const char kKeplerModule[] = "vextal.astro.kepler";
inline constexpr const char kPropagateLagrangianSignature[] =
    "PyObject *(struct __pyx_obj_6vextal_7vector3_Vector3 *, struct __pyx_obj_6vextal_7vector3_Vector3 *, double, "
    "double, int __pyx_skip_dispatch)";
inline constexpr const char kPropagateLagrangianUSignature[] =
    "struct __pyx_obj_6vextal_5astro_11orbitvector_ECI *(struct __pyx_obj_6vextal_5astro_11orbitvector_ECI *, "
    "double, int __pyx_skip_dispatch)";

}  // namespace vextal
