// vextal.astro._frames: the native door of vextal.astro.frames. The Python module computes one rotation (and
// its rate term) per distinct epoch; this applies them to the states, grouped by epoch, off the interpreter
// lock on up to `threads` threads. Each state is computed from its own inputs alone, so the thread count
// never shows in the results.
#include "native/numpy.hpp"
#include "native/parallel.hpp"
#include "native/record.hpp"
#include "native/support.hpp"
#include "core/frames_batch.hpp"

#include <cstdint>

namespace num = vextal::numerics;
using vx::Buffer;
using vx::import_numpy;
using vx::new_array;
using vx::np;
using vx::view8;

namespace {

// rotate(r, v, a, b, epoch, threads, in_place=False) -> (r_out, v_out): new arrays, or r and v themselves
// rotated in place (arrays the caller owns and no longer needs as they were: no second copy to allocate).
PyObject* py_rotate(PyObject*, PyObject* args) {
    PyObject *r_obj, *v_obj, *a_obj, *b_obj, *e_obj, *threads_obj;
    int in_place = 0;
    if (!PyArg_ParseTuple(args, "OOOOOO|p:rotate", &r_obj, &v_obj, &a_obj, &b_obj, &e_obj, &threads_obj, &in_place))
        return nullptr;
    const int threads = vx::parse_threads(threads_obj);
    if (!threads) return nullptr;
    Buffer rb, vb, ab, bb, eb;
    if (!rb.get(r_obj, PyBUF_C_CONTIGUOUS) || !ab.get(a_obj, PyBUF_C_CONTIGUOUS) ||
        !eb.get(e_obj, PyBUF_C_CONTIGUOUS))
        return nullptr;
    const Py_ssize_t n = rb.view.len / Py_ssize_t(3 * sizeof(double));
    const Py_ssize_t matrices = ab.view.len / Py_ssize_t(9 * sizeof(double));
    const Py_ssize_t period = eb.view.len / Py_ssize_t(sizeof(std::int64_t));
    if (!view8(r_obj, rb, 3 * n, "r") || !view8(v_obj, vb, 3 * n, "v") || !view8(a_obj, ab, 9 * matrices, "a") ||
        !view8(e_obj, eb, period, "epoch", true))
        return nullptr;
    const bool rate = b_obj != Py_None;
    if (rate && !view8(b_obj, bb, 9 * matrices, "b")) return nullptr;
    if (n > 0 && (period == 0 || n % period != 0))
        return vx::fail_format(PyExc_ValueError, "rotate(): %zd states do not repeat over %zd epochs", n, period);
    const std::int64_t* epoch = eb.data<const std::int64_t>();
    for (Py_ssize_t k = 0; k < period; ++k) {
        if (epoch[k] < 0 || epoch[k] >= matrices)
            return vx::fail_format(PyExc_ValueError, "rotate(): epoch index %lld outside [0, %zd)",
                                   static_cast<long long>(epoch[k]), matrices);
    }
    Buffer ro, vo;
    vx::Ref r_out, v_out;
    if (in_place) {
        if (r_obj == v_obj) return vx::fail(PyExc_ValueError, "rotate(): in place, r and v must be two arrays");
        if (!ro.get(r_obj, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) || !vo.get(v_obj, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE))
            return nullptr;
        Py_INCREF(r_obj);
        r_out = vx::Ref(r_obj);
        Py_INCREF(v_obj);
        v_out = vx::Ref(v_obj);
    } else {
        vx::Ref shape(PyObject_GetAttrString(r_obj, "shape"));
        r_out = vx::Ref(shape ? new_array(shape.get(), np.float64, ro) : nullptr);
        v_out = vx::Ref(r_out ? new_array(shape.get(), np.float64, vo) : nullptr);
        if (!v_out) return nullptr;
    }
    const double* r = rb.data<const double>();
    const double* v = vb.data<const double>();
    const double* a = ab.data<const double>();
    const double* b = rate ? bb.data<const double>() : nullptr;
    double* rp = ro.data<double>();
    double* vp = vo.data<double>();
    // A block of 16384 states is 768 KiB of input and output: well under a millisecond.
    const bool done = vx::parallel_for(n, threads, 16384, 65536, [&](Py_ssize_t begin, Py_ssize_t end) {
        num::rotate_states(r, v, a, b, epoch, period, begin, end, rp, vp);
    });
    if (!done) return nullptr;
    return PyTuple_Pack(2, r_out.get(), v_out.get());
}

PyMethodDef module_functions[] = {
    {"rotate", py_rotate, METH_VARARGS,
     "rotate(r, v, a, b, epoch, threads, in_place=False, /)\n--\n\n"
     "(a[e] r, a[e] v + b[e] r) for every state of C-contiguous float64 r and v (..., 3), with e = epoch[j % p]\n"
     "for state j: a and b (m, 3, 3) C-contiguous float64 (b None: no rate term), epoch a C-contiguous int64\n"
     "array of p indices into them, p dividing the number of states. in_place: into r and v themselves\n"
     "(writable, two distinct arrays), which are returned."},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject*) { return import_numpy(); }

}  // namespace

VX_MODULE(_frames, "vextal.astro._frames",
          "Rotations of states grouped by epoch (the native door of vextal.astro.frames).", module_functions, setup)
