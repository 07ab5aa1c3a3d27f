// vextal.astro._porkchop: bindings of the porkchop grid (numerics/porkchop.hpp) and of the trajectory seam
// (numerics/trajectory.hpp): arguments are read and copied with the interpreter lock held, then the core runs
// off the lock on every core.
#include "native/numpy.hpp"
#include "native/parallel.hpp"
#include "native/record.hpp"
#include "native/status.hpp"
#include "native/support.hpp"
#include "astro/numerics/constants.hpp"
#include "astro/numerics/geodesy.hpp"
#include "astro/numerics/porkchop.hpp"
#include "astro/numerics/trajectory.hpp"

#include <atomic>
#include <cmath>
#include <utility>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace num = vextal::numerics;

namespace {

constexpr const char kStateShape[] = "%s must be a sequence of 7 numbers (time, x, y, z, vx, vy, vz)";
constexpr const char kStateFinite[] = "%s must hold finite numbers only";
constexpr const char kStateZero[] = "%s has a zero position vector";
constexpr const char kAxisShape[] = "%s must be one-dimensional, not %d-dimensional";
constexpr const char kAxisFinite[] = "%s must hold finite numbers only";
constexpr const char kTofPositive[] = "tofs must be positive (times of flight in seconds)";
constexpr const char kTooLarge[] = "the grid of %zd x %zd cells is too large";

constexpr const char kTableShape[] =
    "%s: a table needs epochs (n,) and positions and velocities (n, 3) with n >= 2, not %R, %R and %R";
constexpr const char kTableOrder[] = "%s: the table's epochs must be strictly increasing";
constexpr const char kEpochFinite[] = "grid(): epoch must be a finite number";
constexpr const char kOutside[] = "epoch %.17g lies outside the table's span [%.17g, %.17g]";

struct State {
    double t, r[3], v[3];
};

bool read_state(PyObject* obj, const char* name, State& out) {
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

// An array-like as finite float64 values in C order, copied: the caller's array may change while the lock is
// released. `shape` receives the array's shape (a new tuple).
bool read_values(PyObject* obj, const char* name, std::vector<double>& out, vx::Ref& shape) {
    // The shape before np.ascontiguousarray, which turns a 0-d array into a 1-d one.
    vx::Ref raw(vx::real_array(obj, "porkchop", name));  // strings, dates, masked arrays refused
    shape = vx::Ref(raw ? PyObject_GetAttrString(raw.get(), "shape") : nullptr);
    vx::Ref array(shape ? PyObject_CallOneArg(vx::np.ascontiguousarray, raw.get()) : nullptr);
    vx::Buffer v;
    if (!array || !v.get(array.get(), PyBUF_C_CONTIGUOUS)) return false;
    const size_t n = static_cast<size_t>(v.view.len) / sizeof(double);
    try {
        out.assign(v.data<const double>(), v.data<const double>() + n);
    } catch (...) {
        return PyErr_NoMemory(), false;
    }
    for (double value : out)
        if (!std::isfinite(value)) return vx::fail_format(PyExc_ValueError, kAxisFinite, name), false;
    return true;
}

// A 1-D array-like as float64 values, copied.
bool read_axis(PyObject* obj, const char* name, std::vector<double>& out) {
    vx::Ref shape;
    if (!read_values(obj, name, out, shape)) return false;
    if (PyTuple_GET_SIZE(shape.get()) != 1)
        return vx::fail_format(PyExc_ValueError, kAxisShape, name, int(PyTuple_GET_SIZE(shape.get()))), false;
    return true;
}

// A trajectory as the core reads it, with copies of a table's samples.
struct Source {
    std::vector<double> epochs, positions, velocities;
    num::Trajectory trajectory;
};

bool read_table(PyObject* epochs, PyObject* positions, PyObject* velocities, const char* name, Source& out) {
    vx::Ref shapes[3];
    if (!read_values(epochs, name, out.epochs, shapes[0]) || !read_values(positions, name, out.positions, shapes[1]) ||
        !read_values(velocities, name, out.velocities, shapes[2]))
        return false;
    const size_t n = out.epochs.size();
    if (PyTuple_GET_SIZE(shapes[0].get()) != 1 || n < 2 || PyTuple_GET_SIZE(shapes[1].get()) != 2 ||
        PyTuple_GET_SIZE(shapes[2].get()) != 2 || out.positions.size() != 3 * n || out.velocities.size() != 3 * n ||
        PyLong_AsLong(PyTuple_GET_ITEM(shapes[1].get(), 1)) != 3 ||
        PyLong_AsLong(PyTuple_GET_ITEM(shapes[2].get(), 1)) != 3) {
        PyErr_Clear();
        return vx::fail_format(PyExc_ValueError, kTableShape, name, shapes[0].get(), shapes[1].get(),
                               shapes[2].get()),
               false;
    }
    for (size_t k = 1; k < n; ++k)
        if (!(out.epochs[k] > out.epochs[k - 1])) return vx::fail_format(PyExc_ValueError, kTableOrder, name), false;
    out.trajectory = num::Trajectory::table(
        {out.epochs.data(), out.positions.data(), out.velocities.data(), static_cast<std::ptrdiff_t>(n)});
    return true;
}

// A 7-sequence (two-body under the package's mu), a table (an object with `epochs`, `positions` and
// `velocities`) or a two-body trajectory (an object with `state` and `mu`).
bool read_source(PyObject* obj, const char* name, Source& out) {
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) {
        vx::Ref epochs(PyObject_GetAttrString(obj, "epochs"));
        if (epochs) {
            vx::Ref positions(PyObject_GetAttrString(obj, "positions"));
            vx::Ref velocities(positions ? PyObject_GetAttrString(obj, "velocities") : nullptr);
            return velocities && read_table(epochs.get(), positions.get(), velocities.get(), name, out);
        }
        PyErr_Clear();
        vx::Ref state(PyObject_GetAttrString(obj, "state"));
        vx::Ref mu_obj(state ? PyObject_GetAttrString(obj, "mu") : nullptr);
        if (mu_obj) {
            double mu;
            if (!vx::to_double(mu_obj.get(), mu)) return false;
            if (!(mu > 0) || !std::isfinite(mu))
                return vx::fail_format(PyExc_ValueError, "%s: mu must be a positive finite number", name), false;
            State s;
            if (!read_state(state.get(), name, s)) return false;
            out.trajectory = num::Trajectory::two_body(
                {s.t, {s.r[0], s.r[1], s.r[2]}, {s.v[0], s.v[1], s.v[2]}, mu});
            return true;
        }
        PyErr_Clear();
    }
    State s;
    if (!read_state(obj, name, s)) return false;
    out.trajectory = num::Trajectory::two_body({s.t, {s.r[0], s.r[1], s.r[2]}, {s.v[0], s.v[1], s.v[2]}});
    return true;
}

PyObject* py_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<8> params{
        "grid", {"chaser", "target", "departures", "tofs", "prograde", "max_revs", "threads", "epoch"}, 4};
    vx::Bound<8> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return nullptr;
    if (!vx::import_numpy()) return nullptr;

