// Shared between the geodesy batch translation units (internal header).
#pragma once
#include <cstddef>

namespace vextal::numerics::batch {

using PointFn = void (*)(const double*, double*);

// The point-by-point conversions: the redo path of the vector kernels and the scalar path.
void efg_to_llh_point(const double* xyz, double* llh) noexcept;
void llh_to_efg_point(const double* llh, double* xyz) noexcept;

// libmvec entries, looked up at run time; null when missing.
struct Libmvec {
    void* sin2 = nullptr;
    void* cos2 = nullptr;
    void* atan2_2 = nullptr;
    void* sin4 = nullptr;
    void* cos4 = nullptr;
    void* atan2_4 = nullptr;
};
const Libmvec& libmvec() noexcept;

// The AVX2 kernels (geodesy_batch_avx2.cpp, built for AVX2; x86-64 only); call only when the CPU has AVX2
// and libmvec's four-lane entries were found.
void efg_to_llh_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept;
void llh_to_efg_avx2(const double* in, double* out, std::ptrdiff_t n) noexcept;

}  // namespace vextal::numerics::batch
