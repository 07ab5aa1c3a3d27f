// Checks and microbenchmarks of the plain C++ numerics (root, kepler, lambert).
// Build and run: sh cpp/core/tests/build.sh   (or see that script for the g++ line)
// Exit status is non-zero when a check fails.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/tests/check.hpp"
#include "core/kepler.hpp"
#include "core/lambert.hpp"
#include "core/root.hpp"
#include "core/vec3.hpp"

using namespace vextal::numerics;

namespace {

using vextal::checks::check;
using vextal::checks::failures;


double rel_diff(const double a[3], const double b[3]) {
    double d[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    return norm(d) / norm(b);
}

void cross3(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

// Best of five passes (the least disturbed by other load), per call.
template <class F>
double seconds_per_call(F&& f, int calls) {
    double best = 1e300;
    for (int pass = 0; pass < 5; ++pass) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) f(i);
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count() / calls);
    }
    return best;
}

// ---------------------------------------------------------------- root
void root_checks() {
    struct Case {
        const char* name;
        double (*f)(double, void*);
        double a, b, root;
    };
    static double kepler_m = 0.3, kepler_e = 0.95;
    Case cases[] = {
        {"cubic", [](double x, void*) { return x * x * x - 2 * x - 5; }, 2, 3, 2.0945514815423265},
        {"exp", [](double x, void*) { return std::exp(x) - 2; }, -4, 4, std::log(2.0)},
        {"flat x^9", [](double x, void*) { return std::pow(x - 1, 9); }, 0, 3, 1.0},
        {"kepler e=0.95", [](double E, void*) { return E - kepler_e * std::sin(E) - kepler_m; }, 0, 3.2, NAN},
        {"step-like", [](double x, void*) { return std::atan(1e6 * (x - 0.123)); }, -10, 10, 0.123},
    };
    int total = 0;
    for (const Case& c : cases) {
        RootResult r = solve_bracketed(c.f, nullptr, c.a, c.b);
        check(r.status == RootStatus::ok, c.name);
        if (!std::isnan(c.root)) check(std::fabs(r.x - c.root) <= 1e-14 * std::fmax(1, std::fabs(c.root)), c.name, r.x - c.root);
        else check(std::fabs(c.f(r.x, nullptr)) < 1e-15, c.name, c.f(r.x, nullptr));
        total += r.evaluations;
        std::printf("  root %-14s x=%.17g  evaluations=%d\n", c.name, r.x, r.evaluations);
    }
    // Expansion from a poor guess, and the failure statuses.
    RootResult far = bracket_and_solve(cases[1].f, nullptr, 100, 101);
    check(far.status == RootStatus::ok && std::fabs(far.x - std::log(2.0)) < 1e-15, "expansion", far.x);
    RootResult none = bracket_and_solve([](double x, void*) { return x * x + 1; }, nullptr, -1, 1);
    check(none.status == RootStatus::no_bracket, "no bracket status");
    RootResult nan = solve_bracketed([](double x, void*) { return x > 0.5 ? NAN : x - 0.7; }, nullptr, 0, 1);
    check(nan.status == RootStatus::not_finite, "nan status");
    RootOptions few;
    few.max_iterations = 3;
    RootResult slow = solve_bracketed(cases[2].f, nullptr, 0, 3, few);
    check(slow.status == RootStatus::no_convergence, "iteration limit status");
    double t = seconds_per_call([&](int) { volatile double x = solve_bracketed(cases[3].f, nullptr, 0, 3.2).x; (void)x; }, 200000);
    std::printf("  root: mean evaluations %.2f; Kepler-equation solve %.1f ns\n", double(total) / 5, t * 1e9);
}

