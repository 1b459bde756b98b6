"""The controls of a site rollout: which devices to update (--retry-failed), when to stop
starting new ones (--max-failures, --waves, --canary), and what each device needs (a dry run, a
device that already holds the image, an image older than the device's, the version it reports
after loading)."""

from __future__ import annotations

import fractions
import json
import math
import os
import re
import threading
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.outcomes import SUCCEEDED, DeviceFailure, Outcome, Reason, Result
from orbisk_tools.formats import files
from orbisk_tools.wording import named

if TYPE_CHECKING:
    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.facts import DeviceFacts
    from orbisk_tools.records.history import History
    from orbisk_tools.records.attempts import Attempt, ImageFacts

T = TypeVar("T")


class RetryRefused(Exception):
    """--retry-failed cannot find what to retry; the message says why."""


def devices_to_retry(source: str, history: History | None) -> list[tuple[str, str]]:
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


def _changed_nothing(attempt: Attempt) -> bool:
    return attempt.outcome in (Result.DRY_RUN, Result.SKIPPED, Result.NOT_STARTED) or (
        attempt.outcome == Result.INTERRUPTED and attempt.reason == Reason.NOT_STARTED)


def last_run_that_changed(history: History) -> str | None:
    """The newest run of the history that may have touched a device (not a dry run, nor a run
    whose devices were all skipped or not started), or None."""
    for attempt in history.attempts():  # newest first
        if not _changed_nothing(attempt):
            return attempt.run_id
    return None


def describe_run(history: History, run: str) -> str:
    """"run ID of TIME" for the run `run` of the history."""
    first = history.attempts(run=run)[-1]
    return f"run {run} of {first.started}"


def _failed_in_result_file(path: str) -> list[tuple[str, str]]:
    def refused(reason: str) -> RetryRefused:
        return RetryRefused(f"{path} is not a result file of orbisk-fpga update --json: {reason}")

    try:
        report: object = json.loads(files.read_trusted_file(path, MAX_RESULT_FILE_SIZE, "a result file")
                                    .decode("utf-8"))
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
    failed: list[tuple[str, str]] = []
    for number, device in enumerate(devices, 1):
        if not (isinstance(device, dict) and isinstance(device.get("address"), str)
                and isinstance(device.get("result"), str)):
            raise refused(f'device {number} has no "address" and "result" texts')
        if device["result"] not in SUCCEEDED:
            failed.append((path, device["address"]))
    return failed


# ---- waves ---------------------------------------------------------------------------------

WAVE_SIZE = re.compile(r"[1-9][0-9]{0,8}|(?:[0-9]{1,3}(?:\.[0-9]{1,6})?)%")


def parse_waves(text: str) -> tuple[int | str, ...]:
    """The wave sizes of --waves "1,10%,50%,100%": a tuple of ints (counts of devices) and
    texts ending in % (shares of the site). Raises ValueError, saying what is wrong."""
    sizes: list[int | str] = []
    for item in text.split(","):
        item = item.strip()
        if not WAVE_SIZE.fullmatch(item) or (item.endswith("%") and not 0 < fractions.Fraction(item[:-1]) <= 100):
            raise ValueError(f"expected sizes such as 1,10%,50%,100% (a number of devices, or a share of the site "
                             f"above 0% and up to 100%), not {item!r}")
        sizes.append(item if item.endswith("%") else int(item))
    return tuple(sizes)


def wave_ends(sizes: Iterable[int | str], count: int) -> list[int]:
    """Where each wave of `sizes` (see parse_waves) ends in a site of `count` devices: the
    cumulative counts, a share rounded up, none beyond the site, and a wave that adds no device
    left out. Raises ValueError for a wave smaller than the one before it."""
    ends: list[int] = []
    for number, size in enumerate(sizes, 1):
        if isinstance(size, str):
            end = math.ceil(fractions.Fraction(size[:-1]) * count / 100)
        else:
            end = size
        end = min(end, count)
        if ends and end < ends[-1]:
            raise ValueError(f"wave {number} ({size}) takes {end} device{'s' * (end != 1)} of the {count}, fewer "
                             f"than the {ends[-1]} "
                             "of the waves before it; each size counts the devices of the waves before it too")
        if not ends or end > ends[-1]:
            ends.append(end)
    return ends


def waves_of(addresses: Sequence[T], sizes: Iterable[int | str], count: int | None = None) -> list[Sequence[T]]:
    """The addresses of each wave of `sizes`, in order (see wave_ends)."""
    ends = wave_ends(sizes, len(addresses) if count is None else count)
    return [addresses[begin:end] for begin, end in zip([0, *ends], ends)]


class Holds(Protocol):
    """What an update asks of a Gate (in a worker process, of the main process's)."""

    def refusal(self, address: str, stop: threading.Event) -> tuple[str, dict[str, Any]] | None: ...

    def finished(self, outcome: Outcome) -> None: ...


