// vextal.vector3f.Vector3f: a mutable 3-vector of floats; record layout and native method table (see small_vector.hpp).
#pragma once
#include <vextal/small_vector.hpp>

namespace vextal {

struct Vector3fObject;
struct Vector3fData {
    float x, y, z;
};
struct Vector3fTable : SmallVectorTable<Vector3fObject> {};

struct Vector3fObject {
    PyObject_HEAD
    Vector3fTable* vtab;
    Vector3fData _vector;  // 12 bytes, then 4 of padding
};

static_assert(sizeof(Vector3fTable) == 9 * sizeof(void*), "Vector3f table has 9 entries");
static_assert(offsetof(Vector3fObject, vtab) == 16 && offsetof(Vector3fObject, _vector) == 24, "Vector3f layout");
static_assert(sizeof(Vector3fObject) == 40, "Vector3f instance size");

inline constexpr const char kVector3fModule[] = "vextal.vector3f";
inline constexpr const char kVector3fClass[] = "Vector3f";

}  // namespace vextal
