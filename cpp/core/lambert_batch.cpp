#include "core/lambert_batch.hpp"

#include "core/constants.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vextal::numerics {

int lambert_revolution_bound(const double* r1, const double* r2, double tof, double mu, int limit) noexcept {
    const double R1 = std::sqrt(r1[0] * r1[0] + r1[1] * r1[1] + r1[2] * r1[2]);
    const double R2 = std::sqrt(r2[0] * r2[0] + r2[1] * r2[1] + r2[2] * r2[2]);
    const double d[3] = {r2[0] - r1[0], r2[1] - r1[1], r2[2] - r1[2]};
    const double s = 0.5 * (R1 + R2 + std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
    const double T = tof * (std::sqrt(2 * mu / s) / s);
    if (!(s > 0) || !(T > 0) || !std::isfinite(T)) return 0;
    const double bound = std::floor(T / pi * (1 + 1e-9));
    return bound < double(limit) ? static_cast<int>(bound) : limit;
}

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
