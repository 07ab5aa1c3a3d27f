// The porkchop cell and its row-range driver, on plain doubles.
//
// For departure offset d (row) and time of flight tof (column) a cell asks the chaser's trajectory for its
// state at epoch + d and the target's for its state at (epoch + d) + tof (epochs added as plain numbers, as
// plan_lambert does; `epoch` is the grid's departure base, normally the chaser's own epoch), solves Lambert's
// problem for every arc up to max_revs and keeps the cheapest by |v1 - v_chaser| + |v_target - v2|. Cells
// without an arc (collinear positions, a state the trajectory cannot give) are NaN with revolutions -1 and
// branch 0.
//
// Work comes in (row, segment) items, a segment being a fixed run of `porkchop_segment` columns. Warm starts
// (the last two cells' x per arc, extrapolated) begin afresh at each segment, so every cell is a function of
// its row's inputs and its column alone: any thread count and any split of the departure axis give the same
// bits (the distributed grid relies on it). A device backend implements the same item range.
#pragma once
#include "core/constants.hpp"
#include "core/lambert.hpp"
#include "core/trajectory.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vextal::numerics {

// What a cell solves for; every planning choice is a field here, read by the cell.
struct PorkchopOptions {
    double mu = mu_earth;  // of the Lambert arcs (and of the two-body trajectories the door builds)
    bool prograde = true;
    int max_revs = 0;
    bool intercept = false;  // cost = departure delta-v only (else departure + arrival: rendezvous)
    double min_radius = 0.0;  // arcs whose flown path comes below this radius are not candidates (0: none)
    Vec3 depart_from{0, 0, 0};  // departure point: this offset (km) in the chaser's RIC frame at departure
    Vec3 arrive_at{0, 0, 0};    // arrival point: this offset (km) in the target's RIC frame at arrival
};

// Why a cell holds what it holds.
enum class CellStatus : std::int8_t {
    ok = 0,
    no_arc = 1,    // Lambert's problem has no arc (collinear ends, a failed solve)
    screened = 2,  // every arc comes below min_radius
    no_state = 3,  // a trajectory cannot give a state at the cell's epoch (outside a table's span)
    not_converged = 4,  // exact cells: no arc's shooting in the flight model converged
};

struct ExactOptions;  // exact_cells.hpp
struct ExactWorkspace;

// A point fixed at `offset` (km; radial, in-track, cross-track) in the RIC frame of a body at (r, v), the
// package's frame (R = r/|r|, C = r x v/|r x v|, I = C x R, turning at omega = r x v/|r|^2): its position,
// and the velocity of a point at rest in that rotating frame (v + omega x d).
void hold_point(Vec3 r, Vec3 v, Vec3 offset, Vec3& r_hold, Vec3& v_hold) noexcept;

// A vector `d` (inertial) relative to a body at (r, v), as RIC components.
Vec3 to_ric(Vec3 r, Vec3 v, Vec3 d) noexcept;

// The least radius of an arc leaving r1 with v1 and reaching r2 with v2 after `revolutions` whole turns,
// decided from whether periapsis lies on the flown arc: the periapsis radius when it does, min(|r1|, |r2|)
// otherwise. No sampling.
double arc_min_radius(Vec3 r1, Vec3 v1, Vec3 r2, Vec3 v2, int revolutions, double mu) noexcept;

// The ends of one cell: the departure point and the velocity held there, the arrival point and the velocity
// to match there.
struct CellEnds {
    Vec3 r1, v_start, r2, v_goal;
};

// The arc a cell keeps.
struct CellArc {
    double dv_departure, dv_arrival, cost;
    int revolutions, branch;
    Vec3 v1, v2;  // the arc's velocities at departure and arrival
};

struct PorkchopOutput {  // row-major (rows, cols) arrays
    double* dv_departure;
    double* dv_arrival;
    double* dv_total;
    std::int32_t* revolutions;
    std::int8_t* branch;
    std::int8_t* status;  // CellStatus
    // Exact cells only: each cell's position miss flown in the model (km) and its cheapest two-body arc's cost
    // (km/s, NaN where none passes the screen).
    double* miss = nullptr;
    double* dv_total_arc = nullptr;
};

