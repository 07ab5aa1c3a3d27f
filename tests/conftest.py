import gc
import inspect
import os
import shlex
import subprocess
import sys
import sysconfig
import tempfile
import importlib.util

import pytest

import vextal

NATIVE_DIR = os.path.join(os.path.dirname(__file__), "native")
_BUILD_DIR = tempfile.mkdtemp(prefix="vextal-native-tests-")


def compile_command(language, *args):
    """The compiler command line for a test-only extension: $CXX (C++) or $CC (C), each of which may carry
    options of its own ("ccache g++"), then `args`, then $CXXFLAGS or $CFLAGS and $LDFLAGS, so that a build
    with extra options (a sanitizer build) builds its helper extensions with them too."""
    compiler, default, flags = {"c++": ("CXX", "c++", "CXXFLAGS"), "c": ("CC", "cc", "CFLAGS")}[language]
    return [*shlex.split(os.environ.get(compiler) or default), *args,
            *shlex.split(os.environ.get(flags, "")), *shlex.split(os.environ.get("LDFLAGS", ""))]


def build_native_module(name, sources=None):
    """Compile a test-only C++ extension from tests/native against the installed vextal headers, the way a
    third-party module would, and import it."""
    sources = sources or [name + ".cpp"]
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = os.path.join(_BUILD_DIR, name + suffix)
    if not os.path.exists(target):
        cmd = compile_command("c++", "-std=c++17", "-O1", "-g", "-shared", "-fPIC", "-Wall",
                              "-I" + sysconfig.get_paths()["include"], "-I" + vextal.get_include(), "-I" + NATIVE_DIR,
                              *[os.path.join(NATIVE_DIR, s) for s in sources], "-o", target)
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            pytest.fail("building %s failed:\n%s" % (name, proc.stderr))
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_python(code, *args, check=True):
    """Run `code` in a fresh interpreter (import edge cases need a clean process)."""
    proc = subprocess.run([sys.executable, *args, "-c", code], capture_output=True, text=True, timeout=120)
    if check and proc.returncode != 0:
        raise AssertionError("subprocess failed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr))
    return proc


def leaked_blocks(run, rounds, warmup=200, repeats=2):
    """Allocated blocks that `run(rounds)` leaves behind once warmed up, the least of `repeats` measurements:
    a real leak grows on every measurement, incidental interpreter allocations (caches, free lists) do not.

    The count is pymalloc's: an interpreter that allocates with plain malloc (PYTHONMALLOC=malloc, as the
    sanitizer run needs) always reports 0, so the measurement would pass without measuring anything. The
    calling test is skipped there instead; leaks are the normal runs' business."""
    if sys.getallocatedblocks() == 0:
        pytest.skip("sys.getallocatedblocks() counts nothing without pymalloc (PYTHONMALLOC=malloc)")
    run(warmup)
    deltas = []
    for _ in range(repeats):
        gc.collect()
        before = sys.getallocatedblocks()
        run(rounds)
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    return min(deltas)


def build_cython_module(pyx, out, pythonpath):
    """Cythonize and compile `pyx` into folder `out` with PYTHONPATH set to `pythonpath`, where the vextal
    package's .pxd declarations are found on Cython's sys.path (as a user's build finds them); return the
    module's path."""
    name = os.path.splitext(os.path.basename(pyx))[0]
    source = os.path.join(out, name + ".c")
    target = os.path.join(out, name + sysconfig.get_config_var("EXT_SUFFIX"))
    env = dict(os.environ, PYTHONPATH=pythonpath)
    steps = [
        [sys.executable, "-m", "cython", "-3", pyx, "-o", source],
        compile_command("c", "-shared", "-fPIC", "-O1", "-I" + sysconfig.get_paths()["include"], source, "-o", target),
    ]
    for step in steps:
        proc = subprocess.run(step, capture_output=True, text=True, cwd=out, env=env)
        if proc.returncode != 0:
            pytest.fail("%s failed:\n%s%s" % (step[0], proc.stdout, proc.stderr))
    return target


# ---- the compile marker ------------------------------------------------------------------------------------
# A test that builds a C++ or Cython extension (through the helpers above, in itself, a fixture it uses, or a
# function or class of its module those call) is marked `compile`: the default run leaves it out, CI runs it
# as its own step. Tests that run a compiler by other means carry the mark themselves.
_BUILDERS = {"build_native_module", "build_cython_module"}


def _builds(obj, seen, depth=4):
    """Whether `obj` (a function or class of the tests) calls one of the builders, directly or through the
    functions and classes of its module that it names."""
    if depth == 0 or id(obj) in seen:
        return False
    seen.add(id(obj))
    functions = [obj] if inspect.isfunction(obj) else [
        f for f in vars(obj).values() if inspect.isfunction(f)] if inspect.isclass(obj) else []
    for function in functions:
        names = set(function.__code__.co_names) | {
            n for const in function.__code__.co_consts if inspect.iscode(const) for n in const.co_names}
        if names & _BUILDERS:
            return True
        module_globals = function.__globals__
        for name in names:
            found = module_globals.get(name)
            if (inspect.isfunction(found) or inspect.isclass(found)) and \
                    getattr(found, "__module__", None) == function.__module__ and _builds(found, seen, depth - 1):
                return True
    return False


def pytest_collection_modifyitems(config, items):
    for item in items:
        fixtures = getattr(item, "_fixtureinfo", None)
        functions = [getattr(item, "function", None)]
        if fixtures is not None:
            functions += [d.func for defs in fixtures.name2fixturedefs.values() for d in defs]
        seen = set()
        if any(f is not None and _builds(f, seen) for f in functions):
            item.add_marker(pytest.mark.compile)
