"""Read-only work on devices, each under its lock: what a device reports about itself, whether it
holds exactly an image (from its read-back), what its configuration memory holds, and a site's
status beside the update history.
Nothing that changes a device is sent. Ctrl-C stops every device after its current exchange, and
the call then raises KeyboardInterrupt."""

from __future__ import annotations

import dataclasses
import functools
import os
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Protocol, TypeVar, cast

from orbisk_tools.native import fpga_module
from orbisk_tools.engine import running
from orbisk_tools.engine.advice import exception_reason, said, say, transport_failure
from orbisk_tools.engine.connection import device_connection
from orbisk_tools.engine.outcomes import (HOLDS, DeviceFailure, Outcome, Phase, Reason, Result, Runs, known_phase,
                                          known_reason)
from orbisk_tools.engine.runner import for_each_device
from orbisk_tools.engine.facts import DeviceFacts, read_facts
from orbisk_tools.records.attempts import Attempt, ImageFacts, is_database_url
from orbisk_tools.records.history import History
from orbisk_tools.records.opening import open_history
from orbisk_tools.wording import named

if TYPE_CHECKING:
    from orbisk import VornFpga

    from orbisk_tools.engine.image import Snapshot
    from orbisk_tools.engine.targets import Resolved, Target
    from orbisk_tools.engine.workers import Pool

T = TypeVar("T")
T_co = TypeVar("T_co", covariant=True)


class Work(Protocol[T_co]):
    """What is done for each device on a read-only pass: work(target, addresses, folder=...,
    stop=...), the device's lock taken in `folder` and `stop` looked at between its exchanges."""

    def __call__(self, target: Target, addresses: list[str] | DeviceFailure, *, folder: int,
                 stop: threading.Event) -> T_co: ...


@dataclasses.dataclass
class DeviceStatus:
    """One device as `orbisk-fpga status` shows it.

    Attributes:
        address: The device, as "HOST:PORT" or "[IPv6]:PORT".
        reported: What it reports (serial, fpga_id, fpga_version, control_fw_version: None for what it
            did not say; no_fpga_image: it refused the FPGA version query); None when it could not be
            asked.
        problem: Why it could not be asked, or what it lacks ("no FPGA image: update it"), and what
            to do; "" when all is well.
        reason: The problem's key, a Reason (Reason.NO_FPGA_IMAGE, Reason.CANNOT_CONNECT, ...);
            None without a problem.
        last_attempt: Its newest attempt in the history (a records.history.Attempt), or None.
        last_outcome: How that attempt ended, as the user reads it ("updated", "ended unrecorded", ...).
        unfinished: The flag of a device whose last update erased it and did not load a verified
            image; "" for none.
        image: With an image: its verdict, "runs", "holds, not loaded: ...", "holds, not confirmed:
            ...", "differs at byte offset N" or "cannot tell: ..."; else None.
        image_result: With an image: the verdict as a Result (Result.RUNS, Result.NOT_LOADED,
            Result.NOT_CONFIRMED, Result.DIFFERS, or Result.FAILED when it cannot tell); else None.
    """
    address: str
    reported: DeviceFacts | None = None
    problem: str = ""
    reason: Reason | None = None
    last_attempt: Attempt | None = None
    last_outcome: str = ""
    unfinished: str = ""
    image: str | None = None
    image_result: Result | None = None


def verdicts(resolved: Resolved, image: Snapshot, device_type: int, timeout: float, window: int | None, jobs: int,
             folder: int, history: History | None = None, pool: Pool | None = None) -> list[Outcome | None]:
    """The read_back() of each device of `resolved` (see resolve()), in order, `jobs` at a time (on
    the workers of `pool`, a workers.Pool, when it has any), judged with `history` (see judged()):
    `image` is the Snapshot of the image."""
    work = functools.partial(read_back, image=image.path, device_type=device_type, timeout=timeout, window=window)
    found = _each_device(resolved, jobs, work, _cannot_tell, folder, pool)
    return [judged(outcome, image.facts, history) for outcome in found]


def _cannot_tell(target: Target, message: str) -> Outcome:
    return Outcome(target.label, Result.FAILED, message, reason=Reason.ERROR)


