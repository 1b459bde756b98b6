# Type stubs of the extension module orbisk.VornFpga.
import hashlib as hashlib
import hmac as hmac
import json as json
import logging as logging
import os
import struct as struct
import sys as sys
import time as time
from pathlib import Path as Path
from collections.abc import Mapping
from types import TracebackType
from typing import Any, Callable, Literal, Optional as Optional, Protocol, Self, Union as Union, overload, type_check_only

from .VornPublic import RetCode as RetCode
from .VornUtils import VER as VER, RetType as RetType, _RspType as RspType

logger: logging.Logger
_RECV_SIZE: int
_FPGA_FW_VER_MIN: str
_FPGA_VER_MIN_DEV28: str
_FPGA_VER_MIN_DEV32: str
_DEVICE_WHITELIST: list[int]
_REASON_KEYS: tuple[str, ...]
_PHASES: tuple[str, ...]
_DEVICE_STATES: tuple[str, ...]
_DEVICE_TYPES: Mapping[int, Mapping[str, str | bool]]

@type_check_only
class DevConnection(Protocol):
    """What FpgaTool asks of a connection it is lent, as _TCPConn of orbisk.VornCommService offers it.

    sendCmd sends a command line (bytes ending in CR LF) and returns a result whose RetData is
    the reply text; sendRawBytes sends bytes; recvRawBytes returns at most `size` bytes received.
    """

    def sendCmd(self, line: bytes, rsp_type: RspType, /) -> RetType: ...
    def sendRawBytes(self, data: bytes, /) -> object: ...
    def recvRawBytes(self, size: int, /) -> bytes: ...
    def closeConnection(self) -> object: ...

class UpdateOutcome:
    """How the last processFpgaUpdate, verifyFpgaImage, _checkUpdateFile or _checkFileHeader call ended."""

    ok: bool
    reason: Optional[str]
    details: dict[str, Any]
    message: str
    phase: Literal["check", "erase", "write", "verify", "load", "version", "done"]
    bytes_written: int
    device_state: Literal["untouched", "erased", "written", "loaded"]
    pipeline_depth: int
    def __init__(
        self,
        ok: bool,
        reason: Optional[str],
        details: dict[str, Any],
        message: str,
        phase: Literal["check", "erase", "write", "verify", "load", "version", "done"],
        bytes_written: int,
        device_state: Literal["untouched", "erased", "written", "loaded"],
        pipeline_depth: int,
    ) -> None: ...

class FpgaConnectError(ConnectionError):
    """The tool could not connect to its device: "Cannot connect to ADDRESS:PORT"."""

    reason: Optional[Literal["connection_refused", "timeout", "name_not_found", "unreachable"]]

class FpgaTool:
    _conn: DevConnection
    _owns_conn: bool
    progress_callback: Optional[Callable[[str, int, int], object]]
    last_outcome: Optional[UpdateOutcome]
    console_progress: bool
    @property
    def pipeline_depth(self) -> int:
        """Commands an update keeps in flight: an int from 1 to 1024, 1 unless set."""
    @pipeline_depth.setter
    def pipeline_depth(self, value: int) -> None: ...
    @pipeline_depth.deleter
    def pipeline_depth(self) -> None: ...
    def __init__(
        self,
        connection: Optional[DevConnection] = None,
        address: Optional[str] = None,
        port: int = 5025,
        timeout: Optional[float] = None,
    ) -> None:
        """Initialize the FPGA tool.

        Args:
            connection: An existing DevConnection (e.g. _TCPConn) instance.
            address: IP address of the device. Creates a new TCP connection if provided.
            port: TCP port number (default 5025).
            timeout: Seconds that the connection the tool opens waits to connect and for each
                reply; None keeps the connection's own (5 seconds for _TCPConn).
        """
    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024, isdecode: Literal[True] = True) -> str: ...
    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024, *, isdecode: Literal[False]) -> bytes: ...
    @overload
    def _getRecv(self, log_print: bool, size: int, isdecode: Literal[False]) -> bytes: ...
    @overload
    def _getRecv(self, log_print: bool = False, size: int = 1024, isdecode: bool = True) -> str | bytes: ...
    @overload
    def _sendCmd(
        self, cmd: bytes | str, log_print: bool = False, size: int = 1024, isdecode: Literal[True] = True
    ) -> str: ...
    @overload
    def _sendCmd(self, cmd: bytes | str, log_print: bool = False, size: int = 1024, *, isdecode: Literal[False]) -> bytes: ...
    @overload
    def _sendCmd(self, cmd: bytes | str, log_print: bool, size: int, isdecode: Literal[False]) -> bytes: ...
    @overload
    def _sendCmd(
        self, cmd: bytes | str, log_print: bool = False, size: int = 1024, isdecode: bool = True
    ) -> str | bytes: ...
    def _fpgaCtrlInit(self) -> str: ...
    def _fpgaGetId(self) -> str: ...
    def _fpgaGetVersion(self) -> str: ...
    def _fpgaCfgMode(self, mode: bytes | str | int) -> str: ...
    def _fpgaErase(self, erase_bits: bytes | str | int) -> str: ...
    def _fpgaRstPagePtr(self, section: bytes | str | int) -> str: ...
    def _fpgaProgram(self, data_block: bytes | bytearray | memoryview) -> bool: ...
    def _fpgaRead(self) -> bytes: ...
    def _fpgaDone(self) -> str: ...
    def _fpgaRefresh(self) -> str: ...
    def _fpgaGetInfo(self) -> str: ...
    def _fpgaGetControlFwVer(self) -> str: ...
    def _fpgaGetSerialNumber(self) -> str: ...
    def _fpgaProgramFile(self, image_path: str, device_type: int = 28) -> bool: ...
    def _checkControlFwVersion(self) -> bool: ...
    def _checkUpdateFile(self, image_path: str | os.PathLike[str]) -> bool: ...
    def _checkFileHeader(self, image_path: str | os.PathLike[str]) -> bool: ...
    def initFpga(self, device_type: int, disable_fw_check: bool = False) -> RetType: ...
    def set_progress_callback(self, callback: Optional[Callable[[str, int, int], object]]) -> None: ...
    def processFpgaUpdate(self, image_path: str | os.PathLike[str] | None = None, device_type: int = 32) -> RetType: ...
    def verifyFpgaImage(
        self, image_path: str | os.PathLike[str] | None = None, device_type: int = 32, load: bool = False
    ) -> RetType: ...
    def deleteTempFile(self) -> None: ...
    def disconnect(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
