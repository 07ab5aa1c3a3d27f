// The four-lane (AVX2) Lambert kernels (the arcs' iteration and the problems' set-up). This file alone is compiled for AVX2, without contraction into fused
// multiply-adds, so that its arithmetic rounds as the scalar solver's does; it is only called after a
// run-time check of the CPU.
//
// Everything it compiles beyond its entries lives in an anonymous namespace of its own: the kernel header is
// included inside it, so an inline function it defines is emitted here as a local copy built for AVX2, never
// as a shared (weak) definition that the linker could pick for the baseline callers elsewhere (an illegal
// instruction on a CPU without AVX2). tests/test_core.py checks the object's symbols.
#include "core/lambert_batch_internal.hpp"

#if defined(__x86_64__)
// The standard headers first, at global scope, so that their include guards keep them out of the namespace.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <immintrin.h>
#include <limits>

namespace vextal_lambert_avx2 {
namespace {

#include "core/lambert_batch_kernel.hpp"

namespace lanes = vextal::numerics::lambert_lanes;  // the copy in this namespace

typedef double V4 __attribute__((vector_size(32)));
typedef long long B4 __attribute__((vector_size(32)));

struct Ops4 {
    static V4 sqrt(V4 v) { return _mm256_sqrt_pd(v); }
    static V4 fma(V4 a, V4 b, V4 c) { return _mm256_fmadd_pd(a, b, c); }
};
using Avx2Math = lanes::LaneMath<V4, B4, Ops4>;

}  // namespace
}  // namespace vextal_lambert_avx2

namespace vextal::numerics::lambert_lanes {

void solve_arcs_avx2(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept {
    namespace unit = ::vextal_lambert_avx2;
    unit::lanes::solve_arcs<unit::Avx2Math, 4, unit::V4, unit::B4>(jobs, out, n);
}

void setup_avx2(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu, bool prograde,
                LambertSetup* setups, unsigned char* clean) noexcept {
    namespace unit = ::vextal_lambert_avx2;
    unit::lanes::setup_problems<unit::Avx2Math, 4, unit::V4, unit::B4>(r1, r2, tof, n, mu, prograde, setups, clean);
}

}  // namespace vextal::numerics::lambert_lanes
#endif  // __x86_64__
