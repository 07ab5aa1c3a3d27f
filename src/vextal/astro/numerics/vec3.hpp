// Small 3-vector arithmetic on plain doubles, shared by the modules.
#pragma once
#include <cmath>

namespace vextal::numerics {

struct Vec3 {
    double x, y, z;
};

inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec3 operator*(double s, Vec3 a) { return a * s; }
inline double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline double norm2(Vec3 a) { return dot(a, a); }
inline double norm(Vec3 a) { return std::sqrt(dot(a, a)); }

// The unit vector; the zero vector stays zero rather than turning into NaN.
inline Vec3 unit(Vec3 a) {
    double n = norm(a);
    return n > 0.0 ? Vec3{a.x / n, a.y / n, a.z / n} : a;
}

}  // namespace vextal::numerics
