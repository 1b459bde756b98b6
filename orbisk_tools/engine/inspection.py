"""Read-only work on devices, each under its lock: what a device reports about itself, whether it
holds exactly an image (from its read-back), and a site's status beside the update history.
Nothing that changes a device is sent. Ctrl-C stops every device after its current exchange, and
the call then raises KeyboardInterrupt."""

import dataclasses
import os
import threading

from orbisk_tools.engine.advice import transport_failure
from orbisk_tools.engine.connection import device_connection
from orbisk_tools.engine.outcomes import DeviceFailure
from orbisk_tools.engine.runner import for_each_device
from orbisk_tools.engine.site_state import DeviceFacts, read_facts

HOLDS = "holds"  # the verdict on a device that holds exactly the image


@dataclasses.dataclass
class DeviceStatus:
    address: str
    reported: DeviceFacts | None = None  # None when the device could not be asked
    problem: str = ""  # why it could not be asked
    last_attempt: object = None  # the newest recorded history.Attempt, or None
    last_outcome: str = ""  # its outcome as the user reads it
    unfinished: str = ""  # the flag of a device left without a verified image
    image: str | None = None  # with an image: its verdict (see verdict())


def verdicts(resolved, image, device_type, timeout, window, jobs, folder):
    """The verdict() on each device of `resolved` (see resolve()), in order, `jobs` at a time."""
    return _each_device(resolved, jobs, lambda target, addresses, stop: verdict(
        target, addresses, image, device_type, timeout, window, folder, stop))


def verdict(target, addresses, image, device_type, timeout, window, folder, stop):
    """"holds", "differs at byte offset N" or "cannot tell: <why, and what to do>" for one device,
    from a read-back under the device's lock with `window` commands in flight (None: as the link
    needs); None when `stop` was set before the read-back ended."""
    from orbisk.VornFpga import FpgaTool

    from orbisk_tools.engine import window as windows

    def progress(stage, current, total):
        if stop.is_set():
            raise KeyboardInterrupt

    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            if stop.is_set():
                return None
            tool = FpgaTool(conn)
            tool.console_progress = False
            tool.set_progress_callback(progress)
            tool.pipeline_depth = window or windows.probe_pipeline_depth(conn)
            result = tool.verifyFpgaImage(image, device_type)
    except KeyboardInterrupt:  # from the progress callback
        return None
    except DeviceFailure as failure:
        return f"cannot tell: {failure}"
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        return "cannot tell: " + transport_failure(error, timeout, "while reading the device back", "verify it again")
    data = result.RetData or {}
    if data.get("holds"):
        return HOLDS
    if data.get("offset") is not None:
        return f"differs at byte offset {data['offset']}"
    return f"cannot tell: the device refused the read-back ({result.RetMsg}); check the image and the device type"


def site_status(resolved, history_path, device_type, timeout, jobs, folder, image=None):
    """The DeviceStatus of each device of `resolved`, in order: what it reports, with `image` the
    verdict on it, and its last attempt in the history at `history_path` if there is one (reading
    must not create it). Raises HistoryUnavailable."""
    from orbisk_tools.records.history import History

    history = History.open(history_path) if os.path.exists(history_path) else None
    try:
        statuses = _each_device(resolved, jobs, lambda target, addresses, stop: device_status(
            target, addresses, device_type, timeout, folder, stop))
        if image is not None:
            for status, said in zip(statuses, verdicts(resolved, image, device_type, timeout, None, jobs, folder)):
                status.image = said
        if history is not None:
            for status in statuses:
                add_history(status, history)
    finally:
        if history is not None:
            history.close()
    return statuses


def device_status(target, addresses, device_type, timeout, folder, stop):
    """The status of one device, from queries that change nothing; None when `stop` was set first."""
    from orbisk.VornFpga import FpgaTool

    status = DeviceStatus(target.label)
    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            if stop.is_set():
                return None
            status.reported = read_facts(FpgaTool(conn), device_type)
    except DeviceFailure as failure:
        status.problem = str(failure)
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        status.problem = transport_failure(error, timeout, "while asking the device", "ask it again")
    return status


def add_history(status, history):
    """Adds the device's last recorded attempt, and the flag of an unfinished update: the last
    attempt that erased or loaded it (on its serial number when it said it) did not load a
    verified image."""
    from orbisk_tools.records.history import UNFINISHED

    serial = status.reported.serial if status.reported else None
    last = history.last_attempt(serial=serial) if serial else None
    status.last_attempt = last or history.last_attempt(address=status.address)
    if status.last_attempt is not None:
        status.last_outcome = history.outcome_as_read(status.last_attempt)
    change = history.last_change(serial=serial) if serial else None
    if change is None:  # a change recorded without a serial number, at this address, may be this device's
        at_address = history.last_change(address=status.address)
        if at_address is not None and (serial is None or at_address.serial is None):
            change = at_address
    if change is not None and history.unfinished(change):
        status.unfinished = UNFINISHED.format(time=change.started)


def _each_device(resolved, jobs, work):
    """work(target, addresses, stop) for each device, through for_each_device(); KeyboardInterrupt
    once every device stopped, after Ctrl-C."""
    stop = threading.Event()
    found = for_each_device(resolved, lambda target, addresses: work(target, addresses, stop), jobs, stop)
    if stop.is_set():
        raise KeyboardInterrupt
    return found
