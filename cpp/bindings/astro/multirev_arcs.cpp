// vextal.astro.multirev_arcs: LambertProblem, the multi-revolution Lambert solver's record. The solve runs
// at construction on plain doubles (cpp/core/lambert.cpp); the record keeps every solution in a fixed
// layout (<vextal/astro/multirev_arcs.hpp>) that other extension modules read natively.
#include "native/record.hpp"
#include "native/status.hpp"
#include "native/support.hpp"
#include "native/vector3_api.hpp"
#include "core/lambert.hpp"

#include <vextal/astro/multirev_arcs.hpp>

#include <cstddef>
#include <new>

using vextal::LambertProblemObject;
using vextal::LambertProblemTable;
namespace num = vextal::numerics;

namespace {

PyTypeObject LambertProblem_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};
LambertProblemTable table;
vx::Vector3Api vector3;

enum Entry { kSolutionCount, kSolution, kEntries };
vx::OverrideSite sites[kEntries] = {
    {"vextal.astro.multirev_arcs.LambertProblem.solution_count"},
    {"vextal.astro.multirev_arcs.LambertProblem.solution"},
};

constexpr const char kNewName[] = "vextal.astro.multirev_arcs.LambertProblem.__cinit__";

LambertProblemObject* self_of(PyObject* o) { return reinterpret_cast<LambertProblemObject*>(o); }

// ---- construction ---------------------------------------------------------------------------------------

// The error of a failed solve: ValueError for impossible input, RuntimeError for a failed iteration.
std::nullptr_t fail_solve(const num::LambertResult& res) {
    switch (res.status) {
        case num::LambertStatus::no_convergence:
            return vx::fail_format(PyExc_RuntimeError, vx::msg::kLambertNoConvergence, res.failed_revolutions,
                                   res.failed_branch < 0 ? "left" : res.failed_branch > 0 ? "right" : "single");
        case num::LambertStatus::out_of_memory:
            PyErr_NoMemory();
            return nullptr;
        default:
            return vx::fail_format(vx::exception_of(res.status), vx::msg::kLambertFailed, num::lambert_status_message(res.status));
    }
}

// The record's object fields for a solved problem, made before the record exists. Any allocation can run a
// collection whose callbacks and finalisers reach every tracked object through gc.get_objects(), so the
// record must never hold a list with empty slots: the lists grow by appending (whole at every step) and are
// attached only once complete, with nothing allocated in between.
struct Fields {
    vx::Ref departures, arrivals, data;

    bool make(const num::LambertResult& res) {
        const Py_ssize_t n = static_cast<Py_ssize_t>(res.solutions.size());
        departures = vx::Ref(PyList_New(0));
        arrivals = vx::Ref(PyList_New(0));
        data = vx::Ref(PyBytes_FromStringAndSize(nullptr, n * Py_ssize_t(sizeof(vextal::LambertSolutionInfo))));
        if (!departures || !arrivals || !data) return false;
        auto* info = reinterpret_cast<vextal::LambertSolutionInfo*>(PyBytes_AS_STRING(data.get()));
        for (Py_ssize_t i = 0; i < n; ++i) {
            const num::LambertSolution& s = res.solutions[i];
            info[i] = {s.x, s.revolutions, s.iterations};
            vx::Ref v1(vector3.make(s.v1[0], s.v1[1], s.v1[2]));
            vx::Ref v2(v1 ? vector3.make(s.v2[0], s.v2[1], s.v2[2]) : nullptr);
            if (!v2 || PyList_Append(departures.get(), v1.get()) < 0 || PyList_Append(arrivals.get(), v2.get()) < 0)
                return false;
        }
        return true;
    }
};

