"""Shared by the benchmark scripts: writing a measured table into the README."""
import os

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")


def replace_readme_section(section, body):
    """Put `body` (which starts with the heading line `section`) in place of the README's section of that
    heading, up to the next heading of the same level; append it when the README has none yet."""
    with open(README) as f:
        readme = f.read()
    start = readme.find(section + "\n")
    if start < 0:
        readme = readme.rstrip("\n") + "\n\n" + body
    else:
        end = readme.find("\n## ", start + len(section))
        readme = readme[:start] + body + (readme[end:] if end >= 0 else "")
    with open(README, "w") as f:
        f.write(readme)
