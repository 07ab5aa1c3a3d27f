// Small pieces shared by the Kepler propagator and the Lambert solver
// (internal header).
#pragma once

#include <cmath>

namespace vextal::numerics::detail {

// Series are used for |z| below this; beyond it the closed forms lose at most
// a few bits to the cancellation in (a - sin a).
constexpr double stumpff_series_limit = 2.5;

// c2(z) = sum_j (-z)^j / (2j + 2)!, c3(z) = sum_j (-z)^j / (2j + 3)! for
// |z| < stumpff_series_limit; the truncation error there is below 1e-25.
inline void stumpff_series(double z, double& c2, double& c3) noexcept {
    constexpr int terms = 13;
    // 1 / n! for n = 2 .. 29
    static constexpr double inv_fact[] = {
        1.0 / 2,
        1.0 / 6,
        1.0 / 24,
        1.0 / 120,
        1.0 / 720,
        1.0 / 5040,
        1.0 / 40320,
        1.0 / 362880,
        1.0 / 3628800,
        1.0 / 39916800,
        1.0 / 479001600,
        1.0 / 6227020800.0,
        1.0 / 87178291200.0,
        1.0 / 1307674368000.0,
        1.0 / 20922789888000.0,
        1.0 / 355687428096000.0,
        1.0 / 6402373705728000.0,
        1.0 / 121645100408832000.0,
        1.0 / 2432902008176640000.0,
        1.0 / 51090942171709440000.0,
        1.0 / 1124000727777607680000.0,
        1.0 / 25852016738884976640000.0,
        1.0 / 620448401733239439360000.0,
        1.0 / 15511210043330985984000000.0,
        1.0 / 403291461126605635584000000.0,
        1.0 / 10888869450418352160768000000.0,
        1.0 / 304888344611713860501504000000.0,
        1.0 / 8841761993739701954543616000000.0,
    };
    c2 = inv_fact[2 * terms];
    c3 = inv_fact[2 * terms + 1];
    for (int j = terms - 1; j >= 0; --j) {
        c2 = inv_fact[2 * j] - z * c2;
        c3 = inv_fact[2 * j + 1] - z * c3;
    }
}

// c3(z) alone (11 terms suffice for |z| < stumpff_series_limit); T is double or a vector of doubles (the batch
// Lambert lanes), evaluated the same way lane by lane.
template <class T>
inline T stumpff_c3_series(T z) noexcept {
    // 1 / (2k + 3)! for k = 0 .. 10
    static constexpr double inv[] = {
        1.0 / 6,
        1.0 / 120,
        1.0 / 5040,
        1.0 / 362880,
        1.0 / 39916800,
        1.0 / 6227020800.0,
        1.0 / 1307674368000.0,
        1.0 / 355687428096000.0,
        1.0 / 121645100408832000.0,
        1.0 / 51090942171709440000.0,
        1.0 / 25852016738884976640000.0,
    };
    T c3 = T{} + inv[10];
    for (int k = 9; k >= 0; --k) c3 = inv[k] - z * c3;
    return c3;
}

// a x b with each component a difference of products correct to about an ulp
// (Kahan's fma trick): nearly parallel vectors keep an accurate normal.
inline void accurate_cross(const double a[3], const double b[3], double out[3]) noexcept {
    auto dop = [](double p, double q, double r, double s) {
        double w = r * s;
        double e = std::fma(-r, s, w);
        double f = std::fma(p, q, -w);
        return f + e;
    };
    out[0] = dop(a[1], b[2], a[2], b[1]);
    out[1] = dop(a[2], b[0], a[0], b[2]);
    out[2] = dop(a[0], b[1], a[1], b[0]);
}

}  // namespace vextal::numerics::detail
