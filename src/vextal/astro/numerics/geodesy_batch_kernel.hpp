// The geodesy of the array functions, written once over a lane type: plain double for the scalar path, GCC
// vector types for the SSE2 and AVX2 paths (internal header; geodesy_batch*.cpp instantiate it).
//
// EFG to LLH: the foot point on the ellipsoid is found by its parametric latitude beta, the root of
//     f(beta) = p sin(beta) - e_c |z| cos(beta) - a e^2 sin(beta) cos(beta),   e_c = sqrt(1 - e^2) = b / a,
// (the point minus its foot point is normal to the ellipse), carried as the direction (cos beta, sin beta) so
// that a step takes square roots and divisions but no trigonometric function. The start (e_c p, |z|) is exact
// on the surface; two Halley steps then reach rounding from 1000 km above the centre out past 50,000 km (the
// start is within e^2 / 2 radians there, and a step takes an error d to about (a e^2 / r)^2 d^3). Only
// two arc tangents per point remain: the latitude, atan2(sin beta, e_c cos beta), and the longitude. The
// height is the distance along the normal, h = p cos(phi) + |z| sin(phi) - a sqrt(1 - e^2 sin^2 phi), which
// in the parametric direction is (e_c (p cos beta - a) + |z| sin beta) / g with g = |(e_c cos beta, sin beta)|:
// no division by a small cosine or sine anywhere, so the poles need no special form.
//
// Lanes the fixed step count does not cover are marked for the caller to redo one by one: the polar axis
// (p < 1e-10 km, where the scalar method's own answer is kept) and points within kInnerRadius of the centre
// (a bracketed Newton iteration there).
#pragma once
#include "geodesy.hpp"

#include <cmath>

namespace vextal::numerics::batch {

inline constexpr double kInnerRadius = 1000.0;  // km: nearer the centre, the bracketed scalar iteration
inline constexpr double kAxisDistance = 1e-10;  // km: the scalar method's polar-axis test
inline constexpr double kEc = 0.9966471893352524;  // sqrt(1 - e^2), correctly rounded
inline constexpr double kAe2 = EARTH_EQUATORIAL_RADIUS * EARTH_ECCENTRICITY_SQ;

// Latitude (degrees, sign of z), height (km) from the normalised parametric direction (c, s) of a point at
// distance p from the axis and |z| = zz from the equator. M: the lane type's maths (see below).
template <class M, class T>
inline void geodetic_from_parametric(T p, T zz, T z, T c, T s, T& latitude, T& height) {
    T ec_c = kEc * c;
    T g = M::sqrt(ec_c * ec_c + s * s);
    latitude = M::copysign(M::atan2(s, ec_c) * RAD_TO_DEG, z);
    height = (kEc * (p * c - EARTH_EQUATORIAL_RADIUS) + zz * s) / g;
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
    T inv = 1.0 / M::sqrt(C * C + S * S);
    geodetic_from_parametric<M>(p, zz, z, C * inv, S * inv, latitude, height);
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

// Interleaved (..., 3) arrays processed W points at a time; the tail and the marked lanes go through
// `scalar_efg_to_llh`, which the caller supplies (the redo path).
template <class M, int W, class T, class Mask>
void efg_to_llh_blocks(const double* in, double* out, long n, void (*scalar)(const double*, double*)) {
    long i = 0;
    for (; i + W <= n; i += W) {
        const double* q = in + 3 * i;
        T x, y, z;
        for (int k = 0; k < W; ++k) {
            x[k] = q[3 * k];
            y[k] = q[3 * k + 1];
            z[k] = q[3 * k + 2];
        }
        T lat, lon, h;
        Mask redo;
        efg_to_llh_lanes<M>(x, y, z, lat, lon, h, redo);
        double* o = out + 3 * i;
        for (int k = 0; k < W; ++k) {
            o[3 * k] = lat[k];
            o[3 * k + 1] = lon[k];
            o[3 * k + 2] = h[k];
        }
        for (int k = 0; k < W; ++k)
            if (redo[k]) scalar(q + 3 * k, o + 3 * k);
    }
    for (; i < n; ++i) scalar(in + 3 * i, out + 3 * i);
}

template <class M, int W, class T>
void llh_to_efg_blocks(const double* in, double* out, long n, void (*scalar)(const double*, double*)) {
    long i = 0;
    for (; i + W <= n; i += W) {
        const double* q = in + 3 * i;
        T lat, lon, h;
        for (int k = 0; k < W; ++k) {
            lat[k] = q[3 * k];
            lon[k] = q[3 * k + 1];
            h[k] = q[3 * k + 2];
        }
        T x, y, z;
        llh_to_efg_lanes<M>(lat, lon, h, x, y, z);
        double* o = out + 3 * i;
        for (int k = 0; k < W; ++k) {
            o[3 * k] = x[k];
            o[3 * k + 1] = y[k];
            o[3 * k + 2] = z[k];
        }
    }
    for (; i < n; ++i) scalar(in + 3 * i, out + 3 * i);
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
