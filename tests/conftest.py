"""Fakes shared by the tests: a recording device connection."""

import collections

import pytest

from orbisk.VornUtils import RetType


class FakeConnection:
    """A device connection that records every line on the wire and answers from scripts.

    ``replies`` maps a command word ("GET_FW_VER", "FPGA_PROGRAM", ...) to its reply
    text, to a list of replies used in turn (the last one repeats), or to an
    exception instance to raise. Unlisted commands answer "0". ``pages`` are the
    raw receives, in order; an exception instance among them is raised.
    """

    def __init__(self, replies=None, pages=()):
        self.replies = dict(replies or {})
        self.pages = collections.deque(pages)
        self.wire = []  # every line sent, managed or raw, in order
        self.reply_kinds = []
        self.recv_sizes = []
        self.closed = 0

    @property
    def commands(self):
        """The command word of every line on the wire."""
        return [command_word(line) for line in self.wire]

    def _answer(self, line):
        reply = self.replies.get(command_word(line), "0")
        if isinstance(reply, list):
            reply = reply.pop(0) if len(reply) > 1 else reply[0]
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def sendCmd(self, line, rsp_type):
        self.wire.append(line)
        self.reply_kinds.append(rsp_type)
        return RetType(data=self._answer(line))

    def sendRawBytes(self, data):
        self.wire.append(data)

    def recvRawBytes(self, size):
        self.recv_sizes.append(size)
        page = self.pages.popleft()
        if isinstance(page, BaseException):
            raise page
        return page

    def closeConnection(self):
        self.closed += 1


class FakeFpga(FakeConnection):
    """A FakeConnection that also keeps the FPGA configuration memory: blocks written
    with FPGA_PROGRAM are stored, and FPGA_READ answers the next page of what was stored.
    Scripted replies still apply; a refused block ("FPGA_PROGRAM" reply other than "0")
    is not stored."""

    def __init__(self, replies=None):
        super().__init__(replies)
        self.memory = bytearray()
        self.pointer = 0

    def sendCmd(self, line, rsp_type):
        word = command_word(line)
        if word == "FPGA_ERASE":
            self.memory.clear()
        elif word == "FPGA_RST_PAGE_PTR":
            self.pointer = 0
        result = super().sendCmd(line, rsp_type)
        if word == "FPGA_PROGRAM" and result.RetData == "0":
            digits = int(line[14:15])
            size = int(line[15 : 15 + max(digits, 2)])
            start = 15 + max(digits, 2)
            self.memory += line[start : start + size]
        return result

    def sendRawBytes(self, data):
        super().sendRawBytes(data)
        if command_word(data) == "FPGA_READ":
            page = bytes(self.memory[self.pointer : self.pointer + 16])
            self.pointer += len(page)
            self.pages.append(b"#2%02d" % len(page) + page + b"\r\n")


def command_word(line):
    return line.split(b"#", 1)[0].split(b" ", 1)[0].rstrip(b"\r\n").decode()


@pytest.fixture
def make_conn():
    return FakeConnection


@pytest.fixture
def fpga():
    return FakeFpga()


@pytest.fixture
def conn():
    return FakeConnection()


@pytest.fixture
def tool(conn):
    from orbisk.VornFpga import FpgaTool

    return FpgaTool(conn)
