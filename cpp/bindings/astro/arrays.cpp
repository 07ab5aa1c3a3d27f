// vextal.astro.arrays: geodesy, Kepler propagation and Lambert's problem over NumPy arrays.
//
// Arguments are validated and converted with the interpreter lock held (NumPy is called through Python, so
// it is a run-time dependency only), then the computation runs off the lock on up to `threads` threads
// (native/parallel.hpp) on the raw float64 buffers. Each element is computed from its own inputs by the same
// numerics as the scalar classes, so the thread count never shows in the results.
#include "native/numpy.hpp"
#include "native/forces.hpp"
#include "native/interrupt.hpp"
#include "native/parallel.hpp"
#include "native/record.hpp"
#include "native/status.hpp"
#include "native/support.hpp"
#include "core/constants.hpp"
#include "core/geodesy_batch.hpp"
#include "core/j2.hpp"
#include "core/kepler.hpp"
#include "core/lambert_batch.hpp"
#include "core/porkchop.hpp"
#include "core/trajectory.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace num = vextal::numerics;
using vx::Buffer;
using vx::call_with_dtype;
using vx::import_numpy;
using vx::new_array;
using vx::np;

namespace {

constexpr int kMaxDims = 64;  // NumPy's limit (32 before NumPy 2)
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// ---- NumPy, through Python --------------------------------------------------------------------------------

PyObject* call1(PyObject* f, PyObject* arg) {
    vx::check_no_pending("arrays: a NumPy call with an exception pending");
    return PyObject_CallOneArg(f, arg);
}

using vx::raise_from;

std::string repr_of(PyObject* o) {
    vx::Ref r(PyObject_Str(o));
    const char* s = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
    if (!s) PyErr_Clear();
    return s ? s : "?";
}

// One array argument, converted to float64 with its vector axis (if any) contiguous, then viewed in the call's
// broadcast shape: a broadcast axis has stride 0, so nothing is copied to broadcast.
struct Operand {
    const char* name;
    int width;  // 3 for a vector argument (trailing axis), 1 for a scalar one
    vx::Ref array;
    vx::Ref batch_shape;  // the shape without the trailing axis
    Buffer buffer;        // of the broadcast view (read-only, strided)

    const char* base() const { return static_cast<const char*>(buffer.view.buf); }
    Py_ssize_t stride(int axis) const { return buffer.view.strides[axis]; }  // bytes, over the batch axes
};

// The elements of N broadcast operands in C order over the batch shape, as pointers, advanced by strides.
template <size_t N>
class Walk {
public:
    Walk(const Operand (&ops)[N], const Py_ssize_t* extent, int ndim) : ops_(ops), extent_(extent), ndim_(ndim) {}