// The constructor's work on bound arguments (r1, r2, tof, mu, is_prograde, max_revs; the last two may be
// null for their defaults).
PyObject* construct(PyTypeObject* type, PyObject* const* values) {
    double tof, mu;
    int prograde = 1, max_revs = 0;
    if (!vx::check_arg_type(values[0], vector3.type, "r1") || !vx::check_arg_type(values[1], vector3.type, "r2") ||
        !vx::to_double(values[2], tof) || !vx::to_double(values[3], mu) ||
        (values[4] && (prograde = vx::to_bool(values[4])) < 0) || (values[5] && !vx::to_int(values[5], max_revs)))
        return nullptr;
    if (!vx::check_instance(values[0], vector3.type) || !vx::check_instance(values[1], vector3.type)) {
        VX_TRACEBACK(kNewName);
        return nullptr;
    }
    const auto& a = vx::Vector3Api::data(values[0]);
    const auto& b = vx::Vector3Api::data(values[1]);
    const double r1[3] = {a.x, a.y, a.z}, r2[3] = {b.x, b.y, b.z};

    // One result buffer for the process, reused to spare its allocation. It stays held until the record is
    // filled: allocating the record and its lists may run a garbage collection whose finalisers construct
    // another LambertProblem, and that construction then solves into a buffer of its own.
    static num::LambertResult shared;
    static bool shared_held = false;
    num::LambertResult own;
    num::LambertResult& res = shared_held ? own : shared;
    struct Hold {
        bool held;
        ~Hold() {
            if (held) shared_held = false;
        }
    } hold{!shared_held};
    shared_held = true;
    if (num::solve_lambert(r1, r2, tof, mu, prograde != 0, max_revs, res) != num::LambertStatus::ok) {
        fail_solve(res);
        VX_TRACEBACK(kNewName);
        return nullptr;
    }
    Fields fields;
    if (!fields.make(res)) {
        VX_TRACEBACK(kNewName);
        return nullptr;
    }
    vx::Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    LambertProblemObject* p = self_of(self.get());
    p->vtab = &table;
    p->r1 = vx::newref(values[0]);
    p->r2 = vx::newref(values[1]);
    p->departure_velocities = fields.departures.release();
    p->arrival_velocities = fields.arrivals.release();
    p->solution_data = fields.data.release();
    p->tof = tof;
    p->mu = mu;
    p->requested_max_revs = max_revs;
    p->is_prograde = prograde != 0;
    p->chord = res.chord;
    p->semiperimeter = res.semiperimeter;
    p->lambda_ = res.lambda;
    p->nondimensional_tof = res.T;
    p->max_revs = res.max_revs;
    p->min_time_iterations = res.min_time_iterations;
    return self.release();
}

vx::Params<6> params{"LambertProblem", {"r1", "r2", "tof", "mu", "is_prograde", "max_revs"}, 4};

PyObject* LambertProblem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    vx::Bound<6> values;
    return params.bind(args, kwargs, values) ? construct(type, values) : nullptr;
}

// Calling the class itself skips the argument tuple (subclasses, which do not inherit this, go through
// tp_new).
PyObject* LambertProblem_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    vx::Bound<6> values;
    return params.bind(args, PyVectorcall_NARGS(nargsf), kwnames, values)
               ? construct(reinterpret_cast<PyTypeObject*>(type), values)
               : nullptr;
}

// ---- GC and deallocation --------------------------------------------------------------------------------

// The object fields of the record, for the GC.
constexpr PyObject* LambertProblemObject::*kObjectFields[] = {
    &LambertProblemObject::r1, &LambertProblemObject::r2, &LambertProblemObject::departure_velocities,
    &LambertProblemObject::arrival_velocities, &LambertProblemObject::solution_data,
};

int LambertProblem_traverse(PyObject* self, visitproc visit, void* arg) {
    for (auto field : kObjectFields) Py_VISIT(self_of(self)->*field);
    return 0;
}

int LambertProblem_clear(PyObject* self) {
    for (auto field : kObjectFields) Py_CLEAR(self_of(self)->*field);
    return 0;
}

void LambertProblem_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    LambertProblem_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// "<LambertProblem r1=... r2=... tof=... mu=... prograde max_revs=2 (asked 10): 5 solutions>": the problem as
// given and what the solver made of it (the revolution limit after cropping, the solution count).
PyObject* LambertProblem_repr(PyObject* self) {
    LambertProblemObject* p = self_of(self);
    Py_ssize_t count = PyObject_Length(p->departure_velocities);
    if (count < 0) return nullptr;
    vx::Ref tof(PyFloat_FromDouble(p->tof)), mu(PyFloat_FromDouble(p->mu));
    if (!tof || !mu) return nullptr;
    return PyUnicode_FromFormat("<%s r1=%R r2=%R tof=%R mu=%R %s max_revs=%d (asked %d): %zd solution%s>",
                                vx::short_name(Py_TYPE(self)), p->r1, p->r2, tof.get(), mu.get(),
                                p->is_prograde ? "prograde" : "retrograde", p->max_revs, p->requested_max_revs,
                                count, count == 1 ? "" : "s");
}

// ---- table entries --------------------------------------------------------------------------------------

