// The four-lane (AVX2) geodesy kernels. This file alone is compiled for AVX2, without contraction into fused
// multiply-adds, so that its arithmetic rounds as the other paths' does; it is only called after a run-time
// check of the CPU.
//
// Everything it compiles beyond its two entries lives in an anonymous namespace of its own: the kernel and
// geodesy headers are included inside it, so an inline function they define is emitted here as a local copy
// built for AVX2, never as a shared (weak) definition that the linker could pick for the scalar callers
// elsewhere (an illegal instruction on a CPU without AVX2). tests/test_core.py checks the object's symbols.
#include "core/geodesy_batch_internal.hpp"

#if defined(__x86_64__)
// The standard headers first, at global scope, so that their include guards keep them out of the namespace.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <immintrin.h>

namespace vextal_geodesy_avx2 {
namespace {

#include "core/geodesy_batch_kernel.hpp"

namespace batch = vextal::numerics::batch;  // the copy in this namespace
namespace shared = ::vextal::numerics::batch;

typedef double V4 __attribute__((vector_size(32)));
typedef long long B4 __attribute__((vector_size(32)));

struct Avx2Entries {
    static V4 sqrt(V4 v) { return _mm256_sqrt_pd(v); }
    static V4 atan2(V4 y, V4 x) {
        return reinterpret_cast<__m256d (*)(__m256d, __m256d)>(shared::libmvec().atan2_4)(y, x);
    }
    static V4 sin(V4 v) { return reinterpret_cast<__m256d (*)(__m256d)>(shared::libmvec().sin4)(v); }
    static V4 cos(V4 v) { return reinterpret_cast<__m256d (*)(__m256d)>(shared::libmvec().cos4)(v); }
};
using Avx2Math = batch::VectorMath<V4, B4, Avx2Entries>;

}  // namespace
}  // namespace vextal_geodesy_avx2

namespace vextal::numerics::batch {

void efg_to_llh_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    namespace unit = ::vextal_geodesy_avx2;
    unit::batch::efg_to_llh_blocks<unit::Avx2Math, 4, unit::V4, unit::B4>(in, out, n, efg_to_llh_point);
}
void llh_to_efg_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    namespace unit = ::vextal_geodesy_avx2;
    unit::batch::llh_to_efg_blocks<unit::Avx2Math, 4, unit::V4>(in, out, n, llh_to_efg_point);
}

}  // namespace vextal::numerics::batch
#endif  // __x86_64__