class Soaks(Protocol):
    """What a Gate asks of the soak of its waves (soak.WaveSoak)."""

    def wave(self, number: int, outcomes: list[Outcome], stop: threading.Event) -> set[str]: ...

    def not_checked(self, outcomes: list[Outcome], why: str) -> None: ...


class Gate:
    """Holds back devices not yet started: after `max_failures` failed devices, and with `waves`
    (the addresses of each wave, in order), every device of a wave until each device of the
    waves before it ended updated or skipped; a device in no wave is not started. `named` is
    how the caller named the waves ("waves 1,10%,100%"), for the reason of a held device.

    With a `soak`, a wave that ended is soaked before the next one starts: the devices of it that
    succeeded here are checked once the soak is over (soak.wave()), and those that fail the check
    count as failures of their wave. The soak runs in whichever thread calls soak_due(), or waits
    for the wave in refusal(), first."""

    def __init__(self, max_failures: int | None = None, waves: Iterable[Iterable[str]] = (), named: str = "waves",
                 soak: Soaks | None = None):
        self.max_failures = max_failures
        self.named = named
        self.soak = soak
        self.failures = 0
        self._waves = [list(wave) for wave in waves]
        self._wave_of = {address: number for number, wave in enumerate(self._waves) for address in wave}
        self._left = [set(wave) for wave in self._waves]  # the devices of each wave that have not ended
        self._not_succeeded = [0] * len(self._waves)
        # the devices of each wave updated here that ended, and are not checked after its soak yet
        self._to_soak: list[dict[str, Outcome]] = [{} for _ in self._waves]
        self._soaking = [False] * len(self._waves)  # a soak of the wave runs here
        self._soak_failed = [0] * len(self._waves)  # its devices that failed the check after its soak, here
        self._changed = threading.Condition()

    def refusal(self, address: str, stop: threading.Event) -> tuple[str, dict[str, Any]] | None:
        """(why, details) of a device at `address` that must not start, or None; waits for the
        waves before its own first (and their soaks). details["held_by"] is "wave"
        (details["wave"]: the number of the wave that did not succeed, or None for a device after
        the last wave) or "max_failures". Raises KeyboardInterrupt when `stop` is set meanwhile."""
        held = self._waves_before(address, stop) if self._waves else None
        if held:
            return held
        with self._changed:
            self._look_again()
            if self.max_failures is not None and self.failures >= self.max_failures:
                return (say(Reason.NOT_STARTED, why=f": {self.failures} devices failed "
                                                    f"({named('max_failures', n=self.max_failures)})"),
                        {"held_by": "max_failures"})
        return None

    def _waves_before(self, address: str, stop: threading.Event) -> tuple[str, dict[str, Any]] | None:
        wave = self._wave_of.get(address)
        if wave is None:
            last = len(self._wave_of)
            return (say(Reason.NOT_STARTED, why=f": it comes after the last wave of {self.named} "
                                                f"({_devices(1, last)})"), {"held_by": "wave", "wave": None})
        while True:
            with self._changed:
                self._look_again()
                failed = next((number for number in range(wave) if self._not_succeeded[number]), None)
                # held back for good: said once the failed wave ended and was soaked, all its failures counted
                if failed is not None and not self._left[failed] and not self._unsoaked(failed):
                    return (say(Reason.NOT_STARTED, why=self._wave_failed(failed)),
                            {"held_by": "soak" if self._soak_failed[failed] else "wave", "wave": failed + 1})
                if failed is None and not any(self._left[:wave]) and not any(map(self._unsoaked, range(wave))):
                    return None
                if stop.is_set():
                    raise KeyboardInterrupt
                due = self._due_soak()
                if due is None:
                    self._changed.wait(0.2)  # wakes on stop too
                    continue
            self._soak(*due, stop)

    def soak_due(self, stop: threading.Event) -> None:
        """Soaks, in the calling thread, each wave that has ended with devices updated here that
        wait for their check; nothing without a soak. Called as each device ends."""
        while self.soak is not None:
            with self._changed:
                self._look_again()
                due = self._due_soak()
            if due is None:
                return
            self._soak(*due, stop)

    def _due_soak(self) -> tuple[int, list[Outcome]] | None:
        """(wave, the outcomes of its devices updated here) of a wave that ended and whose soak is
        due here, marked as running; None. The caller holds the lock."""
        for number, waiting in enumerate(self._to_soak):
            if waiting and not self._left[number] and not self._soaking[number]:
                self._soaking[number] = True
                return number, list(waiting.values())
        return None

    def _soak(self, number: int, outcomes: list[Outcome], stop: threading.Event) -> None:
        assert self.soak is not None  # only a soak has devices to soak
        failed: set[str] = set()
        try:
            if self._not_succeeded[number]:  # held back already: no wait, and no check, would change that
                self.soak.not_checked(outcomes, f"wave {number + 1} did not succeed")
            else:
                failed = self.soak.wave(number + 1, outcomes, stop)
        finally:
            with self._changed:
                self.failures += len(failed)
                self._not_succeeded[number] += len(failed)
                self._soak_failed[number] += len(failed)
                for outcome in outcomes:
                    if self._to_soak[number].get(outcome.address) is outcome:
                        del self._to_soak[number][outcome.address]
                self._soaked(outcomes, failed, stop.is_set())
                self._soaking[number] = False
                self._changed.notify_all()

    def _soaked(self, outcomes: list[Outcome], failed: set[str], stopped: bool) -> None:
        """The devices of `outcomes` were checked after their soak, those of `failed` found not running
        the image (`stopped`: the soak was interrupted). The caller holds the lock."""

    def _unsoaked(self, number: int) -> bool:
        """Whether devices of wave `number` ended, and wait for the check after its soak. The caller
        holds the lock."""
        return bool(self._to_soak[number])

    def _look_again(self) -> None:
        """Brings what the gate knows of the devices up to date: what this run told it (finished()),
        here. A gate of a site that several computers share reads the site's devices instead."""

    def _wave_failed(self, number: int) -> str:
        first = sum(len(wave) for wave in self._waves[:number]) + 1
        size = len(self._waves[number])
        bad = self._not_succeeded[number]
        which = f"{bad} of the {size} devices of wave" if size > 1 else "the device of wave"
        soaked = self._soak_failed[number]
        check = "" if not soaked else f", {soaked} of them in the check after its soak" if size > 1 else \
            " in the check after its soak"
        return f": {which} {number + 1} ({_devices(first, first + size - 1)}, {self.named}) did not succeed{check}"

    def finished(self, outcome: Outcome) -> None:
        with self._changed:
            self.failures += outcome.result == Result.FAILED
            wave = self._wave_of.get(outcome.address)
            if wave is not None and outcome.address in self._left[wave]:
                self._left[wave].discard(outcome.address)
                self._not_succeeded[wave] += outcome.result not in SUCCEEDED
                if self.soaks(outcome):
                    self._to_soak[wave][outcome.address] = outcome
            self._changed.notify_all()

    def soaks(self, outcome: Outcome) -> bool:
        """Whether the device of `outcome`, which ended, is to be checked after its wave's soak: one
        of a wave that succeeded (and changed nothing but what it must: not a dry run)."""
        return self.soak is not None and outcome.address in self._wave_of and outcome.result in SUCCEEDED \
            and outcome.result != Result.DRY_RUN


