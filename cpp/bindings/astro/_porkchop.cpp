// vextal.astro._porkchop: bindings of the porkchop grid (numerics/porkchop.hpp) and of the trajectory seam
// (numerics/trajectory.hpp): arguments are read and copied with the interpreter lock held, then the core runs
// off the lock on every core.
#include "native/forces.hpp"
#include "native/numpy.hpp"
#include "native/parallel.hpp"
#include "native/record.hpp"
#include "native/status.hpp"
#include "native/support.hpp"
#include "core/constants.hpp"
#include "core/exact_cells.hpp"
#include "core/geodesy.hpp"
#include "core/j2.hpp"
#include "core/porkchop.hpp"
#include "core/trajectory.hpp"

#include <atomic>
#include <cmath>
#include <utility>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
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
constexpr const char kEpochFinite[] = "epoch must be a finite number (s), the epoch departures count from";
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

// A 7-sequence (two-body under `mu`, the grid's), a table (an object with `epochs`, `positions` and
// `velocities`) or a two-body trajectory (an object with `state` and `mu`).
bool read_source(PyObject* obj, const char* name, Source& out, double mu = num::mu_earth) {
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
            double own_mu;  // a two-body trajectory moves under its own mu
            if (!vx::to_double(mu_obj.get(), own_mu)) return false;
            if (!(own_mu > 0) || !std::isfinite(own_mu))
                return vx::fail_format(PyExc_ValueError, "%s: mu must be a positive finite number", name), false;
            State s;
            if (!read_state(state.get(), name, s)) return false;
            out.trajectory = num::Trajectory::two_body(
                {s.t, {s.r[0], s.r[1], s.r[2]}, {s.v[0], s.v[1], s.v[2]}, own_mu});
            return true;
        }
        PyErr_Clear();
    }
    State s;
    if (!read_state(obj, name, s)) return false;
    out.trajectory = num::Trajectory::two_body({s.t, {s.r[0], s.r[1], s.r[2]}, {s.v[0], s.v[1], s.v[2]}, mu});
    return true;
}

// An offset (dr, di, dc) in km: None for none, else three finite numbers.
bool read_offset(PyObject* obj, const char* name, num::Vec3& out) {
    if (!obj || obj == Py_None) return true;
    vx::Ref seq(PySequence_Fast(obj, ""));
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 3) {
        PyErr_Clear();
        return vx::fail_format(PyExc_TypeError, "%s must be None or 3 numbers (radial, in-track, cross-track km)",
                               name),
               false;
    }
    double d[3];
    for (int k = 0; k < 3; ++k) {
        if (!vx::to_double(PySequence_Fast_GET_ITEM(seq.get(), k), d[k])) return false;
        if (!std::isfinite(d[k])) return vx::fail_format(PyExc_ValueError, "%s must hold finite numbers", name), false;
    }
    out = {d[0], d[1], d[2]};
    return true;
}

// The planning options every entry shares: prograde and max_revs, then (after the entry's threads) mu, cost,
// min_radius, arrive_at, depart_from. None (or absent) leaves a default; min_radius defaults to the Earth's
// equatorial radius under the Earth's mu and to none under any other.
#define VX_PLANNING_NAMES "mu", "cost", "min_radius", "arrive_at", "depart_from"

