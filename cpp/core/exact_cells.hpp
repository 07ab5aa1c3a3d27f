// Porkchop cells exact in a flight model: the cheapest transfer of a cell whose departure burn, flown in the
// model from the departure point, reaches the arrival point.
//
// Method: shooting on the departure velocity. Each two-body Lambert arc of the cell seeds Newton's method on
// the position miss r(tof; r1, v1) - r2, whose Jacobian is the position-by-velocity block of the model's state
// transition matrix. Along a row the correction v1 - v_lambert of the same arc in the previous three cells is
// extrapolated (quadratically): the correction is smooth in the time of flight, so the first flight lands
// within tens of metres. The Newton steps use the two-body Jacobian at the current velocity (forward
// differences of Kepler motion, microseconds), which differs from the model's by the model's perturbation
// (about 1e-3 for J2), so each step gains about three digits: two or three flights per arc without the
// 42-equation matrix. The model's matrix is integrated only where the two-body one stops helping.
//
// Arcs are shot in the order of their two-body cost and an arc is skipped once its two-body cost exceeds the
// cheapest exact cost found so far by `margin` (the model moves a cell's cost by tens of m/s, not by this).
// The periapsis screen is asked of the exact arc's end states (the osculating conic through its ends); an arc
// whose two-body path already dives `screen_margin` below it is not shot (the model moves a low-orbit arc's
// periapsis by kilometres, and arcs through the Earth are where the shooting is slowest).
//
// The model is reached through fly() alone, so that another force model is a change there.
#pragma once
#include "core/forces/model.hpp"
#include "core/j2.hpp"
#include "core/lambert.hpp"
#include "core/porkchop.hpp"
#include "core/vec3.hpp"

#include <memory>
#include <vector>

namespace vextal::numerics {

// The model a transfer flies in.
struct FlightModel {
    // The forces the arcs fly in (forces/model.hpp), shared by every worker of a grid.
    std::shared_ptr<const ForceModel> forces;
    // The integrator's tolerance in the shooting: measured on LEO arcs of up to 8 hours, the burns shot at
    // 1e-10 land within 10 cm when flown at the propagator's default 1e-13 (1e-9 misses by metres), at about a
    // third of its cost.
    double rtol = 1e-10;
};

// Moves (r0, v0) by dt in the model; with `phi` (36 values, row-major) also the state transition matrix.
// False when the model cannot fly the state (it crashes into the centre, runs out of steps).
bool fly(const FlightModel& model, Vec3 r0, Vec3 v0, double dt, Vec3& r, Vec3& v, double* phi = nullptr) noexcept;

struct ExactOptions {
    FlightModel model;
    double tolerance = 1e-4;  // km: the shooting stops at a 10 cm miss
    double accept = 2e-4;     // km: an arc that cannot get below `tolerance` is kept up to 20 cm (5x inside 1 m)
    double margin = 0.3;      // km/s: arcs dearer than the best exact cost by this (two-body) are not shot
    double screen_margin = 50;  // km: arcs whose two-body path comes this far below min_radius are not shot
    int max_flights = 10;     // flights of one arc's shooting
};

// What one arc's shooting carries to the next cell of its row.
struct ShotMemory {
    int known = 0;             // solutions remembered (up to 3), the last first
    Vec3 correction[3] = {};   // v1 - v_lambert of the last solutions
    double tof[3] = {};        // and their times of flight
    bool valid() const { return known > 0; }
    // The correction expected at `at`: extrapolated along the row through the remembered solutions (the
    // polynomial through them, quadratic once three are known).
    Vec3 predict(double at) const {
        Vec3 sum{0, 0, 0};
        for (int i = 0; i < known; ++i) {
            double weight = 1;
            for (int j = 0; j < known; ++j)
                if (j != i) {
                    if (tof[i] == tof[j]) return correction[0];
                    weight *= (at - tof[j]) / (tof[i] - tof[j]);
                }
            sum = sum + correction[i] * weight;
        }
        return sum;
    }
    void remember(Vec3 c, double t) {
        for (int i = 2; i > 0; --i) correction[i] = correction[i - 1], tof[i] = tof[i - 1];
        correction[0] = c;
        tof[0] = t;
        known = known < 3 ? known + 1 : 3;
    }
};

struct ExactWorkspace {
    std::vector<ShotMemory> memory;  // by Lambert slot
    std::vector<int> order;          // arcs by two-body cost
    void reset() {
        for (ShotMemory& m : memory) m.known = 0;
    }
};

// The exact answer of one cell: the arc (burns from the exact departure velocity and the model's arrival
// velocity) and its position miss (km) flown in the model.
struct ExactArc {
    CellArc arc;
    double miss = 0;
};

// The cheapest exact transfer of a cell from its solved two-body arcs (`lambert`, from ends.r1 to ends.r2 in
// tof). `slot` >= 0 asks for that arc alone. Returns ok, screened (every converged arc comes below
// min_radius), not_converged (no arc converges) or no_arc (no two-body arc, or not the one asked for).
CellStatus exact_cell(const CellEnds& ends, double tof, const LambertResult& lambert, const PorkchopOptions& o,
                      const ExactOptions& x, int slot, ExactWorkspace& work, ExactArc& out);

// One cell solved alone (no carried corrections), departing `departure` s after `epoch`: its ends and its
// exact arc. Lambert failures are left in `work.status` as porkchop_cell leaves them.
CellStatus exact_single_cell(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& o,
                             const ExactOptions& x, double epoch, double departure, double tof, int slot,
                             LambertResult& work, CellEnds& ends, ExactArc& out);

}  // namespace vextal::numerics
