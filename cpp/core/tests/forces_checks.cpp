// Checks of the force seam: the order of DOP853 and of its dense output on time-dependent problems, the
// forces' gradients against finite differences (with and without a pole of date), zonal degree 2 against
// J2, the state transition matrix (with a velocity-dependent force) against finite differences, the
// registry's refusals, cancellation and a span below the time's resolution.
#include "core/dop853.hpp"
#include "core/forces/model.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace num = vextal::numerics;

namespace {

int failures = 0;

void check(bool ok, const char* what, double value = 0.0) {
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s (%.6g)\n", what, value);
    }
}

// y'' = -y + cos(2t) as a first-order system, time-dependent: a wrong stage time breaks the order.
struct Forced {
    static constexpr int n = 2, n_error = 2;
    void derivative(double t, const double* y, double* dy) const noexcept {
        dy[0] = y[1];
        dy[1] = -y[0] + std::cos(2.0 * t);
    }
    void scale(const double*, const double*, double rtol, double* sk) const noexcept { sk[0] = sk[1] = rtol; }
};

// The exact solution from y(0) = 1, y'(0) = 0: y = (4/3) cos t - (1/3) cos 2t.
double forced_exact(double t) { return 4.0 / 3.0 * std::cos(t) - std::cos(2.0 * t) / 3.0; }

// Error at t = T after `steps` fixed steps, or of the dense output at the middle of the last step.
double forced_error(int steps, bool dense) {
    num::dop853::Integrator<Forced> integ(Forced{}, 1e-10);
    const double y0[2] = {1.0, 0.0};
    integ.start(y0);
    const double T = 2.0, h = T / steps;
    for (int i = 0; i < steps; ++i) integ.fixed_step(h);
    if (!dense) return std::fabs(integ.state()[0] - forced_exact(T));
    double y[2];
    const double t = T - 0.5 * h;
    integ.dense(t, y);
    return std::fabs(y[0] - forced_exact(t));
}

void check_orders() {
    // Halving the step divides the global error by about 2^8 (order 8) and the dense output's local error by
    // about 2^8 as well (order 7 interpolant: local error h^8).
    const double e1 = forced_error(8, false), e2 = forced_error(16, false);
    check(std::log2(e1 / e2) > 7.5, "DOP853 is of order 8 on a forced oscillator", std::log2(e1 / e2));
    const double d1 = forced_error(4, true), d2 = forced_error(8, true);
    check(std::log2(d1 / d2) > 6.5, "the dense output is of order 7", std::log2(d1 / d2));
}

std::unique_ptr<num::Force> make(const char* name, std::initializer_list<double> values, const double* pole = nullptr) {
    const char* error = nullptr;
    std::vector<double> v(values);
    return num::make_force(name, num::ForceArgs{v.data(), v.size(), pole}, error);
}