def read_back(target: Target, addresses: list[str] | DeviceFailure, image: str, device_type: int, timeout: float,
              window: int | None, folder: int, stop: threading.Event) -> Outcome | None:
    """Whether one device's configuration memory holds exactly `image`, from a read-back under the
    device's lock with `window` commands in flight (None: as the link needs), after asking what it
    reports (its serial number and FPGA version), as an Outcome: Result.NOT_CONFIRMED for a memory
    that holds it, until judged() says what runs; Result.DIFFERS ("differs at byte offset N", with
    the module's reason and offset), or Result.FAILED when it cannot tell (the message says why and
    what to do, `error` is what ended it). What the device reported is in `serial`,
    `fpga_version_before` and, for no FPGA image, `runs`. None when `stop` was set before the
    read-back ended."""
    FpgaTool: type[VornFpga.FpgaTool] = fpga_module().FpgaTool

    from orbisk_tools.engine import window as windows

    def progress(stage: str, current: int, total: int) -> None:
        if stop.is_set():
            raise KeyboardInterrupt

    found = Outcome(target.label, phase=Phase.CONNECT)
    start = time.monotonic()
    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            if stop.is_set():
                return None
            tool = FpgaTool(conn)
            tool.console_progress = False
            tool.set_progress_callback(progress)
            found.phase = Phase.PROBE
            facts = read_facts(tool, device_type)
            found.serial, found.fpga_version_before = facts.serial or "", facts.fpga_version or ""
            found.runs = Runs.NONE if facts.no_fpga_image else None
            tool.pipeline_depth = found.window = window or windows.probe_pipeline_depth(conn)
            found.phase = Phase.VERIFY
            result = tool.verifyFpgaImage(image, device_type)
    except KeyboardInterrupt:  # from the progress callback
        return None
    except DeviceFailure as failure:
        found.message, found.reason, found.details = str(failure), failure.reason, failure.details
        found.error = failure.__cause__
        return found
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        found.message = transport_failure(error, timeout, "while reading the device back", "verify it again")
        found.reason, found.error = exception_reason(error), error
        found.details = {"error": type(error).__name__, "text": said(error)}
        return found
    finally:
        found.seconds = found.read_back_seconds = time.monotonic() - start
    ended = tool.last_outcome
    assert ended is not None  # verifyFpgaImage set it
    found.phase = known_phase(ended.phase, found.phase)
    data = result.RetData or {}
    if data.get("holds"):
        found.result = Result.NOT_CONFIRMED
        return found
    found.reason, found.details = known_reason(ended.reason, ended.details)
    if data.get("offset") is not None:
        found.result, found.message = Result.DIFFERS, f"differs at byte offset {data['offset']}"
    else:
        found.message = f"the device refused the read-back ({result.RetMsg}); check the image and the device type"
    return found


def judged(found: Outcome | None, image: ImageFacts, history: History | None) -> Outcome | None:
    """`found`, an Outcome of read_back() (or None), with what runs on a device whose memory holds
    the image: Result.RUNS, Result.NOT_LOADED or Result.NOT_CONFIRMED, by running.judge() from what
    the device reported, `image` (its history.ImageFacts) and `history` (None: none)."""
    if found is None or found.result != Result.NOT_CONFIRMED or found.message:
        return found
    facts = DeviceFacts(serial=found.serial or None, fpga_version=found.fpga_version_before or None,
                        no_fpga_image=found.runs == Runs.NONE)
    evidence = running.judge(image, facts, history)
    found.result, found.runs = evidence.result, evidence.runs
    if evidence.result == Result.RUNS:
        found.message = f"runs the image: {evidence.why}"
        found.fpga_version = found.fpga_version_before
    else:
        found.reason = Reason.NOT_LOADED if evidence.result == Result.NOT_LOADED else Reason.NOT_CONFIRMED
        found.details = {"why": evidence.why}
        found.message = say(found.reason, why=evidence.why)
    return found


def verdict_text(found: Outcome) -> str:
    """The short verdict of a judged read_back(): "runs", "holds, not loaded: ...", "holds, not
    confirmed: ...", "differs at byte offset N" or "cannot tell: ..."."""
    if found.result == Result.RUNS:
        return "runs"
    if found.result in HOLDS:
        return f"holds, {found.result}: {found.details['why']}"
    return found.message if found.result == Result.DIFFERS else f"cannot tell: {found.message}"


def memory_dump(resolved: Resolved, size: int, timeout: float, window: int | None,
                folder: int) -> tuple[bytes | None, str]:
    """The first `size` bytes of the configuration memory of the one device of `resolved` (see
    resolve()), read under its lock with `window` page reads in flight (None: as the link needs),
    as (bytes, ""); fewer bytes when its memory ends first. (None, why and what to do) when it
    cannot be read. KeyboardInterrupt after Ctrl-C."""
    (found,) = _each_device(resolved, 1, functools.partial(_read_memory, size=size, timeout=timeout, window=window),
                            None, folder)
    return found


def _read_memory(target: Target, addresses: list[str] | DeviceFailure, size: int, timeout: float,
                 window: int | None, folder: int, stop: threading.Event) -> tuple[bytes | None, str] | None:
    FpgaTool: type[VornFpga.FpgaTool] = fpga_module().FpgaTool

    from orbisk_tools.engine import memory, window as windows

    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            if stop.is_set():
                return None
            depth = window or windows.probe_pipeline_depth(conn)
            data = memory.read_pages(FpgaTool(conn), size, depth, stop)
            return None if data is None else (data, "")
    except DeviceFailure as failure:
        return None, str(failure)
    except memory.NotAPage as error:
        return None, f"{error}; check the device, or try {named('window_one')}"
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        return None, transport_failure(error, timeout, "while reading the configuration memory", "dump it again")


