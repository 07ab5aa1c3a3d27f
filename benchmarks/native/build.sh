#!/bin/sh
# Builds and runs the C++ checks and microbenchmarks of the numerics.
#   sh benchmarks/native/build.sh            all checks, then timings
#   sh benchmarks/native/build.sh --bench    timings only
#   sh benchmarks/native/build.sh --checks   checks only (tests/test_numerics_checks.py runs this)
#   sh benchmarks/native/build.sh --lambert-file FILE MAX_REVS   time the solver on problems from a file
set -e
here=$(cd "$(dirname "$0")" && pwd)
src="$here/../../src/vextal/astro/numerics"
out=${NUMERICS_BENCH_BIN:-/tmp/vextal_numerics_bench}
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra -I"$src" "$here/numerics_bench.cpp" "$src/root.cpp" "$src/kepler.cpp" \
    "$src/lambert.cpp" -o "$out"
exec "$out" "$@"