    void seek(Py_ssize_t flat) {
        for (size_t k = 0; k < N; ++k) offset_[k] = 0;
        for (int d = ndim_ - 1; d >= 0; --d) {
            index_[d] = flat % extent_[d];
            flat /= extent_[d];
            for (size_t k = 0; k < N; ++k) offset_[k] += index_[d] * ops_[k].stride(d);
        }
    }
    void next() {
        for (int d = ndim_ - 1; d >= 0; --d) {
            for (size_t k = 0; k < N; ++k) offset_[k] += ops_[k].stride(d);
            if (++index_[d] < extent_[d]) return;
            for (size_t k = 0; k < N; ++k) offset_[k] -= extent_[d] * ops_[k].stride(d);
            index_[d] = 0;
        }
    }
    const double* at(size_t k) const { return reinterpret_cast<const double*>(ops_[k].base() + offset_[k]); }

private:
    const Operand (&ops_)[N];
    const Py_ssize_t* extent_;
    int ndim_;
    Py_ssize_t index_[kMaxDims] = {};
    Py_ssize_t offset_[N] = {};
};

// Converts the argument to a float64 array and checks its trailing axis; errors name `func` and the argument.
bool convert(const char* func, PyObject* value, Operand& op) {
    op.array = vx::Ref(vx::real_array(value, func, op.name));
    if (!op.array) return false;
    // Data at an address that is no multiple of 8 (an array over a pickled or other foreign buffer, as Dask
    // hands its workers) is copied once: the kernels load whole doubles.
    vx::Ref flags(PyObject_GetAttrString(op.array.get(), "flags"));
    vx::Ref aligned(flags ? PyObject_GetAttrString(flags.get(), "aligned") : nullptr);
    if (!aligned) return false;
    if (aligned.get() != Py_True && !(op.array = vx::Ref(PyObject_CallMethod(op.array.get(), "copy", nullptr))))
        return false;
    vx::Ref shape(PyObject_GetAttrString(op.array.get(), "shape"));
    if (!shape || !PyTuple_Check(shape.get())) return false;
    Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
    if (op.width == 1) {
        op.batch_shape = std::move(shape);
        return true;
    }
    long last = ndim ? PyLong_AsLong(PyTuple_GET_ITEM(shape.get(), ndim - 1)) : 0;
    if (last != op.width) {
        PyErr_Format(PyExc_ValueError, "%s(): %s must have a trailing axis of length %d, got shape %s", func, op.name,
                     op.width, repr_of(shape.get()).c_str());
        return false;
    }
    op.batch_shape = vx::Ref(PyTuple_GetSlice(shape.get(), 0, ndim - 1));
    if (!op.batch_shape) return false;
    // The three components of a vector must be adjacent; only an array strided along them is copied.
    vx::Ref strides(PyObject_GetAttrString(op.array.get(), "strides"));
    if (!strides || !PyTuple_Check(strides.get())) return false;
    if (PyLong_AsSsize_t(PyTuple_GET_ITEM(strides.get(), ndim - 1)) != Py_ssize_t(sizeof(double)))
        op.array = vx::Ref(call1(np.ascontiguousarray, op.array.get()));
    return bool(op.array);
}

// The shape `batch` with `width` appended when it is a vector's.
PyObject* full_shape(PyObject* batch, int width, int extra = 0) {
    if (width == 1 && extra == 0) return vx::newref(batch);
    vx::Ref tail(extra ? Py_BuildValue("(ii)", extra, width) : Py_BuildValue("(i)", width));
    return tail ? PySequence_Concat(batch, tail.get()) : nullptr;
}

// Converts every operand and broadcasts them together; `shape` receives the broadcast batch shape and `n`
// its size. Every refusal names the function and the operands with their shapes.
template <size_t N>
bool prepare(const char* func, PyObject* const (&values)[N], Operand (&ops)[N], vx::Ref& shape, Py_ssize_t& n,
             int out_axes) {
    for (size_t i = 0; i < N; ++i)
        if (!convert(func, values[i], ops[i])) return false;
    // NumPy's rules, worked out here: np.broadcast_shapes stops at 32 axes and reports sizes beyond an
    // iterator's range as not broadcasting.
    Py_ssize_t ndim = 0;
    for (size_t i = 0; i < N; ++i) ndim = std::max(ndim, PyTuple_GET_SIZE(ops[i].batch_shape.get()));
    std::vector<Py_ssize_t> extent(static_cast<size_t>(ndim), 1);
    bool fits = true;
    for (size_t i = 0; i < N && fits; ++i) {
        PyObject* own = ops[i].batch_shape.get();
        const Py_ssize_t skip = ndim - PyTuple_GET_SIZE(own);
        for (Py_ssize_t d = skip; d < ndim; ++d) {
            const Py_ssize_t e = PyLong_AsSsize_t(PyTuple_GET_ITEM(own, d - skip));
            if (e == -1 && PyErr_Occurred()) return false;
            if (e == extent[d] || e == 1) continue;
            if (extent[d] != 1) fits = false;
            extent[d] = e;
        }
    }
    std::string shapes;
    for (size_t i = 0; i < N; ++i) {
        vx::Ref full(full_shape(ops[i].batch_shape.get(), ops[i].width));
        if (!full) return false;
        shapes += std::string(i ? (i + 1 == N ? " and " : ", ") : "") + ops[i].name + " " + repr_of(full.get());
    }
    if (!fits) return PyErr_Format(PyExc_ValueError, "%s(): shapes do not broadcast: %s", func, shapes.c_str()), false;
    // The outputs add `out_axes` axes (a vector's, and a Lambert problem's slots) to the batch axes.
    if (ndim + out_axes > np.max_dims)
        return PyErr_Format(PyExc_ValueError, "%s(): %s broadcast to %zd batch axes; at most %d are supported", func,
                            shapes.c_str(), ndim, np.max_dims - out_axes), false;
    n = 1;
    for (Py_ssize_t e : extent) {
        if (e != 0 && n > PY_SSIZE_T_MAX / 64 / e)
            return PyErr_Format(PyExc_ValueError, "%s(): %s broadcast to more elements than an array can hold", func,
                                shapes.c_str()), false;
        n *= e;
    }
    shape = vx::Ref(PyTuple_New(ndim));
    if (!shape) return false;
    for (Py_ssize_t d = 0; d < ndim; ++d) {
        PyObject* e = PyLong_FromSsize_t(extent[static_cast<size_t>(d)]);
        if (!e) return false;
        PyTuple_SET_ITEM(shape.get(), d, e);
    }
    for (size_t i = 0; i < N; ++i) {
        Operand& op = ops[i];
        vx::Ref full(full_shape(shape.get(), op.width));
        PyObject* args[] = {op.array.get(), full.get()};
        vx::Ref view(full ? PyObject_Vectorcall(np.broadcast_to, args, 2, nullptr) : nullptr);
        if (!view || !op.buffer.get(view.get(), PyBUF_STRIDES)) return false;
        op.array = std::move(view);
    }
    return true;
}

// The batch shape as integers, for a Walk.
bool extents_of(PyObject* shape, Py_ssize_t (&extent)[kMaxDims], int& ndim) {
    ndim = static_cast<int>(PyTuple_GET_SIZE(shape));
    for (int d = 0; d < ndim; ++d) extent[d] = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, d));
    return !PyErr_Occurred();
}

