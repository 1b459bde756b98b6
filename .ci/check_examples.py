"""Checks the examples of the documentation (docs/: the API reference's reStructuredText pages and
the guides' Markdown pages) and of the README, with mypy installed:
    python .ci/check_examples.py OUTPUT_FOLDER
Every line of code the reference shows (examples, their output, literal blocks, included files),
and every line of the guides' Python blocks, must fit 79 columns. The examples that the doctest
builder runs, page by page (the global setup of docs/conf.py, then the page's testsetup, testcode
and testcleanup blocks in their order, as they share one namespace when they run), the Python
files the pages include, and the Python blocks of the guides and of the README (on each page,
each block that begins with an import a script of its own, one that does not going on from the
block before it) are written to OUTPUT_FOLDER and checked there with mypy --strict, against the
installed packages."""

import ast
import re
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
README = ROOT / "README.md"
WIDTH = 79
RUN = ("testsetup", "testcode", "testcleanup")
SHOWN = (*RUN, "testoutput", "code-block")
DIRECTIVE = re.compile(r"^(?P<indent> *)\.\. (?P<name>[a-z-]+)::(?P<argument>.*)$")


def global_setup():
    """conf.py's doctest_global_setup, read without running conf.py."""
    for node in ast.parse((DOCS / "conf.py").read_text()).body:
        if isinstance(node, ast.Assign) and [target.id for target in node.targets] == ["doctest_global_setup"]:
            return ast.literal_eval(node.value)
    sys.exit("conf.py has no doctest_global_setup")


def blocks(lines):
    """(kind, first line number, lines) of each block of code on a page: a directive of SHOWN
    (kind: its name), a literal block after "::" (kind "literal"), or an included file
    (kind "include", lines: its path)."""
    index = 0
    while index < len(lines):
        line = lines[index]
        directive = DIRECTIVE.match(line)
        if directive and directive["name"] == "literalinclude":
            yield "include", index + 1, [directive["argument"].strip()]
        if directive and directive["name"] in SHOWN:
            kind, indent = directive["name"], len(directive["indent"])
        elif line.rstrip().endswith("::") and not line.lstrip().startswith(".."):
            kind, indent = "literal", len(line) - len(line.lstrip())
        else:
            index += 1
            continue
        index += 1
        while index < len(lines) and lines[index].lstrip().startswith(":") and directive:  # its options
            index += 1
        while index < len(lines) and not lines[index].strip():
            index += 1
        start, body = index, []
        while index < len(lines) and (not lines[index].strip() or len(lines[index]) - len(lines[index].lstrip()) > indent):
            body.append(lines[index])
            index += 1
        yield kind, start + 1, textwrap.dedent("\n".join(body)).rstrip("\n").splitlines()


def name(page):
    """A page's name for its scripts: its path in docs/ (or README), as a module name."""
    parts = page.relative_to(DOCS).with_suffix("").parts if page.is_relative_to(DOCS) else (page.stem,)
    return "_".join(parts).replace("-", "_").lower()


def markdown_scripts(page):
    """The Python blocks of a Markdown page as scripts: a block that begins with an import starts
    one, a block that does not goes on from the block before it."""
    scripts = []
    for block in re.findall(r"^```python\n(.*?)^```", page.read_text(), re.S | re.M):
        if scripts and not re.match(r"(import|from) ", block):
            scripts[-1] += "\n" + block
        else:
            scripts.append(block)
    return scripts


def main(output):
    output.mkdir(parents=True, exist_ok=True)
    for old in output.glob("*.py"):
        old.unlink()
    too_wide, checked = [], []
    for page in sorted(DOCS.rglob("*.rst")):
        code = [global_setup()]
        for kind, number, lines in blocks(page.read_text().splitlines()):
            if kind == "include":
                included = (page.parent / lines[0]).resolve()
                lines = included.read_text().splitlines()
                where = included.relative_to(ROOT)
                if included.suffix == ".py":
                    checked.append(output / f"included_{included.name}")
                    checked[-1].write_text(included.read_text())
                too_wide += [f"{where}:{at}" for at, line in enumerate(lines, 1) if len(line) > WIDTH]
                continue
            too_wide += [f"{page.relative_to(ROOT)}:{number + at}" for at, line in enumerate(lines) if len(line) > WIDTH]
            if kind in RUN:
                code.append("\n".join(lines))
        if len(code) > 1:
            checked.append(output / f"page_{name(page)}.py")
            checked[-1].write_text("\n\n".join(code) + "\n")
    for page in [README, *sorted(DOCS.rglob("*.md"))]:
        for number, script in enumerate(markdown_scripts(page), 1):
            checked.append(output / f"{name(page)}_{number}.py")
            checked[-1].write_text(script)
            if page != README:  # the guides' blocks are shown in the built pages
                lines = script.splitlines()
                too_wide += [f"{page.relative_to(ROOT)}: {line}" for line in lines if len(line) > WIDTH]
    # From the output folder, so that the installed packages are the ones mypy sees.
    typed = subprocess.run([sys.executable, "-m", "mypy", "--strict", *(path.name for path in checked)], cwd=output)
    if too_wide:
        sys.exit(f"code lines wider than {WIDTH} columns: " + ", ".join(too_wide))
    if typed.returncode:
        sys.exit(f"mypy --strict finds errors in the examples ({output})")


if __name__ == "__main__":
    main(Path(sys.argv[1]).resolve())