// ---------------------------------------------------------------- kepler
// Independent propagator: classical anomalies in long double.
bool reference_propagate(const double r0v[3], const double v0v[3], double dt, double mu, double r[3], double v[3]) {
    typedef long double L;
    L r0 = std::sqrt((L)r0v[0] * r0v[0] + (L)r0v[1] * r0v[1] + (L)r0v[2] * r0v[2]);
    L v2 = (L)v0v[0] * v0v[0] + (L)v0v[1] * v0v[1] + (L)v0v[2] * v0v[2];
    L sig = (L)r0v[0] * v0v[0] + (L)r0v[1] * v0v[1] + (L)r0v[2] * v0v[2];
    L a = 1 / (2 / r0 - v2 / mu);
    L f, g, fd, gd;
    if (a > 0) {
        L n = std::sqrt(mu / (a * a * a));
        L ec = 1 - r0 / a, es = sig / std::sqrt(mu * a);
        L e = std::sqrt(ec * ec + es * es);
        L E0 = std::atan2(es, ec);
        L Mt = E0 - es + n * dt;
        L turns = std::floor(Mt / (2 * M_PIl));
        L M = Mt - 2 * M_PIl * turns;
        L E = M + 0.85L * e * (std::sin(M) >= 0 ? 1 : -1);  // Danby's start
        for (int i = 0; i < 100; ++i) {
            L d = (E - e * std::sin(E) - M) / (1 - e * std::cos(E));
            E -= d;
            if (std::fabs(d) < 1e-19L * std::fmax(1.0L, std::fabs(E))) break;
        }
        L dE = E + 2 * M_PIl * turns - E0;
        L rr = a * (1 - e * std::cos(E));
        f = 1 - a / r0 * (1 - std::cos(dE));
        g = dt - (dE - std::sin(dE)) / n;
        fd = -std::sqrt(mu * a) * std::sin(dE) / (rr * r0);
        gd = 1 - a / rr * (1 - std::cos(dE));
    } else {
        L n = std::sqrt(mu / (-a * a * a));
        L ec = 1 - r0 / a, es = sig / std::sqrt(-mu * a);
        L e = std::sqrt(ec * ec - es * es);
        L F0 = std::atanh(es / ec);
        L M = es - F0 + n * dt;
        L F = std::asinh(M / e);
        for (int i = 0; i < 200; ++i) {
            L d = (e * std::sinh(F) - F - M) / (e * std::cosh(F) - 1);
            F -= d;
            if (std::fabs(d) < 1e-19L * std::fmax(1.0L, std::fabs(F))) break;
        }
        L dF = F - F0;
        L rr = a * (1 - e * std::cosh(F));
        f = 1 - a / r0 * (1 - std::cosh(dF));
        g = dt - (std::sinh(dF) - dF) / n;
        fd = -std::sqrt(-mu * a) * std::sinh(dF) / (rr * r0);
        gd = 1 - a / rr * (1 - std::cosh(dF));
    }
    for (int i = 0; i < 3; ++i) {
        r[i] = double(f * r0v[i] + g * v0v[i]);
        v[i] = double(fd * r0v[i] + gd * v0v[i]);
    }
    return std::isfinite(r[0]);
}

void random_state(std::mt19937_64& rng, double mu, double e, double rp, double r[3], double v[3]) {
    std::uniform_real_distribution<double> U(0, 1);
    // Perifocal state at a random true anomaly (inside the asymptotes for e >= 1), then rotated.
    double p = rp * (1 + e);
    double numax = e < 1 ? M_PI : 0.95 * std::acos(-1 / e);
    double nu = (2 * U(rng) - 1) * numax;
    double rr = p / (1 + e * std::cos(nu));
    double pr[3] = {rr * std::cos(nu), rr * std::sin(nu), 0};
    double sq = std::sqrt(mu / p);
    double pv[3] = {-sq * std::sin(nu), sq * (e + std::cos(nu)), 0};
    double O = 2 * M_PI * U(rng), w = 2 * M_PI * U(rng), inc = M_PI * U(rng);
    double R[3][3] = {{std::cos(O) * std::cos(w) - std::sin(O) * std::sin(w) * std::cos(inc),
                       -std::cos(O) * std::sin(w) - std::sin(O) * std::cos(w) * std::cos(inc), 0},
                      {std::sin(O) * std::cos(w) + std::cos(O) * std::sin(w) * std::cos(inc),
                       -std::sin(O) * std::sin(w) + std::cos(O) * std::cos(w) * std::cos(inc), 0},
                      {std::sin(w) * std::sin(inc), std::cos(w) * std::sin(inc), 0}};
    for (int i = 0; i < 3; ++i) {
        r[i] = R[i][0] * pr[0] + R[i][1] * pr[1];
        v[i] = R[i][0] * pv[0] + R[i][1] * pv[1];
    }
}

