// vextal.quaternionf.Quaternionf: a mutable quaternion of floats, stored scalar part first (w, x, y, z);
// record layout and native method table (see small_vector.hpp). rotate() works on vextal.vector3f.Vector3f.
#pragma once
#include <vextal/small_vector.hpp>
#include <vextal/vector3f.hpp>

namespace vextal {

struct QuaternionfObject;
struct QuaternionfData {
    float w, x, y, z;
};
struct QuaternionfTable : QuaternionTableOf<QuaternionfObject, Vector3fObject> {};

struct QuaternionfObject {
    PyObject_HEAD
    QuaternionfTable* vtab;
    QuaternionfData _quaternion;
};

static_assert(sizeof(QuaternionfTable) == 10 * sizeof(void*), "Quaternionf table has 10 entries");
static_assert(offsetof(QuaternionfObject, vtab) == 16, "Quaternionf table pointer follows the object header");
static_assert(offsetof(QuaternionfObject, _quaternion) == 24, "Quaternionf components follow the table pointer");
static_assert(sizeof(QuaternionfObject) == 40, "Quaternionf instance size");

inline constexpr const char kQuaternionfModule[] = "vextal.quaternionf";
inline constexpr const char kQuaternionfClass[] = "Quaternionf";

}  // namespace vextal
