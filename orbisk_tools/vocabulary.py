"""The one vocabulary of the tools, below every layer that speaks it: how an update or a read-back
ended (results), where it was (phases), what the device was left holding (device states), what
its FPGA runs, and why it did not succeed (reason keys). The FPGA module's own words are in it,
as the module exports them; the engine, the update history, the JSON and the display all use it.

The members are `str` enumerations: each is equal to its value, so the JSON, the history and a
caller comparing with "updated" see the same texts."""

from __future__ import annotations

import enum


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
    BACKUP = "backup"  # the configuration memory read back into a backup file, before the erase
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
    SOAK_FAILED = "soak_failed"  # updated, but the check after its wave's soak found it not running the image
    BACKUP_FAILED = "backup_failed"  # its configuration memory could not be read back, or kept, before the erase
    BACKUP_FOLDER_REFUSED = "backup_folder_refused"  # the folder for backups cannot be used or trusted: no device touched
    NOT_ITS_BACKUP = "not_its_backup"  # restore: the backup was taken from another device
    BACKUP_NOT_VOUCHED = "backup_not_vouched"  # restore under trusted keys: the history recorded no such backup


# The results an update ends with (those of verify are not recorded in the history).
UPDATE_RESULTS = (Result.UPDATED, Result.LOADED, Result.FAILED, Result.INTERRUPTED, Result.SKIPPED, Result.DRY_RUN,
                  Result.NOT_STARTED)

# The device state each phase implies, from the erase on: the memory holds no verified image until
# the read-back after the erase matched, and a load starts only once it did (a read-back before the
# erase changes nothing, and says so).
IMPLIED_STATE = {Phase.ERASE: DeviceState.ERASED, Phase.WRITE: DeviceState.ERASED, Phase.VERIFY: DeviceState.ERASED,
                 Phase.LOAD: DeviceState.WRITTEN}
