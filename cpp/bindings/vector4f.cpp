// vextal.vector4f: the mutable 4-vector of floats. The class, its native table and its methods are the generic ones
// of native/small_vector.hpp over this record layout (native/math_types.hpp).
#include "native/math_types.hpp"
#include "native/small_vector.hpp"

VX_TOP_LEVEL_MODULE(vector4f, "The mutable 4-vector of floats.",
                    (vx::small::Vectors<vx::math::Vector4fLayout>::exec))
