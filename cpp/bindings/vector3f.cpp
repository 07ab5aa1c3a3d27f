// vextal.vector3f: the mutable 3-vector of floats. The class, its native table and its methods are the generic ones
// of native/small_vector.hpp over this record layout (native/math_types.hpp).
#include "native/math_types.hpp"
#include "native/small_vector.hpp"

VX_TOP_LEVEL_MODULE(vector3f, "The mutable 3-vector of floats.",
                    (vx::small::Vectors<vx::math::Vector3fLayout>::exec))
