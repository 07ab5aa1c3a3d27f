// Ctrl-C inside one long native computation: a numerics::Cancel that the core asks every few thousand
// integration steps. On the thread that released the interpreter lock for the call it takes the lock back, at
// most every 20 ms, to run the signal handlers; any thread sees a stop once one was asked for.
//
// After the call: when stopped(), the handler's exception (KeyboardInterrupt) is set; return nullptr.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/forces/model.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace vx {

class SignalCancel final : public vextal::numerics::Cancel {
public:
    // Made with the lock held, on the calling thread.
    SignalCancel() noexcept : owner_(std::this_thread::get_id()), state_(PyThreadState_Get()), last_(clock::now()) {}

    bool requested() noexcept override {
        if (stop_.load(std::memory_order_relaxed)) return true;
        if (std::this_thread::get_id() != owner_) return false;
        const auto now = clock::now();
        if (now - last_ < std::chrono::milliseconds(20)) return false;
        last_ = now;
        // This thread released the lock with this state (parallel_for, Py_BEGIN_ALLOW_THREADS): take it back
        // for the handlers, then release it again as the caller left it.
        PyEval_RestoreThread(state_);
        if (PyErr_CheckSignals() != 0) stop_.store(true, std::memory_order_relaxed);
        PyEval_SaveThread();
        return stop_.load(std::memory_order_relaxed);
    }

    bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
    // The flag itself, for parallel_for to set when it is the one that sees the signal.
    std::atomic<bool>* flag() noexcept { return &stop_; }

    // The call's failure after a stop: the handler's exception, which is set (KeyboardInterrupt otherwise).
    std::nullptr_t fail() const noexcept {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }

private:
    using clock = std::chrono::steady_clock;
    std::thread::id owner_;
    PyThreadState* state_;
    clock::time_point last_;
    std::atomic<bool> stop_{false};
};

}  // namespace vx
