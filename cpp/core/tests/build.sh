#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics core.
#   sh cpp/core/tests/build.sh            all checks, then timings
#   sh cpp/core/tests/build.sh --bench    timings only
#   sh cpp/core/tests/build.sh --checks   checks only (tests/test_numerics_checks.py runs this)
#   sh cpp/core/tests/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
set -e
here=$(cd "$(dirname "$0")" && pwd)
cpp="$here/../.."
core="$cpp/core"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_checks}
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$cpp" "$here/numerics_checks.cpp" "$core/root.cpp" "$core/kepler.cpp" \
    "$core/lambert.cpp" -o "$out"
exec "$out" "$@"
