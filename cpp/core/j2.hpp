// Motion under the Earth's central field and its oblateness term J2 alone, integrated by DOP853
// (dop853.hpp), with the state transition matrix from the variational equations.
//
// The potential is U = mu / r - mu J2 R^2 (3 z^2 / r^2 - 1) / (2 r^3), symmetric about the z axis of the
// inertial frame, so the energy v^2 / 2 - U and the z component of the angular momentum are conserved.
// Defaults: mu 398600.5 km^3/s^2, equatorial radius 6378.1374 km, J2 = 1.08262668e-3 (the package's
// constants). Units: km, km/s, s.
#pragma once

#include "core/constants.hpp"

#include <cstddef>
#include <cstdint>

namespace vextal::numerics {

struct J2Model {
    double mu = mu_earth;
    double j2 = j2_earth;
    double radius = earth_ellipsoid.a;
};

enum class J2Status : uint8_t {
    ok,
    bad_input,       // non-finite state or time, zero position
    too_many_steps,  // the step budget (j2_max_steps) ran out: a span of years in low orbit
    singular,        // the step shrank to nothing: the orbit runs into the centre
    out_of_memory,
};

const char* j2_status_message(J2Status status) noexcept;

// The relative tolerance of the step control: each step's error estimate is kept below this times the size
// of the position (for the position) and of the velocity (for the velocity). Chosen by measurement so that a
// day in LEO and in GEO stays within 1 mm of a far tighter integration.
constexpr double j2_default_rtol = 1e-13;
constexpr long j2_max_steps = 5'000'000;  // about 3 s of work, 13 years of low orbit

// Acceleration (km/s^2) at position r.
void j2_acceleration(const J2Model& model, const double r[3], double a[3]) noexcept;
// The energy integral v^2 / 2 - U (km^2/s^2).
double j2_energy(const J2Model& model, const double r[3], const double v[3]) noexcept;

// Moves (r0, v0) by dt seconds (either sign). With `phi` (36 values, row-major) the state transition matrix
// d(r, v) / d(r0, v0) is integrated alongside; it does not steer the steps, so r and v are the same bits
// with or without it. `steps` (optional) receives the number of step attempts.
J2Status propagate_j2(const J2Model& model, const double r0[3], const double v0[3], double dt, double r[3],
                      double v[3], double* phi = nullptr, double rtol = j2_default_rtol,
                      long* steps = nullptr) noexcept;

// The states of one orbit at n epochs given as offsets (s, any order, either side of 0) from the state
// (r0, v0), from one integration each way read by the dense output. r and v receive n x 3 values. The state
// at the farthest offset on each side is that of propagate_j2 to it, bit for bit.
J2Status sample_j2(const J2Model& model, const double r0[3], const double v0[3], const double* offsets,
                   std::size_t n, double* r, double* v, double rtol = j2_default_rtol) noexcept;

// `steps` steps of equal size over dt with no step control (for measuring the order of the method). With
// `fraction` in (0, 1), the result is instead the dense output at that fraction of the last step.
void j2_fixed_steps(const J2Model& model, const double r0[3], const double v0[3], double dt, long steps,
                    double fraction, double r[3], double v[3]) noexcept;

}  // namespace vextal::numerics
