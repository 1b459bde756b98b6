"""What the tool tells the user about a device, in one line: the reason keys of the FPGA module's
outcomes and of the tools, what the update was doing, and what to do next."""

from __future__ import annotations

import errno
from typing import TYPE_CHECKING, TypedDict

from orbisk_tools.wording import named

from orbisk_tools.engine.outcomes import DeviceState, Phase, Reason, Runs

if TYPE_CHECKING:
    from orbisk.VornFpga import UpdateOutcome

STILL_PREVIOUS = ("the device still runs its previous FPGA image until it restarts; "
                  "run the update again before power-cycling it")
MAYBE_LOADED = "the read-back matched, but the device may not have loaded the new image; run the update again"
NOT_CHANGED = "the device was not changed"
RESTARTED = "it has restarted and runs no FPGA image: run the update again"
RAN_NONE = "the device runs no FPGA image, as before the update: run the update again"
CANNOT_ASK = ("the device could not be asked what it runs: it still runs its previous FPGA image until it restarts, "
              "or none if it restarted; run the update again before power-cycling it")
RUNS_UNCONFIRMED = "the device reports the image's version, but its load was not confirmed; run the update again"
RUNS_OTHER = "the device reports FPGA version {version}; run the update again before power-cycling it"

# What the update was doing, in words, for each phase of a Job and of an UpdateOutcome (looked up by
# a Phase, an UpdateOutcome's phase text, or None for none).
PHASE_WORDS: dict[str | None, str] = {
    Phase.CONNECT: "while connecting", Phase.PROBE: "while reading what the device reports",
    Phase.BACKUP: "while backing up",
    Phase.CHECK: "while checking the image", Phase.ERASE: "while erasing", Phase.WRITE: "while writing",
    Phase.VERIFY: "while reading back", Phase.LOAD: "while loading the image",
    Phase.VERSION: "while loading the image", Phase.DONE: "after loading the image"}


def reply_limit(error: BaseException) -> int | None:
    """The `limit` of a connection's ReplyTooLong (of the stand-in host or another: known by its
    name, or as a ConnectionError with an int `limit`, as the FPGA module knows it); else None."""
    limit = getattr(error, "limit", None)
    if not isinstance(limit, int) or not (type(error).__name__ == "ReplyTooLong" or isinstance(error, ConnectionError)):
        return None
    return limit


def said(error: BaseException) -> str:
    """str(error), or what Python's own traceback shows for an exception whose str() raises."""
    try:
        return str(error)
    except Exception:
        return "<exception str() failed>"


# What a lost connection's errno means, in words; the system's own text is in the details, and the log (-v).
CONNECTION_WORDS: dict[int | None, str] = {errno.ECONNRESET: "reset by the device", errno.EPIPE: "closed by the device",
                    errno.ECONNABORTED: "aborted on this computer", errno.ETIMEDOUT: "timed out",
                    errno.EHOSTUNREACH: "no route to the device", errno.ENETUNREACH: "the network is unreachable",
                    errno.ENETDOWN: "the network is down", errno.EHOSTDOWN: "the device is down",
                    errno.ECONNREFUSED: "refused by the device"}


def connection_words(number: int | None, text: str | None) -> str:
    """Why a connection was lost, in words: from its errno when known, else the exception's text
    ("closed by the device" for none)."""
    if number in CONNECTION_WORDS:
        return CONNECTION_WORDS[number]
    return text or "closed by the device"


def transport_failure(error: BaseException, timeout: float, phase_words: str, advice: str) -> str:
    """One line for an exception that ended an exchange with the device."""
    if isinstance(error, TimeoutError):
        return f"no answer within {timeout:g} s {phase_words}; {advice}"
    limit = reply_limit(error)
    if limit is not None:
        return f"the device sent a reply longer than {limit} bytes {phase_words}; {advice}"
    if isinstance(error, ConnectionError):
        return f"connection lost {phase_words} ({connection_words(error.errno, said(error))}); {advice}"
    return f"stopped {phase_words}: {type(error).__name__}: {said(error)}; {advice}"


# ---- every reason in one line --------------------------------------------------------------

