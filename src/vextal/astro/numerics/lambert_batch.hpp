// Lambert's problem over arrays of problems, on plain doubles: the single-problem solver's results (lambert.hpp)
// stored into fixed-size output slots per problem. The caller splits the problems over threads (each with its
// own scratch result) and reads the statuses afterwards.
#pragma once
#include "constants.hpp"
#include "lambert.hpp"

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

// Writes problem i's row of `out` (`slots` arcs) from the solver's status and result.
void store_lambert(const LambertBatchOutput& out, int slots, std::ptrdiff_t i, LambertStatus status,
                   const LambertResult& result) noexcept;

}  // namespace vextal::numerics
