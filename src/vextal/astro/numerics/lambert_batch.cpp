#include "lambert_batch.hpp"

#include <algorithm>
#include <limits>

namespace vextal::numerics {

void solve_lambert_range(const LambertBatchInput& in, const LambertBatchOutput& out, std::ptrdiff_t begin,
                         std::ptrdiff_t end, LambertResult& scratch) noexcept {
    const int slots = lambert_slots(in.max_revs);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        LambertStatus s = solve_lambert(in.r1 + i * in.r1_step, in.r2 + i * in.r2_step, in.tof[i * in.tof_step], in.mu,
                                        in.prograde, in.max_revs, scratch);
        int found = s == LambertStatus::ok ? static_cast<int>(scratch.solutions.size()) : 0;
        double* a = out.v1 + 3 * slots * i;
        double* b = out.v2 + 3 * slots * i;
        for (int k = 0; k < found; ++k) {
            const LambertSolution& sol = scratch.solutions[k];
            std::copy(sol.v1, sol.v1 + 3, a + 3 * k);
            std::copy(sol.v2, sol.v2 + 3, b + 3 * k);
        }
        std::fill(a + 3 * found, a + 3 * slots, nan);
        std::fill(b + 3 * found, b + 3 * slots, nan);
        out.count[i] = found;
        out.status[i] = static_cast<std::int32_t>(s);
    }
}

}  // namespace vextal::numerics