// ---- keyword arguments ------------------------------------------------------------------------------------

// Binds `positional` positional-or-keyword parameters followed by keyword-only ones.
template <int N>
bool bind(vx::Params<N>& params, int positional, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          vx::Bound<N>& values) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > positional) {
        vx::raise_arg_count(params.func, positional == params.required, params.required, positional, nargs);
        return false;
    }
    return params.bind(args, nargs, kwnames, values);
}

enum class Errors { nan, raise };

bool parse_errors(const char* func, PyObject* value, Errors& out) {
    out = Errors::nan;
    if (!value) return true;
    if (PyUnicode_Check(value)) {
        if (PyUnicode_CompareWithASCIIString(value, "nan") == 0) return true;
        if (PyUnicode_CompareWithASCIIString(value, "raise") == 0) return out = Errors::raise, true;
    }
    PyErr_Format(PyExc_ValueError, "%s(): errors must be 'nan' or 'raise', not %R", func, value);
    return false;
}

bool parse_mu(const char* func, PyObject* value, double& mu) {
    mu = num::mu_earth;
    if (!value) return true;
    if (!vx::to_double(value, mu)) {
        raise_from(PyExc_TypeError, std::string(func) + "(): mu must be a real number");
        return false;
    }
    if (!(mu > 0) || !std::isfinite(mu)) {
        PyErr_Format(PyExc_ValueError, "%s(): mu must be a positive finite number", func);
        return false;
    }
    return true;
}

// NumPy's look of the index of flat element `flat` of `shape` (C order): "()", "(3,)", "(1, 2)".
std::string index_text(PyObject* shape, Py_ssize_t flat) {
    Py_ssize_t nd = PyTuple_GET_SIZE(shape);
    std::vector<Py_ssize_t> index(static_cast<size_t>(nd));
    for (Py_ssize_t d = nd - 1; d >= 0; --d) {
        Py_ssize_t extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape, d));
        index[d] = flat % extent;
        flat /= extent;
    }
    std::string text = "(";
    for (Py_ssize_t d = 0; d < nd; ++d) text += (d ? ", " : "") + std::to_string(index[d]);
    return text + (nd == 1 ? ",)" : ")");
}

// ---- geodesy ------------------------------------------------------------------------------------------------

using GeodesyKernel = void (*)(const double*, double*, std::ptrdiff_t) noexcept;

