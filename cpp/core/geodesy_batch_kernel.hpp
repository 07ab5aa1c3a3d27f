// The geodesy of the array functions, written once over a lane type: plain double for the scalar path, GCC
// vector types for the SSE2 and AVX2 paths (internal header; geodesy_batch*.cpp instantiate it).
//
// EFG to LLH: the foot point on the ellipsoid is found by its parametric latitude beta, the root of
//     f(beta) = p sin(beta) - e_c |z| cos(beta) - a e^2 sin(beta) cos(beta),   e_c = sqrt(1 - e^2) = b / a,
// (the point minus its foot point is normal to the ellipse), carried as a vector (C, S) along (cos beta,
// sin beta), of any length, so that a step takes a square root and a division but no trigonometric function. The start (e_c p, |z|) is exact
// on the surface; two Halley steps then reach rounding from 1000 km above the centre out past 50,000 km (the
// start is within e^2 / 2 radians there, and a step takes an error d to about (a e^2 / r)^2 d^3). Only
// two arc tangents per point remain: the latitude, atan2(S, e_c C), and the longitude. The height is the
// distance along the normal, h = p cos(phi) + |z| sin(phi) - a sqrt(1 - e^2 sin^2 phi), which in the
// parametric direction is (e_c (p cos beta - a) + |z| sin beta) / |(e_c cos beta, sin beta)|: no division by a
// small cosine or sine anywhere, so the poles need no special form.
//
// Lanes the fixed step count does not cover are marked for the caller to redo one by one: the polar axis
// (p < 1e-10 km, where the scalar method's own answer is kept) and points within kInnerRadius of the centre
// (a bracketed Newton iteration there).
#pragma once

#include <algorithm>
#include "core/geodesy.hpp"

#include <cmath>