def _devices(first: int, last: int) -> str:
    return f"device {first}" if first == last else f"devices {first} to {last}"


def reason_not_to_write(settings: Settings, before: DeviceFacts) -> tuple[Result, Reason | None, str] | None:
    """(result, reason, message) for a device that is not to be touched: a dry run; None to update
    it. `before` is what it reported. Raises the DeviceFailure of an image older than what the
    device reports, unless allowed."""
    image = settings.image_facts
    older = None if settings.allow_older else older_image(image, before.fpga_version)
    if older:
        raise older
    if settings.dry_run:
        assert image is not None  # a run's settings have its image's facts
        now = before.fpga_version or "(not reported)"
        named = f", version {image.header_version}" if image.header_version else ""
        return (Result.DRY_RUN, None, f"would write and load {os.path.basename(image.path)} ({image.size} "
                                      f"bytes{named}); the device reports FPGA version {now}")
    return None


def version_mismatch(image: ImageFacts | None, reported: str | None,
                     expected: str | None = None) -> DeviceFailure | None:
    """The DeviceFailure of a device that reports, after loading the image, another version than
    `expected` (a restore's: the version the device ran when its backup was taken) or else the one
    the image's header names; None when they agree or neither is known."""
    expected = expected or (image.header_version if image is not None else None)
    if expected is None or reported == expected:
        return None
    return DeviceFailure(say(Reason.VERSION_MISMATCH, reported=reported or "(none)", expected=expected),
                         Reason.VERSION_MISMATCH, {"reported": reported, "expected": expected})


def version_key(text: object) -> tuple[int, ...] | None:
    """A dotted version ("2.0.0.0") as numbers to compare, trailing zeros left out (1.2 is
    1.2.0); None for a text that is no such version."""
    if not isinstance(text, str) or not re.fullmatch(r"[0-9]{1,9}(\.[0-9]{1,9})*", text.strip()):
        return None
    fields = [int(field) for field in text.strip().split(".")]
    while fields and fields[-1] == 0:
        fields.pop()
    return tuple(fields)


def older_image(image: ImageFacts | None, reported: str | None) -> DeviceFailure | None:
    """The DeviceFailure of a device that reports a newer FPGA version than the image's header
    names; None when it does not, or when either version is missing or unreadable."""
    named = image and image.header_version
    ours, theirs = version_key(named), version_key(reported)
    if ours is None or theirs is None or not ours < theirs:
        return None
    return DeviceFailure(say(Reason.OLDER_IMAGE, reported=reported, image_version=named), Reason.OLDER_IMAGE,
                         {"reported": reported, "image_version": named})
