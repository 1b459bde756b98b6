"""The controls of a site rollout: which devices to update (--retry-failed), when to stop
starting new ones (--max-failures, --canary), and what each device needs (a dry run, a device
that already holds the image, the version it reports after loading)."""

import json
import os
import threading

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.outcomes import SUCCEEDED, DeviceFailure, Reason, Result
from orbisk_tools.formats import files


class RetryRefused(Exception):
    """--retry-failed cannot find what to retry; the message says why."""


def devices_to_retry(source, history):
    """[(where, address)] of the devices whose attempt did not succeed: in the last run of the
    history (source "last"), in the run `source`, or in the --json result file `source`."""
    if source != "last" and os.path.isdir(source):
        raise RetryRefused(f"{source} is a folder, not a result file")
    if source != "last" and os.path.lexists(source):
        return _failed_in_result_file(source)
    if history is None:
        raise RetryRefused("--retry-failed needs the update history, or a --json result file")
    run = last_run_that_changed(history) if source == "last" else source
    if run is None:
        raise RetryRefused(f"the update history {history.path} records no run yet")
    if not history.attempts(run=run, limit=1):
        raise RetryRefused(f"the update history {history.path} records no run {run}")
    return [(f"run {run}", address) for address in history.not_succeeded(run)]


# A result file holds a few hundred bytes a device.
MAX_RESULT_FILE_SIZE = 64 * 1024 * 1024


def _changed_nothing(attempt):
    return attempt.outcome in (Result.DRY_RUN, Result.SKIPPED, Result.NOT_STARTED) or (
        attempt.outcome == Result.INTERRUPTED and attempt.reason == Reason.NOT_STARTED)


def last_run_that_changed(history):
    """The newest run of the history that may have touched a device (not a dry run, nor a run
    whose devices were all skipped or not started), or None."""
    for attempt in history.attempts():  # newest first
        if not _changed_nothing(attempt):
            return attempt.run_id
    return None


def describe_run(history, run):
    """"run ID of TIME" for the run `run` of the history."""
    first = history.attempts(run=run)[-1]
    return f"run {run} of {first.started}"


def _failed_in_result_file(path):
    def refused(reason):
        return RetryRefused(f"{path} is not a result file of orbisk-fpga update --json: {reason}")

    try:
        report = json.loads(files.read_trusted_file(path, MAX_RESULT_FILE_SIZE, "a result file").decode("utf-8"))
    except files.Unusable as error:
        raise RetryRefused(str(error)) from None
    except OSError as error:
        raise RetryRefused(files.problem(error, path)) from None
    except UnicodeDecodeError:
        raise refused("it is not UTF-8 text") from None
    except RecursionError:
        raise refused("it is nested too deeply") from None
    except ValueError as error:
        raise refused(f"it is not JSON ({error})") from None
    devices = report.get("devices") if isinstance(report, dict) else None
    if not isinstance(devices, list):
        raise refused('it has no list of "devices"')
    failed = []
    for number, device in enumerate(devices, 1):
        if not (isinstance(device, dict) and isinstance(device.get("address"), str)
                and isinstance(device.get("result"), str)):
            raise refused(f'device {number} has no "address" and "result" texts')
        if device["result"] not in SUCCEEDED:
            failed.append((path, device["address"]))
    return failed


class Gate:
    """Holds back devices not yet started: after `max_failures` failed devices, and, with
    `canary`, every device but the canaries until all of them succeeded."""

    def __init__(self, max_failures=None, canary=()):
        self.max_failures = max_failures
        self.canary = set(canary)
        self.failures = 0
        self._canary_left = set(canary)
        self._canary_failed = False
        self._changed = threading.Condition()

    def refusal(self, address, stop):
        """Why the device at `address` must not start, or None; waits for the canaries first.
        Raises KeyboardInterrupt when `stop` is set meanwhile."""
        with self._changed:
            if address not in self.canary:
                while self._canary_left and not stop.is_set():
                    self._changed.wait(0.2)  # wakes on stop too
                if stop.is_set():
                    raise KeyboardInterrupt
                if self._canary_failed:
                    return say(Reason.NOT_STARTED, why=f": not every one of the first {len(self.canary)} devices "
                                                       "(--canary) succeeded")
            if self.max_failures is not None and self.failures >= self.max_failures:
                return say(Reason.NOT_STARTED, why=f": {self.failures} devices failed (--max-failures "
                                                   f"{self.max_failures})")
        return None

    def finished(self, outcome):
        with self._changed:
            self.failures += outcome.result == Result.FAILED
            if outcome.address in self._canary_left:
                self._canary_left.discard(outcome.address)
                self._canary_failed |= outcome.result not in SUCCEEDED
            self._changed.notify_all()


def reason_not_to_write(settings, before, history):
    """(result, reason, message) for a device that is not to be written: a dry run, or a device
    that already holds the image; None to update it. `before` is what it reported."""
    image = settings.image_facts
    if settings.dry_run:
        now = before.fpga_version or "(not reported)"
        named = f", version {image.header_version}" if image.header_version else ""
        return (Result.DRY_RUN, None, f"would write and load {os.path.basename(image.path)} ({image.size} "
                                      f"bytes{named}); the device reports FPGA version {now}")
    if settings.force or history is None or not before.serial:
        return None
    loaded = history.already_loaded(before.serial, image.sha256)
    if loaded is None or loaded.fpga_version_after != before.fpga_version:
        return None
    return (Result.SKIPPED, Reason.ALREADY_LOADED,
            say(Reason.ALREADY_LOADED, loaded=loaded.ended or loaded.started, version=before.fpga_version))


def version_mismatch(image, reported):
    """The DeviceFailure of a device that reports, after loading the image, another version than
    the image's header names; None when they agree or the header names none."""
    if image is None or image.header_version is None or reported == image.header_version:
        return None
    return DeviceFailure(say(Reason.VERSION_MISMATCH, reported=reported or "(none)", expected=image.header_version),
                         Reason.VERSION_MISMATCH, {"reported": reported, "expected": image.header_version})
