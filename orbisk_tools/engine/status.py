"""What `status` tells of a device: what it reports through queries that change nothing, beside
its last recorded update, and the flag of an update left unfinished."""

from __future__ import annotations

import dataclasses

from orbisk_tools.engine.advice import transport_failure
from orbisk_tools.engine.connection import device_connection
from orbisk_tools.engine.outcomes import DeviceFailure
from orbisk_tools.engine.site_state import DeviceFacts, read_facts
from orbisk_tools.engine.targets import Target
from orbisk_tools.records.history import UNFINISHED, Attempt, History


@dataclasses.dataclass
class DeviceStatus:
    """One device as `orbisk-fpga status` shows it.

    Attributes:
        address: The device, as "HOST:PORT" or "[IPv6]:PORT".
        reported: What it reports (serial, fpga_id, fpga_version, control_fw_version: None for what it
            did not say); None when it could not be asked.
        problem: Why it could not be asked, and what to do; "" when it was.
        last_attempt: Its newest attempt in the history (a records.history.Attempt), or None.
        last_outcome: How that attempt ended, as the user reads it ("updated", "ended unrecorded", ...).
        unfinished: The flag of a device whose last update erased it and did not load a verified
            image; "" for none.
        image: With an image: "holds", "differs at byte offset N" or "cannot tell: ..."; else None.
    """
    address: str
    reported: DeviceFacts | None = None
    problem: str = ""
    last_attempt: Attempt | None = None
    last_outcome: str = ""
    unfinished: str = ""
    image: str | None = None


def ask(target: Target, addresses: list[str] | DeviceFailure, device_type: int, timeout: float,
        folder: int) -> DeviceStatus:
    """The status of one device, from queries that change nothing, under its lock in `folder`."""
    from orbisk.VornFpga import FpgaTool

    status = DeviceStatus(target.label)
    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            status.reported = read_facts(FpgaTool(conn), device_type)
    except DeviceFailure as failure:
        status.problem = str(failure)
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        status.problem = transport_failure(error, timeout, "while asking the device", "ask it again")
    return status


def add_history(status: DeviceStatus, history: History) -> None:
    """Adds the device's last recorded attempt, and the flag of an unfinished update: the last
    attempt that erased or loaded it (on its serial number when it said it) did not load a
    verified image."""
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
