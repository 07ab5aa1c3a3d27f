#include "core/porkchop.hpp"

#include "core/constants.hpp"
#include "core/exact_cells.hpp"
#include "core/lambert_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

namespace vextal::numerics {

namespace {

void reset(PorkchopWorkspace& w) {
    w.last.clear();
    w.before.clear();
    if (w.exact) w.exact->reset();
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

bool is_zero(Vec3 a) { return a.x == 0 && a.y == 0 && a.z == 0; }


// The departure end of a row: the chaser's state, or the hold point offset from it.
void start_end(const PorkchopOptions& o, Vec3 r, Vec3 v, CellEnds& e) {
    if (is_zero(o.depart_from)) {  // as given: the bits of a grid without hold points do not change
        e.r1 = r;
        e.v_start = v;
    } else {
        hold_point(r, v, o.depart_from, e.r1, e.v_start);
    }
}

void goal_end(const PorkchopOptions& o, Vec3 r, Vec3 v, CellEnds& e) {
    if (is_zero(o.arrive_at)) {
        e.r2 = r;
        e.v_goal = v;
    } else {
        hold_point(r, v, o.arrive_at, e.r2, e.v_goal);
    }
}

// The cheapest arc of a solved cell that passes the screen (only `slot` when that is >= 0). The screen is
// asked only of an arc cheaper than the best so far, so it costs little.
CellStatus choose_arc(const LambertResult& lambert, const CellEnds& e, const PorkchopOptions& o, int slot,
                      CellArc& out) {
    bool screened = false, found = false;
    double best = std::numeric_limits<double>::infinity();
    for (const LambertSolution& arc : lambert.solutions) {
        if (slot >= 0 && slot_of(arc.revolutions, arc.branch) != slot) continue;
        const Vec3 v1 = vec(arc.v1), v2 = vec(arc.v2);
        const double dv1 = norm(v1 - e.v_start), dv2 = norm(e.v_goal - v2);
        const double cost = o.intercept ? dv1 : dv1 + dv2;
        if (!(cost < best)) continue;
        if (o.min_radius > 0 && arc_min_radius(e.r1, v1, e.r2, v2, arc.revolutions, o.mu) < o.min_radius) {
            screened = true;
            continue;
        }
        best = cost;
        found = true;
        out = {dv1, dv2, cost, arc.revolutions, arc.branch, v1, v2};
    }
    return found ? CellStatus::ok : (screened ? CellStatus::screened : CellStatus::no_arc);
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
    CellEnds ends;
    Vec3 r_chaser, v_chaser;
    const bool chaser_ok = g.chaser->state(t_chaser, departure, r_chaser, v_chaser) == TrajectoryStatus::ok;
    if (chaser_ok) start_end(o, r_chaser, v_chaser, ends);
    const double r1_array[3] = {ends.r1.x, ends.r1.y, ends.r1.z};
    for (std::ptrdiff_t col = begin; col < end; ++col) {
        const std::ptrdiff_t cell = row * g.cols + col;
        g.out.dv_departure[cell] = g.out.dv_arrival[cell] = g.out.dv_total[cell] = nan;
        g.out.revolutions[cell] = -1;
        g.out.branch[cell] = 0;
        g.out.status[cell] = static_cast<std::int8_t>(CellStatus::no_state);
        if (g.exact) g.out.miss[cell] = g.out.dv_total_arc[cell] = nan;
        if (!chaser_ok) continue;
        const double tof = g.tofs[col];
        Vec3 r_target, v_target;
        if (g.target->state(t_departure + tof, 0.0, r_target, v_target) != TrajectoryStatus::ok) {
            reset(w);
            continue;
        }
        goal_end(o, r_target, v_target, ends);
        const double r2_array[3] = {ends.r2.x, ends.r2.y, ends.r2.z};
        // The arcs of a cell with revolutions run side by side in SIMD lanes (the same bits as solve_lambert).
        const LambertStatus status = solve_lambert_lanes(r1_array, r2_array, tof, o.mu, o.prograde, o.max_revs,
                                                         w.lambert, predict(w), static_cast<int>(w.last.size()));
        if (status != LambertStatus::ok) {
            if (failed == LambertStatus::ok && !lambert_no_arc(status)) failed = status;
            g.out.status[cell] = static_cast<std::int8_t>(CellStatus::no_arc);
            reset(w);
            continue;
        }
        record(w);
        CellArc arc;
        CellStatus chosen = choose_arc(w.lambert, ends, o, -1, arc);
        if (g.exact) {
            if (chosen == CellStatus::ok) g.out.dv_total_arc[cell] = arc.cost;
            ExactArc exact;
            chosen = exact_cell(ends, tof, w.lambert, o, *g.exact, -1, *w.exact, exact);
            arc = exact.arc;
            if (chosen == CellStatus::ok) g.out.miss[cell] = exact.miss;
        }
        g.out.status[cell] = static_cast<std::int8_t>(chosen);
        if (chosen != CellStatus::ok) continue;
        g.out.dv_departure[cell] = arc.dv_departure;
        g.out.dv_arrival[cell] = arc.dv_arrival;
        g.out.dv_total[cell] = arc.cost;
        g.out.revolutions[cell] = arc.revolutions;
        g.out.branch[cell] = static_cast<std::int8_t>(arc.branch);
    }
    return failed;
}

// The least distance between the chaser on the conic (r1, v1) (moved by s seconds) and the target (at
// t_departure + s) over s in [a, b]: sampled, then each sampled local minimum refined by golden section.
struct Closest {
    const Trajectory& target;
    TwoBody arc;
    double t_departure;
    bool failed = false;

    double range(double s, Vec3* where = nullptr) {
        Vec3 rc, vc, rt, vt;
        if (move(arc, s, rc, vc) != KeplerStatus::ok ||
            target.state(t_departure + s, 0.0, rt, vt) != TrajectoryStatus::ok) {
            failed = true;
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (where) *where = to_ric(rt, vt, rc - rt);
        return norm(rc - rt);
    }

    double golden(double a, double b) {
        constexpr double g = 0.6180339887498949;
        double x1 = b - g * (b - a), x2 = a + g * (b - a);
        double f1 = range(x1), f2 = range(x2);
        for (int k = 0; k < safety_refine_steps && !failed; ++k) {
            if (f1 <= f2) {
                b = x2, x2 = x1, f2 = f1;
                x1 = b - g * (b - a), f1 = range(x1);
            } else {
                a = x1, x1 = x2, f1 = f2;
                x2 = a + g * (b - a), f2 = range(x2);
            }
        }
        return f1 <= f2 ? x1 : x2;
    }

    // The time of the least range on [a, b], and the range and place there.
    double least(double a, double b, int samples, std::vector<double>& d, double& best, Vec3& where) {
        const int n = std::max(2, samples);
        d.resize(static_cast<size_t>(n));
        auto at = [&](int k) { return k == n - 1 ? b : a + (b - a) * k / (n - 1); };
        for (int k = 0; k < n && !failed; ++k) d[k] = range(at(k));
        double t_best = a;
        best = std::numeric_limits<double>::infinity();
        for (int k = 0; k < n && !failed; ++k) {
            const bool low = (k == 0 || d[k] <= d[k - 1]) && (k == n - 1 || d[k] <= d[k + 1]);
            if (!low) continue;
            if (d[k] < best) best = d[k], t_best = at(k);
            const double t = golden(at(std::max(k - 1, 0)), at(std::min(k + 1, n - 1)));
            const double r = range(t);
            if (r < best) best = r, t_best = t;
        }
        if (failed) return best = std::numeric_limits<double>::quiet_NaN();
        best = range(t_best, &where);
        return t_best;
    }
};

int span_samples(double span, double period) {
    const double n = std::ceil(safety_samples_per_orbit * span / period) + 1;
    return n < 16 ? 16 : (n > safety_max_samples ? safety_max_samples : static_cast<int>(n));
}

}  // namespace

void hold_point(Vec3 r, Vec3 v, Vec3 offset, Vec3& r_hold, Vec3& v_hold) noexcept {
    const Vec3 h = cross(r, v);
    const Vec3 R = unit(r), C = unit(h), I = cross(C, R);
    const Vec3 d = R * offset.x + I * offset.y + C * offset.z;
    const Vec3 omega = h * (1.0 / norm2(r));
    r_hold = r + d;
    v_hold = v + cross(omega, d);
}

Vec3 to_ric(Vec3 r, Vec3 v, Vec3 d) noexcept {
    const Vec3 R = unit(r), C = unit(cross(r, v)), I = cross(C, R);
    return {dot(d, R), dot(d, I), dot(d, C)};
}

double arc_min_radius(Vec3 r1, Vec3 v1, Vec3 r2, Vec3 v2, int revolutions, double mu) noexcept {
    const double n1 = norm(r1), n2 = norm(r2), ends = std::min(n1, n2);
    // Whether periapsis lies on the flown arc, from the radial velocities at its ends (no angles): a whole turn
    // passes it; otherwise (less than a turn) an arc that starts inbound and ends outbound passes it, one that
    // starts outbound and ends inbound passes apoapsis only, and one inbound (outbound) at both ends passes
    // periapsis exactly when it went round through both apsides, which leaves it farther out (nearer in)
    // than it began. At an apsis the radial velocity is zero and either reading gives the same least radius.
    bool passes = revolutions > 0;
    if (!passes) {
        const bool inbound = dot(r1, v1) <= 0, outbound = dot(r2, v2) >= 0;
        passes = inbound ? (outbound || n2 > n1) : (outbound && n2 < n1);
    }
    if (!passes) return ends;
    const double h2 = norm2(cross(r1, v1));
    const double energy = 0.5 * norm2(v1) - mu / n1;
    const double e2 = std::max(0.0, 1.0 + 2.0 * energy * h2 / (mu * mu));
    return std::min(h2 / mu / (1.0 + std::sqrt(e2)), ends);  // periapsis radius p / (1 + e)
}

CellStatus porkchop_cell(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& o, double epoch,
                         double departure, double tof, int slot, LambertResult& work, CellEnds& ends, CellArc& arc) {
    Vec3 r, v;
    const double t_chaser = epoch;
    if (chaser.state(t_chaser, departure, r, v) != TrajectoryStatus::ok) return CellStatus::no_state;
    start_end(o, r, v, ends);
    if (target.state((t_chaser + departure) + tof, 0.0, r, v) != TrajectoryStatus::ok) return CellStatus::no_state;
    goal_end(o, r, v, ends);
    const double r1[3] = {ends.r1.x, ends.r1.y, ends.r1.z}, r2[3] = {ends.r2.x, ends.r2.y, ends.r2.z};
    const LambertStatus status = solve_lambert(r1, r2, tof, o.mu, o.prograde, o.max_revs, work);
    if (status == LambertStatus::out_of_memory) throw std::bad_alloc();
    if (status != LambertStatus::ok) return CellStatus::no_arc;
    return choose_arc(work, ends, o, slot, arc);
}

CellStatus porkchop_safety(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& o,
                           double epoch, double departure, double tof, int slot, double orbits, LambertResult& work,
                           SafetyResult& out) {
    CellEnds ends;
    CellArc arc;
    const CellStatus status = porkchop_cell(chaser, target, o, epoch, departure, tof, slot, work, ends, arc);
    if (status != CellStatus::ok) return status;
    const double t_departure = epoch + departure;
    Vec3 rt, vt;
    if (target.state(t_departure + tof, 0.0, rt, vt) != TrajectoryStatus::ok) return CellStatus::no_state;
    const double energy = 0.5 * norm2(vt) - o.mu / norm(rt);
    const double period = energy < 0 ? two_pi * std::sqrt(std::pow(-o.mu / (2 * energy), 3) / o.mu) : tof;
    Closest closest{target, TwoBody{0.0, ends.r1, arc.v1, o.mu}, t_departure};
    std::vector<double> samples;
    closest.least(0.0, tof, span_samples(tof, period), samples, out.arc_range, out.arc_where);
    const double drift = orbits * period;
    if (drift > 0)
        closest.least(tof, tof + drift, span_samples(drift, period), samples, out.drift_range, out.drift_where);
    else
        out.drift_range = closest.range(tof, &out.drift_where);
    return closest.failed ? CellStatus::no_state : CellStatus::ok;
}

bool lambert_no_arc(LambertStatus s) noexcept {
    return s == LambertStatus::collinear || s == LambertStatus::non_finite_input ||
           s == LambertStatus::zero_position;
}

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
