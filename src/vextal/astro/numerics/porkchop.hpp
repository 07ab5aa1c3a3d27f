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
#include "constants.hpp"
#include "lambert.hpp"
#include "trajectory.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vextal::numerics {

// What a cell solves for. New planning choices (an arrival cost only, a periapsis floor, a hold point) are
// fields here, read by the cell.
struct PorkchopOptions {
    double mu = mu_earth;  // of the Lambert arcs
    bool prograde = true;
    int max_revs = 0;
};

struct PorkchopOutput {  // row-major (rows, cols) arrays
    double* dv_departure;
    double* dv_arrival;
    double* dv_total;
    std::int32_t* revolutions;
    std::int8_t* branch;
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
};

inline constexpr std::ptrdiff_t porkchop_segment = 128;

inline std::ptrdiff_t porkchop_items(std::ptrdiff_t rows, std::ptrdiff_t cols) noexcept {
    return cols == 0 ? 0 : rows * ((cols + porkchop_segment - 1) / porkchop_segment);
}

// Scratch storage one worker reuses from cell to cell.
struct PorkchopWorkspace {
    LambertResult lambert;
    std::vector<double> last, before, guess;  // warm starts: each arc's x in the last two cells
};

// Items [begin, end) of the grid (row-major over (row, segment)). Returns ok, or the first Lambert failure other
// than "no arc exists" (out of memory, no convergence, out of range): its cell is NaN but must not read as "no
// arc", so the caller reports it. Allocation
// failure in the workspace throws std::bad_alloc.
LambertStatus porkchop_run(const PorkchopGrid& grid, std::ptrdiff_t begin, std::ptrdiff_t end, PorkchopWorkspace& work);

// Rows [first, last) of the grid.
inline LambertStatus porkchop_rows(const PorkchopGrid& grid, std::ptrdiff_t first, std::ptrdiff_t last,
                                   PorkchopWorkspace& work) {
    const std::ptrdiff_t per_row = porkchop_items(1, grid.cols);
    return porkchop_run(grid, first * per_row, last * per_row, work);
}

}  // namespace vextal::numerics
