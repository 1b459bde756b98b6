# Type stubs of the stand-in host module orbisk.VornCommService.
import logging

from .VornUtils import RetType, _RspType

logger: logging.Logger
MAX_REPLY_LINE: int

class ReplyTooLong(ConnectionError):
    """The device sent a reply line longer than ``limit`` bytes; the connection is closed."""

    limit: int
    def __init__(self, limit: int) -> None: ...

class _TCPConn:
    """Line-oriented TCP client for one device."""

    address: str
    port: int
    last_error: OSError | None
    def __init__(self, address: str, port: int = 5025, timeout: float | None = 5.0) -> None: ...
    @property
    def timeout(self) -> float | None:
        """Seconds to wait to connect and for each receive; setting it applies to the open socket too."""
    @timeout.setter
    def timeout(self, seconds: float | None) -> None: ...
    def initConnection(self) -> bool: ...
    def closeConnection(self) -> None: ...
    def sendCmd(self, line: bytes | str, rsp_type: _RspType) -> RetType: ...
    def sendRawBytes(self, data: bytes) -> None: ...
    def recvRawBytes(self, size: int) -> bytes: ...
