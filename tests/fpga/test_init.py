"""initFpga: device type check, command order, version minimum, and device faults as results."""

import logging

import pytest

import orbisk.VornFpga as vf
from orbisk.VornPublic import RetCode


class RecordingRetType:
    """Stands in for the host's RetType to see how results are built."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


@pytest.fixture
def results(monkeypatch):
    monkeypatch.setattr(vf, "RetType", RecordingRetType)


def levels(caplog):
    return [(r.levelno, r.message) for r in caplog.records]


def test_success_on_device_type_32(tool, conn, results, caplog):
    caplog.set_level(logging.INFO, "FPGA")
    conn.replies.update({"FPGA_GET_ID": "ID-7", "GET_FPGA_VER": "0.2.3.4"})
    ret = tool.initFpga(32)
    assert conn.wire == [b"FPGA_CTRL_INIT\r\n", b"FPGA_CFG_MODE TRANS\r\n", b"FPGA_GET_ID\r\n", b"GET_FPGA_VER\r\n"]
    assert ret.args == (RetCode.OK, "FPGA initialized successfully", {
        "success": True, "error_message": "", "device_count": 0, "device_info": None,
        "fpga_id": "ID-7", "fw_version": "", "fpga_version": "0.2.3.4"}) and ret.kwargs == {}
    assert list(ret.args[2]) == ["success", "error_message", "device_count", "device_info", "fpga_id", "fw_version",
                                 "fpga_version"]
    assert levels(caplog) == [(logging.INFO, "FPGA ID: ID-7"), (logging.INFO, "FPGA Version: 0.2.3.4")]


def test_unsupported_device_type_sends_nothing(tool, conn, results, caplog):
    ret = tool.initFpga(28)
    message = "Device type 28 is not supported for firmware version check."
    assert ret.args == (RetCode.WARNING, message) and conn.wire == []
    assert levels(caplog) == [(logging.WARNING, message)]


def test_old_fpga_version_is_a_warning(tool, conn, results, caplog):
    conn.replies["GET_FPGA_VER"] = "0.2.3.3"
    ret = tool.initFpga(32)
    message = "FPGA version 0.2.3.3 is lower than minimum required version 0.2.3.4."
    assert ret.args == (RetCode.WARNING, message)
    assert levels(caplog)[-1] == (logging.WARNING, message)


@pytest.mark.parametrize("version, disable", [("0.0.0.1", True), ("", False), ("0.10.0.0", False)])
def test_version_check_skipped_or_passed(tool, conn, version, disable):
    conn.replies["GET_FPGA_VER"] = version
    ret = tool.initFpga(32, disable_fw_check=disable)
    assert ret.RetCode is RetCode.OK and ret.RetData["fpga_version"] == version


def test_device_type_is_converted_from_any_number(tool, conn, error_of, twin_of):
    conn.replies["GET_FPGA_VER"] = "0.2.3.4"
    assert tool.initFpga(32.7).RetCode is RetCode.OK
    assert tool.initFpga(device_type=28.0).RetMsg == "Device type 28 is not supported for firmware version check."
    with pytest.raises(TypeError, match="'device_type'"):
        tool.initFpga("32")
    assert error_of(tool.initFpga) == error_of(twin_of(vf.FpgaTool.initFpga), tool)


@pytest.mark.parametrize("replies, text", [
    ({"FPGA_CTRL_INIT": ConnectionError("link lost")}, "link lost"),
    ({"GET_FPGA_VER": "not a version"}, "not a version"),
])
def test_device_faults_become_an_error_result(tool, make_conn, results, caplog, replies, text):
    tool._conn = make_conn(replies)
    ret = tool.initFpga(32)
    (code, message) = ret.args
    assert code is RetCode.ERROR and message.startswith("FPGA initialization failed: ") and text in message
    assert levels(caplog)[-1] == (logging.ERROR, message)


def test_interrupts_are_not_swallowed(tool, make_conn):
    tool._conn = make_conn({"FPGA_GET_ID": KeyboardInterrupt()})
    with pytest.raises(KeyboardInterrupt):
        tool.initFpga(32)


def test_minimum_and_whitelist_are_read_when_used(tool, conn, monkeypatch):
    conn.replies["GET_FPGA_VER"] = "0.3"
    monkeypatch.setattr(vf, "_FPGA_VER_MIN_DEV32", "1.0")
    monkeypatch.setattr(vf, "_DEVICE_WHITELIST", [28, 32])
    assert tool.initFpga(32).RetMsg == "FPGA version 0.3 is lower than minimum required version 1.0."
    assert tool.initFpga(28).RetCode is RetCode.OK