void kepler_checks() {
    // Curtis, Example 3.7: 60 minutes from (7000, -12124, 0) km, (2.6679, 4.6210, 0) km/s.
    {
        double r0[3] = {7000, -12124, 0}, v0[3] = {2.6679, 4.6210, 0}, r[3], v[3];
        check(propagate(r0, v0, 3600, 398600, r, v) == KeplerStatus::ok, "curtis 3.7 status");
        std::printf("  Curtis 3.7: r = (%.1f, %.1f) km, v = (%.5f, %.5f) km/s\n", r[0], r[1], v[0], v[1]);
        check(std::fabs(r[0] + 3297.8) < 0.1 && std::fabs(r[1] - 7413.4) < 0.1, "curtis 3.7 r");
        // The book's v_y (-0.96309) differs in the fourth digit: it rounds f, g,
        // fdot, gdot to five digits; a 40-digit mpmath propagation gives -0.964045.
        check(std::fabs(v[0] + 8.2977) < 1e-4 && std::fabs(v[1] + 0.964045) < 1e-6, "curtis 3.7 v");
    }
    // Vallado, Example 2-4: 40 minutes.
    {
        double r0[3] = {1131.340, -2282.343, 6672.423}, v0[3] = {-5.64305, 4.30333, 2.42879}, r[3], v[3];
        check(propagate(r0, v0, 2400, 398600.4418, r, v) == KeplerStatus::ok, "vallado 2-4 status");
        double re[3] = {-4219.7527, 4363.0292, -3958.7666}, ve[3] = {3.689866, -1.916735, -6.112511};
        std::printf("  Vallado 2-4: r = (%.4f, %.4f, %.4f) v = (%.6f, %.6f, %.6f)\n", r[0], r[1], r[2], v[0], v[1], v[2]);
        for (int i = 0; i < 3; ++i) {
            check(std::fabs(r[i] - re[i]) < 1e-3, "vallado 2-4 r", r[i] - re[i]);
            check(std::fabs(v[i] - ve[i]) < 1e-6, "vallado 2-4 v", v[i] - ve[i]);
        }
    }
    // Random orbits: against the long-double anomaly propagator, and forward then back.
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> U(0, 1);
    const double mu = 398600.4418;
    double worst_ref = 0, worst_back = 0, worst_near = 0, worst_long = 0;
    long iters = 0, count = 0;
    for (int k = 0; k < 20000; ++k) {
        int kind = k % 4;
        double e = kind == 0 ? 0.9 * U(rng) : kind == 1 ? 0.999 + 0.002 * U(rng) : kind == 2 ? 1.0 + 3 * U(rng) : 0.99 * U(rng) + 0.009;
        double rp = 6500 + 30000 * U(rng);
        double r0[3], v0[3], r[3], v[3], rb[3], vb[3], rr[3], vr[3];
        random_state(rng, mu, e, rp, r0, v0);
        double scale = 2 * M_PI * std::sqrt(rp * rp * rp / mu);
        double dt = (2 * U(rng) - 1) * scale * (kind == 3 ? 30 : 3);
        int it = 0;
        KeplerStatus st = propagate(r0, v0, dt, mu, r, v, &it);
        check(st == KeplerStatus::ok, "random propagate status");
        if (st != KeplerStatus::ok) continue;
        iters += it;
        ++count;
        check(propagate(r, v, -dt, mu, rb, vb) == KeplerStatus::ok, "backward status");
        double back = std::fmax(rel_diff(rb, r0), rel_diff(vb, v0));
        double& worst = kind == 1 ? worst_near : kind == 3 ? worst_long : worst_back;
        worst = std::fmax(worst, back);
        if (std::fabs(e - 1) > 1e-3 && reference_propagate(r0, v0, dt, mu, rr, vr))
            worst_ref = std::fmax(worst_ref, std::fmax(rel_diff(r, rr), rel_diff(v, vr)));
    }
    std::printf("  kepler: worst forward-back %.2e (e 0.999..1.001: %.2e; up to 30 periods: %.2e), "
                "worst vs long-double anomalies %.2e, mean iterations %.2f\n",
                worst_back, worst_near, worst_long, worst_ref, double(iters) / count);
    check(worst_back < 1e-12 && worst_near < 1e-12, "forward-back 1e-12", std::fmax(worst_back, worst_near));
    // Over k periods the phase error grows like 3 pi k (da / a), and da / a
    // carries the input's rounding times 2 / (1 - e): about 1e-12 at 30 periods.
    check(worst_long < 1e-11, "forward-back over 30 periods", worst_long);
    check(worst_ref < 1e-12, "vs reference 1e-12", worst_ref);
    // Bad input.
    double z[3] = {0, 0, 0}, one[3] = {7000, 0, 0}, w[3] = {0, 7.5, 0}, o[3], ov[3];
    check(propagate(z, w, 10, mu, o, ov) == KeplerStatus::bad_input, "zero r status");
    check(propagate(one, w, NAN, mu, o, ov) == KeplerStatus::bad_input, "nan dt status");
    check(propagate(one, w, 10, -1, o, ov) == KeplerStatus::bad_input, "negative mu status");
    KeplerStatus far = propagate(one, w, 1e150, mu * 0.01, o, ov);
    const double v_inf = std::sqrt(7.5 * 7.5 - 2 * mu * 0.01 / 7000);
    check(far == KeplerStatus::ok && std::fabs(norm(o) / (v_inf * 1e150) - 1) < 1e-12 &&
              std::fabs(norm(ov) / v_inf - 1) < 1e-12,
          "far hyperbola: r grows like v_inf t", norm(o));
    check(propagate(one, w, 1e308, mu * 0.01, o, ov) == KeplerStatus::not_finite, "overflowing hyperbola status");

    double rs[3] = {7000, 100, 1300}, vs[3] = {0.1, 7.4, 1.0};
    double t = seconds_per_call([&](int i) { double a[3], b[3]; propagate(rs, vs, 100.0 + i % 1000, mu, a, b); }, 200000);
    std::printf("  kepler: propagate %.1f ns per call\n", t * 1e9);
}

