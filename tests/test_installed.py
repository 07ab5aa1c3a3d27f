"""The package as a user installs it: the license in the distribution, the Cython declarations in the package,
and a Cython client built against the installed package alone (no source tree on any path).

When the tested vextal is an installed distribution (CI installs it with pip) that installation is used; from a
build tree or an editable install the package is first installed with pip into a temporary folder, which takes
minutes (marked slow: `-m "not slow"` leaves it out)."""
import glob
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

import pytest

import vextal
from conftest import build_cython_module

REPO = pathlib.Path(__file__).resolve().parent.parent
CLIENT = pathlib.Path(__file__).resolve().parent / "cython_client" / "planner_cy.pyx"
DECLARATIONS = ["vextal/vector3.pxd", "vextal/matrix4.pxd", "vextal/astro/orbitvector.pxd",
                "vextal/astro/transfer_planner.pxd"]

@pytest.fixture(scope="module")
def site():
    """A folder holding an installed vextal distribution (the package and its .dist-info)."""
    parent = pathlib.Path(os.path.abspath(vextal.__file__)).parent.parent
    if glob.glob(str(parent / "vextal-*.dist-info")):
        return parent
    if not (REPO / "pyproject.toml").exists():
        pytest.skip("vextal is not installed and no source tree is at hand to install it from")
    target = pathlib.Path(tempfile.mkdtemp(prefix="vextal-installed-"))
    command = [sys.executable, "-m", "pip", "install", "--quiet", "--no-deps", "--target", str(target), str(REPO)]
    try:
        import scikit_build_core  # noqa: F401  (the backend is here: build without fetching it)
        command.insert(4, "--no-build-isolation")
    except ImportError:
        pass
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.fail("pip install failed:\n%s%s" % (proc.stdout, proc.stderr))
    return target


@pytest.mark.slow
def test_the_license_is_in_the_distribution(site):
    (dist_info,) = glob.glob(str(site / "vextal-*.dist-info"))
    licenses = [p for p in pathlib.Path(dist_info).rglob("LICENSE*") if p.is_file()]
    assert licenses, "no LICENSE in %s" % dist_info
    text = licenses[0].read_text()
    assert text.startswith("MIT License") and "Copyright (c) 2026 the vextal developers" in text


@pytest.mark.slow
@pytest.mark.parametrize("name", DECLARATIONS)
def test_the_declarations_are_in_the_package(site, name):
    installed = site / name
    assert installed.is_file()
    source = REPO / "src" / name
    if source.exists():
        assert installed.read_text() == source.read_text()


@pytest.mark.slow
def test_a_cython_client_builds_and_runs_against_the_installed_package(site):
    pytest.importorskip("Cython")
    out = tempfile.mkdtemp(prefix="vextal-cython-installed-")
    shutil.copy(CLIENT, out)
    build_cython_module(os.path.join(out, CLIENT.name), out, str(site))  # nothing of the source tree
    code = """
import json, planner_cy, vextal
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3
a = ECI(0.0, Vector3(6778.1374, 0, 0), Vector3(0, 7.6686, 0))
b = ECI(0.0, Vector3(0, 6978.1374, 0), Vector3(-7.5578, 0, 0))
native = planner_cy.plan(a, b, 16000.0, True, 2)
direct = plan_lambert(a, b, 16000.0, True, 2)
print(json.dumps({"package": vextal.__file__, "native": planner_cy.arc_costs(native),
                  "direct": [d.delta_v.magnitude() + r.delta_v.magnitude() for d, r in direct.burns]}))
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([out, str(site)]))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=out, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert pathlib.Path(result["package"]).resolve().is_relative_to(site.resolve())
    assert len(result["native"]) == 5 and result["native"] == result["direct"]


@pytest.mark.slow
def test_the_documented_cython_example_builds_against_the_installed_package(site, tmp_path):
    pytest.importorskip("Cython")
    page = REPO / "docs" / "guide" / "native-interop.md"
    if not page.exists():
        pytest.skip("no documentation at hand")
    (code,) = re.findall(r"```cython\n(.*?)```", page.read_text(), re.S)
    (tmp_path / "readme_cy.pyx").write_text(code)
    build_cython_module(str(tmp_path / "readme_cy.pyx"), str(tmp_path), str(site))
    check = """
import readme_cy
from vextal.astro.orbitvector import ECI
from vextal.astro.transfer_planner import plan_lambert
from vextal.vector3 import Vector3
a = ECI(0.0, Vector3(7000, 0, 0), Vector3(0, 7.546, 0))
b = ECI(0.0, Vector3(0, 7200, 0), Vector3(-7.44, 0, 0))
costs = [d.delta_v.magnitude() + r.delta_v.magnitude() for d, r in plan_lambert(a, b, 16000.0).burns]
assert readme_cy.cheapest(a, b, 16000.0) == min(costs), (readme_cy.cheapest(a, b, 16000.0), costs)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), str(site)]))
    proc = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True, cwd=tmp_path, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_the_sdist_carries_the_license_and_the_declarations(tmp_path):
    backend = pytest.importorskip("scikit_build_core.build")
    if not (REPO / "pyproject.toml").exists():
        pytest.skip("no source tree")
    cwd = os.getcwd()
    try:
        os.chdir(REPO)
        name = backend.build_sdist(str(tmp_path))
    finally:
        os.chdir(cwd)
    with tarfile.open(tmp_path / name) as sdist:
        members = {m.split("/", 1)[1] for m in sdist.getnames() if "/" in m}
    assert "LICENSE" in members
    assert {"src/" + name for name in DECLARATIONS} <= members
