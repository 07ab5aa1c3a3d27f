"""The default run leaves out the tests that compile or run the type checkers, and the marks find those tests:
directly, through a fixture, or through a class of the module that builds the extension."""
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent


def collected(*args):
    proc = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider", *args],
                          capture_output=True, text=True, cwd=HERE.parent, env=dict(os.environ), timeout=300)
    assert proc.returncode in (0, 5), proc.stdout + proc.stderr  # 5: nothing selected
    return {line.split("[")[0] for line in proc.stdout.splitlines() if "::" in line}


PATHS = ["tests/test_ric.py", "tests/test_geodesy.py", "tests/test_numerics_checks.py", "tests/test_core.py",
         "tests/test_typing.py"]


@pytest.fixture(scope="module")
def selections():
    return {name: collected(*PATHS, *args) for name, args in (
        ("compile", ["-m", "compile"]), ("typecheck", ["-m", "typecheck"]), ("default", []))}


@pytest.mark.parametrize("selection, expected", [
    # a module-scoped fixture that builds the client; a fixture that makes a class whose __init__ builds it; a
    # compiler run by other means, marked by hand
    ("compile", {"tests/test_ric.py::test_chief_frame_override_is_used_by_both_conversions",
                 "tests/test_geodesy.py::test_native_entries_without_override",
                 "tests/test_geodesy.py::test_native_to_llh_override",
                 "tests/test_geodesy.py::test_native_override_results_of_other_entries",
                 "tests/test_numerics_checks.py::test_the_native_numerics_checks_pass",
                 "tests/test_core.py::test_the_avx2_unit_exports_nothing_but_its_entries"}),
    ("typecheck", {"tests/test_typing.py::" + name for name in (
        "test_mypy_strict_passes_on_the_user_script", "test_pyright_strict_passes_on_the_user_script",
        "test_readme_examples_pass_mypy_strict", "test_readme_examples_pass_pyright_strict",
        "test_the_package_modules_pass_mypy_strict", "test_stubtest_finds_the_stubs_consistent")}),
])
def test_the_marks_select_the_tests_that_compile_or_type_check(selections, selection, expected):
    assert selections[selection] == expected
    assert selections["default"] and not selections["default"] & expected  # pyproject.toml's addopts
