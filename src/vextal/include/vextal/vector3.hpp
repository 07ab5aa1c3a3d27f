// vextal.vector3.Vector3: record layout and native method table, for extension modules that call it natively.
//
// Import the class with its size checked (48 bytes) and take the table from the capsule under
// "__pyx_vtable__" in the class dict; call an entry as table->entry(self, args..., skip_dispatch). With
// skip_dispatch 0 an entry first honours a Python subclass's redefinition of the method.
#pragma once
#include <Python.h>

#include <cstddef>

namespace vextal {

struct Vector3Object;
struct Matrix4Object;

struct Vector3Data {
    double x, y, z;
};

// The 25 entries, in table order. Vector results are new references (null with an exception set);
// double results never raise (a failing override is reported and gives 0.0).
struct Vector3Table {
    double (*magnitude_squared)(Vector3Object* self, int skip_dispatch);                      // 1
    double (*magnitude)(Vector3Object* self, int skip_dispatch);                              // 2
    double (*dot)(Vector3Object* self, Vector3Object* other, int skip_dispatch);              // 3
    PyObject* (*cross)(Vector3Object* self, Vector3Object* other, int skip_dispatch);         // 4
    PyObject* (*add)(Vector3Object* self, Vector3Object* other, int skip_dispatch);           // 5
    PyObject* (*subtract)(Vector3Object* self, Vector3Object* other, int skip_dispatch);      // 6
    PyObject* (*multiply)(Vector3Object* self, double scalar, int skip_dispatch);             // 7
    PyObject* (*divide)(Vector3Object* self, double scalar, int skip_dispatch);               // 8
    PyObject* (*negate)(Vector3Object* self, int skip_dispatch);                              // 9
    PyObject* (*normalize)(Vector3Object* self, int skip_dispatch);                           // 10
    double (*distance)(Vector3Object* self, Vector3Object* other, int skip_dispatch);         // 11
    double (*angle)(Vector3Object* self, Vector3Object* other, int skip_dispatch);            // 12, degrees
    PyObject* (*transform)(Vector3Object* self, Matrix4Object* m, int skip_dispatch);         // 13
    PyObject* (*transform_direction)(Vector3Object* self, Matrix4Object* m, int skip_dispatch);  // 14
    PyObject* (*scale)(Vector3Object* self, Vector3Object* other, int skip_dispatch);         // 15
    PyObject* (*lerp)(Vector3Object* self, Vector3Object* other, double t, int skip_dispatch);  // 16
    PyObject* (*project)(Vector3Object* self, Vector3Object* onto, int skip_dispatch);        // 17
    PyObject* (*reject)(Vector3Object* self, Vector3Object* from, int skip_dispatch);         // 18
    PyObject* (*rotate)(Vector3Object* self, Vector3Object* axis, double degrees, int skip_dispatch);  // 19
    PyObject* (*minimum)(Vector3Object* self, Vector3Object* other, int skip_dispatch);       // 20
    PyObject* (*maximum)(Vector3Object* self, Vector3Object* other, int skip_dispatch);       // 21
    int (*is_close)(Vector3Object* self, Vector3Object* other, double tolerance, int skip_dispatch);  // 22
    PyObject* (*copy)(Vector3Object* self, int skip_dispatch);                                // 23
    PyObject* (*set)(Vector3Object* self, double x, double y, double z, int skip_dispatch);   // 24, returns None
    PyObject* (*to_tuple)(Vector3Object* self, int skip_dispatch);                            // 25
};

struct Vector3Object {
    PyObject_HEAD
    Vector3Table* vtab;
    Vector3Data _vector;
};

static_assert(sizeof(Vector3Table) == 25 * sizeof(void*), "Vector3 table has 25 entries");
static_assert(offsetof(Vector3Object, vtab) == 16, "Vector3 table pointer follows the object header");
static_assert(offsetof(Vector3Object, _vector) == 24, "Vector3 components follow the table pointer");
static_assert(sizeof(Vector3Object) == 48, "Vector3 instance size");

inline constexpr const char kVector3Module[] = "vextal.vector3";
inline constexpr const char kVector3Class[] = "Vector3";

}  // namespace vextal
