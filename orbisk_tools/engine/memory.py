"""The configuration memory of a device, read as it is: the page pointer reset, then one page read
per 16 bytes, up to a window of them in flight, as the FPGA module's read-back keeps them. Nothing
that erases, writes or loads is sent."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING

from orbisk_tools.formats import protocol

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool


class NotAPage(ValueError):
    """The device answered a page read with what is no page."""


def read_pages(tool: FpgaTool, size: int, depth: int, stop: threading.Event) -> bytes | None:
    """The first `size` bytes of the configuration memory of the device behind `tool`, an FpgaTool
    on an open connection, with up to `depth` page reads in flight; fewer when the memory ends
    first (the device answers a page shorter than 16 bytes). None when `stop` was set first.

    The page pointer is reset with the tool's own command; the reads go straight on its connection,
    with `sendRawBytes` only after a receive, as the module's read-back does. What is received but
    not yet taken is at most a page's reply and a receive: a page longer than a receive can carry
    is NotAPage. Raises NotAPage, and what the connection raises (a time-out, a lost link)."""
    memory = bytearray()
    read = read_into(tool, size, depth, stop, memory.extend)
    return None if read is None else bytes(memory)


def read_into(tool: FpgaTool, size: int, depth: int, stop: threading.Event,
              write: Callable[[bytes], object], drain: bool = False) -> int | None:
    """read_pages(), each run of pages handed to write() as it comes rather than kept: how many
    bytes were read, or None when `stop` was set first. With `drain`, the replies still in flight
    when the memory ends are taken off the connection too, so that it can carry the next command."""
    conn = tool._conn
    tool._fpgaRstPagePtr(b"CFG")
    pages = -(-size // protocol.BLOCK_SIZE)
    received = bytearray()
    done = requested = outstanding = 0
    ended = False
    while done < size and not ended:
        if stop.is_set():
            return None
        run = bytearray()
        while done + len(run) < size and (page := _take_page(received, done + len(run))) is not None:
            outstanding -= 1
            run += page
            if len(page) < protocol.BLOCK_SIZE:
                ended = True  # the memory ends here
                break
        if run:
            kept = bytes(run[: size - done])
            write(kept)
            done += len(kept)
            continue
        count = min(depth - outstanding, pages - requested)
        if count:
            conn.sendRawBytes(protocol.READ_LINE * count)
            requested += count
            outstanding += count
        received += conn.recvRawBytes(protocol.RECEIVE_SIZE)
    while drain and outstanding:  # the replies to the reads past the end
        if _take_page(received, done) is None:
            received += conn.recvRawBytes(protocol.RECEIVE_SIZE)
        else:
            outstanding -= 1
    return done


def _take_page(received: bytearray, offset: int) -> bytes | None:
    """The data of the page reply at the start of `received`, taken off it; None while it is
    incomplete. `offset`: where the page starts in the memory, for NotAPage."""
    try:
        header = protocol.frame_header(received)
    except protocol.BadFrame as error:
        raise NotAPage(f"the device answered the page read at byte offset {offset} with what is no page "
                       f"({error})") from None
    if header is None:
        return None
    start, length = header
    if length > protocol.LARGEST_PAGE:
        raise NotAPage(f"the device answered the page read at byte offset {offset} with a page of {length} bytes, "
                       f"more than a reply can carry")
    end = start + length
    if len(received) < end + len(protocol.LINE_END):
        return None
    if received[end : end + len(protocol.LINE_END)] != protocol.LINE_END:
        raise NotAPage(f"the device's page at byte offset {offset} does not end its line")
    page = bytes(received[start:end])
    del received[: end + len(protocol.LINE_END)]
    return page
