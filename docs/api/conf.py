# Sphinx configuration of the API reference. `bash .ci/docs` builds it into build/docs/html
# (warnings are errors) and runs its examples with the doctest builder.
import logging

project = "orbisk native core"
extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest", "sphinx.ext.napoleon"]
exclude_patterns = []
html_theme = "alabaster"
autodoc_member_order = "bysource"

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
from orbisk_tools.devices.emulator import DeviceEmulator
from orbisk_tools.formats.signed_image import pack

_folder = tempfile.TemporaryDirectory()
_previous_directory = os.getcwd()
os.chdir(_folder.name)
_image = bytes(range(256)) * 16
with open("fpga.bin", "wb") as file:
    file.write(_image)
with open("fpga.tbin", "wb") as file:
    file.write(pack(_image, [28, 32], extra={"version": "0.2.4.0"}))
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


def setup(app):
    # Before napoleon (priority 500), which reads the sections of the docstrings.
    app.connect("autodoc-process-docstring", result_dict_as_literal, priority=400)
