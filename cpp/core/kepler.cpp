#include "core/kepler.hpp"

#include <cmath>
#include <limits>

#include "core/constants.hpp"
#include "core/detail.hpp"
#include "core/vec3.hpp"

namespace vextal::numerics {
namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

using detail::stumpff_series;
constexpr double series_limit = detail::stumpff_series_limit;

struct Universal {
    double u0, u1, u2, u3;
};

// U_k(s) = s^k c_k(beta s^2).
Universal universal(double s, double beta) {
    Universal u;
    double z = beta * s * s;
    if (std::fabs(z) < series_limit) {
        double c2, c3;
        stumpff_series(z, c2, c3);
        double s2 = s * s;
        u.u0 = 1 - z * c2;
        u.u1 = s * (1 - z * c3);
        u.u2 = s2 * c2;
        u.u3 = s2 * s * c3;
    } else if (z > 0) {
        double sq = std::sqrt(beta);
        double a = sq * s;
        u.u0 = std::cos(a);
        u.u1 = std::sin(a) / sq;
        u.u2 = (1 - u.u0) / beta;
        u.u3 = (s - u.u1) / beta;
    } else {
        double sq = std::sqrt(-beta);
        double a = sq * s;
        u.u0 = std::cosh(a);
        u.u1 = std::sinh(a) / sq;
        u.u2 = (u.u0 - 1) / -beta;
        u.u3 = (u.u1 - s) / -beta;
    }
    return u;
}



struct KeplerSolve {
    double r0, sigma0, beta, mu, dt;
    int iterations = 0;

    // Kepler's equation residual and its first two derivatives in s.
    void eval(double s, Universal& u, double& F, double& dF, double& d2F) {
        ++iterations;
        u = universal(s, beta);
        F = r0 * u.u1 + sigma0 * u.u2 + mu * u.u3 - dt;
        dF = r0 * u.u0 + sigma0 * u.u1 + mu * u.u2;
        d2F = sigma0 * u.u0 + (mu - beta * r0) * u.u1;
    }
};

// A point strictly inside (lo, hi): the midpoint, or the geometric mean when
// the bracket spans orders of magnitude on one side of zero.
double split(double lo, double hi) {
    if (lo >= 0 && hi > 0) {
        double base = lo > 0 ? lo : hi * 1e-20;
        if (hi > 8 * base) return std::sqrt(base) * std::sqrt(hi);
    } else if (hi <= 0 && lo < 0) {
        double base = hi < 0 ? -hi : -lo * 1e-20;
        if (-lo > 8 * base) return -std::sqrt(base) * std::sqrt(-lo);
    }
    return 0.5 * (lo + hi);
}

}  // namespace

const char* kepler_status_message(KeplerStatus status) noexcept {
    switch (status) {
        case KeplerStatus::ok:
            return "converged";
        case KeplerStatus::bad_input:
            return "invalid input: position, velocity, time step and mu must be finite, |r| > 0 and mu > 0";
        case KeplerStatus::no_convergence:
            return "Kepler's equation did not converge";
        case KeplerStatus::not_finite:
            return "the propagated state is not finite (overflow, or a radial orbit through the centre)";
        case KeplerStatus::ill_conditioned:
            return "the orbit passes too close to the centre for double precision to resolve the propagation";
    }
    return "unknown status";
}

void stumpff(double z, double c[4]) noexcept {
    if (std::fabs(z) < series_limit) {
        stumpff_series(z, c[2], c[3]);
        c[0] = 1 - z * c[2];
        c[1] = 1 - z * c[3];
    } else if (z > 0) {
        double a = std::sqrt(z);
        c[0] = std::cos(a);
        c[1] = std::sin(a) / a;
        c[2] = (1 - c[0]) / z;
        c[3] = (1 - c[1]) / z;
    } else {
        double a = std::sqrt(-z);
        c[0] = std::cosh(a);
        c[1] = std::sinh(a) / a;
        c[2] = (c[0] - 1) / -z;
        c[3] = (c[1] - 1) / -z;
    }
}

