// vextal.astro._elements: the native door of vextal.astro.elements. It takes C-contiguous float64 arrays of
// matching length (the Python module broadcasts, converts degrees and raises), runs the numerics of
// cpp/core/elements.hpp over them off the interpreter lock, and returns new arrays with a status code
// per element.
#include "native/numpy.hpp"
#include "native/record.hpp"
#include "native/support.hpp"
#include "core/elements.hpp"

#include <cstdint>
#include <limits>

namespace num = vextal::numerics;
using vx::Buffer;
using vx::import_numpy;
using vx::new_array;
using vx::np;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A read-only C-contiguous float64 view of `obj` holding `count` doubles.
bool view_of(PyObject* obj, Buffer& buffer, Py_ssize_t count, const char* what) {
    if (!buffer.get(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const char* format = buffer.view.format;
    if (buffer.view.itemsize != 8 || !format || !(format[0] == 'd' || (format[0] == '<' && format[1] == 'd'))) {
        vx::fail_format(PyExc_TypeError, "%s must be a C-contiguous float64 array", what);
        return false;
    }
    if (buffer.view.len != count * Py_ssize_t(sizeof(double))) {
        vx::fail_format(PyExc_ValueError, "%s must hold %zd values", what, count);
        return false;
    }
    return true;
}

PyObject* shape_of(Py_ssize_t n, int width) {
    return width ? Py_BuildValue("(ni)", n, width) : Py_BuildValue("(n)", n);
}

// to_state(a, e, i, raan, argp, anomaly, mu, mean) -> (r, v, status)
PyObject* py_to_state(PyObject*, PyObject* args) {
    PyObject* in[6];
    double mu;
    int mean;
    if (!PyArg_ParseTuple(args, "OOOOOOdp:to_state", &in[0], &in[1], &in[2], &in[3], &in[4], &in[5], &mu, &mean))
        return nullptr;
    Buffer b[6];
    if (!b[0].get(in[0], PyBUF_C_CONTIGUOUS)) return nullptr;
    const Py_ssize_t n = b[0].view.len / Py_ssize_t(sizeof(double));
    static const char* names[6] = {"a", "e", "i", "raan", "argp", "anomaly"};
    for (int k = 0; k < 6; ++k) {
        if (!view_of(in[k], b[k], n, names[k])) return nullptr;
    }
    Buffer rb, vb, sb;
    vx::Ref s3(shape_of(n, 3)), s1(shape_of(n, 0));
    if (!s3 || !s1) return nullptr;
    vx::Ref r(new_array(s3.get(), np.float64, rb)), v(r ? new_array(s3.get(), np.float64, vb) : nullptr);
    vx::Ref status(v ? new_array(s1.get(), np.int32, sb) : nullptr);
    if (!status) return nullptr;
    const double* x[6];
    for (int k = 0; k < 6; ++k) x[k] = b[k].data<const double>();
    double* ro = rb.data<double>();
    double* vo = vb.data<double>();
    int32_t* so = sb.data<int32_t>();
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t j = 0; j < n; ++j) {
        num::ElementsStatus s = num::elements_to_state(x[0][j], x[1][j], x[2][j], x[3][j], x[4][j], x[5][j],
                                                       mean != 0, mu, ro + 3 * j, vo + 3 * j);
        so[j] = static_cast<int32_t>(s);
        if (s != num::ElementsStatus::ok) {
            for (int k = 0; k < 3; ++k) ro[3 * j + k] = vo[3 * j + k] = NaN;
        }
    }
    Py_END_ALLOW_THREADS
    return PyTuple_Pack(3, r.get(), v.get(), status.get());
}

// from_state(r, v, mu) -> (elements (n, 7): a e i raan argp nu m, status)
PyObject* py_from_state(PyObject*, PyObject* args) {
    PyObject *r_obj, *v_obj;
    double mu;
    if (!PyArg_ParseTuple(args, "OOd:from_state", &r_obj, &v_obj, &mu)) return nullptr;
    Buffer rb, vb;
    if (!rb.get(r_obj, PyBUF_C_CONTIGUOUS)) return nullptr;
    const Py_ssize_t n = rb.view.len / Py_ssize_t(3 * sizeof(double));
    if (!view_of(r_obj, rb, 3 * n, "r") || !view_of(v_obj, vb, 3 * n, "v")) return nullptr;
    Buffer eb, sb;
    vx::Ref s7(shape_of(n, 7)), s1(shape_of(n, 0));
    if (!s7 || !s1) return nullptr;
    vx::Ref elements(new_array(s7.get(), np.float64, eb));
    vx::Ref status(elements ? new_array(s1.get(), np.int32, sb) : nullptr);
    if (!status) return nullptr;
    const double* r = rb.data<const double>();
    const double* v = vb.data<const double>();
    double* eo = eb.data<double>();
    int32_t* so = sb.data<int32_t>();
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t j = 0; j < n; ++j) {
        num::Elements el{};
        num::ElementsStatus s = num::state_to_elements(r + 3 * j, v + 3 * j, mu, el);
        so[j] = static_cast<int32_t>(s);
        const bool ok = s == num::ElementsStatus::ok;
        const double out[7] = {el.a, el.e, el.i, el.raan, el.argp, el.nu, el.m};
        for (int k = 0; k < 7; ++k) eo[7 * j + k] = ok ? out[k] : NaN;
    }
    Py_END_ALLOW_THREADS
    return PyTuple_Pack(2, elements.get(), status.get());
}

