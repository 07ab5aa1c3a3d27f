// Geodesy over arrays of points: (n, 3) interleaved in, (n, 3) out, on plain doubles.
//
// efg_to_llh_batch: a Halley iteration on the parametric latitude (geodesy_batch_kernel.hpp), accurate to a
// few units in the last place off the polar axis at any height from 1000 km above the centre out; nearer the
// centre (and beyond 1e30 km) a bracketed Newton iteration, and on the polar axis efg_to_llh()'s own answer. llh_to_efg_batch: the
// formula of llh_to_efg().
//
// Both run several points at once where the CPU and the C library allow: four lanes with AVX2, two with
// SSE2, each only with glibc's vector maths library (libmvec, looked up at run time) for the sines, cosines
// and arc tangents, whose results may differ from the scalar functions' in the last bits. Otherwise they run
// point by point on the scalar library functions (then llh_to_efg_batch is bit for bit llh_to_efg()).
#pragma once
#include <cstddef>

namespace vextal::numerics {

void efg_to_llh_batch(const double* xyz, double* llh, std::ptrdiff_t n) noexcept;
void llh_to_efg_batch(const double* llh, double* xyz, std::ptrdiff_t n) noexcept;

// Looks up the vector maths library and chooses the path now. Call it once from single-threaded code (module
// import, under the interpreter lock): a process forked while another thread sat in a lazy first-use
// initialisation would hold that guard forever, and its own first batch would wait on it.
void geodesy_batch_init() noexcept;

// The path in use: "avx2", "sse2" or "scalar".
const char* geodesy_batch_path() noexcept;
// Restricts the path to at most `path` ("avx2", "sse2", "scalar"; the best available below it is taken), for
// tests and benchmarks. Not for use while a batch runs. Returns the path now in use.
const char* geodesy_batch_limit(const char* path) noexcept;

}  // namespace vextal::numerics
