// vextal.vector4f.Vector4f: a mutable 4-vector of floats; record layout and native method table (see small_vector.hpp).
#pragma once
#include <vextal/small_vector.hpp>

namespace vextal {

struct Vector4fObject;
struct Vector4fData {
    float x, y, z, w;
};
struct Vector4fTable : SmallVectorTable<Vector4fObject> {};

struct Vector4fObject {
    PyObject_HEAD
    Vector4fTable* vtab;
    Vector4fData _vector;
};

static_assert(sizeof(Vector4fTable) == 9 * sizeof(void*), "Vector4f table has 9 entries");
static_assert(offsetof(Vector4fObject, vtab) == 16 && offsetof(Vector4fObject, _vector) == 24, "Vector4f layout");
static_assert(sizeof(Vector4fObject) == 40, "Vector4f instance size");

inline constexpr const char kVector4fModule[] = "vextal.vector4f";
inline constexpr const char kVector4fClass[] = "Vector4f";

}  // namespace vextal
