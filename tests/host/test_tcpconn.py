"""The stand-in device link, exercised against a fake device on 127.0.0.1."""

import socket
import threading

import pytest

from orbisk.VornCommService import _TCPConn
from orbisk.VornUtils import RetCode, _RspType

IO_TIMEOUT = 2.0  # generous bound for anything that should succeed


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


class FakeDevice:
    """Listens on a free port and runs ``script(sock)`` on the first connection."""

    def __init__(self, script):
        self.script = script
        self.stop = threading.Event()  # set at teardown; scripts may wait on it
        self.error = None
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(IO_TIMEOUT)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        try:
            sock, _ = self._listener.accept()
            with sock:
                sock.settimeout(IO_TIMEOUT)
                self.script(sock)
        except Exception as exc:
            if not self.stop.is_set():  # after teardown began, failures are expected
                self.error = exc

    def close(self):
        self.stop.set()
        self._listener.close()
        self._thread.join(IO_TIMEOUT + 1)


@pytest.fixture
def device():
    """Factory: ``device(script)`` starts a fake device, stopped after the test."""
    started = []

    def start(script):
        started.append(FakeDevice(script))
        return started[-1]

    yield start
    for dev in started:
        dev.close()
    for dev in started:
        if dev.error is not None:
            raise dev.error


@pytest.fixture
def connect():
    """Factory: ``connect(port, timeout)`` returns a connected _TCPConn, closed after the test."""
    conns = []

    def make(port, timeout=IO_TIMEOUT):
        conn = _TCPConn("127.0.0.1", port, timeout=timeout)
        conns.append(conn)
        assert conn.initConnection() is True
        return conn

    yield make
    for conn in conns:
        conn.closeConnection()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_command_gets_reply_line(device, connect):
    seen = []

    def script(sock):
        seen.append(recv_exact(sock, len(b"*IDN?\n")))
        sock.sendall(b"OK\r\n")
        seen.append(recv_exact(sock, len("FREQ 28,5 GHz\n")))
        sock.sendall("1.2 µs\n".encode())  # bare LF line end, non-ASCII text

    conn = connect(device(script).port)
    first = conn.sendCmd(b"*IDN?\n", _RspType.RSP_STRING)
    assert (first.RetCode, first.RetData) == (RetCode.OK, "OK")
    assert conn.sendCmd("FREQ 28,5 GHz\n", _RspType.RSP_LIST).RetData == "1.2 µs"
    assert seen == [b"*IDN?\n", b"FREQ 28,5 GHz\n"]


def test_bytes_after_a_line_are_kept_for_the_next_read(device, connect):
    def script(sock):
        recv_exact(sock, 2)
        sock.sendall(b"A\r\nB\r\n#3abc")  # one segment: two replies and raw data
        recv_exact(sock, 2)

    conn = connect(device(script).port)
    assert conn.sendCmd(b"1\n", _RspType.RSP_STRING).RetData == "A"
    assert conn.sendCmd(b"2\n", _RspType.RSP_STRING).RetData == "B"
    assert conn.recvRawBytes(2) == b"#3"
    assert conn.recvRawBytes(1024) == b"abc"


def test_raw_send_and_receive(device, connect):
    block = b"#216" + bytes(range(16)) + b"\r\n"
    seen = []

    def script(sock):
        seen.append(recv_exact(sock, 8))
        sock.sendall(block)

    conn = connect(device(script).port)
    conn.sendRawBytes(b"\x00\xffRAW\r\n\x01")
    assert conn.recvRawBytes(1024) == block
    assert seen == [b"\x00\xffRAW\r\n\x01"]


@pytest.mark.parametrize(
    "address", ["127.0.0.1", "255.255.255.255"], ids=["refused", "unreachable"]
)
def test_unreachable_device_returns_false(address):
    conn = _TCPConn(address, free_port(), timeout=0.2)
    assert conn.initConnection() is False
    with pytest.raises(ConnectionError):
        conn.sendCmd(b"X\n", _RspType.RSP_STRING)


@pytest.mark.parametrize(
    "read",
    [lambda c: c.sendCmd(b"*IDN?\n", _RspType.RSP_STRING), lambda c: c.recvRawBytes(16)],
    ids=["sendCmd", "recvRawBytes"],
)
def test_silent_device_times_out(device, connect, read):
    dev = device(lambda sock: dev.stop.wait(IO_TIMEOUT))
    conn = connect(dev.port, timeout=0.2)
    with pytest.raises(TimeoutError):
        read(conn)


def test_partial_line_then_close_is_a_lost_link(device, connect):
    def script(sock):
        recv_exact(sock, 6)
        sock.sendall(b"PART")  # no line end before closing

    conn = connect(device(script).port)
    with pytest.raises(ConnectionError):
        conn.sendCmd(b"*IDN?\n", _RspType.RSP_STRING)


def test_closed_by_device_raises_on_raw_read(device, connect):
    def script(sock):
        sock.sendall(b"TAIL")

    conn = connect(device(script).port)
    assert conn.recvRawBytes(1024) == b"TAIL"
    with pytest.raises(ConnectionError):
        conn.recvRawBytes(1024)


def assert_not_connected(conn):
    for call in (
        lambda: conn.sendCmd(b"X\n", _RspType.RSP_STRING),
        lambda: conn.sendRawBytes(b"X"),
        lambda: conn.recvRawBytes(1),
    ):
        with pytest.raises(ConnectionError, match="not connected"):
            call()


def test_use_before_connect_or_after_close_raises(device):
    dev = device(lambda sock: dev.stop.wait(IO_TIMEOUT))
    conn = _TCPConn("127.0.0.1", dev.port, timeout=IO_TIMEOUT)
    assert_not_connected(conn)  # construction alone does not connect
    assert conn.initConnection() is True
    conn.closeConnection()
    conn.closeConnection()  # second close is harmless
    assert_not_connected(conn)


def test_receive_after_an_unfinished_exchange_does_not_reopen_the_link(device):
    def script(sock):
        recv_exact(sock, 3)  # a command it never answers
        dev.stop.wait(IO_TIMEOUT)

    dev = device(script)
    conn = _TCPConn("127.0.0.1", dev.port, timeout=0.2)
    assert conn.initConnection() is True
    with pytest.raises(TimeoutError):
        conn.sendCmd(b"X\r\n", _RspType.RSP_STRING)
    with pytest.raises(ConnectionError, match="did not finish"):
        conn.recvRawBytes(16)  # the reply it waited for can no longer come
    conn.closeConnection()
