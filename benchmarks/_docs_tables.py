"""Shared by the benchmark scripts: writing a measured table into the documentation page it belongs to.

Each table sits in its page between `<!-- measured: NAME -->` and `<!-- end measured: NAME -->`; only what is
between them is replaced, so the prose around a table stays as written."""
import os

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs", "guide", "performance.md")


def write_measured(name, text, page=PAGE):
    """Put `text` between the markers of `name` in `page` (docs/guide/performance.md by default). A page
    without exactly one pair of them is left untouched and ValueError says so: a table goes beside its prose,
    never appended where nobody placed it."""
    start, end = "<!-- measured: %s -->\n" % name, "<!-- end measured: %s -->" % name
    with open(page, encoding="utf-8") as f:
        content = f.read()
    if content.count(start) != 1 or content.count(end) != 1 or content.index(start) > content.index(end):
        raise ValueError("%s: needs one pair of markers %r ... %r" % (page, start.strip(), end))
    before, rest = content.split(start)
    after = rest.split(end)[1]
    updated = before + start + text.strip("\n") + "\n" + end + after
    temporary = page + ".tmp"   # written whole, then renamed: an interrupted run leaves the page as it was
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(updated)
    os.replace(temporary, page)
