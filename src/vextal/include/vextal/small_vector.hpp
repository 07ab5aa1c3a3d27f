// Native method tables of the small vector and quaternion types (vextal.vector2.Vector2, vector4.Vector4,
// vector3f.Vector3f, vector4f.Vector4f, quaternion.Quaternion, quaternionf.Quaternionf).
//
// Import a class with its size checked and take its table from the capsule under "__pyx_vtable__" in the class
// dict; call an entry as table->entry(self, args..., skip_dispatch). With skip_dispatch 0 an entry first
// honours a Python subclass's redefinition of the method. Whatever the stored scalar type, entries take and
// give doubles. Object results are new references (null with an exception set); double results never raise
// (a failing override is reported as unraisable and gives 0.0).
#pragma once
#include <Python.h>

#include <cstddef>

namespace vextal {

// The vectors' table; vector results are exact instances of the vector's own class.
template <class Object>
struct SmallVectorTable {
    double (*magnitude_squared)(Object* self, int skip_dispatch);           // 1: sum of squares
    double (*magnitude)(Object* self, int skip_dispatch);                   // 2: the length
    double (*dot)(Object* self, Object* other, int skip_dispatch);          // 3
    PyObject* (*add)(Object* self, Object* other, int skip_dispatch);       // 4: self + other
    PyObject* (*subtract)(Object* self, Object* other, int skip_dispatch);  // 5: self - other
    PyObject* (*multiply)(Object* self, double scalar, int skip_dispatch);  // 6: self * scalar
    PyObject* (*negate)(Object* self, int skip_dispatch);                   // 7: -self
    PyObject* (*normalize)(Object* self, int skip_dispatch);                // 8: the unit vector; zero stays zero
    double (*distance)(Object* self, Object* other, int skip_dispatch);     // 9: |self - other|
};

// The quaternions' table; `Vector` is the 3-vector class that rotate() works on.
template <class Object, class Vector>
struct QuaternionTableOf {
    double (*magnitude_squared)(Object* self, int skip_dispatch);           // 1: w² + x² + y² + z²
    double (*magnitude)(Object* self, int skip_dispatch);                   // 2: the norm
    double (*dot)(Object* self, Object* other, int skip_dispatch);          // 3
    PyObject* (*add)(Object* self, Object* other, int skip_dispatch);       // 4: self + other
    PyObject* (*subtract)(Object* self, Object* other, int skip_dispatch);  // 5: self - other
    PyObject* (*multiply)(Object* self, Object* other, int skip_dispatch);  // 6: Hamilton product self * other
    PyObject* (*conjugate)(Object* self, int skip_dispatch);                // 7: (w, -x, -y, -z)
    PyObject* (*inverse)(Object* self, int skip_dispatch);                  // 8: ZeroDivisionError for zero
    PyObject* (*normalize)(Object* self, int skip_dispatch);                // 9: the unit quaternion; zero stays zero
    PyObject* (*rotate)(Object* self, Vector* v, int skip_dispatch);        // 10: v rotated by self / |self|;
                                                                            //     ZeroDivisionError for zero
};

}  // namespace vextal
