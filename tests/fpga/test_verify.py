"""verifyFpgaImage: the read-back alone, against a fake FPGA; nothing erased, written or loaded."""

import os

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk.VornPublic import RetCode
from tests.conftest import StreamLink

CHANGING = {"FPGA_ERASE", "FPGA_PROGRAM", "FPGA_DONE", "FPGA_REFRESH"}


def words(link):
    if hasattr(link, "commands"):
        return link.commands
    return [line.split()[0].decode() for sent in link.sends for line in sent.split(b"\r\n") if line]


def holding(make_fpga, data, depth=1):
    """A fake FPGA whose configuration memory holds `data`, written and not loaded; at depth > 1
    a stream link."""
    fpga = make_fpga() if depth == 1 else StreamLink()
    fpga.device.fpga.memory[:] = data
    fpga.device.fpga.loaded = None
    tool = FpgaTool(fpga)
    tool.pipeline_depth = depth
    return fpga, tool


@pytest.mark.parametrize("depth", [1, 4])
def test_a_device_holding_the_image_verifies_without_a_state_changing_command(make_fpga, tmp_path, depth):
    data = os.urandom(40)
    path = tmp_path / "fw.bin"
    path.write_bytes(data)
    fpga, tool = holding(make_fpga, data, depth)
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    ret = tool.verifyFpgaImage(str(path), 32)
    assert ret.RetCode is RetCode.OK and ret.RetData == {"holds": True, "offset": None}
    assert words(fpga)[-3:] == ["FPGA_READ"] * 3 and not CHANGING & set(words(fpga))
    if depth == 1:
        assert words(fpga) == ["FPGA_RST_PAGE_PTR"] + ["FPGA_READ"] * 3
    assert calls[0] == ("verify", 0, 40) and calls[-1] == ("verify", 40, 40)
    outcome = tool.last_outcome
    assert outcome.ok is True and outcome.phase == "done" and outcome.device_state == "untouched"
    assert bytes(fpga.device.fpga.memory) == data


@pytest.mark.parametrize("depth", [1, 4])
@pytest.mark.parametrize("stored, offset", [("differs", 21), ("erased", 0)])
def test_a_device_not_holding_the_image_names_the_first_offset(make_fpga, tmp_path, depth, stored, offset):
    data = bytes(range(1, 41))
    path = tmp_path / "fw.bin"
    path.write_bytes(data)
    held = bytearray(data) if stored == "differs" else bytearray(b"\xff" * 40)
    held[21] ^= 0x55
    fpga, tool = holding(make_fpga, held, depth)
    ret = tool.verifyFpgaImage(str(path), 32)
    assert ret.RetCode is RetCode.ERROR and ret.RetData == {"holds": False, "offset": offset}
    outcome = tool.last_outcome
    assert (outcome.ok, outcome.reason, outcome.details["offset"]) == (False, "readback_mismatch", offset)
    assert outcome.device_state == "untouched" and not CHANGING & set(words(fpga))


def test_a_refused_image_sends_nothing(make_fpga, tmp_path):
    fpga, tool = holding(make_fpga, b"")
    path = tmp_path / "fw.txt"
    path.write_bytes(b"x" * 32)
    updater = FpgaTool(make_fpga())
    update_ret = updater.processFpgaUpdate(str(path), 32)
    ret = tool.verifyFpgaImage(str(path), 32)
    assert (ret.RetCode, ret.RetMsg if hasattr(ret, "RetMsg") else None) == (
        update_ret.RetCode, update_ret.RetMsg if hasattr(update_ret, "RetMsg") else None)
    assert words(fpga) == [] and tool.last_outcome.reason == updater.last_outcome.reason
    assert tool.last_outcome.device_state == "untouched"
    assert tool.verifyFpgaImage(None).RetCode is RetCode.ERROR and tool.last_outcome.reason == "no_image_path"


def test_a_transport_error_propagates_and_is_recorded(make_fpga, tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(b"a" * 32)
    fpga, tool = holding(make_fpga, b"a" * 32)
    fpga.replies["FPGA_RST_PAGE_PTR"] = ConnectionResetError("gone")
    with pytest.raises(ConnectionResetError):
        tool.verifyFpgaImage(str(path), 32)
    assert tool.last_outcome.reason == "connection_lost" and tool.last_outcome.device_state == "untouched"


class TestLoad:
    """load=True: a memory that holds the image is loaded, nothing erased or written; the load
    counts as confirmed only once the device reports the version the image's header names."""

    @pytest.mark.parametrize("named, state", [(None, "loaded"), ("0.2.4.0", "loaded"), ("9.9", "written")])
    def test_a_memory_that_holds_the_image_is_loaded_without_rewriting(self, make_fpga, tmp_path, named, state):
        from orbisk_tools.formats.signed_image import pack

        data = os.urandom(40)
        path = tmp_path / "fw.tbin"
        path.write_bytes(pack(data, 32, {} if named is None else {"version": named}))
        fpga, tool = holding(make_fpga, data)
        ret = tool.verifyFpgaImage(str(path), 32, load=True)
        assert ret.RetCode is RetCode.OK and ret.RetData == {"holds": True, "offset": None, "fw_version": "0.2.4.0"}
        assert words(fpga)[-3:] == ["FPGA_DONE", "FPGA_REFRESH", "GET_FPGA_VER"]
        assert not {"FPGA_ERASE", "FPGA_PROGRAM"} & set(words(fpga))
        outcome = tool.last_outcome
        assert (outcome.ok, outcome.phase, outcome.device_state) == (True, "done", state)

    def test_a_memory_that_differs_is_not_loaded(self, make_fpga, tmp_path):
        path = tmp_path / "fw.bin"
        path.write_bytes(b"a" * 32)
        fpga, tool = holding(make_fpga, b"b" * 32)
        assert tool.verifyFpgaImage(str(path), 32, load=True).RetData == {"holds": False, "offset": 0}
        assert not CHANGING & set(words(fpga)) and tool.last_outcome.device_state == "untouched"

    @pytest.mark.parametrize("command", ["FPGA_REFRESH", "GET_FPGA_VER"])
    def test_a_load_never_answered_is_not_confirmed(self, make_fpga, tmp_path, command):
        path = tmp_path / "fw.bin"
        path.write_bytes(b"a" * 32)
        fpga, tool = holding(make_fpga, b"a" * 32)
        fpga.replies[command] = TimeoutError("timed out")
        with pytest.raises(TimeoutError):
            tool.verifyFpgaImage(str(path), 32, load=True)
        assert (tool.last_outcome.reason, tool.last_outcome.device_state) == ("timeout", "written")


def test_an_update_whose_device_reports_another_version_than_the_header_is_not_confirmed(make_fpga, tmp_path):
    from orbisk_tools.formats.signed_image import pack

    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(40), 32, {"version": "9.9"}))
    fpga = make_fpga(erased=True)
    tool = FpgaTool(fpga)
    assert tool.processFpgaUpdate(str(path), 32).RetData["fw_version"] == "0.2.4.0"  # as specified
    assert (tool.last_outcome.ok, tool.last_outcome.device_state) == (True, "written")
