// vextal.astro.kepler: two-body propagation by universal variables (Lagrange's f and g), for plain vectors
// and for ECI states. Both functions are published in __pyx_capi__ for other extension modules.
#include "native/record.hpp"
#include "native/status.hpp"
#include "native/support.hpp"
#include "native/vector3_api.hpp"
#include "core/constants.hpp"
#include "core/kepler.hpp"

#include <vextal/astro/kepler.hpp>
#include <vextal/astro/orbitvector.hpp>

#include <cmath>

using vextal::ECIObject;
using vextal::Vector3Object;
namespace num = vextal::numerics;

namespace {

constexpr double MU_EARTH = num::mu_earth;
constexpr const char kPropagateName[] = "vextal.astro.kepler.propagate_lagrangian";
constexpr const char kPropagateUName[] = "vextal.astro.kepler.propagate_lagrangian_u";

vx::Vector3Api vector3;
PyTypeObject* eci_type = nullptr;  // imported on first use: the state module is not needed for plain vectors

PyObject* obj(void* p) { return reinterpret_cast<PyObject*>(p); }

bool import_eci() {
    if (eci_type) return true;
    vx::Ref module(PyImport_ImportModule(vextal::kOrbitVectorModule));
    if (!module) return false;
    eci_type = vx::import_class(module.get(), vextal::kOrbitVectorModule, "ECI", sizeof(ECIObject));
    return eci_type != nullptr;
}

// Moves (r, v) by dt; on failure sets the error (messages name `func`) and returns false.
bool propagate(const char* func, const Vector3Object* r, const Vector3Object* v, double dt, double mu, double rn[3],
               double vn[3]) {
    const double r0[3] = {r->_vector.x, r->_vector.y, r->_vector.z};
    const double v0[3] = {v->_vector.x, v->_vector.y, v->_vector.z};
    num::KeplerStatus status = num::propagate(r0, v0, dt, mu, rn, vn);
    switch (status) {
        case num::KeplerStatus::ok:
            return true;
        case num::KeplerStatus::bad_input:
            if (!(mu > 0) || !std::isfinite(mu)) return vx::fail_format(PyExc_ValueError, vx::msg::kKeplerMu, func), false;
            if (r0[0] == 0 && r0[1] == 0 && r0[2] == 0)
                return vx::fail_format(PyExc_ValueError, vx::msg::kKeplerZeroPosition, func), false;
            return vx::fail_format(PyExc_ValueError, vx::msg::kKeplerNotFinite, func), false;
        case num::KeplerStatus::no_convergence:
        case num::KeplerStatus::ill_conditioned:
        case num::KeplerStatus::not_finite:
            break;
    }
    return vx::fail_format(vx::exception_of(status), vx::msg::kKeplerFailed, func, num::kepler_status_message(status)),
           false;
}

// ---- the native entries ---------------------------------------------------------------------------------

PyObject* propagate_lagrangian(Vector3Object* r, Vector3Object* v, double dt, double mu, int /*skip_dispatch*/) noexcept {
    double rn[3], vn[3];
    if (!VX_NOT_NULL(r, v) || !vx::check_instance(obj(r), vector3.type) ||
        !vx::check_instance(obj(v), vector3.type) || !propagate("propagate_lagrangian", r, v, dt, mu, rn, vn)) {
        VX_TRACEBACK(kPropagateName);
        return nullptr;
    }
    vx::Ref r_out(vector3.make(rn[0], rn[1], rn[2]));
    vx::Ref v_out(r_out ? vector3.make(vn[0], vn[1], vn[2]) : nullptr);
    PyObject* pair = v_out ? PyTuple_Pack(2, r_out.get(), v_out.get()) : nullptr;
    if (!pair) VX_TRACEBACK(kPropagateName);
    return pair;
}

// The state moved on by dt seconds with MU_EARTH; the new epoch is state.time + dt as plain numbers. The
// result is made by calling the ECI class with (time, position, velocity).
ECIObject* propagate_lagrangian_u(ECIObject* state, double dt, int /*skip_dispatch*/) noexcept {
    PyObject* result = nullptr;
    if (VX_NOT_NULL(state) && import_eci() && vx::check_instance(obj(state), eci_type)) {
        const vextal::OrbitVectorObject& s = state->base;
        double rn[3], vn[3];
        if (vx::check_instance(s.position, vector3.type) && vx::check_instance(s.velocity, vector3.type) &&
            propagate("propagate_lagrangian_u", reinterpret_cast<Vector3Object*>(s.position),
                      reinterpret_cast<Vector3Object*>(s.velocity), dt, MU_EARTH, rn, vn)) {
            vx::Ref time(PyFloat_FromDouble(s.time + dt));
            vx::Ref r_out(time ? vector3.make(rn[0], rn[1], rn[2]) : nullptr);
            vx::Ref v_out(r_out ? vector3.make(vn[0], vn[1], vn[2]) : nullptr);
            if (v_out) {
                PyObject* args[] = {time.get(), r_out.get(), v_out.get()};
                result = PyObject_Vectorcall(obj(eci_type), args, 3, nullptr);
            }
        }
    }
    if (!result) VX_TRACEBACK(kPropagateUName);
    return reinterpret_cast<ECIObject*>(result);
}

// ---- Python-visible functions ---------------------------------------------------------------------------

PyObject* py_propagate_lagrangian(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<4> params{"propagate_lagrangian", {"r", "v", "dt", "mu"}, 4};
    vx::Bound<4> values;
    double dt, mu;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values) ||
        !vx::check_arg_type(values[0], vector3.type, "r") || !vx::check_arg_type(values[1], vector3.type, "v") ||
        !vx::to_double(values[2], dt) || !vx::to_double(values[3], mu))
        return nullptr;
    return propagate_lagrangian(reinterpret_cast<Vector3Object*>(values[0]), reinterpret_cast<Vector3Object*>(values[1]),
                                dt, mu, 1);
}

