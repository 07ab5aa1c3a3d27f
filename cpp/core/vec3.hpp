// The 3-vector of the numerics: Vec3 and its arithmetic on plain doubles, and the same operations on the rows
// of three doubles that the solvers' interfaces (and NumPy buffers) pass.
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

inline Vec3 load(const double* a) { return {a[0], a[1], a[2]}; }
inline void store(Vec3 a, double* out) {
    out[0] = a.x;
    out[1] = a.y;
    out[2] = a.z;
}
inline bool finite(Vec3 a) { return std::isfinite(a.x) && std::isfinite(a.y) && std::isfinite(a.z); }

inline double dot(const double* a, const double* b) { return dot(load(a), load(b)); }
inline double norm(const double* a) { return norm(load(a)); }
inline bool finite3(const double* a) { return finite(load(a)); }

}  // namespace vextal::numerics
