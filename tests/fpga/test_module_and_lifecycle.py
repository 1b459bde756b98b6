"""orbisk.VornFpga at import, and the life of an FpgaTool: construction, ownership, disconnect."""

import errno
import inspect
import logging
import re
import socket
import subprocess
import sys
import textwrap

import pytest

import orbisk.VornFpga as vf
from orbisk.VornFpga import FpgaTool


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result


class TestImport:
    def test_names_and_constants(self):
        import hashlib
        import hmac
        import json
        import pathlib
        import struct
        import time
        import typing

        from orbisk.VornPublic import RetCode
        from orbisk.VornUtils import VER, RetType, _RspType

        assert (vf.hmac, vf.hashlib, vf.json, vf.logging, vf.struct, vf.sys, vf.time) == (
            hmac, hashlib, json, logging, struct, sys, time)
        assert (vf.Path, vf.Optional, vf.Union) == (pathlib.Path, typing.Optional, typing.Union)
        assert (vf.VER, vf.RspType, vf.RetType, vf.RetCode) == (VER, _RspType, RetType, RetCode)
        assert vf.logger is logging.getLogger("FPGA")
        assert vf._RECV_SIZE == 1024
        assert (vf._FPGA_FW_VER_MIN, vf._FPGA_VER_MIN_DEV28, vf._FPGA_VER_MIN_DEV32) == ("0.1.0.6", "1.1.0.0", "0.2.3.4")
        assert vf._DEVICE_WHITELIST == [32]

    def test_tcp_connection_module_is_loaded_only_when_needed(self):
        result = run_python("""
            import sys
            import orbisk.VornFpga as vf
            vf.FpgaTool(object())
            print("orbisk.VornCommService" in sys.modules)
        """)
        assert result.stdout.split()[-1] == "False"

    def test_import_configures_logging_on_stdout_when_the_host_did_not(self):
        result = run_python("""
            import logging
            import orbisk.VornFpga
            logging.getLogger("FPGA").info("hello")
            logging.getLogger("other").debug("hidden")
        """)
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} - FPGA \[INFO\] hello\n", result.stdout)

    def test_import_keeps_the_hosts_logging_configuration(self):
        result = run_python("""
            import logging, sys
            logging.basicConfig(level=logging.WARNING, stream=sys.stderr, format="%(message)s")
            handlers = list(logging.getLogger().handlers)
            import orbisk.VornFpga
            assert logging.getLogger().handlers == handlers
            assert logging.getLogger().level == logging.WARNING
            logging.getLogger("FPGA").info("not shown")
            logging.getLogger("FPGA").warning("shown")
        """)
        assert result.stdout == ""
        assert result.stderr == "shown\n"


class TestClass:
    def test_is_a_plain_python_class(self, conn):
        assert FpgaTool.__bases__ == (object,)
        assert type(FpgaTool) is type
        assert FpgaTool.__module__ == "orbisk.VornFpga"
        assert FpgaTool.__qualname__ == "FpgaTool"
        tool = FpgaTool(conn)
        tool.extra = 1  # accepts new attributes
        assert vars(tool) == {"_conn": conn, "_owns_conn": False, "progress_callback": None, "pipeline_depth": 1,
                              "last_outcome": None,
                              "console_progress": True, "extra": 1}

    def test_docstrings(self):
        assert FpgaTool.__init__.__doc__ == (
            "\n        Initialize the FPGA tool.\n\n        Args:\n"
            "            connection: An existing DevConnection (e.g. _TCPConn) instance.\n"
            "            address: IP address of the device. Creates a new TCP connection if provided.\n"
            "            port: TCP port number (default 5025).\n        ")
        assert FpgaTool.disconnect.__doc__ == "\n        Close the connection and clean up.\n        "
        assert inspect.getdoc(FpgaTool._sendCmd) == "Send a command to the FPGA and receive the response."
        assert inspect.getdoc(FpgaTool._getRecv) == "Receive data from the FPGA."

    def test_signatures(self, tool):
        assert str(inspect.signature(FpgaTool)) == "(connection=None, address=None, port=5025, timeout=None)"
        assert str(inspect.signature(FpgaTool._sendCmd)) == "(self, cmd, log_print=False, size=1024, isdecode=True)"
        assert str(inspect.signature(tool._getRecv)) == "(log_print=False, size=1024, isdecode=True)"
        assert str(inspect.signature(tool._fpgaProgram)) == "(data_block)"

    def test_size_default_is_fixed_when_the_class_is_made(self, monkeypatch, conn):
        monkeypatch.setattr(vf, "_RECV_SIZE", 16)
        conn.pages.append(b"#2160123456789abcdef\r\n")
        FpgaTool(conn)._getRecv(isdecode=False)
        assert conn.recv_sizes == [1024]

    def test_subclass_overrides_and_extends(self, conn):
        class Logged(FpgaTool):
            def __init__(self, connection):
                super().__init__(connection)
                self.sent = []

            def _sendCmd(self, cmd, *args, **kwargs):
                self.sent.append(cmd)
                return super()._sendCmd(cmd, *args, **kwargs)

        tool = Logged(conn)
        tool._fpgaDone()
        assert tool.sent == [b"FPGA_DONE"]
        assert conn.wire == [b"FPGA_DONE\r\n"]


class FakeTCPConn:
    made = []
    connects = True

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        self.closed = 0
        FakeTCPConn.made.append(self)

    def initConnection(self, *args):
        assert args == ()
        return self.connects

    def closeConnection(self):
        self.closed += 1


