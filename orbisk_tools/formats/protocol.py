"""The FPGA controller's command protocol, as the tools speak and model it: the data frame, the
command words, the sizes and the device types.

A command is a line ending in CR LF, except the block write: "FPGA_PROGRAM " and a data frame,
then CR LF, read by the frame's length since the data may hold any byte. A data frame is "#",
the digit count of the data's length N, N with at least two digits, then the N bytes. A page
read is answered with such a frame and CR LF, taken off the link in one receive; its digit count
is that of N as written, at least 2. Readers take any digit count d and then max(d, 2) digits.
"""

from __future__ import annotations

import dataclasses
import functools
import json
import re
import struct
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool

LINE_END = b"\r\n"
RECEIVE_SIZE = 1024  # bytes asked of one raw receive
LARGEST_PAGE = RECEIVE_SIZE - 6  # what a frame that fits in one receive can carry
BLOCK_SIZE = 16  # image bytes per block write and per page read
MAX_REPLY_LINE = 4096  # the longest reply line a device may send; a longer one is no reply of this protocol

FPGA_CTRL_INIT = "FPGA_CTRL_INIT"
FPGA_GET_ID = "FPGA_GET_ID"
GET_FPGA_VER = "GET_FPGA_VER"
FPGA_CFG_MODE = "FPGA_CFG_MODE"
FPGA_ERASE = "FPGA_ERASE"
FPGA_RST_PAGE_PTR = "FPGA_RST_PAGE_PTR"
FPGA_PROGRAM = "FPGA_PROGRAM"
FPGA_READ = "FPGA_READ"
FPGA_DONE = "FPGA_DONE"
FPGA_REFRESH = "FPGA_REFRESH"
GET_FE_INFO = "GET_FE_INFO"
GET_FW_VER = "GET_FW_VER"
GET_SN = "GET_SN"

REFUSAL = "ERR"  # what the reply of a device that refuses a command starts with

PROGRAM_PREFIX = FPGA_PROGRAM.encode() + b" #"


@dataclasses.dataclass(frozen=True)
class DeviceType:
    """A device type the tools know (see DEVICE_TYPES): how its configuration memory is erased
    and how it reports its FPGA version."""
    number: int
    erase_bits: str  # the argument of FPGA_ERASE before an image is written
    version_command: str  # the command whose reply holds the FPGA version
    initialised_by_init: bool = False  # initFpga initialises this type and checks its FPGA version
    minimum_version: str = ""  # the lowest FPGA version initFpga takes without a warning

    def fpga_version(self, reply: str) -> str:
        """The FPGA version in the reply to version_command, as the FPGA module reads it after an
        update. Raises what json raises for a reply that is no JSON document (an empty one
        included), AttributeError for one that is not an object of objects."""
        if self.version_command != GET_FE_INFO:
            return reply
        front_ends: dict[str, dict[str, str]] = json.loads(reply)  # {front end: its facts}, as the device sends it
        return next(iter(front_ends.values()), {}).get("fpga_ver", "")  # the first front end's

    def read_fpga_version(self, tool: FpgaTool) -> str:
        """The FPGA version that the device behind `tool`, an FpgaTool, reports; "" when it
        answers nothing. Raises NoFpgaImage when it refuses the question."""
        reply = tool._sendCmd(self.version_command)
        if reply.startswith(REFUSAL):
            raise NoFpgaImage(reply)
        return self.fpga_version(reply) if reply else ""


class NoFpgaImage(ValueError):
    """The device refused the FPGA version query: its FPGA runs no image (its configuration
    memory holds none that was loaded, since the device was last switched on)."""


class _DeviceTypes(Mapping[int, DeviceType]):
    """The device types the FPGA module knows, as its _DEVICE_TYPES says, read from it on first use."""

    def __init__(self) -> None:
        self._types: dict[int, DeviceType] | None = None

    def _table(self) -> dict[int, DeviceType]:
        if self._types is None:
            from orbisk_tools.native import fpga_module

            self._types = {number: DeviceType(number, erase_bits=str(entry["erase_bits"]),
                                              version_command=str(entry["version_query"]),
                                              initialised_by_init=bool(entry["initialised"]),
                                              minimum_version=str(entry["minimum_version"]))
                           for number, entry in fpga_module()._DEVICE_TYPES.items()}
        return self._types

    def __getitem__(self, number: int) -> DeviceType:
        return self._table()[number]

    def __iter__(self) -> Iterator[int]:
        return iter(self._table())

    def __len__(self) -> int:
        return len(self._table())

    def __repr__(self) -> str:
        return repr(self._table())


DEVICE_TYPES: Mapping[int, DeviceType] = _DeviceTypes()


def frame(data: bytes) -> bytes:
    """The data frame that carries `data` in a block write."""
    return _frame(data, len(str(len(data))))


def block_write(data: bytes) -> bytes:
    """The command line that writes one block of image data."""
    return PROGRAM_PREFIX[:-1] + frame(data) + LINE_END


def page_reply(data: bytes) -> bytes:
    """A page read's reply carrying `data`. The device counts the digits of the length as
    written: "#208" for 8 bytes, where a block write has "#108"."""
    return _frame(data, None) + LINE_END


