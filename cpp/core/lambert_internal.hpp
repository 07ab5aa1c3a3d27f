// The phases of the Lambert solver (lambert.cpp), shared with the batch solver (lambert_batch*.cpp): the
// geometry and revolution count of a problem, the start and bracket of each arc, and the velocities of a
// converged x. solve_lambert() is these phases around its Householder iteration; the batch solver runs the
// same phases around its lane iteration, so that both give the same bits.
#pragma once
#include "core/lambert.hpp"

namespace vextal::numerics {

struct LambertShape {
    double lambda;
    double oml2;  // 1 - lambda^2 = c / s, kept apart for its digits
};

struct LambertGeometry {
    double R1, R2, c, s;
    double ir1[3], ir2[3], it1[3], it2[3];
    double one_plus_rho, one_minus_rho;  // 1 +- (R1 - R2) / c, each without cancellation
    double sigma, gamma;
    LambertShape shape;
};

struct LambertSetup {
    LambertGeometry g;
    double T;      // non-dimensional time of flight
    double T00;    // T(x = 0) without revolutions
    double x_min;  // where the n_max-revolution time is least, when have_min
    bool have_min;
    int n_max;     // revolution limit after cropping: 1 + 2 n_max arcs
};

// One arc's iteration: T(x) = T on branch `branch` of `revolutions`, from x0 inside (lo, hi).
struct LambertArc {
    double x0, lo, hi;
    int revolutions, branch;
};

// Checks the inputs and forms the geometry and the revolution limit. Fills out's status and scalar fields and
// clears its solutions; returns out.status.
LambertStatus lambert_setup(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                            int max_revs, LambertResult& out, LambertSetup& setup) noexcept;

// The revolution limit of a problem whose geometry, T and T00 are set (the last step of lambert_setup()):
// sets setup.n_max (and x_min, have_min) and out.max_revs; returns ok or too_many_revolutions (in out.status).
LambertStatus lambert_revolutions(LambertSetup& setup, int max_revs, LambertResult& out) noexcept;

// Arc k (in the solution order) of a set-up problem, started from x_start when that is finite and inside the
// arc's bracket, else from Izzo's starting value.
LambertArc lambert_arc(const LambertSetup& setup, int k, double x_start) noexcept;

// Reserves room in out.solutions for every arc of a set-up problem (else out_of_memory).
LambertStatus lambert_reserve(const LambertSetup& setup, LambertResult& out) noexcept;

// Appends the solution of `arc` converged to x (or fails `out` with no_convergence when !ok). Returns out.status.
LambertStatus lambert_keep_arc(const LambertSetup& setup, const LambertArc& arc, double x, int iterations, bool ok,
                               LambertResult& out) noexcept;
// After the last arc: out_of_range when a solution's velocities overflowed. Returns out.status.
LambertStatus lambert_check_finite(LambertResult& out) noexcept;

// The velocities of the arc with parameter x (sets sol.v1, sol.v2 and sol.x).
void lambert_velocities(double x, const LambertGeometry& g, LambertSolution& sol) noexcept;

}  // namespace vextal::numerics