struct PorkchopGrid {
    const Trajectory* chaser;
    const Trajectory* target;
    double epoch;              // the departure base: chaser->epoch(), or the epoch a table chaser stands for
    const double* departures;  // offsets after epoch, rows
    const double* tofs;        // > 0, cols
    std::ptrdiff_t rows, cols;
    PorkchopOptions options;
    PorkchopOutput out;
    const ExactOptions* exact = nullptr;  // set: every cell exact in this flight model (exact_cells.hpp)
};

inline constexpr std::ptrdiff_t porkchop_segment = 128;

inline std::ptrdiff_t porkchop_items(std::ptrdiff_t rows, std::ptrdiff_t cols) noexcept {
    return cols == 0 ? 0 : rows * ((cols + porkchop_segment - 1) / porkchop_segment);
}

// Scratch storage one worker reuses from cell to cell.
struct PorkchopWorkspace {
    LambertResult lambert;
    std::vector<double> last, before, guess;  // warm starts: each arc's x in the last two cells
    ExactWorkspace* exact = nullptr;  // required when the grid's cells are exact
};

// Items [begin, end) of the grid (row-major over (row, segment)). Returns ok, or the first Lambert failure other
// than "no arc exists" (out of memory, no convergence, out of range): its cell is NaN but must not read as "no
// arc", so the caller reports it. Allocation
// failure in the workspace throws std::bad_alloc.
LambertStatus porkchop_run(const PorkchopGrid& grid, std::ptrdiff_t begin, std::ptrdiff_t end, PorkchopWorkspace& work);

// Whether a solver status means that no arc exists (the cell is then rightly empty); any other failure (no
// convergence, out of memory or range) must be reported, not read as "no arc".
bool lambert_no_arc(LambertStatus s) noexcept;

// One cell solved alone (no warm start), departing `departure` s after `epoch` (the grid's departure base):
// its ends and its arc. A Lambert failure other than "no arc" gives
// no_arc with the failure left in `work.status` for the caller to report; out of memory throws std::bad_alloc. `slot` >= 0 asks for that arc (the Lambert slot
// of a grid cell's revolutions and branch; it must pass the screen), -1 for the cheapest that passes.
CellStatus porkchop_cell(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& options,
                         double epoch, double departure, double tof, int slot, LambertResult& work, CellEnds& ends,
                         CellArc& arc);

// Passive safety of one cell's arc: the least distance from the target (its centre) along the transfer arc
// (departure to arrival), and along the free drift on the same conic after a missed arrival burn, for
// `orbits` periods of the target's osculating orbit at arrival (orbits times the time of flight when that
// orbit is open). Each span is sampled at `samples_per_orbit` points per target period (at least 16 per
// span, at most `safety_max_samples`), and every sampled local minimum is refined by a golden-section search
// of `safety_refine_steps` steps in its bracket: at most about safety_max_samples * (1 + safety_refine_steps
// / 2) evaluations (two states each) per span, in practice samples + a few minima per orbit * the steps.
// `*_where` receive the chaser's RIC position relative to the target at each closest approach.
struct SafetyResult {
    double arc_range = 0, drift_range = 0;
    Vec3 arc_where{0, 0, 0}, drift_where{0, 0, 0};
};
inline constexpr int safety_samples_per_orbit = 64;
inline constexpr int safety_max_samples = 4096;
inline constexpr int safety_refine_steps = 40;
CellStatus porkchop_safety(const Trajectory& chaser, const Trajectory& target, const PorkchopOptions& options,
                           double epoch, double departure, double tof, int slot, double orbits, LambertResult& work,
                           SafetyResult& out);

// Rows [first, last) of the grid.
inline LambertStatus porkchop_rows(const PorkchopGrid& grid, std::ptrdiff_t first, std::ptrdiff_t last,
                                   PorkchopWorkspace& work) {
    const std::ptrdiff_t per_row = porkchop_items(1, grid.cols);
    return porkchop_run(grid, first * per_row, last * per_row, work);
}

}  // namespace vextal::numerics
