// The record layouts of the math classes (their published headers) as the generic implementations and the
// importing modules see them: where the components are, their names, and the module and class names.
#pragma once
#include "native/record.hpp"

#include <vextal/matrix4f.hpp>
#include <vextal/quaternion.hpp>
#include <vextal/quaternionf.hpp>
#include <vextal/vector2.hpp>
#include <vextal/vector4.hpp>
#include <vextal/vector4f.hpp>

namespace vx::math {

using namespace vextal;

struct Vector3Layout
    : Layout<Vector3Object, &Vector3Object::_vector, &Vector3Data::x, &Vector3Data::y, &Vector3Data::z> {
    static constexpr const char* kModule = kVector3Module;
    static constexpr const char* kClass = kVector3Class;
};

struct Vector3fLayout
    : Layout<Vector3fObject, &Vector3fObject::_vector, &Vector3fData::x, &Vector3fData::y, &Vector3fData::z> {
    static constexpr const char* kModule = kVector3fModule;
    static constexpr const char* kClass = kVector3fClass;
    static constexpr const char* kNames[] = {"x", "y", "z"};
    static constexpr const char* kDoc = "A mutable 3-vector of floats (single precision; arithmetic in double).";
};

struct Vector2Layout : Layout<Vector2Object, &Vector2Object::_vector, &Vector2Data::x, &Vector2Data::y> {
    static constexpr const char* kModule = kVector2Module;
    static constexpr const char* kClass = kVector2Class;
    static constexpr const char* kNames[] = {"x", "y"};
    static constexpr const char* kDoc = "A mutable 2-vector of doubles.";
};

struct Vector4Layout
    : Layout<Vector4Object, &Vector4Object::_vector, &Vector4Data::x, &Vector4Data::y, &Vector4Data::z,
             &Vector4Data::w> {
    static constexpr const char* kModule = kVector4Module;
    static constexpr const char* kClass = kVector4Class;
    static constexpr const char* kNames[] = {"x", "y", "z", "w"};
    static constexpr const char* kDoc = "A mutable 4-vector of doubles.";
};

struct Vector4fLayout : Layout<Vector4fObject, &Vector4fObject::_vector, &Vector4fData::x, &Vector4fData::y,
                               &Vector4fData::z, &Vector4fData::w> {
    static constexpr const char* kModule = kVector4fModule;
    static constexpr const char* kClass = kVector4fClass;
    static constexpr const char* kNames[] = {"x", "y", "z", "w"};
    static constexpr const char* kDoc = "A mutable 4-vector of floats (single precision; arithmetic in double).";
};

struct QuaternionLayout : Layout<QuaternionObject, &QuaternionObject::_quaternion, &QuaternionData::w,
                                 &QuaternionData::x, &QuaternionData::y, &QuaternionData::z> {
    static constexpr const char* kModule = kQuaternionModule;
    static constexpr const char* kClass = kQuaternionClass;
    static constexpr const char* kNames[] = {"w", "x", "y", "z"};
    static constexpr const char* kDoc = "A mutable quaternion of doubles, scalar part w first.";
};

struct QuaternionfLayout : Layout<QuaternionfObject, &QuaternionfObject::_quaternion, &QuaternionfData::w,
                                  &QuaternionfData::x, &QuaternionfData::y, &QuaternionfData::z> {
    static constexpr const char* kModule = kQuaternionfModule;
    static constexpr const char* kClass = kQuaternionfClass;
    static constexpr const char* kNames[] = {"w", "x", "y", "z"};
    static constexpr const char* kDoc =
        "A mutable quaternion of floats (single precision; arithmetic in double), scalar part w first.";
};

// The 4x4 matrices: elements in `_m`, row by row; `Vector` is the 3-vector class of transform().
struct Matrix4Layout {
    using Object = Matrix4Object;
    using Vector = Vector3Layout;
    static constexpr const char* kModule = kMatrix4Module;
    static constexpr const char* kClass = kMatrix4Class;
    static constexpr const char* kDoc = "An immutable 4x4 matrix. Matrix4() is the identity; Matrix4(a00, a01, ..., "
                                        "a33) takes the 16 elements row by row.";
};

struct Matrix4fLayout {
    using Object = Matrix4fObject;
    using Vector = Vector3fLayout;
    static constexpr const char* kModule = kMatrix4fModule;
    static constexpr const char* kClass = kMatrix4fClass;
    static constexpr const char* kDoc = "An immutable 4x4 matrix of floats (single precision; arithmetic in double). "
                                        "Matrix4f() is the identity; Matrix4f(a00, a01, ..., a33) takes the 16 "
                                        "elements row by row.";
};

}  // namespace vx::math