int solution_count(LambertProblemObject* self, int skip_dispatch) {
    if (!skip_dispatch) {
        vx::Ref override;
        if (vx::find_override(reinterpret_cast<PyObject*>(self), sites[kSolutionCount], override)) {
            int count = -1;
            vx::Ref value(override ? vx::call_override(override) : vx::Ref());
            if (!value || !vx::to_int(value.get(), count)) {
                VX_TRACEBACK(sites[kSolutionCount].qualname);
                return -1;
            }
            return count;
        }
    }
    if (!self->departure_velocities) {
        vx::fail_cannot_convert(Py_None, &PyList_Type);
        VX_TRACEBACK(sites[kSolutionCount].qualname);
        return -1;
    }
    return static_cast<int>(PyList_GET_SIZE(self->departure_velocities));
}

PyObject* solution(LambertProblemObject* self, int index, int skip_dispatch) {
    VX_DISPATCH_OBJECT(sites[kSolution], &PyTuple_Type, index);
    int n = solution_count(self, 1);
    if (n < 0) return nullptr;
    if (index < 0 || index >= n || !self->arrival_velocities || PyList_GET_SIZE(self->arrival_velocities) <= index) {
        vx::fail_format(PyExc_IndexError, vx::msg::kSolutionIndex, index, n);
        VX_TRACEBACK(sites[kSolution].qualname);
        return nullptr;
    }
    return PyTuple_Pack(2, PyList_GET_ITEM(self->departure_velocities, index),
                        PyList_GET_ITEM(self->arrival_velocities, index));
}

// ---- Python-visible methods and properties --------------------------------------------------------------

PyObject* py_solution_count(PyObject* self, PyObject*) {
    int n = solution_count(self_of(self), 1);
    return n < 0 ? nullptr : PyLong_FromLong(n);
}

PyObject* py_solution(PyObject* self, PyObject* arg) {
    int index;
    if (!vx::to_int(arg, index)) return nullptr;
    return solution(self_of(self), index, 1);
}

PyMethodDef methods[] = {
    vx::method("solution_count", py_solution_count, METH_NOARGS,
               "solution_count($self, /)\n--\n\nThe number of solutions, 1 + 2 * max_revs."),
    vx::method("solution", py_solution, METH_O,
               "solution($self, index, /)\n--\n\n(departure velocity, arrival velocity) of solution `index`."),
    VX_PICKLING_REFUSAL(vx::msg::kNoDefaultReduce),
    {nullptr, nullptr, 0, nullptr},
};

template <std::size_t Offset>
PyObject* get_object(PyObject* self, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return vx::newref(value ? value : Py_None);
}

template <std::size_t Offset>
PyObject* get_double(PyObject* self, void*) {
    return PyFloat_FromDouble(*reinterpret_cast<double*>(reinterpret_cast<char*>(self) + Offset));
}

template <std::size_t Offset>
PyObject* get_int(PyObject* self, void*) {
    return PyLong_FromLong(*reinterpret_cast<int*>(reinterpret_cast<char*>(self) + Offset));
}

PyObject* get_is_prograde(PyObject* self, void*) { return PyBool_FromLong(self_of(self)->is_prograde); }

