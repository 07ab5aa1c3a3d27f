// Checks of the batch kernels of the numerics core: the frame rotations (against the product written out, in
// place and cut into blocks), orbital elements (round trips, the thresholds of their conventions and
// refusals, Kepler's equation from e = 0 to within 1e-6 of a parabola) and the batch geodesy on every path
// this CPU has (against the scalar functions).
// Build and run: sh cpp/core/tests/build.sh --checks (or see that script for the g++ lines).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/tests/check.hpp"
#include "core/constants.hpp"
#include "core/elements.hpp"
#include "core/frames_batch.hpp"
#include "core/geodesy.hpp"
#include "core/geodesy_batch.hpp"

using namespace vextal::numerics;

namespace {

using vextal::checks::check;
using vextal::checks::failures;

// ---------------------------------------------------------------- frames
void frames_checks() {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g;
    const std::ptrdiff_t epochs = 5, period = 7, n = period * 300;
    std::vector<double> a(9 * epochs), b(9 * epochs), r(3 * n), v(3 * n);
    std::vector<std::int64_t> index(period);
    for (auto& x : a) x = g(rng);
    for (auto& x : b) x = g(rng);
    for (auto& x : r) x = 7000.0 * g(rng);
    for (auto& x : v) x = 7.0 * g(rng);
    for (std::ptrdiff_t k = 0; k < period; ++k) index[k] = (3 * k + 1) % epochs;
    std::vector<double> ro(3 * n), vo(3 * n), rb(3 * n), vb(3 * n);
    rotate_states(r.data(), v.data(), a.data(), b.data(), index.data(), period, 0, n, ro.data(), vo.data());
    bool exact = true;
    for (std::ptrdiff_t j = 0; j < n && exact; ++j) {
        const double* m = &a[9 * index[j % period]];
        const double* q = &b[9 * index[j % period]];
        for (int c = 0; c < 3; ++c) {
            const double* x = &r[3 * j];
            const double* y = &v[3 * j];
            const double want_r = m[3 * c] * x[0] + m[3 * c + 1] * x[1] + m[3 * c + 2] * x[2];
            const double w = q[3 * c] * x[0] + q[3 * c + 1] * x[1] + q[3 * c + 2] * x[2];
            const double want_v = (m[3 * c] * y[0] + m[3 * c + 1] * y[1] + m[3 * c + 2] * y[2]) + w;
            exact = exact && ro[3 * j + c] == want_r && vo[3 * j + c] == want_v;
        }
    }
    check(exact, "frames: a r and a v + b r per state, with the epoch of j mod period");
    // Blocks of any length starting anywhere give the same bits.
    for (std::ptrdiff_t begin = 0; begin < n;) {
        const std::ptrdiff_t end = std::min(n, begin + 1 + begin % 11);
        rotate_states(r.data(), v.data(), a.data(), b.data(), index.data(), period, begin, end, rb.data(), vb.data());
        begin = end;
    }
    check(rb == ro && vb == vo, "frames: the same bits in blocks");
    // In place: the outputs may be the inputs.
    rb = r;
    vb = v;
    rotate_states(rb.data(), vb.data(), a.data(), b.data(), index.data(), period, 0, n, rb.data(), vb.data());
    check(rb == ro && vb == vo, "frames: the same bits in place");
    // No rate term: v as r is.
    rotate_states(r.data(), r.data(), a.data(), nullptr, index.data(), period, 0, n, rb.data(), vb.data());
    check(rb == ro && vb == ro, "frames: without b, v_out = a v");
}

// ---------------------------------------------------------------- elements
double angle_error(double x, double y) { return std::fabs(std::remainder(x - y, two_pi)); }

void elements_checks() {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double mu = mu_earth;
    double worst = 0.0;
    for (int k = 0; k < 20000; ++k) {
        const bool hyperbolic = k % 4 == 3;
        const double e = hyperbolic ? 1.01 + 3.0 * u(rng) : 0.001 + 0.95 * u(rng);
        const double rp = 6600.0 + 30000.0 * u(rng);
        const double a = rp / (1.0 - e);
        const double i = 0.01 + 3.1 * u(rng), raan = two_pi * u(rng), argp = two_pi * u(rng);
        const double limit = hyperbolic ? std::acos(-1.0 / e) : pi;
        const double m = hyperbolic ? (2.0 * u(rng) - 1.0) * 5.0 : two_pi * u(rng);
        const double nu = hyperbolic ? 0.9 * (2.0 * u(rng) - 1.0) * limit : two_pi * u(rng);
        for (bool mean : {false, true}) {
            double r[3], v[3];
            Elements el{};
            if (elements_to_state(a, e, i, raan, argp, mean ? m : nu, mean, mu, r, v) != ElementsStatus::ok ||
                state_to_elements(r, v, mu, el) != ElementsStatus::ok) {
                check(false, "elements: a round trip refused", e);
                continue;
            }
            double err = std::fabs(el.a - a) / std::fabs(a) + std::fabs(el.e - e);
            err = std::fmax(err, angle_error(el.i, i) + angle_error(el.raan, raan) + angle_error(el.argp, argp));
            err = std::fmax(err, mean ? angle_error(el.m, m) : angle_error(el.nu, nu));
            worst = std::fmax(worst, err);
        }
    }
    std::printf("  round trips: worst error %.3g\n", worst);
    check(worst < 1e-9, "elements: round trips within 1e-9", worst);

    // Kepler's equation: the true anomaly of a mean anomaly gives that mean anomaly back, from e = 0 to
    // within 1e-6 of a parabola, near periapsis and apoapsis.
    double worst_m = 0.0;
    for (int k = 0; k < 200000; ++k) {
        const double e = k % 3 == 0 ? 1.0 - std::pow(10.0, -6.0 * u(rng)) : 0.999 * u(rng);
        double m = (2.0 * u(rng) - 1.0) * pi;
        if (k % 5 == 0) m *= 1e-6;
        double nu;
        if (true_from_mean(m, e, nu) != ElementsStatus::ok) {
            check(false, "elements: Kepler's equation refused", e);
            continue;
        }
        // M's rounding over dM/dnu near periapsis for e near 1: compare in M, scaled by the slope.
        const double back = mean_from_true(nu, e);
        worst_m = std::fmax(worst_m, angle_error(back, m) / (1e-15 + 1e-15 / std::fmax(1.0 - e, 1e-6) * std::fabs(m)));
    }
    std::printf("  Kepler's equation: worst %.3g units of M's rounding\n", worst_m);
    check(worst_m < 8.0, "elements: mean_from_true(true_from_mean(M)) = M to rounding", worst_m);

    // Thresholds: parabolic within 1e-9 of e = 1, circular below 1e-10, equatorial below sin i = 1e-10.
    double r[3], v[3];
    check(elements_to_state(7000.0, 1.0 - 0.5 * kParabolic, 0.1, 0, 0, 0, false, mu, r, v) == ElementsStatus::parabolic,
          "elements: e within kParabolic of 1 is parabolic");
    check(elements_to_state(7000.0, 1.0 - 2.0 * kParabolic, 0.1, 0, 0, 0, true, mu, r, v) == ElementsStatus::ok,
          "elements: e just outside kParabolic is an ellipse");
    check(elements_to_state(-7000.0, 0.5, 0.1, 0, 0, 0, false, mu, r, v) == ElementsStatus::sign_mismatch,
          "elements: a < 0 with e < 1 refused");
    check(elements_to_state(-7000.0, 2.0, 0.1, 0, 0, 2.2, false, mu, r, v) == ElementsStatus::beyond_asymptote,
          "elements: a hyperbola beyond its asymptote refused");
    check(elements_to_state(7000.0, 0.1, 0.1, 0, 0, 0, true, 0.0, r, v) == ElementsStatus::bad_mu,
          "elements: mu = 0 refused");
    for (double e : {0.5 * kCircular, 2.0 * kCircular}) {
        Elements el{};
        elements_to_state(7000.0, e, 0.5, 1.0, 2.0, 0.3, false, mu, r, v);
        state_to_elements(r, v, mu, el);
        const bool circular = e < kCircular;
        check(circular ? el.argp == 0.0 && angle_error(el.nu, 2.3) < 1e-12 : el.argp != 0.0,
              "elements: argp = 0 and nu the argument of latitude below kCircular only", e);
    }
    for (double i : {0.5 * kEquatorial, 2.0 * kEquatorial}) {
        Elements el{};
        elements_to_state(7000.0, 0.2, i, 1.0, 2.0, 0.3, false, mu, r, v);
        state_to_elements(r, v, mu, el);
        const bool equatorial = i < kEquatorial;
        check(equatorial ? el.raan == 0.0 && angle_error(el.argp, 3.0) < 1e-9 : el.raan != 0.0,
              "elements: raan = 0 and argp the longitude of periapsis below kEquatorial only", i);
    }
}

// ---------------------------------------------------------------- geodesy
void geodesy_checks() {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::ptrdiff_t n = 4099;  // not a multiple of the lanes: the tails too
    std::vector<double> llh(3 * n), xyz(3 * n), out(3 * n), back(3 * n);
    for (std::ptrdiff_t j = 0; j < n; ++j) {
        llh[3 * j] = -90.0 + 180.0 * u(rng);
        llh[3 * j + 1] = -180.0 + 540.0 * u(rng);
        llh[3 * j + 2] = -5.0 + 40000.0 * u(rng) * u(rng);
        const Vec3 p = llh_to_efg(llh[3 * j], llh[3 * j + 1], llh[3 * j + 2]);
        xyz[3 * j] = p.x, xyz[3 * j + 1] = p.y, xyz[3 * j + 2] = p.z;
    }
    geodesy_batch_init();
    for (const char* path : {"avx2", "sse2", "scalar"}) {
        if (std::strcmp(geodesy_batch_limit(path), path) != 0) {
            std::printf("  geodesy: no %s path on this CPU or C library\n", path);
            continue;
        }
        std::printf("  geodesy path %s\n", path);
        efg_to_llh_batch(xyz.data(), out.data(), n);
        llh_to_efg_batch(llh.data(), back.data(), n);
        double worst_angle = 0.0, worst_height = 0.0, worst_xyz = 0.0;
        bool same = true;
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const double* x = &xyz[3 * j];
            const Geodetic s = efg_to_llh(x[0], x[1], x[2], std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]));
            worst_angle = std::fmax(worst_angle, std::fabs(out[3 * j] - s.latitude));
            worst_angle = std::fmax(worst_angle, std::fabs(std::remainder(out[3 * j + 1] - s.longitude, 360.0)));
            worst_height = std::fmax(worst_height, std::fabs(out[3 * j + 2] - s.height));
            for (int c = 0; c < 3; ++c) {
                worst_xyz = std::fmax(worst_xyz, std::fabs(back[3 * j + c] - x[c]) / 50000.0);
                same = same && back[3 * j + c] == x[c];
            }
        }
        check(worst_angle < 1e-11, "geodesy: batch latitude and longitude as the scalar function's", worst_angle);
        check(worst_height < 1e-9, "geodesy: batch height as the scalar function's (km)", worst_height);
        check(worst_xyz < 2e-15, "geodesy: batch positions (over 50,000 km) as the scalar function's", worst_xyz);
        if (std::strcmp(path, "scalar") == 0) check(same, "geodesy: the scalar batch path is llh_to_efg bit for bit");
    }
}

}  // namespace

int main() {
    std::printf("frames kernel\n");
    frames_checks();
    std::printf("elements\n");
    elements_checks();
    std::printf("geodesy batch against scalar\n");
    geodesy_checks();
    return vextal::checks::verdict();
}
