// Motion under a force model (see model.hpp).
#include "core/forces/model.hpp"

#include "core/constants.hpp"
#include "core/dop853.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>

namespace vextal::numerics {

bool ForceModel::add(std::unique_ptr<Force> force) noexcept {
    if (!force) return false;
    const double mu = force->central_mu();
    if (mu != 0.0 && mu_ != 0.0) return false;
    try {
        forces_.push_back(std::move(force));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (mu != 0.0) mu_ = mu;
    position_only_ = position_only_ && forces_.back()->position_only();
    return true;
}

// The first force writes, the others add: a model of one force gives that force's bits.
void ForceModel::acceleration(double t, const double* r, const double* v, double* a) const noexcept {
    forces_[0]->acceleration(t, r, v, a);
    for (std::size_t k = 1; k < forces_.size(); ++k) {
        double b[3];
        forces_[k]->acceleration(t, r, v, b);
        for (int i = 0; i < 3; ++i) a[i] += b[i];
    }
}

void ForceModel::partials(double t, const double* r, const double* v, double* a, double* da_dr,
                          double* da_dv) const noexcept {
    if (!position_only_) std::fill(da_dv, da_dv + 9, 0.0);
    for (std::size_t k = 0; k < forces_.size(); ++k) {
        const Force& f = *forces_[k];
        double b[3], g[9], d[9];
        f.partials(t, r, v, k ? b : a, k ? g : da_dr, d);
        if (k) {
            for (int i = 0; i < 3; ++i) a[i] += b[i];
            for (int i = 0; i < 9; ++i) da_dr[i] += g[i];
        }
        if (!f.position_only())
            for (int i = 0; i < 9; ++i) da_dv[i] += d[i];
    }
}

namespace {

// Error weights: the size of the position for its components, of the velocity (at least the circular speed
// at that distance, so that a state at rest has a scale) for the velocity's.
inline void orbit_scale(double mu, const double* y0, const double* y1, double rtol, double* sk) noexcept {
    const double r = std::max(std::hypot(y0[0], y0[1], y0[2]), std::hypot(y1[0], y1[1], y1[2]));
    const double v = std::max({std::hypot(y0[3], y0[4], y0[5]), std::hypot(y1[3], y1[4], y1[5]), std::sqrt(mu / r)});
    for (int i = 0; i < 3; ++i) {
        sk[i] = rtol * r;
        sk[3 + i] = rtol * v;
    }
}

struct Orbit {
    static constexpr int n = 6, n_error = 6;
    const ForceModel* model;
    double mu;
    void derivative(double t, const double* y, double* dy) const noexcept {
        dy[0] = y[3];
        dy[1] = y[4];
        dy[2] = y[5];
        model->acceleration(t, y, y + 3, dy + 3);
    }
    void scale(const double* y0, const double* y1, double rtol, double* sk) const noexcept {
        orbit_scale(mu, y0, y1, rtol, sk);
    }
};

// The state followed by the 6 x 6 transition matrix (row-major): d(phi)/dt = [[0, I], [G, D]] phi with
// G = da/dr and D = da/dv (zero, and skipped, for a model of position-only forces).
struct OrbitWithMatrix {
    static constexpr int n = 42, n_error = 6;
    const ForceModel* model;
    double mu;
    void derivative(double t, const double* y, double* dy) const noexcept {
        double g[9], d[9];
        dy[0] = y[3];
        dy[1] = y[4];
        dy[2] = y[5];
        model->partials(t, y, y + 3, dy + 3, g, d);
        const double* phi = y + 6;
        double* dphi = dy + 6;
        for (int c = 0; c < 6; ++c) {
            for (int i = 0; i < 3; ++i) dphi[6 * i + c] = phi[6 * (i + 3) + c];
            for (int i = 0; i < 3; ++i)
                dphi[6 * (i + 3) + c] = g[3 * i] * phi[c] + g[3 * i + 1] * phi[6 + c] + g[3 * i + 2] * phi[12 + c];
        }
        if (model->position_only()) return;
        for (int c = 0; c < 6; ++c)
            for (int i = 0; i < 3; ++i)
                dphi[6 * (i + 3) + c] += d[3 * i] * phi[18 + c] + d[3 * i + 1] * phi[24 + c] + d[3 * i + 2] * phi[30 + c];
    }
    void scale(const double* y0, const double* y1, double rtol, double* sk) const noexcept {
        orbit_scale(mu, y0, y1, rtol, sk);
    }
};

double scale_mu(const ForceModel& model) noexcept { return model.mu() > 0 ? model.mu() : mu_earth; }

bool usable(const ForceModel& m, const double r0[3], const double v0[3]) noexcept {
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(r0[i]) || !std::isfinite(v0[i])) return false;
    return !m.empty() && (r0[0] != 0 || r0[1] != 0 || r0[2] != 0);
}

PropagationStatus status_of(dop853::Outcome o) noexcept {
    switch (o) {
        case dop853::Outcome::ok: return PropagationStatus::ok;
        case dop853::Outcome::too_many_steps: return PropagationStatus::too_many_steps;
        case dop853::Outcome::step_underflow: return PropagationStatus::singular;
        case dop853::Outcome::not_finite: return PropagationStatus::bad_input;
    }
    return PropagationStatus::bad_input;
}

// Asks `cancel` once every cancel_interval steps of `integ`.
class CancelCheck {
public:
    explicit CancelCheck(Cancel* cancel) noexcept : cancel_(cancel) {}
    template <class Integrator>
    bool stop(const Integrator& integ) noexcept {
        if (!cancel_ || integ.steps() < next_) return false;
        next_ = integ.steps() + cancel_interval;
        return cancel_->requested();
    }

private:
    Cancel* cancel_;
    long next_ = cancel_interval;
};

template <class System>
PropagationStatus run_to(dop853::Integrator<System>& integ, double t, Cancel* cancel) noexcept {
    CancelCheck check(cancel);
    while (integ.time() != t) {
        dop853::Outcome o = integ.step(t);
        if (o != dop853::Outcome::ok) return status_of(o);
        if (check.stop(integ)) return PropagationStatus::cancelled;
    }
    return PropagationStatus::ok;
}

bool finite_state(const double* y) noexcept {
    for (int i = 0; i < 6; ++i)
        if (!std::isfinite(y[i])) return false;
    return true;
}

}  // namespace

const char* propagation_message(PropagationStatus status) noexcept {
    switch (status) {
        case PropagationStatus::ok: return "ok";
        case PropagationStatus::bad_input: return "the state or the time is not finite, or the position is zero";
        case PropagationStatus::too_many_steps: return "the span needs more integration steps than allowed";
        case PropagationStatus::singular: return "the orbit runs into the centre: the step size shrank to nothing";
        case PropagationStatus::out_of_memory: return "out of memory";
        case PropagationStatus::cancelled: return "the propagation was interrupted";
    }
    return "unknown status";
}

PropagationStatus propagate(const ForceModel& model, const double r0[3], const double v0[3], double dt, double r[3],
                            double v[3], double* phi, double rtol, long* steps, Cancel* cancel) noexcept {
    if (steps) *steps = 0;
    if (!usable(model, r0, v0) || !std::isfinite(dt)) return PropagationStatus::bad_input;
    double y[42] = {r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]};
    for (int i = 0; i < 6; ++i) y[6 + 7 * i] = 1.0;
    PropagationStatus status;
    const double mu = scale_mu(model);
    if (phi) {
        dop853::Integrator<OrbitWithMatrix> integ(OrbitWithMatrix{&model, mu}, rtol, max_propagation_steps);
        integ.start(y);
        status = run_to(integ, dt, cancel);
        if (steps) *steps = integ.steps();
        std::copy(integ.state(), integ.state() + 42, y);
    } else {
        dop853::Integrator<Orbit> integ(Orbit{&model, mu}, rtol, max_propagation_steps);
        integ.start(y);
        status = run_to(integ, dt, cancel);
        if (steps) *steps = integ.steps();
        std::copy(integ.state(), integ.state() + 6, y);
    }
    if (status == PropagationStatus::ok && !finite_state(y)) status = PropagationStatus::singular;
    if (status != PropagationStatus::ok) return status;
    std::copy(y, y + 3, r);
    std::copy(y + 3, y + 6, v);
    if (phi) std::copy(y + 6, y + 42, phi);
    return PropagationStatus::ok;
}

