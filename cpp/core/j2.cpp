// J2 motion and its state transition matrix (see j2.hpp).
#include "core/j2.hpp"

#include "core/dop853.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <numeric>
#include <vector>

namespace vextal::numerics {

namespace {

// The force field: mu and k = 3/2 J2 mu R^2, with
//     a = -mu r / r^3 - k / r^5 (x (1 - 5 z^2/r^2), y (1 - 5 z^2/r^2), z (3 - 5 z^2/r^2)).
struct Field {
    double mu, k;

    explicit Field(const J2Model& m) : mu(m.mu), k(1.5 * m.j2 * m.mu * m.radius * m.radius) {}

    void acceleration(const double* r, double* a) const noexcept {
        const double x = r[0], y = r[1], z = r[2];
        const double ir2 = 1.0 / (x * x + y * y + z * z), ir = std::sqrt(ir2), ir3 = ir * ir2;
        const double c = k * ir3 * ir2, s = 5.0 * z * z * ir2;
        const double central = mu * ir3;
        a[0] = -x * (central + c * (1.0 - s));
        a[1] = -y * (central + c * (1.0 - s));
        a[2] = -z * (central + c * (3.0 - s));
    }

    // The acceleration and its gradient g = da/dr (3 x 3, symmetric). With p = 1/r^5 - 5 z^2/r^7 and
    // q = 3/r^5 - 5 z^2/r^7 the J2 part is -k (x p, y p, z q), and
    //     dp/dr_j = -5 r_j/r^7 + 35 z^2 r_j/r^9 - 10 z [j = z]/r^7,   dq/dr_j = dp/dr_j - 10 r_j/r^7.
    void gradient(const double* r, double* a, double* g) const noexcept {
        acceleration(r, a);
        const double x = r[0], y = r[1], z = r[2];
        const double ir2 = 1.0 / (x * x + y * y + z * z), ir = std::sqrt(ir2), ir3 = ir * ir2;
        const double ir5 = ir3 * ir2, ir7 = ir5 * ir2, ir9 = ir7 * ir2;
        const double p = ir5 - 5.0 * z * z * ir7, q = p + 2.0 * ir5;
        const double cp = -5.0 * ir7 + 35.0 * z * z * ir9;  // the r_j factor of dp/dr_j
        const double cq = cp - 10.0 * ir7;
        const double rv[3] = {x, y, z};
        for (int i = 0; i < 3; ++i) {
            const double fi = i == 2 ? q : p;
            const double ci = i == 2 ? cq : cp;
            for (int j = 0; j < 3; ++j) {
                double d = ci * rv[j] - (j == 2 ? 10.0 * z * ir7 : 0.0);
                double two_body = -mu * ir3 * ((i == j ? 1.0 : 0.0) - 3.0 * rv[i] * rv[j] * ir2);
                g[3 * i + j] = two_body - k * ((i == j ? fi : 0.0) + rv[i] * d);
            }
        }
    }
};

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
    Field field;
    void derivative(const double* y, double* dy) const noexcept {
        dy[0] = y[3];
        dy[1] = y[4];
        dy[2] = y[5];
        field.acceleration(y, dy + 3);
    }
    void scale(const double* y0, const double* y1, double rtol, double* sk) const noexcept {
        orbit_scale(field.mu, y0, y1, rtol, sk);
    }
};

// The state followed by the 6 x 6 transition matrix (row-major): d(phi)/dt = [[0, I], [g, 0]] phi.
struct OrbitWithMatrix {
    static constexpr int n = 42, n_error = 6;
    Field field;
    void derivative(const double* y, double* dy) const noexcept {
        double g[9];
        dy[0] = y[3];
        dy[1] = y[4];
        dy[2] = y[5];
        field.gradient(y, dy + 3, g);
        const double* phi = y + 6;
        double* dphi = dy + 6;
        for (int c = 0; c < 6; ++c) {
            for (int i = 0; i < 3; ++i) dphi[6 * i + c] = phi[6 * (i + 3) + c];
            for (int i = 0; i < 3; ++i)
                dphi[6 * (i + 3) + c] = g[3 * i] * phi[c] + g[3 * i + 1] * phi[6 + c] + g[3 * i + 2] * phi[12 + c];
        }
    }
    void scale(const double* y0, const double* y1, double rtol, double* sk) const noexcept {
        orbit_scale(field.mu, y0, y1, rtol, sk);
    }
};

bool usable(const J2Model& m, const double r0[3], const double v0[3]) noexcept {
    for (int i = 0; i < 3; ++i)
        if (!std::isfinite(r0[i]) || !std::isfinite(v0[i])) return false;
    return std::isfinite(m.mu) && m.mu > 0 && std::isfinite(m.j2) && std::isfinite(m.radius) &&
           (r0[0] != 0 || r0[1] != 0 || r0[2] != 0);
}

J2Status status_of(dop853::Outcome o) noexcept {
    switch (o) {
        case dop853::Outcome::ok: return J2Status::ok;
        case dop853::Outcome::too_many_steps: return J2Status::too_many_steps;
        case dop853::Outcome::step_underflow: return J2Status::singular;
        case dop853::Outcome::not_finite: return J2Status::bad_input;
    }
    return J2Status::bad_input;
}

template <class System>
J2Status run_to(dop853::Integrator<System>& integ, double t) noexcept {
    while (integ.time() != t) {
        dop853::Outcome o = integ.step(t);
        if (o != dop853::Outcome::ok) return status_of(o);
    }
    return J2Status::ok;
}

bool finite_state(const double* y) noexcept {
    for (int i = 0; i < 6; ++i)
        if (!std::isfinite(y[i])) return false;
    return true;
}

}  // namespace

