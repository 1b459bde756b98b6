"""One more try of an update whose replies went missing with commands in flight: whether it may
run, and with how many commands in flight, after a new connection and the probe's test asked again."""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING

from orbisk_tools.engine import window
from orbisk_tools.engine.advice import PHASE_WORDS, device_advice
from orbisk_tools.engine.connection import why_not_connected
from orbisk_tools.engine.outcomes import DeviceFailure, DeviceState, Phase, Reason

if TYPE_CHECKING:
    from orbisk.VornCommService import _TCPConn
    from orbisk.VornFpga import UpdateOutcome

    from orbisk_tools.engine.api import View
    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.targets import Target


def may_try_again(settings: Settings, stop: threading.Event, outcome: UpdateOutcome | None) -> bool:
    """Whether an update that failed with commands in flight, as `outcome` says, may run once more:
    the window was the tool's choice, and replies went missing before anything was loaded."""
    return (settings.window is None and outcome is not None and outcome.pipeline_depth > 1
            and outcome.reason in (Reason.TIMEOUT, Reason.CONNECTION_LOST, Reason.READBACK_NOT_DATA)
            and outcome.device_state == DeviceState.ERASED.value and not stop.is_set())


def depth_to_try_again(target: Target, settings: Settings, view: View, conn: _TCPConn, ended: UpdateOutcome,
                       depth: int, read_back: int) -> int:
    """After an update with `depth` commands in flight ended as `ended` said: a new connection, on
    which no reply of the old one can arrive, and the probe's test asked again. Says what happened
    and what comes next; returns `depth`, or 1 when the device now shows that it takes one command
    per read. A passing fault says nothing of the device's window; a device that stopped answering
    fails here, after its time-out, as the first try did. `read_back`: the bytes read back so far."""
    conn.closeConnection()
    if not conn.initConnection():
        cause, why = why_not_connected(target, settings.timeout, 0)
        raise DeviceFailure(f"cannot connect again: {why}; {device_advice(ended)}", Reason.CANNOT_CONNECT,
                            {"cause": cause, "why": why})
    if window.probe_pipeline_depth(conn) == 1:
        depth, next_step = 1, window.ONE_AT_A_TIME
    else:
        next_step = f"trying once more with {depth} commands in flight"
    view.note(f"{target.label}: {what_happened(settings, ended, read_back)}; {next_step}")
    return depth


def what_happened(settings: Settings, ended: UpdateOutcome, read_back: int) -> str:
    """The fault that ended an update with commands in flight, and where, in a few words."""
    if ended.phase == Phase.WRITE.value:
        where = f"at byte {ended.bytes_written}"
    elif ended.phase == Phase.VERIFY.value:
        where = f"at byte {ended.details.get('offset', read_back)} of the read-back"
    else:
        where = PHASE_WORDS.get(ended.phase, f"in phase {ended.phase}")
    if ended.reason == Reason.TIMEOUT:
        return f"no answer within {settings.timeout:g} s {where}"
    if ended.reason == Reason.CONNECTION_LOST:
        return f"connection lost {where}"
    return f"a read-back reply that is not data {where}"
