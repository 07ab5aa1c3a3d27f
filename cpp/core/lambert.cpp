#include "core/lambert.hpp"
#include "core/constants.hpp"
#include "core/lambert_batch_internal.hpp"
#include "core/lambert_internal.hpp"

#include <cmath>
#include <limits>
#include <new>

#include "core/constants.hpp"
#include "core/detail.hpp"
#include "core/vec3.hpp"

namespace vextal::numerics {
namespace {

using Shape = LambertShape;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double inf = std::numeric_limits<double>::infinity();

// |z of the unit plane normal| at or below this puts the plane through the z axis.
constexpr double polar_plane_tolerance = 1e-12;
// |r1 x r2| <= this * |r1| |r2|: the vectors count as collinear.
constexpr double collinear_tolerance = 1e-14;
constexpr int householder_limit = 50;
constexpr int halley_limit = 50;
// Zero-revolution arcs with |x - 1| below this take their derivatives from
// Battin's series, where Izzo's closed forms lose digits to cancellation
// (about eps / |1 - x^2|^k in the k-th derivative: at most 4e-12 outside).
constexpr double battin_region = 0.02;

double cube(double a) { return a * a * a; }

double y_of(double x, const Shape& sh) { return std::sqrt(sh.oml2 + sh.lambda * sh.lambda * x * x); }

// eta = y - lambda x > 0, without cancellation when lambda x > 0.
double eta_of(double x, double y, const Shape& sh) {
    double lx = sh.lambda * x;
    return lx <= 0 ? y - lx : sh.oml2 / (y + lx);
}

// T(x): (psi - sin psi) / u^(3/2) with u = 1 - x^2, plus N pi / u^(3/2), plus
// (1 + lambda)(1 - lambda^2) / (x + y); every term is non-negative. psi is the
// difference of the half anomalies: sin psi = sqrt(u) eta, cos psi = x y + lambda u
// (sinh psi = sqrt(-u) eta on hyperbolas).
double tof_impl(double x, int N, const Shape& sh, double y, double eta) {
    const double lam = sh.lambda;
    const double u = (1 - x) * (1 + x);
    double A;
    if (u > 0) {
        const double t = std::sqrt(u);
        const double psi = std::atan2(t * eta, x * y + lam * u);
        if (psi * psi < detail::stumpff_series_limit) {
            const double c3 = detail::stumpff_c3_series(psi * psi);  // (psi - sin psi) / psi^3
            // psi / t = eta psi / sin psi, finite as t -> 0
            double ratio = psi < 1e-4 ? eta * (1 + psi * psi * (1.0 / 6 + 7 * psi * psi / 360)) : psi / t;
            A = c3 * cube(ratio);
        } else {
            A = (psi - t * eta) / (u * t);
        }
        if (N > 0) A += N * pi / (u * t);
    } else if (u < 0) {
        if (N > 0) return inf;
        const double w = std::sqrt(-u);
        const double psi = std::asinh(w * eta);
        if (psi * psi < detail::stumpff_series_limit) {
            const double c3 = detail::stumpff_c3_series(-psi * psi);  // (sinh psi - psi) / psi^3
            double ratio = psi < 1e-4 ? eta * (1 - psi * psi * (1.0 / 6 - 7 * psi * psi / 360)) : psi / w;
            A = c3 * cube(ratio);
        } else {
            A = (w * eta - psi) / (-u * w);
        }
    } else {
        if (N > 0) return inf;
        A = cube(eta) / 6;
    }
    // (1 + lambda)(1 - lambda^2) / (x + y); for x < 0, where x + y cancels, the
    // same through y^2 - x^2 = (1 - lambda^2) u.
    return A + (x >= 0 ? (1 + lam) * sh.oml2 / (x + y) : (1 + lam) * (y - x) / u);
}

// Derivatives of Battin's form T = eta^3 G(S) + 2 lambda eta, with
// G = (2/3) 2F1(3, 1; 5/2; S) and S = sin^2(psi / 2) = u eta^2 / (2 (1 + cos psi)).
TofDerivatives battin_derivatives(double x, double T, const Shape& sh, double y, double eta) {
    const double lam = sh.lambda, oml2 = sh.oml2;
    const double u = (1 - x) * (1 + x);
    const double S = u * eta * eta / (2 * (1 + x * y + lam * u));
    double F0 = 0, F1 = 0, F2 = 0, F3 = 0;
    double c = 1, p0 = 1, pm1 = 0, pm2 = 0, pm3 = 0;  // c_j and S^j, S^(j-1), ...
    for (int j = 0; j < 200; ++j) {
        F0 += c * p0;
        F1 += j * c * pm1;
        F2 += j * (j - 1) * c * pm2;
        F3 += j * (j - 1) * (j - 2) * c * pm3;
        if (j >= 3 && std::fabs(c * p0) * (double(j) * j * j + 1) <= 1e-18) break;
        pm3 = pm2;
        pm2 = pm1;
        pm1 = p0;
        p0 *= S;
        c *= (3.0 + j) / (2.5 + j);
    }
    const double G = 2 * F0 / 3, Gs = 2 * F1 / 3, Gss = 2 * F2 / 3, Gsss = 2 * F3 / 3;
    const double y2 = y * y, y3 = y2 * y, y5 = y3 * y2, lam2 = lam * lam;
    const double e1 = -lam * eta / y;
    const double e2 = lam2 * oml2 / y3;
    const double e3 = -3 * lam2 * lam2 * oml2 * x / y5;
    const double s1 = -eta * eta / (2 * y);
    const double s2 = lam * eta * eta * (2 * y + lam * x) / (2 * y3);
    const double s3 = -3 * lam2 * oml2 * oml2 / (2 * y5);
    const double E = cube(eta);
    const double E1 = 3 * eta * eta * e1;
    const double E2 = 6 * eta * e1 * e1 + 3 * eta * eta * e2;
    const double E3 = 6 * cube(e1) + 18 * eta * e1 * e2 + 3 * eta * eta * e3;
    const double GsS1 = Gs * s1;
    const double Gpp = Gss * s1 * s1 + Gs * s2;  // d2G/dx2
    TofDerivatives d;
    d.T = T;
    d.dT = E1 * G + E * GsS1 + 2 * lam * e1;
    d.ddT = E2 * G + 2 * E1 * GsS1 + E * Gpp + 2 * lam * e2;
    d.dddT = E3 * G + 3 * E2 * GsS1 + 3 * E1 * Gpp + E * (Gsss * cube(s1) + 3 * Gss * s1 * s2 + Gs * s3) +
             2 * lam * e3;
    return d;
}

TofDerivatives derivatives_impl(double x, int N, const Shape& sh) {
    const double y = y_of(x, sh);
    const double eta = eta_of(x, y, sh);
    const double T = tof_impl(x, N, sh, y, eta);
    if (N == 0 && std::fabs(x - 1) < battin_region) return battin_derivatives(x, T, sh, y, eta);
    const double lam = sh.lambda, l2 = lam * lam, l3 = l2 * lam;
    const double u = (1 - x) * (1 + x);
    const double y3 = y * y * y, y5 = y3 * y * y;
    TofDerivatives d;
    d.T = T;
    d.dT = (3 * T * x - 2 + 2 * l3 * x / y) / u;
    d.ddT = (3 * T + 5 * x * d.dT + 2 * sh.oml2 * l3 / y3) / u;
    d.dddT = (7 * x * d.ddT + 8 * d.dT - 6 * sh.oml2 * l3 * l2 * x / y5) / u;
    return d;
}

// Solves T(x) = Tstar on one monotone branch: branch 0 (N = 0, T falls on
// (-1, inf)), -1 (N >= 1, x < x_min, T falls) or +1 (x > x_min, T rises).
// [lo, hi] brackets the root and shrinks with every evaluation; the side of a
// point follows from the sign of the residual and, for N >= 1, of dT/dx.
struct BranchSolve {
    double x = 0;
    int iterations = 0;
    bool ok = false;
};

BranchSolve householder(double Tstar, int N, int branch, double x, double lo, double hi, const Shape& sh) {
    BranchSolve out;
    double best_x = x, best_res = inf, best_slope = 0;
    for (int it = 0; it < householder_limit; ++it) {
        const TofDerivatives d = derivatives_impl(x, N, sh);
        ++out.iterations;
        const double res = d.T - Tstar;
        const bool on_branch = branch == 0 || (branch < 0 ? d.dT <= 0 : d.dT >= 0);
        if (on_branch && std::fabs(res) < std::fabs(best_res)) {
            best_x = x;
            best_res = res;
            best_slope = d.dT;
        }
        if (on_branch && std::fabs(res) <= eps * Tstar) break;
        // Narrow the bracket.
        if (!std::isfinite(res)) {
            if (x > 0) hi = x; else lo = x;  // overflow at a far end
        } else if (!on_branch) {
            if (branch < 0) hi = x; else lo = x;
        } else if ((branch <= 0) == (res > 0)) {
            lo = x;
        } else {
            hi = x;
        }
        double next = x;
        if (on_branch && std::isfinite(res)) {
            const double d2 = d.dT * d.dT;
            next = x - res * (d2 - res * d.ddT / 2) / (d.dT * (d2 - res * d.ddT) + d.dddT * res * res / 6);
        }
        // A step at the spacing of doubles ends the iteration (x is then an end
        // of the bracket, so this test comes before the bracket test).
        const double spacing = 4 * eps * std::fmax(1.0, std::fabs(x));
        if (on_branch && std::fabs(next - x) <= spacing) break;
        if (hi - lo <= spacing) break;
        if (!(next > lo && next < hi)) {
            next = std::isfinite(hi) ? 0.5 * (lo + hi) : lo + std::fmax(1.0, 2 * std::fabs(lo));
        } else if (on_branch) {
            // The step's error is below (q2^2 / 4 + |q3| / 6) e^3 with e <= 2 |step|
            // (qk the k-th derivative over the first): when that is under half
            // an ulp of x, the new point is final and needs no evaluation.
            const double step = std::fabs(next - x);
            const double q2 = d.ddT / d.dT, q3 = d.dddT / d.dT;
            const double bound = (0.25 * q2 * q2 + std::fabs(q3) / 6) * 8 * step * step * step;
            if (bound <= 0.5 * eps * std::fmax(1.0, std::fabs(next)) && std::fabs(res) <= 1e-3 * Tstar) {
                out.x = next;
                out.ok = true;
                return out;
            }
        }
        x = next;
    }
    out.x = best_x;
    // Accept rounding in T and what the spacing of doubles near x allows.
    out.ok = std::fabs(best_res) <= 64 * eps * Tstar + 8 * eps * std::fabs(best_slope) * std::fmax(1.0, std::fabs(best_x));
    return out;
}

// The minimum of the N-revolution time curve (dT/dx = 0; T is convex on (-1, 1)) by Halley's method on
// dT/dx inside a bisection bracket, from x = 2 / (3 pi (N + 1/2)), which fits the minimum to about 1e-2
// for every lambda. A step below 1e-9 ends it: T is stationary there, so T at the last point is T_min to
// within T'' 1e-18.
struct MinimumTime {
    double x, T;
};

MinimumTime minimum_time(int N, const Shape& sh, int& iterations) {
    double lo = -1, hi = 1, x = 2 / (3 * pi * (N + 0.5));
    TofDerivatives d{};
    for (int it = 0; it < halley_limit; ++it) {
        d = derivatives_impl(x, N, sh);
        ++iterations;
        if (d.dT == 0) break;
        if (d.dT > 0) hi = x; else lo = x;
        double next = x - d.dT * d.ddT / (d.ddT * d.ddT - d.dT * d.dddT / 2);
        if (std::fabs(next - x) <= 1e-9 || hi - lo <= 4 * eps) {
            if (next > lo && next < hi) x = next;
            break;
        }
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        x = next;
    }
    return {x, d.T};
}

// detail::accurate_cross() built for CPUs with fused multiply-add too (x86-64), where its exact products are then
// instructions, not library calls; the same results, an fma being exactly rounded either way. The CPU is
// asked once, when the library loads.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("fma"))) void accurate_cross_fma(const double a[3], const double b[3], double out[3]) noexcept {
    detail::accurate_cross(a, b, out);
}
const bool cpu_has_fma = (__builtin_cpu_init(), __builtin_cpu_supports("fma"));
void accurate_cross(const double a[3], const double b[3], double out[3]) noexcept {
    if (cpu_has_fma)
        accurate_cross_fma(a, b, out);
    else
        detail::accurate_cross(a, b, out);
}
#else
using detail::accurate_cross;
#endif

}  // namespace

