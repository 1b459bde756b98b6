"""Stand-in for the host SDK module ``VornCommService``: the device TCP link."""

import contextlib
import logging
import socket
import time

from .VornUtils import RetType

logger = logging.getLogger(__name__)


# The longest reply line a device may send; a longer one is no reply of this protocol.
MAX_REPLY_LINE = 4096


class ReplyTooLong(ConnectionError):
    """The device sent a reply line longer than ``limit`` bytes; the connection is closed."""

    def __init__(self, limit):
        super().__init__(f"the device sent a reply longer than {limit} bytes")
        self.limit = limit


class _TCPConn:
    """Line-oriented TCP client for one device.

    Replies are read into a buffer, so bytes that arrive after a line end are
    kept for the next ``sendCmd`` or ``recvRawBytes``.

    An exchange that does not finish (a time-out, a lost link, an interrupt, a
    raw command whose reply was never taken) closes the socket: its reply may
    still come, and must not be taken for the next command's. The next exchange
    opens a new socket to the same device.
    """

    def __init__(self, address, port=5025, timeout=5.0):
        self.address = address
        self.port = port
        self.timeout = timeout
        self._sock = None
        self._buf = bytearray()
        self._reopen = False  # the socket was closed after an unfinished exchange
        self._awaiting_raw_reply = False  # sendRawBytes sent a command; recvRawBytes has not taken its reply
        self.last_error = None  # why the last initConnection failed

    @property
    def timeout(self):
        """Seconds to wait to connect and for each receive; setting it applies to the open socket too."""
        return self._timeout

    @timeout.setter
    def timeout(self, seconds):
        self._timeout = seconds
        if getattr(self, "_sock", None) is not None:
            self._sock.settimeout(seconds)

    def initConnection(self):
        """Connect; return True on success, False if the device cannot be reached.

        On failure ``last_error`` keeps the OSError that says why (refused, unreachable,
        unresolvable, timed out); a success sets it to None."""
        self.closeConnection()
        self.last_error = None
        try:
            self._sock = self._connect()
        except OSError as error:
            self.last_error = error
            return False
        return True

    def closeConnection(self):
        self._close_socket()
        self._reopen = False

    def sendCmd(self, line, rsp_type):
        """Send ``line`` and return the next reply line (without its line end) as RetData."""
        if isinstance(line, str):
            line = line.encode("utf-8")
        with self._io("sendCmd", new_exchange=True) as sock:
            sock.sendall(line)
            reply = self._read_line(sock)
        return RetType(data=reply)

    def sendRawBytes(self, data):
        with self._io("sendRawBytes", new_exchange=True) as sock:
            sock.sendall(data)
        self._awaiting_raw_reply = True

    def recvRawBytes(self, size):
        """One receive of at most ``size`` bytes, served from the buffer first."""
        if size < 1:
            raise ValueError(f"size must be at least 1, not {size}")
        with self._io("recvRawBytes", new_exchange=False) as sock:
            if self._buf:
                data = bytes(self._buf[:size])
                del self._buf[:size]
            else:
                data = sock.recv(size)
                if not data:
                    raise ConnectionError(f"{self._peer()} closed the connection")
        self._awaiting_raw_reply = False
        return data

    def _read_line(self, sock):
        """The next reply line; the time-out bounds the whole reply, MAX_REPLY_LINE its size."""
        deadline = None if self.timeout is None else time.monotonic() + self.timeout
        try:
            while (end := self._buf.find(b"\n", 0, MAX_REPLY_LINE + 1)) < 0:
                if len(self._buf) > MAX_REPLY_LINE:
                    raise ReplyTooLong(MAX_REPLY_LINE)
                if deadline is not None:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise TimeoutError("timed out")
                    sock.settimeout(left)
                chunk = sock.recv(4096)
                if not chunk:
                    raise ConnectionError(f"{self._peer()} closed the connection before replying")
                self._buf += chunk
        finally:
            if self._sock is sock:
                sock.settimeout(self.timeout)
        line = bytes(self._buf[:end]).removesuffix(b"\r")
        del self._buf[: end + 1]
        return line.decode("utf-8", errors="replace")

    @contextlib.contextmanager
    def _io(self, what, new_exchange):
        """Yield the socket, turning socket failures into TimeoutError / ConnectionError.

        Whatever ends the exchange early closes the socket (see the class)."""
        if new_exchange and self._awaiting_raw_reply:
            self._drop()
        if self._sock is None:
            if not self._reopen:
                raise _unsent(ConnectionError(f"{what}: not connected to {self._peer()}"))
            if not new_exchange:  # a new socket holds no reply to what was sent before
                raise _unsent(ConnectionError(f"{what}: the link to {self._peer()} was closed when an exchange did "
                                              "not finish"))
            self._reconnect(what)
        try:
            yield self._sock
        except TimeoutError:
            self._drop()
            raise TimeoutError(f"{what}: no answer from {self._peer()} within {self.timeout} s") from None
        except ConnectionError:
            self._drop()
            raise
        except OSError as exc:
            self._drop()
            raise ConnectionError(f"{what}: link to {self._peer()} lost: {exc}") from exc
        except BaseException:  # an interrupt
            self._drop()
            raise

    def _connect(self):
        sock = socket.create_connection((self.address, self.port), timeout=self.timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock

    def _reconnect(self, what):
        try:
            self._sock = self._connect()
        except OSError as exc:
            raise ConnectionError(f"{what}: cannot reconnect to {self._peer()}: {exc}") from exc
        self._reopen = False
        logger.info("Reconnected to %s: the previous exchange did not finish", self._peer())

    def _drop(self):
        self._close_socket()
        self._reopen = True

    def _close_socket(self):
        sock, self._sock = self._sock, None  # taken first: a thread woken below may close it too
        if sock is not None:
            with contextlib.suppress(OSError):  # wakes a thread that still waits on it
                sock.shutdown(socket.SHUT_RDWR)
            sock.close()
        self._buf.clear()
        self._awaiting_raw_reply = False

    def _peer(self):
        return f"{self.address}:{self.port}"


def _unsent(error):
    """`error`, marked as raised before anything was sent (its `sent` is False)."""
    error.sent = False
    return error
