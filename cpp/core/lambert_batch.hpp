// Lambert's problem over arrays of problems, on plain doubles: the single-problem solver's results (lambert.hpp)
// stored into fixed-size output slots per problem. The caller splits the problems over threads (each with its
// own scratch result) and reads the statuses afterwards.
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

// Writes problem i's row of `out` (`slots` arcs) from the solver's status and result.
void store_lambert(const LambertBatchOutput& out, int slots, std::ptrdiff_t i, LambertStatus status,
                   const LambertResult& result) noexcept;

}  // namespace vextal::numerics