// A point whose input has a NaN or an infinity gets NaN in every component (the kernels would otherwise make
// up a longitude or a latitude from the finite parts), as does a latitude outside [-90, 90] degrees in
// llh_to_efg, which with errors='raise' is a ValueError naming the first such point.
template <GeodesyKernel Kernel, int N>
PyObject* geodesy(const char* func, const char* arg, bool check_latitude, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, vx::Params<N>& params) {
    vx::Bound<N> values;
    if (!bind(params, 1, args, nargs, kwnames, values) || !import_numpy()) return nullptr;
    int threads = vx::parse_threads(values[N - 1]);
    Errors errors = Errors::nan;
    if (!threads || (N > 2 && !parse_errors(func, values[1], errors))) return nullptr;
    // The kernels read the points interleaved and in order: a C-contiguous copy where they are not.
    Operand op{arg, 3};
    if (!convert(func, values[0], op)) return nullptr;
    vx::Ref points(call1(np.ascontiguousarray, op.array.get()));
    Buffer in_buf, out;
    if (!points || !in_buf.get(points.get(), PyBUF_C_CONTIGUOUS)) return nullptr;
    const Py_ssize_t n = in_buf.view.len / Py_ssize_t(3 * sizeof(double));
    vx::Ref shape(PyObject_GetAttrString(points.get(), "shape"));
    vx::Ref result(shape ? new_array(shape.get(), np.float64, out) : nullptr);
    if (!result) return nullptr;
    const double* in = in_buf.data<const double>();
    double* o = out.data<double>();
    std::atomic<Py_ssize_t> first_bad{n};
    bool done = vx::parallel_for(n, threads, 8192, 32768, [&](Py_ssize_t b, Py_ssize_t e) {
        Kernel(in + 3 * b, o + 3 * b, e - b);
        for (Py_ssize_t i = b; i < e; ++i) {
            const double* p = in + 3 * i;
            const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
            const bool bad_latitude = check_latitude && finite && !(std::fabs(p[0]) <= 90);
            if (finite && !bad_latitude) continue;
            o[3 * i] = o[3 * i + 1] = o[3 * i + 2] = NaN;
            if (!bad_latitude) continue;
            Py_ssize_t seen = first_bad.load(std::memory_order_relaxed);
            while (i < seen && !first_bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {}
        }
    });
    if (!done) return nullptr;
    const Py_ssize_t bad = first_bad.load();
    if (errors == Errors::raise && bad < n) {
        vx::Ref batch(PyTuple_GetSlice(shape.get(), 0, PyTuple_GET_SIZE(shape.get()) - 1));
        vx::Ref latitude(PyFloat_FromDouble(in[3 * bad]));
        if (!batch || !latitude) return nullptr;
        return vx::fail_format(PyExc_ValueError, "%s(): point %s: latitude %R is outside [-90, 90] degrees", func,
                               index_text(batch.get(), bad).c_str(), latitude.get());
    }
    return result.release();
}

PyObject* py_efg_to_llh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"efg_to_llh", {"xyz", "threads"}, 1};
    return geodesy<num::efg_to_llh_batch>("efg_to_llh", "xyz", false, args, nargs, kwnames, params);
}

PyObject* py_llh_to_efg(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<3> params{"llh_to_efg", {"llh", "errors", "threads"}, 1};
    return geodesy<num::llh_to_efg_batch>("llh_to_efg", "llh", true, args, nargs, kwnames, params);
}

// The kernels in use of a batch family, or (with a name) the best available at or below it chosen first.
PyObject* kernel_path(const char* func, PyObject* const* args, Py_ssize_t nargs, const char* const* names,
                      const char* (*limit)(const char*), const char* (*current)()) {
    if (nargs > 1) return vx::raise_arg_count(func, false, 0, 1, nargs), nullptr;
    if (nargs == 1 && args[0] != Py_None) {
        const char* name = PyUnicode_Check(args[0]) ? PyUnicode_AsUTF8(args[0]) : nullptr;
        if (!name) return vx::fail_format(PyExc_TypeError, "%s(): the limit must be a str or None", func);
        for (const char* const* known = names; *known; ++known)
            if (std::strcmp(name, *known) == 0) return PyUnicode_FromString(limit(name));
        return vx::fail_format(PyExc_ValueError, "%s(): unknown kernels %R", func, args[0]);
    }
    return PyUnicode_FromString(current());
}

PyObject* py_geodesy_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    static const char* const names[] = {"avx2", "sse2", "scalar", nullptr};
    return kernel_path("_geodesy_path", args, nargs, names, num::geodesy_batch_limit, num::geodesy_batch_path);
}

PyObject* py_lambert_path(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    static const char* const names[] = {"avx2", "sse2", nullptr};
    return kernel_path("_lambert_path", args, nargs, names, num::lambert_batch_limit, num::lambert_batch_path);
}

// ---- propagation ----------------------------------------------------------------------------------------------

