// vextal.matrix4.Matrix4: record layout and native method table. An immutable 4x4 matrix of doubles,
// stored row by row.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vextal {

struct Vector3Object;
struct Matrix4Object;

struct Matrix4Table {
    PyObject* (*inverse)(Matrix4Object* self, int skip_dispatch);  // 1: ValueError when singular
    PyObject* (*transpose)(Matrix4Object* self, int skip_dispatch);                        // 2
    PyObject* (*multiply)(Matrix4Object* self, Matrix4Object* other, int skip_dispatch);   // 3: self @ other
    double (*determinant)(Matrix4Object* self, int skip_dispatch);                         // 4
    PyObject* (*transform)(Matrix4Object* self, Vector3Object* v, int skip_dispatch);      // 5: point, w = 1
    double (*get)(Matrix4Object* self, int row, int col, int skip_dispatch);               // 6
    double (*trace)(Matrix4Object* self, int skip_dispatch);                               // 7
    int (*is_close)(Matrix4Object* self, Matrix4Object* other, double tolerance, int skip_dispatch);  // 8
};

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

static_assert(offsetof(Matrix4Object, vtab) == 16, "Matrix4 table pointer follows the object header");
static_assert(offsetof(Matrix4Object, _m) == 24, "Matrix4 elements follow the table pointer");
static_assert(sizeof(Matrix4Object) == 184, "Matrix4 instance size");

inline constexpr const char kMatrix4Module[] = "vextal.matrix4";
inline constexpr const char kMatrix4Class[] = "Matrix4";

}  // namespace vextal
