"""How the update of a device ended, as the tools report and record it."""

import dataclasses


class DeviceFailure(Exception):
    """A device could not be updated or initialised; the message says why and what to do."""


class ImageRefused(Exception):
    """The image would not pass the update's checks; the message says why and what to do."""


SUCCEEDED = ("updated", "skipped", "dry run")  # the results of devices that need nothing more


@dataclasses.dataclass
class Outcome:
    address: str
    result: str = "failed"  # "updated", "failed", "interrupted", "skipped", "dry run" or "not started"
    message: str = ""  # why it failed, and what to do
    fpga_version: str = ""
    fpga_version_before: str = ""
    serial: str = ""
    bytes_written: int = 0  # what the device acknowledged of the update that ran last
    seconds: float = 0.0  # the whole update, from connecting to loading
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    reason: str | None = None  # the reason key of the module's UpdateOutcome, and its details
    details: dict = dataclasses.field(default_factory=dict)
    phase: str | None = None  # where it ended: a phase of the UpdateOutcome, or "connect"; None: not started
    device_state: str = "untouched"  # what the device was left holding: "untouched", "erased" or "loaded"
    window: int = 0  # the commands in flight of the update that ran last; 0: none ran
    history_error: str = ""  # why the history could not record how this update went (it went on all the same)