KeplerStatus lagrange_coefficients(const double r0v[3], const double v0v[3], double dt, double mu,
                                   LagrangeCoefficients& out) noexcept {
    out = LagrangeCoefficients();
    if (!finite3(r0v) || !finite3(v0v) || !std::isfinite(dt) || !std::isfinite(mu) || !(mu > 0))
        return KeplerStatus::bad_input;
    const double r0 = std::sqrt(dot(r0v, r0v));
    if (!(r0 > 0) || !std::isfinite(r0)) return KeplerStatus::bad_input;
    out.r = r0;
    if (dt == 0) return KeplerStatus::ok;

    const double sigma0 = dot(r0v, v0v);
    const double beta = 2 * mu / r0 - dot(v0v, v0v);  // mu / a

    // Elliptic: the coefficients are periodic, so move dt into [-P/2, P/2].
    double s_period = std::numeric_limits<double>::infinity();
    if (beta > 0) {
        double sqb = std::sqrt(beta);
        double period = two_pi * mu / (beta * sqb);
        s_period = two_pi / sqb;
        if (std::isfinite(period) && std::fabs(dt) > 0.5 * period)
            dt = std::fma(-std::nearbyint(dt / period), period, dt);
        if (dt == 0) return KeplerStatus::ok;
    }

    // Bracket from r_min <= dt/ds <= r_max (1% slack for rounding in q and Q).
    double h[3];
    detail::accurate_cross(r0v, v0v, h);
    const double h2 = dot(h, h);
    const double p = h2 / mu;
    const double e = std::sqrt(std::fmax(0.0, 1 - p * beta / mu));
    const double q = p / (1 + e);
    const double adt = std::fabs(dt);
    const double s_lo = beta > 0 ? 0.99 * adt / (2 * mu / beta - q) : 0.0;
    const double s_hi = std::fmin(q > 0 ? 1.01 * adt / q : std::numeric_limits<double>::infinity(), 1.01 * s_period);
    double lo = dt > 0 ? s_lo : -s_hi;
    double hi = dt > 0 ? s_hi : -s_lo;

    KeplerSolve k{r0, sigma0, beta, mu, dt};
    Universal u{};
    double F = 0, dF = 0, d2F = 0;

    // Starting value: mean motion for ellipses, the logarithmic form for
    // hyperbolas, the near-pericentre line otherwise.
    double s = dt / r0;
    if (beta > 0) {
        s = dt * beta / mu;
    } else if (beta < 0) {
        double sq = std::sqrt(-beta);
        double sgn = dt > 0 ? 1.0 : -1.0;
        double den = sigma0 + sgn * (mu / sq) * (1 - r0 * beta / mu);
        double arg = -2 * beta * dt / den;
        if (arg > 0 && std::isfinite(arg)) s = sgn * std::log(arg) / sq;
    }

    // A radial hyperbolic or parabolic orbit has no finite bound: expand.
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        double probe = std::fabs(s) > 0 ? std::fabs(s) : adt / r0;
        for (int i = 0; i < 2100 && std::isfinite(probe); ++i, probe *= 2) {
            k.eval(dt > 0 ? probe : -probe, u, F, dF, d2F);
            if (dt > 0 ? F > 0 : F < 0) break;
        }
        if (!std::isfinite(probe)) return KeplerStatus::not_finite;
        if (dt > 0) hi = probe; else lo = -probe;
    }
    if (!(s > lo && s < hi)) s = split(lo, hi);

    bool converged = false;
    for (int it = 0; it < 300; ++it) {
        k.eval(s, u, F, dF, d2F);
        if (F == 0) {
            converged = true;
            break;
        }
        if (std::isnan(F)) {
            // Overflowed cosh/sinh far out on a hyperbola: beyond the root.
            if (s > 0) hi = s; else lo = s;
            s = split(lo, hi);
            continue;
        }
        if (F < 0) lo = s; else hi = s;
        // Laguerre's step (n = 5), scaled by dF = r > 0 so that nothing
        // overflows far out on a hyperbola.
        const double G = F / dF, H = G * (d2F / dF);
        double next = s - 5 * G / (1 + std::sqrt(std::fabs(16 - 20 * H)));
        if (!std::isfinite(F) || !std::isfinite(dF) || !std::isfinite(next)) next = split(lo, hi);
        else if (std::fabs(next - s) <= 2 * eps * std::fabs(s)) {
            converged = true;
            break;
        }
        if (hi - lo <= 2 * eps * std::fmax(std::fabs(lo), std::fabs(hi))) {
            converged = true;
            break;
        }
        if (!(next > lo && next < hi) || it >= 60) next = split(lo, hi);
        s = next;
    }
    out.iterations = k.iterations;
    if (!converged) return KeplerStatus::no_convergence;

    double r = dF;
    double g = r0 * u.u1 + sigma0 * u.u2;
    if (beta < 0 && std::sqrt(-beta) * std::fabs(s) > 2 && sigma0 < 0) {
        // Inbound on a hyperbola and far past pericentre: r0 U1 and sigma0 U2 are
        // huge and cancel, so s carries an error of eps times their size. The
        // hyperbolic-anomaly form, anchored at pericentre, has no such
        // cancellation: polish the anomaly with it and take g from dt - mu U3.
        const double sq = std::sqrt(-beta);
        const double esh0 = sigma0 * sq / mu;  // e sinh F0
        const double F0 = std::asinh(esh0 / e);
        const double M = (esh0 - F0) + (-beta) * sq / mu * dt;
        double Fa = F0 + sq * s;
        for (int i = 0; i < 4; ++i) {
            double step = (e * std::sinh(Fa) - Fa - M) / (e * std::cosh(Fa) - 1);
            if (!std::isfinite(step)) break;
            Fa -= step;
            if (std::fabs(step) <= 4 * eps * std::fabs(Fa)) break;
        }
        const double dFa = Fa - F0;
        if (std::isfinite(dFa)) {
            s = dFa / sq;
            u.u0 = std::cosh(dFa);
            u.u1 = std::sinh(dFa) / sq;
            u.u2 = (u.u0 - 1) / -beta;
            u.u3 = (u.u1 - s) / -beta;
            r = mu / -beta * (e * std::cosh(Fa) - 1);
            g = dt - mu * u.u3;
        }
    }
    out.s = s;
    out.r = r;
    out.f_minus_1 = -mu * u.u2 / r0;
    out.f = 1 + out.f_minus_1;
    out.g = g;
    out.fdot = -mu * u.u1 / (r * r0);
    out.gdot_minus_1 = -mu * u.u2 / r;
    out.gdot = 1 + out.gdot_minus_1;
    if (!std::isfinite(out.f_minus_1) || !std::isfinite(out.g) || !std::isfinite(out.fdot) ||
        !std::isfinite(out.gdot_minus_1))
        return KeplerStatus::not_finite;
    return KeplerStatus::ok;
}