// ---------------------------------------------------------------- lambert
// T(x) through Lagrange's equation in long double, away from x = 1 and lambda = 1.
long double lagrange_tof(long double x, int N, long double lam) {
    long double a = 1 / (1 - x * x);
    if (a > 0) {
        long double alfa = 2 * std::acos(x);
        long double beta = 2 * std::asin(std::sqrt(lam * lam / a));
        if (lam < 0) beta = -beta;
        return a * std::sqrt(a) * ((alfa - std::sin(alfa)) - (beta - std::sin(beta)) + 2 * M_PIl * N) / 2;
    }
    long double alfa = 2 * std::acosh(x);
    long double beta = 2 * std::asinh(std::sqrt(-lam * lam / a));
    if (lam < 0) beta = -beta;
    return -a * std::sqrt(-a) * ((beta - std::sinh(beta)) - (alfa - std::sinh(alfa))) / 2;
}

// Izzo's derivative formulas in long double on the long-double T; they cancel
// near x = 1, so callers keep |x - 1| >= 0.02 (losing at most 1e-13 there).
void reference_derivatives(long double x, int N, long double lam, long double out[4]) {
    long double T = lagrange_tof(x, N, lam);
    long double l2 = lam * lam, l3 = l2 * lam, u = 1 - x * x;
    long double y = std::sqrt(1 - l2 * u);
    long double d1 = (3 * T * x - 2 + 2 * l3 * x / y) / u;
    long double d2 = (3 * T + 5 * x * d1 + 2 * (1 - l2) * l3 / (y * y * y)) / u;
    long double d3 = (7 * x * d2 + 8 * d1 - 6 * (1 - l2) * l2 * l3 * x / (y * y * y * y * y)) / u;
    out[0] = T, out[1] = d1, out[2] = d2, out[3] = d3;
}

void tof_checks() {
    double worst = 0, worst_d[3] = {0, 0, 0}, worst_battin[3] = {0, 0, 0};
    const double lams[] = {-0.999, -0.9, -0.5, -0.1, 0, 0.1, 0.5, 0.9, 0.999};
    for (double lam : lams) {
        const double oml2 = (1 - lam) * (1 + lam);
        for (int N = 0; N <= 3; ++N) {
            for (double x = -0.95; x < (N ? 0.96 : 3.0); x += 0.00737) {
                if (std::fabs(x - 1) < 0.02) continue;
                TofDerivatives d = lambert_tof_derivatives(x, N, lam, oml2);
                long double ref[4];
                reference_derivatives(x, N, lam, ref);
                worst = std::fmax(worst, double(std::fabs(d.T - ref[0]) / ref[0]));
                double got[3] = {d.dT, d.ddT, d.dddT};
                // relative to the size of the derivative or of T, whichever is larger
                for (int k = 0; k < 3; ++k)
                    worst_d[k] = std::fmax(worst_d[k], double(std::fabs(got[k] - ref[k + 1]) / (std::fabs(ref[k + 1]) + ref[0])));
            }
        }
        // Zero revolutions close to the parabola, where the derivatives come from
        // Battin's series (the long-double reference holds for |lambda| <= 0.9 there).
        if (std::fabs(lam) > 0.95) continue;
        for (double x = 0.98; x < 1.02; x += 0.000371) {
            if (std::fabs(x - 1) < 0.004) continue;
            TofDerivatives d = lambert_tof_derivatives(x, 0, lam, oml2);
            long double ref[4];
            reference_derivatives(x, 0, lam, ref);
            worst = std::fmax(worst, double(std::fabs(d.T - ref[0]) / ref[0]));
            double got[3] = {d.dT, d.ddT, d.dddT};
            for (int k = 0; k < 3; ++k)
                worst_battin[k] = std::fmax(worst_battin[k], double(std::fabs(got[k] - ref[k + 1]) / (std::fabs(ref[k + 1]) + ref[0])));
        }
    }
    std::printf("  T(x) vs long-double Lagrange: %.2e; derivatives (Izzo) %.1e %.1e %.1e, (Battin) %.1e %.1e %.1e\n",
                worst, worst_d[0], worst_d[1], worst_d[2], worst_battin[0], worst_battin[1], worst_battin[2]);
    check(worst < 1e-15, "T(x) accuracy", worst);
    // Izzo's closed forms lose about eps / (1 - x^2)^k near x = 1 (and the
    // long-double reference itself cancels there when lambda -> 1); the
    // derivatives only steer the iteration, whose end is checked on T itself.
    check(worst_d[0] < 1e-11 && worst_d[1] < 1e-9 && worst_d[2] < 1e-7, "Izzo derivatives", worst_d[2]);
    check(worst_battin[0] < 1e-13 && worst_battin[1] < 1e-11 && worst_battin[2] < 1e-8, "Battin derivatives",
          worst_battin[2]);
    // Across x = 1: T equals 2/3 (1 - lambda^3) at the parabola and falls
    // monotonically through the switch between series and closed forms.
    for (double lam : lams) {
        const double oml2 = (1 - lam) * (1 + lam);
        double T1 = lambert_tof(1.0, 0, lam, oml2), T1ref = 2.0 / 3 * (1 - lam) * (1 + lam + lam * lam);
        check(std::fabs(T1 - T1ref) <= 4 * 2.2e-16 * T1ref, "parabolic T", T1 - T1ref);
        double prev = lambert_tof(0.999999, 0, lam, oml2);
        for (double x = 0.999999 + 1e-9; x < 1.000001; x += 1e-9) {
            double T = lambert_tof(x, 0, lam, oml2);
            check(T <= prev, "T falls monotonically near x = 1", x);
            prev = T;
        }
    }
}

