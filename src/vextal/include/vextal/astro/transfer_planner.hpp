// vextal.astro.transfer_planner: burn records and the native entry of plan_lambert.
#pragma once
#include <vextal/astro/orbitvector.hpp>

namespace vextal {

// One impulsive manoeuvre: epoch and velocity change (a Vector3 or None), km/s.
struct SatBurnObject {
    PyObject_HEAD
    double time;
    PyObject* delta_v;
};

// The burns of one plan: a list of (departure SatBurn, arrival SatBurn) tuples, one per Lambert arc.
struct LambertMultiRevResultObject {
    PyObject_HEAD
    PyObject* burns;
};

// Optional arguments of the native plan_lambert: `count` says how many of the following are given (0: both
// defaults, is_prograde true and max_revs 10; 1: is_prograde given; 2: both given).
struct PlanLambertOptArgs {
    int count;
    int is_prograde;
    int max_revs;
};

// Returns a new LambertMultiRevResult, or null with an exception set. skip_dispatch is ignored; the
// options pointer may be null. The states must be ECI instances (a null one is a SystemError).
using PlanLambertFunction = PyObject* (*)(ECIObject* state_initial, ECIObject* state_target, double deltat_sec,
                                          int skip_dispatch, PlanLambertOptArgs* options);

// Published in the module's __pyx_capi__ dict under "plan_lambert" as a capsule with this name.
inline constexpr const char kPlanLambertSignature[] =
    "struct __pyx_obj_6vextal_5astro_16transfer_planner_LambertMultiRevResult *(struct "
    "__pyx_obj_6vextal_5astro_11orbitvector_ECI *, struct __pyx_obj_6vextal_5astro_11orbitvector_ECI *, double, int "
    "__pyx_skip_dispatch, struct __pyx_opt_args_6vextal_5astro_16transfer_planner_plan_lambert "
    "*__pyx_optional_args)";

static_assert(sizeof(SatBurnObject) == 32, "SatBurn instance size");
static_assert(sizeof(LambertMultiRevResultObject) == 24, "LambertMultiRevResult instance size");
static_assert(sizeof(PlanLambertOptArgs) == 12, "plan_lambert options record");

inline constexpr const char kTransferPlannerModule[] = "vextal.astro.transfer_planner";

}  // namespace vextal
