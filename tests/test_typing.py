"""The stubs as a user's tools see them: a realistic script passes `mypy --strict` and pyright (strict), and
mypy's stubtest finds the stubs consistent with the installed modules. The checkers come with the test extra."""
import ast
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import vextal

HERE = pathlib.Path(__file__).resolve().parent / "typing"
SCRIPT = HERE / "user_script.py"
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(vextal.__file__)))


def run(command, cwd, timeout=600):
    # The checkers find vextal where the tests import it from (an installed copy or a build tree).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env, timeout=timeout)


def test_the_user_script_runs(tmp_path):
    proc = run([sys.executable, str(SCRIPT)], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.endswith("the user script ran to its end\n")


def test_mypy_strict_passes_on_the_user_script(tmp_path):
    pytest.importorskip("mypy")
    proc = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(SCRIPT)],
               tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("Success: no issues found")


def test_pyright_strict_passes_on_the_user_script(tmp_path):
    pytest.importorskip("pyright")
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "strict", "pythonVersion": "%d.%d" % sys.version_info[:2]}))
    proc = run([sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable, "-p", str(config),
                str(SCRIPT)], tmp_path)
    report = json.loads(proc.stdout)
    problems = [d for d in report["generalDiagnostics"] if d["severity"] in ("error", "warning")]
    assert problems == [] and proc.returncode == 0, json.dumps(problems, indent=1) + proc.stderr
    assert report["summary"]["filesAnalyzed"] == 1


def test_stubtest_finds_the_stubs_consistent(tmp_path):
    pytest.importorskip("mypy")
    proc = run([sys.executable, "-m", "mypy.stubtest", "vextal", "--allowlist", str(HERE / "stubtest_allowlist.txt")],
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
