// vextal.vector4.Vector4: a mutable 4-vector of doubles; record layout and native method table (see small_vector.hpp).
#pragma once
#include <vextal/small_vector.hpp>

namespace vextal {

struct Vector4Object;
struct Vector4Data {
    double x, y, z, w;
};
struct Vector4Table : SmallVectorTable<Vector4Object> {};

struct Vector4Object {
    PyObject_HEAD
    Vector4Table* vtab;
    Vector4Data _vector;
};

static_assert(sizeof(Vector4Table) == 9 * sizeof(void*), "Vector4 table has 9 entries");
static_assert(offsetof(Vector4Object, vtab) == 16 && offsetof(Vector4Object, _vector) == 24, "Vector4 layout");
static_assert(sizeof(Vector4Object) == 56, "Vector4 instance size");

inline constexpr const char kVector4Module[] = "vextal.vector4";
inline constexpr const char kVector4Class[] = "Vector4";

}  // namespace vextal
