"""What FpgaTool puts on the wire and makes of the replies: transport, command set, firmware check."""

import logging

import pytest

import orbisk.VornFpga as vf
from orbisk.VornFpga import FpgaTool
from orbisk.VornUtils import RetType, _RspType


class TestManagedReplies:
    def test_text_and_bytes_send_the_same_line(self, tool, conn):
        tool._sendCmd("FPGA_DONE")
        tool._sendCmd(b"FPGA_DONE")
        tool._sendCmd(bytearray(b"FPGA_DONE\r\n"))  # a line end of its own gets a second one
        tool._sendCmd("É")
        assert conn.wire == [b"FPGA_DONE\r\n", b"FPGA_DONE\r\n", b"FPGA_DONE\r\n\r\n", "É\r\n".encode()]
        assert conn.reply_kinds == [_RspType.RSP_LIST] * 4

    def test_reply_is_ret_data_or_empty_text(self, tool, conn):
        for data in ["0.2.3.4", None, "", 0, [], b""]:
            conn.sendCmd = lambda line, kind, data=data: RetType(data=data)
            reply = tool._sendCmd("GET_FPGA_VER", log_print=True, size=3)
            assert reply == (data or "") and type(reply) is type(data or "")

    def test_log_print_and_size_do_nothing_on_the_managed_path(self, tool, conn, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        tool._sendCmd("FPGA_GET_ID", True, 7)
        assert caplog.records == [] and conn.recv_sizes == []

    def test_host_rebinding_of_the_reply_kind_is_honoured(self, tool, conn, monkeypatch):
        class Kinds:
            RSP_LIST = "list"

        monkeypatch.setattr(vf, "RspType", Kinds)
        tool._fpgaGetId()
        assert conn.reply_kinds == ["list"]

    def test_connection_errors_propagate_unchanged(self, tool, make_conn):
        error = TimeoutError("silent")
        tool._conn = make_conn({"FPGA_GET_ID": error})
        with pytest.raises(TimeoutError) as caught:
            tool._fpgaGetId()
        assert caught.value is error

    def test_refused_command_types(self, tool):
        for cmd in (None, 12, object()):
            with pytest.raises(TypeError, match="'cmd'"):
                tool._sendCmd(cmd)
        with pytest.raises(UnicodeEncodeError):
            tool._sendCmd("\udc80")


class TestRawReplies:
    def test_read_back_cuts_four_leading_and_two_trailing_bytes(self, tool, conn):
        conn.pages.extend([b"#216" + bytes(range(16)) + b"\r\n", b"123456789", b"123456", b"12", b"x" * 1024])
        assert tool._fpgaRead() == bytes(range(16))
        assert tool._fpgaRead() == b"567"
        assert tool._fpgaRead() == b""
        assert tool._fpgaRead() == b""
        assert len(tool._fpgaRead()) == 1018
        assert conn.wire == [b"FPGA_READ\r\n"] * 5 and conn.recv_sizes == [1024] * 5

    def test_a_page_in_pieces_is_received_whole_and_no_further(self, tool, conn):
        page, later = bytes(range(16)), b"#216" + bytes(16) + b"\r\n"
        conn.pages.extend([b"#2", b"16", page[:5], page[5:], b"\r\n", later])
        assert tool._fpgaRead() == page
        assert conn.recv_sizes == [1024, 2, 18, 13, 2]  # each asks what the block still lacks
        assert tool._fpgaRead() == bytes(16)

    def test_pieces_ask_at_most_size(self, tool, conn):
        conn.pages.extend([b"#2", b"16", b"abcdefgh", b"ijklmnop", b"\r\n"])
        assert tool._sendCmd(b"X", size=8, isdecode=False) == b"abcdefghijklmnop"
        assert conn.recv_sizes == [8, 2, 8, 8, 2]

    @pytest.mark.parametrize("first", [b"#41019", b"#2xx", b"#216" + bytes(16) + b"ab"])
    def test_what_is_no_data_block_is_not_gathered_further(self, tool, conn, first):
        conn.pages.append(first)
        assert tool._fpgaRead() == first[4:-2] and conn.recv_sizes == [1024]

    def test_a_connection_that_runs_dry_in_a_page(self, tool, conn):
        conn.pages.extend([b"#216abc", b""])
        with pytest.raises(ConnectionError, match="no data in the middle of a reply"):
            tool._fpgaRead()

    def test_raw_path_passes_size_and_logs_when_asked(self, tool, conn, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        conn.pages.append(b"#2020A\r\n")
        assert tool._sendCmd(b"X", log_print=True, size=8, isdecode=False) == b"0A"
        assert conn.recv_sizes == [8]
        assert caplog.messages == ["Received data: b'0A'"]
        assert caplog.records[0].levelno == logging.DEBUG

    def test_raw_path_goes_through_get_recv_by_keyword(self, tool, conn):
        seen = []
        tool._getRecv = lambda **kwargs: seen.append(kwargs) or b"r"
        assert tool._sendCmd("FPGA_READ", isdecode=False) == b"r"
        assert seen == [{"log_print": False, "size": 1024, "isdecode": False}]

    def test_get_recv_decodes_the_whole_block(self, tool, conn, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        conn.pages.extend([b"#2AB\r\n", b"\xff"])
        assert tool._getRecv(True) == "#2AB\r\n"
        assert caplog.messages == ["Received data: #2AB\r\n"]
        with pytest.raises(UnicodeDecodeError):
            tool._getRecv()


class TestCommandSet:
    def test_fixed_commands(self, tool, conn):
        conn.replies.update({"FPGA_GET_ID": "ID7", "GET_FPGA_VER": "0.2.3.4", "GET_FE_INFO": "{}", "GET_SN": "SN1"})
        results = [tool._fpgaCtrlInit(), tool._fpgaGetId(), tool._fpgaGetVersion(), tool._fpgaDone(),
                   tool._fpgaRefresh(), tool._fpgaGetInfo(), tool._fpgaGetControlFwVer(), tool._fpgaGetSerialNumber()]
        assert results == ["0", "ID7", "0.2.3.4", "0", "0", "{}", "0", "SN1"]
        assert conn.wire == [b"FPGA_CTRL_INIT\r\n", b"FPGA_GET_ID\r\n", b"GET_FPGA_VER\r\n", b"FPGA_DONE\r\n",
                             b"FPGA_REFRESH\r\n", b"GET_FE_INFO\r\n", b"GET_FW_VER\r\n", b"GET_SN\r\n"]

    def test_commands_with_an_argument(self, tool, conn):
        conn.replies["FPGA_ERASE"] = "ERR"
        assert tool._fpgaErase(12) == "ERR"  # replies are passed on unjudged
        tool._fpgaErase(b"12")
        tool._fpgaCfgMode("TRANS")
        tool._fpgaCfgMode(b"TRANS")
        tool._fpgaRstPagePtr(section=b"CFG")
        assert conn.wire == [b"FPGA_ERASE 12\r\n", b"FPGA_ERASE 12\r\n", b"FPGA_CFG_MODE TRANS\r\n",
                             b"FPGA_CFG_MODE TRANS\r\n", b"FPGA_RST_PAGE_PTR CFG\r\n"]

    @pytest.mark.parametrize("size, header", [(0, b"#100"), (8, b"#108"), (16, b"#216"), (256, b"#3256"),
                                              (1024, b"#41024")])
    def test_block_write_frame(self, tool, conn, size, header):
        block = bytes((7 * i) % 256 for i in range(size))
        tool._fpgaProgram(block)
        assert conn.wire == [b"FPGA_PROGRAM " + header + block + b"\r\n"]

    def test_block_data_is_sent_unchanged(self, tool, conn):
        tool._fpgaProgram(memoryview(b"\r\n\x00\xff"))
        assert conn.wire == [b"FPGA_PROGRAM #104\r\n\x00\xff\r\n"]
        with pytest.raises(TypeError, match="'data_block'"):
            tool._fpgaProgram("text")

    @pytest.mark.parametrize("reply, accepted", [(" 0\r\n", True), ("0", True), ("00", False), ("1", False),
                                                 ("", False), (None, False), ("0 0", False)])
    def test_block_write_judges_its_reply(self, tool, conn, reply, accepted):
        conn.replies["FPGA_PROGRAM"] = reply
        assert tool._fpgaProgram(b"\x01" * 16) is accepted

    def test_every_command_goes_through_the_instances_send_cmd(self, tool, conn):
        sent = []
        tool._sendCmd = lambda cmd, **kwargs: sent.append((cmd, kwargs)) or "0"
        tool._fpgaGetId()
        tool._fpgaErase("14")
        assert tool._fpgaProgram(b"ab") is True
        tool._fpgaRead()
        assert sent == [(b"FPGA_GET_ID", {}), (b"FPGA_ERASE 14", {}), (b"FPGA_PROGRAM #102ab", {}),
                        (b"FPGA_READ", {"isdecode": False})]
        assert conn.wire == []


class TestControlFirmwareCheck:
    @pytest.mark.parametrize("reported, ok", [("0.1.0.6", True), ("0.2.0.0", True), ("0.1.0.10", True),
                                              ("0.1.0.5", False)])
    def test_compares_versions_field_by_field(self, tool, conn, caplog, reported, ok):
        caplog.set_level(logging.DEBUG, "FPGA")
        conn.replies["GET_FW_VER"] = reported
        assert tool._checkControlFwVersion() is ok
        expected = [(logging.DEBUG, f"RIS control FW version: {reported}")]
        if not ok:
            expected.append((logging.WARNING,
                             f"RIS control FW version {reported} is lower than minimum required version 0.1.0.6"))
        assert [(r.levelno, r.message) for r in caplog.records] == expected

    def test_minimum_is_looked_up_at_each_call(self, tool, conn, monkeypatch, caplog):
        conn.replies["GET_FW_VER"] = "0.2.0.0"
        monkeypatch.setattr(vf, "_FPGA_FW_VER_MIN", "1.0")
        assert tool._checkControlFwVersion() is False
        assert caplog.messages[-1].endswith(" is lower than minimum required version 1.0")

    def test_errors_propagate_without_logging(self, tool, conn, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        conn.replies["GET_FW_VER"] = "banana"
        with pytest.raises(ValueError):
            tool._checkControlFwVersion()
        conn.replies["GET_FW_VER"] = ConnectionError("lost")
        with pytest.raises(ConnectionError):
            tool._checkControlFwVersion()
        assert caplog.records == []


def test_subclass_send_cmd_changes_every_command(conn):
    class Tagged(FpgaTool):
        def _sendCmd(self, cmd, log_print=False, size=1024, isdecode=True):
            return super()._sendCmd(b"TAG " + cmd, log_print, size, isdecode)

    conn.pages.append(b"#2..x\r\n")
    tool = Tagged(conn)
    tool._fpgaGetControlFwVer()
    tool._fpgaRead()
    assert conn.wire == [b"TAG GET_FW_VER\r\n", b"TAG FPGA_READ\r\n"]