void lambert_velocities(double x, const LambertGeometry& g, LambertSolution& sol) noexcept {
    const double lam = g.shape.lambda;
    const double y = y_of(x, g.shape);
    const double eta = eta_of(x, y, g.shape);
    const double ly = lam * y;
    // (lambda y - x) -+ rho (lambda y + x), regrouped on 1 +- rho, which keep their digits when r1 and
    // r2 differ greatly in length
    const double vr1 = g.gamma * (ly * g.one_minus_rho - x * g.one_plus_rho) / g.R1;
    const double vr2 = -g.gamma * (ly * g.one_plus_rho - x * g.one_minus_rho) / g.R2;
    const double vt = g.gamma * g.sigma * g.shape.oml2 / eta;  // gamma sigma (y + lambda x)
    const double vt1 = vt / g.R1, vt2 = vt / g.R2;
    for (int i = 0; i < 3; ++i) {
        sol.v1[i] = vr1 * g.ir1[i] + vt1 * g.it1[i];
        sol.v2[i] = vr2 * g.ir2[i] + vt2 * g.it2[i];
    }
    sol.x = x;
}

namespace {

LambertStatus fail(LambertResult& out, LambertStatus status) {
    out.status = status;
    out.solutions.clear();
    return status;
}

}  // namespace

