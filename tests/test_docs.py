"""The documentation site: it builds without a warning or a broken reference, every page and every public
module's reference page is there and covers the module, every Python example on it runs as a complete script
in an empty folder and passes the type checkers, the benchmark scripts find the blocks they rewrite, and the
README links only to files and headings that exist."""
import importlib
import importlib.util
import inspect
import pathlib
import pkgutil
import re
import sys

import pytest

import test_typing as checks  # the subprocess runner and the strict checkers the README's examples use
import vextal

REPO = pathlib.Path(__file__).resolve().parents[1]
DOCS = REPO / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if not p.relative_to(DOCS).parts[0].startswith("_")
               and not (p.parent.name == "api" and p.name.startswith("vextal"))) if DOCS.is_dir() else []
# The modules the reference must have whatever the walk of the package finds (a walk that misses some fails).
REQUIRED_MODULES = ["vextal", "vextal.vector3", "vextal.matrix4", "vextal.quaternion", "vextal.astro.orbitvector",
                    "vextal.astro.transfer_planner", "vextal.astro.kepler", "vextal.astro.root",
                    "vextal.astro.multirev_arcs", "vextal.astro.arrays", "vextal.astro.porkchop",
                    "vextal.astro.trajectory", "vextal.astro.time", "vextal.astro.frames", "vextal.astro.elements"]

pytestmark = pytest.mark.skipif(not PAGES, reason="no documentation sources at hand")


def python_blocks():
    """("page:line", code) of every ```python block of the site's pages."""
    blocks = []
    for page in PAGES:
        text = page.read_text()
        for block in re.finditer(r"^```python\n(.*?)^```$", text, re.M | re.S):
            blocks.append(("%s:%d" % (page.relative_to(DOCS), text.count("\n", 0, block.start()) + 1),
                           block.group(1)))
    return blocks


BLOCKS = python_blocks()


def public_modules():
    names = {"vextal"}
    for info in pkgutil.walk_packages(vextal.__path__, "vextal."):
        if not any(part.startswith("_") for part in info.name.split(".")):
            names.add(info.name)
    return sorted(names)


def documented_names(module_name):
    """The names a module's reference page must show: its __all__, or the classes and functions it defines."""
    module = importlib.import_module(module_name)
    if hasattr(module, "__all__"):
        return list(module.__all__)
    return [name for name, value in vars(module).items() if not name.startswith("_")
            and (inspect.isclass(value) or inspect.isroutine(value))
            and getattr(value, "__module__", None) == module_name]


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def block_files(tmp_path):
    return checks.write_examples(BLOCKS, tmp_path, "docs_example")


# Every example runs alone, in a fresh interpreter whose working folder is empty.
@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[where for where, _ in BLOCKS])
def test_example_runs(index, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(BLOCKS[index][1])
    work = tmp_path / "work"
    work.mkdir()
    proc = checks.run([sys.executable, str(script)], work, timeout=300)
    assert proc.returncode == 0, "%s\n%s" % (BLOCKS[index][0], proc.stderr)


@pytest.mark.typecheck
@checks.needs_numpy2_stubs
def test_examples_pass_mypy_strict(block_files, tmp_path):
    pytest.importorskip("mypy")
    assert len(block_files) >= 15
    checks.mypy_strict(block_files, tmp_path, "--untyped-calls-exclude=dask", "--untyped-calls-exclude=distributed")


@pytest.mark.typecheck
@checks.needs_numpy2_stubs
def test_examples_pass_pyright_strict(block_files, tmp_path):
    pytest.importorskip("pyright")
    plain = [path for path, (_, code) in zip(block_files, BLOCKS) if not checks.uses_dask(code)]
    assert len(plain) >= 12
    checks.pyright_strict(plain, tmp_path)


# The site, built once as CI builds it: warnings and broken cross-references are errors.
@pytest.fixture(scope="module")
def site(tmp_path_factory):
    pytest.importorskip("sphinx")
    pytest.importorskip("myst_parser")
    out = tmp_path_factory.mktemp("site")
    proc = checks.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-n", "-q", "-E", "-b", "html",
                       "-d", str(out / "doctrees"), str(DOCS), str(out / "html")], out, timeout=900)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "WARNING" not in proc.stderr, proc.stderr
    return out / "html"


