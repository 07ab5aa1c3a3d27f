// TOMS 748 (Alefeld, Potra, Shi 1995, algorithm 4.2): each round takes an
// inverse-cubic (or Newton-quadratic) step, a second one, a double-length secant
// step and, when the bracket did not at least halve, a bisection. Every trial
// point is kept a little inside the bracket, so each evaluation shrinks it and
// the loop cannot stall.
#include "core/root.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <utility>

namespace vextal::numerics {
namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();

struct Solver {
    RootFunction f;
    void* context;
    RootOptions opt;
    double a, b, fa, fb;  // the bracket, a < b, fa * fb < 0 (or one is zero)
    double d = 0, fd = 0;  // the point discarded by the last bracketing step
    double e = 0, fe = 0;  // the one discarded before it
    int evaluations = 0;
    bool nan_seen = false;

    double eval(double x) {
        ++evaluations;
        double y = f(x, context);
        if (std::isnan(y)) nan_seen = true;
        return y;
    }

    double width_tolerance() const {
        return opt.abs_tol + opt.rel_tol * std::fmax(std::fabs(a), std::fabs(b));
    }

    // A bracket with no double strictly inside is final whatever the tolerances say: the width tolerance
    // can be 0 there (near zero, with abs_tol 0 the relative part underflows), and every trial point would
    // land on an end again until the budget is spent.
    bool done() const {
        return fa == 0 || fb == 0 || nan_seen || (b - a) <= width_tolerance() || std::nextafter(a, b) >= b;
    }

    // Evaluates at c (pushed at least a few ulps inside [a, b]) and replaces the
    // end on the same side of the root; the replaced end goes to (d, fd).
    void bracket(double c) {
        double tol = 2 * eps * std::fmax(std::fabs(a), std::fabs(b)) + std::numeric_limits<double>::denorm_min();
        if (b - a < 4 * tol) {
            c = a + (b - a) / 2;
        } else if (c <= a + 2 * tol) {
            c = a + 2 * tol;
        } else if (c >= b - 2 * tol) {
            c = b - 2 * tol;
        }
        double fc = eval(c);
        if (nan_seen) return;
        if (fc == 0) {
            a = b = c;
            fa = fb = 0;
            d = c;
            fd = 0;
            return;
        }
        if (std::signbit(fa) != std::signbit(fc)) {
            d = b;
            fd = fb;
            b = c;
            fb = fc;
        } else {
            d = a;
            fd = fa;
            a = c;
            fa = fc;
        }
    }

    double secant() const {
        double c = a - fa * (b - a) / (fb - fa);
        if (!(c > a && c < b)) c = a + (b - a) / 2;
        return c;
    }

    // Newton steps on the quadratic through (a, fa), (b, fb), (d, fd).
    double newton_quadratic(int steps) const {
        double B = (fb - fa) / (b - a);
        double A = ((fd - fb) / (d - b) - B) / (d - a);
        if (A == 0 || !std::isfinite(A)) return secant();
        double c = (std::signbit(A) == std::signbit(fa)) ? a : b;
        for (int i = 0; i < steps; ++i) {
            double den = B + A * (2 * c - a - b);
            if (den == 0) break;
            c -= (fa + (B + A * (c - b)) * (c - a)) / den;
        }
        if (!(c > a && c < b)) c = secant();
        return c;
    }

    // Inverse cubic interpolation through the four points, Lagrange form.
    double inverse_cubic() const {
        const double xs[4] = {a, b, d, e};
        const double ys[4] = {fa, fb, fd, fe};
        double c = 0;
        for (int i = 0; i < 4; ++i) {
            double term = xs[i];
            for (int j = 0; j < 4; ++j)
                if (j != i) term *= ys[j] / (ys[j] - ys[i]);
            c += term;
        }
        return c;
    }

    bool distinct_values() const {
        const double ys[4] = {fa, fb, fd, fe};
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j)
                if (ys[i] == ys[j]) return false;
        return true;
    }

    double interpolation_step(int newton_steps) const {
        if (distinct_values()) {
            double c = inverse_cubic();
            if (c > a && c < b) return c;
        }
        return newton_quadratic(newton_steps);
    }

    // Takes one interpolating trial at c and shifts the history.
    // Returns true when the solve must stop (converged or out of budget).
    bool step(double c) {
        e = d;
        fe = fd;
        bracket(c);
        return done() || evaluations >= opt.max_iterations;
    }

    RootResult result(RootStatus status) const {
        RootResult r;
        r.status = nan_seen ? RootStatus::not_finite : status;
        r.lower = a;
        r.upper = b;
        bool take_a = std::fabs(fa) <= std::fabs(fb);
        r.x = take_a ? a : b;
        r.fx = take_a ? fa : fb;
        r.evaluations = evaluations;
        return r;
    }

