# vextal.matrix4.Matrix4: the record (184 bytes) and its 8 native table entries. transform takes a Vector3,
# declared here as a plain object (the same pointer) to keep the two declarations from importing each other.
cdef class Matrix4:
    cdef double _m[16]
    cdef double _determinant
    cdef unsigned long long _flags
    cdef Py_ssize_t _hash
    cdef object _weakreflist
    cpdef Matrix4 inverse(self)
    cpdef Matrix4 transpose(self)
    cpdef Matrix4 multiply(self, Matrix4 other)
    cpdef double determinant(self)
    cpdef transform(self, v)
    cpdef double get(self, int row, int col)
    cpdef double trace(self)
    cpdef bint is_close(self, Matrix4 other, double tolerance) except -1
