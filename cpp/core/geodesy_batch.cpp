// Geodesy over arrays: path choice, the point-by-point conversions and the two-lane (SSE2) kernels.
#include "core/geodesy_batch.hpp"

#include "core/kernel_paths.hpp"

#include "core/geodesy_batch_internal.hpp"
#include "core/geodesy_batch_kernel.hpp"

#include <dlfcn.h>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <atomic>
#include <cstring>

namespace vextal::numerics::batch {

namespace {

struct ScalarMath {
    static double abs(double v) { return std::fabs(v); }
    static double copysign(double v, double sign) { return std::copysign(v, sign); }
    static double select(bool mask, double a, double b) { return mask ? a : b; }
    static double sqrt(double v) { return std::sqrt(v); }
    static double atan2(double y, double x) { return std::atan2(y, x); }
    static double sin(double v) { return std::sin(v); }
    static double cos(double v) { return std::cos(v); }
};

// Parametric latitude in [0, pi/2] of the point (p, zz), zz >= 0, by Newton's method kept inside a bracket
// that it tightens at every step: f(0) = -e_c zz <= 0 <= f(pi/2) = p, so a root is always enclosed. For
// points near the centre, where the fixed Halley steps are not enough.
double parametric_latitude_bracketed(double p, double zz) noexcept {
    const double ecz = kEc * zz;
    double lo = 0.0, hi = 1.5707963267948966;
    double beta = std::atan2(zz, kEc * p);
    for (int i = 0; i < 200; ++i) {
        double s = std::sin(beta), c = std::cos(beta);
        double f = p * s - ecz * c - kAe2 * s * c;
        if (f == 0.0) break;
        (f < 0.0 ? lo : hi) = beta;
        double f1 = p * c + ecz * s - kAe2 * (c * c - s * s);
        double next = beta - f / f1;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next == beta || hi - lo <= 4e-16) {
            beta = next;
            break;
        }
        beta = next;
    }
    return beta;
}

}  // namespace

void efg_to_llh_point(const double* q, double* o) noexcept {
    const double x = q[0], y = q[1], z = q[2];
    double p = std::sqrt(x * x + y * y);
    if (!(p >= kAxisDistance)) {  // the polar axis, and NaN: the scalar method's answer
        Geodetic g = efg_to_llh(x, y, z, std::sqrt(x * x + y * y + z * z));
        o[0] = g.latitude;
        o[1] = g.longitude;
        o[2] = g.height;
        return;
    }
    double lat, lon, h;
    bool redo;
    efg_to_llh_lanes<ScalarMath>(x, y, z, lat, lon, h, redo);
    if (redo) {  // near the centre
        double zz = std::fabs(z);
        double beta = parametric_latitude_bracketed(p, zz);
        geodetic_from_parametric<ScalarMath>(p, zz, z, std::cos(beta), std::sin(beta), lat, h);
    }
    o[0] = lat;
    o[1] = lon;
    o[2] = h;
}

void llh_to_efg_point(const double* q, double* o) noexcept {
    Vec3 v = llh_to_efg(q[0], q[1], q[2]);
    o[0] = v.x;
    o[1] = v.y;
    o[2] = v.z;
}

const Libmvec& libmvec() noexcept {
    static const Libmvec entries = [] {
        Libmvec e;
        void* lib = dlopen("libmvec.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return e;  // kept open for the life of the process
        e.sin2 = dlsym(lib, "_ZGVbN2v_sin");
        e.cos2 = dlsym(lib, "_ZGVbN2v_cos");
        e.atan2_2 = dlsym(lib, "_ZGVbN2vv_atan2");
        e.sin4 = dlsym(lib, "_ZGVdN4v_sin");
        e.cos4 = dlsym(lib, "_ZGVdN4v_cos");
        e.atan2_4 = dlsym(lib, "_ZGVdN4vv_atan2");
        return e;
    }();
    return entries;
}

namespace {

#if defined(__x86_64__)
typedef double V2 __attribute__((vector_size(16)));
typedef long long B2 __attribute__((vector_size(16)));

struct Sse2Entries {
    static V2 sqrt(V2 v) { return _mm_sqrt_pd(v); }
    static V2 atan2(V2 y, V2 x) { return reinterpret_cast<__m128d (*)(__m128d, __m128d)>(libmvec().atan2_2)(y, x); }
    static V2 sin(V2 v) { return reinterpret_cast<__m128d (*)(__m128d)>(libmvec().sin2)(v); }
    static V2 cos(V2 v) { return reinterpret_cast<__m128d (*)(__m128d)>(libmvec().cos2)(v); }
};
using Sse2Math = VectorMath<V2, B2, Sse2Entries>;

void efg_to_llh_sse2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    efg_to_llh_blocks<Sse2Math, 2, V2, B2>(in, out, n, efg_to_llh_point);
}
void llh_to_efg_sse2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    llh_to_efg_blocks<Sse2Math, 2, V2>(in, out, n, llh_to_efg_point);
}
#endif  // __x86_64__

void efg_to_llh_scalar(const double* in, double* out, std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t i = 0; i < n; ++i) efg_to_llh_point(in + 3 * i, out + 3 * i);
}
void llh_to_efg_scalar(const double* in, double* out, std::ptrdiff_t n) noexcept {
    for (std::ptrdiff_t i = 0; i < n; ++i) llh_to_efg_point(in + 3 * i, out + 3 * i);
}

using Kernel = void (*)(const double*, double*, std::ptrdiff_t) noexcept;
struct Path {
    const char* name;
    Kernel to_llh, to_efg;
    bool (*available)();
};

bool always() { return true; }

#if defined(__x86_64__)
bool has_avx2() {
    const Libmvec& m = libmvec();
    return __builtin_cpu_supports("avx2") && m.sin4 && m.cos4 && m.atan2_4;
}
bool has_sse2() {
    const Libmvec& m = libmvec();
    return m.sin2 && m.cos2 && m.atan2_2;
}
#endif

const Path paths[] = {
#if defined(__x86_64__)
    {"avx2", efg_to_llh_avx2, llh_to_efg_avx2, has_avx2},
    {"sse2", efg_to_llh_sse2, llh_to_efg_sse2, has_sse2},
#endif
    {"scalar", efg_to_llh_scalar, llh_to_efg_scalar, always},
};
KernelPaths chosen{paths};

const Path& path() noexcept { return chosen.get(); }

}  // namespace

}  // namespace vextal::numerics::batch

namespace vextal::numerics {

void efg_to_llh_batch(const double* xyz, double* llh, std::ptrdiff_t n) noexcept { batch::path().to_llh(xyz, llh, n); }
void llh_to_efg_batch(const double* llh, double* xyz, std::ptrdiff_t n) noexcept { batch::path().to_efg(llh, xyz, n); }

void geodesy_batch_init() noexcept {
    batch::libmvec();
    batch::path();
}

const char* geodesy_batch_path() noexcept { return batch::path().name; }

const char* geodesy_batch_limit(const char* name) noexcept { return batch::chosen.limit(name); }

}  // namespace vextal::numerics