struct Case {
    const char* name;
    double r1[3], r2[3], tof, mu;
    bool prograde;
    int revs, index;
    double v1[3], v2[3], tol;
};

void published_cases() {
    const Case cases[] = {
        {"Vallado 7-5", {15945.34, 0, 0}, {12214.83899, 10249.46731, 0}, 76 * 60.0, 398600.4418, true, 0, 0,
         {2.058913, 2.915965, 0}, {-3.451565, 0.910315, 0}, 2e-6},
        {"Curtis 5.2", {5000, 10000, 2100}, {-14600, 2500, 7000}, 3600, 398600, true, 0, 0,
         {-5.9925, 1.9254, 3.2456}, {-3.3125, -4.1966, -0.38529}, 1e-4},
        // Der, "The superior Lambert algorithm" (2011), one problem, all six arcs
        // up to one revolution. v2 is compared where the paper's value is at hand.
        {"Der 0-rev prograde", {22592.145603, -1599.915239, -19783.950506}, {1922.067697, 4054.157051, -8925.727465},
         36000, 398600.4418, true, 0, 0, {2.000652697, 0.387688615, -2.666947760},
         {-3.79246619, -1.77707641, 6.856814395}, 1e-8},
        {"Der 0-rev retrograde", {22592.145603, -1599.915239, -19783.950506}, {1922.067697, 4054.157051, -8925.727465},
         36000, 398600.4418, false, 0, 0, {2.96616042, -1.27577231, -0.75545632}, {NAN, 0, 0}, 1e-8},
        {"Der 1-rev prograde left", {22592.145603, -1599.915239, -19783.950506},
         {1922.067697, 4054.157051, -8925.727465}, 36000, 398600.4418, true, 1, 1,
         {0.50335770, 0.61869408, -1.57176904}, {-4.18334626, -1.13262727, 6.13307091}, 1e-8},
        {"Der 1-rev prograde right", {22592.145603, -1599.915239, -19783.950506},
         {1922.067697, 4054.157051, -8925.727465}, 36000, 398600.4418, true, 1, 2,
         {-2.45759553, 1.16945801, 0.43161258}, {-5.53841370, 0.01822220, 5.49641054}, 1e-6},
        {"Der 1-rev retrograde left", {22592.145603, -1599.915239, -19783.950506},
         {1922.067697, 4054.157051, -8925.727465}, 36000, 398600.4418, false, 1, 1,
         {1.33645655, -0.94654565, 0.30211211}, {NAN, 0, 0}, 1e-8},
        {"Der 1-rev retrograde right", {22592.145603, -1599.915239, -19783.950506},
         {1922.067697, 4054.157051, -8925.727465}, 36000, 398600.4418, false, 1, 2,
         {-1.38861608, -0.47836611, 2.21280154}, {NAN, 0, 0}, 1e-8},
    };
    LambertResult res;
    for (const Case& c : cases) {
        LambertStatus st = solve_lambert(c.r1, c.r2, c.tof, c.mu, c.prograde, c.revs, res);
        check(st == LambertStatus::ok && int(res.solutions.size()) > c.index, c.name);
        if (st != LambertStatus::ok || int(res.solutions.size()) <= c.index) continue;
        const LambertSolution& s = res.solutions[c.index];
        double e1 = 0, e2 = 0;
        for (int i = 0; i < 3; ++i) {
            e1 = std::fmax(e1, std::fabs(s.v1[i] - c.v1[i]));
            if (!std::isnan(c.v2[0])) e2 = std::fmax(e2, std::fabs(s.v2[i] - c.v2[i]));
        }
        std::printf("  %-27s v1 = (%.9f, %.9f, %.9f) v2 = (%.9f, %.9f, %.9f) |dv| %.1e %.1e it %d\n", c.name,
                    s.v1[0], s.v1[1], s.v1[2], s.v2[0], s.v2[1], s.v2[2], e1, e2, s.iterations);
        check(e1 <= c.tol && e2 <= c.tol, c.name, std::fmax(e1, e2));
    }
}

void random_unit(std::mt19937_64& rng, double u[3]) {
    std::normal_distribution<double> N(0, 1);
    do {
        u[0] = N(rng), u[1] = N(rng), u[2] = N(rng);
    } while (norm(u) < 1e-3);
    double n = norm(u);
    for (int i = 0; i < 3; ++i) u[i] /= n;
}

struct Problem {
    double r1[3], r2[3], tof, mu;
    bool prograde;
};

