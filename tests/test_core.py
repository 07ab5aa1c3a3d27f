"""What the doors share from the numerics core: constants, the slot mapping, and one status → exception map."""
import os
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

from vextal.astro import _porkchop, arrays

OUT_OF_MEMORY = textwrap.dedent("""
    import resource
    from vextal.astro import _porkchop, arrays

    def size():
        for line in open("/proc/self/status"):
            if line.startswith("VmSize"):
                return int(line.split()[1]) * 1024

    a, b = (0.0, 7000.0, 0.0, 0.0, 0.0, 7.546, 0.0), (0.0, 0.0, 7000.0, 0.0, -7.546, 0.0, 0.0)
    _porkchop.grid(a, b, [0.0], [1e9], max_revs=1, threads=1)
    arrays.lambert(a[1:4], b[1:4], 1e9, max_revs=1, threads=1)
    # 100000 revolutions need 13 MB of arcs; leave 6 MB.
    resource.setrlimit(resource.RLIMIT_AS, (size() + 6 * 2 ** 20, resource.RLIM_INFINITY))
    try:
        %s
    except MemoryError as exc:
        print("MemoryError:", exc)
    else:
        print("no error")
""")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the address sanitizer reserves all memory")
@pytest.mark.parametrize("call", [
    "_porkchop.grid(a, b, [0.0], [1e10], max_revs=100000, threads=1)",
    "arrays.lambert(a[1:4], b[1:4], 1e10, max_revs=100000, threads=1)",
])
def test_running_out_of_memory_raises_in_every_door(call):
    # A solver that ran out of memory says nothing about the problem: never a NaN cell reported as success.
    proc = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY % call], capture_output=True, text=True, timeout=120)
    assert proc.stdout.startswith("MemoryError"), proc.stdout + proc.stderr


def test_slot_mapping_is_the_solvers():
    solved = arrays.lambert([7000.0, 0, 0], [0, 7100.0, 50.0], 40000.0, max_revs=3, threads=1)
    assert solved.count == 7
    assert [_porkchop.slot_arc(k) for k in range(7)] == list(zip(solved.revolutions, solved.branch))


def test_the_package_constants_come_from_the_core():
    from vextal.astro import _cli
    from vextal.astro.trajectory import MU_EARTH

    assert _porkchop.MU_EARTH == MU_EARTH == _cli.MU_EARTH == 398600.5
    assert _porkchop.EARTH_EQUATORIAL_RADIUS == _cli.EARTH_RADIUS == 6378.1374


CORE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "cpp", "core")
AVX2_UNITS = {
    "geodesy_batch_avx2.cpp": {"vextal::numerics::batch::efg_to_llh_avx2(double const*, double*, long)",
                               "vextal::numerics::batch::llh_to_efg_avx2(double const*, double*, long)"},
    "lambert_batch_avx2.cpp": {"vextal::numerics::lambert_lanes::solve_arcs_avx2(vextal::numerics::lambert_lanes::"
                               "ArcJob const*, vextal::numerics::lambert_lanes::ArcSolved*, long)",
                               "vextal::numerics::lambert_lanes::setup_avx2(double const*, double const*, double const*, "
                               "long, double, bool, vextal::numerics::LambertSetup*, unsigned char*)"},
}


@pytest.mark.compile
@pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"), reason="the AVX2 units are built on x86-64 only")
@pytest.mark.parametrize("unit", sorted(AVX2_UNITS))
@pytest.mark.parametrize("inlining", ["-finline-functions", "-fno-inline"])
def test_the_avx2_unit_exports_nothing_but_its_entries(tmp_path, inlining, unit):
    # Any global code symbol besides the entries (a weak inline function, a template instance) could be chosen by
    # the linker for the scalar callers too, and would then run AVX2 code on a CPU without it. -fno-inline is the
    # worst case: every inline function called is emitted.
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    nm = shutil.which("nm")
    source = os.path.join(CORE, unit)
    if not compiler or not nm or not os.path.exists(source):
        pytest.skip("needs the sources, a C++ compiler and nm")
    obj = tmp_path / "avx2.o"
    subprocess.run([compiler, "-std=c++17", "-O2", inlining, "-mavx2", "-mfma", "-ffp-contract=off", "-fno-math-errno",
                    "-fPIC", "-I", os.path.join(CORE, os.pardir), "-c", source,
                    "-o", str(obj)], check=True, env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    listing = subprocess.run([nm, "-C", "--defined-only", str(obj)], capture_output=True, text=True, check=True).stdout
    code = {line.split(" ", 2)[2] for line in listing.splitlines() if line.split(" ")[1] in ("T", "W", "i", "u")}
    assert code == AVX2_UNITS[unit]