# What to tell the user for each reason key. For the module's, the fields are the UpdateOutcome's
# details, the image path, the time-out, what the update was doing and the advice for the state of
# the device; the tools' own lines are made by say() from the fields their code gives.
REASONS: dict[str, str] = {  # by Reason; looked up by an UpdateOutcome's reason text too
    Reason.NO_IMAGE_PATH: "no image given; name the image file",
    Reason.IMAGE_NOT_FOUND: "{image}: no such file; check the image's path",
    Reason.IMAGE_TYPE: "{image}: an FPGA image is named .bin (raw) or .tbin (signed); rename it, or give another file",
    Reason.IMAGE_NOT_FILE: "{image} is not a file; give the path of the image file",
    Reason.IMAGE_STAT_FAILED: "cannot use {image} ({error}); check the file",
    Reason.IMAGE_EMPTY: "{image} is empty; get the image again",
    Reason.IMAGE_UNREADABLE: "cannot read {image} ({error}); check its permissions",
    Reason.HEADER_PARSE_ERROR: "{image} is not a signed image (its header cannot be read); a raw image must be "
                               "named .bin",
    Reason.HEADER_HASH_MISMATCH: "{image}: the image header does not match its signature: the file is damaged or "
                                 "was signed with another key; get the image again",
    Reason.IMAGE_HASH_MISMATCH: "{image}: the image part does not match its signature: the file is damaged or was "
                                "signed with another key; get the image again",
    Reason.SIGNED_IMAGE_EMPTY: "{image} is a signed image with no image in it; sign the raw image again",
    Reason.SIGNED_IMAGE_NAMED_BIN: "{image} is a signed image; rename it to .tbin",
    Reason.DEVICE_TYPE_MISMATCH: "{image} is for {image_types}, not {device_type}; use the image made for device "
                                 "type {device_type}, or check {device_type_words}",
    Reason.FILE_CHECK_FAILED: "{image} did not pass the image file check; check the image file",
    Reason.HEADER_CHECK_FAILED: "{image} did not pass the image header check; check the image file",
    Reason.BLOCK_REFUSED: "the device refused the block at byte offset {offset} {attempts} times; {advice}",
    Reason.READBACK_MISMATCH: "the read-back differs from the image at byte offset {offset}; {advice}",
    Reason.READBACK_NOT_DATA: "the read-back differs from the image at byte offset {offset}; {advice}",
    Reason.IMAGE_CHANGED: "the image file changed during the update; {advice}",
    Reason.PROGRAMMING_FAILED: "the update failed {doing}; {advice}",
    Reason.TIMEOUT: "no answer within {timeout:g} s {doing}; {advice}",
    Reason.CONNECTION_LOST: "connection lost {doing} ({words}); {advice}",
    Reason.REPLY_TOO_LONG: "the device sent a reply longer than {limit} bytes {doing}; {advice}",
    Reason.INTERRUPTED: "interrupted {doing}; {advice}",
    Reason.CANCELLED: "cancelled {doing}; {advice}",
    Reason.CALLBACK_ERROR: "stopped {doing}: {error}: {text}; {advice}",
    Reason.ERROR: "stopped {doing}: {error}: {text}; {advice}",
    # the tools' own
    Reason.SIGNATURE_REFUSED: "{text}",  # the signature check's own line
    Reason.CANNOT_CONNECT: "cannot connect: {why}",
    Reason.DEVICE_LOCKED: "another orbisk-fpga{holder} is updating this device; wait for it to finish",
    Reason.NAMED_TWICE: "this run updates this device by another address too; give each device once",
    Reason.LOCK_FILE_UNUSABLE: "cannot use the lock file {path}: {why}; have it removed",
    Reason.HISTORY_UNAVAILABLE: "{text}; " + NOT_CHANGED,
    Reason.NOT_STARTED: "not started{why}; " + NOT_CHANGED,
    Reason.ALREADY_LOADED: "already runs this image (its memory read back and verified; {why}); {force} updates it "
                           "anyway",
    Reason.VERSION_MISMATCH: "the device loaded the image but reports version {reported}, not {expected}; "
                             "check the image",
    Reason.OLDER_IMAGE: "would go back from {reported} to {image_version}; {allow_older} loads it anyway",
    Reason.NO_FPGA_IMAGE: "no FPGA image: update it",
    Reason.LOAD_NOT_CONFIRMED: "the image was written and read back, but the device reports no FPGA image after "
                               "loading it; run the update again",
    Reason.WORKER_ENDED: "the worker process {pid} that updated it {how}",
    Reason.NOT_LOADED: "holds the image but does not run it: {why}; update it to load it (it is not written again)",
    Reason.NOT_CONFIRMED: "holds the image, but that it runs it is not confirmed: {why}; update it to load it (it is "
                          "not written again)",
    Reason.SOAK_FAILED: "the check after its wave's soak ({waited}) found that {found}; {todo}",
    Reason.BACKUP_FAILED: "no backup before the erase: {why}; the device was not changed: {todo}",
    Reason.BACKUP_FOLDER_REFUSED: "cannot keep backups in {path}: {why}; {todo}",
    Reason.NOT_ITS_BACKUP: "{backup} was taken from the device {recorded}, and this one reports {reported}; restore "
                           "each device's own backup; " + NOT_CHANGED,
    Reason.BACKUP_NOT_VOUCHED: "{backup} is no backup that the update history {history} recorded, and with trusted "
                               "keys only such a backup is restored; {todo}",
}


