# cython: language_level=3
# A Cython client of the package: cimports the classes and plan_lambert and calls them natively.
from vextal.vector3 cimport Vector3
from vextal.matrix4 cimport Matrix4
from vextal.astro.orbitvector cimport ECI, LLH
from vextal.astro.transfer_planner cimport LambertMultiRevResult, SatBurn, plan_lambert


def plan(ECI initial, ECI target, double seconds, *options):
    cdef LambertMultiRevResult result
    if len(options) == 0:
        result = plan_lambert(initial, target, seconds)
    elif len(options) == 1:
        result = plan_lambert(initial, target, seconds, options[0])
    else:
        result = plan_lambert(initial, target, seconds, options[0], options[1])
    return result


def burn_fields(SatBurn burn):
    return burn.time, burn.delta_v


def arc_costs(LambertMultiRevResult result):
    """|dv1| + |dv2| per arc, through Vector3's native magnitude."""
    cdef SatBurn departure, arrival
    return [departure.delta_v.magnitude() + arrival.delta_v.magnitude() for departure, arrival in result.burns]


def state_fields(ECI state):
    return state.time, state.position, state.velocity


def vector_calls(Vector3 a, Vector3 b, Matrix4 m):
    return (a.magnitude_squared(), a.dot(b), a.cross(b), a.subtract(b), a.transform(m), a.lerp(b, 0.25),
            a.is_close(b, 1e-9), a.to_tuple(), m.determinant(), m.inverse())


def eci_calls(ECI state, ECI chief):
    return state.compute_sma(), state.compute_period(), state.eci_to_ric(), state.to_ric(chief)


def llh_calls(LLH point):
    return point.to_efg(), point.magnitude()