PropagationStatus sample(const ForceModel& model, const double r0[3], const double v0[3], const double* offsets,
                         std::size_t n, double* r, double* v, double rtol, Cancel* cancel) noexcept {
    if (!usable(model, r0, v0)) return PropagationStatus::bad_input;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(offsets[i])) return PropagationStatus::bad_input;
    std::vector<std::size_t> order, backward;
    try {
        order.resize(n);
    } catch (const std::bad_alloc&) {
        return PropagationStatus::out_of_memory;
    }
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return offsets[a] < offsets[b]; });
    const double y0[6] = {r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]};
    auto put = [&](std::size_t i, const double* y) {
        std::copy(y, y + 3, r + 3 * i);
        std::copy(y + 3, y + 6, v + 3 * i);
    };
    // Forward through the positive offsets in increasing order, then backward through the negative ones in
    // decreasing order; each side is one integration to its farthest offset.
    auto first_positive = std::partition_point(order.begin(), order.end(), [&](std::size_t i) { return offsets[i] <= 0; });
    auto first_zero = std::partition_point(order.begin(), order.end(), [&](std::size_t i) { return offsets[i] < 0; });
    for (auto it = first_zero; it != first_positive; ++it) put(*it, y0);
    try {
        backward.assign(std::make_reverse_iterator(first_zero), order.rend());
    } catch (const std::bad_alloc&) {
        return PropagationStatus::out_of_memory;
    }
    struct Side {
        std::vector<std::size_t>::const_iterator begin, end;
        bool backward;
    };
    const Side sides[2] = {{first_positive, order.cend(), false}, {backward.cbegin(), backward.cend(), true}};
    for (const Side& side : sides) {
        if (side.begin == side.end) continue;
        const double bound = offsets[*(side.end - 1)];
        dop853::Integrator<Orbit> integ(Orbit{&model, scale_mu(model)}, rtol, max_propagation_steps);
        integ.start(y0);
        CancelCheck check(cancel);
        auto next = side.begin;
        while (next != side.end) {
            dop853::Outcome o = integ.step(bound);
            if (o != dop853::Outcome::ok) return status_of(o);
            if (!finite_state(integ.state())) return PropagationStatus::singular;
            if (check.stop(integ)) return PropagationStatus::cancelled;
            const double t = integ.time();
            for (; next != side.end && (side.backward ? offsets[*next] >= t : offsets[*next] <= t); ++next) {
                if (offsets[*next] == t) {
                    put(*next, integ.state());
                } else {
                    double y[6];
                    integ.dense(offsets[*next], y);
                    put(*next, y);
                }
            }
        }
    }
    return PropagationStatus::ok;
}

void fixed_steps(const ForceModel& model, const double r0[3], const double v0[3], double dt, long steps,
                 double fraction, double r[3], double v[3]) noexcept {
    const double y0[6] = {r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]};
    dop853::Integrator<Orbit> integ(Orbit{&model, scale_mu(model)}, default_rtol);
    integ.start(y0);
    const double h = dt / static_cast<double>(steps);
    for (long i = 0; i < steps; ++i) integ.fixed_step(h);
    double y[6];
    if (fraction > 0 && fraction < 1)
        integ.dense(integ.previous_time() + fraction * h, y);
    else
        std::copy(integ.state(), integ.state() + 6, y);
    std::copy(y, y + 3, r);
    std::copy(y + 3, y + 6, v);
}

}  // namespace vextal::numerics
