# vextal.astro.transfer_planner: the burn records and plan_lambert, shared through the module's __pyx_capi__.
from vextal.vector3 cimport Vector3
from vextal.astro.orbitvector cimport ECI

cdef class SatBurn:
    cdef double time
    cdef Vector3 delta_v

cdef class LambertMultiRevResult:
    cdef object burns

cpdef LambertMultiRevResult plan_lambert(ECI state_initial, ECI state_target, double deltat_sec,
                                         bint is_prograde=*, int max_revs=*)
