// Bulk work off the interpreter lock, on several threads.
//
// `parallel_for` runs `body(begin, end)` over [0, n) in blocks handed out in order from one atomic counter,
// on the calling thread plus `threads - 1` workers started for the call (started per call, not pooled, so a
// forked process — a Dask worker, multiprocessing — never inherits a dead pool). The caller holds the lock on
// entry; it is released for the whole computation and taken back by the calling thread between its blocks,
// at most every 20 ms, only to check for signals: Ctrl-C stops a long call within a few blocks of work, and
// other Python threads are not made to wait for the lock more often than that.
//
// Each element must be computed from its own inputs alone: then which thread did which block cannot show in
// the results, and any thread count gives the same bits.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace vx {

// The cores this process may run on: its CPU affinity where the system tells it (a container or `taskset`
// may allow fewer than the machine has), else the machine's count.
inline unsigned available_cores() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    return std::thread::hardware_concurrency();
}

// The `threads` keyword: None -> every available core; otherwise an int >= 1. Returns 0 with an error set.
inline int parse_threads(PyObject* value) noexcept {
    if (value == nullptr || value == Py_None) {
        unsigned cores = available_cores();
        return cores ? static_cast<int>(std::min(cores, 1024u)) : 1;
    }
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s", Py_TYPE(value)->tp_name);
        return 0;
    }
    long threads = PyLong_AsLong(value);
    if (threads == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        threads = 0;
    }
    if (threads < 1 || threads > 1024) {
        PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 1024");
        return 0;
    }
    return static_cast<int>(threads);
}

// Runs body(begin, end) over [0, n). `grain` is the block size: small enough that a block takes well under a
// millisecond, large enough that handing it out costs nothing. Inputs shorter than `min_parallel` stay on the
// calling thread. Returns false with KeyboardInterrupt (or whatever the signal handler raised) set when a
// signal stopped the call; the outputs are then partly written and must be discarded. A body whose one block
// can run long passes `body_stop`, a flag it reads inside the block: it is set when a signal stops the call,
// and the calling thread, once out of blocks, keeps checking signals while the workers finish theirs.
template <class Body>
bool parallel_for(Py_ssize_t n, int threads, Py_ssize_t grain, Py_ssize_t min_parallel, Body&& body,
                  std::atomic<bool>* body_stop = nullptr) noexcept {
    if (n <= 0) return true;
    grain = std::max<Py_ssize_t>(grain, 1);
    Py_ssize_t blocks = (n + grain - 1) / grain;
    int workers = n < min_parallel ? 0 : static_cast<int>(std::min<Py_ssize_t>(threads, blocks)) - 1;

    std::atomic<Py_ssize_t> next{0};
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    auto run_block = [&]() -> bool {
        if (stop.load(std::memory_order_relaxed)) return false;
        Py_ssize_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks) return false;
        Py_ssize_t begin = b * grain;
        body(begin, std::min(n, begin + grain));
        return true;
    };

    bool interrupted = false;
    PyThreadState* saved = PyEval_SaveThread();
    std::vector<std::thread> pool;
    try {
        pool.reserve(static_cast<size_t>(std::max(workers, 0)));
        for (int i = 0; i < workers; ++i) {
            pool.emplace_back([&] {
                while (run_block()) {}
                running.fetch_sub(1);
            });
            running.fetch_add(1);  // after a start that did not throw (the count may dip below 0 meanwhile)
        }
    } catch (...) {
        // No thread could be started (resource limits): the calling thread does the rest alone.
    }
    using clock = std::chrono::steady_clock;
    auto last_check = clock::now();
    auto check_signals = [&] {
        last_check = clock::now();
        PyEval_RestoreThread(saved);
        if (PyErr_CheckSignals() != 0) {
            interrupted = true;
            stop.store(true, std::memory_order_relaxed);
            if (body_stop) body_stop->store(true, std::memory_order_relaxed);
        }
        saved = PyEval_SaveThread();
    };
    while (run_block()) {
        if (clock::now() - last_check < std::chrono::milliseconds(20)) continue;
        check_signals();
        if (interrupted) break;
    }
    // Out of blocks: a body that reads body_stop is still stoppable while the workers run theirs.
    while (body_stop && !interrupted && running.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (clock::now() - last_check >= std::chrono::milliseconds(20)) check_signals();
    }
    for (auto& t : pool) t.join();
    PyEval_RestoreThread(saved);
    return !interrupted;
}

}  // namespace vx
