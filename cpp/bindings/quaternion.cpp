// vextal.quaternion: the quaternion of doubles (w, x, y, z), which rotates Vector3. The class, its native table and
// its methods are the generic ones of native/small_vector.hpp over this record layout (native/math_types.hpp).
#include "native/math_types.hpp"
#include "native/small_vector.hpp"

VX_TOP_LEVEL_MODULE(quaternion, "The quaternion of doubles (w, x, y, z); rotates Vector3.",
                    (vx::small::Quaternions<vx::math::QuaternionLayout, vx::math::Vector3Layout>::exec))
