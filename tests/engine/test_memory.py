"""Reading the configuration memory: page replies however the receives cut them, up to a window of
reads in flight, a short page that ends the memory, and replies that are no page."""

import re
import threading

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.engine.memory import NotAPage, read_pages
from orbisk_tools.formats import protocol
from tests.conftest import FakeConnection


def read(receives, size, depth=4):
    conn = FakeConnection(pages=receives)
    return conn, read_pages(FpgaTool(conn), size, depth, threading.Event())


def test_pages_in_any_receives_a_window_at_a_time_and_a_short_page_ends_the_memory():
    replies = b"".join(protocol.page_reply(bytes([n]) * 16) for n in range(6)) + protocol.page_reply(b"end")
    conn, data = read([replies[:5], replies[5:40], replies[40:100], replies[100:]], 1000)
    assert data == b"".join(bytes([n]) * 16 for n in range(6)) + b"end"
    assert conn.wire[0] == b"FPGA_RST_PAGE_PTR CFG\r\n"
    # Topped up to 4 in flight once a receive leaves no whole reply: after 1, then 3 were taken.
    assert conn.wire[1:] == [protocol.READ_LINE * 4, protocol.READ_LINE, protocol.READ_LINE * 3]

    _, part = read([replies], 20)
    assert part == b"\0" * 16 + b"\1" * 4


@pytest.mark.parametrize("reply, words", [
    (b"ERR not now\r\n", "at byte offset 0 with what is no page (no data frame)"),
    (b"#x16", "no digit count"),
    (b"#41019" + bytes(1019) + b"\r\n", "a page of 1019 bytes, more than a reply can carry"),
    (protocol.page_reply(bytes(16))[:-2] + b"..", "does not end its line"),
])
def test_a_reply_that_is_no_page_is_refused(reply, words):
    with pytest.raises(NotAPage, match=re.escape(words)):
        read([reply], 16, depth=1)