bool read_options(PyObject* prograde_obj, PyObject* max_revs_obj, PyObject* const* planning,
                  num::PorkchopOptions& o) {
    // A strict bool (None: the default) and a whole, non-negative revolution count.
    if (prograde_obj && prograde_obj != Py_None) {
        const int prograde = vx::to_flag(prograde_obj, "porkchop", "prograde");
        if (prograde < 0) return false;
        o.prograde = prograde != 0;
    }
    if (max_revs_obj && !vx::to_count(max_revs_obj, "porkchop", "max_revs", num::max_lambert_revolutions, o.max_revs))
        return false;
    PyObject* const* v = planning - 2;  // v[2] mu, v[3] cost, v[4] min_radius, v[5] arrive_at, v[6] depart_from
    if (v[2] && v[2] != Py_None) {
        if (!vx::to_double(v[2], o.mu)) return false;
        if (!(o.mu > 0) || !std::isfinite(o.mu))
            return vx::fail(PyExc_ValueError, "mu must be a positive finite number (km^3/s^2)"), false;
    }
    if (v[3] && v[3] != Py_None) {
        if (!PyUnicode_Check(v[3]))
            return vx::fail(PyExc_TypeError, "cost must be \"rendezvous\" or \"intercept\""), false;
        if (PyUnicode_CompareWithASCIIString(v[3], "intercept") == 0) {
            o.intercept = true;
        } else if (PyUnicode_CompareWithASCIIString(v[3], "rendezvous") != 0) {
            return vx::fail_format(PyExc_ValueError, "cost must be \"rendezvous\" or \"intercept\", not %R", v[3]),
                   false;
        }
    }
    o.min_radius = o.mu == num::mu_earth ? num::earth_ellipsoid.a : 0.0;
    if (v[4] && v[4] != Py_None) {
        if (!vx::to_double(v[4], o.min_radius)) return false;
        if (!(o.min_radius >= 0) || !std::isfinite(o.min_radius))
            return vx::fail(PyExc_ValueError, "min_radius must be a finite number >= 0 (km; 0 for no screen)"),
                   false;
    }
    return read_offset(v[5], "arrive_at", o.arrive_at) && read_offset(v[6], "depart_from", o.depart_from);
}

// The flight model of exact cells: None (two-body arcs); ("j2", j2, radius), which flies under the grid's mu
// and the Earth's oblateness term j2 about the equatorial radius `radius` (km); or a force model as
// vextal.astro.forces packs it (a list of (name, parameters, pole) triples, Model.packed). Sets `exact`.
bool read_model(const char* func, PyObject* obj, const num::PorkchopOptions& o, num::ExactOptions& out,
                bool& exact) {
    exact = false;
    if (!obj || obj == Py_None) return true;
    constexpr const char kModel[] =
        "flight must be None, (\"j2\", j2, radius) or a packed force model (a list of (name, parameters, pole))";
    vx::Ref seq(PySequence_Fast(obj, ""));
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) == 0) {
        PyErr_Clear();
        return vx::fail(PyExc_TypeError, kModel), false;
    }
    auto forces = std::make_shared<num::ForceModel>();
    PyObject* head = PySequence_Fast_GET_ITEM(seq.get(), 0);
    if (!PyUnicode_Check(head)) {  // a packed force model
        if (!vx::parse_forces(func, seq.get(), *forces)) return false;
        out.model.forces = std::move(forces);
        exact = true;
        return true;
    }
    if (PySequence_Fast_GET_SIZE(seq.get()) != 3) return vx::fail(PyExc_TypeError, kModel), false;
    if (PyUnicode_CompareWithASCIIString(head, "j2") != 0)
        return vx::fail_format(PyExc_ValueError,
                               "flight: unknown flight model %R (\"j2\", or a force model packed as a list)", head),
               false;
    double j2, radius;
    if (!vx::to_double(PySequence_Fast_GET_ITEM(seq.get(), 1), j2) ||
        !vx::to_double(PySequence_Fast_GET_ITEM(seq.get(), 2), radius))
        return false;
    if (!std::isfinite(j2) || !(radius > 0) || !std::isfinite(radius))
        return vx::fail(PyExc_ValueError, "flight: j2 must be finite and radius positive and finite (km)"), false;
    if (!num::j2_force_model(num::J2Model{o.mu, j2, radius}, *forces)) return PyErr_NoMemory(), false;
    out.model.forces = std::move(forces);
    exact = true;
    return true;
}

// The epoch departure offsets count from: `obj`, or (None) the chaser's own, which for a table is its first
// sample; a table sampled for a window starts at the first departure, not at the epoch of the object it samples.
bool read_epoch(PyObject* obj, const Source& chaser, double& out) {
    out = chaser.trajectory.epoch();
    if (!obj || obj == Py_None) return true;
    if (!vx::to_double(obj, out)) return false;
    if (!std::isfinite(out)) return vx::fail(PyExc_ValueError, kEpochFinite), false;
    return true;
}

