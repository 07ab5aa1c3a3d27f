"""Sphinx configuration of vextal's documentation site.

The pages are MyST Markdown, like the README. The API reference is made at build time: one page per public
module found in the imported package (a name without a leading underscore), so a new module gets its page by
existing. autodoc reads the docstrings of the compiled modules themselves; where a native module ships a .pyi
stub, the stub's annotated signatures replace the bare ones the compiled functions carry. The gallery's scripts
run at build time and write the pictures its page shows.
"""
import ast
import importlib
import inspect
import os
import pathlib
import pkgutil
import subprocess
import sys

# Sphinx 9 would execute a native module's .pyi stub in place of the module, which replaces the compiled module
# in sys.modules and breaks the modules that import it natively: autodoc imports the real modules, and the
# stubs' signatures come in through stub_signature below (the same on every Sphinx version).
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

import vextal  # noqa: E402
from sphinx.ext.napoleon import _process_docstring as napoleon_process_docstring  # noqa: E402

DOCS = pathlib.Path(__file__).resolve().parent
GENERATED = DOCS / "_generated"          # written by the build, never committed
GALLERY = DOCS / "gallery"

project = "vextal"
author = "the vextal developers"
copyright = "the vextal developers"
release = version = vextal.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_generated/*.py", "Thumbs.db", ".DS_Store"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
suppress_warnings = ["myst.header"]      # the guides' pages start at a level-1 heading; their sub-levels may skip

try:
    import furo  # noqa: F401
    html_theme = "furo"
except ImportError:                       # the theme is a nicety: the site builds with Sphinx's own
    html_theme = "alabaster"
html_title = "vextal %s" % release

autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True,
                           "member-order": "bysource", "special-members": "__init__",
                           # a module's __all__ may name what it imports (porkchop's constants)
                           "imported-members": True}
autodoc_typehints = "signature"
autodoc_typehints_format = "short"
autodoc_preserve_defaults = True
napoleon_google_docstring = True
napoleon_numpy_docstring = True

# Types from other libraries and typing's helpers are named in signatures but documented elsewhere (this site
# has no network at build time, so no intersphinx); references into vextal itself stay checked.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|npt|np|typing|typing_extensions|collections|datetime|os|pathlib|matplotlib|pandas|xarray"
               r"|dask|distributed|astropy|scipy|sgp4)(\..*)?"),
    (r"py:.*", r"(NDArray|ArrayLike|DTypeLike|Any|Optional|Union|Tuple|List|Dict|Sequence|Mapping|Iterable"
               r"|Iterator|Callable|SupportsFloat|SupportsIndex|Literal|TypeVar|Self|Axes|Figure|Client|Path"
               r"|Generic|NamedTuple|Protocol|float64|floating|int8|int32|int64|intp|bool_|ndarray|dtype)(\[.*)?"),
    # The stubs' private aliases and private bases (vextal.astro._tle.TLE behind trajectory.TLE) are not pages.
    (r"py:.*", r"(_\w+|Number|ComponentSequence|vextal(\.\w+)*\._\w+(\.\w+)*)"),
    (r"py:.*", r"(float|int|str|bytes|bool|object|None|type|tuple|list|dict|Exception|Warning|UserWarning)"),
]


def public_modules():
    """Every importable public module of the package, by dotted name, sorted."""
    names = ["vextal"]
    for info in pkgutil.walk_packages(vextal.__path__, "vextal."):
        if not any(part.startswith("_") for part in info.name.split(".")):
            names.append(info.name)
    return sorted(set(names))


def write_api_pages():
    """docs/api/<module>.md for every public module (git ignores them: the package is their source)."""
    folder = DOCS / "api"
    wanted = set()
    for name in public_modules():
        wanted.add(name + ".md")
        page = "# `%s`\n\n```{eval-rst}\n.. automodule:: %s\n" % (name, name)
        # autodoc leaves out the plain values a module's __all__ re-exports (porkchop's MU_SUN, CELL_STATUS):
        # they get an entry of their own.
        module = importlib.import_module(name)
        values = [n for n in getattr(module, "__all__", ()) if not callable(getattr(module, n))
                  and not inspect.ismodule(getattr(module, n))]
        if values:
            page += "   :exclude-members: %s\n" % ", ".join(values)
            page += "".join("\n.. autodata:: %s.%s\n" % (name, value) for value in values)
        page += "```\n"
        path = folder / (name + ".md")
        if not path.exists() or path.read_text() != page:   # unchanged pages keep Sphinx's cache
            path.write_text(page)
    for stale in folder.glob("vextal*.md"):
        if stale.name not in wanted:
            stale.unlink()


def draw_gallery():
    """Run each gallery script in docs/_generated/gallery unless its picture is newer than the script."""
    out = GENERATED / "gallery"
    out.mkdir(parents=True, exist_ok=True)
    # The scripts import the vextal this build documents (a relative PYTHONPATH would not survive the cwd).
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(vextal.__file__)))
    path = os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=path)
    for script in sorted(GALLERY.glob("*.py")):
        picture = out / (script.stem + ".png")
        if picture.exists() and picture.stat().st_mtime >= script.stat().st_mtime:
            continue
        proc = subprocess.run([sys.executable, str(script)], cwd=out, env=env, capture_output=True, text=True)
        if proc.returncode != 0 or not picture.exists():
            raise RuntimeError("gallery script %s failed (it must write %s):\n%s"
                               % (script.name, picture.name, proc.stderr))


# Stub signatures: {qualified name: "(args) -> return"} read from the .pyi files beside the compiled modules.
def _stub_signatures():
    table = {}
    root = pathlib.Path(os.path.dirname(os.path.dirname(os.path.abspath(vextal.__file__))))
    for stub in root.joinpath("vextal").rglob("*.pyi"):
        module = ".".join(stub.relative_to(root).with_suffix("").parts)
        tree = ast.parse(stub.read_text())

        def visit(body, prefix, in_class):
            for node in body:
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".", True)
                elif isinstance(node, ast.FunctionDef):
                    decorators = {ast.unparse(d) for d in node.decorator_list}
                    if "overload" in decorators or "typing.overload" in decorators:
                        continue   # an overloaded name keeps the compiled module's own signature
                    args = node.args
                    if in_class and "staticmethod" not in decorators and (args.posonlyargs or args.args):
                        args = ast.arguments(**{f: getattr(args, f) for f in args._fields})
                        if args.posonlyargs:
                            args.posonlyargs = args.posonlyargs[1:]
                        else:
                            args.args = args.args[1:]
                    ret = ast.unparse(node.returns) if node.returns is not None else None
                    table[prefix + node.name] = ("(%s)" % ast.unparse(args), ret)

        visit(tree.body, module + ".", False)
    return table


STUB_SIGNATURES = _stub_signatures()


def stub_signature(app, what, name, obj, options, signature, return_annotation):
    if signature is None:   # a compiled method without a text signature: Sphinx 9 cannot take one for it
        return None
    if what in ("function", "method", "class") and name in STUB_SIGNATURES:
        return STUB_SIGNATURES[name]
    for constructor in (".__init__", ".__new__"):   # a class reads as its constructor, without self or cls
        if what == "class" and name + constructor in STUB_SIGNATURES:
            return STUB_SIGNATURES[name + constructor][0], None
    return None


def _indent(line):
    return len(line) - len(line.lstrip())


def plain_text_docstring(app, what, name, obj, options, lines):
    """The docstrings are plain text, not reStructuredText; read them as their author meant: |x| is a magnitude,
    not a substitution; a list or an indented block may follow its line without a blank line, and an indented
    block after a line ending in a colon is laid out by hand (a literal block)."""
    type_doc = getattr(type(obj), "__doc__", None)
    if what in ("data", "attribute") and isinstance(type_doc, str) and \
            " ".join("\n".join(lines).split()) == " ".join(type_doc.split()):
        lines[:] = []   # a value without a doc comment shows its type's docstring (dict's, float's): none
        return
    out, list_indent, literal_indent = [], None, None
    for line in lines:
        if literal_indent is not None and (not line.strip() or _indent(line) > literal_indent):
            out.append(line)   # inside a literal block: as written
            continue
        literal_indent = None
        prev = out[-1] if out else ""
        item = line.lstrip().startswith("- ")
        if not line.strip():
            list_indent = None
        elif prev.strip() and _indent(line) > _indent(prev) and prev.rstrip().endswith(":") and not item:
            out[-1] = prev.rstrip() + ":"
            literal_indent = _indent(prev)
            out += ["", line]   # the block's first line, as written
            continue
        elif prev.strip() and item and list_indent is None:
            out.append("")
        elif prev.strip() and list_indent is None and _indent(line) > _indent(prev):
            out.append("")
        if item:
            list_indent = _indent(line)
        out.append(line.replace("|", "\\|"))
    lines[:] = out


def napoleon_except_attributes(app, what, name, obj, options, lines):
    """napoleon reads an attribute's first line as "type: description"; these docstrings are prose there."""
    if what not in ("attribute", "data", "property"):
        napoleon_process_docstring(app, what, name, obj, options, lines)


def setup(app):
    for listener in list(app.events.listeners.get("autodoc-process-docstring", [])):
        if listener.handler is napoleon_process_docstring:
            app.disconnect(listener.id)
    app.connect("autodoc-process-docstring", plain_text_docstring, priority=400)
    app.connect("autodoc-process-docstring", napoleon_except_attributes)
    write_api_pages()
    draw_gallery()
    app.connect("autodoc-process-signature", stub_signature)
