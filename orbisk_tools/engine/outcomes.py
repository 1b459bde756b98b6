"""How the update of a device ended, as the tools report it: the records that carry the one
vocabulary (orbisk_tools.vocabulary, whose names are here too) and the engine's exceptions."""

from __future__ import annotations

import collections
import dataclasses
from collections.abc import Mapping
from typing import Any

from orbisk_tools.errors import OrbiskError
from orbisk_tools.vocabulary import HOLDS as HOLDS
from orbisk_tools.vocabulary import SUCCEEDED as SUCCEEDED
from orbisk_tools.vocabulary import DeviceState as DeviceState
from orbisk_tools.vocabulary import Phase as Phase
from orbisk_tools.vocabulary import Reason as Reason
from orbisk_tools.vocabulary import Result as Result
from orbisk_tools.vocabulary import Runs as Runs


# The FPGA module and the tools ship together: the module's texts are all in this vocabulary. A text
# it does not know comes only from an overridden method of a subclass that sets an outcome of its own.

def known_reason(text: str | None, details: Mapping[str, Any]) -> tuple[Reason | None, dict[str, Any]]:
    """The reason key `text` of the FPGA module's outcome as a Reason, with its `details`. A key
    that is no Reason is Reason.ERROR, the key kept in details["module_reason"]."""
    if text is None:
        return None, dict(details)
    try:
        return Reason(text), dict(details)
    except ValueError:
        return Reason.ERROR, {**details, "module_reason": text}


def known_phase(text: str | None, otherwise: Phase | None) -> Phase | None:
    """The phase `text` of the FPGA module's outcome as a Phase. A text that is no Phase is
    `otherwise`: the phase where the tools last saw the update."""
    if text is None:
        return None
    try:
        return Phase(text)
    except ValueError:
        return otherwise


def known_state(text: str, otherwise: DeviceState) -> DeviceState:
    """The device state `text` of the FPGA module's outcome as a DeviceState. A text that is no
    DeviceState is `otherwise`: the state where the tools last saw the device, which for an update
    is DeviceState.ERASED once the erase was sent (what a device that may have changed and has not
    confirmed a load is left holding: its advice is to update it again before power-cycling it),
    else DeviceState.UNTOUCHED."""
    try:
        return DeviceState(text)
    except ValueError:
        return otherwise


class DeviceFailure(OrbiskError):
    """A device could not be updated, initialised or asked; the message says why and what to do,
    `reason` (a Reason) and `details` say it as data."""

    reason: Reason

    def __init__(self, message: str, reason: Reason = Reason.ERROR, details: Mapping[str, Any] | None = None):
        super().__init__(message, reason, details)


class ImageRefused(OrbiskError):
    """The image would not pass the update's checks, or its vendor signature does not verify,
    before any device is touched: raised alike by update_device, update_site, verify_device and
    status_of. The message says why and what to do, `reason` and `details` say it as data."""

    reason: Reason

    def __init__(self, message: str, reason: Reason = Reason.ERROR, details: Mapping[str, Any] | None = None):
        super().__init__(message, reason, details)


@dataclasses.dataclass
class Outcome:
    """How the update of one device went, as a Job builds it (and the display and JSON show it)."""
    address: str
    result: Result = Result.FAILED
    message: str = ""  # why it failed, and what to do
    fpga_version: str = ""
    fpga_version_before: str = ""
    serial: str = ""
    bytes_written: int = 0  # what the device acknowledged of the update that ran last
    seconds: float = 0.0  # the whole update, from connecting to loading
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    reason: Reason | None = None  # None for an update
    details: dict[str, Any] = dataclasses.field(default_factory=dict)
    phase: Phase | None = None  # where it ended; None: not started
    device_state: DeviceState = DeviceState.UNTOUCHED  # what the device was left holding
    runs: Runs | None = None  # what its FPGA runs at the end, as the device said; None: not asked
    window: int = 0  # the commands in flight of the update that ran last; 0: none ran
    history_error: str = ""  # why the history could not record how this update went (it went on all the same)
    backup: str | None = None  # the file that kept its configuration memory before the erase; None: none
    soak: str | None = None  # what the check after its wave's soak found, in words; None: no soak
    # What ended it, when an exception did: not reported, but the cause of the engine's UpdateError.
    error: BaseException | None = dataclasses.field(default=None, repr=False, compare=False)

    def reported(self) -> dict[str, Any]:
        """The fields of the JSON result, in order."""
        return {field.name: getattr(self, field.name) for field in dataclasses.fields(self) if field.name != "error"}


