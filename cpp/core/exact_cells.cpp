// Porkchop cells exact in a flight model (see exact_cells.hpp).
#include "core/exact_cells.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vextal::numerics {

namespace {

// The inverse of the position-by-velocity block of a 6 x 6 row-major transition matrix; false when singular.
bool invert_rv(const double* phi, double* inv) noexcept {
    const double a = phi[3], b = phi[4], c = phi[5];
    const double d = phi[9], e = phi[10], f = phi[11];
    const double g = phi[15], h = phi[16], i = phi[17];
    const double A = e * i - f * h, B = f * g - d * i, C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (!std::isfinite(det) || det == 0) return false;
    const double s = 1.0 / det;
    inv[0] = A * s, inv[1] = (c * h - b * i) * s, inv[2] = (b * f - c * e) * s;
    inv[3] = B * s, inv[4] = (a * i - c * g) * s, inv[5] = (c * d - a * f) * s;
    inv[6] = C * s, inv[7] = (b * g - a * h) * s, inv[8] = (a * e - b * d) * s;
    return std::isfinite(inv[0] + inv[1] + inv[2] + inv[3] + inv[4] + inv[5] + inv[6] + inv[7] + inv[8]);
}

Vec3 apply(const double* m, Vec3 a) noexcept {
    return {m[0] * a.x + m[1] * a.y + m[2] * a.z, m[3] * a.x + m[4] * a.y + m[5] * a.z,
            m[6] * a.x + m[7] * a.y + m[8] * a.z};
}

// The inverse of the two-body d r(tof) / d v1 at (r1, v1), by forward differences of exact Kepler motion (three
// steps of 1e-7 |v1|: relative error near 1e-7, far below the model's own departure from two-body motion,
// which is what limits the Newton steps that use it).
bool two_body_inverse(Vec3 r1, Vec3 v1, double tof, double mu, double* inv) noexcept {
    Vec3 r0, v0;
    const TwoBody body{0.0, r1, v1, mu};
    if (move(body, tof, r0, v0) != KeplerStatus::ok) return false;
    const double h = 1e-7 * norm(v1);
    double phi[36] = {};
    for (int j = 0; j < 3; ++j) {
        Vec3 dv{0, 0, 0};
        (j == 0 ? dv.x : j == 1 ? dv.y : dv.z) = h;
        Vec3 r, v;
        if (move(TwoBody{0.0, r1, v1 + dv, mu}, tof, r, v) != KeplerStatus::ok) return false;
        const Vec3 d = (r - r0) * (1.0 / h);
        phi[3 + j] = d.x, phi[9 + j] = d.y, phi[15 + j] = d.z;
    }
    return invert_rv(phi, inv);
}

// One flight's outcome in a shooting.
struct Shot {
    Vec3 v1, rf, vf;
    double miss = std::numeric_limits<double>::infinity();
};

// Shooting from the departure velocity v_lambert (+ the correction predicted along the row) to the arrival
// point. Newton steps use the two-body Jacobian at the best point so far (cheap, and off the model's by the
// model's perturbation only); when a step does not reduce the miss tenfold, the model's own matrix is
// integrated at the best point, and a step from there that still fails is halved.
bool shoot(const CellEnds& e, double tof, Vec3 v_lambert, double mu, const ExactOptions& x, ShotMemory& m,
           Shot& best) {
    double inv[9];
    Vec3 v = v_lambert + m.predict(tof);
    bool want_matrix = false, model_matrix = false;
    best = Shot{};
    double phi[36];
    for (int flight = 0; flight < x.max_flights; ++flight) {
        Shot s{v, {}, {}};
        const bool ok = fly(x.model, e.r1, v, tof, s.rf, s.vf, want_matrix ? phi : nullptr);
        s.miss = ok ? norm(s.rf - e.r2) : std::numeric_limits<double>::infinity();
        const bool matrix = ok && want_matrix && invert_rv(phi, inv);
        const double before = best.miss;
        if (s.miss < best.miss || (matrix && s.miss <= best.miss)) {
            best = s;
            if (best.miss <= x.tolerance) break;
            if (matrix) {
                model_matrix = true;
            } else if (!(best.miss < 0.1 * before) && std::isfinite(before)) {
                want_matrix = true;  // slow: the model's own matrix here before stepping
                continue;
            } else if (!two_body_inverse(e.r1, best.v1, tof, mu, inv)) {
                want_matrix = true;
                continue;
            }
            v = best.v1 - apply(inv, best.rf - e.r2);
            want_matrix = false;
        } else if (!model_matrix && std::isfinite(best.miss)) {
            v = best.v1;  // the two-body Jacobian misled: the model's at the best point
            want_matrix = true;
        } else if (std::isfinite(best.miss)) {
            v = best.v1 + (v - best.v1) * 0.5;
            want_matrix = false;
        } else {
            break;
        }
    }
    const bool converged = best.miss <= x.accept;
    if (converged)
        m.remember(best.v1 - v_lambert, tof);
    else
        m.known = 0;
    return converged;
}

}  // namespace

