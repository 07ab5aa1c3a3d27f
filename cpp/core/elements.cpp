#include "core/elements.hpp"

#include "core/vec3.hpp"

#include <cmath>
#include <initializer_list>

namespace vextal::numerics {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

double wrap_2pi(double x) {
    double y = std::fmod(x, kTwoPi);
    if (y < 0) y += kTwoPi;
    return y >= kTwoPi ? 0.0 : y;
}

// Angle from unit vector `from` to vector `to` about the axis `h` (unit), in (-pi, pi].
double angle_about(Vec3 from, Vec3 to, Vec3 h) { return std::atan2(dot(h, cross(from, to)), dot(from, to)); }

// Newton's method on E - e sin E = M, M reduced to [-pi, pi]; the start pi (e > 0.8) or M keeps it monotone.
bool solve_elliptic(double m, double e, double& big_e) {
    double x = e > 0.8 ? (m < 0 ? -kPi : kPi) : m;
    for (int k = 0; k < 60; ++k) {
        double f = x - e * std::sin(x) - m;
        double step = f / (1.0 - e * std::cos(x));
        x -= step;
        if (std::fabs(step) <= 1e-15 * (1.0 + std::fabs(x))) {
            big_e = x;
            return true;
        }
    }
    big_e = x;
    return std::fabs(x - e * std::sin(x) - m) <= 1e-12;
}

// Newton's method on e sinh H - H = M from H = sign(M) log(2 |M| / e + 1.8), which stays on the convex side.
bool solve_hyperbolic(double m, double e, double& h) {
    double x = std::copysign(std::log(2.0 * std::fabs(m) / e + 1.8), m);
    for (int k = 0; k < 200; ++k) {
        double f = e * std::sinh(x) - x - m;
        double step = f / (e * std::cosh(x) - 1.0);
        x -= step;
        if (!std::isfinite(x)) return false;
        if (std::fabs(step) <= 1e-15 * (1.0 + std::fabs(x))) {
            h = x;
            return true;
        }
    }
    h = x;
    return std::fabs(e * std::sinh(x) - x - m) <= 1e-10 * (1.0 + std::fabs(m));
}

}  // namespace

const char* elements_status_message(ElementsStatus status) noexcept {
    switch (status) {
        case ElementsStatus::ok: return "ok";
        case ElementsStatus::not_finite: return "the input is not finite";
        case ElementsStatus::bad_mu: return "mu must be a positive finite number";
        case ElementsStatus::negative_e: return "the eccentricity is negative";
        case ElementsStatus::parabolic:
            return "the orbit is parabolic (eccentricity 1): it has no semi-major axis";
        case ElementsStatus::sign_mismatch:
            return "the semi-major axis must be positive for an ellipse (e < 1) and negative for a hyperbola (e > 1)";
        case ElementsStatus::beyond_asymptote:
            return "the true anomaly lies at or beyond the hyperbola's asymptote";
        case ElementsStatus::zero_vector: return "the position or the velocity is zero";
        case ElementsStatus::rectilinear:
            return "position and velocity are parallel: a rectilinear orbit has no orbital plane";
        case ElementsStatus::no_convergence: return "Kepler's equation did not converge";
    }
    return "unknown status";
}

ElementsStatus true_from_mean(double m, double e, double& nu) noexcept {
    if (!std::isfinite(m) || !std::isfinite(e)) return ElementsStatus::not_finite;
    if (e < 0) return ElementsStatus::negative_e;
    if (std::fabs(e - 1.0) < kParabolic) return ElementsStatus::parabolic;
    if (e < 1.0) {
        double turns = std::nearbyint(m / kTwoPi);
        double big_e;
        if (!solve_elliptic(m - turns * kTwoPi, e, big_e)) return ElementsStatus::no_convergence;
        nu = 2.0 * std::atan2(std::sqrt(1.0 + e) * std::sin(0.5 * big_e), std::sqrt(1.0 - e) * std::cos(0.5 * big_e));
        nu += turns * kTwoPi;
        return ElementsStatus::ok;
    }
    double h;
    if (!solve_hyperbolic(m, e, h)) return ElementsStatus::no_convergence;
    nu = 2.0 * std::atan(std::sqrt((e + 1.0) / (e - 1.0)) * std::tanh(0.5 * h));
    return ElementsStatus::ok;
}

double mean_from_true(double nu, double e) noexcept {
    double s = std::sin(nu), c = std::cos(nu);
    if (e < 1.0) {
        double big_e = std::atan2(std::sqrt(1.0 - e * e) * s, e + c);
        return wrap_2pi(big_e - e * std::sin(big_e));
    }
    double h = std::asinh(std::sqrt(e * e - 1.0) * s / (1.0 + e * c));
    return e * std::sinh(h) - h;
}

