# Type stubs of the stand-in host module orbisk.VornUtils.
import enum
from typing import Any

from .VornPublic import RetCode as RetCode
from .VornPublic import RetCode as _RetCode  # the class, where the attribute RetCode hides it

__all__ = ["RetCode", "VER", "RetType"]

class VER:
    """A dotted version such as ``0.1.0.6``, compared field by field."""

    def __init__(self, text: str) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __lt__(self, other: VER) -> bool: ...
    def __le__(self, other: VER) -> bool: ...
    def __gt__(self, other: VER) -> bool: ...
    def __ge__(self, other: VER) -> bool: ...
    def __hash__(self) -> int: ...

class _RspType(enum.Enum):
    """How a device reply is to be read."""

    RSP_LIST = 0
    RSP_STRING = 1

class RetType:
    """Result of an SDK call: a return code, a message and optional data."""

    RetCode: _RetCode
    RetMsg: str
    RetData: Any
    def __init__(self, code: _RetCode = ..., message: str = "", data: Any = None) -> None: ...
