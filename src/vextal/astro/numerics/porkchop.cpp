#include "porkchop.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace vextal::numerics {

namespace {

void reset(PorkchopWorkspace& w) {
    w.last.clear();
    w.before.clear();
}

const double* predict(PorkchopWorkspace& w) {
    w.guess.resize(w.last.size());
    for (size_t k = 0; k < w.last.size(); ++k)
        w.guess[k] = k < w.before.size() ? 2 * w.last[k] - w.before[k] : w.last[k];
    return w.guess.data();
}

void record(PorkchopWorkspace& w) {
    std::swap(w.before, w.last);
    w.last.resize(w.lambert.solutions.size());
    for (size_t k = 0; k < w.last.size(); ++k) w.last[k] = w.lambert.solutions[k].x;
}

Vec3 vec(const double (&a)[3]) { return {a[0], a[1], a[2]}; }

// Whether a solver status means that no arc exists (the cell is then rightly NaN); any other failure (no
// convergence, out of memory or range) must be reported, not read as "no arc".
bool no_arc(LambertStatus s) {
    return s == LambertStatus::collinear || s == LambertStatus::non_finite_input ||
           s == LambertStatus::zero_position;
}

// Cells [begin, end) of one row; the warm starts begin afresh at `begin`. Returns ok or the first failure
// other than "no arc".
LambertStatus run_cells(const PorkchopGrid& g, std::ptrdiff_t row, std::ptrdiff_t begin, std::ptrdiff_t end,
                        PorkchopWorkspace& w) {
    LambertStatus failed = LambertStatus::ok;
    reset(w);
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const PorkchopOptions& o = g.options;
    const double departure = g.departures[row];
    const double t_chaser = g.epoch;
    const double t_departure = t_chaser + departure;
    Vec3 r1, v_chaser;
    const bool chaser_ok = g.chaser->state(t_chaser, departure, r1, v_chaser) == TrajectoryStatus::ok;
    const double r1_array[3] = {r1.x, r1.y, r1.z};
    for (std::ptrdiff_t col = begin; col < end; ++col) {
        const std::ptrdiff_t cell = row * g.cols + col;
        g.out.dv_departure[cell] = g.out.dv_arrival[cell] = g.out.dv_total[cell] = nan;
        g.out.revolutions[cell] = -1;
        g.out.branch[cell] = 0;
        if (!chaser_ok) continue;
        const double tof = g.tofs[col];
        Vec3 r2, v_target;
        if (g.target->state(t_departure + tof, 0.0, r2, v_target) != TrajectoryStatus::ok) {
            reset(w);
            continue;
        }
        const double r2_array[3] = {r2.x, r2.y, r2.z};
        const LambertStatus status = solve_lambert(r1_array, r2_array, tof, o.mu, o.prograde, o.max_revs, w.lambert,
                                                   predict(w), static_cast<int>(w.last.size()));
        if (status != LambertStatus::ok) {
            if (failed == LambertStatus::ok && !no_arc(status)) failed = status;
            reset(w);
            continue;
        }
        record(w);
        double best = std::numeric_limits<double>::infinity();
        for (const LambertSolution& arc : w.lambert.solutions) {
            const double dv1 = norm(vec(arc.v1) - v_chaser), dv2 = norm(v_target - vec(arc.v2));
            if (!(dv1 + dv2 < best)) continue;
            best = dv1 + dv2;
            g.out.dv_departure[cell] = dv1;
            g.out.dv_arrival[cell] = dv2;
            g.out.dv_total[cell] = best;
            g.out.revolutions[cell] = arc.revolutions;
            g.out.branch[cell] = static_cast<std::int8_t>(arc.branch);
        }
    }
    return failed;
}

}  // namespace

LambertStatus porkchop_run(const PorkchopGrid& grid, std::ptrdiff_t begin, std::ptrdiff_t end,
                           PorkchopWorkspace& work) {
    const std::ptrdiff_t segments = porkchop_items(1, grid.cols);
    LambertStatus failed = LambertStatus::ok;
    for (std::ptrdiff_t item = begin; item < end; ++item) {
        const std::ptrdiff_t row = item / segments, first = (item % segments) * porkchop_segment;
        const LambertStatus s = run_cells(grid, row, first, std::min(grid.cols, first + porkchop_segment), work);
        if (failed == LambertStatus::ok) failed = s;
    }
    return failed;
}

}  // namespace vextal::numerics
