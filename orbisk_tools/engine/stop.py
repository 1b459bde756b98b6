"""What stops the devices of a run after their current exchange, and why."""

from __future__ import annotations

import threading
from typing import Protocol


class Token(Protocol):
    """A caller's cancel token: anything with is_set()."""

    def is_set(self) -> bool: ...


class Stop(threading.Event):
    """Set to stop every device after its current exchange; `cause` says why, first come:
    INTERRUPT (Ctrl-C, SIGTERM, or a KeyboardInterrupt of a progress callback) or CANCEL (the
    caller's cancel token)."""
    INTERRUPT, CANCEL = "interrupt", "cancel"
    cause: str | None = None

    def __init__(self, cancel: Token | None = None):
        """`cancel`: the caller's token (anything with is_set()), looked at with every is_set()."""
        super().__init__()
        self._cancel = cancel

    def is_set(self) -> bool:
        if not super().is_set() and self._cancel is not None and self._cancel.is_set():
            self.stop(self.CANCEL)
        return super().is_set()

    def stop(self, cause: str) -> None:
        if self.cause is None:
            self.cause = cause
        self.set()


def stop(event: threading.Event, cause: str) -> None:
    """Sets `event`, a Stop with `cause` or a plain threading.Event."""
    if isinstance(event, Stop):
        event.stop(cause)
    else:
        event.set()
