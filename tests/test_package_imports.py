"""The package's Python modules import each other without a cycle: each imports first in a fresh interpreter,
and no chain of imports (at the top or inside functions) leads from a module back to itself."""
import ast
import pathlib
import subprocess
import sys

import pytest

import vextal

PACKAGE = pathlib.Path(vextal.__file__).resolve().parent
PORKCHOP_MODULES = ["vextal.astro.porkchop", "vextal.astro._porkchop_results", "vextal.astro._porkchop_plot",
                    "vextal.astro._distributed", "vextal.astro._survey", "vextal.astro._optional",
                    "vextal.astro._cli_porkchop", "vextal.astro._grid_common", "vextal.astro._grid_sources",
                    "vextal.astro._refine", "vextal.astro._safety", "vextal.astro._transfer"]
PUBLIC = ["porkchop", "survey", "Porkchop", "Survey", "Transfer"]


def module_name(path):
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def imported(tree, modules):
    """The package's Python modules that `tree` imports, leaving out imports only a type checker sees."""
    skipped = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and "TYPE_CHECKING" in ast.dump(node.test):
            skipped.update(id(n) for child in node.body for n in ast.walk(child))
    found = set()
    for node in ast.walk(tree):
        if id(node) in skipped:
            continue
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            found.add(node.module)
            found.update("%s.%s" % (node.module, alias.name) for alias in node.names)
    return {name for name in found if name in modules}


def import_graph():
    sources = {module_name(p): p for p in PACKAGE.rglob("*.py")}
    return {name: imported(ast.parse(path.read_text()), sources) - {name} for name, path in sources.items()}


def find_cycle(graph):
    """A list of modules that import each other in a ring, or None."""
    state, stack = {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                cycle = visit(nxt)
                if cycle:
                    return cycle
        state[node] = "done"
        stack.pop()
        return None

    for node in sorted(graph):
        if node not in state:
            cycle = visit(node)
            if cycle:
                return cycle
    return None


@pytest.mark.parametrize("graph, cycle", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, None),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}}, ["a", "b", "c", "a"]),
])
def test_find_cycle(graph, cycle):
    assert find_cycle(graph) == cycle


def test_no_module_of_the_package_imports_itself_through_others():
    graph = import_graph()
    assert "vextal.astro._porkchop_results" in graph["vextal.astro.porkchop"]  # the graph sees the imports
    assert find_cycle(graph) is None


@pytest.mark.parametrize("module", PORKCHOP_MODULES)
def test_each_porkchop_module_imports_first_in_a_fresh_interpreter(module):
    code = "import %s\nfrom vextal.astro.porkchop import %s\nprint('ok')" % (module, ", ".join(PUBLIC))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr
