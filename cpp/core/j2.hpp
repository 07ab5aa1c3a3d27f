// Motion under the Earth's central field and its oblateness term J2 alone: the J2 force (forces/force_j2.cpp)
// as the one force of a model (forces/model.hpp: propagate, sample, fixed_steps), with the constants of
// arrays.propagate_j2.
//
// Defaults: mu 398600.5 km^3/s^2, equatorial radius 6378.1374 km, J2 = 1.08262668e-3 (the package's
// constants). Units: km, km/s, s.
#pragma once

#include "core/constants.hpp"
#include "core/forces/model.hpp"


namespace vextal::numerics {

struct J2Model {
    double mu = mu_earth;
    double j2 = j2_earth;
    double radius = earth_ellipsoid.a;
    const double* pole = nullptr;  // 9 values (force.hpp's ForceArgs), or null for the frame's z axis
};

using J2Status = PropagationStatus;
inline const char* j2_status_message(J2Status status) noexcept { return propagation_message(status); }

constexpr double j2_default_rtol = default_rtol;
constexpr long j2_max_steps = max_propagation_steps;

// The force model of one J2 force; false (out of memory, or parameters the force refuses) leaves it empty.
bool j2_force_model(const J2Model& model, ForceModel& out) noexcept;

// The energy integral v^2 / 2 - U (km^2/s^2) about the frame's z axis.
double j2_energy(const J2Model& model, const double r[3], const double v[3]) noexcept;

}  // namespace vextal::numerics
