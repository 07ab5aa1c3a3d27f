// vextal.astro.orbitvector: state record layout and the native method tables of ECI, EFG, RIC and LLH.
#pragma once
#include <vextal/vector3.hpp>

namespace vextal {

// _OrbitVector: epoch (DS1950 UTC), position (km) and velocity (km/s); each vector a Vector3 or None.
struct OrbitVectorObject {
    PyObject_HEAD
    double time;
    PyObject* position;
    PyObject* velocity;
};

struct ECIObject;
struct EFGObject;
struct RICObject;
struct LLHObject;

struct ECITable {
    PyObject* (*to_ric)(ECIObject* self, ECIObject* chief, int skip_dispatch);  // RIC
    PyObject* (*eci_to_ric)(ECIObject* self, int skip_dispatch);                // Matrix4
    double (*compute_sma)(ECIObject* self, int skip_dispatch);
    double (*compute_mean_motion)(ECIObject* self, int skip_dispatch);
    double (*compute_energy)(ECIObject* self, int skip_dispatch);
    double (*compute_period)(ECIObject* self, int skip_dispatch);
};

struct EFGTable {
    PyObject* (*to_eci)(EFGObject* self, int skip_dispatch);  // None: there is no Earth rotation model
    PyObject* (*to_llh)(EFGObject* self, int skip_dispatch);  // LLH
};

struct RICTable {
    PyObject* (*to_eci)(RICObject* self, ECIObject* chief, int skip_dispatch);  // ECI
};

// LLH's table: Vector3's 25 entries as Vector3 publishes them, then its own.
struct LLHTable {
    Vector3Table base;
    PyObject* (*to_efg)(LLHObject* self, int skip_dispatch);  // Vector3, Earth-fixed km
};

struct ECIObject {
    OrbitVectorObject base;
    ECITable* vtab;
};
struct EFGObject {
    OrbitVectorObject base;
    EFGTable* vtab;
};
struct RICObject {
    OrbitVectorObject base;
    RICTable* vtab;
};
// Latitude (x, degrees), longitude (y, degrees), height (z, km). The table pointer is Vector3's own field.
struct LLHObject {
    Vector3Object base;
};

static_assert(offsetof(OrbitVectorObject, time) == 16, "state epoch follows the object header");
static_assert(offsetof(OrbitVectorObject, position) == 24, "state position");
static_assert(offsetof(OrbitVectorObject, velocity) == 32, "state velocity");
static_assert(sizeof(OrbitVectorObject) == 40, "_OrbitVector instance size");
static_assert(offsetof(ECIObject, vtab) == 40 && sizeof(ECIObject) == 48, "ECI instance layout");
static_assert(offsetof(EFGObject, vtab) == 40 && sizeof(EFGObject) == 48, "EFG instance layout");
static_assert(offsetof(RICObject, vtab) == 40 && sizeof(RICObject) == 48, "RIC instance layout");
static_assert(sizeof(LLHObject) == 48, "LLH instance size");
static_assert(sizeof(ECITable) == 6 * sizeof(void*) && sizeof(EFGTable) == 2 * sizeof(void*) &&
                  sizeof(RICTable) == sizeof(void*) && sizeof(LLHTable) == 26 * sizeof(void*),
              "state table sizes");

inline constexpr const char kOrbitVectorModule[] = "vextal.astro.orbitvector";

}  // namespace vextal
