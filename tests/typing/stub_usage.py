"""Checked by mypy --strict in .ci/stubtest, never run: what a typed program sees of the
modules' and the stand-in host's stubs. Each `type: ignore` marks a call that must be an error
(--strict warns of one that is not needed)."""

import pathlib
from typing import assert_type

from orbisk.VornCommService import _TCPConn
from orbisk.VornFpga import FpgaConnectError, FpgaTool, UpdateOutcome
from orbisk.VornPublic import RetCode
from orbisk.VornUtils import VER, RetType, _RspType


class Tool(FpgaTool):
    pass


def update(address: str, image: pathlib.Path) -> str:
    try:
        with Tool(address=address, port=5025, timeout=2.0) as tool:
            assert_type(tool, Tool)
            tool.pipeline_depth = 8
            assert_type(tool.pipeline_depth, int)
            result = tool.processFpgaUpdate(image, device_type=32)
            assert_type(result, RetType)
            assert_type(result.RetCode, RetCode)
            assert_type(tool.last_outcome, UpdateOutcome | None)
            tool.processFpgaUpdate(b"fw.bin")  # type: ignore[arg-type]
            tool.pipeline_depth = "8"  # type: ignore[assignment]
            return "updated" if result.RetCode is RetCode.OK else result.RetMsg
    except FpgaConnectError as error:
        if error.reason == "connection_refused":
            return "nothing listens there"
        return str(error)


def lend(connection: _TCPConn) -> None:
    assert_type(connection.initConnection(), bool)
    assert_type(connection.sendCmd(b"GET_SN\r\n", _RspType.RSP_LIST), RetType)
    assert_type(connection.timeout, float | None)
    tool = FpgaTool(connection)
    assert_type(tool._sendCmd("GET_SN"), str)
    assert_type(tool._sendCmd(b"FPGA_READ", isdecode=False), bytes)
    assert_type(tool._fpgaRead(), bytes)
    tool.set_progress_callback(lambda stage, current, total: print(stage, current * 100 // max(total, 1)))
    tool.set_progress_callback(lambda stage: None)  # type: ignore[arg-type, misc]
    FpgaTool(object())  # type: ignore[arg-type]
    assert_type(VER("0.2.3.4") < VER(tool._fpgaGetVersion()), bool)
