"""last_outcome: how each update or check ended, as data, and the same data on the log records."""

import logging
import os
import pathlib
import struct

import pytest

import orbisk.VornFpga as vf
from orbisk.VornFpga import FpgaTool, UpdateOutcome
from orbisk_tools.devices.emulator import Device
from orbisk_tools.formats.signed_image import pack
from tests.conftest import UNKNOWN_DEVICE_TYPE

IMAGE = os.urandom(33)


@pytest.fixture
def tool(fpga):
    return FpgaTool(fpga)


def image_file(tmp_path, data=IMAGE, name="fw.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def fields(outcome):
    return {name: getattr(outcome, name) for name in ("ok", "reason", "details", "message", "phase", "bytes_written",
                                                      "device_state", "pipeline_depth")}


def refused(reason, details, message, phase="check", state="untouched", written=0, depth=0):
    return {"ok": False, "reason": reason, "details": details, "message": message, "phase": phase,
            "bytes_written": written, "device_state": state, "pipeline_depth": depth}


def failure_records(caplog):
    return [(r.message, r.reason, r.details) for r in caplog.records if r.levelno >= logging.ERROR]


def test_none_before_the_first_call_then_a_plain_class(tool, fpga, tmp_path):
    assert tool.last_outcome is None
    fpga.replies["GET_FPGA_VER"] = "0.3.0.0"
    tool.processFpgaUpdate(image_file(tmp_path), 32)
    outcome = tool.last_outcome
    assert type(outcome) is UpdateOutcome and UpdateOutcome.__module__ == "orbisk.VornFpga"
    assert fields(outcome) == {"ok": True, "reason": None, "details": {}, "message": "", "phase": "done",
                               "bytes_written": 33, "device_state": "loaded", "pipeline_depth": 1}
    assert repr(outcome).startswith("UpdateOutcome(ok=True, reason=None, phase='done', device_state='loaded', "
                                    "bytes_written=33, pipeline_depth=1")


def test_checks_that_pass(tool, tmp_path):
    path = image_file(tmp_path, pack(b"image", 32), "fw.tbin")
    for check in (tool._checkUpdateFile, tool._checkFileHeader):
        tool.last_outcome = None
        assert check(path) is True
        assert fields(tool.last_outcome) == {"ok": True, "reason": None, "details": {}, "message": "", "phase": "done",
                                             "bytes_written": 0, "device_state": "untouched", "pipeline_depth": 0}


class TestRefusalsBeforeTheDevice:
    @pytest.mark.parametrize("path", [None, ""])
    def test_no_image_path(self, tool, fpga, caplog, path):
        tool.processFpgaUpdate(path)
        message = "FPGA image path is not provided."
        assert fields(tool.last_outcome) == refused("no_image_path", {}, message)
        assert failure_records(caplog) == [(message, "no_image_path", {})]

    def test_file_check_reasons(self, tool, tmp_path, monkeypatch):
        directory = tmp_path / "dir.bin"
        directory.mkdir()
        cases = [(str(tmp_path / "missing.bin"), "image_not_found", {}),
                 (image_file(tmp_path, name="fw.HEX"), "image_type", {"suffix": ".hex"}),
                 (str(directory), "image_not_file", {}),
                 (image_file(tmp_path, b"", "empty.bin"), "image_empty", {})]
        for path, reason, extra in cases:
            assert tool._checkUpdateFile(path) is False
            outcome = tool.last_outcome
            assert (outcome.reason, outcome.details) == (reason, {"path": path, **extra})
            assert outcome.message.endswith(path) and (outcome.phase, outcome.device_state) == ("check", "untouched")

    def test_failed_status_query_and_read(self, tool, tmp_path, monkeypatch):
        path = image_file(tmp_path)
        error = PermissionError(13, "Permission denied", path)

        def denied(*args, **kwargs):
            raise PermissionError(13, "Permission denied", path)

        monkeypatch.setattr("builtins.open", denied)
        assert tool._checkUpdateFile(path) is False
        assert tool.last_outcome.reason == "image_unreadable"
        assert tool.last_outcome.details == {"path": path, "error": str(error)}

        class StatFails(type(pathlib.Path())):
            def exists(self):
                return True

            def is_file(self):
                return True

            def stat(self):
                raise PermissionError(13, "Permission denied", path)

        monkeypatch.setattr(vf, "Path", StatFails)
        assert tool._checkUpdateFile(path) is False
        assert tool.last_outcome.reason == "image_stat_failed"
        assert tool.last_outcome.details == {"path": path, "error": str(error)}

    def test_header_check_reasons(self, tool, tmp_path):
        signed = pack(b"image", 32)
        bad_header, bad_image = bytearray(signed), bytearray(signed)
        bad_header[16] ^= 1  # the stored hash of the header
        bad_image[-1] ^= 1
        cases = [(b"\0" * 12 + b"{", "fw.tbin", "header_parse_error"),
                 (bytes(bad_header), "fw.tbin", "header_hash_mismatch"),
                 (bytes(bad_image), "fw.tbin", "image_hash_mismatch"),
                 (pack(b"", 32), "fw.tbin", "signed_image_empty"),
                 (signed, "signed.bin", "signed_image_named_bin")]
        for data, name, reason in cases:
            path = image_file(tmp_path, data, name)
            assert tool._checkFileHeader(path) is False
            assert (tool.last_outcome.reason, tool.last_outcome.details.get("path")) == (reason, path), reason
        assert set(tool.last_outcome.details) == {"path"}

    def test_unreadable_signed_image_and_parse_error_name_the_error(self, tool, tmp_path):
        missing = str(tmp_path / "missing.tbin")
        assert tool._checkFileHeader(missing) is False
        details = tool.last_outcome.details
        assert tool.last_outcome.reason == "image_unreadable" and details["error"] in tool.last_outcome.message
        assert tool._checkFileHeader(image_file(tmp_path, b"\0" * 12 + b"{", "fw.tbin")) is False
        assert tool.last_outcome.message == "FPGA tbin header parse error: " + tool.last_outcome.details["error"]

    def test_update_carries_the_reason_of_its_check(self, tool, fpga, tmp_path, caplog):
        missing = str(tmp_path / "missing.bin")
        tool.processFpgaUpdate(missing)
        details = {"path": missing}
        assert fields(tool.last_outcome) == refused("image_not_found", details, "FPGA update file check failed.")
        assert failure_records(caplog) == [(f"FPGA image path not found: {missing}", "image_not_found", details),
                                           ("FPGA update file check failed.", "image_not_found", details)]
        assert fpga.wire == []

    def test_device_type_mismatch(self, tool, tmp_path, caplog):
        path = image_file(tmp_path, pack(b"image", [32, 28]), "fw.tbin")
        tool.processFpgaUpdate(path, UNKNOWN_DEVICE_TYPE)
        details = {"path": path, "image_types": [28, 32], "device_type": UNKNOWN_DEVICE_TYPE}
        message = f"FPGA image is for device types 28, 32, not {UNKNOWN_DEVICE_TYPE}."
        assert fields(tool.last_outcome) == refused("device_type_mismatch", details, message)
        assert failure_records(caplog) == [(message, "device_type_mismatch", details)]

    @pytest.mark.parametrize("method, reason, message, state", [
        ("_checkUpdateFile", "file_check_failed", "FPGA update file check failed.", "untouched"),
        ("_checkFileHeader", "header_check_failed", "FPGA image header check failed.", "untouched"),
        ("_fpgaProgramFile", "programming_failed", "FPGA update process failed.", "erased"),
    ])
    def test_overrides_that_refuse_without_a_reason(self, fpga, tmp_path, method, reason, message, state):
        tool = type("Tool", (FpgaTool,), {method: lambda self, *args, **kwargs: False})(fpga)
        tool.processFpgaUpdate(image_file(tmp_path))
        assert (tool.last_outcome.reason, tool.last_outcome.details, tool.last_outcome.message) == (reason, {}, message)
        assert tool.last_outcome.device_state == state


class TestFailuresOnTheDevice:
    def test_block_refused(self, tool, fpga, tmp_path, caplog):
        fpga.replies["FPGA_PROGRAM"] = ["0", "1"]
        tool.processFpgaUpdate(image_file(tmp_path))
        details = {"offset": 16, "attempts": 10}
        assert fields(tool.last_outcome) == refused("block_refused", details, "FPGA update process failed.", "write",
                                                    "erased", 16, 1)
        assert [(reason, d) for _, reason, d in failure_records(caplog)] == [("block_refused", details)] * 2

    def test_readback_mismatch(self, tmp_path, make_fpga, caplog):
        tool = FpgaTool(make_fpga(corrupt_read_offset=20))
        tool.processFpgaUpdate(image_file(tmp_path))
        assert fields(tool.last_outcome) == refused("readback_mismatch", {"offset": 20}, "FPGA update process failed.",
                                                    "verify", "erased", 33, 1)
        assert [m for m, reason, _ in failure_records(caplog) if reason == "readback_mismatch"] == [
            "Verify Failed", "FPGA read-back differs from the image at byte offset 20", "FPGA update process failed."]

    def test_image_changed(self, tool, fpga, tmp_path):
        path = image_file(tmp_path)
        other = bytes(byte ^ 0xFF for byte in IMAGE)

        def change(stage, current, total):
            if (stage, current) == ("verify", 0):
                pathlib.Path(path).write_bytes(other)
                fpga.memory[:] = other

        tool.set_progress_callback(change)
        tool.processFpgaUpdate(path)
        assert (tool.last_outcome.reason, tool.last_outcome.details) == ("image_changed", {})



class TestImageFileChangedDuringTheUpdate:
    """A raw image is read again for each pass over the device: a file that is not the one
    checked (cut short, extended, rewritten or replaced) is never loaded."""

    @pytest.mark.parametrize("change", ["truncate", "extend", "rewrite", "replace"])
    @pytest.mark.parametrize("depth", [1, 8])
    def test_during_the_write_it_is_not_loaded(self, make_stream_link, tmp_path, change, depth):
        path = pathlib.Path(image_file(tmp_path, os.urandom(4096)))

        def changed(stage, current, total):
            if stage != "write" or current != 1024:
                return
            if change == "truncate":
                os.truncate(path, 2048)
            elif change == "extend":
                with open(path, "ab") as file:
                    file.write(b"x" * 100)
            elif change == "rewrite":
                with open(path, "r+b") as file:
                    file.write(b"y" * 16)
            else:
                other = tmp_path / "other.bin"
                other.write_bytes(path.read_bytes())
                os.replace(other, path)

        link = make_stream_link()
        tool = FpgaTool(link)
        tool.pipeline_depth = depth
        tool.set_progress_callback(changed)
        tool.console_progress = False
        tool.processFpgaUpdate(str(path))
        assert (tool.last_outcome.reason, tool.last_outcome.device_state) == ("image_changed", "erased")
        assert "FPGA_DONE" not in link.device.commands and "FPGA_REFRESH" not in link.device.commands

    def test_replaced_after_its_checks_the_device_is_untouched(self, fpga, tmp_path, caplog):
        path = pathlib.Path(image_file(tmp_path))

        class ReplacedOnceChecked(FpgaTool):
            def _checkFileHeader(self, image_path):
                passed = super()._checkFileHeader(image_path)
                other = tmp_path / "other.bin"
                other.write_bytes(b"another image, of another size")
                os.replace(other, path)
                return passed

        tool = ReplacedOnceChecked(fpga)
        tool.processFpgaUpdate(str(path))
        assert fields(tool.last_outcome) == refused("image_changed", {}, "FPGA update process failed.")
        assert "FPGA_ERASE" not in fpga.commands
        assert ("FPGA image file changed after it was checked", "image_changed", {}) \
            in failure_records(caplog)

    def test_a_verify_that_reads_a_changing_file_tells_nothing(self, fpga, tmp_path):
        path = pathlib.Path(image_file(tmp_path, os.urandom(512)))
        tool = FpgaTool(fpga)
        tool.console_progress = False
        assert tool.processFpgaUpdate(str(path)).RetData["success"]

        def changed(stage, current, total):
            if current == 256:
                path.write_bytes(path.read_bytes()[:300])

        tool.set_progress_callback(changed)
        before = len(fpga.commands)
        result = tool.verifyFpgaImage(str(path))
        assert result.RetData == {"holds": False, "offset": None}
        assert (tool.last_outcome.reason, tool.last_outcome.device_state) == ("image_changed", "untouched")
        assert set(fpga.commands[before:]) == {"FPGA_RST_PAGE_PTR", "FPGA_READ"}

    def test_readback_not_data(self, tmp_path, make_stream_link, monkeypatch):
        monkeypatch.setattr(Device, "read_page", lambda self: b"garbage\r\n")
        tool = FpgaTool(make_stream_link())
        tool.pipeline_depth = 8
        tool.processFpgaUpdate(image_file(tmp_path))
        assert fields(tool.last_outcome) == refused("readback_not_data", {"offset": 0}, "FPGA update process failed.",
                                                    "verify", "erased", 33, 8)

    def test_depth_after_the_fallback(self, tmp_path, make_stream_link):
        tool = FpgaTool(make_stream_link(refuse_block=1, refuse_times=1))
        tool.pipeline_depth = 16
        tool.processFpgaUpdate(image_file(tmp_path))
        assert (tool.last_outcome.ok, tool.last_outcome.pipeline_depth) == (True, 1)


class TestExceptions:
    @pytest.mark.parametrize("command, error, reason, phase, state, written, depth", [
        ("GET_FPGA_VER", TimeoutError("timed out"), "timeout", "version", "written", 33, 1),
        ("FPGA_PROGRAM", TimeoutError("timed out"), "timeout", "write", "erased", 16, 1),
        ("FPGA_ERASE", ConnectionResetError(104, "reset"), "connection_lost", "erase", "erased", 0, 0),
        ("FPGA_RST_PAGE_PTR", OSError(5, "I/O error"), "connection_lost", "erase", "erased", 0, 0),
        ("FPGA_DONE", KeyboardInterrupt(), "interrupted", "load", "written", 33, 1),
        ("FPGA_REFRESH", RuntimeError("odd"), "error", "load", "written", 33, 1),
    ])
    def test_where_it_happened(self, tool, fpga, tmp_path, command, error, reason, phase, state, written, depth):
        fpga.replies[command] = ["0", error] if command == "FPGA_PROGRAM" else error
        with pytest.raises(type(error)) as raised:
            tool.processFpgaUpdate(image_file(tmp_path), 32)
        assert raised.value is error
        details = {"error": type(error).__name__, "text": str(error)}
        if isinstance(error, OSError) and error.errno is not None:
            details["errno"] = error.errno
        assert fields(tool.last_outcome) == refused(reason, details, str(error), phase, state, written, depth)

    def test_a_callback_error_whose_text_cannot_be_made_still_ends_the_outcome(self, tool, tmp_path):
        class Unsayable(Exception):
            def __str__(self):
                raise ValueError("no text")

        error = Unsayable()

        def callback(stage, current, total):
            if current == 16:
                raise error

        tool.set_progress_callback(callback)
        with pytest.raises(Unsayable) as raised:
            tool.processFpgaUpdate(image_file(tmp_path))
        assert raised.value is error
        outcome = tool.last_outcome
        assert (outcome.ok, outcome.reason, outcome.phase, outcome.device_state) == (False, "callback_error", "write",
                                                                                     "erased")
        assert outcome.details == {"error": "Unsayable", "text": "<exception str() failed>"}

    @pytest.mark.parametrize("make", [
        lambda: type("ReplyTooLong", (ConnectionError,), {})("the device sent a reply longer than 4096 bytes"),
        lambda: type("ReplyTooLong", (Exception,), {})("the device sent a reply longer than 4096 bytes"),
        lambda: ConnectionError("the device sent a reply longer than 4096 bytes"),
    ])
    def test_a_reply_too_long_names_its_limit(self, tool, fpga, tmp_path, make):
        error = make()
        error.limit = 4096
        fpga.replies["FPGA_ERASE"] = error
        with pytest.raises(type(error)) as raised:
            tool.processFpgaUpdate(image_file(tmp_path), 32)
        assert raised.value is error
        details = {"error": type(error).__name__, "text": str(error), "limit": 4096}
        assert fields(tool.last_outcome) == refused("reply_too_long", details, str(error), "erase", "erased")

    @pytest.mark.parametrize("error", [type("ReplyTooLong", (ConnectionError,), {})("no limit"),
                                       ValueError("a limit of another kind")])
    def test_a_limit_alone_or_a_name_alone_is_no_reply_too_long(self, tool, fpga, tmp_path, error):
        if isinstance(error, ValueError):
            error.limit = 10
        fpga.replies["FPGA_ERASE"] = error
        with pytest.raises(type(error)):
            tool.processFpgaUpdate(image_file(tmp_path), 32)
        assert tool.last_outcome.reason == ("connection_lost" if isinstance(error, ConnectionError) else "error")

    def test_an_endless_reply_line_in_a_window(self, tmp_path, make_stream_link, monkeypatch):
        monkeypatch.setattr(Device, "program", lambda self, block: b"x" * 5000)
        link = make_stream_link(chunk=1000)
        tool = FpgaTool(link)
        tool.pipeline_depth = 8
        with pytest.raises(ConnectionError, match="^the device sent a reply longer than 4096 bytes$") as raised:
            tool.processFpgaUpdate(image_file(tmp_path))
        assert raised.value.limit == 4096 and len(link.outgoing) > 0  # not read past the limit
        assert fields(tool.last_outcome) == refused("reply_too_long", {
            "error": "ConnectionError", "text": str(raised.value), "limit": 4096}, str(raised.value), "write", "erased",
            depth=8)

    def test_callback_error(self, tool, fpga, tmp_path):
        error = ValueError("callback")

        def callback(stage, current, total):
            if current == 16:
                raise error

        tool.set_progress_callback(callback)
        with pytest.raises(ValueError) as raised:
            tool.processFpgaUpdate(image_file(tmp_path))
        assert raised.value is error
        assert (tool.last_outcome.reason, tool.last_outcome.phase) == ("callback_error", "write")
        assert tool.last_outcome.details == {"error": "ValueError", "text": "callback"}

    def test_errors_before_the_device_and_in_the_checks(self, tool, tmp_path, monkeypatch):
        with pytest.raises(TypeError) as raised:
            tool.processFpgaUpdate(b"fw.bin")
        assert fields(tool.last_outcome) == refused("error", {"error": "TypeError", "text": str(raised.value)},
                                                    str(raised.value))
        with pytest.raises(FileNotFoundError):
            tool._checkFileHeader(str(tmp_path / "missing.bin"))
        assert (tool.last_outcome.reason, tool.last_outcome.phase) == ("error", "check")

        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr("builtins.open", interrupted)
        with pytest.raises(KeyboardInterrupt):
            tool._checkUpdateFile(image_file(tmp_path))
        assert tool.last_outcome.reason == "interrupted"

    def test_a_signed_image_unreadable_when_programmed_leaves_the_device_untouched(self, tool, fpga, tmp_path):
        tool._checkFileHeader = lambda path: True  # lets a file through that programming cannot read
        for data, error in [(bytes(11), struct.error), (None, IsADirectoryError)]:
            path = tmp_path / "fw.tbin"
            if data is None:
                path.unlink()
                path.mkdir()
                tool._checkUpdateFile = lambda path: True
            else:
                path.write_bytes(data)
            with pytest.raises(error):
                tool.processFpgaUpdate(str(path), 32)
            outcome = tool.last_outcome
            assert (outcome.reason, outcome.phase, outcome.device_state) == ("error", "check", "untouched")
        assert fpga.wire == []


def test_an_erase_that_never_left_leaves_the_device_untouched(tmp_path):
    from orbisk.VornCommService import _TCPConn

    conn = _TCPConn("127.0.0.1", 1)  # never connected: nothing is sent
    tool = FpgaTool(conn)
    with pytest.raises(ConnectionError):
        tool.processFpgaUpdate(image_file(tmp_path), 32)
    assert (tool.last_outcome.phase, tool.last_outcome.device_state) == ("erase", "untouched")
