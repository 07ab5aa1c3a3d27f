// vextal.matrix4: the immutable 4x4 matrix of doubles (row by row) used for frame rotations. The class, its
// native table and its methods are the generic ones of native/matrix4_type.hpp over Matrix4's record.
#include "native/math_types.hpp"
#include "native/matrix4_type.hpp"

VX_TOP_LEVEL_MODULE(matrix4, "The 4x4 matrix of doubles.", vx::mat4::Matrix4Type<vx::math::Matrix4Layout>::exec)