const char* lambert_status_message(LambertStatus status) noexcept {
    switch (status) {
        case LambertStatus::ok:
            return "solved";
        case LambertStatus::non_finite_input:
            return "r1, r2, tof and mu must be finite numbers";
        case LambertStatus::zero_position:
            return "r1 and r2 must have non-zero length";
        case LambertStatus::collinear:
            return "r1 and r2 are collinear (transfer angle 0 or 180 degrees): the transfer plane is undefined";
        case LambertStatus::bad_time_of_flight:
            return "the time of flight must be positive";
        case LambertStatus::bad_mu:
            return "the gravitational parameter mu must be positive";
        case LambertStatus::bad_max_revs:
            return "max_revs must not be negative";
        case LambertStatus::too_many_revolutions:
            return "more than 100000 revolutions requested and feasible";
        case LambertStatus::out_of_range:
            return "the problem's magnitudes overflow double precision";
        case LambertStatus::no_convergence:
            return "the Lambert iteration did not converge";
        case LambertStatus::out_of_memory:
            return "out of memory";
    }
    return "unknown status";
}

double lambert_tof(double x, int N, double lambda, double one_minus_lambda2) noexcept {
    const Shape sh{lambda, one_minus_lambda2};
    const double y = y_of(x, sh);
    return tof_impl(x, N, sh, y, eta_of(x, y, sh));
}

