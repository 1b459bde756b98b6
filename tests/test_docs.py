"""The README and the documentation (docs/: the guides' Markdown pages and the reference's
reStructuredText pages) name only what exists: the repository's files, the commands and options
of orbisk-fpga, the modules and names of the packages, and the dependencies of pyproject.toml."""

import argparse
import importlib
import re
import tomllib
from pathlib import Path

import pytest

from orbisk_tools.cli import parser
from orbisk_tools.native import fpga_module

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md")), *sorted((ROOT / "docs").rglob("*.rst"))]
# The folders of the repository whose paths the pages name; the files outside them are at its top.
FOLDERS = ("orbisk_tools", "orbisk", "interop", "host_standin", "docs", "tools", ".ci", "bench", "fuzz", "tests")
# A path from the top of the repository (`docs/api/`, `tests/*/test_leaks.py`), or a file named by
# its suffix, alone or with folders above it (`fleet.py`, `engine/workers.py`).
ROOTED = re.compile(r"(?<![\w./~$-])((?:%s)/[\w./*-]*)" % "|".join(map(re.escape, FOLDERS)))
FILE = re.compile(r"(?<![\w./~$<-])((?:\w[\w-]*/)*[\w-]+\.(?:py|pyi|cpp|hpp|sh|md|rst|png|toml))\b")
# Files that the pages name and that are not the repository's: a user's script, the offline
# bundle's installer (tools/offline-install.sh in the bundle).
NOT_OURS = {"script.py", "install.sh"}
# Programs other than orbisk-fpga, whose options a line of code that starts with them gives.
OTHER_PROGRAMS = re.compile(r"(\$ )?(\S*/)?(pip|python3?(\.\d+)?|pytest|mypy|cibuildwheel|sphinx-build|bash|sh|sudo|"
                            r"apt-get|minisign|git|tar|auditwheel|cmake|tools/\S+|\./install\.sh|PYTHON=\S+)\b")


def page_name(page):
    return str(page.relative_to(ROOT))


def code(page):
    """The code that a page shows: its blocks of code, each line, and its inline code."""
    text = page.read_text()
    if page.suffix == ".md":
        blocks = re.findall(r"^ *```[^\n]*\n(.*?)^ *```", text, re.S | re.M)
        inline = re.findall(r"`([^`\n]+)`", re.sub(r"^ *```.*?^ *```", "", text, flags=re.S | re.M))
    else:
        blocks, lines = [], text.splitlines()
        for index, line in enumerate(lines):
            if re.match(r"\s*(\.\. (code-block|test\w+|doctest)::.*|(?!\.\.).*::)$", line):  # code
                indent, body = len(line) - len(line.lstrip()), []
                for following in lines[index + 1:]:
                    if following.strip() and len(following) - len(following.lstrip()) <= indent:
                        break
                    if not following.strip().startswith(":"):  # the directive's options
                        body.append(following)
                blocks.append("\n".join(body))
        inline = re.findall(r"``([^`]+)``", text)
    return [line.strip() for block in blocks for line in block.splitlines() if line.strip()] + inline


def repository_files():
    files = [path for path in ROOT.iterdir() if path.is_file()]
    for folder in FOLDERS:
        files += [path for path in (ROOT / folder).rglob("*") if "__pycache__" not in path.parts]
    return {*FOLDERS, *(page_name(path) for path in files)}


def commands_and_options():
    """orbisk-fpga's commands, and the options of the command line and of every command."""
    top = parser()
    (commands,) = [action.choices for action in top._actions if isinstance(action, argparse._SubParsersAction)]
    options = {option for each in (top, *commands.values()) for action in each._actions
               for option in action.option_strings}
    return set(commands), options


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_the_files_a_page_names_exist(page):
    text, files = page.read_text(), repository_files()
    missing = []
    for path in {path.rstrip(".,") for path in ROOTED.findall(text)}:
        found = any(ROOT.glob(path)) if "*" in path else path.rstrip("/") in files
        if not found:
            missing.append(path)
    for name in set(FILE.findall(text)) - NOT_OURS:
        if not name.startswith(FOLDERS) and not any(file == name or file.endswith("/" + name) for file in files):
            missing.append(name)
    assert not missing, f"{page_name(page)} names files that do not exist: {sorted(missing)}"


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_the_commands_and_options_a_page_names_exist(page):
    commands, options = commands_and_options()
    unknown = []
    for line in code(page):
        line = line.split(" # ")[0]  # a shell comment
        for command in re.findall(r"orbisk-fpga +([a-z][\w-]*)", line):
            if command not in commands:
                unknown.append(f"orbisk-fpga {command}")
        if "orbisk-fpga" in line or not OTHER_PROGRAMS.match(line):
            unknown += [option for option in re.findall(r"(?<![\w-])--[a-z][\w-]*", line) if option not in options]
    assert not unknown, f"{page_name(page)} names what orbisk-fpga does not have: {sorted(set(unknown))}"


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_the_modules_and_names_a_page_names_exist(page):
    """Each dotted name of the packages is a module, or a name in a module (of a class, its members
    are not looked at: instances have attributes of their own)."""
    fpga_module()  # imported first as the tools import it, leaving logging as it was
    missing = []
    for dotted in set(re.findall(r"(?<![\w.])(?:orbisk_tools|orbisk)(?:\.\w+)+", page.read_text())):
        parts = dotted.split(".")
        for end in range(len(parts), 0, -1):  # the longest module, then a name in it
            try:
                module = importlib.import_module(".".join(parts[:end]))
            except ImportError:
                continue
            if end < len(parts) and not hasattr(module, parts[end]):
                missing.append(dotted)
            break
    assert not missing, f"{page_name(page)} names what the packages do not have: {sorted(missing)}"


def prose(page):
    """A page's paragraphs, without its blocks of code."""
    text = re.sub(r"^ *```.*?^ *```", "", page.read_text(), flags=re.S | re.M)
    return [" ".join(paragraph.split()) for paragraph in re.split(r"\n\s*\n", text)]


def requirement_names(requirements):
    return {re.match(r"[\w.-]+", requirement)[0].lower() for requirement in requirements}


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_the_dependencies_a_page_lists_are_those_of_pyproject(page):
    """A paragraph that speaks of the dependencies and names one of them names every one; one that
    names an extra as pip installs it (`'.[test]'`) and a package of it names every one."""
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    lists = {"dependenc": requirement_names(project["dependencies"])}
    for extra, requirements in project["optional-dependencies"].items():
        lists[rf"\[{extra}\]"] = requirement_names(requirements)
    wrong = []
    for paragraph in prose(page):
        for cue, names in lists.items():
            named = {name for name in names if re.search(rf"(?<![\w-]){re.escape(name)}(?![\w-])", paragraph, re.I)}
            if re.search(cue, paragraph, re.I) and named and named != names:
                wrong.append(f"{paragraph[:60]}...: names {sorted(named)} of {sorted(names)}")
    assert not wrong, f"{page_name(page)} lists dependencies that differ from pyproject.toml: {wrong}"