KeplerStatus propagate(const double r0[3], const double v0[3], double dt, double mu, double r[3], double v[3],
                       int* iterations) noexcept {
    LagrangeCoefficients c;
    KeplerStatus status = lagrange_coefficients(r0, v0, dt, mu, c);
    if (iterations) *iterations = c.iterations;
    if (status != KeplerStatus::ok) return status;
    double rn[3], vn[3];
    for (int i = 0; i < 3; ++i) {
        rn[i] = r0[i] + (c.f_minus_1 * r0[i] + c.g * v0[i]);
        vn[i] = v0[i] + (c.fdot * r0[i] + c.gdot_minus_1 * v0[i]);
    }
    if (!finite3(rn) || !finite3(vn)) return KeplerStatus::not_finite;
    // A solve that rounding defeated shows as a state off the orbit: energy and angular momentum must hold
    // (to 1e-8 of their scales; a sound result keeps them to about 1e-13).
    const double r0n = std::sqrt(dot(r0, r0)), r1n = std::sqrt(dot(rn, rn));
    const double w0 = 0.5 * dot(v0, v0), w1 = 0.5 * dot(vn, vn);
    double h0[3], h1[3];
    detail::accurate_cross(r0, v0, h0);
    detail::accurate_cross(rn, vn, h1);
    const double h0n = std::sqrt(dot(h0, h0)), h1n = std::sqrt(dot(h1, h1));
    if (std::fabs((w1 - mu / r1n) - (w0 - mu / r0n)) > 1e-8 * std::fmax(w0 + mu / r0n, w1 + mu / r1n) ||
        std::fabs(h1n - h0n) > 1e-8 * std::fmax(r0n * std::sqrt(2 * w0), r1n * std::sqrt(2 * w1)))
        return KeplerStatus::ill_conditioned;
    for (int i = 0; i < 3; ++i) {
        r[i] = rn[i];
        v[i] = vn[i];
    }
    return KeplerStatus::ok;
}

}  // namespace vextal::numerics
