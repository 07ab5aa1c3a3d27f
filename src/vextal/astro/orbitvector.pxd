# vextal.astro.orbitvector: the state records and the native tables of ECI, EFG, RIC and LLH.
from vextal.vector3 cimport Vector3
from vextal.matrix4 cimport Matrix4

cdef class _OrbitVector:
    cdef double time
    cdef Vector3 position
    cdef Vector3 velocity

cdef class ECI(_OrbitVector):
    cpdef to_ric(self, ECI chief)
    cpdef Matrix4 eci_to_ric(self)
    cpdef double compute_sma(self)
    cpdef double compute_mean_motion(self)
    cpdef double compute_energy(self)
    cpdef double compute_period(self)

cdef class EFG(_OrbitVector):
    cpdef ECI to_eci(self)
    cpdef to_llh(self)

cdef class RIC(_OrbitVector):
    cpdef ECI to_eci(self, ECI chief)

cdef class LLH(Vector3):
    cpdef Vector3 to_efg(self)