// A rotation from three angles.
void rotation(double a, double b, double c, double* m) {
    const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cc = std::cos(c), sc = std::sin(c);
    const double rz[9] = {ca, sa, 0, -sa, ca, 0, 0, 0, 1}, rx[9] = {1, 0, 0, 0, cb, sb, 0, -sb, cb};
    const double rz2[9] = {cc, sc, 0, -sc, cc, 0, 0, 0, 1};
    double t[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[3 * i + j] = rx[3 * i] * rz[j] + rx[3 * i + 1] * rz[3 + j] + rx[3 * i + 2] * rz[6 + j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[3 * i + j] = rz2[3 * i] * t[j] + rz2[3 * i + 1] * t[3 + j] + rz2[3 * i + 2] * t[6 + j];
}

// The largest relative difference of da/dr from central differences of a, over random positions.
double gradient_error(const num::Force& f, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    double worst = 0.0;
    for (int k = 0; k < 20; ++k) {
        double r[3], v[3] = {0, 0, 0}, a[3], g[9], d[9];
        const double radius = 6600.0 + 30000.0 * (u(rng) + 1.0);
        double n = 0;
        for (double& x : r) {
            x = u(rng);
            n += x * x;
        }
        for (double& x : r) x *= radius / std::sqrt(n);
        if (k == 0) r[0] = r[1] = 0, r[2] = radius;  // over the pole
        f.partials(0.0, r, v, a, g, d);
        double gmax = 0;
        for (double x : g) gmax = std::max(gmax, std::fabs(x));
        for (int j = 0; j < 3; ++j) {
            const double h = 1e-4 * radius;
            double rp[3] = {r[0], r[1], r[2]}, rm[3] = {r[0], r[1], r[2]}, ap[3], am[3];
            rp[j] += h;
            rm[j] -= h;
            f.acceleration(0.0, rp, v, ap);
            f.acceleration(0.0, rm, v, am);
            for (int i = 0; i < 3; ++i) worst = std::max(worst, std::fabs((ap[i] - am[i]) / (2 * h) - g[3 * i + j]) / gmax);
        }
        double a2[3];
        f.acceleration(0.0, r, v, a2);
        for (int i = 0; i < 3; ++i) worst = std::max(worst, a2[i] == a[i] ? 0.0 : 1.0);  // partials' a is a's
    }
    return worst;
}

void check_gradients() {
    std::mt19937_64 rng(11);
    double pole[9];
    rotation(0.3, 0.002, -0.4, pole);
    const double egm[] = {1.08262668e-3, -2.53265649e-6, -1.61962159e-6, -2.27296083e-7, 5.40681239e-7};
    check(gradient_error(*make("j2", {398600.5, 1.08262668e-3, 6378.1374}), rng) < 1e-7, "J2 gradient");
    check(gradient_error(*make("j2", {398600.5, 1.08262668e-3, 6378.1374}, pole), rng) < 1e-7, "J2 gradient, pole");
    for (int degree = 2; degree <= 6; ++degree) {
        std::vector<double> v = {398600.5, 6378.1374};
        // Exaggerated coefficients, so that each degree's term shows above the central term's rounding.
        for (int n = 2; n <= degree; ++n) v.push_back(egm[n - 2] * (n == 2 ? 1.0 : 1e3));
        const char* error = nullptr;
        for (const double* p : {static_cast<const double*>(nullptr), static_cast<const double*>(pole)}) {
            auto f = num::make_force("zonal", num::ForceArgs{v.data(), v.size(), p}, error);
            const double e = gradient_error(*f, rng);
            check(e < 1e-7, p ? "zonal gradient, pole" : "zonal gradient", e);
        }
    }
    // Zonal to degree 2 is J2 (to rounding), about either pole.
    for (const double* p : {static_cast<const double*>(nullptr), static_cast<const double*>(pole)}) {
        auto j2 = make("j2", {398600.5, 1.08262668e-3, 6378.1374}, p);
        auto z2 = make("zonal", {398600.5, 6378.1374, 1.08262668e-3}, p);
        const double r[3] = {5000.0, -3000.0, 4000.0}, v[3] = {};
        double a[3], b[3];
        j2->acceleration(0, r, v, a);
        z2->acceleration(0, r, v, b);
        double e = 0;
        for (int i = 0; i < 3; ++i) e = std::max(e, std::fabs(a[i] - b[i]) / std::hypot(a[0], a[1], a[2]));
        check(e < 1e-14, "zonal degree 2 is J2", e);
    }
}

// A test-only velocity-dependent force (drag-like: a = -k |v| v), to check the da/dv block of the STM.
class Drag final : public num::Force {
public:
    bool position_only() const noexcept override { return false; }
    void acceleration(double, const double*, const double* v, double* a) const noexcept override {
        const double s = std::hypot(v[0], v[1], v[2]);
        for (int i = 0; i < 3; ++i) a[i] = -k * s * v[i];
    }
    void partials(double t, const double* r, const double* v, double* a, double* da_dr, double* da_dv) const noexcept override {
        acceleration(t, r, v, a);
        const double s = std::hypot(v[0], v[1], v[2]);
        for (int i = 0; i < 9; ++i) da_dr[i] = 0.0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) da_dv[3 * i + j] = -k * (v[i] * v[j] / s + (i == j ? s : 0.0));
    }
    static constexpr double k = 1e-6;
};

double stm_error(const num::ForceModel& model) {
    const double r0[3] = {6778.0, 300.0, -200.0}, v0[3] = {0.2, 4.76, 6.01}, dt = 5400.0;
    double r[3], v[3], phi[36];
    if (num::propagate(model, r0, v0, dt, r, v, phi, 1e-13) != num::PropagationStatus::ok) return 1.0;
    double worst = 0.0;
    for (int j = 0; j < 6; ++j) {
        const double h = j < 3 ? 1e-3 : 1e-6;
        double x[2][6], out[2][6];
        for (int s = 0; s < 2; ++s) {
            for (int i = 0; i < 3; ++i) x[s][i] = r0[i], x[s][3 + i] = v0[i];
            x[s][j] += s ? -h : h;
            if (num::propagate(model, x[s], x[s] + 3, dt, out[s], out[s] + 3, nullptr, 1e-13) != num::PropagationStatus::ok)
                return 1.0;
        }
        for (int i = 0; i < 6; ++i) {
            const double fd = (out[0][i] - out[1][i]) / (2 * h);
            const double size = std::fabs(phi[6 * i + j]) + (i < 3 ? 1.0 : 1e-3) * (j < 3 ? 1.0 : 1e3);
            worst = std::max(worst, std::fabs(fd - phi[6 * i + j]) / size);
        }
    }
    return worst;
}

void check_stm() {
    num::ForceModel zonal, with_drag;
    zonal.add(make("zonal", {398600.5, 6378.1374, 1.08262668e-3, -2.53265649e-6, -1.61962159e-6}));
    with_drag.add(make("zonal", {398600.5, 6378.1374, 1.08262668e-3, -2.53265649e-6, -1.61962159e-6}));
    with_drag.add(std::make_unique<Drag>());
    check(!with_drag.position_only() && zonal.position_only(), "a velocity-dependent force marks the model");
    const double ez = stm_error(zonal), ed = stm_error(with_drag);
    check(ez < 1e-6, "the STM of a zonal model matches finite differences", ez);
    check(ed < 1e-6, "the STM with a velocity-dependent force matches finite differences", ed);
    // The drag changes the orbit: the composition is not a no-op.
    const double r0[3] = {6778.0, 300.0, -200.0}, v0[3] = {0.2, 4.76, 6.01};
    double ra[3], va[3], rb[3], vb[3];
    num::propagate(zonal, r0, v0, 5400.0, ra, va);
    num::propagate(with_drag, r0, v0, 5400.0, rb, vb);
    check(std::hypot(ra[0] - rb[0], ra[1] - rb[1], ra[2] - rb[2]) > 1.0, "a second force in a model acts");
}

struct CancelAfter final : num::Cancel {
    int asked = 0;
    bool requested() noexcept override { return ++asked >= 2; }
};

void check_registry_and_limits() {
    const char* error = nullptr;
    const double three[3] = {398600.5, 1e-3, 6378.0};
    check(!num::make_force("nothing", num::ForceArgs{three, 3, nullptr}, error) && error, "an unknown force is refused");
    check(!num::make_force("j2", num::ForceArgs{three, 2, nullptr}, error) && error, "a wrong parameter count");
    const double bad_pole[9] = {1, 0, 0, 0, 1, 0, 0, 0, 2};
    check(!num::make_force("j2", num::ForceArgs{three, 3, bad_pole}, error) && error, "a pole that is no rotation");
    num::ForceModel two;
    check(two.add(make("j2", {398600.5, 1e-3, 6378.0})) && !two.add(make("zonal", {398600.5, 6378.0, 1e-3})),
          "a second central field is refused");
    // Cancellation: asked every cancel_interval steps; the second answer stops a years-long propagation.
    num::ForceModel j2;
    j2.add(make("j2", {398600.5, 1.08262668e-3, 6378.1374}));
    const double r0[3] = {6778.0, 0, 0}, v0[3] = {0, 7.67, 0.1};
    double r[3], v[3];
    long steps = 0;
    CancelAfter cancel;
    const auto s = num::propagate(j2, r0, v0, 3.0e8, r, v, nullptr, 1e-13, &steps, &cancel);
    check(s == num::PropagationStatus::cancelled && cancel.asked == 2 && steps == 2 * num::cancel_interval,
          "a cancel stops the integration at its check", double(steps));
    // A span below the time's resolution moves nothing and fails nothing.
    const double tiny[] = {5e-324, -5e-324, 1e-320};
    for (double dt : tiny) {
        const auto st = num::propagate(j2, r0, v0, dt, r, v);
        check(st == num::PropagationStatus::ok && std::fabs(r[0] - r0[0]) == 0.0 && std::isfinite(r[1]) &&
                  std::fabs(v[1] - v0[1]) < 1e-300,
              "a span of a few denormals is no step", dt);
    }
}

}  // namespace

int main() {
    check_orders();
    check_gradients();
    check_stm();
    check_registry_and_limits();
    if (failures) {
        std::printf("forces: %d checks failed\n", failures);
        return 1;
    }
    std::printf("forces: all checks passed\n");
    return 0;
}
