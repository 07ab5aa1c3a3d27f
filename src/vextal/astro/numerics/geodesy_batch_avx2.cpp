// The four-lane (AVX2) geodesy kernels. This file alone is compiled for AVX2, without contraction into fused
// multiply-adds, so that its arithmetic rounds as the other paths' does; it is only called after a run-time
// check of the CPU.
#include "geodesy_batch_internal.hpp"

#if defined(__x86_64__)
#include "geodesy_batch_kernel.hpp"

#include <immintrin.h>

namespace vextal::numerics::batch {

namespace {

typedef double V4 __attribute__((vector_size(32)));
typedef long long B4 __attribute__((vector_size(32)));

struct Avx2Entries {
    static V4 sqrt(V4 v) { return _mm256_sqrt_pd(v); }
    static V4 atan2(V4 y, V4 x) { return reinterpret_cast<__m256d (*)(__m256d, __m256d)>(libmvec().atan2_4)(y, x); }
    static V4 sin(V4 v) { return reinterpret_cast<__m256d (*)(__m256d)>(libmvec().sin4)(v); }
    static V4 cos(V4 v) { return reinterpret_cast<__m256d (*)(__m256d)>(libmvec().cos4)(v); }
};
using Avx2Math = VectorMath<V4, B4, Avx2Entries>;

}  // namespace

void efg_to_llh_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    efg_to_llh_blocks<Avx2Math, 4, V4, B4>(in, out, n, efg_to_llh_point);
}
void llh_to_efg_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept {
    llh_to_efg_blocks<Avx2Math, 4, V4>(in, out, n, llh_to_efg_point);
}

}  // namespace vextal::numerics::batch
#endif  // __x86_64__