    num::PorkchopGrid g{};
    Source chaser, target;
    std::vector<double> departures, tofs;
    // One argument after another, each checked before the next is converted (no call with an error pending),
    // all before any work.
    int prograde = 1;
    if (!read_source(values[0], "chaser", chaser) || !read_source(values[1], "target", target) ||
        !read_axis(values[2], "departures", departures) || !read_axis(values[3], "tofs", tofs) ||
        (values[4] && (prograde = vx::to_flag(values[4], "porkchop", "prograde")) < 0) ||
        (values[5] && !vx::to_count(values[5], "porkchop", "max_revs", num::max_lambert_revolutions,
                                    g.options.max_revs)))
        return nullptr;
    for (double tof : tofs)
        if (!(tof > 0)) return vx::fail(PyExc_ValueError, kTofPositive);
    const int threads = vx::parse_threads(values[6]);
    if (threads == 0) return nullptr;
    g.options.prograde = prograde != 0;
    // Departure offsets count from `epoch` when given: a table sampled for the window starts at its first
    // departure, not at the epoch of the object it samples.
    g.epoch = chaser.trajectory.epoch();
    if (values[7] && values[7] != Py_None) {
        if (!vx::to_double(values[7], g.epoch)) return nullptr;
        if (!std::isfinite(g.epoch)) return vx::fail(PyExc_ValueError, kEpochFinite);
    }