@dataclasses.dataclass(frozen=True)
class DeviceResult:
    """How the update (or the read-back) of one device ended: what the engine's functions return,
    and the `outcome` of an UpdateError.

    Attributes:
        address: The device, as "HOST:PORT" or "[IPv6]:PORT".
        result: A Result.
        reason: Why it did not succeed, a Reason: Reason.ALREADY_LOADED for a skip, None for an
            update, a dry run or a read-back that holds.
        details: The reason's fields, e.g. {"offset": 32, "attempts": 10}.
        phase: Where it ended, a Phase; None when nothing was started.
        device_state: What the device was left holding, a DeviceState.
        runs: What its FPGA runs at the end, as the device said (a Runs); None when it was not asked.
        message: What happened, and what to do, in one line.
        bytes_written: What the device acknowledged of the update that ran last.
        window: The commands in flight of that update; 0 when none ran.
        serial: The device's serial number; "" when it was not asked.
        fpga_version_before: The FPGA version it reported before the update.
        fpga_version_after: The FPGA version it reported after loading the image.
        seconds: The whole update, from connecting to loading.
        write_seconds: The time the write took.
        read_back_seconds: The time the read-back took.
        history_error: Why the history could not record this update, which went on all the same.
        backup: The file that kept the device's configuration memory before its erase (`backup`);
            None when none was kept.
        soak: What the check after the soak of its wave found, in words ("runs the image: ...",
            "not checked: ..."); None without a soak. A check that finds the device not running
            the image fails it, with Reason.SOAK_FAILED.
    """
    address: str
    result: Result
    reason: Reason | None
    details: dict[str, Any]
    phase: Phase | None
    device_state: DeviceState
    message: str
    runs: Runs | None = None
    bytes_written: int = 0
    window: int = 0
    serial: str = ""
    fpga_version_before: str = ""
    fpga_version_after: str = ""
    seconds: float = 0.0
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    history_error: str = ""
    backup: str | None = None
    soak: str | None = None

    @property
    def ok(self) -> bool:
        """True when the device needs nothing more (updated, loaded, skipped, a dry run, or it runs the image)."""
        return self.result in SUCCEEDED

    @classmethod
    def _of(cls, outcome: Outcome) -> DeviceResult:
        """The DeviceResult of the engine's own record of an update."""
        message = outcome.message
        if outcome.result == Result.UPDATED and not message:
            message = f"updated: FPGA version {outcome.fpga_version or '(not reported)'}, " \
                      f"{outcome.bytes_written} bytes written"
        return cls(outcome.address, outcome.result, outcome.reason, dict(outcome.details), outcome.phase,
                   outcome.device_state, message, outcome.runs, outcome.bytes_written, outcome.window, outcome.serial,
                   outcome.fpga_version_before, outcome.fpga_version, outcome.seconds, outcome.write_seconds,
                   outcome.read_back_seconds, outcome.history_error, outcome.backup, outcome.soak)


@dataclasses.dataclass(frozen=True)
class SiteResult:
    """How the update of several devices ended.

    Attributes:
        devices: Each device's DeviceResult, in the order given.
        run_id: The run's id, as the history records it.
        vendor_key_id: The id of the key that verified the image's vendor signature; None without
            trusted keys.
    """
    devices: tuple[DeviceResult, ...]
    run_id: str | None = None
    vendor_key_id: str | None = None

    @property
    def counts(self) -> collections.Counter[Result]:
        """How many devices ended with each result."""
        return collections.Counter(device.result for device in self.devices)

    @property
    def ok(self) -> bool:
        """True when every device needs nothing more."""
        return all(device.ok for device in self.devices)


class UpdateError(OrbiskError):
    """An update that did not succeed, or a read-back that cannot tell: `outcome` is its
    DeviceResult, str() its one line, `reason` and `details` its own. What ended it, when an
    exception did, is the __cause__."""

    reason: Reason | None

    def __init__(self, outcome: DeviceResult):
        super().__init__(outcome.message, outcome.reason, outcome.details)
        self.outcome = outcome

    def __reduce__(self) -> tuple[type[UpdateError], tuple[DeviceResult]]:
        return type(self), (self.outcome,)


class UpdateInterrupted(KeyboardInterrupt):
    """Ctrl-C (or a KeyboardInterrupt of the progress callback) stopped an update: every device
    stopped after its current exchange, and `result` says how each was left, a DeviceResult of
    update_device() or the SiteResult of update_site(). Its __cause__ is the callback's
    interrupt, when one raised it."""

    def __init__(self, result: DeviceResult | SiteResult):
        super().__init__()
        self.result = result

    def __reduce__(self) -> tuple[type[UpdateInterrupted], tuple[DeviceResult | SiteResult]]:
        return type(self), (self.result,)
