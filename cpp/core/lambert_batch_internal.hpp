// Shared between the batch Lambert translation units (internal header): one arc's iteration as plain data,
// and the lane kernels that solve many of them.
#pragma once
#include <cstddef>

#include "core/lambert.hpp"
#include "core/lambert_internal.hpp"

namespace vextal::numerics::lambert_lanes {

// T(x) = T on branch `branch` (0, -1 left, +1 right) of N revolutions, from x0 inside (lo, hi), for the
// shape (lambda, 1 - lambda^2).
struct ArcJob {
    double lambda, oml2, T, x0, lo, hi;
    int revolutions, branch;
};

struct ArcSolved {
    double x;
    int iterations;
    bool ok;
};

using ArcKernel = void (*)(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept;

// The geometry, T and T00 of problems [0, n) in four lanes (AVX2; the two-lane path uses the scalar set-up) (rows of 3 in r1, r2): lambert_setup()'s, bit for bit, for every
// problem it would accept up to its revolution count (clean[i] = 1); clean[i] = 0 where lambert_setup() must
// run instead (a refused problem). setups[i] is written for clean problems only.
using SetupKernel = void (*)(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu,
                             bool prograde, LambertSetup* setups, unsigned char* clean) noexcept;
void setup_avx2(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu, bool prograde,
                LambertSetup* setups, unsigned char* clean) noexcept;

// The two-lane kernel (lambert_batch.cpp, the baseline target) and the four-lane one (lambert_batch_avx2.cpp,
// built for AVX2, x86-64 only; call it only when the CPU has AVX2).
void solve_arcs_lanes2(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept;
// The scalar solver's own iteration, arc by arc (lambert.cpp).
void solve_arcs_scalar(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept;
void solve_arcs_avx2(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept;

}  // namespace vextal::numerics::lambert_lanes
