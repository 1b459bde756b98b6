# Sphinx configuration of the documentation, this folder: the field guide and the developer guide
# (Markdown, read by myst-parser) and the API reference (api/). `bash .ci/docs` builds it into
# build/docs/html (warnings are errors), runs the reference's examples with the doctest builder,
# and checks them, and the Python examples of the guides and of the README, with mypy --strict
# (.ci/check_examples.py).
import ast
import copy
import importlib.metadata
import importlib.util
import logging
import pathlib

project = "orbisk native core"
release = importlib.metadata.version("orbisk-native")
version = ".".join(release.split(".")[:2])
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.doctest", "sphinx.ext.intersphinx",
              "sphinx.ext.napoleon"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = []
# The guides' links to a section of a page: page.md#its-title-in-lower-case.
myst_heading_anchors = 3
html_theme = "alabaster"
# Room for 79 columns of code: 220px of sidebar, 2 x 30px around the text and 2 x 30px inside a
# code block, and 79 characters of a 0.9 x 17px monospace font 0.6em wide (728px).
html_theme_options = {"page_width": "1080px"}
autodoc_member_order = "bysource"
# A longer signature shows one parameter a line.
python_maximum_signature_line_length = 79

# Links to the Python documentation, from a local copy of its inventory so that the build never
# goes to the network: the one of Debian's python3-doc (.ci/run installs it). Without it the
# same names are shown, unlinked.
PYTHON_INVENTORY = pathlib.Path("/usr/share/doc/python3/html/objects.inv")
intersphinx_mapping = {"python": ("https://docs.python.org/3", str(PYTHON_INVENTORY))} if PYTHON_INVENTORY.is_file() else {}

# Importing orbisk.VornFpga configures the root logger unless it already has a handler (see
# logging.rst). The build configures it first, so that neither the module nor the emulator
# prints log lines into the build's output or into the examples' output.
logging.basicConfig(handlers=[logging.NullHandler()])

# autodoc documents what the installed modules say of themselves: imported here, they are the
# modules it finds (it would otherwise read the type stubs beside them, which carry no text).
import orbisk.VornFpga  # noqa: E402
import orbisk.vorndev.BeamHopper  # noqa: E402

# Every page's examples run against an emulated device on 127.0.0.1, with image files in a
# temporary folder of their own, which is the current directory while they run.
doctest_global_setup = """
import os
import tempfile
from orbisk_tools import write_signed_image
from orbisk_tools.devices.emulator import DeviceEmulator

_folder = tempfile.TemporaryDirectory()
_previous_directory = os.getcwd()
os.chdir(_folder.name)
_image = bytes(range(256)) * 16
with open("fpga.bin", "wb") as file:
    file.write(_image)
write_signed_image("fpga.bin", "fpga.tbin", [28, 32], extra={"version": "0.2.4.0"})
emulator = DeviceEmulator(port=0).start()
address, port = emulator.host, emulator.port
"""
doctest_global_cleanup = """
emulator.stop()
os.chdir(_previous_directory)
_folder.cleanup()
"""


def result_dict_as_literal(app, what, name, obj, options, lines):
    """The docstrings show a result dictionary as braces under its description: end that
    description in "::" so that the braces render as a literal block."""
    for index, line in enumerate(lines[:-1]):
        if lines[index + 1].strip() == "{" and line.rstrip().endswith(":"):
            lines[index] = line.rstrip() + ":"
            lines.insert(index + 1, "")
            return


class Stub:
    """The type stub of orbisk.VornFpga: its signatures are the reference's. The module's own
    signature texts carry no types (they are the operations' as Python code would give them)."""

    MODULE = "orbisk.VornFpga"

    def __init__(self):
        path = pathlib.Path(importlib.util.find_spec(self.MODULE).origin).with_name("VornFpga.pyi")
        self.functions = {}  # qualified name: its definitions, several for an overloaded one
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, ast.ClassDef):
                for member in node.body:
                    if isinstance(member, ast.FunctionDef):
                        self.functions.setdefault(f"{node.name}.{member.name}", []).append(member)

    def definitions(self, what, name):
        """The definitions that give the signature of `name`, documented as `what`."""
        qualname = name.removeprefix(self.MODULE + ".")
        if what in ("class", "exception"):
            qualname += ".__init__"
        elif what not in ("method", "function"):
            return []
        return self.functions.get(qualname, [])

    def signature(self, app, what, name, obj, options, signature, return_annotation):
        """autodoc-process-signature: the parameters and the result. Of an overloaded function,
        the last, general definition (the others narrow its result for type checkers)."""
        definitions = self.definitions(what, name)
        if not definitions:
            return None
        arguments = copy.copy(definitions[-1].args)
        arguments.args = arguments.args[1:]  # without self
        result = definitions[-1].returns
        return f"({ast.unparse(arguments)})", ast.unparse(result) if result and what == "method" else None

    def arguments(self, app, what, name, obj, options, lines):
        """autodoc-process-docstring: the arguments that the stub's docstring documents and
        the module's does not (the constructor's timeout) join the module's list of arguments."""
        documented = [definition for definition in self.definitions(what, name) if ast.get_docstring(definition)]
        if not documented:
            return
        stub_entries = argument_entries(ast.get_docstring(documented[0]).splitlines())
        own = argument_entries(lines)
        if own is None or stub_entries is None:
            return
        end = own["end"]
        for argument, entry in stub_entries.items():
            if argument != "end" and argument not in own:
                lines[end:end] = entry
                end += len(entry)


def argument_entries(lines):
    """{argument: its lines} of the "Args:" or "Arguments:" section of a docstring's lines, and
    "end": the index after the section; None without one."""
    starts = [index for index, line in enumerate(lines) if line.strip() in ("Args:", "Arguments:")]
    if not starts:
        return None
    entries, index = {}, starts[0] + 1
    indent = len(lines[starts[0]]) - len(lines[starts[0]].lstrip())
    while index < len(lines) and lines[index].strip() and len(lines[index]) - len(lines[index].lstrip()) > indent:
        line = lines[index]
        if len(line) - len(line.lstrip()) == indent + 4:
            current = entries.setdefault(line.strip().split(":", 1)[0], [])
        current.append(line)
        index += 1
    entries["end"] = index
    return entries


def setup(app):
    stub = Stub()
    app.connect("autodoc-process-signature", stub.signature)
    # Before napoleon (priority 500), which reads the sections of the docstrings.
    app.connect("autodoc-process-docstring", result_dict_as_literal, priority=400)
    app.connect("autodoc-process-docstring", stub.arguments, priority=400)
