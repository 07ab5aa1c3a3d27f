// What the parts of the orbitvector module share: the classes and imports that orbitvector.cpp owns, the
// module constants, and the geodesy bodies that orbitvector_geodesy.cpp supplies.
#pragma once
#include "native/support.hpp"
#include "native/vector3_api.hpp"
#include "core/geodesy.hpp"

#include <vextal/astro/orbitvector.hpp>
#include <vextal/matrix4.hpp>

namespace vextal::orbitvector {

// Module constants, fixed at import and not visible from Python. The ellipsoid and the angle factors are
// the geodesy numerics' own.
inline constexpr double MAGNITUDE_EPSILON = 1e-10;
inline constexpr double MU_EARTH = numerics::mu_earth;
using numerics::DEG_TO_RAD;
using numerics::RAD_TO_DEG;
using numerics::EARTH_ECCENTRICITY_SQ;
using numerics::EARTH_EQUATORIAL_RADIUS;

// Owned by orbitvector.cpp, ready once the module has executed.
extern vx::Vector3Api vector3;
extern PyTypeObject* matrix4_type;
extern PyTypeObject ECI_Type, EFG_Type, RIC_Type, LLH_Type;

// Native bodies (after the override dispatch) supplied by orbitvector_geodesy.cpp. Each returns a new
// reference, or null with an exception set and its traceback entry added.
PyObject* efg_to_llh(EFGObject* self);
PyObject* efg_to_eci(EFGObject* self);
PyObject* llh_to_efg(LLHObject* self);

// The three module functions (_get_earth_radiusn_from_sin_latitude, _get_earth_radius_from_latitude,
// _geocentric_to_geodetic), null-terminated; orbitvector_geodesy.cpp defines them.
extern PyMethodDef geodesy_functions[];

}  // namespace vextal::orbitvector