PyObject* py_propagate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<6> params{"propagate", {"r", "v", "dt", "mu", "errors", "threads"}, 3};
    const char* func = params.func;
    vx::Bound<6> values;
    double mu;
    Errors errors;
    int threads;
    if (!bind(params, 3, args, nargs, kwnames, values) || !import_numpy() || !parse_mu(func, values[3], mu) ||
        !parse_errors(func, values[4], errors) || !(threads = vx::parse_threads(values[5])))
        return nullptr;
    Operand ops[3] = {{"r", 3}, {"v", 3}, {"dt", 1}};
    vx::Ref shape;
    Py_ssize_t n;
    PyObject* const inputs[3] = {values[0], values[1], values[2]};
    if (!prepare(func, inputs, ops, shape, n, 1)) return nullptr;
    vx::Ref out_shape(full_shape(shape.get(), 3));
    Buffer r_buf, v_buf;
    vx::Ref r_out(out_shape ? new_array(out_shape.get(), np.float64, r_buf) : nullptr);
    vx::Ref v_out(r_out ? new_array(out_shape.get(), np.float64, v_buf) : nullptr);
    if (!v_out) return nullptr;
    std::vector<uint8_t> status;
    try {
        if (errors == Errors::raise) status.resize(static_cast<size_t>(n));
    } catch (...) {
        return PyErr_NoMemory();
    }
    double* ro = r_buf.data<double>();
    double* vo = v_buf.data<double>();
    Py_ssize_t extent[kMaxDims];
    int ndim;
    if (!extents_of(shape.get(), extent, ndim)) return nullptr;
    bool done = vx::parallel_for(n, threads, 512, 1024, [&](Py_ssize_t b, Py_ssize_t e) {
        Walk<3> walk(ops, extent, ndim);
        walk.seek(b);
        for (Py_ssize_t i = b; i < e; ++i, walk.next()) {
            double* r = ro + 3 * i;
            double* v = vo + 3 * i;
            num::Vec3 r1, v1;
            const num::KeplerStatus s =
                num::move({0.0, num::load(walk.at(0)), num::load(walk.at(1)), mu}, *walk.at(2), r1, v1);
            if (s == num::KeplerStatus::ok) {
                num::store(r1, r);
                num::store(v1, v);
            } else {
                r[0] = r[1] = r[2] = v[0] = v[1] = v[2] = NaN;
                if (!status.empty()) status[i] = static_cast<uint8_t>(s);
            }
        }
    });
    if (!done) return nullptr;
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(status.size()); ++i) {
        if (status[i]) {
            auto s = static_cast<num::KeplerStatus>(status[i]);
            PyErr_Format(vx::exception_of(s), "propagate(): state %s: %s", index_text(shape.get(), i).c_str(), num::kepler_status_message(s));
            return nullptr;
        }
    }
    return PyTuple_Pack(2, r_out.get(), v_out.get());
}

// ---- Lambert --------------------------------------------------------------------------------------------------

PyTypeObject LambertArrays_Type;

PyStructSequence_Field lambert_fields[] = {
    {"v1", "departure velocities (..., K, 3), km/s; NaN where an arc does not exist"},
    {"v2", "arrival velocities (..., K, 3), km/s; NaN where an arc does not exist"},
    {"count", "arcs found per problem (...), int32: 1 + 2 * (revolution limit after cropping), 0 on failure"},
    {"status", "per problem (...), int32: 0 solved, else a code lambert_message() explains"},
    {"revolutions", "revolution count of each of the K slots (K,), int32"},
    {"branch", "branch of each slot (K,), int32: 0 for no revolutions, -1 left, +1 right"},
    {nullptr, nullptr},
};

PyStructSequence_Desc lambert_desc = {
    "vextal.astro.arrays.LambertArrays",
    "Solutions of a batch of Lambert problems (from vextal.astro.arrays.lambert).",
    lambert_fields,
    6,
};