@pytest.fixture
def tcp(monkeypatch):
    import orbisk.VornCommService

    FakeTCPConn.made = []
    FakeTCPConn.connects = True
    monkeypatch.setattr(orbisk.VornCommService, "_TCPConn", FakeTCPConn)
    return FakeTCPConn


class TestConstructor:
    def test_lent_connection_wins_over_an_address(self, tcp, conn):
        tool = FpgaTool(conn, address="10.0.0.1")
        assert tool._conn is conn and tool._owns_conn is False and tool.progress_callback is None
        assert tcp.made == []

    def test_opens_and_owns_a_connection_to_an_address(self, tcp):
        tool = FpgaTool(address="10.0.0.1")
        (made,) = tcp.made
        assert made.args == ("10.0.0.1", 5025) and made.kwargs == {}
        assert tool._conn is made and tool._owns_conn is True

    def test_port_is_converted_to_int(self, tcp):
        FpgaTool(address="h", port=5025.9)
        FpgaTool(None, "h", True)
        assert [type(m.args[1]) for m in tcp.made] == [int, int]
        assert [m.args[1] for m in tcp.made] == [5025, 1]

    @pytest.mark.parametrize("falsy", [False, 0, "", None])
    def test_failed_connection(self, tcp, falsy):
        tcp.connects = falsy
        with pytest.raises(ConnectionError, match=r"^Cannot connect to h:5025$"):
            FpgaTool(address="h")
        assert tcp.made[0].closed == 0

    def test_failed_connection_says_why_when_the_connection_kept_its_error(self, tcp, monkeypatch):
        tcp.connects = False
        cases = [(ConnectionRefusedError(errno.ECONNREFUSED, "Connection refused"), "connection_refused"),
                 (TimeoutError("timed out"), "timeout"),
                 (socket.gaierror(socket.EAI_NONAME, "Name or service not known"), "name_not_found"),
                 (OSError(errno.EHOSTUNREACH, "No route to host"), "unreachable"),
                 (OSError(errno.EACCES, "Permission denied"), None), ("not an exception", None)]
        for kept, reason in cases:
            monkeypatch.setattr(tcp, "last_error", kept, raising=False)
            with pytest.raises(vf.FpgaConnectError, match=r"^Cannot connect to h:5025$") as info:
                FpgaTool(address="h")
            assert info.value.reason == reason
            assert info.value.__cause__ is (kept if isinstance(kept, BaseException) else None)
        monkeypatch.delattr(tcp, "last_error")
        with pytest.raises(ConnectionError) as info:
            FpgaTool(address="h")
        assert (info.value.reason, info.value.__cause__) == (None, None)

    def test_timeout_is_passed_only_when_given(self, tcp):
        FpgaTool(address="h", timeout=2)
        FpgaTool(address="h", timeout=None)
        assert [(m.args, m.kwargs) for m in tcp.made] == [(("h", 5025), {"timeout": 2.0}), (("h", 5025), {})]

    def test_bad_arguments_are_refused_before_connecting(self, tcp):
        with pytest.raises(ValueError, match="^Either connection or address must be provided$"):
            FpgaTool()
        with pytest.raises(TypeError, match="'address'"):
            FpgaTool(address=b"h")
        for port in ("5025", None, 1j):
            with pytest.raises(TypeError, match="'port'"):
                FpgaTool(object(), "h", port)
        assert tcp.made == []

    def test_tcp_connection_errors_propagate(self, monkeypatch, error_of):
        import orbisk.VornCommService

        def refuse(address, port):
            raise OSError("no route")

        monkeypatch.setattr(orbisk.VornCommService, "_TCPConn", refuse)
        with pytest.raises(OSError, match="no route"):
            FpgaTool(address="h")
        monkeypatch.delattr(orbisk.VornCommService, "_TCPConn")
        assert error_of(FpgaTool, address="h") == error_of(exec, "from orbisk.VornCommService import _TCPConn", {})


class TestDisconnect:
    def test_closes_an_owned_connection_every_time(self, tcp, caplog):
        caplog.set_level(logging.INFO, "FPGA")
        tool = FpgaTool(address="h")
        tool.disconnect()
        tool.disconnect()
        assert tcp.made[0].closed == 2
        assert caplog.messages == ["Disconnected from FPGA device."] * 2

    def test_leaves_a_lent_connection_open(self, tool, conn, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        assert tool.disconnect() is None
        assert conn.closed == 0 and caplog.records == []

    def test_runs_delete_temp_file_first(self, tcp):
        calls = []

        class Tool(FpgaTool):
            def deleteTempFile(self):
                calls.append(self._conn.closed)

        Tool(address="h").disconnect()
        assert calls == [0]
        assert FpgaTool(object()).deleteTempFile() is None

    def test_close_error_propagates_without_the_log_line(self, tcp, caplog):
        tool = FpgaTool(address="h")
        tool._conn.closeConnection = lambda: 1 / 0
        with pytest.raises(ZeroDivisionError):
            tool.disconnect()
        assert caplog.records == []


def test_a_refused_argument_is_named_by_its_parameter_even_when_another_holds_the_same_object():
    with pytest.raises(TypeError, match=r"^FpgaTool.__init__\(\) argument 'address' must be str or None, not int$"):
        FpgaTool(5, 5)
    tool = FpgaTool(object())
    with pytest.raises(TypeError, match=r"^FpgaTool._fpgaProgramFile\(\) argument 'device_type' must be int, not str$"):
        tool._fpgaProgramFile("fw.bin", "fw.bin")
