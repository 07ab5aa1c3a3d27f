// Dormand and Prince's explicit Runge-Kutta pair of order 8 with error estimators of orders 5 and 3, and its
// dense output of order 7 (Hairer, Norsett & Wanner, "Solving Ordinary Differential Equations I", 2nd ed.,
// section II.10; the coefficients are the published ones of Hairer's DOP853, to 30 digits).
//
// Why this method for orbits: the solution is smooth and the force cheap, so a high order buys long steps
// (about 25 per LEO revolution at millimetre accuracy), the two embedded estimators make the step control
// robust at tight tolerances, and the dense output gives the state at any epoch inside a step for three
// more force evaluations, so that one integration serves a whole table of epochs.
//
// Plain C++ on doubles, header-only because it is a template over the system: a `System` provides
//     static constexpr int n;             // dimension of the state
//     static constexpr int n_error;       // the leading components the step control looks at
//     void derivative(double t, const double* y, double* dy) const;   // dy/dt = f(t, y)
//     void scale(const double* y0, const double* y1, double rtol, double* sk) const;  // error weights (n_error)
// so that, for example, a state transition matrix can ride along without steering the steps: the state
// then follows exactly the steps it would take alone.
#pragma once

#include "core/dop853_tables.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vextal::numerics::dop853 {

enum class Outcome {
    ok,
    too_many_steps,  // the step budget ran out before the bound was reached
    step_underflow,  // the step shrank to the rounding of the time: the solution is (nearly) singular there
    not_finite,      // the state is not finite (at the start or after a step that no shrinking could save)
};

template <class System>
class Integrator {
public:
    static constexpr int n = System::n;
    static constexpr int n_error = System::n_error;

    Integrator(const System& system, double rtol, long max_steps = 10'000'000) noexcept
        : system_(system), rtol_(rtol), max_steps_(max_steps) {}

    // Starts at time 0 from y0 (n values).
    Outcome start(const double* y0) noexcept {
        t_ = t_old_ = 0.0;
        h_ = 0.0;
        steps_ = 0;
        fresh_ = true;
        for (int i = 0; i < n; ++i) {
            y_[i] = y0[i];
            if (!std::isfinite(y0[i])) return Outcome::not_finite;
        }
        system_.derivative(t_, y_, k_[0]);
        return Outcome::ok;
    }

    // Takes one accepted step towards `bound` (either side of the current time), never past it.
    Outcome step(double bound) noexcept {
        const double direction = bound >= t_ ? 1.0 : -1.0;
        if (!fresh_) copy(k_[12], k_[0]);
        fresh_ = false;
        if (h_ == 0.0 || h_ * direction < 0.0) h_ = direction * initial_step(std::fabs(bound - t_));
        double sk[n_error];
        bool rejected = false;
        for (;;) {
            if (++steps_ > max_steps_) return Outcome::too_many_steps;
            const double min_step = 10.0 * std::fabs(std::nextafter(t_, direction * HUGE_VAL) - t_);
            double h_abs = std::fabs(h_);
            // What is left to the bound below the resolution of the time (a span of 5e-324 s) is taken as it
            // is: it moves nothing, and shrinking the step could not help.
            if (h_abs < min_step && std::fabs(bound - t_) > min_step) return Outcome::step_underflow;
            double t_new = t_ + direction * h_abs;
            if (direction * (t_new - bound) > 0.0) t_new = bound;
            const double h = t_new - t_;
            h_abs = std::fabs(h);
            stages(h);
            system_.scale(y_, y_new_, rtol_, sk);
            const double err = error_norm(h, sk);
            if (err < 1.0) {
                double factor = err == 0.0 ? max_factor : std::min(max_factor, safety * std::pow(err, -1.0 / 8.0));
                if (rejected) factor = std::min(1.0, factor);
                h_ = direction * h_abs * factor;
                system_.derivative(t_new, y_new_, k_[12]);
                copy(y_, y_old_);
                copy(y_new_, y_);
                t_old_ = t_;
                t_ = t_new;
                dense_ready_ = false;
                return Outcome::ok;
            }
            // A non-finite error estimate (the trial state overflowed) shrinks the step as much as allowed.
            h_ = direction * h_abs * (std::isfinite(err) ? std::max(min_factor, safety * std::pow(err, -1.0 / 8.0)) : min_factor);
            rejected = true;
        }
    }

    // One step of exactly h, without error control (for measuring the order).
    void fixed_step(double h) noexcept {
        if (!fresh_) copy(k_[12], k_[0]);
        fresh_ = false;
        stages(h);
        system_.derivative(t_ + h, y_new_, k_[12]);
        copy(y_, y_old_);
        copy(y_new_, y_);
        t_old_ = t_;
        t_ += h;
        dense_ready_ = false;
    }

    double time() const noexcept { return t_; }
    double previous_time() const noexcept { return t_old_; }
    const double* state() const noexcept { return y_; }
    long steps() const noexcept { return steps_; }

    // The dense output of the last step at time t in [previous_time(), time()]: the first `components`
    // values of the state. Costs three derivative evaluations once per step.
    void dense(double t, double* out, int components = n) noexcept {
        const double h = t_ - t_old_;
        if (!dense_ready_) prepare_dense(h);
        const double x = (t - t_old_) / h, x1 = 1.0 - x;
        for (int i = 0; i < components; ++i) {
            const double* f = &f_[0][i];
            double v = f[6 * n] * x;
            v = (v + f[5 * n]) * x1;
            v = (v + f[4 * n]) * x;
            v = (v + f[3 * n]) * x1;
            v = (v + f[2 * n]) * x;
            v = (v + f[1 * n]) * x1;
            v = (v + f[0]) * x;
            out[i] = y_old_[i] + v;
        }
    }

private:
    static constexpr double safety = 0.9, min_factor = 0.2, max_factor = 10.0;

