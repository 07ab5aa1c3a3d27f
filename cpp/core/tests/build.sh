#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics core.
#   sh cpp/core/tests/build.sh            all checks, then timings
#   sh cpp/core/tests/build.sh --bench    timings only
#   sh cpp/core/tests/build.sh --checks   checks only (tests/test_numerics_checks.py runs this): root finding,
#                                         Kepler, Lambert (numerics_checks.cpp); the batch kernels (core_checks.cpp:
#                                         frames, elements, geodesy on every path the CPU has); the batch Lambert
#                                         lanes, the porkchop cell and the trajectory seam (lambert_batch_checks.cpp);
#                                         and every other check program in this folder (*_checks.cpp)
#   sh cpp/core/tests/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
#   sh cpp/core/tests/build.sh --batch    the batch Lambert lanes only
#   sh cpp/core/tests/build.sh --batch-bench   CPU time of the batch Lambert against the scalar solver
set -e
here=$(cd "$(dirname "$0")" && pwd)
cpp=$(cd "$here/../.." && pwd)
core="$cpp/core"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_checks}
objs="$out.objs"
cxx="${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -fno-math-errno -I$cpp"

# The core as a static library, each unit built once with the flags CMake gives it (the AVX2 units x86-64 only).
mkdir -p "$objs"
rm -f "$objs"/*.o "$out.a"
for src in "$core"/*.cpp "$core"/*/*.cpp; do
    case $src in "$here"/*) continue;; esac  # the check programs themselves
    name=$(echo "${src#$core/}" | tr / _)
    name=${name%.cpp}
    case $name in
        *_avx2)
            case $(uname -m) in x86_64|amd64) ;; *) continue;; esac
            $cxx -mavx2 -mfma -ffp-contract=off -c "$src" -o "$objs/$name.o";;
        *) $cxx -c "$src" -o "$objs/$name.o";;
    esac
done
ar rcs "$out.a" "$objs"/*.o

link() {  # link(check program, output)
    $cxx "$here/$1" "$out.a" -ldl -o "$2"
}

if [ "$1" = "--batch" ] || [ "$1" = "--batch-bench" ]; then
    link lambert_batch_checks.cpp "$out.batch"
    if [ "$1" = "--batch" ]; then exec "$out.batch"; else exec "$out.batch" --bench; fi
fi
link numerics_checks.cpp "$out"
if [ "$1" != "--bench" ] && [ "$1" != "--lambert-file" ]; then
    for check in "$here"/*_checks.cpp; do
        name=$(basename "$check" .cpp)
        [ "$name" = numerics_checks ] && continue
        link "$name.cpp" "$out.$name"
        "$out.$name"
    done
fi
exec "$out" "$@"