ElementsStatus elements_to_state(double a, double e, double i, double raan, double argp, double anomaly,
                                 bool mean_anomaly, double mu, double r[3], double v[3]) noexcept {
    for (double x : {a, e, i, raan, argp, anomaly}) {
        if (!std::isfinite(x)) return ElementsStatus::not_finite;
    }
    if (!(mu > 0) || !std::isfinite(mu)) return ElementsStatus::bad_mu;
    if (e < 0) return ElementsStatus::negative_e;
    if (std::fabs(e - 1.0) < kParabolic) return ElementsStatus::parabolic;
    if ((e < 1.0) != (a > 0)) return ElementsStatus::sign_mismatch;
    double nu = anomaly;
    if (mean_anomaly) {
        ElementsStatus s = true_from_mean(anomaly, e, nu);
        if (s != ElementsStatus::ok) return s;
    }
    const double cnu = std::cos(nu), snu = std::sin(nu);
    const double denom = 1.0 + e * cnu;
    if (!(denom > 0)) return ElementsStatus::beyond_asymptote;
    // p = a (1 - e^2) > 0 for both conics; written as a (1 - e)(1 + e) to keep its digits near e = 1.
    const double p = a * (1.0 - e) * (1.0 + e);
    const double radius = p / denom;
    const double speed = std::sqrt(mu / p);
    const double xp = radius * cnu, yp = radius * snu;
    const double vxp = -speed * snu, vyp = speed * (e + cnu);
    // Perifocal -> inertial: R3(-raan) R1(-i) R3(-argp).
    const double co = std::cos(raan), so = std::sin(raan);
    const double cw = std::cos(argp), sw = std::sin(argp);
    const double ci = std::cos(i), si = std::sin(i);
    const double p0[3] = {co * cw - so * sw * ci, so * cw + co * sw * ci, sw * si};
    const double q0[3] = {-co * sw - so * cw * ci, -so * sw + co * cw * ci, cw * si};
    for (int k = 0; k < 3; ++k) {
        r[k] = xp * p0[k] + yp * q0[k];
        v[k] = vxp * p0[k] + vyp * q0[k];
    }
    return ElementsStatus::ok;
}

ElementsStatus state_to_elements(const double r[3], const double v[3], double mu, Elements& out) noexcept {
    for (int k = 0; k < 3; ++k) {
        if (!std::isfinite(r[k]) || !std::isfinite(v[k])) return ElementsStatus::not_finite;
    }
    if (!(mu > 0) || !std::isfinite(mu)) return ElementsStatus::bad_mu;
    const Vec3 rv{r[0], r[1], r[2]}, vv{v[0], v[1], v[2]};
    const double rn = norm(rv), vn = norm(vv);
    if (rn == 0 || vn == 0) return ElementsStatus::zero_vector;
    const Vec3 h = cross(rv, vv);
    const double hn = norm(h);
    if (!(hn > 1e-12 * rn * vn)) return ElementsStatus::rectilinear;
    const Vec3 hu = h * (1.0 / hn);
    const Vec3 ecc = (cross(vv, h) * (1.0 / mu)) - rv * (1.0 / rn);
    const double e = norm(ecc);
    if (std::fabs(e - 1.0) < kParabolic) return ElementsStatus::parabolic;
    // a from the semi-latus rectum, p = h^2 / mu: no cancellation in the energy for near-parabolic orbits.
    const double p = hn * hn / mu;
    out.a = p / ((1.0 - e) * (1.0 + e));
    out.e = e;
    const double sin_i = std::hypot(hu.x, hu.y);
    out.i = std::atan2(sin_i, hu.z);
    const bool equatorial = sin_i < kEquatorial;
    const bool circular = e < kCircular;
    // The reference directions: the ascending node (x axis when equatorial), periapsis (the node when
    // circular); every angle is measured about the angular momentum from one of them.
    const Vec3 node = equatorial ? Vec3{1.0, 0.0, 0.0} : Vec3{-hu.y / sin_i, hu.x / sin_i, 0.0};
    const Vec3 peri = circular ? node : ecc * (1.0 / e);
    out.raan = equatorial ? 0.0 : wrap_2pi(std::atan2(node.y, node.x));
    out.argp = circular ? 0.0 : wrap_2pi(angle_about(node, peri, hu));
    const double nu = angle_about(peri, rv, hu);
    if (e < 1.0) {
        out.nu = wrap_2pi(nu);
        out.m = circular ? out.nu : mean_from_true(nu, e);
    } else {
        out.nu = nu;
        out.m = mean_from_true(nu, e);
    }
    return ElementsStatus::ok;
}

}  // namespace vextal::numerics