PyObject* py_true_from_mean_rad(PyObject*, PyObject* args) {
    PyObject *m_obj, *e_obj;
    if (!PyArg_ParseTuple(args, "OO:true_from_mean_rad", &m_obj, &e_obj)) return nullptr;
    Buffer mb, ebuf, nb, sb;
    if (!mb.get(m_obj, PyBUF_C_CONTIGUOUS)) return nullptr;
    const Py_ssize_t n = mb.view.len / Py_ssize_t(sizeof(double));
    if (!view_of(m_obj, mb, n, "m") || !view_of(e_obj, ebuf, n, "e")) return nullptr;
    vx::Ref s1(shape_of(n, 0));
    vx::Ref nu(s1 ? new_array(s1.get(), np.float64, nb) : nullptr);
    vx::Ref status(nu ? new_array(s1.get(), np.int32, sb) : nullptr);
    if (!status) return nullptr;
    const double* m = mb.data<const double>();
    const double* e = ebuf.data<const double>();
    double* no = nb.data<double>();
    int32_t* so = sb.data<int32_t>();
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t j = 0; j < n; ++j) {
        num::ElementsStatus s = num::true_from_mean(m[j], e[j], no[j]);
        so[j] = static_cast<int32_t>(s);
        if (s != num::ElementsStatus::ok) no[j] = NaN;
    }
    Py_END_ALLOW_THREADS
    return PyTuple_Pack(2, nu.get(), status.get());
}

PyObject* py_message(PyObject*, PyObject* arg) {
    int code;
    if (!vx::to_int(arg, code)) return nullptr;
    if (code < 0 || code > static_cast<int>(num::ElementsStatus::no_convergence))
        return vx::fail_format(PyExc_ValueError, "message(): unknown status code %d", code);
    return PyUnicode_FromString(num::elements_status_message(static_cast<num::ElementsStatus>(code)));
}

PyMethodDef module_functions[] = {
    {"to_state", py_to_state, METH_VARARGS,
     "to_state(a, e, i, raan, argp, anomaly, mu, mean, /)\n--\n\n"
     "States (r, v, status) of n element sets, each argument a C-contiguous float64 array of n values\n"
     "(angles in radians); NaN rows and a non-zero status where an element set is refused."},
    {"from_state", py_from_state, METH_VARARGS,
     "from_state(r, v, mu, /)\n--\n\n"
     "Elements (n, 7) of a e i raan argp nu m (radians) and a status per state, for C-contiguous float64\n"
     "arrays r and v of shape (n, 3); NaN rows where a state is refused."},
    {"true_from_mean_rad", py_true_from_mean_rad, METH_VARARGS,
     "true_from_mean_rad(m, e, /)\n--\n\nTrue anomalies (radians) and statuses of mean anomalies m (radians) and "
     "eccentricities e."},
    {"message", py_message, METH_O, "message(code, /)\n--\n\nThe message of a status code."},
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject*) { return import_numpy(); }

}  // namespace

VX_MODULE(_elements, "vextal.astro._elements",
          "Orbital elements <-> states over float64 arrays (the native door of vextal.astro.elements).",
          module_functions, setup)