std::vector<Problem> make_problems(int count, bool helio, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> U(0, 1);
    std::vector<Problem> out;
    const double mu = helio ? 1.32712440018e11 : 398600.4418;
    const double rmin = helio ? 0.3 * 1.495978707e8 : 6600, rmax = helio ? 30 * 1.495978707e8 : 42200;
    while (int(out.size()) < count) {
        Problem p;
        double u1[3], u2[3];
        random_unit(rng, u1);
        random_unit(rng, u2);
        double R1 = rmin * std::pow(rmax / rmin, U(rng)), R2 = rmin * std::pow(rmax / rmin, U(rng));
        for (int i = 0; i < 3; ++i) p.r1[i] = R1 * u1[i], p.r2[i] = R2 * u2[i];
        double a = 0.5 * (R1 + R2);
        double period = 2 * M_PI * std::sqrt(a * a * a / mu);
        p.tof = period * std::pow(10.0, -2 + 3.4 * U(rng));  // 0.01 .. 25 periods
        p.mu = mu;
        p.prograde = U(rng) < 0.5;
        out.push_back(p);
    }
    return out;
}

// Relative condition number of the arrival position on the departure
// velocity, |dr2/dv1| |v1| / |r2|, by central differences.
double arrival_condition(const Problem& p, const double v1[3]) {
    double J = 0, h = 1e-7 * norm(v1);
    for (int j = 0; j < 3; ++j) {
        double vp[3] = {v1[0], v1[1], v1[2]}, vm[3] = {v1[0], v1[1], v1[2]}, rp[3], rm[3], w[3];
        vp[j] += h;
        vm[j] -= h;
        propagate(p.r1, vp, p.tof, p.mu, rp, w);
        propagate(p.r1, vm, p.tof, p.mu, rm, w);
        for (int i = 0; i < 3; ++i) J += std::pow((rp[i] - rm[i]) / (2 * h), 2);
    }
    return std::sqrt(J) * norm(v1) / norm(p.r2);
}

void lambert_random_checks() {
    LambertResult res;
    for (int helio = 0; helio <= 1; ++helio) {
        auto problems = make_problems(5000, helio, 7 + helio);
        double worst_r = 0, worst_v = 0, worst_scaled = 0, cond_at_worst = 0;
        long sols = 0, iters = 0;
        int max_n = 0;
        for (const Problem& p : problems) {
            LambertStatus st = solve_lambert(p.r1, p.r2, p.tof, p.mu, p.prograde, 20, res);
            check(st == LambertStatus::ok, lambert_status_message(st));
            if (st != LambertStatus::ok) continue;
            max_n = std::max(max_n, res.max_revs);
            check(int(res.solutions.size()) == 1 + 2 * res.max_revs, "solution count");
            for (const LambertSolution& s : res.solutions) {
                ++sols;
                iters += s.iterations;
                double r[3], v[3];
                KeplerStatus ks = propagate(p.r1, s.v1, p.tof, p.mu, r, v);
                check(ks == KeplerStatus::ok, "propagate lambert arc");
                double er = rel_diff(r, p.r2), ev = rel_diff(v, s.v2);
                if (er > worst_r) worst_r = er, cond_at_worst = arrival_condition(p, s.v1);
                worst_v = std::fmax(worst_v, ev);
                // Even the correctly rounded exact v1 misses r2 by about eps times
                // the condition number on v1, and a relative error of eps in the
                // time (scaling tof to T rounds) moves the arrival by eps |v2| tof / |r2|.
                if (er > 1e-11) {
                    double scale = arrival_condition(p, s.v1) + norm(s.v2) * p.tof / norm(p.r2);
                    worst_scaled = std::fmax(worst_scaled, er / (2.2e-16 * scale));
                }
                double hz = p.r1[0] * s.v1[1] - p.r1[1] * s.v1[0];
                check((hz > 0) == p.prograde, "direction of angular momentum", hz);
            }
        }
        std::printf("  lambert %s: %zu problems, %ld solutions (N up to %d), mean iterations %.2f\n"
                    "    worst |r - r2|/|r2| %.2e (condition number there %.1e), worst arrival |dv|/|v| %.2e,\n"
                    "    worst residual above 1e-11 in units of eps * (condition on v1 + |v2| tof / |r2|): %.2f\n",
                    helio ? "heliocentric" : "LEO-GEO", problems.size(), sols, max_n, double(iters) / sols, worst_r,
                    cond_at_worst, worst_v, worst_scaled);
        check(worst_scaled < 8, "lambert arrival accuracy within rounding", worst_scaled);
    }
}

