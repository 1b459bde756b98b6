"""The end-to-end tests' emulator fixtures (tests/e2e/conftest.py), for the engine's tests."""

import importlib.util
import os
import pathlib

import pytest

from orbisk_tools.formats.signed_image import pack

_spec = importlib.util.spec_from_file_location("e2e_fixtures", pathlib.Path(__file__).parent.parent / "e2e" / "conftest.py")
_fixtures = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_fixtures)

emulator, hold_at_block, also_listening = _fixtures.emulator, _fixtures.hold_at_block, _fixtures.also_listening


RAW = os.urandom(1000)  # the image of the engine's tests


@pytest.fixture
def image(tmp_path):
    """A signed image of RAW for device type 32, fw.tbin."""
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(RAW, 32))
    return path
