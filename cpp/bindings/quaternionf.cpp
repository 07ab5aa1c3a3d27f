// vextal.quaternionf: the quaternion of floats (w, x, y, z), which rotates Vector3f. The class, its native table and
// its methods are the generic ones of native/small_vector.hpp over this record layout (native/math_types.hpp).
#include "native/math_types.hpp"
#include "native/small_vector.hpp"

VX_TOP_LEVEL_MODULE(quaternionf, "The quaternion of floats (w, x, y, z); rotates Vector3f.",
                    (vx::small::Quaternions<vx::math::QuaternionfLayout, vx::math::Vector3fLayout>::exec))
