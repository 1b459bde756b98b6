"""The soak between the waves of a rollout (update --soak DURATION): once every device of a wave
ended, the wave soaks for DURATION, then each device of it that succeeded is asked, read-only,
whether it still runs the image, as verify asks it (inspection.read_back() under its lock, then
judged() by running.judge()); one that does not, or that cannot be asked, fails, and holds the
waves after it (rollout.Gate). What the check found goes into each device's record, its history row
(its soak; a device that failed it, with its reason and line) and the view.

Ctrl-C, SIGTERM or the cancel token during the soak ends it at once: nothing more is sent to any
device, the devices of the wave keep what their update found ("not checked"), and the waves after
it are not started."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import threading
import time
from typing import TYPE_CHECKING, Any

from orbisk_tools.engine import inspection
from orbisk_tools.engine.advice import say
from orbisk_tools.engine.outcomes import HOLDS, Outcome, Reason, Result, Runs
from orbisk_tools.records.history import HistoryUnavailable
from orbisk_tools.wording import named

if TYPE_CHECKING:
    from orbisk_tools.records.attempts import ImageFacts
    from orbisk_tools.records.history import History

    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.targets import Resolved
    from orbisk_tools.engine.tracking import Tracker

COUNTDOWN_SECONDS = 1.0  # how often the view hears how long the soak has left

# What to do about a device that failed its check, by what it runs now.
TODO = {Runs.NONE: "check the device, then run the update again (a memory that still holds the image is loaded "
                   "without rewriting)",
        Runs.OTHER: "check what else updated the device, then run the update again",
        Runs.UNKNOWN: "check the device and its link, then verify it"}


def unconfirmable(image: ImageFacts, history: History | None, shown: str) -> str | None:
    """Why a soak cannot check devices updated with `image` (named `shown`): without a history,
    only the version its header names confirms that a device runs it (running.judge()). None
    when it can."""
    if history is not None or image.header_version is not None:
        return None
    return (f"a soak cannot confirm that a device runs {shown}: its header names no FPGA version, and no update "
            f"history is read; give {named('history_option')}")


def duration(seconds: float) -> str:
    """A number of seconds as --soak takes it: "90s", "5m", "1h30m", "2m5s"."""
    whole = round(seconds)
    if whole != seconds:
        return f"{seconds:g}s"
    hours, rest = divmod(whole, 3600)
    minutes, rest = divmod(rest, 60)
    return "".join(f"{count}{unit}" for count, unit in ((hours, "h"), (minutes, "m"), (rest, "s")) if count) or "0s"


@dataclasses.dataclass
class Found:
    """What the check after a soak found of one device."""
    text: str  # the record's `soak`, in words
    failure: str | None = None  # the device's line, when the check failed it
    details: dict[str, Any] = dataclasses.field(default_factory=dict)
    runs: Runs | None = None
    version: str | None = None  # what it reports now, when asked
    history_error: str = ""

    def apply(self, outcome: Outcome) -> None:
        """Tells `outcome` what the check found: a failure fails the device."""
        outcome.soak = self.text
        if self.failure is not None:
            outcome.result, outcome.reason, outcome.details = Result.FAILED, Reason.SOAK_FAILED, dict(self.details)
            outcome.message, outcome.runs = self.failure, self.runs
            outcome.fpga_version = self.version or ""
        outcome.history_error = outcome.history_error or self.history_error


class WaveSoak:
    """The soak of each wave of a run: `seconds` long, then the check of its devices that
    succeeded, `jobs` at a time, with the connections' settings of `settings` and the addresses of
    `resolved`. `view` (the runner's Tracker) hears of it: a note as it starts and ends, soaking()
    every COUNTDOWN_SECONDS, changed() for each device that failed its check."""

    def __init__(self, seconds: float, settings: Settings, resolved: Resolved, jobs: int):
        self.seconds, self.settings, self.jobs = seconds, settings, jobs
        self.targets = {target.label: (target, addresses) for target, addresses in resolved.items()}
        self.view: Tracker | None = None
        self.found: dict[str, Found] = {}  # by address
        self._lock = threading.Lock()

    def apply(self, outcome: Outcome) -> None:
        """Tells `outcome` what the soak found of its device, if it was soaked."""
        found = self.found.get(outcome.address)
        if found is not None:
            found.apply(outcome)

    def wave(self, number: int, outcomes: list[Outcome], stop: threading.Event) -> set[str]:
        """Soaks wave `number` (from 1), then checks the devices of `outcomes`: the addresses of those
        that failed. When `stop` is set first, nothing is checked."""
        count = f"{len(outcomes)} device{'s' if len(outcomes) != 1 else ''}"
        waited = duration(self.seconds)
        self._note(f"Wave {number} ended: soaking its {count} for {waited}, then asking each whether it still runs "
                   "the image")
        end = time.monotonic() + self.seconds
        while (left := end - time.monotonic()) > 0 and not stop.is_set():
            self._soaking(number, len(outcomes), left)
            stop.wait(min(COUNTDOWN_SECONDS, left))
        self._soaking(number, len(outcomes), None)
        if stop.is_set():
            self.not_checked(outcomes, f"the soak of wave {number} was interrupted")
            self._note(f"Soak of wave {number} interrupted: its devices were not checked")
            return set()
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(self.jobs, len(outcomes))),
                                                   thread_name_prefix="soak") as pool:
            checked = list(pool.map(lambda outcome: self._check(outcome, waited, stop), outcomes))
        failed = {outcome.address for outcome, found in zip(outcomes, checked) if found.failure is not None}
        asked = sum(not found.text.startswith("not checked") for found in checked)
        self._note(f"Wave {number} soaked for {waited}: {asked - len(failed)} of its {count} still run the image"
                   + (f"; {len(failed)} failed" if failed else ""))
        return failed

    def not_checked(self, outcomes: list[Outcome], why: str) -> None:
        """Records that the devices of `outcomes` were not checked after their soak, and `why`."""
        for outcome in outcomes:
            self._record(outcome, Found(f"not checked: {why}"))

    def _check(self, outcome: Outcome, waited: str, stop: threading.Event) -> Found:
        """Asks the device of `outcome` what verify asks (inspection.read_back(), judged()): whether
        its memory holds the image, read back, and its FPGA runs it."""
        settings = self.settings
        target, addresses = self.targets[outcome.address]
        found = None
        if not stop.is_set():
            found = inspection.read_back(target, addresses, settings.image, settings.device_type, settings.timeout,
                                         settings.window, folder=settings.lock_folder, stop=stop)
        if found is None:
            return self._record(outcome, Found("not checked: the soak was interrupted"))
        image = settings.image_facts
        judged = inspection.judged(found, image, settings.history) if image is not None else found
        assert judged is not None  # found was not None
        if judged.result == Result.RUNS:
            return self._record(outcome, Found(f"{judged.message} ({waited} after its wave ended)", runs=Runs.IMAGE,
                                               version=judged.fpga_version))
        if judged.serial and outcome.serial and judged.serial != outcome.serial:
            what, runs = f"its address answers as another device (serial {judged.serial}, not {outcome.serial})", \
                Runs.UNKNOWN
        elif judged.result in HOLDS:
            what, runs = judged.details.get("why", judged.result), judged.runs or Runs.UNKNOWN
        elif judged.result == Result.DIFFERS:
            what, runs = f"its configuration memory {judged.message}", judged.runs or Runs.OTHER
        else:
            what, runs = f"it cannot be asked ({judged.message.split('; ')[0]})", Runs.UNKNOWN
        details = {"reported": judged.fpga_version_before or None, "serial": judged.serial or None,
                   "verdict": str(judged.result)}
        return self._failed(outcome, waited, runs, what, judged.fpga_version_before or None, details)

    def _failed(self, outcome: Outcome, waited: str, runs: Runs, found: str, version: str | None,
                details: dict[str, Any]) -> Found:
        line = say(Reason.SOAK_FAILED, found=found, waited=waited, todo=TODO.get(runs, TODO[Runs.UNKNOWN]))
        result = self._record(outcome, Found(f"does not run the image {waited} after its wave ended: {found}", line,
                                             {"soak_seconds": self.seconds, "runs": runs.value, **details}, runs,
                                             version))
        if self.view is not None:
            told = dataclasses.replace(outcome)
            result.apply(told)
            self.view.changed(told)
        return result

    def _record(self, outcome: Outcome, found: Found) -> Found:
        """Keeps what was found of the device of `outcome`, and records it in its history row."""
        history, run = self.settings.history, self.settings.run_id
        if history is not None and run is not None:
            try:
                rows = history.attempts(run=run, address=outcome.address, limit=1)
                if rows:  # none: the history stopped taking writes before the device's attempt started
                    history.record_soak(rows[0].id, found.text, found.failure,
                                        Reason.SOAK_FAILED if found.failure else None)
            except HistoryUnavailable as error:
                found.history_error = str(error)
        with self._lock:
            self.found[outcome.address] = found
        return found

    def _note(self, text: str) -> None:
        if self.view is not None:
            self.view.note(text)

    def _soaking(self, number: int, devices: int, left: float | None) -> None:
        if self.view is not None:
            self.view.soaking(number, devices, left)
