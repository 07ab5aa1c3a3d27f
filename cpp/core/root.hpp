// Bracketing root finder on plain doubles: bracket expansion followed by
// Alefeld-Potra-Shi (TOMS 748) inverse-cubic / Newton-quadratic steps with a
// bisection safeguard. No Python here; the `vextal.astro.root` module wraps it.
#pragma once

namespace vextal::numerics {

// A scalar function of one double with an opaque context pointer.
using RootFunction = double (*)(double x, void* context);

enum class RootStatus {
    ok,              // converged: the bracket is within tolerance or f(x) == 0
    no_bracket,      // no sign change found (after expansion, where allowed)
    no_convergence,  // iteration limit reached before the tolerance
    not_finite,      // f returned NaN, or an end of the interval is not finite
    bad_input,       // bad options (negative tolerance, iteration limit < 1)
};

struct RootOptions {
    double abs_tol = 0.0;                // absolute bracket-width tolerance
    double rel_tol = 2.220446049250313e-16;  // relative tolerance: eps, i.e. adjacent doubles
    int max_iterations = 200;            // function evaluations in the solve phase (flat
                                         // functions can need about 3 per halving)
    int max_expansions = 64;             // bracket expansion steps (bracket_and_solve only)
    double expansion_factor = 1.6;       // growth of the interval per expansion step
};

struct RootResult {
    RootStatus status = RootStatus::bad_input;
    double x = 0.0;      // best estimate: the end of the final bracket with smaller |f|
    double fx = 0.0;     // f(x)
    double lower = 0.0;  // final bracket, lower <= x <= upper
    double upper = 0.0;
    int evaluations = 0;  // function evaluations, expansion included
};

// Relative tolerance 2^(1 - bits) for `bits` binary digits (clamped to 1..53;
// 53 gives eps: the final bracket holds adjacent doubles).
double relative_tolerance_for_bits(int bits) noexcept;

// Solves f(x) = 0 on [a, b] (either order). f(a) and f(b) must differ in sign
// (or one of them be zero), else no_bracket.
RootResult solve_bracketed(RootFunction f, void* context, double a, double b,
                           const RootOptions& options = RootOptions()) noexcept;

// Like solve_bracketed, but first widens [x0, x1] geometrically on the side
// whose |f| is smaller until the signs differ (Numerical-Recipes style zbrac).
RootResult bracket_and_solve(RootFunction f, void* context, double x0, double x1,
                             const RootOptions& options = RootOptions()) noexcept;

// Type-erasing adaptors for any callable `double(double)`.
template <class F>
RootResult solve_bracketed(F& f, double a, double b, const RootOptions& options = RootOptions()) noexcept {
    return solve_bracketed([](double x, void* c) { return (*static_cast<F*>(c))(x); }, &f, a, b, options);
}

template <class F>
RootResult bracket_and_solve(F& f, double x0, double x1, const RootOptions& options = RootOptions()) noexcept {
    return bracket_and_solve([](double x, void* c) { return (*static_cast<F*>(c))(x); }, &f, x0, x1,
                             options);
}

}  // namespace vextal::numerics