@pytest.mark.docs
def test_every_page_is_built(site):
    missing = [str(p.relative_to(DOCS)) for p in PAGES
               if not (site / p.relative_to(DOCS).with_suffix(".html")).is_file()]
    assert missing == []
    index = (site / "index.html").read_text()
    for page in PAGES:
        if page.parent.name == "guide":   # the guides' toctree picks up every page of docs/guide
            assert 'href="guide/%s.html"' % page.stem in index, page.name


@pytest.mark.docs
@pytest.mark.parametrize("module", sorted(set(public_modules()) | set(REQUIRED_MODULES)))
def test_every_public_module_has_a_full_reference_page(site, module):
    html = (site / "api" / (module + ".html")).read_text()
    assert 'id="module-%s"' % module in html
    names = documented_names(module)
    missing = [name for name in names if 'id="%s.%s"' % (module, name) not in html]
    assert missing == [], missing
    # A page says something: the module's docstring, or entries for its names.
    assert names or (importlib.import_module(module).__doc__ or "").split("\n")[0][:40] in html


@pytest.mark.docs
def test_the_gallery_pictures_are_drawn_by_their_scripts(site):
    scripts = sorted(p.stem for p in (DOCS / "gallery").glob("*.py"))
    assert len(scripts) >= 3
    pictures = {p.stem for p in (site / "_images").glob("*.png")}
    assert set(scripts) <= pictures, set(scripts) - pictures
    gallery = (site / "gallery" / "index.html").read_text()
    assert all('src="../_images/%s.png"' % name in gallery for name in scripts)


# The conversions the site's configuration applies to the package's docstrings and stub signatures.
@pytest.fixture(scope="module")
def conf():
    pytest.importorskip("sphinx")
    return load(DOCS / "conf.py", "vextal_docs_conf")


@pytest.mark.parametrize("lines, expected", [
    (["The chord |r2 - r1| in km."], ["The chord \\|r2 - r1\\| in km."]),
    (["Order:", "- first", "  continued", "- second"], ["Order:", "", "- first", "  continued", "- second"]),
    (["An equation:", "  'a'  x - |y|", "      (p1, p2)", "After."],
     ["An equation::", "", "  'a'  x - |y|", "      (p1, p2)", "After."]),
    (["Prose", "  indented aside"], ["Prose", "", "  indented aside"]),
    (["Already", "", "- a list", "text after"], ["Already", "", "- a list", "text after"]),
])
def test_plain_text_docstrings_read_as_written(conf, lines, expected):
    conf.plain_text_docstring(None, "function", "f", None, {}, lines)
    assert lines == expected


@pytest.mark.parametrize("obj, lines, expected", [
    ({0: "an arc"}, dict.__doc__.splitlines(), []),                      # a dict's docstring is not the value's
    (398600.5, float.__doc__.splitlines(), []),
    (398600.5, ["The Earth's gravitational parameter."], ["The Earth's gravitational parameter."]),
])
def test_a_value_without_a_doc_comment_shows_no_docstring_of_its_type(conf, obj, lines, expected):
    conf.plain_text_docstring(None, "data", "X", obj, {}, lines)
    assert lines == expected


@pytest.mark.parametrize("what, lines, changed", [
    ("data", ["Julian date of 1950-01-01T00:00:00, the origin."], False),
    ("property", ["The UTC epoch: seconds since 1950."], False),
    ("function", ["Do it.", "", "Args:", "    x: a number."], True),
])
def test_napoleon_reads_sections_but_not_attribute_prose(conf, what, lines, changed):
    before = list(lines)

    from sphinx.ext.napoleon import Config

    class App:   # what napoleon's docstring hook reads of the application: its settings
        config = Config(napoleon_google_docstring=True, napoleon_numpy_docstring=True)

    conf.napoleon_except_attributes(App(), what, "x", None, {}, lines)
    assert (lines != before) == changed, lines
    if changed:
        assert any(line.startswith(":param x:") for line in lines), lines