    RootResult run() {
        if (done()) return result(RootStatus::ok);
        bracket(secant());
        if (done()) return result(RootStatus::ok);
        e = d;
        fe = fd;
        bracket(newton_quadratic(2));
        while (!done() && evaluations < opt.max_iterations) {
            double a0 = a, b0 = b;
            if (step(interpolation_step(2))) break;
            if (step(interpolation_step(3))) break;
            bool use_a = std::fabs(fa) < std::fabs(fb);
            double u = use_a ? a : b, fu = use_a ? fa : fb;
            double c = u - 2 * fu * (b - a) / (fb - fa);
            if (!(std::fabs(c - u) <= (b - a) / 2)) c = a + (b - a) / 2;
            if (step(c)) break;
            if (b - a >= 0.5 * (b0 - a0) && step(a + (b - a) / 2)) break;
        }
        return result(done() ? RootStatus::ok : RootStatus::no_convergence);
    }
};

bool options_valid(const RootOptions& o) {
    return o.abs_tol >= 0 && o.rel_tol >= 0 && o.max_iterations >= 1 && o.max_expansions >= 0 &&
           o.expansion_factor > 0 && std::isfinite(o.expansion_factor);
}

RootResult failure(RootStatus status, double a, double b, double fa, double fb, int evaluations) {
    RootResult r;
    r.status = status;
    r.lower = std::fmin(a, b);
    r.upper = std::fmax(a, b);
    bool take_a = !(std::fabs(fb) < std::fabs(fa));
    r.x = take_a ? a : b;
    r.fx = take_a ? fa : fb;
    r.evaluations = evaluations;
    return r;
}

RootResult solve_from(RootFunction f, void* context, double a, double b, double fa, double fb,
                      const RootOptions& options, int evaluations) {
    if (std::isnan(fa) || std::isnan(fb)) return failure(RootStatus::not_finite, a, b, fa, fb, evaluations);
    if (a > b) {
        std::swap(a, b);
        std::swap(fa, fb);
    }
    if (fa != 0 && fb != 0 && std::signbit(fa) == std::signbit(fb))
        return failure(RootStatus::no_bracket, a, b, fa, fb, evaluations);
    Solver s{f, context, options, a, b, fa, fb};
    s.evaluations = evaluations;
    if (fa == 0) s.b = a, s.fb = 0;
    if (fb == 0) s.a = b, s.fa = 0;
    RootOptions budget = options;
    // The expansion's evaluations count too; a limit near INT_MAX saturates rather than overflowing.
    budget.max_iterations = options.max_iterations > INT_MAX - evaluations ? INT_MAX
                                                                           : options.max_iterations + evaluations;
    s.opt = budget;
    return s.run();
}

}  // namespace

double relative_tolerance_for_bits(int bits) noexcept {
    if (bits > 53) bits = 53;
    if (bits < 1) bits = 1;
    return std::ldexp(1.0, 1 - bits);
}

RootResult solve_bracketed(RootFunction f, void* context, double a, double b,
                           const RootOptions& options) noexcept {
    if (!options_valid(options) || f == nullptr) return failure(RootStatus::bad_input, a, b, 0, 0, 0);
    if (!std::isfinite(a) || !std::isfinite(b)) return failure(RootStatus::not_finite, a, b, 0, 0, 0);
    double fa = f(a, context);
    double fb = f(b, context);
    return solve_from(f, context, a, b, fa, fb, options, 2);
}

RootResult bracket_and_solve(RootFunction f, void* context, double x0, double x1,
                             const RootOptions& options) noexcept {
    if (!options_valid(options) || f == nullptr) return failure(RootStatus::bad_input, x0, x1, 0, 0, 0);
    if (!std::isfinite(x0) || !std::isfinite(x1)) return failure(RootStatus::not_finite, x0, x1, 0, 0, 0);
    if (x0 == x1) x1 = x0 + std::fmax(1e-3 * std::fabs(x0), 1e-3);
    double f0 = f(x0, context);
    double f1 = f(x1, context);
    int evaluations = 2;
    for (int k = 0; k < options.max_expansions; ++k) {
        if (std::isnan(f0) || std::isnan(f1)) break;
        if (f0 == 0 || f1 == 0 || std::signbit(f0) != std::signbit(f1)) break;
        // Move the end whose |f| is smaller: the root is more likely beyond it.
        if (std::fabs(f0) < std::fabs(f1)) {
            x0 += options.expansion_factor * (x0 - x1);
            if (!std::isfinite(x0)) return failure(RootStatus::no_bracket, x0, x1, f0, f1, evaluations);
            f0 = f(x0, context);
        } else {
            x1 += options.expansion_factor * (x1 - x0);
            if (!std::isfinite(x1)) return failure(RootStatus::no_bracket, x0, x1, f0, f1, evaluations);
            f1 = f(x1, context);
        }
        ++evaluations;
    }
    return solve_from(f, context, x0, x1, f0, f1, options, evaluations);
}

}  // namespace vextal::numerics
