"""Image paths given as os.PathLike: the operations that take an image path treat one as the
text os.fspath gives, and refuse everything else as they refuse it without one."""

import logging
import os
import pathlib

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.formats.signed_image import pack


class BytesPath:
    """An os.PathLike that names a bytes path."""

    def __fspath__(self):
        return b"fw.bin"


class BrokenPath:
    def __fspath__(self):
        raise RuntimeError("no path today")


def run(make_fpga, holding, operation, path, *args):
    """(result or exception, wire, log lines, last_outcome) of one call on a tool of its own,
    whose device holds `holding`."""
    fpga = make_fpga()
    fpga.memory[:] = holding
    tool = FpgaTool(fpga)
    tool.console_progress = False
    records = []
    handler = logging.Handler(logging.DEBUG)
    handler.emit = records.append
    logger = logging.getLogger("FPGA")
    logger.addHandler(handler)
    try:
        result = getattr(tool, operation)(path, *args)
    except OSError as error:
        result = (type(error), str(error))
    finally:
        logger.removeHandler(handler)
    outcome = tool.last_outcome
    outcome_fields = (outcome.ok, outcome.reason, outcome.details, outcome.message, outcome.phase,
                      outcome.device_state)
    return ((result.RetCode, result.RetMsg, result.RetData) if hasattr(result, "RetCode") else result,
            fpga.wire, [(r.levelname, r.getMessage()) for r in records], outcome_fields)


@pytest.mark.parametrize("operation, args", [("processFpgaUpdate", (32,)), ("verifyFpgaImage", (32,)),
                                             ("_checkUpdateFile", ()), ("_checkFileHeader", ())])
@pytest.mark.parametrize("name", ["fw.bin", "fw.tbin", "missing.bin", "fw.txt"])
def test_a_path_object_works_as_its_text(make_fpga, tmp_path, operation, args, name):
    image = os.urandom(40)
    (tmp_path / "fw.bin").write_bytes(image)
    (tmp_path / "fw.tbin").write_bytes(pack(image, 32))
    (tmp_path / "fw.txt").write_bytes(image)
    path = tmp_path / name
    as_text = run(make_fpga, image, operation, str(path), *args)
    assert as_text[3][0] == (name in ("fw.bin", "fw.tbin"))  # last_outcome.ok
    assert run(make_fpga, image, operation, path, *args) == as_text


def test_overridden_steps_receive_the_text(make_fpga, tmp_path):
    seen = []
    tool = FpgaTool(make_fpga())
    tool._checkUpdateFile = lambda *a, **k: seen.append(("file", a, k)) or True
    tool._checkFileHeader = lambda *a, **k: seen.append(("header", a, k)) or True
    tool._fpgaProgramFile = lambda *a, **k: seen.append(("program", a, k)) or True
    tool._fpgaGetVersion = lambda: "7"
    path = pathlib.PurePosixPath("images") / "x.bin"
    assert tool.processFpgaUpdate(path, 32).RetData["fw_version"] == "7"
    assert seen == [("file", ("images/x.bin",), {}), ("header", ("images/x.bin",), {}),
                    ("program", (), {"image_path": "images/x.bin", "device_type": 32})]
    assert all(type(value) is str for _, a, k in seen for value in (*a, *k.values()) if value != 32)


@pytest.mark.parametrize("value", [b"fw.bin", bytearray(b"fw.bin"), BytesPath(), 7, object()])
def test_anything_else_is_refused_as_before(make_fpga, value):
    fpga = make_fpga()
    tool = FpgaTool(fpga)
    kind = type(value).__name__
    for operation, expected in [("processFpgaUpdate", "str or None"), ("verifyFpgaImage", "str or None"),
                                ("_checkUpdateFile", "str"), ("_checkFileHeader", "str")]:
        with pytest.raises(TypeError) as raised:
            getattr(tool, operation)(value)
        assert str(raised.value) == f"FpgaTool.{operation}() argument 'image_path' must be {expected}, not {kind}"
    assert fpga.wire == []


def test_what_fspath_raises_propagates(make_fpga):
    fpga = make_fpga()
    tool = FpgaTool(fpga)
    for operation in ("processFpgaUpdate", "verifyFpgaImage", "_checkUpdateFile", "_checkFileHeader"):
        with pytest.raises(RuntimeError, match="no path today"):
            getattr(tool, operation)(BrokenPath())
    assert fpga.wire == []


def test_programming_itself_still_takes_text_only(tool, tmp_path):
    path = tmp_path / "fw.bin"
    with pytest.raises(TypeError, match=rf"argument 'image_path' must be str, not {type(path).__name__}$"):
        tool._fpgaProgramFile(path, 32)