bool fly(const FlightModel& model, Vec3 r0, Vec3 v0, double dt, Vec3& r, Vec3& v, double* phi) noexcept {
    const double a[3] = {r0.x, r0.y, r0.z}, b[3] = {v0.x, v0.y, v0.z};
    double rf[3], vf[3];
    if (!model.forces || propagate(*model.forces, a, b, dt, rf, vf, phi, model.rtol) != PropagationStatus::ok)
        return false;
    r = load(rf);
    v = load(vf);
    return true;
}

CellStatus exact_cell(const CellEnds& e, double tof, const LambertResult& lambert, const PorkchopOptions& o,
                      const ExactOptions& x, int slot, ExactWorkspace& w, ExactArc& out) {
    const int n = static_cast<int>(lambert.solutions.size());
    auto two_body_cost = [&](const LambertSolution& s) {
        const double dv1 = norm(load(s.v1) - e.v_start);
        return o.intercept ? dv1 : dv1 + norm(e.v_goal - load(s.v2));
    };
    w.order.clear();
    int slots = 0;
    for (int k = 0; k < n; ++k) {
        const LambertSolution& s = lambert.solutions[k];
        const int own = slot_of(s.revolutions, s.branch);
        if (slot >= 0 && own != slot) continue;
        w.order.push_back(k);
        slots = std::max(slots, own + 1);
    }
    if (w.order.empty()) return CellStatus::no_arc;
    if (static_cast<int>(w.memory.size()) < slots) w.memory.resize(static_cast<size_t>(slots));
    std::sort(w.order.begin(), w.order.end(), [&](int a, int b) {
        return two_body_cost(lambert.solutions[a]) < two_body_cost(lambert.solutions[b]);
    });
    bool found = false, screened = false;
    double best = std::numeric_limits<double>::infinity();
    for (int k : w.order) {
        const LambertSolution& s = lambert.solutions[k];
        if (two_body_cost(s) > best + x.margin) break;
        if (o.min_radius > 0 &&
            arc_min_radius(e.r1, load(s.v1), e.r2, load(s.v2), s.revolutions, o.mu) < o.min_radius - x.screen_margin) {
            screened = true;
            continue;
        }
        Shot shot;
        ShotMemory& memory = w.memory[slot_of(s.revolutions, s.branch)];
        const bool carried = memory.valid();
        // A carried correction that leads nowhere (the arc family folds between cells): once more afresh.
        if (!shoot(e, tof, load(s.v1), o.mu, x, memory, shot) &&
            (!carried || !shoot(e, tof, load(s.v1), o.mu, x, memory, shot)))
            continue;
        const double dv1 = norm(shot.v1 - e.v_start), dv2 = norm(e.v_goal - shot.vf);
        const double cost = o.intercept ? dv1 : dv1 + dv2;
        if (!(cost < best)) continue;
        if (o.min_radius > 0 && arc_min_radius(e.r1, shot.v1, shot.rf, shot.vf, s.revolutions, o.mu) < o.min_radius) {
            screened = true;
            continue;
        }
        best = cost;
        found = true;
        out.arc = {dv1, dv2, cost, s.revolutions, s.branch, shot.v1, shot.vf};
        out.miss = shot.miss;
    }
    return found ? CellStatus::ok : (screened ? CellStatus::screened : CellStatus::not_converged);
}

CellStatus exact_single_cell(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& o,
                             const ExactOptions& x, double epoch, double departure, double tof, int slot,
                             LambertResult& work, CellEnds& ends, ExactArc& out) {
    CellArc two_body;
    work.solutions.clear();
    const CellStatus s = porkchop_cell(chaser, target, o, epoch, departure, tof, slot, work, ends, two_body);
    if (s == CellStatus::no_state || work.solutions.empty()) return s;
    ExactWorkspace w;
    return exact_cell(ends, tof, work, o, x, slot, w, out);
}

}  // namespace vextal::numerics
