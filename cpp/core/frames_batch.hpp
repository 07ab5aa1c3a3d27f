// Frame rotations of many states that share few epochs: one rotation (and its rate term) per epoch, applied to
// every state at that epoch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vextal::numerics {

// For states j in [begin, end) of r, v (n x 3, interleaved), with e = epoch[j % period] (0 <= e < the number of
// matrices):
//   r_out[j] = a[e] r[j]
//   v_out[j] = a[e] v[j] + b[e] r[j]      (b == nullptr: the rate term is zero)
// a and b hold 3x3 matrices row by row (9 doubles each). The states are read before the results are written,
// so r_out may be r and v_out may be v. Each product is summed in the same order for every state, so the
// results do not depend on how [0, n) is cut into blocks.
void rotate_states(const double* r, const double* v, const double* a, const double* b, const std::int64_t* epoch,
                   std::ptrdiff_t period, std::ptrdiff_t begin, std::ptrdiff_t end, double* r_out,
                   double* v_out) noexcept;

}  // namespace vextal::numerics