// Wide-ranging problems: radius ratios to 1e4, times from 1e-6 to 1e4 reference periods, up to 50
// revolutions, transfer angles near 0 and 180 degrees. Every one must solve (or be refused as collinear or
// out of range), never with a NaN. A sample is propagated; the arrival is judged against the rounding bound
// on the tamer part (radius ratio below 10, at most 100 periods, no close pass of the centre): beyond it the
// Lambert map itself amplifies one ulp of r1 or r2 past what difference quotients on v1 show.
void lambert_fuzz() {
    std::mt19937_64 rng(4242);
    std::uniform_real_distribution<double> U(0, 1);
    LambertResult res;
    long solved = 0, solutions = 0, checked = 0, refused = 0, above = 0, judged = 0;
    double worst_scaled = 0;
    for (int k = 0; k < 200000; ++k) {
        Problem p;
        double u1[3], u2[3];
        random_unit(rng, u1);
        random_unit(rng, u2);
        if (k % 10 == 0) {  // nearly (anti)parallel
            double tilt = std::pow(10.0, -12 * U(rng)), sign = U(rng) < 0.5 ? 1 : -1;
            for (int i = 0; i < 3; ++i) u2[i] = sign * u1[i] + tilt * u2[i];
        }
        double R1 = 7000 * std::pow(1e4, U(rng) - 0.5), R2 = 7000 * std::pow(1e4, U(rng) - 0.5);
        for (int i = 0; i < 3; ++i) p.r1[i] = R1 * u1[i], p.r2[i] = R2 * u2[i];
        p.mu = 398600.4418;
        const double a = 0.5 * (R1 + R2), periods = std::pow(10.0, -6 + 10 * U(rng));
        p.tof = 2 * M_PI * std::sqrt(a * a * a / p.mu) * periods;
        p.prograde = U(rng) < 0.5;
        int revs = int(51 * U(rng));
        LambertStatus st = solve_lambert(p.r1, p.r2, p.tof, p.mu, p.prograde, revs, res);
        if (st == LambertStatus::collinear || st == LambertStatus::out_of_range) continue;
        check(st == LambertStatus::ok, "fuzz status", double(k));
        if (st != LambertStatus::ok) {
            std::printf("    fuzz %d: %s (N %d branch %d, lambda %.17g, T %.17g)\n", k, lambert_status_message(st),
                        res.failed_revolutions, res.failed_branch, res.lambda, res.T);
            continue;
        }
        ++solved;
        const bool tame = std::fmax(R1, R2) < 10 * std::fmin(R1, R2) && periods <= 100;
        for (const LambertSolution& s : res.solutions) {
            ++solutions;
            bool finite = std::isfinite(s.v1[0] + s.v1[1] + s.v1[2] + s.v2[0] + s.v2[1] + s.v2[2]);
            check(finite, "fuzz finite velocity", double(k));
            if (!finite || k % 20 != 0) continue;
            double r[3], v[3];
            if (propagate(p.r1, s.v1, p.tof, p.mu, r, v) != KeplerStatus::ok) {
                ++refused;  // the arc dives at the centre: the propagator says it cannot resolve it
                continue;
            }
            ++checked;
            double er = rel_diff(r, p.r2);
            if (er <= 1e-11) continue;
            ++above;
            double h[3];
            cross3(p.r1, s.v1, h);
            const double h2 = h[0] * h[0] + h[1] * h[1] + h[2] * h[2];
            const double energy = 0.5 * (s.v1[0] * s.v1[0] + s.v1[1] * s.v1[1] + s.v1[2] * s.v1[2]) - p.mu / R1;
            const double q = h2 / p.mu / (1 + std::sqrt(std::fmax(0.0, 1 + 2 * energy * h2 / (p.mu * p.mu))));
            if (!tame || q < 0.01 * std::fmin(R1, R2)) continue;
            ++judged;
            double scale = arrival_condition(p, s.v1) + norm(s.v2) * p.tof / norm(p.r2);
            worst_scaled = std::fmax(worst_scaled, er / (2.2e-16 * scale));
        }
    }
    std::printf("  fuzz: %ld problems solved, %ld solutions, none with NaN; %ld propagated (%ld refused by the\n"
                "    propagator as beyond double precision), %ld of them above 1e-11; of those, %ld tame ones are\n"
                "    within %.2f eps * condition\n",
                solved, solutions, checked, refused, above, judged, worst_scaled);
    check(worst_scaled < 8, "fuzz arrival accuracy", worst_scaled);
}