    const Py_ssize_t rows = static_cast<Py_ssize_t>(departures.size());
    const Py_ssize_t cols = static_cast<Py_ssize_t>(tofs.size());
    if (cols > 0 && rows > PY_SSIZE_T_MAX / 16 / cols) return vx::fail_format(PyExc_MemoryError, kTooLarge, rows, cols);
    vx::Buffer views[5];
    PyObject* dtypes[5] = {vx::np.float64, vx::np.float64, vx::np.float64, vx::np.int32, vx::np.int8};
    vx::Ref shape(Py_BuildValue("(nn)", rows, cols));
    vx::Ref arrays[5];
    for (int k = 0; k < 5; ++k)
        if (!shape || !(arrays[k] = vx::Ref(vx::new_array(shape.get(), dtypes[k], views[k])))) return nullptr;
    g.chaser = &chaser.trajectory;
    g.target = &target.trajectory;
    g.departures = departures.data();
    g.tofs = tofs.data();
    g.rows = rows;
    g.cols = cols;
    g.out = {views[0].data<double>(), views[1].data<double>(), views[2].data<double>(), views[3].data<int32_t>(),
             views[4].data<int8_t>()};

    std::atomic<int> failed{0};
    bool done = vx::parallel_for(num::porkchop_items(rows, cols), threads, 1, 2, [&](Py_ssize_t begin, Py_ssize_t end) {
        // Scratch reused by every cell of the block (out of memory in it ends the process, as any allocation
        // failure of a worker thread must).
        num::PorkchopWorkspace work;
        const num::LambertStatus s = num::porkchop_run(g, begin, end, work);
        int none = 0;
        if (s != num::LambertStatus::ok) failed.compare_exchange_strong(none, static_cast<int>(s));
    });
    if (!done) return nullptr;
    if (failed) {  // a cell without an answer that is not "no arc": never leave it as a NaN that reads so
        const auto s = static_cast<num::LambertStatus>(failed.load());
        return PyErr_Format(vx::exception_of(s), "porkchop(): a cell has no answer: %s", num::lambert_status_message(s));
    }
    for (vx::Buffer& v : views) v.release();
    return PyTuple_Pack(5, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get());
}

// States of a table at the epochs `at` (any shape): (positions, velocities) of shape at.shape + (3,).
PyObject* py_interpolate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<4> params{"interpolate", {"epochs", "positions", "velocities", "at"}, 4};
    vx::Bound<4> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values) || !vx::import_numpy()) return nullptr;
    Source table;
    std::vector<double> at;
    vx::Ref at_shape;
    if (!read_table(values[0], values[1], values[2], "table", table) || !read_values(values[3], "at", at, at_shape))
        return nullptr;
    vx::Ref tail(Py_BuildValue("(i)", 3));
    vx::Ref shape(tail ? PySequence_Concat(at_shape.get(), tail.get()) : nullptr);
    vx::Buffer r_buf, v_buf;
    vx::Ref r(shape ? vx::new_array(shape.get(), vx::np.float64, r_buf) : nullptr);
    vx::Ref v(r ? vx::new_array(shape.get(), vx::np.float64, v_buf) : nullptr);
    if (!v) return nullptr;
    double* ro = r_buf.data<double>();
    double* vo = v_buf.data<double>();
    for (size_t i = 0; i < at.size(); ++i) {
        num::Vec3 ri, vi;
        if (table.trajectory.state(at[i], 0.0, ri, vi) != num::TrajectoryStatus::ok) {
            char text[160];
            std::snprintf(text, sizeof text, kOutside, at[i], table.epochs.front(), table.epochs.back());
            return vx::fail(PyExc_ValueError, text);
        }
        const double rows[6] = {ri.x, ri.y, ri.z, vi.x, vi.y, vi.z};
        std::memcpy(ro + 3 * i, rows, 3 * sizeof(double));
        std::memcpy(vo + 3 * i, rows + 3, 3 * sizeof(double));
    }
    r_buf.release();
    v_buf.release();
    return PyTuple_Pack(2, r.get(), v.get());
}

