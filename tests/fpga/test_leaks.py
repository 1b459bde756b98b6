"""Every operation of FpgaTool, repeated: successes, refusals and raised errors leave nothing behind."""

import contextlib
import os
import struct

import pytest

import orbisk.VornCommService
from orbisk.VornFpga import FpgaTool
from orbisk_tools.formats import protocol
from orbisk_tools.formats.signed_image import pack
from tests.test_operations import declared
from tests.conftest import UNKNOWN_DEVICE_TYPE


class TCPConn:
    """Stands in for _TCPConn without a socket; port 1 cannot be reached."""

    def __init__(self, address, port, timeout=5.0):
        self.port = port
        self.last_error = None

    def initConnection(self):
        if self.port == 1:
            self.last_error = ConnectionRefusedError(111, "Connection refused")
        return self.port != 1

    def closeConnection(self):
        pass


class DeviceType(int):
    """A device type (or depth) whose references can be counted apart from the interpreter's own small integers."""


def test_repeated_operations_leave_nothing_behind(tmp_path, monkeypatch, make_conn, make_fpga, make_stream_link,
                                                  leak_check):
    monkeypatch.setattr(orbisk.VornCommService, "_TCPConn", TCPConn)
    paths = {}
    for name, data in [("fw.bin", os.urandom(70)), ("fw.tbin", pack(os.urandom(40), [32, 28])), ("empty.bin", b""),
                       ("bad.tbin", pack(b"image", 32)[:-1] + b"?"), ("short.tbin", bytes(11))]:
        (tmp_path / name).write_bytes(data)
        paths[name] = str(tmp_path / name)
    paths["missing.bin"] = str(tmp_path / "missing.bin")
    type_32, type_28, unknown = DeviceType(32), DeviceType(28), DeviceType(UNKNOWN_DEVICE_TYPE)
    depth_8 = DeviceType(8)
    address = "127.0.0.1"
    info = '{"fe0": {"fpga_ver": "1.2.0.0"}}'

    def progress(stage, current, total):
        pass

    def failing_progress(stage, current, total):
        if current:
            raise ZeroDivisionError("from the callback")

    def update(path, device_type, conn=None, progress=progress):
        def call():
            tool = FpgaTool(conn() if conn else make_fpga({"GET_FPGA_VER": "0.2.4.0", "GET_FE_INFO": info}))
            tool.set_progress_callback(progress)
            return [tool, tool._conn, tool.processFpgaUpdate(paths[path] if path else path, device_type)]
        return call

    def verify(path, conn=None, progress=progress):
        def call():
            tool = FpgaTool(conn() if conn else make_fpga())
            tool.set_progress_callback(progress)
            return [tool, tool._conn, tool.verifyFpgaImage(paths[path] if path else path, type_32)]
        return call

    def init(replies, device_type=type_32):
        def call():
            tool = FpgaTool(make_conn(replies()))
            return [tool, tool._conn, tool.initFpga(device_type)]
        return call

    def raises(error, call):
        def checked():
            with pytest.raises(error):
                call()
            return []
        return checked

    def only(call):
        def called():
            call()
            return []
        return called

    def mismatching():
        fpga = make_fpga()
        fpga.sendRawBytes = lambda data: fpga.pages.append(protocol.page_reply(bytes(16)))
        return fpga

    def in_flight(path, link, progress=progress, depth=8):
        def call():
            tool = FpgaTool(link())
            tool.pipeline_depth = depth
            tool.set_progress_callback(progress)
            tool._fpgaProgramFile(paths[path], type_32)
            return [tool, tool._conn]
        return call

    def depths():
        tool = FpgaTool(make_conn())
        tool.pipeline_depth = depth_8
        for refused in (0, 2**80, True, "8", depth_8 * 1.0):
            with pytest.raises((TypeError, ValueError)):
                tool.pipeline_depth = refused
        del tool.pipeline_depth
        return [tool]

    def depth_past_the_check():
        tool = FpgaTool(make_stream_link())
        tool.__dict__["pipeline_depth"] = 0
        tool._fpgaProgramFile(paths["fw.bin"], type_32)

    def garbled():
        link = make_stream_link()
        link.device.read_page = lambda: b"garbage\r\n"
        return link

    def endless_line():
        link = make_stream_link(1000)
        link.device.program = lambda block: b"x" * 5000
        return link

    class ReplyTooLong(ConnectionError):
        limit = 4096

    def owned():
        tool = FpgaTool(address=address, port=unknown)
        tool.disconnect()
        return [tool]

    def owned_in_with():
        with FpgaTool(address=address, port=unknown, timeout=2.5) as tool:
            return [tool]

    class Unwritable:
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    def console_fails(call):
        def failing():
            with contextlib.redirect_stdout(Unwritable()):
                return call()
        return failing

    operations = [
        ("initFpga", init(lambda: {"GET_FPGA_VER": "0.2.4.0"})),
        ("initFpga, old version", init(lambda: {"GET_FPGA_VER": "0.1"})),
        ("initFpga, unsupported type", init(dict, type_28)),
        ("initFpga, connection error", init(lambda: {"FPGA_CTRL_INIT": ConnectionError("link lost")})),
        ("initFpga, unreadable version", init(lambda: {"GET_FPGA_VER": "x"})),
        ("initFpga, interrupted", raises(KeyboardInterrupt, init(lambda: {"FPGA_GET_ID": KeyboardInterrupt()}))),
        ("update raw", update("fw.bin", type_32)),
        ("update signed", update("fw.tbin", type_28)),
        ("update, other type", update("fw.bin", unknown)),
        ("update, no path", update(None, type_32)),
        ("update, empty file", update("empty.bin", type_32)),
        ("update, missing file", update("missing.bin", type_32)),
        ("update, bad signature", update("bad.tbin", type_32)),
        ("update, block refused", update("fw.bin", type_32, lambda: make_fpga({"FPGA_PROGRAM": "1"}))),
        ("update, read-back differs", update("fw.bin", type_32, mismatching)),
        ("update, connection error", raises(TimeoutError, update(
            "fw.bin", type_32, lambda: make_conn({"FPGA_PROGRAM": ["0", TimeoutError()]})))),
        ("update, version not JSON", raises(ValueError, update(
            "fw.bin", type_28, lambda: make_fpga({"GET_FE_INFO": "not json"})))),
        ("update, interrupted while erasing", raises(KeyboardInterrupt, update(
            "fw.bin", type_32, lambda: make_conn({"FPGA_ERASE": KeyboardInterrupt()})))),
        ("update, reply too long", raises(ReplyTooLong, update(
            "fw.bin", type_32, lambda: make_conn({"FPGA_ERASE": ReplyTooLong("longer than 4096 bytes")})))),
        ("update, callback error", raises(ZeroDivisionError, update("fw.tbin", type_32, progress=failing_progress))),
        ("update, console line fails", console_fails(update("fw.bin", type_32))),
        ("update, console line fails, then callback error", raises(ZeroDivisionError, console_fails(
            update("fw.bin", type_32, progress=failing_progress)))),
        ("verify, differs", verify("fw.bin")),
        ("verify, signed", verify("fw.tbin")),
        ("verify, missing file", verify("missing.bin")),
        ("verify, callback error", raises(ZeroDivisionError, verify("fw.bin", progress=failing_progress))),
        ("verify, connection error", raises(TimeoutError, verify(
            "fw.bin", lambda: make_conn({"FPGA_RST_PAGE_PTR": TimeoutError()})))),
        ("callback refused", raises(TypeError, lambda: FpgaTool(make_conn()).set_progress_callback(address))),
        ("update, bad path", raises(TypeError, lambda: FpgaTool(make_conn()).processFpgaUpdate(b"fw.bin"))),
        ("program short signed image", raises(struct.error, lambda: FpgaTool(make_fpga())._fpgaProgramFile(
            paths["short.tbin"], type_32))),
        ("in flight", in_flight("fw.tbin", lambda: make_stream_link(3))),
        ("in flight, refused", in_flight("fw.bin", lambda: make_stream_link(None, refuse_block=2))),
        ("in flight, read-back differs", in_flight("fw.bin", lambda: make_stream_link(None, corrupt_read_offset=5))),
        ("in flight, garbled page", in_flight("fw.bin", garbled)),
        ("in flight, endless reply line", raises(ConnectionError, in_flight("fw.bin", endless_line))),
        ("in flight, callback error", raises(ZeroDivisionError, in_flight(
            "fw.bin", lambda: make_stream_link(None), progress=failing_progress))),
        ("in flight, bad depth", raises(ValueError, depth_past_the_check)),
        ("pipeline_depth set, refused and deleted", depths),
        ("firmware check", only(lambda: FpgaTool(make_conn({"GET_FW_VER": "0.1.0.6"}))._checkControlFwVersion())),
        ("raw command", only(lambda: FpgaTool(make_conn(pages=[b"#2xxdata\r\n"]))._sendCmd("X", True, 64, False))),
        ("page in pieces", only(lambda: FpgaTool(make_conn(pages=[b"#", b"2", b"04", b"da", b"ta\r\n"]))._fpgaRead())),
        ("page in pieces, run dry", raises(ConnectionError, lambda: FpgaTool(make_conn(pages=[b"#204d", b""]))._fpgaRead())),
        ("own connection", owned),
        ("own connection, with", owned_in_with),
        ("no connection", raises(ValueError, lambda: FpgaTool())),
        ("unreachable", raises(ConnectionError, lambda: FpgaTool(address=address, port=1))),
        ("bad port", raises(TypeError, lambda: FpgaTool(None, address, "5025"))),
    ]
    def call(name, *arguments, replies=None, **keywords):
        def called():
            tool = FpgaTool(make_fpga(replies or {"GET_FPGA_VER": "0.2.4.0", "GET_FE_INFO": info}))
            getattr(tool, name)(*arguments, **keywords)
            return [tool]
        return called

    def context():
        tool = FpgaTool(make_conn())
        with tool as entered:
            return [entered]

    # Every operation of the stub, called once more on its own: a new one must be added here.
    each_operation = {
        "__init__": lambda: [FpgaTool(make_conn())],
        "_getRecv": only(lambda: FpgaTool(make_conn(pages=[b"#204data\r\n"]))._getRecv(False, 64, False)),
        "_sendCmd": call("_sendCmd", "GET_SN"),
        "_fpgaCtrlInit": call("_fpgaCtrlInit"), "_fpgaGetId": call("_fpgaGetId"),
        "_fpgaGetVersion": call("_fpgaGetVersion"), "_fpgaCfgMode": call("_fpgaCfgMode", b"TRANS"),
        "_fpgaErase": call("_fpgaErase", b"12"), "_fpgaRstPagePtr": call("_fpgaRstPagePtr", b"CFG"),
        "_fpgaProgram": call("_fpgaProgram", b"0123456789abcdef"), "_fpgaRead": call("_fpgaRead"),
        "_fpgaDone": call("_fpgaDone"), "_fpgaRefresh": call("_fpgaRefresh"), "_fpgaGetInfo": call("_fpgaGetInfo"),
        "_fpgaGetControlFwVer": call("_fpgaGetControlFwVer"), "_fpgaGetSerialNumber": call("_fpgaGetSerialNumber"),
        "_fpgaProgramFile": call("_fpgaProgramFile", paths["fw.bin"], type_32),
        "_checkControlFwVersion": call("_checkControlFwVersion"),
        "_checkUpdateFile": call("_checkUpdateFile", paths["fw.bin"]),
        "_checkFileHeader": call("_checkFileHeader", paths["fw.tbin"]),
        "initFpga": call("initFpga", type_32),
        "set_progress_callback": call("set_progress_callback", progress),
        "processFpgaUpdate": call("processFpgaUpdate", paths["fw.tbin"], type_32),
        "verifyFpgaImage": call("verifyFpgaImage", paths["fw.tbin"], type_32, load=True),
        "deleteTempFile": call("deleteTempFile"), "disconnect": call("disconnect"), "close": call("close"),
        "__enter__": context, "__exit__": context,
    }
    assert list(each_operation) == declared(FpgaTool)
    operations += [(f"each operation: {name}", made) for name, made in each_operation.items()]
    blocks_left, rss_growth = leak_check(
        operations, [*paths.values(), type_32, type_28, unknown, depth_8, address, info, progress, failing_progress])
    print(f"blocks left by 100 calls: {blocks_left}; resident set growth: {rss_growth} bytes")