TofDerivatives lambert_tof_derivatives(double x, int N, double lambda, double one_minus_lambda2) noexcept {
    return derivatives_impl(x, N, Shape{lambda, one_minus_lambda2});
}

LambertStatus lambert_setup(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                            int max_revs, LambertResult& out, LambertSetup& setup) noexcept {
    out.status = LambertStatus::ok;
    out.failed_revolutions = -1;
    out.failed_branch = 0;
    out.min_time_iterations = 0;
    out.max_revs = 0;
    out.solutions.clear();
    if (!finite3(r1) || !finite3(r2) || !std::isfinite(tof) || !std::isfinite(mu))
        return fail(out, LambertStatus::non_finite_input);
    if (!(tof > 0)) return fail(out, LambertStatus::bad_time_of_flight);
    if (!(mu > 0)) return fail(out, LambertStatus::bad_mu);
    if (max_revs < 0) return fail(out, LambertStatus::bad_max_revs);

    LambertGeometry& g = setup.g;
    g.R1 = norm(r1);
    g.R2 = norm(r2);
    if (!std::isfinite(g.R1) || !std::isfinite(g.R2)) return fail(out, LambertStatus::out_of_range);
    if (g.R1 == 0 || g.R2 == 0) return fail(out, LambertStatus::zero_position);
    const double d[3] = {r2[0] - r1[0], r2[1] - r1[1], r2[2] - r1[2]};
    g.c = norm(d);
    g.s = 0.5 * (g.R1 + g.R2 + g.c);
    double h[3];
    accurate_cross(r1, r2, h);
    const double hn = norm(h);
    if (!std::isfinite(g.s) || !std::isfinite(hn)) return fail(out, LambertStatus::out_of_range);
    if (hn <= collinear_tolerance * g.R1 * g.R2 || g.c == 0) return fail(out, LambertStatus::collinear);
    for (int i = 0; i < 3; ++i) {
        g.ir1[i] = r1[i] / g.R1;
        g.ir2[i] = r2[i] / g.R2;
        h[i] /= hn;
    }

    // Short way (+1) or long way (-1) round the plane normal r1 x r2.
    double way;
    if (std::fabs(h[2]) <= polar_plane_tolerance)
        way = prograde ? 1.0 : -1.0;
    else
        way = ((h[2] > 0) == prograde) ? 1.0 : -1.0;
    for (int i = 0; i < 3; ++i) h[i] *= way;
    accurate_cross(h, g.ir1, g.it1);
    accurate_cross(h, g.ir2, g.it2);

    // Half-angle terms of the geometric angle theta in [0, pi], each from the
    // better conditioned of |ir1 + ir2| = 2 cos(theta/2) and |ir2 - ir1| = 2 sin(theta/2).
    const double sin_theta = hn / (g.R1 * g.R2);
    double cos_half, sin_half;
    const double sum[3] = {g.ir1[0] + g.ir2[0], g.ir1[1] + g.ir2[1], g.ir1[2] + g.ir2[2]};
    const double dif[3] = {g.ir2[0] - g.ir1[0], g.ir2[1] - g.ir1[1], g.ir2[2] - g.ir1[2]};
    if (norm(sum) >= norm(dif)) {
        cos_half = 0.5 * norm(sum);
        sin_half = sin_theta / (2 * cos_half);
    } else {
        sin_half = 0.5 * norm(dif);
        cos_half = sin_theta / (2 * sin_half);
    }
    const double sqrt_r1r2 = std::sqrt(g.R1) * std::sqrt(g.R2);
    g.shape.lambda = way * sqrt_r1r2 * cos_half / g.s;
    g.shape.oml2 = g.c / g.s;
    // c + R1 - R2 and c - R1 + R2 multiply to 4 R1 R2 sin^2(theta/2): take the larger directly, the
    // other through that product.
    const double d_plus = g.c + (g.R1 - g.R2), d_minus = g.c - (g.R1 - g.R2);
    const double four_r1r2_sin2 = 4 * g.R1 * g.R2 * sin_half * sin_half;
    g.one_plus_rho = (d_plus >= d_minus ? d_plus : four_r1r2_sin2 / d_minus) / g.c;
    g.one_minus_rho = (d_plus >= d_minus ? four_r1r2_sin2 / d_plus : d_minus) / g.c;
    g.sigma = 2 * sqrt_r1r2 * sin_half / g.c;
    g.gamma = std::sqrt(mu * g.s / 2);
    const double T = tof * (std::sqrt(2 * mu / g.s) / g.s);
    out.lambda = g.shape.lambda;
    out.chord = g.c;
    out.semiperimeter = g.s;
    out.T = T;
    if (!std::isfinite(T) || !(T > 0) || !std::isfinite(g.gamma) || !(g.gamma > 0))
        return fail(out, LambertStatus::out_of_range);
    setup.T = T;
    setup.T00 = std::acos(g.shape.lambda) + g.shape.lambda * std::sqrt(g.shape.oml2);  // T(x = 0), no revolutions
    return lambert_revolutions(setup, max_revs, out);
}

