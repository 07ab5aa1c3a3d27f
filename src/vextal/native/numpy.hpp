// NumPy through Python, for the bulk modules: NumPy is a run-time dependency only (nothing is compiled against
// its headers). Conversion and allocation call NumPy's own functions with the interpreter lock held; the
// computation then works on the raw buffers.
#pragma once
#include "ref.hpp"

namespace vx {

// A buffer view of an object, released with its owner (or earlier, by release()).
struct Buffer {
    Py_buffer view{};
    bool held = false;

    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { release(); }

    bool get(PyObject* obj, int flags) {
        release();
        held = PyObject_GetBuffer(obj, &view, flags) == 0;
        return held;
    }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
    template <class T>
    T* data() const { return static_cast<T*>(view.buf); }
};

// The NumPy functions and types the bulk modules call, imported once and kept for the life of the process
// (as the numpy module itself is).
struct NumPy {
    PyObject* asarray = nullptr;
    PyObject* ascontiguousarray = nullptr;
    PyObject* broadcast_to = nullptr;
    PyObject* broadcast_shapes = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* int32 = nullptr;
    PyObject* int8 = nullptr;
    PyObject* dtype_key = nullptr;  // "dtype", the keyword
};
inline NumPy np;

inline bool import_numpy() {
    if (np.asarray) return true;
    Ref module(PyImport_ImportModule("numpy"));
    if (!module) return false;
    NumPy n;
    PyObject* m = module.get();
    if (!(n.ascontiguousarray = PyObject_GetAttrString(m, "ascontiguousarray")) ||
        !(n.broadcast_to = PyObject_GetAttrString(m, "broadcast_to")) ||
        !(n.broadcast_shapes = PyObject_GetAttrString(m, "broadcast_shapes")) ||
        !(n.empty = PyObject_GetAttrString(m, "empty")) || !(n.float64 = PyObject_GetAttrString(m, "float64")) ||
        !(n.int32 = PyObject_GetAttrString(m, "int32")) || !(n.int8 = PyObject_GetAttrString(m, "int8")) ||
        !(n.dtype_key = PyUnicode_InternFromString("dtype")) || !(n.asarray = PyObject_GetAttrString(m, "asarray"))) {
        for (PyObject* p : {n.ascontiguousarray, n.broadcast_to, n.broadcast_shapes, n.empty, n.float64, n.int32,
                            n.int8, n.dtype_key, n.asarray})
            Py_XDECREF(p);
        return false;
    }
    np = n;
    return true;
}

// f(arg, dtype=dtype)
inline PyObject* call_with_dtype(PyObject* f, PyObject* arg, PyObject* dtype) {
    Ref names(PyTuple_Pack(1, np.dtype_key));
    if (!names) return nullptr;
    PyObject* args[] = {arg, dtype};
    return PyObject_Vectorcall(f, args, 1, names.get());
}

// A new uninitialised C-contiguous array of `shape` and `dtype`, with its writable buffer in `buffer`.
inline PyObject* new_array(PyObject* shape, PyObject* dtype, Buffer& buffer) {
    Ref array(call_with_dtype(np.empty, shape, dtype));
    if (!array || !buffer.get(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
    return array.release();
}

}  // namespace vx
