// vextal.matrix4.Matrix4: record layout and native method table. An immutable 4x4 matrix of doubles,
// stored row by row.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vextal {

struct Vector3Object;
struct Matrix4Object;

// The 4x4 matrices' table (Matrix4 here, Matrix4f over floats); `Vector` is the 3-vector class of transform().
// Object results are new references (null with an exception set); double results never raise (a failing
// override is reported as unraisable and gives 0.0).
template <class Object, class Vector>
struct Matrix4TableOf {
    PyObject* (*inverse)(Object* self, int skip_dispatch);                                // 1: ValueError when singular
    PyObject* (*transpose)(Object* self, int skip_dispatch);                              // 2
    PyObject* (*multiply)(Object* self, Object* other, int skip_dispatch);                // 3: self @ other
    double (*determinant)(Object* self, int skip_dispatch);                               // 4
    PyObject* (*transform)(Object* self, Vector* v, int skip_dispatch);                   // 5: point, w = 1
    double (*get)(Object* self, int row, int col, int skip_dispatch);                     // 6
    double (*trace)(Object* self, int skip_dispatch);                                     // 7
    int (*is_close)(Object* self, Object* other, double tolerance, int skip_dispatch);    // 8: -1 on error
};

struct Matrix4Table : Matrix4TableOf<Matrix4Object, Vector3Object> {};

struct Matrix4Object {
    PyObject_HEAD
    Matrix4Table* vtab;
    double _m[16];          // row-major: _m[4 * row + col]
    double _determinant;    // cached determinant; valid when _flags has kMatrixDeterminantKnown
    uint64_t _flags;
    Py_hash_t _hash;        // cached hash, -1 until computed
    PyObject* _weakreflist;
};

inline constexpr uint64_t kMatrixDeterminantKnown = 1;

static_assert(sizeof(Matrix4Table) == 8 * sizeof(void*), "Matrix4 table has 8 entries");
static_assert(offsetof(Matrix4Object, vtab) == 16, "Matrix4 table pointer follows the object header");
static_assert(offsetof(Matrix4Object, _m) == 24, "Matrix4 elements follow the table pointer");
static_assert(sizeof(Matrix4Object) == 184, "Matrix4 instance size");

inline constexpr const char kMatrix4Module[] = "vextal.matrix4";
inline constexpr const char kMatrix4Class[] = "Matrix4";

}  // namespace vextal
