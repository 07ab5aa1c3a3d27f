// J2 motion through the force seam (see j2.hpp).
#include "core/j2.hpp"

#include <cmath>

namespace vextal::numerics {

bool j2_force_model(const J2Model& model, ForceModel& out) noexcept {
    const double values[3] = {model.mu, model.j2, model.radius};
    const char* error = nullptr;
    return out.add(make_force("j2", ForceArgs{values, 3, model.pole}, error));
}

double j2_energy(const J2Model& model, const double r[3], const double v[3]) noexcept {
    const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2], rn = std::sqrt(r2);
    const double u = model.mu / rn *
                     (1.0 - 0.5 * model.j2 * model.radius * model.radius / r2 * (3.0 * r[2] * r[2] / r2 - 1.0));
    return 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - u;
}

}  // namespace vextal::numerics
