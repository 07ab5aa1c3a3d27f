"""Each extension module exports its PyInit_ function and nothing else (no GNU-unique objects either)."""
import importlib
import pathlib
import shutil
import subprocess

import pytest

import vextal

MODULES = ["vextal.vector3", "vextal.matrix4", "vextal.vector2", "vextal.vector4", "vextal.vector3f",
           "vextal.vector4f", "vextal.quaternion", "vextal.quaternionf", "vextal.matrix4f", "vextal.astro.root",
           "vextal.astro.kepler", "vextal.astro.multirev_arcs", "vextal.astro.orbitvector",
           "vextal.astro.transfer_planner"]


def extension_files():
    """Every built extension module of the package, also those added after this list was written."""
    return sorted(pathlib.Path(vextal.__file__).parent.rglob("*.so"))


def test_the_listed_modules_are_among_the_files():
    names = {path.name.split(".")[0] for path in extension_files()}
    assert {name.rsplit(".", 1)[-1] for name in MODULES} <= names
    for name in MODULES:
        assert importlib.import_module(name).__file__.endswith(".so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
@pytest.mark.parametrize("path", extension_files(), ids=lambda p: p.name.split(".")[0])
def test_only_the_init_function_is_exported(path):
    out = subprocess.run(["nm", "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    symbols = [line.split() for line in out.stdout.splitlines() if line.strip()]
    assert [s[-1] for s in symbols] == ["PyInit_" + path.name.split(".")[0]]
    assert not [s for s in symbols if s[-2] == "u"]  # 'u': a GNU-unique global
