"""The device protocol in both languages: what FpgaTool puts on the wire against what
orbisk_tools.formats.protocol says of it (the model the emulator, the command line and the test
fakes share). A device type or a command word changed on one side only fails here."""

import pytest

import orbisk.VornFpga as vf
from orbisk.VornFpga import FpgaTool
from orbisk.VornPublic import RetCode
from orbisk_tools.formats import protocol

# Every command word the protocol names: its constants whose value is their own name.
PROTOCOL_WORDS = {value for name, value in vars(protocol).items() if value == name}

# FpgaTool's command operations, what each is called with, and the line it must send.
COMMANDS = {
    "_fpgaCtrlInit": ((), protocol.FPGA_CTRL_INIT),
    "_fpgaGetId": ((), protocol.FPGA_GET_ID),
    "_fpgaGetVersion": ((), protocol.GET_FPGA_VER),
    "_fpgaCfgMode": (("TRANS",), protocol.FPGA_CFG_MODE + " TRANS"),
    "_fpgaErase": ((b"12",), protocol.FPGA_ERASE + " 12"),
    "_fpgaRstPagePtr": ((b"CFG",), protocol.FPGA_RST_PAGE_PTR + " CFG"),
    "_fpgaRead": ((), protocol.FPGA_READ),
    "_fpgaDone": ((), protocol.FPGA_DONE),
    "_fpgaRefresh": ((), protocol.FPGA_REFRESH),
    "_fpgaGetInfo": ((), protocol.GET_FE_INFO),
    "_fpgaGetControlFwVer": ((), protocol.GET_FW_VER),
    "_fpgaGetSerialNumber": ((), protocol.GET_SN),
}
FRONT_END_INFO = '{"fe0": {"fpga_ver": "1.2.0.0"}, "fe1": {"fpga_ver": "9.9.9.9"}}'
FPGA_VERSION = "0.2.4.0"


def test_the_tool_sends_every_command_word_as_the_protocol_writes_it(make_conn):
    conn = make_conn(pages=[protocol.page_reply(bytes(16))])
    tool = FpgaTool(conn)
    for operation, (arguments, line) in COMMANDS.items():
        getattr(tool, operation)(*arguments)
        assert conn.wire[-1] == line.encode() + protocol.LINE_END, operation
    block = bytes(range(16))
    tool._fpgaProgram(block)
    assert conn.wire[-1] == protocol.block_write(block)
    assert set(conn.commands) == PROTOCOL_WORDS


def update(make_fpga, tmp_path, device_type):
    """(lines on the wire, result) of an update of a one-block image to `device_type`."""
    fpga = make_fpga({protocol.GET_FE_INFO: FRONT_END_INFO, protocol.GET_FPGA_VER: FPGA_VERSION})
    path = tmp_path / "fw.bin"
    path.write_bytes(bytes(range(16)))
    tool = FpgaTool(fpga)
    tool.console_progress = False
    return fpga.wire, tool.processFpgaUpdate(str(path), device_type)


@pytest.mark.parametrize("number", sorted(protocol.DEVICE_TYPES))
def test_each_device_type_erases_and_reads_its_version_as_the_protocol_says(make_fpga, make_conn, tmp_path, number):
    kind = protocol.DEVICE_TYPES[number]
    wire, result = update(make_fpga, tmp_path, number)
    assert wire[0] == f"{protocol.FPGA_ERASE} {kind.erase_bits}".encode() + protocol.LINE_END
    assert wire[-1] == kind.version_command.encode() + protocol.LINE_END
    reply = {protocol.GET_FE_INFO: FRONT_END_INFO, protocol.GET_FPGA_VER: FPGA_VERSION}[kind.version_command]
    assert result.RetData["fw_version"] == kind.fpga_version(reply)

    init = FpgaTool(make_conn({protocol.GET_FPGA_VER: FPGA_VERSION})).initFpga(number)
    assert (init.RetCode is RetCode.OK) == kind.initialised_by_init
    assert (number in vf._DEVICE_WHITELIST) == kind.initialised_by_init
    if kind.initialised_by_init:
        assert getattr(vf, f"_FPGA_VER_MIN_DEV{number}") == kind.minimum_version


def test_the_module_knows_no_device_type_the_protocol_does_not(make_fpga, tmp_path):
    # A type the module's table holds is erased before its image is written; any other is not.
    erased = [number for number in range(256)
              if protocol.command_word(update(make_fpga, tmp_path, number)[0][0]) == protocol.FPGA_ERASE]
    assert erased == sorted(protocol.DEVICE_TYPES)
