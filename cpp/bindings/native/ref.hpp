// Owning references to Python objects.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vx {

// Move-only owner of one strong reference. Borrowed pointers stay raw PyObject*.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}  // takes over a new reference
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    // A new owner of a borrowed reference.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    template <class T>
    T* as() const noexcept { return reinterpret_cast<T*>(p_); }

    // Hands the reference to the caller (the boundary back into CPython).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// A new strong reference to a borrowed object, for returning.
inline PyObject* newref(PyObject* borrowed) noexcept {
    Py_INCREF(borrowed);
    return borrowed;
}

// Stores a new reference in a slot that owns one, releasing the old value last.
inline void replace(PyObject*& slot, PyObject* owned) noexcept {
    PyObject* old = slot;
    slot = owned;
    Py_XDECREF(old);
}

}  // namespace vx
