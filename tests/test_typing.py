"""The stubs as a user's tools see them: a realistic script and the README's Python examples run and pass
`mypy --strict` and pyright (strict), and mypy's stubtest finds the stubs consistent with the installed modules.
The checkers come with the test extra."""
import ast
import json
import os
import pathlib
import re
import site
import subprocess
import sys

import numpy as np
import pytest

import vextal

HERE = pathlib.Path(__file__).resolve().parent / "typing"
SCRIPT = HERE / "user_script.py"
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(vextal.__file__)))


# NumPy 1.x (the newest on CPython 3.9) leaves numpy.ma untyped and pairs with a Dask that exports its array
# functions implicitly: the strict checks of the package and the README examples need NumPy 2's stubs.
needs_numpy2_stubs = pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0",
                                        reason="strict typing is checked against NumPy 2's stubs")

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
# Third-party signatures that pyright (strict) reports as partially unknown in any caller: matplotlib leaves
# `savefig`'s **kwargs unannotated.
THIRD_PARTY_GAPS = ('Type of "savefig" is partially unknown',)


def run(command, cwd, timeout=600):
    # The checkers find vextal where the tests import it from: a build tree goes on the path, an installed copy
    # is found by the interpreter itself (site-packages on PYTHONPATH makes mypy refuse every module there).
    extra = [] if PACKAGE_PARENT in site.getsitepackages() else [PACKAGE_PARENT]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [*extra, os.environ.get("PYTHONPATH")])),
               MPLBACKEND="Agg")
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env, timeout=timeout)


def mypy_strict(paths, tmp_path, *options, count=None):
    proc = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "mypy-cache"), *options,
                *map(str, paths)], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found in %d source file" % (count or len(paths)))


def pyright_strict(paths, tmp_path):
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": "%d.%d" % sys.version_info[:2]}))
    proc = run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "-p", str(config),
                *map(str, paths)], tmp_path)
    report = json.loads(proc.stdout)
    problems = [d for d in report["generalDiagnostics"] if d["severity"] in ("error", "warning")
                and not d["message"].startswith(THIRD_PARTY_GAPS)]
    assert problems == [], json.dumps(problems, indent=1) + proc.stderr
    assert report["summary"]["filesAnalyzed"] == len(paths)


def readme_examples():
    """(heading above it, code) of each ```python block of the README."""
    examples, heading = [], None
    for block in re.finditer(r"^(#+ [^\n]*)$|^```python\n(.*?)^```$", README.read_text(), re.M | re.S):
        if block.group(1):
            heading = block.group(1).lstrip("# ")
        else:
            examples.append((heading, block.group(2)))
    return examples


EXAMPLES = readme_examples()


def uses_dask(code):
    return re.search(r"^\s*(from|import) (dask|distributed)\b", code, re.M) is not None


@pytest.fixture
def example_files(tmp_path):
    paths = []
    for k, (_, code) in enumerate(EXAMPLES):
        paths.append(tmp_path / ("example_%d.py" % k))
        paths[-1].write_text(code)
    return paths


def test_the_user_script_runs(tmp_path):
    proc = run([sys.executable, str(SCRIPT)], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("the user script ran to its end\n")


def test_mypy_strict_passes_on_the_user_script(tmp_path):
    pytest.importorskip("mypy")
    mypy_strict([SCRIPT], tmp_path)


def test_pyright_strict_passes_on_the_user_script(tmp_path):
    pytest.importorskip("pyright")
    pyright_strict([SCRIPT], tmp_path)


@pytest.mark.parametrize("index", range(len(EXAMPLES)), ids=["%d-%s" % (k, h) for k, (h, _) in enumerate(EXAMPLES)])
def test_readme_example_runs(index, example_files, tmp_path):
    proc = run([sys.executable, str(example_files[index])], tmp_path, timeout=300)
    assert proc.returncode == 0, proc.stderr


@needs_numpy2_stubs
def test_readme_examples_pass_mypy_strict(example_files, tmp_path):
    # Dask and distributed leave most functions unannotated: calls into them are exempt, calls into vextal not.
    pytest.importorskip("mypy")
    assert len(example_files) >= 5
    mypy_strict(example_files, tmp_path, "--untyped-calls-exclude=dask", "--untyped-calls-exclude=distributed")


@needs_numpy2_stubs
def test_readme_examples_pass_pyright_strict(example_files, tmp_path):
    # Not the Dask examples: pyright infers types for Dask's unannotated parameters from their defaults and then
    # rejects Dask's own documented calls (LocalCluster(dashboard_address=None), from_array(chunks=(n, 3))).
    pytest.importorskip("pyright")
    plain = [path for path, (_, code) in zip(example_files, EXAMPLES) if not uses_dask(code)]
    assert len(plain) >= 3
    pyright_strict(plain, tmp_path)


@needs_numpy2_stubs
def test_the_package_modules_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    modules = sorted("vextal.astro." + p.stem for p in pathlib.Path(PACKAGE_PARENT, "vextal", "astro").glob("*.py")
                     if p.stem.startswith(("porkchop", "_porkchop", "_distributed", "_survey", "_optional",
                                           "_j2_refine", "_grid_", "_refine", "_safety", "_transfer")))
    assert len(modules) >= 6
    # By module name: an installed copy's files would be refused as paths inside site-packages.
    mypy_strict([arg for module in modules for arg in ("-m", module)], tmp_path, count=len(modules))


def test_stubtest_finds_the_stubs_consistent(tmp_path):
    pytest.importorskip("mypy")
    # The modules that have stubs (the native ones); a pure-Python module is its own stub. Naming them also keeps
    # stubtest on 3.9 from taking typing's helpers imported by those modules for their own names.
    root = pathlib.Path(PACKAGE_PARENT)
    modules = sorted(".".join(stub.relative_to(root).with_suffix("").parts)
                     for stub in root.joinpath("vextal").rglob("*.pyi") if stub.stem != "_shapes")
    assert "vextal.astro.arrays" in modules and "vextal.vector3" in modules
    proc = run([sys.executable, "-m", "mypy.stubtest", *modules, "--ignore-unused-allowlist",
                "--allowlist", str(HERE / "stubtest_allowlist.txt")],
               tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout


def test_every_stub_documents_its_public_names():
    """Every stub module, class, method, property and function carries a docstring (an editor's hover text);
    dunders and the stub-only generic bases of _shapes are exempt."""
    missing = []
    for stub in sorted(pathlib.Path(PACKAGE_PARENT, "vextal").rglob("*.pyi")):
        tree = ast.parse(stub.read_text())
        if ast.get_docstring(tree) is None:
            missing.append(stub.name)
        for node in ast.walk(tree):
            if not isinstance(node, (ast.ClassDef, ast.FunctionDef)) or node.name.startswith("__"):
                continue
            if isinstance(node, ast.ClassDef) and stub.name == "_shapes.pyi" and node.name != "Matrix":
                continue
            if ast.get_docstring(node) is None:
                missing.append("%s: %s" % (stub.name, node.name))
    assert missing == []
