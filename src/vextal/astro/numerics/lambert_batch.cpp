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

}  // namespace vextal::numerics
