#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics core.
#   sh cpp/core/tests/build.sh            all checks, then timings
#   sh cpp/core/tests/build.sh --bench    timings only
#   sh cpp/core/tests/build.sh --checks   checks only (tests/test_numerics_checks.py runs this)
#   sh cpp/core/tests/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
#   sh cpp/core/tests/build.sh --batch    the batch Lambert lanes, the porkchop cell and the trajectory seam
#                                         (lambert_batch_checks.cpp; --checks runs them too)
#   sh cpp/core/tests/build.sh --batch-bench   CPU time of the batch Lambert against the scalar solver
set -e
here=$(cd "$(dirname "$0")" && pwd)
cpp="$here/../.."
core="$cpp/core"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_checks}
batch_checks() {
    # The AVX2 unit with its own flags, as the library builds it (x86-64 only).
    avx2=""
    case $(uname -m) in x86_64|amd64)
        ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -fno-math-errno -mavx2 -mfma -ffp-contract=off -I"$cpp" -c \
            "$core/lambert_batch_avx2.cpp" -o "$out.avx2.o"
        avx2="$out.avx2.o";;
    esac
    ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -fno-math-errno -I"$cpp" "$here/lambert_batch_checks.cpp" "$core/lambert.cpp" \
        "$core/lambert_batch.cpp" $avx2 "$core/kepler.cpp" "$core/root.cpp" "$core/trajectory.cpp" \
        "$core/porkchop.cpp" -o "$out.batch"
    "$out.batch" $1
}
if [ "$1" = "--batch" ]; then batch_checks; exit $?; fi
if [ "$1" = "--batch-bench" ]; then batch_checks --bench; exit $?; fi
if [ "$1" = "--checks" ]; then batch_checks; fi
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" "$here/numerics_checks.cpp" "$core/root.cpp" "$core/kepler.cpp" \
    "$core/lambert.cpp" -o "$out"
exec "$out" "$@"
