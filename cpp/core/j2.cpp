// J2 motion through the force seam (see j2.hpp).
#include "core/j2.hpp"

#include <cmath>

namespace vextal::numerics {

bool j2_force_model(const J2Model& model, ForceModel& out) noexcept {
    const double values[3] = {model.mu, model.j2, model.radius};
    const char* error = nullptr;
    return out.add(make_force("j2", ForceArgs{values, 3, model.pole}, error));
}

void j2_acceleration(const J2Model& model, const double r[3], double a[3]) noexcept {
    ForceModel m;
    const double v[3] = {0, 0, 0};
    if (j2_force_model(model, m)) return m.acceleration(0.0, r, v, a);
    for (int i = 0; i < 3; ++i) a[i] = NAN;
}

double j2_energy(const J2Model& model, const double r[3], const double v[3]) noexcept {
    const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2], rn = std::sqrt(r2);
    const double u = model.mu / rn *
                     (1.0 - 0.5 * model.j2 * model.radius * model.radius / r2 * (3.0 * r[2] * r[2] / r2 - 1.0));
    return 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - u;
}

J2Status propagate_j2(const J2Model& model, const double r0[3], const double v0[3], double dt, double r[3],
                      double v[3], double* phi, double rtol, long* steps, Cancel* cancel) noexcept {
    ForceModel m;
    if (!j2_force_model(model, m)) {
        if (steps) *steps = 0;
        return J2Status::bad_input;
    }
    return propagate(m, r0, v0, dt, r, v, phi, rtol, steps, cancel);
}

J2Status sample_j2(const J2Model& model, const double r0[3], const double v0[3], const double* offsets,
                   std::size_t n, double* r, double* v, double rtol, Cancel* cancel) noexcept {
    ForceModel m;
    if (!j2_force_model(model, m)) return J2Status::bad_input;
    return sample(m, r0, v0, offsets, n, r, v, rtol, cancel);
}

void j2_fixed_steps(const J2Model& model, const double r0[3], const double v0[3], double dt, long steps,
                    double fraction, double r[3], double v[3]) noexcept {
    ForceModel m;
    if (j2_force_model(model, m)) return fixed_steps(m, r0, v0, dt, steps, fraction, r, v);
    for (int i = 0; i < 3; ++i) r[i] = v[i] = NAN;
}

}  // namespace vextal::numerics
