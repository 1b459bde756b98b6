"""What the tool tells the user about a device, in one line: the reason keys of the FPGA module's
outcomes and of the tools, what the update was doing, and what to do next."""

from orbisk_tools.engine.outcomes import ImageRefused

STILL_PREVIOUS = ("the device still runs its previous FPGA image until it restarts; "
                  "run the update again before power-cycling it")
MAYBE_LOADED = "the read-back matched, but the device may not have loaded the new image; run the update again"
NOT_CHANGED = "the device was not changed"

# What the update was doing, in words, for each phase of a Job and of an UpdateOutcome.
PHASE_WORDS = {"connect": "while connecting", "probe": "while reading what the device reports",
               "check": "while checking the image", "erase": "while erasing", "write": "while writing",
               "verify": "while reading back", "load": "while loading the image",
               "version": "while loading the image", "done": "after loading the image"}



def reply_limit(error):
    """The `limit` of a connection's ReplyTooLong (of the stand-in host or another: known by its
    name, or as a ConnectionError with an int `limit`, as the FPGA module knows it); else None."""
    limit = getattr(error, "limit", None)
    if not isinstance(limit, int) or not (type(error).__name__ == "ReplyTooLong" or isinstance(error, ConnectionError)):
        return None
    return limit


def transport_failure(error, timeout, phase_words, advice):
    """One line for an exception that ended an exchange with the device."""
    if isinstance(error, TimeoutError):
        return f"no answer within {timeout:g} s {phase_words}; {advice}"
    limit = reply_limit(error)
    if limit is not None:
        return f"the device sent a reply longer than {limit} bytes {phase_words}; {advice}"
    if isinstance(error, ConnectionError):
        return f"connection lost {phase_words} ({error}); {advice}"
    return f"stopped {phase_words}: {type(error).__name__}: {error}; {advice}"


# ---- the module's outcomes in one line each -------------------------------------------------

# What to tell the user for each reason key of an UpdateOutcome: the fields are its details, the
# image path, the time-out, what the update was doing and the advice for the state of the device.
REASONS = {
    "no_image_path": "no image given; name the image file",
    "image_not_found": "{image}: no such file; check the image's path",
    "image_type": "{image}: an FPGA image is named .bin (raw) or .tbin (signed); rename it, or give another file",
    "image_not_file": "{image} is not a file; give the path of the image file",
    "image_stat_failed": "cannot use {image} ({error}); check the file",
    "image_empty": "{image} is empty; get the image again",
    "image_unreadable": "cannot read {image} ({error}); check its permissions",
    "header_parse_error": "{image} is not a signed image (its header cannot be read); a raw image must be named .bin",
    "header_hash_mismatch": "{image}: the image header does not match its signature: the file is damaged or was "
                            "signed with another key; get the image again",
    "image_hash_mismatch": "{image}: the image part does not match its signature: the file is damaged or was signed "
                           "with another key; get the image again",
    "signed_image_empty": "{image} is a signed image with no image in it; sign the raw image again",
    "signed_image_named_bin": "{image} is a signed image; rename it to .tbin",
    "device_type_mismatch": "{image} is for {image_types}, not {device_type}; use the image made for device type "
                            "{device_type}, or check --device-type",
    "file_check_failed": "{image} did not pass the image file check; check the image file",
    "header_check_failed": "{image} did not pass the image header check; check the image file",
    "block_refused": "the device refused the block at byte offset {offset} {attempts} times; {advice}",
    "readback_mismatch": "the read-back differs from the image at byte offset {offset}; {advice}",
    "readback_not_data": "the read-back differs from the image at byte offset {offset}; {advice}",
    "image_changed": "the image file changed during the update; {advice}",
    "programming_failed": "the update failed {doing}; {advice}",
    "timeout": "no answer within {timeout:g} s {doing}; {advice}",
    "connection_lost": "connection lost {doing} ({text}); {advice}",
    "reply_too_long": "the device sent a reply longer than {limit} bytes {doing}; {advice}",
    "interrupted": "interrupted {doing}; {advice}",
    "callback_error": "stopped {doing}: {error}: {text}; {advice}",
    "error": "stopped {doing}: {error}: {text}; {advice}",
}


def explain(outcome, image, timeout=None, reason=None, window_probed=False):
    """One line, from the UpdateOutcome of an update or a check that did not succeed, that says
    what happened and what to do. `reason` replaces the outcome's own key: an interrupt raised by
    the progress callback is the outcome's callback_error. `window_probed`: the device showed that it
    takes commands in flight, so a time-out with commands in flight is no reason to try --window 1."""
    reason = reason or outcome.reason
    fields = {"message": outcome.message.rstrip("."), **outcome.details, "image": image, "timeout": timeout,
              "doing": PHASE_WORDS.get(outcome.phase, f"in phase {outcome.phase}"), "advice": device_advice(outcome)}
    if reason == "device_type_mismatch":
        types = outcome.details["image_types"]
        fields["image_types"] = f"device type{'s' if len(types) > 1 else ''} {', '.join(map(str, types))}"
    if reason == "timeout" and outcome.pipeline_depth > 1 and not window_probed:
        fields["advice"] = f"a device that takes no commands in flight needs --window 1; {fields['advice']}"
    return REASONS.get(reason, "{message}; {advice}").format_map(fields)  # a key of a newer module


def device_advice(outcome):
    """What to do about the device, as the outcome left it."""
    if outcome.phase in ("load", "version"):  # only a verified read-back gets there
        return MAYBE_LOADED
    return NOT_CHANGED if outcome.device_state == "untouched" else STILL_PREVIOUS


def check_image(image, device_type=None):
    """Raises ImageRefused unless the image passes the update's checks (file, header and, when
    `device_type` is given, device type), run by the FPGA module itself without a device; OSError
    when the file cannot be read."""
    from orbisk.VornFpga import FpgaTool

    class ChecksPassed(Exception):
        pass

    class ImageOnly(FpgaTool):
        def _fpgaProgramFile(self, image_path, device_type=28):
            raise ChecksPassed  # every check passed: the next step would touch the device

    checker = ImageOnly(object())
    if device_type is None:
        if checker._checkUpdateFile(image) and checker._checkFileHeader(image):
            return
    else:
        try:
            checker.processFpgaUpdate(image, device_type)
        except ChecksPassed:
            return
    if checker.last_outcome.reason in ("image_unreadable", "image_stat_failed"):
        with open(image, "rb"):  # raises the OSError that the module met, for the caller's own words
            pass
    raise ImageRefused(explain(checker.last_outcome, image))
