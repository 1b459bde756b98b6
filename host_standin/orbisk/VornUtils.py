"""Stand-in for the host SDK module ``VornUtils``: versions and result objects."""

import enum
import functools
import re

from .VornPublic import RetCode

__all__ = ["RetCode", "VER", "RetType"]

_VERSION_RE = re.compile(r"[0-9]+(?:\.[0-9]+)*")


@functools.total_ordering
class VER:
    """A dotted version such as ``0.1.0.6``, compared field by field.

    Missing trailing fields count as 0, so ``1.2 == 1.2.0``.
    """

    def __init__(self, text):
        if not isinstance(text, str):
            raise TypeError(f"version must be a str, not {type(text).__name__}")
        text = text.strip()
        if not _VERSION_RE.fullmatch(text):
            raise ValueError(f"not a version (expected dotted integers like '0.1.0.6'): {text!r}")
        self._text = text
        self._fields = tuple(int(f) for f in text.split("."))

    def _key(self):
        # trailing zeros dropped so equal versions compare and hash alike
        fields = list(self._fields)
        while fields and fields[-1] == 0:
            fields.pop()
        return tuple(fields)

    def __eq__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._key() == other._key()

    def __lt__(self, other):
        if not isinstance(other, VER):
            return NotImplemented
        return self._key() < other._key()

    def __hash__(self):
        return hash(self._key())

    def __str__(self):
        return self._text

    def __repr__(self):
        return f"VER({self._text!r})"


class _RspType(enum.Enum):
    """How a device reply is to be read."""

    RSP_LIST = 0
    RSP_STRING = 1


class RetType:
    """Result of an SDK call: a return code, a message and optional data."""

    def __init__(self, code=RetCode.OK, message="", data=None):
        self.RetCode = code
        self.RetMsg = message
        self.RetData = data

    def __repr__(self):
        return f"RetType({self.RetCode}, {self.RetMsg!r}, data={self.RetData!r})"