PyObject* py_lambert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<8> params{"lambert", {"r1", "r2", "tof", "mu", "prograde", "max_revs", "errors", "threads"}, 3};
    const char* func = params.func;
    vx::Bound<8> values;
    double mu;
    int prograde = 1, max_revs = 0, threads;
    Errors errors;
    if (!bind(params, 3, args, nargs, kwnames, values) || !import_numpy() || !parse_mu(func, values[3], mu) ||
        (values[4] && (prograde = vx::to_flag(values[4], func, "prograde")) < 0) ||
        (values[5] && !vx::to_count(values[5], func, "max_revs", num::max_lambert_revolutions, max_revs)) ||
        !parse_errors(func, values[6], errors) || !(threads = vx::parse_threads(values[7])))
        return nullptr;
    Operand ops[3] = {{"r1", 3}, {"r2", 3}, {"tof", 1}};
    vx::Ref shape;
    Py_ssize_t n;
    PyObject* const inputs[3] = {values[0], values[1], values[2]};
    if (!prepare(func, inputs, ops, shape, n, 2)) return nullptr;
    Py_ssize_t extent[kMaxDims];
    int ndim;
    if (!extents_of(shape.get(), extent, ndim)) return nullptr;
    // The slot axis holds the most arcs any problem of the call can have, not 1 + 2 * max_revs: an N-revolution
    // arc takes longer than N periods of the smallest ellipse through both points (semi-major axis s / 2),
    // so N <= tof * sqrt(2 mu / s) / s / pi (s the semiperimeter), the solver's own bound, taken here with a
    // margin for rounding. A large max_revs on short arcs then costs nothing.
    if (max_revs > 0) {
        std::atomic<int> most{0};
        const int limit = max_revs;
        bool counted = vx::parallel_for(n, threads, 4096, 65536, [&](Py_ssize_t b, Py_ssize_t e) {
            Walk<3> walk(ops, extent, ndim);
            walk.seek(b);
            int local = 0;
            for (Py_ssize_t i = b; i < e && local < limit; ++i, walk.next())
                local = std::max(local, num::lambert_revolution_bound(walk.at(0), walk.at(1), *walk.at(2), mu, limit));
            int seen = most.load(std::memory_order_relaxed);
            while (local > seen && !most.compare_exchange_weak(seen, local, std::memory_order_relaxed)) {}
        });
        if (!counted) return nullptr;
        max_revs = most.load();
    }
    const int K = num::lambert_slots(max_revs);
    vx::Ref v_shape(full_shape(shape.get(), 3, K));
    vx::Ref k_shape(Py_BuildValue("(i)", K));
    Buffer v1_buf, v2_buf, count_buf, status_buf, revs_buf, branch_buf;
    vx::Ref v1(v_shape && k_shape ? new_array(v_shape.get(), np.float64, v1_buf) : nullptr);
    vx::Ref v2(v1 ? new_array(v_shape.get(), np.float64, v2_buf) : nullptr);
    vx::Ref count(v2 ? new_array(shape.get(), np.int32, count_buf) : nullptr);
    vx::Ref status(count ? new_array(shape.get(), np.int32, status_buf) : nullptr);
    vx::Ref revs(status ? new_array(k_shape.get(), np.int32, revs_buf) : nullptr);
    vx::Ref branch(revs ? new_array(k_shape.get(), np.int32, branch_buf) : nullptr);
    if (!branch) return nullptr;
    for (int k = 0; k < K; ++k) {
        revs_buf.data<int32_t>()[k] = num::slot_revolutions(k);
        branch_buf.data<int32_t>()[k] = num::slot_branch(k);
    }
    const num::LambertBatchOutput out{v1_buf.data<double>(), v2_buf.data<double>(), count_buf.data<int32_t>(),
                                      status_buf.data<int32_t>()};
    int32_t* codes = out.status;
    const Py_ssize_t grain = std::max(1, 512 / K);  // a block stays short when each problem has many arcs
    bool done = vx::parallel_for(n, threads, grain, 2 * grain, [&](Py_ssize_t b, Py_ssize_t e) {
        // The block's problems gathered from the broadcast operands, then solved together (SIMD lanes).
        std::vector<double> r1, r2, tof;
        try {
            r1.resize(3 * static_cast<size_t>(e - b));
            r2.resize(3 * static_cast<size_t>(e - b));
            tof.resize(static_cast<size_t>(e - b));
        } catch (const std::bad_alloc&) {
            for (Py_ssize_t i = b; i < e; ++i) codes[i] = static_cast<int32_t>(num::LambertStatus::out_of_memory);
            return;
        }
        Walk<3> walk(ops, extent, ndim);
        walk.seek(b);
        for (Py_ssize_t i = 0; i < e - b; ++i, walk.next()) {
            std::copy(walk.at(0), walk.at(0) + 3, &r1[3 * i]);
            std::copy(walk.at(1), walk.at(1) + 3, &r2[3 * i]);
            tof[i] = *walk.at(2);
        }
        num::solve_lambert_batch(r1.data(), r2.data(), tof.data(), e - b, mu, prograde != 0, max_revs, out, K, b);
    });
    if (!done) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (codes[i] == static_cast<int32_t>(num::LambertStatus::out_of_memory)) return PyErr_NoMemory();
    }
    if (errors == Errors::raise) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (codes[i]) {
                auto s = static_cast<num::LambertStatus>(codes[i]);
                return vx::fail_format(vx::exception_of(s), "lambert(): problem %s: %s", index_text(shape.get(), i).c_str(),
                                       num::lambert_status_message(s));
            }
        }
    }
    vx::Ref result(PyStructSequence_New(&LambertArrays_Type));
    if (!result) return nullptr;
    PyObject* fields[] = {v1.release(), v2.release(), count.release(), status.release(), revs.release(), branch.release()};
    for (int i = 0; i < 6; ++i) PyStructSequence_SET_ITEM(result.get(), i, fields[i]);
    return result.release();
}