def site_status(resolved: Resolved, history_path: str | None, device_type: int, timeout: float, jobs: int, folder: int,
                image: Snapshot | None = None, pool: Pool | None = None) -> list[DeviceStatus]:
    """The DeviceStatus of each device of `resolved`, in order (asked on the workers of `pool`, a
    workers.Pool, when it has any): what it reports, with `image` (a Snapshot) the verdict on it,
    and its last attempt in the history at `history_path` if there is one (reading must not create
    it; None: no history). Raises HistoryUnavailable."""
    history = open_if_there(history_path)
    try:
        work = functools.partial(_status_and_read_back, device_type=device_type, timeout=timeout,
                                 image=None if image is None else image.path)
        found = _each_device(resolved, jobs, work, _not_asked, folder, pool)
        statuses = [status for status, _ in found]
        if image is not None:
            for status, (_, read) in zip(statuses, found):
                read = judged(read, image.facts, history)
                assert read is not None  # read back: an image was given
                status.image, status.image_result = verdict_text(read), read.result
        if history is not None:
            for status in statuses:
                add_history(status, history)
    finally:
        if history is not None:
            history.close()
    return statuses


def _status_and_read_back(target: Target, addresses: list[str] | DeviceFailure, device_type: int, timeout: float,
                          image: str | None, folder: int,
                          stop: threading.Event) -> tuple[DeviceStatus, Outcome | None] | None:
    """(device_status(), read_back() of `image` or None) of one device; None when `stop` was set."""
    status = device_status(target, addresses, device_type, timeout, folder, stop)
    if status is None:
        return None
    read = None if image is None else read_back(target, addresses, image, device_type, timeout, None, folder, stop)
    return None if image is not None and read is None else (status, read)


def _not_asked(target: Target, message: str) -> tuple[DeviceStatus, Outcome]:
    status = DeviceStatus(target.label, problem=message, reason=Reason.ERROR)
    return status, _cannot_tell(target, message)


def open_if_there(path: str | None) -> History | None:
    """The history at `path` if there is one there (reading must not create it); None for none, or
    for `path` None. Raises HistoryUnavailable."""
    if path is None or not (is_database_url(path) or os.path.exists(path)):
        return None
    return open_history(path)


def device_status(target: Target, addresses: list[str] | DeviceFailure, device_type: int, timeout: float, folder: int,
                  stop: threading.Event) -> DeviceStatus | None:
    """The status of one device, from queries that change nothing; None when `stop` was set first."""
    FpgaTool: type[VornFpga.FpgaTool] = fpga_module().FpgaTool

    status = DeviceStatus(target.label)
    try:
        with device_connection(target, addresses, timeout, folder) as conn:
            if stop.is_set():
                return None
            status.reported = read_facts(FpgaTool(conn), device_type)
    except DeviceFailure as failure:
        status.problem, status.reason = str(failure), failure.reason
    except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
        status.problem = transport_failure(error, timeout, "while asking the device", "ask it again")
        status.reason = exception_reason(error)
    else:
        if status.reported.no_fpga_image:
            status.problem, status.reason = say(Reason.NO_FPGA_IMAGE), Reason.NO_FPGA_IMAGE
    return status


def add_history(status: DeviceStatus, history: History) -> None:
    """Adds the device's last recorded attempt, and the flag of an unfinished update: the last
    attempt that erased or loaded it (on its serial number when it said it) did not confirm the
    load of a verified image."""
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
    if change is not None:
        status.unfinished = history.unfinished(change)


def _each_device(resolved: Resolved, jobs: int, work: Work[T | None], lost: Callable[[Target, str], T] | None,
                 folder: int, pool: Pool | None = None) -> list[T]:
    """work(target, addresses, folder=folder, stop=stop) for each device, through for_each_device(),
    or on the workers of `pool` when it has any (lost(target, message): the result of a device
    whose worker ended first); KeyboardInterrupt once every device stopped, after Ctrl-C. `work`
    returns None only for a device that found `stop` set."""
    stop = threading.Event()
    found: list[T | None]
    if pool is not None and pool.workers:
        assert lost is not None  # a pass on the workers says what a device whose worker ended gets
        found = pool.map(resolved, work, lost, jobs, stop)
    else:
        found = for_each_device(resolved, lambda target, addresses: work(target, addresses, folder=folder, stop=stop),
                                jobs, stop)
    if stop.is_set():
        raise KeyboardInterrupt
    return cast(list[T], found)  # no None: `stop` was not set
