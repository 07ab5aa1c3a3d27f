// Checks of the batch Lambert lanes against the scalar solver, and of the porkchop cell and the trajectory seam
// it reads. Build and run: sh cpp/core/tests/build.sh --batch (see that script for the compiler lines).
// Exit status is non-zero when a check fails.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/lambert_batch.hpp"
#include "core/lambert_batch_internal.hpp"
#include "core/lambert_internal.hpp"
#include "core/porkchop.hpp"
#include "core/trajectory.hpp"

using namespace vextal::numerics;

namespace {

int failures = 0;

void check(bool ok, const char* what, double value = 0.0) {
    if (!ok && ++failures <= 20) std::printf("FAIL: %s (%.17g)\n", what, value);
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

struct Problem {
    double r1[3], r2[3], tof;
    bool prograde;
};

// Random LEO-to-GEO geometry, some transfer angles within 1e-6 of 0 or 180 degrees, some radii 1e3 apart,
// times of flight from a hundredth of a period (hyperbolas) to 25 periods.
std::vector<Problem> problems(int n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform;
    std::vector<Problem> out(n);
    for (Problem& p : out) {
        double R[2];
        for (int e = 0; e < 2; ++e) {
            double u[3] = {normal(rng), normal(rng), normal(rng)};
            const double len = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
            R[e] = 6600 * std::pow(42200.0 / 6600, uniform(rng));
            double* r = e ? p.r2 : p.r1;
            for (int c = 0; c < 3; ++c) r[c] = R[e] * u[c] / len;
        }
        const double kind = uniform(rng);
        if (kind < 0.1) {  // nearly straight: r2 along +-r1, tilted by 1e-6
            const double sign = kind < 0.05 ? 1.0 : -1.0;
            R[1] = R[0] * (kind < 0.03 ? 1e3 : 1.3);
            for (int c = 0; c < 3; ++c) p.r2[c] = sign * R[1] / R[0] * p.r1[c];
            p.r2[2] += 1e-6 * R[1];
        }
        const double a = 0.5 * (R[0] + R[1]);
        p.tof = 2 * M_PI * std::sqrt(a * a * a / mu_earth) * std::pow(10.0, -2 + 3.4 * uniform(rng));
        p.prograde = uniform(rng) < 0.5;
    }
    return out;
}

// Every arc of every problem, started from a random point of its bracket (the scalar solver's warm start), run
// through each lane kernel: x, the iteration count and the verdict must be the scalar solver's. Random starts
// reach the bracket's bisection, the steps off a branch and the overflow at a far end, not only the paths
// Izzo's starting values take.
void lanes_match_the_scalar_iteration() {
    const int max_revs = 6;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform;
    std::vector<lambert_lanes::ArcJob> jobs;
    std::vector<LambertSolution> want;
    LambertResult result, scratch;
    for (const Problem& p : problems(3000, 11)) {
        LambertSetup setup;
        if (lambert_setup(p.r1, p.r2, p.tof, mu_earth, p.prograde, max_revs, scratch, setup) != LambertStatus::ok)
            continue;
        const int arcs = lambert_slots(setup.n_max);
        std::vector<double> start(arcs);
        for (int k = 0; k < arcs; ++k) {
            const LambertArc cold = lambert_arc(setup, k, std::numeric_limits<double>::quiet_NaN());
            const double hi = std::isfinite(cold.hi) ? cold.hi : 40.0;
            start[k] = uniform(rng) < 0.3 ? std::numeric_limits<double>::quiet_NaN()
                                          : cold.lo + (hi - cold.lo) * uniform(rng);
            const LambertArc arc = lambert_arc(setup, k, start[k]);
            jobs.push_back({setup.g.shape.lambda, setup.g.shape.oml2, setup.T, arc.x0, arc.lo, arc.hi,
                            arc.revolutions, arc.branch});
        }
        const LambertStatus s = solve_lambert(p.r1, p.r2, p.tof, mu_earth, p.prograde, max_revs, result,
                                              start.data(), arcs);
        check(s == LambertStatus::ok, "scalar solver with a random warm start");
        // The grid cell's entry: the same arcs through the lanes, the same solutions.
        LambertResult lanes;
        const LambertStatus t = solve_lambert_lanes(p.r1, p.r2, p.tof, mu_earth, p.prograde, max_revs, lanes,
                                                    start.data(), arcs);
        bool agree = t == s && lanes.solutions.size() == result.solutions.size();
        for (size_t k = 0; agree && k < result.solutions.size(); ++k) {
            const LambertSolution &a = lanes.solutions[k], &b = result.solutions[k];
            agree = same(a.x, b.x) && a.iterations == b.iterations && a.revolutions == b.revolutions &&
                    a.branch == b.branch && same(a.v1[0], b.v1[0]) && same(a.v1[2], b.v1[2]) && same(a.v2[1], b.v2[1]);
        }
        check(agree, "solve_lambert_lanes() is solve_lambert()");
        for (int k = 0; k < arcs; ++k) want.push_back(s == LambertStatus::ok ? result.solutions[k] : LambertSolution{});
    }
    const struct {
        const char* name;
        void (*solve)(const lambert_lanes::ArcJob*, lambert_lanes::ArcSolved*, std::ptrdiff_t) noexcept;
    } kernels[] = {{"two lanes", lambert_lanes::solve_arcs_lanes2},
#if defined(__x86_64__)
                   {"four lanes (AVX2)", __builtin_cpu_supports("avx2") ? lambert_lanes::solve_arcs_avx2 : nullptr},
#endif
    };
    int branches[3] = {0, 0, 0};
    for (const auto& kernel : kernels) {
        if (!kernel.solve) {
            std::printf("  (%s: not on this CPU)\n", kernel.name);
            continue;
        }
        std::vector<lambert_lanes::ArcSolved> got(jobs.size());
        kernel.solve(jobs.data(), got.data(), static_cast<std::ptrdiff_t>(jobs.size()));
        int wrong = 0;
        for (size_t j = 0; j < jobs.size(); ++j) {
            ++branches[jobs[j].branch + 1];
            if (!got[j].ok || !same(got[j].x, want[j].x) || got[j].iterations != want[j].iterations) ++wrong;
        }
        std::printf("  %s: %zu arcs, %d differ from the scalar iteration\n", kernel.name, jobs.size(), wrong);
        check(wrong == 0, kernel.name, wrong);
    }
    check(branches[0] > 1000 && branches[1] > 1000 && branches[2] > 1000, "every branch exercised");
}

// solve_lambert_batch() rows against solve_lambert() on every path, refused problems included.
void batch_rows_match_solve_lambert() {
    std::vector<Problem> ps = problems(2000, 12);
    ps[5].tof = -1;                                       // bad time of flight
    for (double& c : ps[9].r1) c = 0;                     // zero position
    ps[17].r2[1] = std::numeric_limits<double>::infinity();  // non-finite
    const int max_revs = 4, slots = lambert_slots(max_revs);
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(ps.size());
    std::vector<double> r1(3 * n), r2(3 * n), tof(n), v1(3 * slots * n), v2(3 * slots * n);
    std::vector<std::int32_t> count(n), status(n);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        std::memcpy(&r1[3 * i], ps[i].r1, sizeof ps[i].r1);
        std::memcpy(&r2[3 * i], ps[i].r2, sizeof ps[i].r2);
        tof[i] = ps[i].tof;
    }
    for (const char* path : {"avx2", "sse2"}) {
        if (std::strcmp(lambert_batch_limit(path), path) != 0) continue;
        for (bool prograde : {true, false}) {
            // In blocks of 37 problems written at their place, as the array function's threads do.
            for (std::ptrdiff_t b = 0; b < n; b += 37) {
                const std::ptrdiff_t m = std::min<std::ptrdiff_t>(37, n - b);
                solve_lambert_batch(&r1[3 * b], &r2[3 * b], &tof[b], m, mu_earth, prograde, max_revs,
                                    {v1.data(), v2.data(), count.data(), status.data()}, slots, b);
            }
            int wrong = 0;
            LambertResult result;
            for (std::ptrdiff_t i = 0; i < n; ++i) {
                const LambertStatus s = solve_lambert(&r1[3 * i], &r2[3 * i], tof[i], mu_earth, prograde, max_revs, result);
                const int found = s == LambertStatus::ok ? static_cast<int>(result.solutions.size()) : 0;
                bool ok = status[i] == static_cast<std::int32_t>(s) && count[i] == found;
                for (int k = 0; k < slots && ok; ++k)
                    for (int c = 0; c < 3; ++c) {
                        const double a = k < found ? result.solutions[k].v1[c] : std::nan("");
                        const double b = k < found ? result.solutions[k].v2[c] : std::nan("");
                        ok = ok && same(v1[3 * (slots * i + k) + c], a) && same(v2[3 * (slots * i + k) + c], b);
                    }
                wrong += !ok;
            }
            std::printf("  %s, %s: %td problems, %d rows differ\n", path, prograde ? "prograde" : "retrograde", n, wrong);
            check(wrong == 0, "batch rows", wrong);
            check(status[5] == static_cast<int>(LambertStatus::bad_time_of_flight) &&
                      status[9] == static_cast<int>(LambertStatus::zero_position) &&
                      status[17] == static_cast<int>(LambertStatus::non_finite_input),
                  "refused problems keep their status");
        }
    }
    lambert_batch_limit("avx2");
}

// The trajectory seam: a two-body trajectory is kepler's propagate (offset taken as given), a Hermite table is
// exact at its samples and for motion that is a cubic in time, and refuses epochs outside its span.
void trajectory_seam() {
    const TwoBody body{100.0, {7000, 100, -300}, {0.5, 7.4, 1.1}, mu_earth};
    const Trajectory two = Trajectory::two_body(body);
    for (double offset : {0.0, 1.5, -600.0, 5400.0, 86400.0}) {
        Vec3 r, v;
        double rw[3], vw[3];
        const double r0[3] = {body.r0.x, body.r0.y, body.r0.z}, v0[3] = {body.v0.x, body.v0.y, body.v0.z};
        propagate(r0, v0, offset, mu_earth, rw, vw);
        const bool ok = two.state(100.0, offset, r, v) == TrajectoryStatus::ok;
        check(ok && same(r.x, rw[0]) && same(r.y, rw[1]) && same(r.z, rw[2]) && same(v.x, vw[0]) && same(v.z, vw[2]),
              "two-body state is propagate()'s", offset);
    }
    // Samples of a cubic motion r(t) = a + b t + c t^2 + d t^3 at uneven epochs.
    const double epochs[] = {0.0, 7.0, 20.0, 21.5, 60.0};
    double pos[15], vel[15];
    auto motion = [](double t, int c, double& r, double& v) {
        const double a = 7000.0 + c, b = 1.0 + 0.5 * c, q = 0.01 * (c - 1), d = 1e-4 * (c + 2);
        r = a + t * (b + t * (q + t * d));
        v = b + t * (2 * q + t * 3 * d);
    };
    for (int i = 0; i < 5; ++i)
        for (int c = 0; c < 3; ++c) motion(epochs[i], c, pos[3 * i + c], vel[3 * i + c]);
    const Trajectory table = Trajectory::table({epochs, pos, vel, 5});
    for (int i = 0; i < 5; ++i) {
        Vec3 r, v;
        const bool ok = table.state(epochs[i], 0.0, r, v) == TrajectoryStatus::ok;
        check(ok && r.x == pos[3 * i] && r.z == pos[3 * i + 2] && v.y == vel[3 * i + 1], "table exact at a sample", i);
    }
    double worst = 0;
    for (double t = 0.0; t <= 60.0; t += 0.37) {
        Vec3 r, v;
        check(table.state(0.0, t, r, v) == TrajectoryStatus::ok, "table inside its span", t);
        const double got[6] = {r.x, r.y, r.z, v.x, v.y, v.z};
        for (int c = 0; c < 3; ++c) {
            double rw, vw;
            motion(t, c, rw, vw);
            worst = std::fmax(worst, std::fmax(std::fabs(got[c] - rw) / 7000, std::fabs(got[3 + c] - vw)));
        }
    }
    check(worst < 1e-10, "a cubic motion is interpolated exactly", worst);
    Vec3 r, v;
    check(table.state(0.0, -1e-9, r, v) == TrajectoryStatus::outside_span, "table refuses before its span");
    check(table.state(60.0, 1e-6, r, v) == TrajectoryStatus::outside_span, "table refuses after its span");
}

// The porkchop cell: the cheapest of the arcs solve_lambert() gives between the two trajectories' states, and
// with a slot, that arc; a cell whose target state is outside a table's span has no state.
void porkchop_cell_checks() {
    const TwoBody chaser_state{0.0, {6778, 0, 0}, {0, 7.6686, 0}, mu_earth};
    const TwoBody target_state{0.0, {0, 7378, 0}, {-6.5, 0, 2.6}, mu_earth};
    const Trajectory chaser = Trajectory::two_body(chaser_state), target = Trajectory::two_body(target_state);
    PorkchopOptions o;
    o.max_revs = 2;
    LambertResult work, direct;
    for (double departure : {0.0, 900.0, 4000.0})
        for (double tof : {1500.0, 5200.0, 14000.0}) {
            CellEnds ends;
            CellArc arc;
            const CellStatus s = porkchop_cell(chaser, target, o, 0.0, departure, tof, -1, work, ends, arc);
            Vec3 r1, v1, r2, v2;
            chaser.state(0.0, departure, r1, v1);
            target.state(departure + tof, 0.0, r2, v2);
            const double a[3] = {r1.x, r1.y, r1.z}, b[3] = {r2.x, r2.y, r2.z};
            check(solve_lambert(a, b, tof, o.mu, true, o.max_revs, direct) == LambertStatus::ok, "direct solve");
            double best = std::numeric_limits<double>::infinity();
            int best_slot = -1;
            for (const LambertSolution& sol : direct.solutions) {
                const Vec3 w1{sol.v1[0], sol.v1[1], sol.v1[2]}, w2{sol.v2[0], sol.v2[1], sol.v2[2]};
                const double cost = norm(w1 - v1) + norm(v2 - w2);
                if (cost < best) best = cost, best_slot = slot_of(sol.revolutions, sol.branch);
            }
            check(s == CellStatus::ok && arc.cost == best && slot_of(arc.revolutions, arc.branch) == best_slot,
                  "cell keeps the cheapest arc", tof);
            const int other = best_slot == 0 && direct.solutions.size() > 1 ? 1 : 0;
            const CellStatus t = porkchop_cell(chaser, target, o, 0.0, departure, tof, other, work, ends, arc);
            check(t == CellStatus::ok && slot_of(arc.revolutions, arc.branch) == other, "cell keeps the slot asked for");
        }
    // A target known only on [0, 3000] s: later arrivals have no state.
    const double epochs[] = {0.0, 1500.0, 3000.0};
    double pos[9], vel[9];
    for (int i = 0; i < 3; ++i) {
        Vec3 r, v;
        target.state(0.0, epochs[i], r, v);
        const double rv[6] = {r.x, r.y, r.z, v.x, v.y, v.z};
        std::memcpy(pos + 3 * i, rv, 3 * sizeof(double));
        std::memcpy(vel + 3 * i, rv + 3, 3 * sizeof(double));
    }
    const Trajectory short_target = Trajectory::table({epochs, pos, vel, 3});
    CellEnds ends;
    CellArc arc;
    check(porkchop_cell(chaser, short_target, o, 0.0, 0.0, 2000.0, -1, work, ends, arc) == CellStatus::ok,
          "cell inside the table's span");
    check(porkchop_cell(chaser, short_target, o, 0.0, 1500.0, 2000.0, -1, work, ends, arc) == CellStatus::no_state,
          "cell past the table's span has no state");
}

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

// CPU ns per problem (best of five passes) of solve_lambert() one by one and of solve_lambert_batch() in blocks
// of 512 on each path, on the same problems.
void timing() {
    const std::vector<Problem> ps = problems(20000, 21);
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(ps.size());
    std::vector<double> r1(3 * n), r2(3 * n), tof(n);
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        std::memcpy(&r1[3 * i], ps[i].r1, sizeof ps[i].r1);
        std::memcpy(&r2[3 * i], ps[i].r2, sizeof ps[i].r2);
        tof[i] = ps[i].tof;
    }
    for (int max_revs : {0, 5}) {
        const int slots = lambert_slots(max_revs);
        std::vector<double> v1(3 * slots * n), v2(3 * slots * n);
        std::vector<std::int32_t> count(n), status(n);
        auto best = [](auto&& run) {
            double t = 1e300;
            for (int pass = 0; pass < 5; ++pass) {
                const double t0 = cpu_seconds();
                run();
                t = std::min(t, cpu_seconds() - t0);
            }
            return t;
        };
        LambertResult result;
        const double scalar = best([&] {
            for (std::ptrdiff_t i = 0; i < n; ++i)
                solve_lambert(&r1[3 * i], &r2[3 * i], tof[i], mu_earth, true, max_revs, result);
        });
        std::printf("max_revs %d: solve_lambert %.0f ns/problem", max_revs, scalar / n * 1e9);
        for (const char* path : {"avx2", "sse2"}) {
            if (std::strcmp(lambert_batch_limit(path), path) != 0) continue;
            const double batch = best([&] {
                for (std::ptrdiff_t b = 0; b < n; b += 512)
                    solve_lambert_batch(&r1[3 * b], &r2[3 * b], &tof[b], std::min<std::ptrdiff_t>(512, n - b), mu_earth,
                                        true, max_revs, {v1.data(), v2.data(), count.data(), status.data()}, slots, b);
            });
            std::printf(", %s batch %.0f ns/problem (%.2fx)", path, batch / n * 1e9, scalar / batch);
        }
        std::printf("\n");
        lambert_batch_limit("avx2");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--bench") == 0) {
        timing();
        return 0;
    }
    std::printf("batch Lambert lanes against the scalar iteration\n");
    lanes_match_the_scalar_iteration();
    std::printf("batch Lambert rows against solve_lambert\n");
    batch_rows_match_solve_lambert();
    std::printf("trajectory seam\n");
    trajectory_seam();
    std::printf("porkchop cell\n");
    porkchop_cell_checks();
    std::printf(failures ? "%d check(s) FAILED\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}