PyObject* py_lambert_message(PyObject*, PyObject* arg) {
    int code;
    if (!vx::to_int(arg, code)) return nullptr;
    if (code < 0 || code > static_cast<int>(num::LambertStatus::out_of_memory))
        return vx::fail_format(PyExc_ValueError, "lambert_message(): unknown status code %d", code);
    return PyUnicode_FromString(num::lambert_status_message(static_cast<num::LambertStatus>(code)));
}

// ---- relative motion ------------------------------------------------------------------------------------------

// States relative to reference states, in each reference's RIC frame (the core's to_ric): the position
// difference rotated, and the velocity seen from the frame turning with the reference (omega = r x v / |r|^2),
// as a hold point at rest in it has zero relative velocity.
PyObject* py_eci_to_ric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<5> params{"eci_to_ric", {"r", "v", "r_ref", "v_ref", "threads"}, 4};
    const char* func = params.func;
    vx::Bound<5> values;
    int threads;
    if (!bind(params, 4, args, nargs, kwnames, values) || !import_numpy() || !(threads = vx::parse_threads(values[4])))
        return nullptr;
    Operand ops[4] = {{"r", 3}, {"v", 3}, {"r_ref", 3}, {"v_ref", 3}};
    vx::Ref shape;
    Py_ssize_t n;
    PyObject* const inputs[4] = {values[0], values[1], values[2], values[3]};
    if (!prepare(func, inputs, ops, shape, n, 1)) return nullptr;
    vx::Ref out_shape(full_shape(shape.get(), 3));
    Buffer p_buf, w_buf;
    vx::Ref p_out(out_shape ? new_array(out_shape.get(), np.float64, p_buf) : nullptr);
    vx::Ref w_out(p_out ? new_array(out_shape.get(), np.float64, w_buf) : nullptr);
    if (!w_out) return nullptr;
    double* po = p_buf.data<double>();
    double* wo = w_buf.data<double>();
    Py_ssize_t extent[kMaxDims];
    int ndim;
    if (!extents_of(shape.get(), extent, ndim)) return nullptr;
    bool done = vx::parallel_for(n, threads, 2048, 4096, [&](Py_ssize_t b, Py_ssize_t e) {
        Walk<4> walk(ops, extent, ndim);
        walk.seek(b);
        for (Py_ssize_t i = b; i < e; ++i, walk.next()) {
            const num::Vec3 r = num::load(walk.at(0)), v = num::load(walk.at(1));
            const num::Vec3 rr = num::load(walk.at(2)), vr = num::load(walk.at(3));
            const num::Vec3 h = num::cross(rr, vr);
            const double rr2 = num::dot(rr, rr);
            const num::Vec3 omega = h * (1.0 / rr2), d = r - rr;
            if (!(rr2 > 0.0) || !(num::dot(h, h) > 0.0)) {  // no frame: a zero position or no angular momentum
                po[3 * i] = po[3 * i + 1] = po[3 * i + 2] = wo[3 * i] = wo[3 * i + 1] = wo[3 * i + 2] = NaN;
                continue;
            }
            num::store(num::to_ric(rr, vr, d), po + 3 * i);
            num::store(num::to_ric(rr, vr, (v - vr) - num::cross(omega, d)), wo + 3 * i);
        }
    });
    if (!done) return nullptr;
    return PyTuple_Pack(2, p_out.get(), w_out.get());
}

#include "astro/arrays_j2.inc"

// ---- module -----------------------------------------------------------------------------------------------

