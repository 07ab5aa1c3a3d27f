// vextal.vector2.Vector2: a mutable 2-vector of doubles; record layout and native method table (see small_vector.hpp).
#pragma once
#include <vextal/small_vector.hpp>

namespace vextal {

struct Vector2Object;
struct Vector2Data {
    double x, y;
};
struct Vector2Table : SmallVectorTable<Vector2Object> {};

struct Vector2Object {
    PyObject_HEAD
    Vector2Table* vtab;
    Vector2Data _vector;
};

static_assert(sizeof(Vector2Table) == 9 * sizeof(void*), "Vector2 table has 9 entries");
static_assert(offsetof(Vector2Object, vtab) == 16 && offsetof(Vector2Object, _vector) == 24, "Vector2 layout");
static_assert(sizeof(Vector2Object) == 40, "Vector2 instance size");

inline constexpr const char kVector2Module[] = "vextal.vector2";
inline constexpr const char kVector2Class[] = "Vector2";

}  // namespace vextal