PyObject* py_propagate_lagrangian_u(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static vx::Params<2> params{"propagate_lagrangian_u", {"state", "dt"}, 2};
    vx::Bound<2> values;
    double dt;
    if (!params.bind(args, PyVectorcall_NARGS(nargs), kwnames, values) || !import_eci() ||
        !vx::check_arg_type(values[0], eci_type, "state") || !vx::to_double(values[1], dt))
        return nullptr;
    return obj(propagate_lagrangian_u(reinterpret_cast<ECIObject*>(values[0]), dt, 1));
}

PyMethodDef module_functions[] = {
    vx::method("propagate_lagrangian", py_propagate_lagrangian, METH_FASTCALL | METH_KEYWORDS,
                  "propagate_lagrangian(r, v, dt, mu)\n--\n\n"
                  "Two-body propagation: the position r (km) and velocity v (km/s), Vector3s, moved on by dt seconds\n"
                  "(negative: backwards) under the gravitational parameter mu (km^3/s^2). Any conic. Returns a new\n"
                  "(position, velocity) tuple of Vector3.\n\n"
                  "Lagrange's f and g from universal variables; the universal Kepler equation is solved to full\n"
                  "double precision. ValueError for mu <= 0, a zero position, non-finite input or a non-finite\n"
                  "result; RuntimeError if Kepler's equation does not converge."),
    vx::method("propagate_lagrangian_u", py_propagate_lagrangian_u, METH_FASTCALL | METH_KEYWORDS,
                  "propagate_lagrangian_u(state, dt)\n--\n\n"
                  "The ECI state moved on by dt seconds along its orbit (MU_EARTH = 398600.5 km^3/s^2), as a new ECI\n"
                  "whose time is state.time + dt. Errors as for propagate_lagrangian; a state whose position or\n"
                  "velocity is None is a TypeError."),
    {nullptr, nullptr, 0, nullptr},
};

bool setup(PyObject* module) {
    return (vector3.type || vector3.import()) &&
           vx::export_function(module, "propagate_lagrangian", reinterpret_cast<void*>(propagate_lagrangian),
                               vextal::kPropagateLagrangianSignature) &&
           vx::export_function(module, "propagate_lagrangian_u", reinterpret_cast<void*>(propagate_lagrangian_u),
                               vextal::kPropagateLagrangianUSignature);
}

}  // namespace

VX_MODULE(kepler, "vextal.astro.kepler", "Two-body propagation in universal variables.", module_functions, setup)