PyMethodDef module_functions[] = {
    vx::method("efg_to_llh", py_efg_to_llh, METH_FASTCALL | METH_KEYWORDS,
               "efg_to_llh(xyz, *, threads=None)\n--\n\n"
               "Geodetic coordinates of Earth-fixed points: xyz (..., 3) in km to a new float64 array (..., 3) of\n"
               "latitude (degrees), longitude (degrees, in [0, 360)) and height (km) on the package's ellipsoid.\n"
               "Accurate to a few units in the last place at any height off the polar axis; on the axis the answer\n"
               "of EFG.to_llh. A point with a NaN or an infinite coordinate gives NaN in all three components.\n"
               "threads: worker threads (None: every core)."),
    vx::method("llh_to_efg", py_llh_to_efg, METH_FASTCALL | METH_KEYWORDS,
               "llh_to_efg(llh, *, errors='nan', threads=None)\n--\n\n"
               "Earth-fixed positions (km) of geodetic coordinates: llh (..., 3) of latitude, longitude (degrees)\n"
               "and height (km) to a new float64 array (..., 3), the formula of LLH.to_efg. A point with a\n"
               "non-finite value, or a latitude outside [-90, 90], gives NaN in all three components; with\n"
               "errors='raise' such a latitude is a ValueError naming the first such point."),
    vx::method("propagate", py_propagate, METH_FASTCALL | METH_KEYWORDS,
               "propagate(r, v, dt, *, mu=398600.5, errors='nan', threads=None)\n--\n\n"
               "Two-body propagation of states: positions r (..., 3) km and velocities v (..., 3) km/s moved on by\n"
               "dt (...) seconds under mu (km^3/s^2), broadcast together. Returns new arrays (r, v), each value\n"
               "that of kepler.propagate_lagrangian. A state that cannot be propagated gets NaN rows, or with\n"
               "errors='raise' a ValueError naming the first such state."),
    vx::method("lambert", py_lambert, METH_FASTCALL | METH_KEYWORDS,
               "lambert(r1, r2, tof, *, mu=398600.5, prograde=True, max_revs=0, errors='nan', threads=None)\n--\n\n"
               "Lambert's problem for every broadcast element of r1 (..., 3), r2 (..., 3) km and tof (...) s.\n"
               "Returns LambertArrays(v1, v2, count, status, revolutions, branch): v1 and v2 (..., K, 3) with\n"
               "K = 1 + 2 * m slots in the solver's order (no revolutions, then per N the left and the right\n"
               "branch), NaN where an arc does not exist; m is the most revolutions any problem of the call can\n"
               "have, at most max_revs (its time of flight bounds it), so a large max_revs costs memory only where\n"
               "arcs need it. The velocities are those of LambertProblem. prograde must be a bool and max_revs an\n"
               "int from 0 to 100000. A problem that cannot be solved gets its status code (see lambert_message)\n"
               "and NaN rows, or with errors='raise' a ValueError naming the first such problem."),
    vx::method("eci_to_ric", py_eci_to_ric, METH_FASTCALL | METH_KEYWORDS,
               "eci_to_ric(r, v, r_ref, v_ref, *, threads=None)\n--\n\n"
               "States relative to reference states in each reference's RIC frame: r, v (..., 3) km and km/s\n"
               "against r_ref, v_ref (..., 3), broadcast together. Returns new arrays (position, velocity) of\n"
               "(radial, in-track, cross-track) components: R = r_ref/|r_ref|, C along r_ref x v_ref, I = C x R;\n"
               "the velocity is seen from the frame turning with the reference (a point at rest in it reads 0).\n"
               "A reference with a zero position or no angular momentum gives NaN rows."),
    VX_J2_METHODS
    {"lambert_message", py_lambert_message, METH_O,
     "lambert_message(code, /)\n--\n\nThe solver's message for a status code of lambert()."},
    {"_geodesy_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_geodesy_path)), METH_FASTCALL,
     "_geodesy_path(limit=None, /)\n--\n\n"
     "The geodesy kernels in use ('avx2', 'sse2', 'scalar'); with a limit, the best available at or below it\n"
     "is chosen first (for tests and benchmarks; not while a call runs)."},
    {"_lambert_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py_lambert_path)), METH_FASTCALL,
     "_lambert_path(limit=None, /)\n--\n\n"
     "The Lambert lane kernels in use ('avx2': four lanes, 'sse2': two); with a limit, the best available at\n"
     "or below it is chosen first (for tests and benchmarks; not while a call runs)."},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject* module) {
    if (!import_numpy()) return false;
    num::geodesy_batch_init();  // here, not on first use off the lock: see geodesy_batch.hpp
    num::lambert_batch_init();
    if (!(LambertArrays_Type.tp_flags & Py_TPFLAGS_READY) &&
        PyStructSequence_InitType2(&LambertArrays_Type, &lambert_desc) < 0)
        return false;
    if (PyModule_AddObject(module, "LambertArrays", vx::newref(reinterpret_cast<PyObject*>(&LambertArrays_Type))) < 0) {
        Py_DECREF(&LambertArrays_Type);
        return false;
    }
    return PyModule_AddIntConstant(module, "LAMBERT_OK", 0) == 0;
}

}  // namespace

VX_MODULE(arrays, "vextal.astro.arrays", "Geodesy, propagation and Lambert's problem over NumPy arrays.",
          module_functions, setup)