void lambert_bad_input() {
    LambertResult res;
    double r1[3] = {7000, 0, 0}, r2[3] = {0, 8000, 0}, z[3] = {0, 0, 0}, col[3] = {-14000, 0, 0}, par[3] = {9000, 0, 0};
    double nan3[3] = {NAN, 0, 0};
    check(solve_lambert(z, r2, 1000, 398600, true, 0, res) == LambertStatus::zero_position, "zero r1");
    check(solve_lambert(r1, col, 1000, 398600, true, 0, res) == LambertStatus::collinear, "180 degrees");
    check(solve_lambert(r1, par, 1000, 398600, true, 0, res) == LambertStatus::collinear, "0 degrees");
    check(solve_lambert(nan3, r2, 1000, 398600, true, 0, res) == LambertStatus::non_finite_input, "nan r1");
    check(solve_lambert(r1, r2, 0, 398600, true, 0, res) == LambertStatus::bad_time_of_flight, "tof 0");
    check(solve_lambert(r1, r2, -5, 398600, true, 0, res) == LambertStatus::bad_time_of_flight, "tof < 0");
    check(solve_lambert(r1, r2, 1000, 0, true, 0, res) == LambertStatus::bad_mu, "mu 0");
    check(solve_lambert(r1, r2, 1000, INFINITY, true, 0, res) == LambertStatus::non_finite_input, "mu inf");
    check(solve_lambert(r1, r2, 1000, 398600, true, -1, res) == LambertStatus::bad_max_revs, "max_revs < 0");
    check(res.solutions.empty(), "no solutions on failure");
    // Extremes that must still solve and never give NaN.
    const double tofs[] = {1e-6, 1e-3, 1.0, 1e5, 1e7, 1e9};
    const double mus[] = {1e-10, 1.0, 398600, 1e20};
    for (double tof : tofs)
        for (double mu : mus) {
            LambertStatus st = solve_lambert(r1, r2, tof, mu, true, 3, res);
            check(st == LambertStatus::ok || st == LambertStatus::out_of_range, "extreme problem status", tof);
            for (const LambertSolution& s : res.solutions)
                check(std::isfinite(s.v1[0] + s.v1[1] + s.v1[2] + s.v2[0] + s.v2[1] + s.v2[2]), "finite velocity", tof);
        }
    // Polar plane: the z axis lies in the plane of r1 and r2.
    double p1[3] = {7000, 0, 0}, p2[3] = {0, 0, 8000};
    solve_lambert(p1, p2, 2000, 398600, true, 0, res);
    double lam_pro = res.lambda;
    solve_lambert(p1, p2, 2000, 398600, false, 0, res);
    check(lam_pro > 0 && res.lambda < 0, "polar rule: prograde short way, retrograde long way");
}

// Time per problem and mean iterations per solution for one revolution limit.
void lambert_timing(const std::vector<Problem>& problems, int max_revs, int calls) {
    LambertResult res;
    res.solutions.reserve(64);
    long iters = 0, sols = 0;
    for (const Problem& p : problems) {
        solve_lambert(p.r1, p.r2, p.tof, p.mu, p.prograde, max_revs, res);
        for (auto& s : res.solutions) iters += s.iterations, ++sols;
    }
    const size_t mask = problems.size() - 1;  // a power of two
    double t = seconds_per_call(
        [&](int i) {
            const Problem& p = problems[i & mask];
            solve_lambert(p.r1, p.r2, p.tof, p.mu, p.prograde, max_revs, res);
        },
        calls);
    std::printf("  lambert max_revs %2d: %7.1f ns per problem, %.2f solutions per problem, %.1f ns per solution, "
                "mean iterations %.2f\n",
                max_revs, t * 1e9, double(sols) / problems.size(), t * 1e9 * problems.size() / sols,
                double(iters) / sols);
}

void lambert_bench() {
    auto problems = make_problems(4096, false, 99);
    lambert_timing(problems, 0, 100000);
    lambert_timing(problems, 10, 30000);
}

// Time per problem of the single-problem solver over problems read from a file of float64 rows
// (r1[3], r2[3], tof), all prograde under mu 398600.5, as benchmarks/bench_arrays.py writes them: the
// baseline of the array function on the same problems.
int lambert_file_timing(const char* path, int max_revs) {
    std::vector<double> rows;
    if (FILE* f = std::fopen(path, "rb")) {
        double buf[7];
        while (std::fread(buf, sizeof buf, 1, f) == 1) rows.insert(rows.end(), buf, buf + 7);
        std::fclose(f);
    }
    const int n = int(rows.size() / 7);
    if (n == 0) {
        std::fprintf(stderr, "no problems in %s\n", path);
        return 1;
    }
    // Best of five passes in CPU time, as the Python benchmark measures its one-thread figures.
    LambertResult res;
    double best = 1e300;
    for (int pass = 0; pass < 5; ++pass) {
        std::clock_t t0 = std::clock();
        for (int i = 0; i < n; ++i) {
            const double* q = &rows[7 * size_t(i)];
            solve_lambert(q, q + 3, q[6], 398600.5, true, max_revs, res);
        }
        best = std::min(best, double(std::clock() - t0) / CLOCKS_PER_SEC / n);
    }
    std::printf("native lambert max_revs %d: %.1f ns per problem (%d problems)\n", max_revs, best * 1e9, n);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--lambert-file") == 0) return lambert_file_timing(argv[2], std::atoi(argv[3]));
    bool bench_only = argc > 1 && std::strcmp(argv[1], "--bench") == 0;
    bool checks_only = argc > 1 && std::strcmp(argv[1], "--checks") == 0;
    if (!bench_only) {
        std::printf("root\n");
        root_checks();
        std::printf("kepler\n");
        kepler_checks();
        std::printf("lambert T(x)\n");
        tof_checks();
        std::printf("lambert published cases\n");
        published_cases();
        std::printf("lambert random problems\n");
        lambert_random_checks();
        lambert_fuzz();
        lambert_bad_input();
    }
    if (!checks_only) {
        std::printf("lambert timing\n");
        lambert_bench();
    }
    return vextal::checks::verdict();
}
