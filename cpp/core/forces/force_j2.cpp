// The Earth's central field and its oblateness term J2, about the z axis of the inertial frame or about a
// pole of date. Parameters: mu (km^3/s^2), J2 (unnormalised), the reference radius (km).
//
// The potential is U = mu / r - mu J2 R^2 (3 z^2 / r^2 - 1) / (2 r^3), so with k = 3/2 J2 mu R^2
//     a = -mu r / r^3 - k / r^5 (x (1 - 5 z^2/r^2), y (1 - 5 z^2/r^2), z (3 - 5 z^2/r^2)).
// The central term and J2 are summed in one expression per component: these are the bits that
// arrays.propagate_j2 has always produced.
#include "core/forces/force.hpp"

#include <cmath>
#include <new>

namespace vextal::numerics {

namespace {

// mu and k = 3/2 J2 mu R^2.
struct J2Field {
    double mu, k;

    J2Field(double mu_, double j2, double radius) noexcept : mu(mu_), k(1.5 * j2 * mu_ * radius * radius) {}

    void acceleration(const double* r, double* a) const noexcept {
        const double x = r[0], y = r[1], z = r[2];
        const double ir2 = 1.0 / (x * x + y * y + z * z), ir = std::sqrt(ir2), ir3 = ir * ir2;
        const double c = k * ir3 * ir2, s = 5.0 * z * z * ir2;
        const double central = mu * ir3;
        a[0] = -x * (central + c * (1.0 - s));
        a[1] = -y * (central + c * (1.0 - s));
        a[2] = -z * (central + c * (3.0 - s));
    }

    // The acceleration and its gradient g = da/dr (3 x 3, symmetric). With p = 1/r^5 - 5 z^2/r^7 and
    // q = 3/r^5 - 5 z^2/r^7 the J2 part is -k (x p, y p, z q), and
    //     dp/dr_j = -5 r_j/r^7 + 35 z^2 r_j/r^9 - 10 z [j = z]/r^7,   dq/dr_j = dp/dr_j - 10 r_j/r^7.
    void gradient(const double* r, double* a, double* g) const noexcept {
        acceleration(r, a);
        const double x = r[0], y = r[1], z = r[2];
        const double ir2 = 1.0 / (x * x + y * y + z * z), ir = std::sqrt(ir2), ir3 = ir * ir2;
        const double ir5 = ir3 * ir2, ir7 = ir5 * ir2, ir9 = ir7 * ir2;
        const double p = ir5 - 5.0 * z * z * ir7, q = p + 2.0 * ir5;
        const double cp = -5.0 * ir7 + 35.0 * z * z * ir9;  // the r_j factor of dp/dr_j
        const double cq = cp - 10.0 * ir7;
        const double rv[3] = {x, y, z};
        for (int i = 0; i < 3; ++i) {
            const double fi = i == 2 ? q : p;
            const double ci = i == 2 ? cq : cp;
            for (int j = 0; j < 3; ++j) {
                double d = ci * rv[j] - (j == 2 ? 10.0 * z * ir7 : 0.0);
                double two_body = -mu * ir3 * ((i == j ? 1.0 : 0.0) - 3.0 * rv[i] * rv[j] * ir2);
                g[3 * i + j] = two_body - k * ((i == j ? fi : 0.0) + rv[i] * d);
            }
        }
    }
};

}  // namespace

std::unique_ptr<Force> make_force_j2(const ForceArgs& args, const char*& error) noexcept {
    if (args.count != 3) return error = "j2 takes 3 parameters: mu, j2, radius", nullptr;
    const double mu = args.values[0], j2 = args.values[1], radius = args.values[2];
    if (!positive_finite(mu) || !std::isfinite(j2) || !positive_finite(radius))
        return error = "j2 needs a positive finite mu and radius and a finite j2", nullptr;
    if (!valid_pole(args.pole)) return error = "the pole must be a finite rotation matrix", nullptr;
    return std::unique_ptr<Force>(new (std::nothrow) FieldForce<J2Field>(J2Field(mu, j2, radius), args.pole));
}

}  // namespace vextal::numerics
