// vextal.quaternion.Quaternion: a mutable quaternion of doubles, stored scalar part first (w, x, y, z);
// record layout and native method table (see small_vector.hpp). rotate() works on vextal.vector3.Vector3.
#pragma once
#include <vextal/small_vector.hpp>
#include <vextal/vector3.hpp>

namespace vextal {

struct QuaternionObject;
struct QuaternionData {
    double w, x, y, z;
};
struct QuaternionTable : QuaternionTableOf<QuaternionObject, Vector3Object> {};

struct QuaternionObject {
    PyObject_HEAD
    QuaternionTable* vtab;
    QuaternionData _quaternion;
};

static_assert(sizeof(QuaternionTable) == 10 * sizeof(void*), "Quaternion table has 10 entries");
static_assert(offsetof(QuaternionObject, vtab) == 16, "Quaternion table pointer follows the object header");
static_assert(offsetof(QuaternionObject, _quaternion) == 24, "Quaternion components follow the table pointer");
static_assert(sizeof(QuaternionObject) == 56, "Quaternion instance size");

inline constexpr const char kQuaternionModule[] = "vextal.quaternion";
inline constexpr const char kQuaternionClass[] = "Quaternion";

}  // namespace vextal
