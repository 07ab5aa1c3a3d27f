#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics core.
#   sh cpp/core/tests/build.sh            all checks, then timings
#   sh cpp/core/tests/build.sh --bench    timings only
#   sh cpp/core/tests/build.sh --checks   checks only (tests/test_numerics_checks.py runs this); also the
#                                         checks of the batch kernels (core_checks.cpp: frames, elements,
#                                         geodesy on every path the CPU has)
#   sh cpp/core/tests/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
set -e
here=$(cd "$(dirname "$0")" && pwd)
cpp="$here/../.."
core="$cpp/core"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_checks}
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" "$here/numerics_checks.cpp" "$core/root.cpp" "$core/kepler.cpp" \
    "$core/lambert.cpp" -o "$out"
if [ "$1" != "--bench" ] && [ "$1" != "--lambert-file" ]; then
    # The batch kernels, with the AVX2 geodesy built as CMake builds it (x86-64 only).
    extra=""
    if [ "$(uname -m)" = "x86_64" ]; then
        ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" -mavx2 -mfma -ffp-contract=off -c \
            "$core/geodesy_batch_avx2.cpp" -o "$out.avx2.o"
        extra="$out.avx2.o"
    fi
    ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" "$here/core_checks.cpp" "$core/frames_batch.cpp" \
        "$core/elements.cpp" "$core/geodesy_batch.cpp" $extra -ldl -o "$out.core"
    "$out.core"
fi
exec "$out" "$@"
