// vextal.vector2: the mutable 2-vector of doubles. The class, its native table and its methods are the generic ones
// of native/small_vector.hpp over this record layout (native/math_types.hpp).
#include "native/math_types.hpp"
#include "native/small_vector.hpp"

VX_TOP_LEVEL_MODULE(vector2, "The mutable 2-vector of doubles.",
                    (vx::small::Vectors<vx::math::Vector2Layout>::exec))
