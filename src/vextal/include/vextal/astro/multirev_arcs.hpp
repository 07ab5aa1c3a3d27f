// vextal.astro.multirev_arcs.LambertProblem: the record of a solved multi-revolution Lambert problem.
//
// LambertProblem(r1, r2, tof, mu, is_prograde=True, max_revs=0) solves at construction and holds every
// solution from 0 to max_revs revolutions:
// - order: the zero-revolution arc first, then for N = 1, 2, ... two N-revolution arcs, the left branch
//   (Izzo's x below the minimum-time point) before the right branch;
// - max_revs is cropped to the largest N whose minimum time of flight does not exceed tof (the cropped
//   value is `max_revs`, the asked one `requested_max_revs`), so there are 1 + 2 * max_revs solutions;
// - prograde means angular momentum with +z component, retrograde -z; when the transfer plane contains
//   the z axis, prograde takes the short way (below 180 degrees) and retrograde the long way.
// Construction raises ValueError for impossible input (zero-length or collinear positions, non-finite
// values, tof <= 0, mu <= 0, max_revs < 0, more than 100000 revolutions both asked for and possible,
// overflowing magnitudes) and RuntimeError if the iteration does not converge.
#pragma once
#include <Python.h>

#include <cstddef>

namespace vextal {

struct LambertProblemObject;

struct LambertProblemTable {
    // Number of solutions (1 + 2 * max_revs), -1 with an exception set on failure.
    int (*solution_count)(LambertProblemObject* self, int skip_dispatch);
    // A new tuple (departure velocity, arrival velocity) of solution `index`, or null with an exception.
    PyObject* (*solution)(LambertProblemObject* self, int index, int skip_dispatch);
};

// One entry of `solution_data` per solution, in the solution order.
struct LambertSolutionInfo {
    double x;         // Izzo's x of the arc
    int revolutions;  // N
    int iterations;   // Householder iterations spent on it
};

struct LambertProblemObject {
    PyObject_HEAD
    LambertProblemTable* vtab;
    PyObject* r1;                    // Vector3, departure position as given (the same object), km
    PyObject* r2;                    // Vector3, arrival position as given, km
    PyObject* departure_velocities;  // list of Vector3, km/s, one per solution in the order above
    PyObject* arrival_velocities;    // list of Vector3, km/s
    PyObject* solution_data;         // bytes: one LambertSolutionInfo per solution
    double chord;                    // c = |r2 - r1|, km
    double semiperimeter;            // s = (|r1| + |r2| + c) / 2, km
    double tof;                      // time of flight, s
    double mu;                       // gravitational parameter, km^3/s^2
    double lambda_;                  // Izzo's lambda, negative when the transfer angle exceeds 180 degrees
    double nondimensional_tof;       // T = tof sqrt(2 mu / s^3)
    int max_revs;                    // revolution limit after cropping
    int requested_max_revs;          // the limit asked for
    int is_prograde;                 // 1 prograde, 0 retrograde
    int min_time_iterations;         // Halley iterations of the minimum-time test (0 when not needed)
};

static_assert(offsetof(LambertProblemObject, vtab) == 16, "LambertProblem table pointer");
static_assert(offsetof(LambertProblemObject, r1) == 24 && offsetof(LambertProblemObject, r2) == 32,
              "LambertProblem positions");
static_assert(offsetof(LambertProblemObject, departure_velocities) == 40, "third data field: departure_velocities");
static_assert(offsetof(LambertProblemObject, arrival_velocities) == 48, "fourth data field: arrival_velocities");
static_assert(sizeof(LambertProblemObject) == 128, "LambertProblem instance size");
static_assert(sizeof(LambertProblemTable) == 2 * sizeof(void*), "LambertProblem table size");
static_assert(sizeof(LambertSolutionInfo) == 16, "LambertProblem solution entry");

inline constexpr const char kMultirevArcsModule[] = "vextal.astro.multirev_arcs";
inline constexpr const char kLambertProblemClass[] = "LambertProblem";

}  // namespace vextal
