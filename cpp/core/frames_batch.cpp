#include "core/frames_batch.hpp"

namespace vextal::numerics {

namespace {

// y = m x for one 3-vector; written out so that every state rounds alike.
inline void apply(const double* m, double x0, double x1, double x2, double* y) noexcept {
    y[0] = m[0] * x0 + m[1] * x1 + m[2] * x2;
    y[1] = m[3] * x0 + m[4] * x1 + m[5] * x2;
    y[2] = m[6] * x0 + m[7] * x1 + m[8] * x2;
}

}  // namespace

void rotate_states(const double* r, const double* v, const double* a, const double* b, const std::int64_t* epoch,
                   std::ptrdiff_t period, std::ptrdiff_t begin, std::ptrdiff_t end, double* r_out,
                   double* v_out) noexcept {
    // The states of one block run through the epochs in order, wrapping at `period`: the index is stepped,
    // not divided, per state.
    std::ptrdiff_t k = begin % period;
    for (std::ptrdiff_t j = begin; j < end; ++j) {
        const double* m = a + 9 * epoch[k];
        const double r0 = r[3 * j], r1 = r[3 * j + 1], r2 = r[3 * j + 2];
        const double v0 = v[3 * j], v1 = v[3 * j + 1], v2 = v[3 * j + 2];
        double rr[3], vv[3];
        apply(m, r0, r1, r2, rr);
        apply(m, v0, v1, v2, vv);
        if (b) {
            double w[3];
            apply(b + 9 * epoch[k], r0, r1, r2, w);
            vv[0] += w[0];
            vv[1] += w[1];
            vv[2] += w[2];
        }
        for (int c = 0; c < 3; ++c) {
            r_out[3 * j + c] = rr[c];
            v_out[3 * j + c] = vv[c];
        }
        if (++k == period) k = 0;
    }
}

}  // namespace vextal::numerics
