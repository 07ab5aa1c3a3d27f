// The Earth's central field and its zonal harmonics J2..Jn (n up to 20), about the z axis of the inertial
// frame or about a pole of date. Parameters: mu (km^3/s^2), the reference radius (km), then J2, ..., Jn
// (unnormalised; the package's defaults are EGM96's to degree 6).
//
// The potential is U = mu / r (1 - sum_n Jn (R/r)^n Pn(u)) with u = z / r and Pn the Legendre polynomials.
// Written as a = A e + B z^ (e = r / r), the term of degree n (n = 0 for the central attraction, J0 = -1)
// gives, with q = -Jn (R/r)^n,
//     A_n = mu/r^2 q (-(n+1) Pn - u Pn'),   B_n = mu/r^2 q Pn',
// both proportional to r^-(n+2) at fixed u, and with du/dr_j = (z^_j - u e_j) / r the gradient is
//     da/dr = A_r e e^T + A_u/r e (z^ - u e)^T + A/r (I - e e^T) + B_r z^ e^T + B_u/r z^ (z^ - u e)^T
// where A_r = sum -(n+2)/r A_n, A_u = mu/r^2 sum q (-(n+2) Pn' - u Pn''), B_r = sum -(n+2)/r B_n,
// B_u = mu/r^2 sum q Pn''. Pn, Pn' and Pn'' come from Bonnet's recursion and its derivatives, which hold at
// the poles too.
#include "core/forces/force.hpp"

#include <cmath>
#include <new>

namespace vextal::numerics {

namespace {

constexpr int max_degree = 20;

struct ZonalField {
    double mu = 0, radius = 0;
    int degree = 0;
    double j[max_degree + 1] = {};  // j[n] for n = 2..degree

    // A, B and, when `derivatives`, A_r, A_u, B_r, B_u at distance rn and u = z / r.
    void terms(double rn, double u, double* out, bool derivatives) const noexcept {
        double p0 = 1.0, p1 = u, d0 = 0.0, d1 = 1.0, s0 = 0.0, s1 = 0.0;  // P, P', P'' of degrees n-1, n
        const double scale = mu / (rn * rn), ratio = radius / rn;
        double A = -scale, B = 0.0, Ar = 2.0 * scale / rn, Au = 0.0, Br = 0.0, Bu = 0.0;  // the central term
        double power = ratio;  // (R/r)^n
        for (int n = 1; n < degree; ++n) {
            // Degree n+1 from n and n-1.
            const double p2 = ((2 * n + 1) * u * p1 - n * p0) / (n + 1);
            const double d2 = ((2 * n + 1) * (p1 + u * d1) - n * d0) / (n + 1);
            const double s2 = ((2 * n + 1) * (2.0 * d1 + u * s1) - n * s0) / (n + 1);
            p0 = p1, p1 = p2, d0 = d1, d1 = d2, s0 = s1, s1 = s2;
            power *= ratio;
            const int m = n + 1;
            const double q = -j[m] * power * scale;
            const double an = q * (-(m + 1) * p1 - u * d1), bn = q * d1;
            A += an;
            B += bn;
            if (derivatives) {
                Ar -= (m + 2) * an / rn;
                Br -= (m + 2) * bn / rn;
                Au += q * (-(m + 2) * d1 - u * s1);
                Bu += q * s1;
            }
        }
        out[0] = A, out[1] = B, out[2] = Ar, out[3] = Au, out[4] = Br, out[5] = Bu;
    }

    void acceleration(const double* r, double* a) const noexcept {
        const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        double t[6];
        terms(rn, r[2] / rn, t, false);
        a[0] = t[0] * r[0] / rn;
        a[1] = t[0] * r[1] / rn;
        a[2] = t[0] * r[2] / rn + t[1];
    }

    void gradient(const double* r, double* a, double* g) const noexcept {
        const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
        const double e[3] = {r[0] / rn, r[1] / rn, r[2] / rn}, u = e[2];
        double t[6];
        terms(rn, u, t, true);
        const double A = t[0], B = t[1], Ar = t[2], Au = t[3], Br = t[4], Bu = t[5];
        // As acceleration() computes it: the same bits with and without the transition matrix.
        a[0] = A * r[0] / rn;
        a[1] = A * r[1] / rn;
        a[2] = A * r[2] / rn + B;
        for (int i = 0; i < 3; ++i)
            for (int k = 0; k < 3; ++k) {
                const double w = (k == 2 ? 1.0 : 0.0) - u * e[k];  // r du/dr_k
                const double zi = i == 2 ? 1.0 : 0.0;
                g[3 * i + k] = Ar * e[i] * e[k] + Au / rn * e[i] * w + A / rn * ((i == k ? 1.0 : 0.0) - e[i] * e[k]) +
                               Br * zi * e[k] + Bu / rn * zi * w;
            }
    }
};

}  // namespace

std::unique_ptr<Force> make_force_zonal(const ForceArgs& args, const char*& error) noexcept {
    if (args.count < 3 || args.count > max_degree + 1)
        return error = "zonal takes mu, radius and J2..Jn with n from 2 to 20", nullptr;
    ZonalField field;
    field.mu = args.values[0];
    field.radius = args.values[1];
    field.degree = static_cast<int>(args.count) - 1;
    if (!positive_finite(field.mu) || !positive_finite(field.radius))
        return error = "zonal needs a positive finite mu and radius", nullptr;
    for (int n = 2; n <= field.degree; ++n) {
        field.j[n] = args.values[n];
        if (!std::isfinite(field.j[n])) return error = "zonal coefficients must be finite", nullptr;
    }
    if (!valid_pole(args.pole)) return error = "the pole must be a finite rotation matrix", nullptr;
    return std::unique_ptr<Force>(new (std::nothrow) FieldForce<ZonalField>(field, args.pole));
}

}  // namespace vextal::numerics