// revolutions, iterations and x: lists made on each access from solution_data.
template <int Item>
PyObject* get_solution_list(PyObject* self, void*) {
    PyObject* data = self_of(self)->solution_data;
    if (!data) return PyList_New(0);
    const auto* info = reinterpret_cast<const vextal::LambertSolutionInfo*>(PyBytes_AS_STRING(data));
    const Py_ssize_t n = PyBytes_GET_SIZE(data) / Py_ssize_t(sizeof(vextal::LambertSolutionInfo));
    vx::Ref list(PyList_New(n));
    for (Py_ssize_t i = 0; list && i < n; ++i) {
        PyObject* item = Item == 0 ? PyLong_FromLong(info[i].revolutions)
                         : Item == 1 ? PyLong_FromLong(info[i].iterations)
                                     : PyFloat_FromDouble(info[i].x);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
}

#define LP_OBJECT(field, doc) {#field, get_object<offsetof(LambertProblemObject, field)>, nullptr, doc, nullptr}
#define LP_DOUBLE(name, field, doc) {name, get_double<offsetof(LambertProblemObject, field)>, nullptr, doc, nullptr}
#define LP_INT(field, doc) {#field, get_int<offsetof(LambertProblemObject, field)>, nullptr, doc, nullptr}

PyGetSetDef getset[] = {
    LP_OBJECT(r1, "Departure position (the Vector3 given, km)."),
    LP_OBJECT(r2, "Arrival position (the Vector3 given, km)."),
    LP_OBJECT(departure_velocities, "Departure velocity of each solution (list of Vector3, km/s)."),
    LP_OBJECT(arrival_velocities, "Arrival velocity of each solution (list of Vector3, km/s)."),
    LP_OBJECT(solution_data, "Per solution (x: double, revolutions: int32, iterations: int32), packed as bytes."),
    {"revolutions", get_solution_list<0>, nullptr, "Number of complete revolutions N of each solution (new list).",
     nullptr},
    {"iterations", get_solution_list<1>, nullptr, "Householder iterations spent on each solution (new list).", nullptr},
    {"x", get_solution_list<2>, nullptr, "Izzo's x of each solution (new list).", nullptr},
    LP_DOUBLE("chord", chord, "c = |r2 - r1| (km)."),
    LP_DOUBLE("semiperimeter", semiperimeter, "s = (|r1| + |r2| + c) / 2 (km)."),
    LP_DOUBLE("tof", tof, "Time of flight (s)."),
    LP_DOUBLE("mu", mu, "Gravitational parameter (km^3/s^2)."),
    LP_DOUBLE("lambda_", lambda_, "Izzo's lambda, negative when the transfer angle exceeds 180 degrees."),
    LP_DOUBLE("nondimensional_tof", nondimensional_tof, "T = tof * sqrt(2 mu / s**3)."),
    LP_INT(max_revs, "Revolution limit after cropping to what the time of flight allows."),
    LP_INT(requested_max_revs, "Revolution limit asked for."),
    {"is_prograde", get_is_prograde, nullptr, "True for prograde (angular momentum +z), False for retrograde.", nullptr},
    LP_INT(min_time_iterations, "Halley iterations of the minimum-time test (0 when it was not needed)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "LambertProblem(r1, r2, tof, mu, is_prograde=True, max_revs=0)\n--\n\n"
    "Every solution of Lambert's problem from 0 to max_revs complete revolutions: the orbits that leave the\n"
    "position r1 (Vector3, km) and reach r2 after tof seconds under the gravitational parameter mu (km^3/s^2).\n\n"
    "Izzo's (2015) lambda/x formulation with Householder iterations, converged to full double precision.\n"
    "- Order: the zero-revolution arc first, then for N = 1, 2, ... two N-revolution arcs, the left branch\n"
    "  (x below the minimum-time point) before the right one; 1 + 2 * max_revs solutions in all.\n"
    "- max_revs is cropped to the largest N whose minimum time of flight does not exceed tof (see max_revs\n"
    "  and requested_max_revs).\n"
    "- Prograde: the transfer's angular momentum has a +z component; retrograde: -z, whatever the sign of\n"
    "  (r1 x r2).z, so transfer angles above 180 degrees occur. When the plane of r1 and r2 contains the z\n"
    "  axis, prograde takes the short way (below 180 degrees) and retrograde the long way.\n\n"
    "- The record keeps r1 and r2 as given (the same objects) and makes new Vector3 velocities.\n\n"
    "ValueError for zero-length or collinear (0 or 180 degrees apart) positions, non-finite input, tof <= 0,\n"
    "mu <= 0, max_revs < 0, more than 100000 revolutions both asked for and possible, or magnitudes that\n"
    "overflow; RuntimeError if the iteration does not converge.";

bool setup(PyObject* module) {
    if (!vector3.type && !vector3.import()) return false;
    if (!(LambertProblem_Type.tp_flags & Py_TPFLAGS_READY)) {
        table = LambertProblemTable{solution_count, solution};
        sites[kSolutionCount].wrapper = reinterpret_cast<void*>(py_solution_count);
        sites[kSolution].wrapper = reinterpret_cast<void*>(py_solution);
        PyTypeObject& t = LambertProblem_Type;
        t.tp_name = "vextal.astro.multirev_arcs.LambertProblem";
        t.tp_basicsize = sizeof(LambertProblemObject);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
        t.tp_doc = kDoc;
        t.tp_new = LambertProblem_new;
        t.tp_vectorcall = LambertProblem_vectorcall;
        t.tp_dealloc = LambertProblem_dealloc;
        t.tp_repr = LambertProblem_repr;
        t.tp_traverse = LambertProblem_traverse;
        t.tp_clear = LambertProblem_clear;
        t.tp_free = PyObject_GC_Del;
        t.tp_methods = methods;
        t.tp_getset = getset;
    }
    return vx::add_class(module, &LambertProblem_Type, vextal::kLambertProblemClass, &table);
}

}  // namespace

VX_MODULE(multirev_arcs, "vextal.astro.multirev_arcs", "The multi-revolution Lambert solver.", nullptr, setup)
