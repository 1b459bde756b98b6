"""The connection to one device: locked, opened, diagnosed when it fails, and patient with the
erase, which a device may answer only once its configuration memory is erased."""

from __future__ import annotations

import contextlib
import errno
import socket
import threading
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.locks import device_lock
from orbisk_tools.engine.outcomes import DeviceFailure, Reason
from orbisk_tools.formats import protocol
from orbisk_tools.wording import named

if TYPE_CHECKING:
    from orbisk.VornCommService import _TCPConn
    from orbisk.VornUtils import RetType, _RspType

    from orbisk_tools.engine.targets import Target


def why_not_connected(target: Target, timeout: float, waited: float) -> tuple[str, str]:
    """(cause, why) of a connection to `target` that failed after `waited` seconds: the cause as
    the FPGA module's FpgaConnectError names it ("connection_refused", "timeout", "name_not_found",
    "unreachable"; else "error"), and why in words, with what to do. One that took the whole
    time-out timed out; a quicker failure is tried once more, within what is left of the
    time-out, to learn its reason."""
    if waited < timeout:
        start = time.monotonic()
        try:
            socket.create_connection((target.host, target.port), timeout=timeout - waited).close()
        except ConnectionRefusedError:
            return "connection_refused", (f"connection refused: nothing listens on port {target.port}; check the "
                                          "address, the port and the device")
        except TimeoutError:
            waited += time.monotonic() - start
        except socket.gaierror as error:
            return "name_not_found", f"name not found ({error.strerror}); check the address"
        except OSError as error:
            if error.errno in (errno.EHOSTUNREACH, errno.ENETUNREACH):
                return "unreachable", "no route to the device; check the address and the network"
            return "error", f"{error.strerror or error}; check the address and the network"
        else:
            return "error", "the first attempt failed, the second worked; run the command again"
    return "timeout", (f"timed out after {waited:.1f} s; check the address and the network, or give a longer "
                       f"{named('timeout')}")


def cannot_connect(cause: str, why: str) -> DeviceFailure:
    return DeviceFailure(say(Reason.CANNOT_CONNECT, why=why), Reason.CANNOT_CONNECT, {"cause": cause, "why": why})


@contextlib.contextmanager
def device_connection(target: Target, addresses: list[str] | DeviceFailure, timeout: float,
                      folder: int) -> Iterator[_TCPConn]:
    """A locked, open _TCPConn to `target`, whose name resolved to `addresses` (or to a
    DeviceFailure), closed at the end; locks in `folder`. Raises DeviceFailure."""
    from orbisk.VornCommService import _TCPConn

    if isinstance(addresses, DeviceFailure):
        raise addresses
    with device_lock(folder, addresses, target.port):
        conn = _TCPConn(target.host, target.port, timeout=timeout)
        start = time.monotonic()
        if not conn.initConnection():
            raise cannot_connect(*why_not_connected(target, timeout, time.monotonic() - start)) \
                from getattr(conn, "last_error", None)
        try:
            yield conn
        finally:
            conn.closeConnection()


class PatientErase:
    """A device connection that waits `erase_timeout` seconds for the answer to the erase, which a
    device may give only once its configuration memory is erased, and its own time-out for the rest.
    stop_waiting() ends that wait at once: the erase then raises KeyboardInterrupt, the device erased."""

    def __init__(self, conn: _TCPConn, erase_timeout: float):
        self._conn, self.erase_timeout = conn, erase_timeout
        self.erasing = False  # the erase is sent and not answered
        self.erase_started = 0.0  # monotonic time the erase was sent
        self._stop_waiting = threading.Event()
        self._exchange: threading.Thread | None = None  # the thread of the erase's exchange, once sent

    def __getattr__(self, name: str) -> Any:  # the connection's own
        return getattr(self._conn, name)

    def stop_waiting(self) -> None:
        self._stop_waiting.set()

    def settle(self, seconds: float) -> None:
        """Waits up to `seconds` for an erase that stop_waiting() left to end, once the connection
        is closed (a closed connection normally ends it at once)."""
        if self._exchange is not None:
            self._exchange.join(seconds)

    def sendCmd(self, line: bytes | str, rsp_type: _RspType) -> RetType:
        text = line.decode("utf-8", "replace") if isinstance(line, (bytes, bytearray)) else str(line)
        if not text.startswith(protocol.FPGA_ERASE):
            return self._conn.sendCmd(line, rsp_type)
        usual, self._conn.timeout = self._conn.timeout, self.erase_timeout
        self.erasing, self.erase_started = True, time.monotonic()
        reply = self._erase(line, rsp_type)  # raises when it ends otherwise: the connection is then closed
        self._conn.timeout = usual
        self.erasing = False
        return reply

    def _erase(self, line: bytes | str, rsp_type: _RspType) -> RetType:
        """The host connection's sendCmd of the erase, in a thread of its own, so that this thread
        can stop waiting for a device that may take minutes to answer."""
        answered = threading.Event()
        answer: list[RetType | BaseException] = []  # the reply, or the exception that ended the exchange

        def exchange() -> None:
            try:
                answer.append(self._conn.sendCmd(line, rsp_type))
            except BaseException as error:  # handed to the waiting thread
                answer.append(error)
            finally:
                answered.set()

        self._exchange = threading.Thread(target=exchange, name="erase", daemon=True)
        self._exchange.start()
        while not answered.wait(0.1):
            if self._stop_waiting.is_set():
                raise KeyboardInterrupt
        value, = answer
        if isinstance(value, BaseException):
            raise value
        return value
