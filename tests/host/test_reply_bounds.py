"""The stand-in connection bounds a reply line in size and in time."""

import socket
import threading

import pytest

from orbisk.VornCommService import MAX_REPLY_LINE, ReplyTooLong, _TCPConn


def serve(send):
    server = socket.create_server(("127.0.0.1", 0))
    def run():
        peer, _ = server.accept()
        with peer:
            peer.recv(100)
            try:
                send(peer)
            except OSError:
                pass
        server.close()
    threading.Thread(target=run, daemon=True).start()
    return server.getsockname()[1]


def test_an_endless_reply_line_is_refused_past_the_limit():
    port = serve(lambda peer: [peer.sendall(b"x" * 65536) for _ in range(1600)])  # 100 MB, no line end
    conn = _TCPConn("127.0.0.1", port, timeout=5.0)
    conn.initConnection()
    with pytest.raises(ReplyTooLong, match=f"longer than {MAX_REPLY_LINE} bytes") as raised:
        conn.sendCmd(b"FPGA_ERASE 12\r\n", 0)
    assert raised.value.limit == MAX_REPLY_LINE and isinstance(raised.value, ConnectionError)
    conn.closeConnection()


def test_a_trickling_reply_ends_at_the_deadline():
    stop = threading.Event()
    def trickle(peer):
        while not stop.wait(0.05):
            peer.sendall(b"x")
    port = serve(trickle)
    conn = _TCPConn("127.0.0.1", port, timeout=0.5)
    conn.initConnection()
    try:
        with pytest.raises(TimeoutError):
            conn.sendCmd(b"FPGA_ERASE 12\r\n", 0)
    finally:
        stop.set()
        conn.closeConnection()
