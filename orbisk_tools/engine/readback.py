"""Whether a device holds exactly an image, from its read-back: under the device's lock, sending
nothing that erases, writes or loads."""

from __future__ import annotations

import time

from orbisk_tools.engine import window as windows
from orbisk_tools.engine.advice import exception_reason, transport_failure
from orbisk_tools.engine.connection import device_connection
from orbisk_tools.engine.outcomes import DeviceFailure, Outcome, Phase, Reason, Result, known
from orbisk_tools.engine.targets import Target


def read_back(target: Target, addresses: list[str] | DeviceFailure, image: str, device_type: int, timeout: float,
              window: int | None, folder: int) -> Outcome:
    """The verdict on one device, as an Outcome: Result.HOLDS ("holds"), Result.DIFFERS ("differs
    at byte offset N", the reason and offset of the module's read-back), or Result.FAILED when it
    cannot tell (the message says why, and what to do). `window`: commands in flight, None to learn
    them from the device; `folder`: the open lock folder."""
    from orbisk.VornFpga import FpgaTool

    outcome = Outcome(target.label, phase=Phase.CONNECT)
    start = time.monotonic()
    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            tool = FpgaTool(conn)
            tool.console_progress = False
            outcome.phase = Phase.PROBE
            tool.pipeline_depth = outcome.window = window or windows.probe_pipeline_depth(conn)
            outcome.phase = Phase.VERIFY
            result = tool.verifyFpgaImage(image, device_type)
    except DeviceFailure as failure:
        outcome.message, outcome.reason, outcome.details = str(failure), failure.reason, failure.details
        outcome.error = failure.__cause__
        return outcome
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        outcome.message = transport_failure(error, timeout, "while reading the device back", "verify it again")
        outcome.reason, outcome.error = exception_reason(error), error
        outcome.details = {"error": type(error).__name__, "text": str(error)}
        return outcome
    finally:
        outcome.seconds = outcome.read_back_seconds = time.monotonic() - start
    ended = tool.last_outcome
    outcome.phase = known(Phase, ended.phase)
    data = result.RetData or {}
    if data.get("holds"):
        outcome.result, outcome.message = Result.HOLDS, "holds"
        return outcome
    outcome.reason, outcome.details = known(Reason, ended.reason), ended.details
    if data.get("offset") is not None:
        outcome.result, outcome.message = Result.DIFFERS, f"differs at byte offset {data['offset']}"
    else:
        outcome.message = f"the device refused the read-back ({result.RetMsg}); check the image and the device type"
    return outcome