LambertStatus lambert_revolutions(LambertSetup& setup, int max_revs, LambertResult& out) noexcept {
    const Shape& sh = setup.g.shape;
    const double T = setup.T, T00 = setup.T00;

    // Revolution count: T(x) >= N pi, so N <= T / pi; the largest candidate
    // is kept only if its minimum time does not exceed T. Every smaller N is
    // feasible, since T_min(N - 1) <= T(0; N - 1) <= N pi.
    const double n_bound = std::floor(T / pi);
    int n_max = n_bound < double(max_revs) ? int(n_bound) : max_revs;
    setup.x_min = 0;
    setup.have_min = false;
    if (n_max > 0 && n_max == n_bound) {
        if (T < T00 + n_max * pi) {
            const MinimumTime m = minimum_time(n_max, sh, out.min_time_iterations);
            setup.x_min = m.x;
            setup.have_min = true;
            if (m.T > T) {
                --n_max;
                setup.have_min = false;
            }
        }
    }
    if (n_max > max_lambert_revolutions) return fail(out, LambertStatus::too_many_revolutions);
    out.max_revs = n_max;
    setup.n_max = n_max;
    return LambertStatus::ok;
}

LambertArc lambert_arc(const LambertSetup& setup, int k, double x_start) noexcept {
    const double T = setup.T, T00 = setup.T00, lam = setup.g.shape.lambda;
    LambertArc arc;
    arc.revolutions = slot_revolutions(k);
    arc.branch = slot_branch(k);
    double x0 = x_start;
    if (k == 0) {
        // Zero revolutions, from Izzo's 2015 starting values.
        arc.lo = -1;
        arc.hi = inf;
        const double T1 = 2.0 / 3.0 * (1 - lam * lam * lam);
        if (!(x0 > -1 && x0 < inf)) {
            if (T >= T00)
                x0 = -(T - T00) / (T - T00 + 4);
            else if (T <= T1)
                x0 = 2.5 * T1 * (T1 - T) / (T * (1 - lam * lam * lam * lam * lam)) + 1;
            else
                x0 = std::pow(T / T00, 0.69314718055994530942 / std::log(T1 / T00)) - 1;
        }
        arc.x0 = x0;
        return arc;
    }
    const int N = arc.revolutions, branch = arc.branch;
    const bool bounded = setup.have_min && N == setup.n_max;
    const double lo = (bounded && branch > 0) ? setup.x_min : -1.0;
    const double hi = (bounded && branch < 0) ? setup.x_min : 1.0;
    if (!(x0 > lo && x0 < hi)) {
        // Izzo's 2015 starting values for the two branches.
        const double q = branch < 0 ? (N + 1) * pi / (8 * T) : 8 * T / (N * pi);
        const double t = std::cbrt(q * q);
        x0 = (t - 1) / (t + 1);
    }
    if (!(x0 > lo && x0 < hi)) x0 = bounded ? 0.5 * (lo + hi) : 0.0;
    arc.x0 = x0;
    arc.lo = lo;
    arc.hi = hi;
    return arc;
}

