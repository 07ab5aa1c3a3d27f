// vextal.astro._porkchop: the porkchop grid, natively and off the interpreter lock.
//
// For departure offset d (row) and time of flight tof (column) a cell moves the chaser to t_c + d, the target
// to the arrival epoch (t_c + d) + tof (forwards or backwards; epochs added as plain numbers, as plan_lambert
// does), solves Lambert's problem for every arc up to max_revs and keeps the cheapest by |v1 - v_chaser| +
// |v_target - v2|. Cells without an arc (collinear positions, a propagation that fails) are NaN with
// revolutions -1; a cell whose solver fails otherwise (no convergence, out of memory or range) makes the grid
// raise, so that NaN always means "no arc".
//
// The work is split into (row, segment) items, segments being fixed runs of the tof axis, so every cell is a
// function of its row's inputs and its column alone: any thread count and any split of the departure axis
// give the same bits (the distributed grid relies on it).
#include "native/numpy.hpp"
#include "native/parallel.hpp"
#include "native/record.hpp"
#include "native/support.hpp"
#include "astro/numerics/kepler.hpp"
#include "astro/numerics/lambert.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace num = vextal::numerics;

namespace {

constexpr double MU_EARTH = 398600.5;  // km^3/s^2, plan_lambert's value
constexpr Py_ssize_t kSegment = 128;   // cells of a row handed out together

constexpr const char kStateShape[] = "%s must be a sequence of 7 numbers (time, x, y, z, vx, vy, vz)";
constexpr const char kStateFinite[] = "%s must hold finite numbers only";
constexpr const char kStateZero[] = "%s has a zero position vector";
constexpr const char kAxisShape[] = "%s must be one-dimensional, not %d-dimensional";
constexpr const char kAxisFinite[] = "%s must hold finite numbers only";
constexpr const char kTofPositive[] = "tofs must be positive (times of flight in seconds)";
constexpr const char kTooLarge[] = "the grid of %zd x %zd cells is too large";

struct State {
    double t, r[3], v[3];
};

bool read_state(PyObject* obj, const char* name, State& out) {
    vx::check_no_pending("_porkchop: a state read with an exception pending");
    vx::Ref seq(PySequence_Fast(obj, ""));
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 7) {
        PyErr_Clear();
        return vx::fail_format(PyExc_TypeError, kStateShape, name), false;
    }
    double values[7];
    for (int k = 0; k < 7; ++k) {
        if (!vx::to_double(PySequence_Fast_GET_ITEM(seq.get(), k), values[k])) return false;
        if (!std::isfinite(values[k])) return vx::fail_format(PyExc_ValueError, kStateFinite, name), false;
    }
    out.t = values[0];
    for (int k = 0; k < 3; ++k) {
        out.r[k] = values[1 + k];
        out.v[k] = values[4 + k];
    }
    if (out.r[0] == 0 && out.r[1] == 0 && out.r[2] == 0)
        return vx::fail_format(PyExc_ValueError, kStateZero, name), false;
    return true;
}

// A 1-D array-like of real numbers as float64 values, copied: the caller's array may change while the lock is
// released. Strings, complex numbers, dates and masked arrays are refused, as by the array functions.
bool read_axis(PyObject* obj, const char* name, std::vector<double>& out) {
    vx::Ref array(vx::real_array(obj, "porkchop", name));
    vx::Buffer v;
    if (!array || !v.get(array.get(), PyBUF_STRIDES)) return false;
    if (v.view.ndim != 1) return vx::fail_format(PyExc_ValueError, kAxisShape, name, v.view.ndim), false;
    try {
        out.resize(static_cast<size_t>(v.view.shape[0]));
    } catch (...) {
        return PyErr_NoMemory(), false;
    }
    const char* base = static_cast<const char*>(v.view.buf);
    for (Py_ssize_t k = 0; k < v.view.shape[0]; ++k) {
        std::memcpy(&out[k], base + k * v.view.strides[0], sizeof(double));
        if (!std::isfinite(out[k])) return vx::fail_format(PyExc_ValueError, kAxisFinite, name), false;
    }
    return true;
}

// The first cell (in C order) whose Lambert solution failed for a reason other than "no arc exists" (the
// iteration did not converge, memory ran out, numbers beyond the solver's range): the grid raises for it
// rather than leaving a NaN cell that would read as "no arc".
struct Failure {
    std::mutex lock;
    Py_ssize_t cell = PY_SSIZE_T_MAX;
    num::LambertStatus status = num::LambertStatus::ok;

