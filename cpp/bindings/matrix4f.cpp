// vextal.matrix4f: the immutable 4x4 matrix of floats (row by row). The class, its native table and its methods
// are the generic ones of native/matrix4_type.hpp over Matrix4f's record; transform() works on Vector3f.
#include "native/math_types.hpp"
#include "native/matrix4_type.hpp"

VX_TOP_LEVEL_MODULE(matrix4f, "The 4x4 matrix of floats.", vx::mat4::Matrix4Type<vx::math::Matrix4fLayout>::exec)