@pytest.mark.parametrize("what, name, args, ret", [
    ("function", "vextal.astro.kepler.propagate_lagrangian",
     "(r: Optional[Vector3], v: Optional[Vector3], dt: SupportsFloat, mu: SupportsFloat)", "Tuple[Vector3, Vector3]"),
    ("method", "vextal.vector3.Vector3.cross", "(other: ", None),                 # no self
    ("class", "vextal.astro.multirev_arcs.LambertProblem", "(r1: Optional[Vector3], r2: ", None),   # no cls
])
def test_signatures_come_from_the_stubs(conf, what, name, args, ret):
    got_args, got_ret = conf.stub_signature(None, what, name, None, {}, "(x)", None)
    assert got_args.startswith(args) and "self" not in got_args and "cls" not in got_args, got_args
    assert ret is None or got_ret == ret


def test_a_native_method_without_a_signature_keeps_none(conf):
    assert conf.stub_signature(None, "method", "vextal.astro.orbitvector.ECI.compute_energy", None, {}, None,
                               None) is None


# The benchmark scripts rewrite their tables between markers of the performance page.
@pytest.fixture(scope="module")
def tables():
    return load(REPO / "benchmarks" / "_docs_tables.py", "vextal_docs_tables")


def test_a_measured_block_is_replaced_and_nothing_else(tables, tmp_path):
    page = tmp_path / "page.md"
    page.write_text("# T\n\nprose before\n<!-- measured: a -->\nold\n<!-- end measured: a -->\nprose after\n"
                    "<!-- measured: b -->\nkeep\n<!-- end measured: b -->\n")
    tables.write_measured("a", "\n| new | table |\n\n", page=str(page))
    tables.write_measured("a", "| new | table |", page=str(page))   # idempotent
    assert page.read_text() == ("# T\n\nprose before\n<!-- measured: a -->\n| new | table |\n<!-- end measured: a -->"
                                "\nprose after\n<!-- measured: b -->\nkeep\n<!-- end measured: b -->\n")


@pytest.mark.parametrize("content", [
    "no markers at all\n",
    "<!-- measured: a -->\nonly a start\n",
    "<!-- end measured: a -->\nreversed\n<!-- measured: a -->\n",
    "<!-- measured: a -->\n<!-- end measured: a -->\n<!-- measured: a -->\n<!-- end measured: a -->\n",
])
def test_a_page_without_one_pair_of_markers_is_left_alone(tables, tmp_path, content):
    page = tmp_path / "page.md"
    page.write_text(content)
    with pytest.raises(ValueError, match="measured: a"):
        tables.write_measured("a", "table", page=str(page))
    assert page.read_text() == content


def test_every_benchmark_block_is_on_the_performance_page(tables):
    used = set()
    for script in (REPO / "benchmarks").glob("bench_*.py"):
        used.update(re.findall(r'write_measured\("([\w-]+)"', script.read_text()))
    assert used >= {"arrays", "geodesy", "j2-propagation", "j2-transfers", "planning"}
    page = pathlib.Path(tables.PAGE).read_text()
    for name in used:
        assert page.count("<!-- measured: %s -->\n" % name) == 1 and page.count("<!-- end measured: %s -->" % name) == 1


# The README is the front page on the code host: its links must land.
def github_anchor(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_the_readme_links_land_on_files_and_headings():
    readme = REPO / "README.md"
    links = re.findall(r"\]\(([^)\s]+)\)", readme.read_text())
    local = [link for link in links if "://" not in link]
    assert len(local) >= 10
    broken = []
    for link in local:
        path, _, anchor = link.partition("#")
        target = REPO / path
        if not target.exists():
            broken.append(link)
        elif anchor and anchor not in {github_anchor(h) for h in re.findall(r"^#+ (.*)$", target.read_text(), re.M)}:
            broken.append(link)
    assert broken == []