    static void copy(const double* from, double* to) noexcept {
        for (int i = 0; i < n; ++i) to[i] = from[i];
    }

    // Row r of the coefficients: a[r] for r < 16, e5 for r = 16, d[r - 20] for r = 20..23.
    static constexpr double coefficient(int row, int j) noexcept {
        return row < 16 ? a[row][j] : row == 16 ? e5[j] : d[row - 20][j];
    }
    template <int Row, int J>
    void add_term(double& sum, int i) const noexcept {
        if constexpr (coefficient(Row, J) != 0.0) sum += coefficient(Row, J) * k_[J][i];
    }
    // sum_j row[j] k[j][i] over the row's first N entries, skipping its zeros: the sums keep their order, so
    // the bits are those of the full sums.
    template <int Row, int... J>
    double combine(std::integer_sequence<int, J...>, int i) const noexcept {
        double sum = 0.0;
        (add_term<Row, J>(sum, i), ...);
        return sum;
    }
    template <int Row, int N>
    double combine(int i) const noexcept {
        return combine<Row>(std::make_integer_sequence<int, N>{}, i);
    }

    // out = y + h sum_j a[S][j] k[j] over j < S.
    template <int S>
    void stage_state(double h, const double* y, double* out) const noexcept {
        for (int i = 0; i < n; ++i) out[i] = y[i] + h * combine<S, S>(i);
    }

    // Stages First..Last-1 from y at time t.
    template <int First, int Last>
    void run_stages(double t, double h, const double* y) noexcept {
        if constexpr (First < Last) {
            double tmp[n];
            stage_state<First>(h, y, tmp);
            system_.derivative(t + c[First] * h, tmp, k_[First]);
            run_stages<First + 1, Last>(t, h, y);
        }
    }

    // Stages 1..11 and the eighth-order solution y_new (k_[0] holds f(t, y)).
    void stages(double h) noexcept {
        run_stages<1, 12>(t_, h, y_);
        stage_state<12>(h, y_, y_new_);
    }

    // Hairer's combination of the fifth- and third-order estimates: |h| err5^2 / sqrt(err5^2 + 0.01 err3^2),
    // as a root mean square over the controlled components.
    double error_norm(double h, const double* sk) const noexcept {
        double err5 = 0.0, err3 = 0.0;
        for (int i = 0; i < n_error; ++i) {
            double s5 = combine<16, 12>(i);
            double s3 = combine<12, 12>(i) - (bhh[0] * k_[0][i] + bhh[8] * k_[8][i] + bhh[11] * k_[11][i]);
            s5 /= sk[i];
            s3 /= sk[i];
            err5 += s5 * s5;
            err3 += s3 * s3;
        }
        if (err5 == 0.0 && err3 == 0.0) return 0.0;
        return std::fabs(h) * err5 / std::sqrt((err5 + 0.01 * err3) * n_error);
    }

    // Hairer's starting step: a first guess from the sizes of y and f, checked against the change of f over it.
    double initial_step(double span) noexcept {
        double sk[n_error];
        system_.scale(y_, y_, rtol_, sk);
        double d0 = 0.0, d1 = 0.0;
        for (int i = 0; i < n_error; ++i) {
            d0 += (y_[i] / sk[i]) * (y_[i] / sk[i]);
            d1 += (k_[0][i] / sk[i]) * (k_[0][i] / sk[i]);
        }
        d0 = std::sqrt(d0 / n_error);
        d1 = std::sqrt(d1 / n_error);
        double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
        h0 = std::min(h0, span);
        double y1[n], f1[n];
        for (int i = 0; i < n; ++i) y1[i] = y_[i] + h0 * k_[0][i];
        system_.derivative(t_ + h0, y1, f1);  // the trial point is ahead in time, as its state is
        double d2 = 0.0;
        for (int i = 0; i < n_error; ++i) {
            double d = (f1[i] - k_[0][i]) / sk[i];
            d2 += d * d;
        }
        d2 = std::sqrt(d2 / n_error) / h0;
        const double dmax = std::max(d1, d2);
        const double h1 = dmax <= 1e-15 ? std::max(1e-6, h0 * 1e-3) : std::pow(0.01 / dmax, 1.0 / 8.0);
        double h = std::min({100.0 * h0, h1, span});
        return h > 0.0 ? h : span;
    }

    // The three extra stages and the coefficients of the seventh-order interpolant.
    void prepare_dense(double h) noexcept {
        run_stages<13, 16>(t_old_, h, y_old_);
        for (int i = 0; i < n; ++i) {
            const double dy = y_[i] - y_old_[i];
            f_[0][i] = dy;
            f_[1][i] = h * k_[0][i] - dy;
            f_[2][i] = 2.0 * dy - h * (k_[12][i] + k_[0][i]);
            f_[3][i] = h * combine<20, 16>(i);
            f_[4][i] = h * combine<21, 16>(i);
            f_[5][i] = h * combine<22, 16>(i);
            f_[6][i] = h * combine<23, 16>(i);
        }
        dense_ready_ = true;
    }

    System system_;
    double rtol_;
    long max_steps_;
    long steps_ = 0;
    double t_ = 0.0, t_old_ = 0.0, h_ = 0.0;
    bool fresh_ = true, dense_ready_ = false;
    double y_[n] = {}, y_old_[n] = {}, y_new_[n] = {};
    double k_[16][n] = {};
    double f_[7][n] = {};
};

}  // namespace vextal::numerics::dop853
