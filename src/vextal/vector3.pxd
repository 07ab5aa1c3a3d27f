# vextal.vector3.Vector3 as a Cython client sees it: the record and its 25 native table entries, in table order.
from vextal.matrix4 cimport Matrix4

cdef struct Vector3Data:
    double x
    double y
    double z

cdef class Vector3:
    cdef Vector3Data _vector
    cpdef double magnitude_squared(self)
    cpdef double magnitude(self)
    cpdef double dot(self, Vector3 other)
    cpdef Vector3 cross(self, Vector3 other)
    cpdef Vector3 add(self, Vector3 other)
    cpdef Vector3 subtract(self, Vector3 other)
    cpdef Vector3 multiply(self, double scalar)
    cpdef Vector3 divide(self, double scalar)
    cpdef Vector3 negate(self)
    cpdef Vector3 normalize(self)
    cpdef double distance(self, Vector3 other)
    cpdef double angle(self, Vector3 other)
    cpdef Vector3 transform(self, Matrix4 m)
    cpdef Vector3 transform_direction(self, Matrix4 m)
    cpdef Vector3 scale(self, Vector3 other)
    cpdef Vector3 lerp(self, Vector3 other, double t)
    cpdef Vector3 project(self, Vector3 onto)
    cpdef Vector3 reject(self, Vector3 other)
    cpdef Vector3 rotate(self, Vector3 axis, double degrees)
    cpdef Vector3 minimum(self, Vector3 other)
    cpdef Vector3 maximum(self, Vector3 other)
    cpdef bint is_close(self, Vector3 other, double tolerance) except -1
    cpdef Vector3 copy(self)
    cpdef set(self, double x, double y, double z)
    cpdef to_tuple(self)
