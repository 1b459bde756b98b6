"""How many commands to keep in flight on the link to a device, learnt from the device itself.

A few read-only queries go out in one write. A device that takes its commands from a byte
stream answers them all, one round trip after the write; one that takes a read as one command
answers only the first. For the former the window is what covers the link: a round trip's worth
of commands at what each costs this computer in flight.
"""

from __future__ import annotations

import math
import time
from typing import TYPE_CHECKING, Protocol, cast, runtime_checkable

from orbisk_tools.native import fpga_module
from orbisk_tools.formats import protocol

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool

MAX_DEPTH = 1024  # the largest pipeline_depth the FPGA module takes
MIN_DEPTH = 512  # below this, the per-window costs of both ends show even without latency
COMMAND_SECONDS = 1e-6  # what one command costs an update in flight without latency (bench/bench_window.py)
ROUND_TRIPS = 2  # the first exchange on a connection can be slow for reasons of its own
PROBE = (protocol.GET_FW_VER, protocol.GET_FPGA_VER, protocol.FPGA_GET_ID, protocol.GET_SN)
ONE_AT_A_TIME = "the device does not take commands in flight; updating one command at a time"


@runtime_checkable
class ProbedConnection(Protocol):
    """What probe_pipeline_depth() asks of a device connection, as _TCPConn of
    orbisk.VornCommService offers it: sendRawBytes sends bytes, recvRawBytes returns at most
    `size` bytes received, closeConnection and initConnection (True once connected) close it and
    open it again. A `timeout` attribute, when it has one, is the seconds it waits for a reply."""

    def sendRawBytes(self, data: bytes, /) -> object: ...

    def recvRawBytes(self, size: int, /) -> bytes: ...

    def closeConnection(self) -> object: ...

    def initConnection(self) -> bool: ...


def probe_pipeline_depth(conn: ProbedConnection | FpgaTool, timeout: float = 0.5) -> int:
    """The pipeline_depth to set on an FpgaTool, learnt from the device itself through `conn`: an
    open device connection (a ProbedConnection, such as _TCPConn of orbisk.VornCommService), or an
    FpgaTool, whose own connection it uses (a TypeError when that one cannot be opened again). The
    device's state is never changed.

    Sends read-only queries in one write with `conn.sendRawBytes` and takes their replies with
    `conn.recvRawBytes`, twice. If all come back, the depth covers the shorter round trip (from
    MIN_DEPTH to MAX_DEPTH); if only the first comes back within `timeout` seconds (or four round
    trips, if longer), the depth is 1, and the connection is closed and opened again so that no late
    reply can be taken for a later command's. The first reply is waited for as long as the
    connection waits for any: when none comes, its TimeoutError propagates, as do the
    connection's other errors; a reply line longer than protocol.MAX_REPLY_LINE raises
    protocol.ReplyTooLong."""
    conn = _connection_of(conn)
    batch = b"".join(word.encode() + protocol.LINE_END for word in PROBE)
    round_trips: list[float] = []
    for _ in range(ROUND_TRIPS):
        replies = bytearray()
        start = time.monotonic()
        conn.sendRawBytes(batch)
        while b"\n" not in replies:
            _receive(conn, replies, 1)
        round_trips.append(time.monotonic() - start)
        if not _take_rest(conn, replies, max(timeout, 4 * round_trips[-1])):
            conn.closeConnection()
            if not conn.initConnection():
                raise ConnectionError("cannot connect again after probing the link")
            return 1
    return depth_for(min(round_trips))


def _connection_of(connection: ProbedConnection | FpgaTool) -> ProbedConnection:
    """`connection`, or the connection of the FpgaTool `connection`."""
    tool_class: type[FpgaTool] = fpga_module().FpgaTool
    if not isinstance(connection, tool_class):
        return cast(ProbedConnection, connection)  # not an FpgaTool (mypy cannot tell from a class held in a variable)
    conn = connection._conn
    if not isinstance(conn, ProbedConnection):
        raise TypeError(f"the tool's connection, a {type(conn).__name__}, cannot be opened again "
                        "(it has no initConnection); give a connection that can")
    return conn


def depth_for(round_trip: float) -> int:
    """The power of two of commands, from MIN_DEPTH to MAX_DEPTH, that covers `round_trip` seconds."""
    commands = max(round_trip / COMMAND_SECONDS, 1.0)
    power: int = 2 ** math.ceil(math.log2(commands))  # commands >= 1: a whole power
    return min(max(power, MIN_DEPTH), MAX_DEPTH)


def _take_rest(conn: ProbedConnection, replies: bytearray, wait: float) -> bool:
    """Takes the replies to the rest of the probe, waiting at most `wait` seconds for them (on a
    connection whose `timeout` can be set; else as long as it waits). False if they did not come."""
    usual = getattr(conn, "timeout", 0)
    adjustable = usual is None or usual > wait
    if adjustable:
        setattr(conn, "timeout", wait)  # an attribute of some connections only
    try:
        while replies.count(b"\n") < len(PROBE):
            _receive(conn, replies, len(PROBE))
    except TimeoutError:
        return False
    finally:
        if adjustable:
            setattr(conn, "timeout", usual)
    return True


def _receive(conn: ProbedConnection, replies: bytearray, lines: int) -> None:
    """One more receive into `replies`, which holds at most `lines` reply lines: past that many
    lines of MAX_REPLY_LINE bytes, the device sends what is no reply."""
    if len(replies) > lines * protocol.MAX_REPLY_LINE:
        raise protocol.ReplyTooLong(protocol.MAX_REPLY_LINE)
    replies += conn.recvRawBytes(protocol.RECEIVE_SIZE)
