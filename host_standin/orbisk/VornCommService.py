"""Stand-in for the host SDK module ``VornCommService``: the device TCP link."""

import contextlib
import socket

from .VornUtils import RetType


class _TCPConn:
    """Line-oriented TCP client for one device.

    Replies are read into a buffer, so bytes that arrive after a line end are
    kept for the next ``sendCmd`` or ``recvRawBytes``.
    """

    def __init__(self, address, port=5025, timeout=5.0):
        self.address = address
        self.port = port
        self.timeout = timeout
        self._sock = None
        self._buf = bytearray()

    def initConnection(self):
        """Connect; return True on success, False if the device cannot be reached."""
        self.closeConnection()
        try:
            sock = socket.create_connection((self.address, self.port), timeout=self.timeout)
        except OSError:  # refused, unreachable, unresolvable, timed out
            return False
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._sock = sock
        return True

    def closeConnection(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._buf.clear()

    def sendCmd(self, line, rsp_type):
        """Send ``line`` and return the next reply line (without its line end) as RetData."""
        if isinstance(line, str):
            line = line.encode("utf-8")
        with self._io("sendCmd") as sock:
            sock.sendall(line)
            reply = self._read_line(sock)
        return RetType(data=reply)

    def sendRawBytes(self, data):
        with self._io("sendRawBytes") as sock:
            sock.sendall(data)

    def recvRawBytes(self, size):
        """One receive of at most ``size`` bytes, served from the buffer first."""
        if size < 1:
            raise ValueError(f"size must be at least 1, not {size}")
        with self._io("recvRawBytes") as sock:
            if self._buf:
                data = bytes(self._buf[:size])
                del self._buf[:size]
                return data
            data = sock.recv(size)
            if not data:
                raise ConnectionError(f"{self._peer()} closed the connection")
            return data

    def _read_line(self, sock):
        while (end := self._buf.find(b"\n")) < 0:
            chunk = sock.recv(4096)
            if not chunk:
                raise ConnectionError(f"{self._peer()} closed the connection before replying")
            self._buf += chunk
        line = bytes(self._buf[:end]).removesuffix(b"\r")
        del self._buf[: end + 1]
        return line.decode("utf-8", errors="replace")

    @contextlib.contextmanager
    def _io(self, what):
        """Yield the socket, turning socket failures into TimeoutError / ConnectionError."""
        if self._sock is None:
            raise ConnectionError(f"{what}: not connected to {self._peer()}")
        try:
            yield self._sock
        except TimeoutError:
            raise TimeoutError(f"{what}: no answer from {self._peer()} within {self.timeout} s") from None
        except ConnectionError:
            raise
        except OSError as exc:
            raise ConnectionError(f"{what}: link to {self._peer()} lost: {exc}") from exc

    def _peer(self):
        return f"{self.address}:{self.port}"
