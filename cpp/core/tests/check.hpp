// The check of the C++ check programs: a failed one is printed and counted, and the count ends the program.
#pragma once
#include <cstdio>

namespace vextal::checks {

inline int failures = 0;

inline void check(bool ok, const char* what, double value = 0.0) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s (%.6g)\n", what, value);
    }
}

// Prints the verdict; the program's exit status.
inline int verdict() {
    std::printf(failures ? "%d check(s) FAILED\n" : "all checks passed\n", failures);
    return failures ? 1 : 0;
}

}  // namespace vextal::checks
