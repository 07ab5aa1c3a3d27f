// Lambert's problem over arrays of problems, on plain doubles: the single-problem solver (lambert.hpp) run
// over a range of problems into fixed-size output slots. The caller splits the range over threads (each with
// its own scratch result) and reads the statuses afterwards.
#pragma once
#include "lambert.hpp"

#include <cstddef>
#include <cstdint>

namespace vextal::numerics {

// Problem i reads r1 + i * r1_step, r2 + i * r2_step (3 doubles each) and tof[i * tof_step]; a step of 0
// gives every problem the same value.
struct LambertBatchInput {
    const double* r1;
    const double* r2;
    const double* tof;
    std::ptrdiff_t r1_step, r2_step, tof_step;
    double mu;
    bool prograde;
    int max_revs;
};

// Problem i writes slots() rows of 3 doubles at v1 + 3 * slots() * i and v2 likewise (the solver's order,
// NaN rows where an arc does not exist or the problem failed), the number of arcs found at count[i] (0 on
// failure) and its LambertStatus at status[i].
struct LambertBatchOutput {
    double* v1;
    double* v2;
    std::int32_t* count;
    std::int32_t* status;
};

inline int lambert_slots(int max_revs) noexcept { return 1 + 2 * max_revs; }

// Solves problems [begin, end); `scratch` keeps its solution storage from one problem to the next.
void solve_lambert_range(const LambertBatchInput& in, const LambertBatchOutput& out, std::ptrdiff_t begin,
                         std::ptrdiff_t end, LambertResult& scratch) noexcept;

}  // namespace vextal::numerics