PyObject* py_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<14> params{
        "grid",
        {"chaser", "target", "departures", "tofs", "prograde", "max_revs", "threads", VX_PLANNING_NAMES, "epoch",
         "flight"},
        4};
    vx::Bound<14> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values)) return nullptr;
    if (!vx::import_numpy()) return nullptr;

    num::PorkchopGrid g{};
    Source chaser, target;
    std::vector<double> departures, tofs;
    if (!read_options(values[4], values[5], values + 7, g.options) ||
        !read_source(values[0], "chaser", chaser, g.options.mu) ||
        !read_source(values[1], "target", target, g.options.mu) ||
        !read_axis(values[2], "departures", departures) || !read_axis(values[3], "tofs", tofs))
        return nullptr;
    for (double tof : tofs)
        if (!(tof > 0)) return vx::fail(PyExc_ValueError, kTofPositive);
    const int threads = vx::parse_threads(values[6]);
    num::ExactOptions exact;
    bool is_exact = false;
    if (threads == 0 || !read_epoch(values[12], chaser, g.epoch) ||
        !read_model("grid", values[13], g.options, exact, is_exact))
        return nullptr;

    const Py_ssize_t rows = static_cast<Py_ssize_t>(departures.size());
    const Py_ssize_t cols = static_cast<Py_ssize_t>(tofs.size());
    if (cols > 0 && rows > PY_SSIZE_T_MAX / 16 / cols) return vx::fail_format(PyExc_MemoryError, kTooLarge, rows, cols);
    constexpr int kMost = 8;
    const int kOut = is_exact ? 8 : 6;  // exact cells add the miss and the two-body arcs' cost
    vx::Buffer views[kMost];
    PyObject* dtypes[kMost] = {vx::np.float64, vx::np.float64, vx::np.float64, vx::np.int32,
                               vx::np.int8,    vx::np.int8,    vx::np.float64, vx::np.float64};
    vx::Ref shape(Py_BuildValue("(nn)", rows, cols));
    vx::Ref arrays[kMost];
    for (int k = 0; k < kOut; ++k)
        if (!shape || !(arrays[k] = vx::Ref(vx::new_array(shape.get(), dtypes[k], views[k])))) return nullptr;
    g.chaser = &chaser.trajectory;
    g.target = &target.trajectory;
    g.departures = departures.data();
    g.tofs = tofs.data();
    g.rows = rows;
    g.cols = cols;
    g.out = {views[0].data<double>(), views[1].data<double>(), views[2].data<double>(), views[3].data<int32_t>(),
             views[4].data<int8_t>(), views[5].data<int8_t>()};
    if (is_exact) {
        g.out.miss = views[6].data<double>();
        g.out.dv_total_arc = views[7].data<double>();
        g.exact = &exact;
    }

    std::atomic<int> failed{0};
    bool done = vx::parallel_for(num::porkchop_items(rows, cols), threads, 1, 2, [&](Py_ssize_t begin, Py_ssize_t end) {
        // Scratch reused by every cell of the block (out of memory in it ends the process, as any allocation
        // failure of a worker thread must).
        num::PorkchopWorkspace work;
        num::ExactWorkspace exact_work;
        work.exact = &exact_work;
        const num::LambertStatus s = num::porkchop_run(g, begin, end, work);
        int none = 0;
        if (s != num::LambertStatus::ok) failed.compare_exchange_strong(none, static_cast<int>(s));
    });
    if (!done) return nullptr;
    if (failed) {  // a cell without an answer that is not "no arc": never leave it as a NaN that reads so
        const auto s = static_cast<num::LambertStatus>(failed.load());
        return PyErr_Format(vx::exception_of(s), "porkchop(): a cell has no answer: %s", num::lambert_status_message(s));
    }
    for (int k = 0; k < kOut; ++k) views[k].release();
    if (is_exact)
        return PyTuple_Pack(8, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get(),
                            arrays[5].get(), arrays[6].get(), arrays[7].get());
    return PyTuple_Pack(6, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get(),
                        arrays[5].get());
}

PyObject* vector(num::Vec3 a) { return Py_BuildValue("(ddd)", a.x, a.y, a.z); }

