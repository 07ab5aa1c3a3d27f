#include "core/elements.hpp"

#include "core/constants.hpp"
#include "core/vec3.hpp"

#include <cmath>
#include <initializer_list>

namespace vextal::numerics {

namespace {

// An angle in [-pi, pi] (atan2's range) as one in [0, 2 pi).
double wrap_half_turn(double y) {
    if (y < 0) y += two_pi;
    return y >= two_pi ? 0.0 : y;
}

// Angle from unit vector `from` to vector `to` about the axis `h` (unit), in (-pi, pi].
double angle_about(Vec3 from, Vec3 to, Vec3 h) { return std::atan2(dot(h, cross(from, to)), dot(from, to)); }

// E - e sin E = M for M in [-pi, pi], with sin E and cos E: from Danby's start E = M + 0.85 e sign(M) (within
// about 0.2 of the root for every e < 1), corrections of fourth order (Danby's), each of one sine and cosine.
// A correction d leaves an error of the order of d^4 (e / (1 - e cos E))^3, so the solve stops once that is
// below 1e-17 (most take two corrections) and turns sin and cos through the last correction by their series
// instead of evaluating them again. Where that does not happen within 8 corrections (e within about 1e-4 of 1
// near periapsis), Newton's method from M or pi (monotone, always converging) takes over.
bool solve_elliptic(double m, double e, double& big_e, double& sin_e, double& cos_e) {
    double x = m + 0.85 * e * (m < 0 ? -1.0 : 1.0);
    for (int k = 0; k < 8; ++k) {
        const double s = std::sin(x), c = std::cos(x);
        const double es = e * s, ec = e * c;
        const double f = x - es - m, f1 = 1.0 - ec;
        const double d1 = -f / f1;
        const double d2 = -f / (f1 + 0.5 * d1 * es);
        const double d = -f / (f1 + 0.5 * d2 * es + d2 * d2 * ec * (1.0 / 6.0));
        if (!std::isfinite(d)) break;
        x += d;
        const double ratio = std::fmax(e / f1, 1.0);
        const double d2sq = d * d;
        if (d2sq * d2sq * ratio * ratio * ratio <= 1e-17 * (1.0 + std::fabs(x))) {
            // |d| < 6e-5: sin d and cos d to well below a unit in the last place from three terms.
            const double sd = d * (1.0 - d2sq * (1.0 / 6.0));
            const double cd = 1.0 - d2sq * (0.5 - d2sq * (1.0 / 24.0));
            big_e = x;
            sin_e = s * cd + c * sd;
            cos_e = c * cd - s * sd;
            return true;
        }
    }
    x = e > 0.8 ? (m < 0 ? -pi : pi) : m;
    bool converged = false;
    for (int k = 0; k < 60 && !converged; ++k) {
        double f = x - e * std::sin(x) - m;
        double step = f / (1.0 - e * std::cos(x));
        x -= step;
        converged = std::fabs(step) <= 1e-15 * (1.0 + std::fabs(x));
    }
    big_e = x;
    sin_e = std::sin(x);
    cos_e = std::cos(x);
    return converged || std::fabs(x - e * sin_e - m) <= 1e-12;
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
        double turns = std::nearbyint(m / two_pi);
        double big_e, sin_e, cos_e;
        if (!solve_elliptic(m - turns * two_pi, e, big_e, sin_e, cos_e)) return ElementsStatus::no_convergence;
        nu = 2.0 * std::atan2(std::sqrt(1.0 + e) * std::sin(0.5 * big_e), std::sqrt(1.0 - e) * std::cos(0.5 * big_e));
        nu += turns * two_pi;
        return ElementsStatus::ok;
    }
    double h;
    if (!solve_hyperbolic(m, e, h)) return ElementsStatus::no_convergence;
    nu = 2.0 * std::atan(std::sqrt((e + 1.0) / (e - 1.0)) * std::tanh(0.5 * h));
    return ElementsStatus::ok;
}

namespace {

// The mean anomaly of the true anomaly whose sine and cosine are s and c. For the ellipse sin E is
// sqrt(1 - e^2) s / (1 + e c), the sine of the angle the arc tangent gives, without evaluating it again.
double mean_of(double s, double c, double e) noexcept {
    if (e < 1.0) {
        const double b = std::sqrt(1.0 - e * e);
        const double big_e = std::atan2(b * s, e + c);
        return wrap_half_turn(big_e - e * (b * s / (1.0 + e * c)));
    }
    double h = std::asinh(std::sqrt(e * e - 1.0) * s / (1.0 + e * c));
    return e * std::sinh(h) - h;
}

}  // namespace

double mean_from_true(double nu, double e) noexcept { return mean_of(std::sin(nu), std::cos(nu), e); }

ElementsStatus elements_to_state(double a, double e, double i, double raan, double argp, double anomaly,
                                 bool mean_anomaly, double mu, double r[3], double v[3]) noexcept {
    for (double x : {a, e, i, raan, argp, anomaly}) {
        if (!std::isfinite(x)) return ElementsStatus::not_finite;
    }
    if (!(mu > 0) || !std::isfinite(mu)) return ElementsStatus::bad_mu;
    if (e < 0) return ElementsStatus::negative_e;
    if (std::fabs(e - 1.0) < kParabolic) return ElementsStatus::parabolic;
    if ((e < 1.0) != (a > 0)) return ElementsStatus::sign_mismatch;
    double xp, yp, vxp, vyp;  // perifocal position and velocity
    if (mean_anomaly && e < 1.0) {
        // An ellipse at a mean anomaly: straight from the eccentric anomaly E, with no true anomaly. 1 - cos E
        // is taken as sin^2 E / (1 + cos E) where cos E > 0, which keeps its digits near periapsis, and so
        // those of r = a (1 - e cos E) = a ((1 - e) + e (1 - cos E)) near e = 1.
        const double turns = std::nearbyint(anomaly / two_pi);
        double big_e, s, c;
        if (!solve_elliptic(anomaly - turns * two_pi, e, big_e, s, c)) return ElementsStatus::no_convergence;
        const double omc = c > 0 ? s * s / (1.0 + c) : 1.0 - c;
        const double q = (1.0 - e) + e * omc;  // r / a
        const double b = std::sqrt((1.0 - e) * (1.0 + e));
        const double rate = std::sqrt(mu / a) / q;
        xp = a * ((1.0 - e) - omc);
        yp = a * b * s;
        vxp = -rate * s;
        vyp = rate * b * c;
    } else {
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
        xp = radius * cnu;
        yp = radius * snu;
        vxp = -speed * snu;
        vyp = speed * (e + cnu);
    }
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
    const double sin_i = std::sqrt(hu.x * hu.x + hu.y * hu.y);  // hu is a unit vector: no overflow
    out.i = std::atan2(sin_i, hu.z);
    const bool equatorial = sin_i < kEquatorial;
    const bool circular = e < kCircular;
    // The reference directions: the ascending node (x axis when equatorial), periapsis (the node when
    // circular); every angle is measured about the angular momentum from one of them.
    const Vec3 node = equatorial ? Vec3{1.0, 0.0, 0.0} : Vec3{-hu.y / sin_i, hu.x / sin_i, 0.0};
    const Vec3 peri = circular ? node : ecc * (1.0 / e);
    out.raan = equatorial ? 0.0 : wrap_half_turn(std::atan2(node.y, node.x));
    out.argp = circular ? 0.0 : wrap_half_turn(angle_about(node, peri, hu));
    // The position in the perifocal frame: its direction gives nu, and its sine and cosine the mean anomaly.
    const double px = dot(peri, rv), py = dot(hu, cross(peri, rv));
    const double nu = std::atan2(py, px);
    const double rho = std::sqrt(px * px + py * py);
    if (e < 1.0) {
        out.nu = wrap_half_turn(nu);
        out.m = circular ? out.nu : mean_of(py / rho, px / rho, e);
    } else {
        out.nu = nu;
        out.m = mean_of(py / rho, px / rho, e);
    }
    return ElementsStatus::ok;
}

}  // namespace vextal::numerics
