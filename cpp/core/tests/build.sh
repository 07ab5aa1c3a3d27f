#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics core: one program per list entry below.
#   sh cpp/core/tests/build.sh            all checks, then timings
#   sh cpp/core/tests/build.sh --bench    timings only
#   sh cpp/core/tests/build.sh --checks   checks only (tests/test_numerics_checks.py runs this)
#   sh cpp/core/tests/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
set -e
here=$(cd "$(dirname "$0")" && pwd)
cpp="$here/../.."
core="$cpp/core"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_checks}
build() {  # build OUTPUT SOURCES...
    target=$1
    shift
    ${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" "$@" -o "$target"
}
# The check programs other than numerics_checks (which also holds the timings): run with no option or --checks.
if [ -z "$1" ] || [ "$1" = "--checks" ]; then
    build "$out.forces" "$here/forces_checks.cpp" "$core"/forces/*.cpp
    "$out.forces"
fi
build "$out" "$here/numerics_checks.cpp" "$core/root.cpp" "$core/kepler.cpp" "$core/lambert.cpp"
exec "$out" "$@"
