// Lambert over arrays: the phases of the scalar solver around the lane kernels, the path choice and the
// two-lane kernel of the baseline target.
#include "core/lambert_batch.hpp"

#include "core/constants.hpp"
#include "core/lambert_batch_internal.hpp"
#include "core/lambert_batch_kernel.hpp"
#include "core/kernel_paths.hpp"
#include "core/lambert_internal.hpp"
#include "core/vec3.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace vextal::numerics {

namespace lambert_lanes {
namespace {

typedef double V2 __attribute__((vector_size(16)));
typedef long long B2 __attribute__((vector_size(16)));

struct Ops2 {
#if defined(__x86_64__)
    static V2 sqrt(V2 v) { return _mm_sqrt_pd(v); }
#else
    static V2 sqrt(V2 v) { return V2{std::sqrt(v[0]), std::sqrt(v[1])}; }
#endif
};
using Math2 = LaneMath<V2, B2, Ops2>;

}  // namespace

void solve_arcs_lanes2(const ArcJob* jobs, ArcSolved* out, std::ptrdiff_t n) noexcept {
    solve_arcs<Math2, 2, V2, B2>(jobs, out, n);
}

namespace {

struct Path {
    const char* name;
    ArcKernel solve;
    SetupKernel setup;
    bool (*available)();
};

bool always() { return true; }

#if defined(__x86_64__)
bool has_avx2() { return __builtin_cpu_supports("avx2"); }
#endif

const Path paths[] = {
#if defined(__x86_64__)
    {"avx2", solve_arcs_avx2, setup_avx2, has_avx2},
#endif
    // Two lanes set up no faster than the scalar code, whose exact products use fused multiply-adds where the
    // CPU has them (the baseline lanes call the library's): the scalar set-up serves the two-lane path.
    {"sse2", solve_arcs_lanes2, nullptr, always},
};
KernelPaths chosen{paths};

const Path& path() noexcept { return chosen.get(); }

}  // namespace
}  // namespace lambert_lanes

int lambert_revolution_bound(const double* r1, const double* r2, double tof, double mu, int limit) noexcept {
    const double R1 = std::sqrt(r1[0] * r1[0] + r1[1] * r1[1] + r1[2] * r1[2]);
    const double R2 = std::sqrt(r2[0] * r2[0] + r2[1] * r2[1] + r2[2] * r2[2]);
    const double d[3] = {r2[0] - r1[0], r2[1] - r1[1], r2[2] - r1[2]};
    const double s = 0.5 * (R1 + R2 + std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]));
    const double T = tof * (std::sqrt(2 * mu / s) / s);
    if (!(s > 0) || !(T > 0) || !std::isfinite(T)) return 0;
    const double bound = std::floor(T / pi * (1 + 1e-9));
    return bound < double(limit) ? static_cast<int>(bound) : limit;
}

namespace {

// Problem i's row: `found` arcs already written, NaN rows after them.
void close_row(const LambertBatchOutput& out, int slots, std::ptrdiff_t i, LambertStatus status, int found) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (status != LambertStatus::ok) found = 0;
    std::fill(out.v1 + 3 * (slots * i + found), out.v1 + 3 * slots * (i + 1), nan);
    std::fill(out.v2 + 3 * (slots * i + found), out.v2 + 3 * slots * (i + 1), nan);
    out.count[i] = found;
    out.status[i] = static_cast<std::int32_t>(status);
}

}  // namespace

