// The choice among the compiled paths of a batch kernel (AVX2, baseline lanes, scalar): the first, fastest first,
// whose CPU check passes. It is made once, by the module's init at import (under the interpreter lock, so no
// one-time guard is held across a fork), and can be limited by name for tests.
#pragma once

#include <atomic>
#include <cstring>

namespace vextal::numerics {

// `Path` has a `const char* name` and a `bool (*available)()`; the last of `paths` must always be available.
template <class Path, int N>
class KernelPaths {
public:
    explicit constexpr KernelPaths(const Path (&paths)[N]) noexcept : paths_(paths) {}

    const Path& get() noexcept {
        int i = current_.load(std::memory_order_relaxed);
        if (i < 0) {
            i = first_available(0);
            current_.store(i, std::memory_order_relaxed);
        }
        return paths_[i];
    }

    // From now on the path named `name` or, where the CPU lacks it, the next available one (an unknown name:
    // the fastest available); returns the name of the path taken.
    const char* limit(const char* name) noexcept {
        int from = 0;
        for (int i = 0; i < N; ++i)
            if (std::strcmp(paths_[i].name, name) == 0) from = i;
        current_.store(first_available(from), std::memory_order_relaxed);
        return get().name;
    }

private:
    int first_available(int from) const noexcept {
        for (int i = from; i < N; ++i)
            if (paths_[i].available()) return i;
        return N - 1;
    }

    const Path (&paths_)[N];
    std::atomic<int> current_{-1};
};

}  // namespace vextal::numerics
