"""The configuration memory of a device, read as it is: the page pointer reset, then one page read
per 16 bytes, up to a window of them in flight, as the FPGA module's read-back keeps them. Nothing
that erases, writes or loads is sent."""

from __future__ import annotations

import threading
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
    conn = tool._conn
    tool._fpgaRstPagePtr(b"CFG")
    pages = -(-size // protocol.BLOCK_SIZE)
    memory, received = bytearray(), bytearray()
    requested = outstanding = 0
    while len(memory) < size:
        if stop.is_set():
            return None
        page = _take_page(received, len(memory))
        if page is None:
            count = min(depth - outstanding, pages - requested)
            if count:
                conn.sendRawBytes(protocol.READ_LINE * count)
                requested += count
                outstanding += count
            received += conn.recvRawBytes(protocol.RECEIVE_SIZE)
            continue
        outstanding -= 1
        memory += page
        if len(page) < protocol.BLOCK_SIZE:
            break  # the memory ends here; the replies still in flight go with the connection
    return bytes(memory[:size])


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