void solve_lambert_batch(const double* r1, const double* r2, const double* tof, std::ptrdiff_t n, double mu,
                         bool prograde, int max_revs, const LambertBatchOutput& out, int slots,
                         std::ptrdiff_t first) noexcept {
    using lambert_lanes::ArcJob;
    using lambert_lanes::ArcSolved;
    try {
        std::unique_ptr<LambertSetup[]> setups(new LambertSetup[static_cast<size_t>(n)]);  // not zeroed: written first
        std::vector<LambertStatus> status(static_cast<size_t>(n));
        std::vector<unsigned char> clean(static_cast<size_t>(n), 0);
        std::vector<ArcJob> jobs;
        jobs.reserve(static_cast<size_t>(n) * static_cast<size_t>(slots));
        LambertResult scratch;
        // The set-up of every problem (its geometry in lanes; a problem the lanes leave, the scalar solver's
        // own set-up, which says why it is refused), then the arcs of them all through the lanes.
        const lambert_lanes::Path& kernels = lambert_lanes::path();
        if (kernels.setup && std::isfinite(mu) && mu > 0 && max_revs >= 0)
            kernels.setup(r1, r2, tof, n, mu, prograde, setups.get(), clean.data());
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            LambertSetup& setup = setups[i];
            status[i] = clean[i] ? lambert_revolutions(setup, max_revs, scratch)
                                 : lambert_setup(r1 + 3 * i, r2 + 3 * i, tof[i], mu, prograde, max_revs, scratch, setup);
            if (status[i] != LambertStatus::ok) continue;
            for (int k = 0; k < lambert_slots(setup.n_max); ++k) {
                const LambertArc arc = lambert_arc(setup, k, std::numeric_limits<double>::quiet_NaN());
                jobs.push_back({setup.g.shape.lambda, setup.g.shape.oml2, setup.T, arc.x0, arc.lo, arc.hi,
                                arc.revolutions, arc.branch});
            }
        }
        std::vector<ArcSolved> solved(jobs.size());
        kernels.solve(jobs.data(), solved.data(), static_cast<std::ptrdiff_t>(jobs.size()));
        const ArcSolved* arc = solved.data();
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            const std::ptrdiff_t row = first + i;
            if (status[i] != LambertStatus::ok) {
                close_row(out, slots, row, status[i], 0);
                continue;
            }
            // As solve_lambert(): the first arc that failed decides, else an overflow in any arc's velocities.
            const int arcs = lambert_slots(setups[i].n_max);
            LambertStatus s = LambertStatus::ok;
            bool overflow = false;
            for (int k = 0; k < arcs; ++k) {
                if (!arc[k].ok) {
                    s = LambertStatus::no_convergence;
                    break;
                }
                LambertSolution sol;
                lambert_velocities(arc[k].x, setups[i].g, sol);
                double* v1 = out.v1 + 3 * (slots * row + k);
                double* v2 = out.v2 + 3 * (slots * row + k);
                std::copy(sol.v1, sol.v1 + 3, v1);
                std::copy(sol.v2, sol.v2 + 3, v2);
                overflow = overflow || !finite3(sol.v1) || !finite3(sol.v2);
            }
            if (s == LambertStatus::ok && overflow) s = LambertStatus::out_of_range;
            arc += arcs;
            close_row(out, slots, row, s, arcs);
        }
    } catch (const std::bad_alloc&) {
        for (std::ptrdiff_t i = 0; i < n; ++i) close_row(out, slots, first + i, LambertStatus::out_of_memory, 0);
    }
}

LambertStatus solve_lambert_lanes(const double r1[3], const double r2[3], double tof, double mu, bool prograde,
                                  int max_revs, LambertResult& out, const double* x_start, int n_start) noexcept {
    if (max_revs < 1) return solve_lambert(r1, r2, tof, mu, prograde, max_revs, out, x_start, n_start);
    LambertSetup setup;
    if (lambert_setup(r1, r2, tof, mu, prograde, max_revs, out, setup) != LambertStatus::ok) return out.status;
    if (lambert_reserve(setup, out) != LambertStatus::ok) return out.status;
    const int arcs = lambert_slots(setup.n_max);
    constexpr int chunk = 64;
    LambertArc arc[chunk];
    lambert_lanes::ArcJob jobs[chunk];
    lambert_lanes::ArcSolved solved[chunk];
    for (int first = 0; first < arcs; first += chunk) {
        const int m = std::min(chunk, arcs - first);
        for (int j = 0; j < m; ++j) {
            const int k = first + j;
            arc[j] = lambert_arc(setup, k, k < n_start ? x_start[k] : std::numeric_limits<double>::quiet_NaN());
            jobs[j] = {setup.g.shape.lambda, setup.g.shape.oml2, setup.T, arc[j].x0, arc[j].lo, arc[j].hi,
                       arc[j].revolutions, arc[j].branch};
        }
        // One arc alone gains nothing from the lanes.
        (m == 1 ? lambert_lanes::solve_arcs_scalar : lambert_lanes::path().solve)(jobs, solved, m);
        for (int j = 0; j < m; ++j)
            if (lambert_keep_arc(setup, arc[j], solved[j].x, solved[j].iterations, solved[j].ok, out) !=
                LambertStatus::ok)
                return out.status;
    }
    return lambert_check_finite(out);
}

void lambert_batch_init() noexcept { lambert_lanes::path(); }

const char* lambert_batch_path() noexcept { return lambert_lanes::path().name; }

const char* lambert_batch_limit(const char* name) noexcept { return lambert_lanes::chosen.limit(name); }

}  // namespace vextal::numerics