const char* j2_status_message(J2Status status) noexcept {
    switch (status) {
        case J2Status::ok: return "ok";
        case J2Status::bad_input: return "the state or the time is not finite, or the position is zero";
        case J2Status::too_many_steps: return "the span needs more integration steps than allowed";
        case J2Status::singular: return "the orbit runs into the centre: the step size shrank to nothing";
        case J2Status::out_of_memory: return "out of memory";
    }
    return "unknown status";
}

void j2_acceleration(const J2Model& model, const double r[3], double a[3]) noexcept {
    Field(model).acceleration(r, a);
}

double j2_energy(const J2Model& model, const double r[3], const double v[3]) noexcept {
    const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2], rn = std::sqrt(r2);
    const double u = model.mu / rn *
                     (1.0 - 0.5 * model.j2 * model.radius * model.radius / r2 * (3.0 * r[2] * r[2] / r2 - 1.0));
    return 0.5 * (v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) - u;
}

J2Status propagate_j2(const J2Model& model, const double r0[3], const double v0[3], double dt, double r[3],
                      double v[3], double* phi, double rtol, long* steps) noexcept {
    if (steps) *steps = 0;
    if (!usable(model, r0, v0) || !std::isfinite(dt)) return J2Status::bad_input;
    double y[42] = {r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]};
    for (int i = 0; i < 6; ++i) y[6 + 7 * i] = 1.0;
    J2Status status;
    const double* out;
    if (phi) {
        dop853::Integrator<OrbitWithMatrix> integ(OrbitWithMatrix{Field(model)}, rtol, j2_max_steps);
        integ.start(y);
        status = run_to(integ, dt);
        if (steps) *steps = integ.steps();
        std::copy(integ.state(), integ.state() + 42, y);
    } else {
        dop853::Integrator<Orbit> integ(Orbit{Field(model)}, rtol, j2_max_steps);
        integ.start(y);
        status = run_to(integ, dt);
        if (steps) *steps = integ.steps();
        std::copy(integ.state(), integ.state() + 6, y);
    }
    out = y;
    if (status == J2Status::ok && !finite_state(out)) status = J2Status::singular;
    if (status != J2Status::ok) return status;
    std::copy(out, out + 3, r);
    std::copy(out + 3, out + 6, v);
    if (phi) std::copy(out + 6, out + 42, phi);
    return J2Status::ok;
}

J2Status sample_j2(const J2Model& model, const double r0[3], const double v0[3], const double* offsets,
                   std::size_t n, double* r, double* v, double rtol) noexcept {
    if (!usable(model, r0, v0)) return J2Status::bad_input;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(offsets[i])) return J2Status::bad_input;
    std::vector<std::size_t> order;
    try {
        order.resize(n);
    } catch (const std::bad_alloc&) {
        return J2Status::out_of_memory;
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
    struct Side {
        std::vector<std::size_t>::const_iterator begin, end;
        bool backward;
    };
    std::vector<std::size_t> backward(std::make_reverse_iterator(first_zero), order.rend());
    const Side sides[2] = {{first_positive, order.cend(), false}, {backward.cbegin(), backward.cend(), true}};
    for (const Side& side : sides) {
        if (side.begin == side.end) continue;
        const double bound = offsets[*(side.end - 1)];
        dop853::Integrator<Orbit> integ(Orbit{Field(model)}, rtol, j2_max_steps);
        integ.start(y0);
        auto next = side.begin;
        while (next != side.end) {
            dop853::Outcome o = integ.step(bound);
            if (o != dop853::Outcome::ok) return status_of(o);
            if (!finite_state(integ.state())) return J2Status::singular;
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
    return J2Status::ok;
}

void j2_fixed_steps(const J2Model& model, const double r0[3], const double v0[3], double dt, long steps,
                    double fraction, double r[3], double v[3]) noexcept {
    const double y0[6] = {r0[0], r0[1], r0[2], v0[0], v0[1], v0[2]};
    dop853::Integrator<Orbit> integ(Orbit{Field(model)}, j2_default_rtol);
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