    void note(Py_ssize_t at, num::LambertStatus s) {
        std::lock_guard<std::mutex> hold(lock);
        if (at < cell) cell = at, status = s;
    }
};

std::string number_text(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

bool no_arc(num::LambertStatus s) {
    return s == num::LambertStatus::collinear || s == num::LambertStatus::non_finite_input ||
           s == num::LambertStatus::zero_position;
}

struct Grid {
    State chaser, target;
    bool prograde;
    int max_revs;
    const double* departures;
    const double* tofs;
    Py_ssize_t cols;
    double* dv_departure;
    double* dv_arrival;
    double* dv_total;
    int32_t* revolutions;
    int8_t* branch;
    Failure* failure;
};

double distance(const double a[3], const double b[3]) {
    const double d0 = a[0] - b[0], d1 = a[1] - b[1], d2 = a[2] - b[2];
    return std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
}

// Warm starts along a run of cells: each arc's x in the last two cells, extrapolated linearly to the next.
struct History {
    std::vector<double> last, before, guess;

    void reset() { last.clear(); before.clear(); }
    const double* predict() {
        guess.resize(last.size());
        for (size_t k = 0; k < last.size(); ++k)
            guess[k] = k < before.size() ? 2 * last[k] - before[k] : last[k];
        return guess.data();
    }
    void record(const num::LambertResult& lambert) {
        std::swap(before, last);
        last.resize(lambert.solutions.size());
        for (size_t k = 0; k < last.size(); ++k) last[k] = lambert.solutions[k].x;
    }
};

// Cells [begin, end) of one row. The warm starts begin afresh at `begin`, so a cell depends only on its row's
// inputs and the fixed segment it lies in.
void run_cells(const Grid& g, Py_ssize_t row, Py_ssize_t begin, Py_ssize_t end, num::LambertResult& lambert,
               History& history) {
    history.reset();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const double departure = g.departures[row];
    const double t_departure = g.chaser.t + departure;
    double r1[3], v_chaser[3];
    const bool chaser_ok =
        num::propagate(g.chaser.r, g.chaser.v, departure, MU_EARTH, r1, v_chaser) == num::KeplerStatus::ok;
    for (Py_ssize_t col = begin; col < end; ++col) {
        const Py_ssize_t cell = row * g.cols + col;
        g.dv_departure[cell] = g.dv_arrival[cell] = g.dv_total[cell] = nan;
        g.revolutions[cell] = -1;
        g.branch[cell] = 0;
        if (!chaser_ok) continue;
        const double tof = g.tofs[col];
        const double gap = (t_departure + tof) - g.target.t;
        double r2[3], v_target[3];
        if (num::propagate(g.target.r, g.target.v, gap, MU_EARTH, r2, v_target) != num::KeplerStatus::ok) {
            history.reset();
            continue;
        }
        const num::LambertStatus solved = num::solve_lambert(r1, r2, tof, MU_EARTH, g.prograde, g.max_revs, lambert,
                                                             history.predict(), static_cast<int>(history.last.size()));
        if (solved != num::LambertStatus::ok) {
            if (!no_arc(solved)) g.failure->note(cell, solved);
            history.reset();
            continue;
        }
        history.record(lambert);
        double best = std::numeric_limits<double>::infinity();
        for (const num::LambertSolution& arc : lambert.solutions) {
            const double dv1 = distance(arc.v1, v_chaser), dv2 = distance(v_target, arc.v2);
            if (!(dv1 + dv2 < best)) continue;
            best = dv1 + dv2;
            g.dv_departure[cell] = dv1;
            g.dv_arrival[cell] = dv2;
            g.dv_total[cell] = best;
            g.revolutions[cell] = arc.revolutions;
            g.branch[cell] = static_cast<int8_t>(arc.branch);
        }
    }
}

PyObject* py_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<7> params{
        "grid", {"chaser", "target", "departures", "tofs", "prograde", "max_revs", "threads"}, 4};
    vx::Bound<7> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return nullptr;
    if (!vx::import_numpy()) return nullptr;

    // One argument after another, each checked before the next is converted (no call with an error pending),
    // all before any work.
    Grid g{};
    std::vector<double> departures, tofs;
    int prograde = 1;
    g.max_revs = 0;
    if (!read_state(values[0], "chaser", g.chaser) || !read_state(values[1], "target", g.target) ||
        !read_axis(values[2], "departures", departures) || !read_axis(values[3], "tofs", tofs) ||
        (values[4] && (prograde = vx::to_flag(values[4], "porkchop", "prograde")) < 0) ||
        (values[5] && !vx::to_count(values[5], "porkchop", "max_revs", num::max_lambert_revolutions, g.max_revs)))
        return nullptr;
    for (double tof : tofs)
        if (!(tof > 0)) return vx::fail(PyExc_ValueError, kTofPositive);
    const int threads = vx::parse_threads(values[6]);
    if (threads == 0) return nullptr;
    g.prograde = prograde != 0;
    Failure failure;
    g.failure = &failure;

    const Py_ssize_t rows = static_cast<Py_ssize_t>(departures.size());
    const Py_ssize_t cols = static_cast<Py_ssize_t>(tofs.size());
    if (cols > 0 && rows > PY_SSIZE_T_MAX / 16 / cols) return vx::fail_format(PyExc_MemoryError, kTooLarge, rows, cols);
    vx::Buffer views[5];
    PyObject* dtypes[5] = {vx::np.float64, vx::np.float64, vx::np.float64, vx::np.int32, vx::np.int8};
    vx::Ref shape(Py_BuildValue("(nn)", rows, cols));
    vx::Ref arrays[5];
    for (int k = 0; k < 5; ++k)
        if (!shape || !(arrays[k] = vx::Ref(vx::new_array(shape.get(), dtypes[k], views[k])))) return nullptr;
    g.departures = departures.data();
    g.tofs = tofs.data();
    g.cols = cols;
    g.dv_departure = static_cast<double*>(views[0].view.buf);
    g.dv_arrival = static_cast<double*>(views[1].view.buf);
    g.dv_total = static_cast<double*>(views[2].view.buf);
    g.revolutions = static_cast<int32_t*>(views[3].view.buf);
    g.branch = static_cast<int8_t*>(views[4].view.buf);

    const Py_ssize_t segments = cols == 0 ? 0 : (cols + kSegment - 1) / kSegment;
    bool done = vx::parallel_for(rows * segments, threads, 1, 2, [&](Py_ssize_t begin, Py_ssize_t end) {
        // Buffers reused by every cell of the block (out of memory in them ends the process, as any
        // allocation failure of a worker thread must).
        num::LambertResult lambert;
        History history;
        for (Py_ssize_t item = begin; item < end; ++item) {
            const Py_ssize_t row = item / segments, first = (item % segments) * kSegment;
            run_cells(g, row, first, std::min(cols, first + kSegment), lambert, history);
        }
    });
    if (!done) return nullptr;
    if (failure.cell != PY_SSIZE_T_MAX) {
        const Py_ssize_t row = failure.cell / cols, col = failure.cell % cols;
        if (failure.status == num::LambertStatus::out_of_memory) return PyErr_NoMemory();
        return vx::fail_format(failure.status == num::LambertStatus::no_convergence ? PyExc_RuntimeError
                                                                                    : PyExc_ValueError,
                               "porkchop(): the cell of departure %s s and time of flight %s s has no answer: %s",
                               number_text(departures[row]).c_str(), number_text(tofs[col]).c_str(),
                               num::lambert_status_message(failure.status));
    }
    for (vx::Buffer& v : views) v.release();
    return PyTuple_Pack(5, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get());
}

PyMethodDef module_functions[] = {
    vx::method("grid", py_grid, METH_FASTCALL | METH_KEYWORDS,
               "grid(chaser, target, departures, tofs, prograde=True, max_revs=0, threads=None)\n--\n\n"
               "The porkchop grid between two states. chaser and target are 7-sequences (time, x, y, z, vx, vy,\n"
               "vz) in s, km and km/s; departures are offsets from the chaser's time and tofs times of flight,\n"
               "both 1-D (s). Returns (dv_departure, dv_arrival, dv_total, revolutions, branch), arrays of\n"
               "shape (len(departures), len(tofs)): float64 delta-v magnitudes (km/s) of each cell's cheapest\n"
               "arc, int32 revolution counts and int8 branches (0 for no revolutions, -1 left, +1 right).\n"
               "Cells without an arc hold NaN and revolutions -1. The target is moved to each arrival epoch\n"
               "(forwards or backwards) with mu = 398600.5 km^3/s^2. threads: None for every core, or an int;\n"
               "the results do not depend on it."),
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject*) { return true; }

}  // namespace

VX_MODULE(_porkchop, "vextal.astro._porkchop", "The porkchop grid: Lambert transfers over departure and flight time.",
          module_functions, setup)