PyObject* py_slot_arc(PyObject*, PyObject* arg) noexcept {
    int slot;
    if (!vx::to_int(arg, slot)) return nullptr;
    if (slot < 0) return vx::fail_format(PyExc_ValueError, "slot_arc(): slot must not be negative (got %d)", slot);
    return Py_BuildValue("(ii)", num::slot_revolutions(slot), num::slot_branch(slot));
}

PyMethodDef module_functions[] = {
    vx::method("grid", py_grid, METH_FASTCALL | METH_KEYWORDS,
               "grid(chaser, target, departures, tofs, prograde=True, max_revs=0, threads=None, epoch=None)\n--\n\n"
               "The porkchop grid between two states. chaser and target are 7-sequences (time, x, y, z, vx, vy,\n"
               "vz) in s, km and km/s; departures are offsets from the chaser's time and tofs times of flight,\n"
               "both 1-D (s). Returns (dv_departure, dv_arrival, dv_total, revolutions, branch), arrays of\n"
               "shape (len(departures), len(tofs)): float64 delta-v magnitudes (km/s) of each cell's cheapest\n"
               "arc, int32 revolution counts and int8 branches (0 for no revolutions, -1 left, +1 right).\n"
               "Cells without an arc hold NaN and revolutions -1. The target is moved to each arrival epoch\n"
               "(forwards or backwards) with mu = 398600.5 km^3/s^2. chaser and target may also be trajectories:\n"
               "an object with epochs, positions and velocities (a table, read by cubic Hermite interpolation;\n"
               "cells outside its span are NaN) or with state and mu (two-body). threads: None for every core,\n"
               "or an int; the results do not depend on it. epoch: the epoch the departure offsets count from\n"
               "(default: the chaser's, a table's first sample)."),
    vx::method("interpolate", py_interpolate, METH_FASTCALL | METH_KEYWORDS,
               "interpolate(epochs, positions, velocities, at)\n--\n\n"
               "States of a sampled table at the epochs `at` (any shape) by piecewise cubic Hermite interpolation\n"
               "from the bracketing samples: (positions, velocities), float64 of shape at.shape + (3,). epochs\n"
               "(n,) strictly increasing, positions and velocities (n, 3), n >= 2. ValueError for an epoch\n"
               "outside [epochs[0], epochs[-1]]."),
    {"slot_arc", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_slot_arc)), METH_O,
     "slot_arc(slot, /)\n--\n\n(revolutions, branch) of Lambert solution slot `slot` in the solver's order: slot 0\n"
     "has no revolutions (branch 0), then per revolution count the left (-1) and the right (+1) branch."},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject* module) {
    // The package's constants, for the Python modules that need them.
    const std::pair<const char*, double> constants[] = {{"MU_EARTH", num::mu_earth},
                                                        {"EARTH_EQUATORIAL_RADIUS", num::earth_ellipsoid.a},
                                                        {"EARTH_ECCENTRICITY_SQ", num::earth_ellipsoid.e2},
                                                        {"EARTH_J2", num::j2_earth}};
    for (const auto& [name, value] : constants) {
        vx::Ref number(PyFloat_FromDouble(value));
        if (!number || PyModule_AddObject(module, name, number.get()) < 0) return false;
        number.release();
    }
    return true;
}

}  // namespace

VX_MODULE(_porkchop, "vextal.astro._porkchop", "The porkchop grid: Lambert transfers over departure and flight time.",
          module_functions, setup)
