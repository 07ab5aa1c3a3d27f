// Lambert's problem over arrays of problems, on plain doubles, into fixed-size output slots per problem. The
// arcs' iterations run several at once in SIMD lanes (lambert_batch_kernel.hpp): four with AVX2, two on the
// baseline target, chosen by a CPU check; every answer is bit for bit the single-problem solver's
// (solve_lambert() without warm starts), so it depends neither on the path nor on how the caller splits the
// problems over threads. The caller splits them and reads the statuses afterwards.
#pragma once
#include "core/constants.hpp"
#include "core/lambert.hpp"

#include <cstddef>
#include <cstdint>

namespace vextal::numerics {

// Problem i writes `slots` rows of 3 doubles at v1 + 3 * slots * i and v2 likewise (the solver's order,
// NaN rows where an arc does not exist or the problem failed), the number of arcs found at count[i] (0 on
// failure) and its LambertStatus at status[i].
struct LambertBatchOutput {
    double* v1;
    double* v2;
    std::int32_t* count;
    std::int32_t* status;
};

// An upper bound, at most `limit`, on the revolutions of any arc from r1 to r2 in time tof: an N-revolution arc
// lasts more than N periods of the smallest ellipse through both points (semi-major axis s / 2, s the
// semiperimeter), the solver's own bound, here with a margin for rounding so that it never falls below the
// solver's. 0 for a problem the solver refuses (non-finite, zero or non-positive inputs).
int lambert_revolution_bound(const double* r1, const double* r2, double tof, double mu, int limit) noexcept;

// Problems [0, n): r1 + 3 i, r2 + 3 i and tof[i], written to problem first + i of `out` (`slots` arcs, at
// least lambert_slots() of each problem's revolution limit). Out of memory, every problem's status says so.
void solve_lambert_batch(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu,
                         bool prograde, int max_revs, const LambertBatchOutput& out, int slots,
                         std::ptrdiff_t first) noexcept;

// solve_lambert() with its arcs in SIMD lanes: the same results, bit for bit, warm starts included. For a grid
// cell with several arcs (revolutions); a problem with one arc (or more than the lanes take at once, 64) runs
// the scalar iteration.
LambertStatus solve_lambert_lanes(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                                  int max_revs, LambertResult& out, const double* x_start = nullptr,
                                  int n_start = 0) noexcept;

// Chooses the kernels now (call it once from single-threaded code, as geodesy_batch_init()).
void lambert_batch_init() noexcept;
// The kernels in use: "avx2" (four lanes) or "sse2" (two lanes, the baseline target).
const char* lambert_batch_path() noexcept;
// Restricts the kernels to at most `path` ("avx2", "sse2"), for tests and benchmarks; not while a batch
// runs. Returns the path now in use.
const char* lambert_batch_limit(const char* path) noexcept;

}  // namespace vextal::numerics
