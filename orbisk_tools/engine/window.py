"""How many commands to keep in flight on the link to a device, learnt from the device itself.

A few read-only queries go out in one write. A device that takes its commands from a byte
stream answers them all, one round trip after the write; one that takes a read as one command
answers only the first. For the former the window is what covers the link: a round trip's worth
of commands at what each costs this computer in flight.
"""

import math
import time

from orbisk_tools.formats import protocol

MAX_DEPTH = 1024  # the largest pipeline_depth the FPGA module takes
MIN_DEPTH = 512  # below this, the per-window costs of both ends show even without latency
COMMAND_SECONDS = 1e-6  # what one command costs an update in flight without latency (bench/bench_window.py)
ROUND_TRIPS = 2  # the first exchange on a connection can be slow for reasons of its own
PROBE = (protocol.GET_FW_VER, protocol.GET_FPGA_VER, protocol.FPGA_GET_ID, protocol.GET_SN)
ONE_AT_A_TIME = "the device does not take commands in flight; updating one command at a time"


def probe_pipeline_depth(conn, timeout=0.5):
    """The pipeline_depth to set on an FpgaTool that uses `conn`, an open device connection.

    Sends read-only queries in one write with `conn.sendRawBytes` and takes their replies with
    `conn.recvRawBytes`, twice. If all come back, the depth covers the shorter round trip (from
    MIN_DEPTH to MAX_DEPTH); if only the first comes back within `timeout` seconds (or four round
    trips, if longer), the depth is 1, and the connection is closed and opened again so that no late
    reply can be taken for a later command's. The first reply is waited for as long as the
    connection waits for any: when none comes, its TimeoutError propagates, as do the
    connection's other errors; a reply line longer than protocol.MAX_REPLY_LINE raises
    protocol.ReplyTooLong. The device's state is never changed."""
    batch = b"".join(word.encode() + protocol.LINE_END for word in PROBE)
    round_trips = []
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


def depth_for(round_trip):
    """The power of two of commands, from MIN_DEPTH to MAX_DEPTH, that covers `round_trip` seconds."""
    commands = max(round_trip / COMMAND_SECONDS, 1.0)
    return min(max(2 ** math.ceil(math.log2(commands)), MIN_DEPTH), MAX_DEPTH)


def _take_rest(conn, replies, wait):
    """Takes the replies to the rest of the probe, waiting at most `wait` seconds for them (on a
    connection whose `timeout` can be set; else as long as it waits). False if they did not come."""
    usual = getattr(conn, "timeout", 0)
    adjustable = usual is None or usual > wait
    if adjustable:
        conn.timeout = wait
    try:
        while replies.count(b"\n") < len(PROBE):
            _receive(conn, replies, len(PROBE))
    except TimeoutError:
        return False
    finally:
        if adjustable:
            conn.timeout = usual
    return True


def _receive(conn, replies, lines):
    """One more receive into `replies`, which holds at most `lines` reply lines: past that many
    lines of MAX_REPLY_LINE bytes, the device sends what is no reply."""
    if len(replies) > lines * protocol.MAX_REPLY_LINE:
        raise protocol.ReplyTooLong(protocol.MAX_REPLY_LINE)
    replies += conn.recvRawBytes(protocol.RECEIVE_SIZE)
