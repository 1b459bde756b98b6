"""How the update of a device ended, as the tools report and record it: the one vocabulary of
results, phases, device states and reason keys, and the records that carry them.

The members are `str` enumerations: each is equal to its value, so the JSON, the history and
a caller comparing with "updated" see the same texts as before."""

from __future__ import annotations

import collections
import dataclasses
import enum
from collections.abc import Mapping
from typing import Any

from orbisk_tools.errors import OrbiskError


class Result(enum.StrEnum):
    """How the update of a device, or the read-back of `verify`, ended."""
    UPDATED = "updated"
    LOADED = "loaded"  # its memory held the image whole, read back: loaded without rewriting
    SKIPPED = "skipped"  # it already ran the image, read back and verified
    DRY_RUN = "dry run"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    NOT_STARTED = "not started"  # held back, or stopped before its erase: the device was not changed
    RUNS = "runs"  # verify: its memory holds exactly the image, and its FPGA runs it
    NOT_LOADED = "not loaded"  # verify: its memory holds exactly the image, its FPGA runs another or none
    NOT_CONFIRMED = "not confirmed"  # verify: its memory holds exactly the image; that it runs it is not known
    DIFFERS = "differs"  # verify: its read-back differs from the image


# The results of devices that need nothing more.
SUCCEEDED = frozenset({Result.UPDATED, Result.LOADED, Result.SKIPPED, Result.DRY_RUN, Result.RUNS})
# verify: the memory holds exactly the image, whatever the FPGA runs.
HOLDS = frozenset({Result.RUNS, Result.NOT_LOADED, Result.NOT_CONFIRMED})


class Phase(enum.StrEnum):
    """Where an update is, or where it ended: the tools' own first two, then those of the FPGA
    module's UpdateOutcome."""
    CONNECT = "connect"
    PROBE = "probe"  # the read-only questions before the erase
    CHECK = "check"  # the image's checks, before any device command
    ERASE = "erase"
    WRITE = "write"
    VERIFY = "verify"  # the read-back
    LOAD = "load"
    VERSION = "version"  # reading the new version
    DONE = "done"


class DeviceState(enum.StrEnum):
    """What the device was left holding."""
    UNTOUCHED = "untouched"  # its previous image: nothing that changes it was sent
    ERASED = "erased"  # configuration memory erased, written in part or not verified; not loaded
    WRITTEN = "written"  # the memory holds the new image whole, read back; its load not confirmed
    LOADED = "loaded"  # done and refresh answered, and the version read after them the expected one


class Runs(enum.StrEnum):
    """What the device's FPGA runs, as far as the device said."""
    IMAGE = "image"  # the image of the update or of verify
    PREVIOUS = "previous"  # what it ran before the update
    OTHER = "other"  # a version that is neither (fpga_version says which)
    NONE = "none"  # no FPGA image: it refuses the version query
    UNKNOWN = "unknown"  # it could not be asked


class Reason(enum.StrEnum):
    """The stable key of why an update, a check or a read-back did not succeed (or, for
    ALREADY_LOADED, why a device was skipped)."""
    # The FPGA module's, of UpdateOutcome.reason: refusals of the image, before the device is touched
    NO_IMAGE_PATH = "no_image_path"
    IMAGE_NOT_FOUND = "image_not_found"
    IMAGE_TYPE = "image_type"
    IMAGE_NOT_FILE = "image_not_file"
    IMAGE_STAT_FAILED = "image_stat_failed"
    IMAGE_EMPTY = "image_empty"
    IMAGE_UNREADABLE = "image_unreadable"
    HEADER_PARSE_ERROR = "header_parse_error"
    HEADER_HASH_MISMATCH = "header_hash_mismatch"
    IMAGE_HASH_MISMATCH = "image_hash_mismatch"
    SIGNED_IMAGE_EMPTY = "signed_image_empty"
    SIGNED_IMAGE_NAMED_BIN = "signed_image_named_bin"
    DEVICE_TYPE_MISMATCH = "device_type_mismatch"
    FILE_CHECK_FAILED = "file_check_failed"
    HEADER_CHECK_FAILED = "header_check_failed"
    # ... failures once the device was touched
    BLOCK_REFUSED = "block_refused"
    READBACK_MISMATCH = "readback_mismatch"
    READBACK_NOT_DATA = "readback_not_data"
    IMAGE_CHANGED = "image_changed"
    PROGRAMMING_FAILED = "programming_failed"
    # ... and the exceptions that end a call
    TIMEOUT = "timeout"
    CONNECTION_LOST = "connection_lost"
    REPLY_TOO_LONG = "reply_too_long"
    INTERRUPTED = "interrupted"
    CANCELLED = "cancelled"  # the caller's cancel token stopped it
    CALLBACK_ERROR = "callback_error"
    ERROR = "error"
    # The tools' own
    SIGNATURE_REFUSED = "signature_refused"  # the image's vendor signature is missing or does not verify
    CANNOT_CONNECT = "cannot_connect"  # details: cause, why
    DEVICE_LOCKED = "device_locked"  # another update of the device runs
    NAMED_TWICE = "named_twice"  # this run reaches the device by another address too
    LOCK_FILE_UNUSABLE = "lock_file_unusable"
    HISTORY_UNAVAILABLE = "history_unavailable"  # the history stopped taking writes before the erase
    NOT_STARTED = "not_started"  # interrupted or held back before anything was sent
    ALREADY_LOADED = "already_loaded"  # skipped: the device holds the image
    VERSION_MISMATCH = "version_mismatch"  # the device reports another version than the image's header names
    OLDER_IMAGE = "older_image"  # the image's header names an older version than the device reports
    NO_FPGA_IMAGE = "no_fpga_image"  # status: the device's FPGA runs no image
    LOAD_NOT_CONFIRMED = "load_not_confirmed"  # loaded, but the device reports no FPGA image after it
    NOT_LOADED = "not_loaded"  # verify: the memory holds the image, the FPGA runs another or none
    NOT_CONFIRMED = "not_confirmed"  # verify: the memory holds the image; nothing confirms that it runs it
    WORKER_ENDED = "worker_ended"  # the worker process that updated it ended, or was killed, before it told how


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
                   outcome.read_back_seconds, outcome.history_error)


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
