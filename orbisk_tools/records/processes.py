"""Whether the process that recorded an attempt in the update history still runs: a row that says
"running" whose process is gone ended without recording how."""

from __future__ import annotations

import os
import socket
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from orbisk_tools.records.attempts import Attempt


def _stat(pid: int) -> tuple[str, str] | tuple[None, None]:
    """(state, start) of process `pid`: its state letter ("Z" for a process that ended and was
    not yet reaped) and when it started, in clock ticks since boot (tells a reused pid apart);
    (None, None) when /proc does not say."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as status:
            fields = status.read().rpartition(b")")[2].split()
        return fields[0].decode(), fields[19].decode()
    except (OSError, IndexError):
        return None, None


def start_time(pid: int) -> str | None:
    """When process `pid` started, in clock ticks since boot; None when /proc does not say."""
    return _stat(pid)[1]


def recorded_here(attempt: Attempt) -> bool:
    """Whether `attempt` was recorded on this computer."""
    return attempt.operator_host == socket.gethostname()


def alive(attempt: Attempt) -> bool:
    """Whether the process that recorded `attempt` still runs (not known on another host: no)."""
    if not recorded_here(attempt):
        return False
    try:
        os.kill(attempt.pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass  # another user's process
    state, started = _stat(attempt.pid)
    if state in ("Z", "X"):  # killed, and not yet reaped by its parent
        return False
    return attempt.process_start is None or started is None or started == attempt.process_start