// One cell alone: (status, revolutions, branch, r1, v_start, v1, r2, v_goal, v2), the vectors as 3-tuples
// (None where the cell has no arc).
PyObject* py_cell(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<14> params{
        "cell",
        {"chaser", "target", "departure", "tof", "prograde", "max_revs", "slot", VX_PLANNING_NAMES, "epoch", "flight"},
        4};
    vx::Bound<14> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values) || !vx::import_numpy()) return nullptr;
    num::PorkchopOptions o;
    Source chaser, target;
    double departure, tof, epoch;
    int slot = -1;
    if (!read_options(values[4], values[5], values + 7, o) || !read_source(values[0], "chaser", chaser, o.mu) ||
        !read_source(values[1], "target", target, o.mu) || !vx::to_double(values[2], departure) ||
        !vx::to_double(values[3], tof) || (values[6] && values[6] != Py_None && !vx::to_int(values[6], slot)) ||
        !read_epoch(values[12], chaser, epoch))
        return nullptr;
    num::ExactOptions exact;
    bool is_exact = false;
    if (!read_model("cell", values[13], o, exact, is_exact)) return nullptr;
    if (!std::isfinite(departure) || !(tof > 0) || !std::isfinite(tof))
        return vx::fail(PyExc_ValueError, "cell(): departure must be finite and tof positive and finite");
    num::LambertResult work;
    num::CellEnds ends;
    num::CellArc arc;
    num::CellStatus status;
    double miss = 0;
    try {
        if (is_exact) {
            num::ExactArc exact_arc;
            bool no_memory = false;
            status = num::CellStatus::no_arc;
            Py_BEGIN_ALLOW_THREADS  // shooting in the model takes milliseconds; nothing may throw past here
            try {
                status = num::exact_single_cell(chaser.trajectory, target.trajectory, o, exact, epoch, departure,
                                                tof, slot, work, ends, exact_arc);
            } catch (const std::bad_alloc&) {
                no_memory = true;
            }
            Py_END_ALLOW_THREADS
            if (no_memory) return PyErr_NoMemory();
            arc = exact_arc.arc;
            miss = exact_arc.miss;
        } else {
            status = num::porkchop_cell(chaser.trajectory, target.trajectory, o, epoch, departure, tof, slot, work,
                                        ends, arc);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (status == num::CellStatus::no_arc && work.status != num::LambertStatus::ok && !num::lambert_no_arc(work.status))
        return PyErr_Format(vx::exception_of(work.status), "cell(): the cell has no answer: %s",
                            num::lambert_status_message(work.status));
    if (status != num::CellStatus::ok && is_exact)
        return Py_BuildValue("(iiiOOOOOOO)", int(status), -1, 0, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None,
                             Py_None);
    if (status != num::CellStatus::ok)
        return Py_BuildValue("(iiiOOOOOO)", int(status), -1, 0, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None);
    vx::Ref parts[6] = {vx::Ref(vector(ends.r1)), vx::Ref(vector(ends.v_start)), vx::Ref(vector(arc.v1)),
                        vx::Ref(vector(ends.r2)), vx::Ref(vector(ends.v_goal)), vx::Ref(vector(arc.v2))};
    for (const vx::Ref& part : parts)
        if (!part) return nullptr;
    if (is_exact)
        return Py_BuildValue("(iiiOOOOOOd)", int(status), arc.revolutions, arc.branch, parts[0].get(), parts[1].get(),
                             parts[2].get(), parts[3].get(), parts[4].get(), parts[5].get(), miss);
    return Py_BuildValue("(iiiOOOOOO)", int(status), arc.revolutions, arc.branch, parts[0].get(), parts[1].get(),
                         parts[2].get(), parts[3].get(), parts[4].get(), parts[5].get());
}

// Passive safety of cells given by departure, tof, revolutions and branch (1-D, same length): (arc_range,
// drift_range, arc_where (n, 3), drift_where (n, 3), status), NaN where a cell has no arc.
PyObject* py_safety(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static vx::Params<16> params{"safety",
                                 {"chaser", "target", "departures", "tofs", "revolutions", "branch", "orbits",
                                  "prograde", "max_revs", "threads", VX_PLANNING_NAMES, "epoch"},
                                 7};
    vx::Bound<16> values;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values) || !vx::import_numpy()) return nullptr;
    num::PorkchopOptions o;
    Source chaser, target;
    std::vector<double> departures, tofs, revolutions, branches;
    double orbits, epoch;
    if (!read_options(values[7], values[8], values + 10, o) || !read_source(values[0], "chaser", chaser, o.mu) ||
        !read_source(values[1], "target", target, o.mu) || !read_axis(values[2], "departures", departures) ||
        !read_axis(values[3], "tofs", tofs) || !read_axis(values[4], "revolutions", revolutions) ||
        !read_axis(values[5], "branch", branches) || !vx::to_double(values[6], orbits) ||
        !read_epoch(values[15], chaser, epoch))
        return nullptr;
    const size_t n = departures.size();
    if (tofs.size() != n || revolutions.size() != n || branches.size() != n)
        return vx::fail(PyExc_ValueError, "safety(): departures, tofs, revolutions and branch differ in length");
    if (!(orbits >= 0) || !std::isfinite(orbits) || orbits > 1000)
        return vx::fail(PyExc_ValueError, "orbits must be a number from 0 to 1000 (target periods of free drift)");
    for (double tof : tofs)
        if (!(tof > 0)) return vx::fail(PyExc_ValueError, kTofPositive);
    const int threads = vx::parse_threads(values[9]);
    if (threads == 0) return nullptr;
    const Py_ssize_t count = static_cast<Py_ssize_t>(n);
    vx::Buffer views[5];
    vx::Ref shape1(Py_BuildValue("(n)", count)), shape3(Py_BuildValue("(ni)", count, 3));
    PyObject* shapes[5] = {shape1.get(), shape1.get(), shape3.get(), shape3.get(), shape1.get()};
    PyObject* dtypes[5] = {vx::np.float64, vx::np.float64, vx::np.float64, vx::np.float64, vx::np.int8};
    vx::Ref arrays[5];
    for (int k = 0; k < 5; ++k)
        if (!shape1 || !shape3 || !(arrays[k] = vx::Ref(vx::new_array(shapes[k], dtypes[k], views[k])))) return nullptr;
    double* arc = views[0].data<double>();
    double* drift = views[1].data<double>();
    double* arc_where = views[2].data<double>();
    double* drift_where = views[3].data<double>();
    int8_t* status = views[4].data<int8_t>();
    std::atomic<int> failed{0};  // the first Lambert failure other than "no arc"
    bool done = vx::parallel_for(count, threads, 4, 2, [&](Py_ssize_t begin, Py_ssize_t end) {
        num::LambertResult work;
        for (Py_ssize_t i = begin; i < end; ++i) {
            work.status = num::LambertStatus::ok;
            num::SafetyResult r;
            num::CellStatus s = num::CellStatus::no_arc;
            // A count or branch that names no arc (out of range, not whole) leaves the cell without one; the
            // range check comes before the conversion to int.
            const double revs = revolutions[i], branch = branches[i];
            const bool named = revs >= 0 && revs <= num::max_lambert_revolutions && revs == std::floor(revs) &&
                               (branch == -1 || branch == 0 || branch == 1);
            const int slot = named ? num::slot_of(static_cast<int>(revs), static_cast<int>(branch)) : -1;
            try {
                if (slot >= 0)
                    s = num::porkchop_safety(chaser.trajectory, target.trajectory, o, epoch, departures[i], tofs[i],
                                             slot, orbits, work, r);
            } catch (const std::bad_alloc&) {
                work.status = num::LambertStatus::out_of_memory;
                s = num::CellStatus::no_arc;
            }
            int none = 0;
            if (s == num::CellStatus::no_arc && work.status != num::LambertStatus::ok &&
                !num::lambert_no_arc(work.status))
                failed.compare_exchange_strong(none, static_cast<int>(work.status));
            status[i] = static_cast<int8_t>(s);
            if (s != num::CellStatus::ok) {
                const double nan = std::numeric_limits<double>::quiet_NaN();
                r.arc_range = r.drift_range = nan;
                r.arc_where = r.drift_where = {nan, nan, nan};
            }
            arc[i] = r.arc_range;
            drift[i] = r.drift_range;
            num::store(r.arc_where, arc_where + 3 * i);
            num::store(r.drift_where, drift_where + 3 * i);
        }
    });
    if (!done) return nullptr;
    if (failed) {
        const auto s = static_cast<num::LambertStatus>(failed.load());
        return PyErr_Format(vx::exception_of(s), "safety(): a cell has no answer: %s", num::lambert_status_message(s));
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
               "grid(chaser, target, departures, tofs, prograde=True, max_revs=0, threads=None, mu=None,\n"
               "     cost=None, min_radius=None, arrive_at=None, depart_from=None, epoch=None, flight=None)\n--\n\n"
               "The porkchop grid between two states. chaser and target are 7-sequences (time, x, y, z, vx, vy,\n"
               "vz) in s, km and km/s; departures are offsets from the chaser's time and tofs times of flight,\n"
               "both 1-D (s). Returns (dv_departure, dv_arrival, dv_total, revolutions, branch), arrays of\n"
               "shape (len(departures), len(tofs)): float64 delta-v magnitudes (km/s) of each cell's cheapest\n"
               "arc, int32 revolution counts and int8 branches (0 for no revolutions, -1 left, +1 right).\n"
               "Cells without an arc hold NaN and revolutions -1, and a sixth array, status (int8), says why:\n"
               "0 an arc, 1 no arc, 2 every arc came below min_radius, 3 no state at the cell's epoch.\n"
               "7-sequences move two-body under mu (default 398600.5 km^3/s^2), which the arcs use too. cost:\n"
               "'rendezvous' (departure + arrival delta-v, the default) or 'intercept' (departure only).\n"
               "min_radius (km): arcs whose flown path comes below it are no candidates (default: the Earth's\n"
               "equatorial radius under the Earth's mu, else 0 for none). arrive_at / depart_from: (dr, di, dc)\n"
               "km offsets in the target's RIC frame at arrival / the chaser's at departure, with the velocity of\n"
               "a point at rest in that frame. chaser and target may also be trajectories:\n"
               "an object with epochs, positions and velocities (a table, read by cubic Hermite interpolation;\n"
               "cells outside its span are NaN) or with state and mu (two-body). threads: None for every core,\n"
               "or an int; the results do not depend on it. epoch: the epoch the departure offsets count from\n"
               "(default: the chaser's, a table's first sample). flight: None, (\"j2\", j2, radius) or a force\n"
               "model as vextal.astro.forces packs it (Model.packed(epoch), a list of (name, parameters, pole))\n"
               "for exact cells: each cell's cheapest transfer whose departure burn, flown under mu and J2 (or\n"
               "in the force model), reaches the\n"
               "arrival point within 1 m (status 4 where no arc converges); two more arrays then follow: each\n"
               "cell's position miss flown in the model (km) and the cost of its cheapest two-body arc (km/s)."),
    vx::method("cell", py_cell, METH_FASTCALL | METH_KEYWORDS,
               "cell(chaser, target, departure, tof, prograde=True, max_revs=0, slot=None, mu=None,\n"
               "     cost=None, min_radius=None, arrive_at=None, depart_from=None, epoch=None, flight=None)\n--\n\n"
               "One cell of grid() solved alone: (status, revolutions, branch, r1, v_start, v1, r2, v_goal, v2),\n"
               "the departure point and the velocity held there, the arc's departure velocity, the arrival point,\n"
               "the velocity to match there and the arc's arrival velocity (3-tuples, None without an arc).\n"
               "slot: only that Lambert slot's arc (see slot_arc), else the cheapest that passes the screen.\n"
               "epoch: the epoch departure counts from, as for grid(). flight: as for grid(); an exact cell's\n"
               "v1 and v2 are the shot departure velocity and the model's arrival velocity, and a tenth item\n"
               "follows, the position miss (km)."),
    vx::method("safety", py_safety, METH_FASTCALL | METH_KEYWORDS,
               "safety(chaser, target, departures, tofs, revolutions, branch, orbits, prograde=True,\n"
               "       max_revs=0, threads=None, mu=None, cost=None, min_radius=None, arrive_at=None,\n"
               "       depart_from=None, epoch=None)\n--\n\n"
               "Passive safety of cells (1-D arrays of equal length; each cell's arc named by its revolutions and\n"
               "branch): (arc_range, drift_range, arc_where, drift_where, status). arc_range is the least\n"
               "distance (km) from the target along the transfer arc, drift_range along the free drift on the\n"
               "same conic for `orbits` periods of the target's orbit after a missed arrival burn; *_where the\n"
               "chaser's RIC position relative to the target there, (n, 3). Sampled at 64 points per target\n"
               "period (16 to 4096 per span), each sampled minimum refined by golden section. NaN and a\n"
               "non-zero status where a cell has no arc. epoch: the epoch departures count from, as for grid()."),
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
                                                        {"MU_SUN", num::mu_sun},
                                                        {"MU_MOON", num::mu_moon},
                                                        {"MU_MARS", num::mu_mars},
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
