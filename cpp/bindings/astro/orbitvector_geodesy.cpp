// vextal.astro.orbitvector, geodesy part: the Earth ellipsoid module functions and the native bodies of
// EFG.to_llh, EFG.to_eci and LLH.to_efg. The arithmetic is in cpp/core/geodesy.hpp.
#include "astro/orbitvector_internal.hpp"

namespace vextal::orbitvector {

namespace {

namespace geo = vextal::numerics;

// A new LLH holding (latitude, longitude, height): what LLH(latitude, longitude, height) gives, without the
// argument floats and tuple. LLH is a static class: its allocator (which sets LLH's table) and Vector3's
// initialiser, which only stores the three numbers, are all that the call would run.
PyObject* make_llh(const numerics::Geodetic& llh) noexcept {
    static PyObject* no_args = nullptr;
    if (!no_args && !(no_args = PyTuple_New(0))) return nullptr;
    PyObject* result = LLH_Type.tp_new(&LLH_Type, no_args, nullptr);
    if (result) reinterpret_cast<LLHObject*>(result)->base._vector = {llh.latitude, llh.longitude, llh.height};
    return result;
}

// The state's `position` as Python's attribute lookup gives it, so that a subclass's own `position` is
// honoured. For an exact EFG (a static class without instance dicts) that lookup can only find the field.
PyObject* position_of(EFGObject* self) noexcept {
    if (Py_TYPE(self) == &EFG_Type) return vx::newref(self->base.position);
    static PyObject* name = nullptr;
    if (!name && !(name = PyUnicode_InternFromString("position"))) return nullptr;
    return PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name);
}

// The one-argument module functions: a float in, a float out.
template <double (*F)(double)>
PyObject* float_function(PyObject* arg, const char* qualname, int line) noexcept {
    double value;
    PyObject* result = vx::to_double(arg, value) ? PyFloat_FromDouble(F(value)) : nullptr;
    if (!result) vx::add_traceback(qualname, line, VX_SOURCE_FILE);
    return result;
}

PyObject* py_get_earth_radiusn_from_sin_latitude(PyObject*, PyObject* sin_latitude) noexcept {
    return float_function<geo::earth_radius_n>(
        sin_latitude, "vextal.astro.orbitvector._get_earth_radiusn_from_sin_latitude", __LINE__);
}

PyObject* py_get_earth_radius_from_latitude(PyObject*, PyObject* latitude) noexcept {
    return float_function<geo::earth_radius>(latitude, "vextal.astro.orbitvector._get_earth_radius_from_latitude",
                                             __LINE__);
}

PyObject* py_geocentric_to_geodetic(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static vx::Params<2> params{"_geocentric_to_geodetic", {"latitude_gc", "altitude"}, 2};
    vx::Bound<2> values;
    double latitude_gc, altitude;
    PyObject* result = nullptr;
    if (params.bind(args, kwargs, values) && vx::to_double(values[0], latitude_gc) &&
        vx::to_double(values[1], altitude))
        result = PyFloat_FromDouble(geo::geocentric_to_geodetic(latitude_gc, altitude));
    if (!result) VX_TRACEBACK("vextal.astro.orbitvector._geocentric_to_geodetic");
    return result;
}

#define VX_FUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

}  // namespace

PyMethodDef geodesy_functions[] = {
    {"_get_earth_radiusn_from_sin_latitude", VX_FUNCTION(py_get_earth_radiusn_from_sin_latitude), METH_O,
     "_get_earth_radiusn_from_sin_latitude(sin_latitude, /)\n--\n\n"
     "Radius of curvature in the prime vertical (km) for the sine of a geodetic latitude."},
    {"_get_earth_radius_from_latitude", VX_FUNCTION(py_get_earth_radius_from_latitude), METH_O,
     "_get_earth_radius_from_latitude(latitude, /)\n--\n\n"
     "Distance (km) from the Earth's centre to the ellipsoid surface at a geodetic latitude (degrees)."},
    // Keywords arrive as a dict, so that a non-string keyword meets this function's own message.
    {"_geocentric_to_geodetic", VX_FUNCTION(py_geocentric_to_geodetic), METH_VARARGS | METH_KEYWORDS,
     "_geocentric_to_geodetic(latitude_gc, altitude)\n--\n\n"
     "Geodetic latitude (degrees) of a point given by its geocentric latitude (degrees) and its height (km)\n"
     "above the ellipsoid."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* efg_to_llh(EFGObject* self) {
    vx::Ref position(position_of(self));
    if (!position || !vx::check_instance(position.get(), vector3.type)) {
        VX_TRACEBACK("vextal.astro.orbitvector.EFG.to_llh");
        return nullptr;
    }
    auto* v = position.as<Vector3Object>();
    double r = vector3.table->magnitude(v, 0);
    const Vector3Data& c = v->_vector;
    PyObject* result = make_llh(geo::efg_to_llh(c.x, c.y, c.z, r));
    if (!result) VX_TRACEBACK("vextal.astro.orbitvector.EFG.to_llh");
    return result;
}

// There is no Earth rotation model: the state is not read.
PyObject* efg_to_eci(EFGObject*) { Py_RETURN_NONE; }

PyObject* llh_to_efg(LLHObject* self) {
    const Vector3Data& llh = self->base._vector;
    numerics::Vec3 efg = geo::llh_to_efg(llh.x, llh.y, llh.z);
    PyObject* result = vector3.make(efg.x, efg.y, efg.z);
    if (!result) VX_TRACEBACK("vextal.astro.orbitvector.LLH.to_efg");
    return result;
}

}  // namespace vextal::orbitvector
