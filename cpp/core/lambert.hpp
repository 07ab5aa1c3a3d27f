// Multi-revolution Lambert solver on plain doubles, after Izzo (2015): the
// lambda / x parametrisation, Householder iterations (the form with the first
// three derivatives of T) from the 2015 initial guesses, and a Halley search
// for the minimum time of flight that decides whether the largest revolution
// count is reachable.
//
// Differences from the published method, all for accuracy and robustness:
// - T(x) is evaluated as a sum of non-negative terms,
//       T = (psi - sin psi) / (1 - x^2)^(3/2) + N pi / (1 - x^2)^(3/2)
//           + (1 + lambda)(1 - lambda^2) / (x + y),
//   with psi - sin psi from its series for small psi, so that no digit is lost
//   anywhere, near x = 1 (parabola) included; the hyperbolic case continues it
//   analytically. Near x = 1 (|x - 1| < 0.02, zero revolutions) the
//   derivatives come from Battin's hypergeometric series instead of Izzo's
//   formulas, which cancel there.
// - The iteration converges to the precision of double arithmetic and is kept
//   inside a bracket that it tightens at every step (bisecting when a step
//   would leave it), so it always terminates. It stops when T is matched to
//   rounding, when a step is below the spacing of doubles, when the bracket
//   has closed, or when the error bound of the step just taken is under half
//   an ulp (then the new point needs no evaluation); the iteration limit is 50.
// - The geometry (lambda, the plane normal, the half-angle terms, 1 +- rho in
//   the radial velocities) is formed so that transfer angles near 0 and 180
//   degrees and very unequal radii keep their digits.
//
// Direction: a prograde transfer has angular momentum with +z component, a
// retrograde one -z, whatever the sign of (r1 x r2)_z; the transfer angle then
// lies in (0, 360) degrees. When the transfer plane contains the z axis
// (|z component of the unit normal of r1 x r2| <= 1e-12) the rule is: prograde
// takes the short way (angle below 180 degrees), retrograde the long way.
//
// Solution order: the zero-revolution arc first, then for N = 1, 2, ... the
// left branch (x below x_min, where T(x) has its minimum) followed by the
// right branch (x above x_min). max_revs is cropped to the largest N whose
// minimum time of flight does not exceed tof. Negative max_revs is an error.
#pragma once

#include <vector>

namespace vextal::numerics {

enum class LambertStatus {
    ok,
    non_finite_input,    // a component of r1, r2, or tof, mu is NaN or infinite
    zero_position,       // |r1| or |r2| is zero
    collinear,           // |r1 x r2| <= 1e-14 |r1| |r2| (0 or 180 degrees): transfer plane undefined
    bad_time_of_flight,  // tof <= 0
    bad_mu,              // mu <= 0
    bad_max_revs,        // max_revs < 0
    too_many_revolutions,  // more than max_lambert_revolutions both requested and feasible
    out_of_range,        // scaled quantities overflow (absurd magnitudes)
    no_convergence,      // the iteration failed (not expected; see failed_*)
    out_of_memory,
};

constexpr int max_lambert_revolutions = 100000;

const char* lambert_status_message(LambertStatus status) noexcept;

struct LambertSolution {
    double v1[3];     // departure velocity
    double v2[3];     // arrival velocity
    double x;         // Izzo's x of the arc
    int revolutions;  // N
    int branch;       // 0 for N = 0, -1 left, +1 right
    int iterations;   // Householder iterations (T and derivative evaluations)
};

struct LambertResult {
    LambertStatus status = LambertStatus::ok;
    double lambda = 0;       // signed lambda: negative when the transfer angle exceeds 180 degrees
    double T = 0;            // non-dimensional time of flight, tof * sqrt(2 mu / s^3)
    double chord = 0;        // c = |r2 - r1|
    double semiperimeter = 0;  // s = (|r1| + |r2| + c) / 2
    int max_revs = 0;        // revolution limit after cropping
    int min_time_iterations = 0;  // Halley iterations spent on the minimum-time test
    int failed_revolutions = -1;  // on no_convergence: the arc that failed
    int failed_branch = 0;
    std::vector<LambertSolution> solutions;  // in the documented order
};

// Solves Lambert's problem; on any status but ok, `out.solutions` is empty.
//
// Warm start: where `x_start` holds n_start values, the iteration of arc k (in the solution order) starts from
// x_start[k] when that is finite and inside the arc's bracket, instead of from Izzo's starting value. A grid
// of neighbouring problems passes the previous problem's x values and saves iterations; the converged x is
// the same to rounding.
LambertStatus solve_lambert(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                            int max_revs, LambertResult& out, const double* x_start = nullptr,
                            int n_start = 0) noexcept;

// Non-dimensional time of flight T(x) for N revolutions and its first three
// derivatives in x (exposed for tests and benchmarks).
struct TofDerivatives {
    double T, dT, ddT, dddT;
};
double lambert_tof(double x, int N, double lambda, double one_minus_lambda2) noexcept;
TofDerivatives lambert_tof_derivatives(double x, int N, double lambda, double one_minus_lambda2) noexcept;

}  // namespace vextal::numerics
