#include "lambert_batch.hpp"

#include <algorithm>
#include <limits>

namespace vextal::numerics {

void store_lambert(const LambertBatchOutput& out, int slots, std::ptrdiff_t i, LambertStatus status,
                   const LambertResult& result) noexcept {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    int found = status == LambertStatus::ok ? static_cast<int>(result.solutions.size()) : 0;
    double* a = out.v1 + 3 * slots * i;
    double* b = out.v2 + 3 * slots * i;
    for (int k = 0; k < found; ++k) {
        const LambertSolution& sol = result.solutions[k];
        std::copy(sol.v1, sol.v1 + 3, a + 3 * k);
        std::copy(sol.v2, sol.v2 + 3, b + 3 * k);
    }
    std::fill(a + 3 * found, a + 3 * slots, nan);
    std::fill(b + 3 * found, b + 3 * slots, nan);
    out.count[i] = found;
    out.status[i] = static_cast<std::int32_t>(status);
}

void solve_lambert_range(const LambertBatchInput& in, const LambertBatchOutput& out, std::ptrdiff_t begin,
                         std::ptrdiff_t end, LambertResult& scratch) noexcept {
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        LambertStatus s = solve_lambert(in.r1 + i * in.r1_step, in.r2 + i * in.r2_step, in.tof[i * in.tof_step], in.mu,
                                        in.prograde, in.max_revs, scratch);
        store_lambert(out, lambert_slots(in.max_revs), i, s, scratch);
    }
}

}  // namespace vextal::numerics