def _frame(data: bytes, digit_count: int | None) -> bytes:
    length = b"%02d" % len(data)
    return b"#%d" % (digit_count or len(length)) + length + data


class ReplyTooLong(ConnectionError):
    """The device sent more than the replies asked of it can hold; as the host connection's own,
    it carries the bound in bytes as `limit`."""

    def __init__(self, limit: int):
        super().__init__(f"the device sent a reply longer than {limit} bytes")
        self.limit = limit


class BadFrame(ValueError):
    """A data frame whose header is no digit count and length."""


def frame_header(buffer: bytes | bytearray, at: int = 0) -> tuple[int, int] | None:
    """(where the data starts, its length) for the frame at `at` in `buffer`; None while its
    header is incomplete. Raises BadFrame when it does not start with "#" or its digits are none."""
    if len(buffer) <= at:
        return None
    if buffer[at] != ord("#"):
        raise BadFrame("no data frame")
    if len(buffer) <= at + 1:
        return None
    count = buffer[at + 1]
    if not ord("0") <= count <= ord("9"):
        raise BadFrame("no digit count")
    start = at + 2 + max(count - ord("0"), 2)
    length = bytes(buffer[at + 2 : start])
    if len(length) < start - at - 2:
        return None
    if not length.isdigit():
        raise BadFrame("no length")
    return start, int(length)


# The bulk of an image transfer is runs of 16-byte block writes and of page reads. With runs,
# take_command takes such a run at once, so that the emulator keeps up with a client that keeps
# many commands in flight.
BLOCK_WRITE_SIZE = len(block_write(bytes(BLOCK_SIZE)))
_BLOCK_HEAD = block_write(bytes(BLOCK_SIZE))[: -BLOCK_SIZE - len(LINE_END)]
_BLOCK_RUN = re.compile(b"(?:" + re.escape(_BLOCK_HEAD) + b".{%d}\r\n)+" % BLOCK_SIZE, re.S)
READ_LINE = FPGA_READ.encode() + LINE_END
_READ_RUN = re.compile(b"(?:" + re.escape(READ_LINE) + b")+")


# A command taken off the byte stream from the client (see take_command).
Command = (tuple[Literal["line"], bytes] | tuple[Literal["block"], bytes | None] | tuple[Literal["blocks"], bytes, int]
           | tuple[Literal["reads"], int])


def take_command(buffer: bytearray, runs: bool = False) -> Command | None:
    """Takes one whole command off the front of `buffer`, a bytearray of the byte stream from the
    client; None while the command is incomplete. A command is:
    ("line", bytes): a command line without its line end;
    ("block", data): a block write; data is None when its frame is malformed;
    with runs, also ("blocks", data, count): `count` 16-byte block writes in a row, their data
    joined; and ("reads", count): `count` page reads in a row."""
    if runs:
        if match := _BLOCK_RUN.match(buffer):
            count = match.end() // BLOCK_WRITE_SIZE
            data = b"".join(_fields(f"{len(_BLOCK_HEAD)}x{BLOCK_SIZE}s{len(LINE_END)}x", count).unpack_from(buffer))
            del buffer[: match.end()]
            return ("blocks", data, count)
        if match := _READ_RUN.match(buffer):
            del buffer[: match.end()]
            return ("reads", match.end() // len(READ_LINE))
    if buffer.startswith(PROGRAM_PREFIX):
        return _take_block(buffer)
    if len(buffer) < len(PROGRAM_PREFIX) and PROGRAM_PREFIX.startswith(buffer):
        return None  # perhaps the start of a block write
    return _take_line(buffer)


def _take_block(buffer: bytearray) -> Command | None:
    try:
        header = frame_header(buffer, len(PROGRAM_PREFIX) - 1)
    except BadFrame:
        return _take_line(buffer, bad=True)
    if header is None:
        return None
    start, length = header
    end = start + length
    if len(buffer) < end + 2:
        return None
    data, terminator = bytes(buffer[start:end]), bytes(buffer[end : end + 2])
    del buffer[: end + 2]
    return ("block", data if terminator == LINE_END else None)


def _take_line(buffer: bytearray, bad: bool = False) -> Command | None:
    end = buffer.find(b"\n")
    if end < 0:
        return None
    line = bytes(buffer[:end]).rstrip(b"\r")
    del buffer[: end + 1]
    return ("block", None) if bad else ("line", line)


def command_word(line: bytes) -> str:
    """The command word of a line as sent: what precedes its argument, frame or line end."""
    return line.split(b"#", 1)[0].split(b" ", 1)[0].rstrip(b"\r\n").decode("ascii", errors="replace")


@functools.lru_cache(maxsize=64)
def _fields(layout: str, count: int) -> struct.Struct:
    """A struct that takes `count` records of `layout` apart at once."""
    return struct.Struct(layout * count)


def page_replies(pages: bytes) -> bytes:
    """The replies to page reads of `pages`, whole pages in a row."""
    head = page_reply(bytes(BLOCK_SIZE))[: -BLOCK_SIZE - len(LINE_END)]
    count = len(pages) // BLOCK_SIZE
    return head + (LINE_END + head).join(_fields(f"{BLOCK_SIZE}s", count).unpack_from(pages)) + LINE_END