def say(reason: Reason, **fields: object) -> str:
    """The line of one of the tools' own reasons."""
    return REASONS[reason].format_map({**option_words(), **fields})


def option_words() -> dict[str, str]:
    """The fields that name what the reader can change, as the engine's caller names it."""
    return {"force": named("force"), "allow_older": named("allow_older"), "device_type_words": named("device_type")}


def exception_reason(error: BaseException) -> Reason:
    """The reason key of an exception that ended an exchange with the device outside the module's
    update, as the module would name it."""
    if not isinstance(error, Exception):
        return Reason.INTERRUPTED
    if isinstance(error, TimeoutError):
        return Reason.TIMEOUT
    if reply_limit(error) is not None:
        return Reason.REPLY_TOO_LONG
    if isinstance(error, OSError):
        return Reason.CONNECTION_LOST
    return Reason.ERROR


class WhatRuns(TypedDict):
    """The fields of explain() that say what the device said it runs."""
    runs: Runs | None
    version: str | None
    ran_none: bool


def explain(outcome: UpdateOutcome, image: str, timeout: float | None = None, reason: Reason | None = None,
            window_probed: bool = False, runs: Runs | None = None, version: str | None = None,
            ran_none: bool = False) -> str:
    """One line, from the UpdateOutcome of an update or a check that did not succeed, that says
    what happened and what to do. `reason` replaces the outcome's own key: an interrupt raised by
    the progress callback is the outcome's callback_error. `window_probed`: the device showed that it
    takes commands in flight, so a time-out with commands in flight is no reason to try --window 1.
    `runs`, `version` and `ran_none`: what the device said it runs (see device_advice)."""
    key = reason or outcome.reason
    fields: dict[str, object] = {
        **option_words(), "message": outcome.message.rstrip("."), **outcome.details, "image": image,
        "timeout": timeout, "doing": PHASE_WORDS.get(outcome.phase, f"in phase {outcome.phase}"),
        "advice": device_advice(outcome, runs, version, ran_none)}
    fields["words"] = connection_words(outcome.details.get("errno"), outcome.details.get("text"))
    if key == Reason.DEVICE_TYPE_MISMATCH:
        types = outcome.details["image_types"]
        fields["image_types"] = f"device type{'s' if len(types) > 1 else ''} {', '.join(map(str, types))}"
    if key == Reason.TIMEOUT and outcome.pipeline_depth > 1 and not window_probed:
        fields["advice"] = f"a device that takes no commands in flight needs {named('window_one')}; {fields['advice']}"
    return REASONS.get(key or "", "{message}; {advice}").format_map(fields)  # a key of an overridden method's own


def device_advice(outcome: UpdateOutcome, runs: Runs | None = None, version: str | None = None,
                  ran_none: bool = False) -> str:
    """What to do about the device, as the outcome left it and as the device said what it runs at
    the end: `runs`, a Runs (None: not asked), `version` the FPGA version it reported then;
    `ran_none`: it ran no FPGA image before the update either."""
    if outcome.device_state == DeviceState.UNTOUCHED.value:
        return NOT_CHANGED
    if runs == Runs.PREVIOUS:
        return STILL_PREVIOUS
    if runs == Runs.NONE:
        return RAN_NONE if ran_none else RESTARTED
    if runs == Runs.IMAGE:
        return RUNS_UNCONFIRMED
    if runs == Runs.OTHER:
        return RUNS_OTHER.format(version=version)
    if outcome.phase in (Phase.LOAD, Phase.VERSION) and runs is None:  # only a verified read-back gets there
        return MAYBE_LOADED
    return CANNOT_ASK if runs == Runs.UNKNOWN else STILL_PREVIOUS

