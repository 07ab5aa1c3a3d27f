// vextal.matrix4f.Matrix4f: record layout and native method table. An immutable 4x4 matrix of floats, stored
// row by row, with Matrix4's table (its transform() works on vextal.vector3f.Vector3f) and trailing fields.
#pragma once
#include <vextal/matrix4.hpp>
#include <vextal/vector3f.hpp>

namespace vextal {

struct Matrix4fObject;
struct Matrix4fTable : Matrix4TableOf<Matrix4fObject, Vector3fObject> {};

struct Matrix4fObject {
    PyObject_HEAD
    Matrix4fTable* vtab;
    float _m[16];           // row-major: _m[4 * row + col]
    double _determinant;    // cached determinant; valid when _flags has kMatrixDeterminantKnown
    uint64_t _flags;
    Py_hash_t _hash;        // cached hash, -1 until computed
    PyObject* _weakreflist;
};

static_assert(sizeof(Matrix4fTable) == 8 * sizeof(void*), "Matrix4f table has 8 entries");
static_assert(offsetof(Matrix4fObject, vtab) == 16 && offsetof(Matrix4fObject, _m) == 24, "Matrix4f layout");
static_assert(offsetof(Matrix4fObject, _determinant) == 88, "Matrix4f trailing fields follow the elements");
static_assert(sizeof(Matrix4fObject) == 120, "Matrix4f instance size");

inline constexpr const char kMatrix4fModule[] = "vextal.matrix4f";
inline constexpr const char kMatrix4fClass[] = "Matrix4f";

}  // namespace vextal
