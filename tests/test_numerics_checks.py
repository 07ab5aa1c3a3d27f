"""The C++ checks of the numerics (cpp/core/tests/numerics_checks.cpp: root finding, Kepler, Lambert against
published cases, random and fuzzed problems; core_checks.cpp: the frame kernel, elements, the batch geodesy on
every path the CPU has; lambert_batch_checks.cpp: the batch Lambert lanes against the scalar solver, the porkchop
cell and the trajectory seam) built with the compiler and run; any failed check fails here."""
import os
import shutil
import subprocess

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
BUILD = os.path.join(ROOT, "cpp", "core", "tests", "build.sh")


@pytest.mark.compile
def test_the_native_numerics_checks_pass(tmp_path):
    if not os.path.exists(BUILD) or not (os.environ.get("CXX") or shutil.which("g++")):
        pytest.skip("needs the source tree and a C++ compiler")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in the compiler
    env["NUMERICS_BENCH_BIN"] = str(tmp_path / "numerics_bench")
    proc = subprocess.run(["sh", BUILD, "--checks"], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0 and "all checks passed" in proc.stdout, proc.stdout[-4000:] + proc.stderr[-4000:]