namespace lambert_lanes {

void solve_arcs_scalar(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        const ArcJob& a = jobs[j];
        const BranchSolve b = householder(a.T, a.revolutions, a.branch, a.x0, a.lo, a.hi, Shape{a.lambda, a.oml2});
        out[j] = {b.x, b.iterations, b.ok};
    }
}

}  // namespace lambert_lanes

LambertStatus lambert_keep_arc(const LambertSetup& setup, const LambertArc& arc, double x, int iterations, bool ok,
                               LambertResult& out) noexcept {
    if (!ok) {
        out.failed_revolutions = arc.revolutions;
        out.failed_branch = arc.branch;
        return fail(out, LambertStatus::no_convergence);
    }
    LambertSolution sol{};
    lambert_velocities(x, setup.g, sol);
    sol.revolutions = arc.revolutions;
    sol.branch = arc.branch;
    sol.iterations = iterations;
    out.solutions.push_back(sol);  // the caller reserved the room
    return LambertStatus::ok;
}

LambertStatus lambert_check_finite(LambertResult& out) noexcept {
    for (const LambertSolution& sol : out.solutions)
        if (!finite3(sol.v1) || !finite3(sol.v2)) return fail(out, LambertStatus::out_of_range);
    return LambertStatus::ok;
}

LambertStatus lambert_reserve(const LambertSetup& setup, LambertResult& out) noexcept {
    try {
        out.solutions.reserve(static_cast<size_t>(lambert_slots(setup.n_max)));
    } catch (const std::bad_alloc&) {
        return fail(out, LambertStatus::out_of_memory);
    }
    return LambertStatus::ok;
}

LambertStatus solve_lambert(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                            int max_revs, LambertResult& out, const double* x_start, int n_start) noexcept {
    LambertSetup setup;
    if (lambert_setup(r1, r2, tof, mu, prograde, max_revs, out, setup) != LambertStatus::ok) return out.status;
    if (lambert_reserve(setup, out) != LambertStatus::ok) return out.status;
    for (int k = 0; k < lambert_slots(setup.n_max); ++k) {
        // The warm start of arc k, or NaN for none.
        const double start = k < n_start ? x_start[k] : std::numeric_limits<double>::quiet_NaN();
        const LambertArc arc = lambert_arc(setup, k, start);
        const BranchSolve b = householder(setup.T, arc.revolutions, arc.branch, arc.x0, arc.lo, arc.hi, setup.g.shape);
        if (lambert_keep_arc(setup, arc, b.x, b.iterations, b.ok, out) != LambertStatus::ok) return out.status;
    }
    return lambert_check_finite(out);
}

}  // namespace vextal::numerics
