// Two-body propagation in universal variables, on plain doubles.
//
// With beta = 2 mu / r0 - v0^2 (mu times the inverse semi-major axis) and the
// universal functions U_k(s) = s^k c_k(beta s^2) (c_k the Stumpff functions),
// Kepler's equation reads
//     dt = r0 U1(s) + sigma0 U2(s) + mu U3(s),   sigma0 = r0 . v0,
// its derivative is the radius r(s) = r0 U0 + sigma0 U1 + mu U2 > 0, and
//     f = 1 - mu U2 / r0,  g = r0 U1 + sigma0 U2,
//     fdot = -mu U1 / (r r0),  gdot = 1 - mu U2 / r.
// One formulation covers every conic, forward and backward in time. The
// Stumpff functions use their power series near zero; elliptic times are first
// reduced modulo the period. The equation is solved by Laguerre's method kept
// inside a bracket from r_min <= r(s) <= r_max, with bisection as fallback, so
// the solve always terminates. On an inbound hyperbola that sweeps far past
// pericentre the universal terms grow huge and cancel; there the anomaly is
// polished with the hyperbolic Kepler equation, anchored at pericentre. A
// radial orbit (zero angular momentum) is continued through the centre as the
// limit of ever narrower conics: it comes back out along the same line.
#pragma once

namespace vextal::numerics {

enum class KeplerStatus {
    ok,
    bad_input,       // non-finite input, |r0| == 0, mu <= 0
    no_convergence,  // Kepler's equation did not converge (not expected)
    not_finite,      // the result overflowed or hit r = 0 (radial orbit through the centre)
    ill_conditioned, // the result breaks energy or angular momentum conservation: the orbit passes so close
                     // to the centre that double precision cannot resolve it
};

const char* kepler_status_message(KeplerStatus status) noexcept;

struct LagrangeCoefficients {
    double f = 1, g = 0, fdot = 0, gdot = 1;
    // f - 1 and gdot - 1, kept apart because they are tiny for short steps.
    double f_minus_1 = 0, gdot_minus_1 = 0;
    double s = 0;   // universal anomaly (time-like form, chi / sqrt(mu)) of the reduced step
    double r = 0;   // radius at the end of the step
    int iterations = 0;
};

// f, g, fdot, gdot for moving (r0, v0) by dt under mu.
KeplerStatus lagrange_coefficients(const double r0[3], const double v0[3], double dt, double mu,
                                   LagrangeCoefficients& out) noexcept;

// Moves (r0, v0) by dt: r = f r0 + g v0, v = fdot r0 + gdot v0. `iterations`
// (optional) receives the number of Kepler-equation evaluations. The new state
// must conserve energy and angular momentum to 1e-8 of their scales, or the
// status is ill_conditioned and r, v are left alone.
KeplerStatus propagate(const double r0[3], const double v0[3], double dt, double mu, double r[3],
                       double v[3], int* iterations = nullptr) noexcept;

// Stumpff functions c0..c3 of z (series for |z| < 1), exposed for tests.
void stumpff(double z, double c[4]) noexcept;

}  // namespace vextal::numerics