namespace vextal::numerics::batch {

inline constexpr double kInnerRadius = 1000.0;  // km: nearer the centre, the bracketed scalar iteration
inline constexpr double kAxisDistance = 1e-10;  // km: the scalar method's polar-axis test
inline constexpr double kEc = earth_ellipsoid.polar_ratio();  // sqrt(1 - e^2), correctly rounded
static_assert(kEc > 0.99664718933525 && kEc < 0.99664718933526, "sqrt(1 - e^2)");
inline constexpr double kAe2 = EARTH_EQUATORIAL_RADIUS * EARTH_ECCENTRICITY_SQ;

// Latitude (degrees, sign of z), height (km) from the parametric direction (C, S), of any length, of a point
// at distance p from the axis and |z| = zz from the equator. M: the lane type's maths (see below). The height
// (e_c (p cos beta - a) + |z| sin beta) / g is taken as (e_c (p C - a A) + |z| S) / G with A = |(C, S)| and
// G = |(e_c C, S)|: the length of (C, S) cancels instead of being rounded into a normalised direction.
template <class M, class T>
inline void geodetic_from_parametric(T p, T zz, T z, T C, T S, T& latitude, T& height) {
    T ec_c = kEc * C;
    T A = M::sqrt(C * C + S * S);
    T G = M::sqrt(ec_c * ec_c + S * S);
    latitude = M::copysign(M::atan2(S, ec_c) * RAD_TO_DEG, z);
    height = (kEc * (p * C - EARTH_EQUATORIAL_RADIUS * A) + zz * S) / G;
}

// Longitude in [0, 360), 0 on (or within 1e-10 km of) the polar axis: longitude_of() lane by lane.
template <class M, class T>
inline T longitude_lanes(T x, T y) {
    T lon = M::atan2(y, x) * RAD_TO_DEG;
    T wrapped = lon + 360.0;
    lon = M::select(lon < 0.0, M::select(wrapped == 360.0, T{} + 0.0, wrapped), lon);
    return M::select(M::abs(x) + M::abs(y) >= kAxisDistance, lon, T{} + 0.0);
}

// The fixed-step solve for one lane group; `redo` marks lanes to be recomputed one by one. The direction
// (C, S) is not normalised: f and its derivatives are evaluated homogeneously (scaled by |(C, S)|^2, which
// cancels in the Halley step), so a step takes one square root and one division.
template <class M, class T, class Mask>
inline void efg_to_llh_lanes(T x, T y, T z, T& latitude, T& longitude, T& height, Mask& redo) {
    T p = M::sqrt(x * x + y * y);
    T zz = M::abs(z);
    T ecz = kEc * zz;
    T r2 = p * p + z * z;
    // Beyond 1e30 km the homogeneous terms (cubes of lengths) could overflow.
    redo = !((p >= kAxisDistance) & (r2 >= kInnerRadius * kInnerRadius) & (r2 <= 1e60));
    T C = kEc * p, S = zz;
    for (int step = 0; step < 2; ++step) {
        T A = M::sqrt(C * C + S * S);
        T SC = S * C;
        T f = A * (p * S - ecz * C) - kAe2 * SC;
        T f1 = A * (p * C + ecz * S) - kAe2 * (C * C - S * S);
        T f2 = 3.0 * kAe2 * SC - f;
        T d = f * f1 / (f1 * f1 - 0.5 * f * f2);
        // Rotate (C, S) by -d; cos and sin of the small step from their series (|d| < 0.05 here).
        T d2 = d * d;
        T cd = 1.0 - 0.5 * d2, sd = d - d * d2 * (1.0 / 6.0);
        T C_next = C * cd + S * sd;
        S = S * cd - C * sd;
        C = C_next;
    }
    geodetic_from_parametric<M>(p, zz, z, C, S, latitude, height);
    longitude = longitude_lanes<M>(x, y);
}

// LLH to EFG, the formula of llh_to_efg() lane by lane.
template <class M, class T>
inline void llh_to_efg_lanes(T latitude, T longitude, T height, T& x, T& y, T& z) {
    T phi = latitude * DEG_TO_RAD;
    T s = M::sin(phi);
    T n = EARTH_EQUATORIAL_RADIUS / M::sqrt(1.0 - EARTH_ECCENTRICITY_SQ * s * s);
    T lambda = longitude * DEG_TO_RAD;
    T k = M::cos(phi) * (height + n);
    x = M::cos(lambda) * k;
    y = M::sin(lambda) * k;
    z = ((1.0 - EARTH_ECCENTRICITY_SQ) * n + height) * s;
}

// Interleaved (..., 3) arrays processed W points at a time. A short tail is padded to W lanes (with copies of
// its last point) and goes through the same lane kernel, so a point's result never depends on where it sits
// in the array or how the array was split; the lanes the kernel marks (near the centre) are redone by
// `scalar`, which the caller supplies.
template <int W, class Block>
void for_each_lane_block(const double* in, double* out, long n, Block&& block) {
    long i = 0;
    for (; i + W <= n; i += W) block(in + 3 * i, out + 3 * i);
    if (i == n) return;
    double q[3 * W], o[3 * W];
    for (int k = 0; k < W; ++k) {
        const long src = i + k < n - 1 ? i + k : n - 1;  // a plain expression: nothing shared to emit
        for (int c = 0; c < 3; ++c) q[3 * k + c] = in[3 * src + c];
    }
    block(q, o);
    for (long k = 0; k < n - i; ++k)
        for (int c = 0; c < 3; ++c) out[3 * (i + k) + c] = o[3 * k + c];
}

template <class M, int W, class T, class Mask>
void efg_to_llh_blocks(const double* in, double* out, long n, void (*scalar)(const double*, double*)) {
    for_each_lane_block<W>(in, out, n, [scalar](const double* q, double* o) {
        T x, y, z;
        for (int k = 0; k < W; ++k) {
            x[k] = q[3 * k];
            y[k] = q[3 * k + 1];
            z[k] = q[3 * k + 2];
        }
        T lat, lon, h;
        Mask redo;
        efg_to_llh_lanes<M>(x, y, z, lat, lon, h, redo);
        for (int k = 0; k < W; ++k) {
            o[3 * k] = lat[k];
            o[3 * k + 1] = lon[k];
            o[3 * k + 2] = h[k];
        }
        for (int k = 0; k < W; ++k)
            if (redo[k]) scalar(q + 3 * k, o + 3 * k);
    });
}

template <class M, int W, class T>
void llh_to_efg_blocks(const double* in, double* out, long n, void (*)(const double*, double*)) {
    for_each_lane_block<W>(in, out, n, [](const double* q, double* o) {
        T lat, lon, h;
        for (int k = 0; k < W; ++k) {
            lat[k] = q[3 * k];
            lon[k] = q[3 * k + 1];
            h[k] = q[3 * k + 2];
        }
        T x, y, z;
        llh_to_efg_lanes<M>(lat, lon, h, x, y, z);
        for (int k = 0; k < W; ++k) {
            o[3 * k] = x[k];
            o[3 * k + 1] = y[k];
            o[3 * k + 2] = z[k];
        }
    });
}

// The vector maths a lane type needs beyond + - * /: V is the GCC vector type, F the libmvec entries.
template <class V, class Bits, class F>
struct VectorMath {
    static V abs(V v) { return reinterpret_cast<V>(reinterpret_cast<Bits>(v) & ~sign_bit()); }
    static V copysign(V v, V sign) {
        return reinterpret_cast<V>((reinterpret_cast<Bits>(v) & ~sign_bit()) | (reinterpret_cast<Bits>(sign) & sign_bit()));
    }
    static V select(Bits mask, V a, V b) {
        return reinterpret_cast<V>((mask & reinterpret_cast<Bits>(a)) | (~mask & reinterpret_cast<Bits>(b)));
    }
    static V sqrt(V v) { return F::sqrt(v); }
    static V atan2(V y, V x) { return F::atan2(y, x); }
    static V sin(V v) { return F::sin(v); }
    static V cos(V v) { return F::cos(v); }

private:
    static Bits sign_bit() { return Bits{} + static_cast<long long>(0x8000000000000000ULL); }
};

}  // namespace vextal::numerics::batch
