"""The engine for scripts: what `orbisk-fpga update`, `verify` and `status` do, as functions.

Each does for a device what the command line does: the image read once into a private copy,
checked, and verified against the trusted keys; every address checked and looked up before any
device is touched; the device's lock; the read-only probe that sets the window; the erase's own
time-out; the history, when one is given; the read-back before a skip; the outcome. The command
line is a thin layer over run_updates().
"""

from __future__ import annotations

import contextlib
import functools
import logging
import os
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Protocol

from orbisk_tools.engine import locks
from orbisk_tools.engine.image import ImagePath, Snapshot, image_snapshot, trusted_keys_from
from orbisk_tools.engine.settings import Settings
from orbisk_tools.engine.outcomes import (DeviceResult, DeviceState, Outcome, Phase, Reason, Result,
                                          SiteResult, UpdateError, UpdateInterrupted)
from orbisk_tools.engine.rollout import Gate, waves_of
from orbisk_tools.engine.arguments import (HistoryArgument, Window, check_options, depth_of, history_to_read,
                                          history_to_write, resolved_once, seconds, target_of, texts, wave_sizes,
                                          whole_number)
from orbisk_tools.engine.backup import backup_folder
from orbisk_tools.engine.runner import update_devices
from orbisk_tools.engine.sharing import SharedGate, SharedSite
from orbisk_tools.engine.soak import WaveSoak, unconfirmable
from orbisk_tools.engine.stop import Stop
from orbisk_tools.engine.workers import Pool
from orbisk_tools.engine.inspection import DeviceStatus, judged, read_back, site_status
from orbisk_tools.engine.targets import Resolved, Target
from orbisk_tools.records.history import History
from orbisk_tools.records.attempts import new_run_id
from orbisk_tools.wording import named

if TYPE_CHECKING:
    from orbisk_tools.engine.restore import Restore

logger = logging.getLogger("orbisk_tools")  # what the engine notes on the way: a window of 1, a second try

ProgressCallback = Callable[[str, str, int, int], object]  # (address, stage, current, total)


class CancelToken(Protocol):
    """What `cancel` takes: a threading.Event, or anything with is_set() and set()."""

    def is_set(self) -> bool: ...

    def set(self) -> None: ...


class View(Protocol):
    """What an update tells as it goes: the command line's display, or the script's callback."""

    def phase(self, address: str, phase: Phase) -> None: ...

    def progress(self, address: str, stage: str, current: int, total: int) -> None: ...

    def note(self, text: str) -> None: ...

    def finished(self, outcome: Outcome, phase: Phase | None) -> None: ...


class Callbacks:
    """The View of a script: each phase and each block to `progress`, notes to the log. A
    KeyboardInterrupt (or another exception that is not an Exception) that `progress` raises stops
    every device, as Ctrl-C does, and is kept in `interrupt`."""

    def __init__(self, progress: ProgressCallback | None, stop: Stop | None = None):
        self._progress, self._stop = progress, stop
        self.interrupt: BaseException | None = None

    def phase(self, address: str, phase: Phase) -> None:
        self.progress(address, str(phase), 0, 0)  # a text, as the module's stages are

    def progress(self, address: str, stage: str, current: int, total: int) -> None:
        if self._progress is None:
            return
        try:
            self._progress(address, stage, current, total)
        except Exception:
            raise
        except BaseException as error:  # the script's own interrupt: every device stops, and it is raised
            if self.interrupt is None:
                self.interrupt = error
            if self._stop is not None:
                self._stop.stop(Stop.INTERRUPT)
            raise

    def note(self, text: str) -> None:
        logger.info(text)

    def finished(self, outcome: Outcome, phase: Phase | None) -> None:
        pass


# ---- the public functions ------------------------------------------------------------------

def update_device(address: str, image: ImagePath, *, device_type: int = 32, timeout: float = 5.0,
                  erase_timeout: float = 120.0, window: Window = "auto", progress: ProgressCallback | None = None,
                  history: HistoryArgument = None, trust_keys: Iterable[ImagePath] = (), force: bool = False,
                  dry_run: bool = False, allow_older: bool = False, cancel: CancelToken | None = None,
                  backup: ImagePath | None = None) -> DeviceResult:
    """Updates the FPGA image of the device at `address` ("HOST", "HOST:PORT" or "[IPv6]:PORT";
    port 5025 by default) and returns its DeviceResult: updated; loaded (its memory held the
    image, read back, whose load was not confirmed: it is loaded without rewriting); skipped (it
    runs the image, read back and verified); or a dry run. Any other end raises UpdateError; see
    update_site() for the arguments and the other exceptions (UpdateInterrupted carries the
    DeviceResult)."""
    target = target_of(address)
    outcomes, site = _update(
        [target], image, jobs=1, device_type=device_type, timeout=timeout, erase_timeout=erase_timeout,
        window=window, progress=progress, history=history, trust_keys=trust_keys, force=force,
        dry_run=dry_run, allow_older=allow_older, max_failures=None, waves=None, canary=None, cancel=cancel,
        one=True, backup=backup)
    return only_result(outcomes, site)


def only_result(outcomes: list[Outcome], site: SiteResult) -> DeviceResult:
    """The result of the one device of an update, or UpdateError when it did not succeed."""
    (outcome,), (result,) = outcomes, site.devices
    if not result.ok:
        raise UpdateError(result) from outcome.error
    return result


def update_site(addresses: Iterable[str], image: ImagePath, *, jobs: int = 8, device_type: int = 32,
                timeout: float = 5.0, erase_timeout: float = 120.0, window: Window = "auto",
                progress: ProgressCallback | None = None, history: HistoryArgument = None,
                trust_keys: Iterable[ImagePath] = (), force: bool = False, dry_run: bool = False,
                allow_older: bool = False, max_failures: int | None = None,
                waves: Sequence[int | str] | str | None = None, canary: int | None = None,
                cancel: CancelToken | None = None, share_site: str | None = None, soak: float | None = None,
                backup: ImagePath | None = None) -> SiteResult:
    """Updates the devices at `addresses`, up to `jobs` at once, each on its own connection, and
    returns their results; a device that fails does not stop the others.

    `device_type` is one of DEVICE_TYPES (28 and 32); `timeout` is how long to wait for a device
    to connect and to answer each command, `erase_timeout` for the erase. `window` is the commands
    kept in flight, 1 to 1024, or "auto" to learn them from each device. `progress(address, stage,
    current, total)` is called from the update threads: with current and total 0 as each device
    connects ("connect") and as its erase is sent ("erase"); then for its blocks written ("write")
    and read back ("verify"), at the start of each, about every 20 ms, at each tenth and at the
    end, not for every block. `history` (a path, or an open History) records every
    attempt. Unless `force`, a device that may already hold the image is read back first: one that
    runs it (it reports the version the image's header names, or the history's newest attempt
    that changed it confirmed the load of this image) is skipped once its read-back matches; one
    whose memory holds it unloaded (the history recorded it written whole, or it reports the
    header's version) is loaded without rewriting (Result.LOADED). With `trust_keys` (a list of
    key texts or key files), the image must carry a signature IMAGE.minisig by one of them.
    `dry_run` identifies each device and
    changes nothing. A device that reports a newer FPGA version than the image's header names is
    refused before its erase (Reason.OLDER_IMAGE), unless `allow_older`; one whose version, or
    the header's, is missing or not dotted numbers is not. `max_failures` starts no new device
    once that many failed. `waves` updates the devices in waves, in the order given: cumulative
    sizes, counts of devices or shares of them ("1,10%,50%,100%", or [1, "10%", "50%", "100%"]),
    each wave starting only once every device of the waves before it succeeded, and the devices
    after the last wave not started; `canary` N is waves N and 100%; a device held back says why
    in details["held_by"]. Setting `cancel` stops every update after its current exchange (a
    device not yet erased is left untouched, "not started"; one erased ends with
    Reason.CANCELLED). A device reached by two addresses is updated once; the other is
    Reason.NAMED_TWICE. `share_site` names a site that several computers update together, each
    given the same `addresses` and the same team history (a postgresql:// URL): each takes the
    site's next device that none has taken, the waves and `max_failures` hold for the site as a
    whole, and the result holds the devices this one updated.

    `soak`, with `waves` or `canary`, is a number of seconds (0 to 86400) that each wave soaks once
    every device of it ended: then each of its devices that succeeded is asked, read-only, whether
    it still runs the image, as verify_device() asks it (its memory read back, and what its FPGA
    runs judged with the history); one that does not fails with Reason.SOAK_FAILED, which holds the
    waves after it. What the check found is each device's `soak`; a dry run does not soak, and
    `cancel` or Ctrl-C during a soak checks nothing more and starts no other wave. `backup` is a
    folder of the user's (refused when it is missing, a link, or others can write to it) where each device's configuration memory is read back into a new file before its erase,
    SERIAL_TIME_SHA16.bin, recorded in the history with its attempt (see restore_device()); a
    device whose backup cannot be read or written is not erased, and fails with
    Reason.BACKUP_FAILED.

    Raises, before any device is touched: ValueError or TypeError for an argument that cannot be
    used (an address that is none, two addresses of one device, trust_keys as one text),
    ImageRefused for an image that fails its checks or its signature, KeyRefused for a trusted
    key that cannot be read, HistoryUnavailable for a history that cannot be opened,
    LockFolderRefused for a lock folder that cannot be trusted, BackupFolderRefused for a folder of
    `backup` that cannot be used or trusted: each an OrbiskError. Ctrl-C
    stops every update after its current exchange, then raises UpdateInterrupted with the
    SiteResult."""
    _, site = _update(
        [target_of(address) for address in texts(addresses, "addresses")], image, jobs=jobs, device_type=device_type,
        timeout=timeout, erase_timeout=erase_timeout, window=window, progress=progress, history=history,
        trust_keys=trust_keys, force=force, dry_run=dry_run, allow_older=allow_older, max_failures=max_failures,
        waves=waves, canary=canary, cancel=cancel, share_site=share_site, soak=soak, backup=backup)
    return site


def verify_device(address: str, image: ImagePath, *, device_type: int = 32, timeout: float = 5.0,
                  window: Window = "auto", trust_keys: Iterable[ImagePath] = (),
                  history: HistoryArgument = None, cancel: CancelToken | None = None) -> DeviceResult:
    """Whether the device at `address` runs exactly `image`, sending nothing that erases, writes
    or loads: what it reports (serial number, FPGA version), then its read-back under its lock. A
    DeviceResult whose result is Result.RUNS (its memory holds the image and its FPGA runs it:
    it reports the version the image's header names, or the newest attempt in `history` that
    changed it confirmed the load of this image); Result.NOT_LOADED (its memory holds the image,
    its FPGA runs another or none) or Result.NOT_CONFIRMED (nothing confirms that it runs it),
    with details["why"]; or Result.DIFFERS with the reason and details["offset"] of the first byte
    that differs. `history` is read, never created nor written (a path, an open History, or None).
    Setting `cancel` stops the read-back after its current exchange.

    Raises UpdateError when it cannot tell (the device cannot be reached or locked, its read-back
    fails, or `cancel` stopped it: Reason.CANCELLED); ValueError, TypeError, ImageRefused,
    KeyRefused, LockFolderRefused and HistoryUnavailable as update_site() does; KeyboardInterrupt
    after Ctrl-C."""
    target = target_of(address)
    check_options(device_type, timeout, jobs=1)
    depth = depth_of(window)
    keys = trusted_keys_from(trust_keys)
    (target, addresses), = resolved_once([target]).items()
    with image_snapshot(image, device_type, keys) as snapshot, locks.lock_folder() as folder, \
            history_to_read(history) as records:
        stop = Stop(cancel)
        outcome = judged(read_back(target, addresses, snapshot.path, device_type, timeout, depth, folder, stop),
                         snapshot.facts, records)
    if outcome is None and stop.cause == Stop.CANCEL:
        raise UpdateError(DeviceResult(target.label, Result.FAILED, Reason.CANCELLED, {}, Phase.VERIFY,
                                       DeviceState.UNTOUCHED, "cancelled while reading back; the device was not "
                                       "changed"))
    if outcome is None:  # Ctrl-C before the read-back ended
        raise KeyboardInterrupt
    if outcome.result == Result.FAILED:
        raise UpdateError(DeviceResult._of(outcome)) from outcome.error
    return DeviceResult._of(outcome)


def status_of(addresses: Iterable[str], *, history: HistoryArgument = None, image: ImagePath | None = None,
              device_type: int = 32, timeout: float = 5.0, jobs: int = 8,
              trust_keys: Iterable[ImagePath] = ()) -> list[DeviceStatus]:
    """What `orbisk-fpga status` shows of each device at `addresses`, asked up to `jobs` at once
    through queries that change nothing: what it reports (or why it could not be asked), beside
    its last attempt in `history` (a path, which is not created, or an open History), with the
    flag of an update left unfinished; with `image`, whether it runs exactly that image, from its
    read-back and what it reports (see verify_device()). Raises as update_site() does."""
    targets = [target_of(address) for address in texts(addresses, "addresses")]
    check_options(device_type, timeout, jobs)
    keys = trusted_keys_from(trust_keys)
    resolved = resolved_once(targets)
    if isinstance(history, History):
        history = history.path
    elif history is not None and not isinstance(history, (str, os.PathLike)):
        raise TypeError(f"history must be a path, a History or None, not {type(history).__name__}")
    with contextlib.ExitStack() as held:
        snapshot = None if image is None else held.enter_context(image_snapshot(image, device_type, keys))
        folder = held.enter_context(locks.lock_folder())
        return site_status(resolved, None if history is None else os.fspath(history), device_type, timeout, jobs,
                           folder, snapshot)


# ---- what the command line shares ------------------------------------------------------------

def run_updates(resolved: Resolved, snapshot: Snapshot, *, jobs: int, device_type: int,
                timeout: float, erase_timeout: float, window: int | None, view: View, history: History | None,
                force: bool, dry_run: bool, max_failures: int | None, waves: Sequence[int | str] | None,
                canary: int | None, cancel: CancelToken | None, allow_older: bool = False,
                pool: Pool | None = None, stop: Stop | None = None, share_site: str | None = None,
                soak: float | None = None, backup: str | None = None,
                restore_of: dict[str, str | None] | None = None) -> tuple[list[Outcome], str, bool]:
    """Updates the devices of `resolved` (see targets.resolve) with the image of `snapshot`,
    telling `view` as they go, on the worker processes of `pool` when it has any: (their
    Outcomes, in order; the run's id; whether Ctrl-C stopped it). `waves` are sizes of
    rollout.parse_waves(). Raises LockFolderRefused before any device is touched, and
    ValueError for waves that shrink (see rollout.wave_ends). With `share_site`, the devices this
    laptop took of the site that name (see sharing): SiteRefused when its list is another.
    `soak`: the seconds each wave soaks (see soak.WaveSoak); `backup`: the folder of the backups,
    as backup.backup_folder() gives it; `restore_of`: a restore's (see Settings,
    restore)."""
    labels = [target.label for target in resolved]
    shared = None if share_site is None else shared_site(history, share_site, labels, view)
    kind = Gate if shared is None else functools.partial(SharedGate, shared)
    gate = None
    if max_failures is not None or waves is not None or canary is not None:
        if canary is not None:
            gate = kind(max_failures, waves_of(labels, (canary, "100%")), named("canary", n=canary))
        elif waves is not None:
            gate = kind(max_failures, waves_of(labels, waves), named("waves", sizes=",".join(map(str, waves))))
        else:
            gate = kind(max_failures)
    vendor = snapshot.vendor
    run_id = new_run_id()
    with locks.lock_folder() as folder:
        settings = Settings(snapshot.path, device_type, timeout, window, folder, history=history, run_id=run_id,
                            image_facts=snapshot.facts, dry_run=dry_run, force=force, allow_older=allow_older,
                            gate=gate, vendor_key_id=vendor.key_id if vendor else None, erase_timeout=erase_timeout,
                            backup=backup, restore_of=restore_of)
        if soak is not None and gate is not None and not dry_run:
            gate.soak = WaveSoak(soak, settings, resolved, jobs)
        outcomes, interrupted = update_devices(resolved, settings, view, jobs, cancel, pool, stop, shared)
    return outcomes, run_id, interrupted


def shared_site(history: History | None, name: str, labels: list[str], view: View) -> SharedSite:
    """The site `name` of the team's `history`, its devices `labels`, shared out (see sharing);
    ValueError without a team's history or a name."""
    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"{named('site_name')} must name the site, not {name!r}")
    if not all(hasattr(history, method) for method in ("share_site", "take_device")):
        raise ValueError(named("team_history"))
    return SharedSite(history, name, labels, getattr(view, "elsewhere", None))  # type: ignore[arg-type]


# ---- the pieces ----------------------------------------------------------------------------

def _update(targets: list[Target], image: ImagePath, *, jobs: int, device_type: int, timeout: float,
            erase_timeout: float, window: Window, progress: ProgressCallback | None, history: HistoryArgument,
            trust_keys: Iterable[ImagePath], force: bool, dry_run: bool, allow_older: bool,
            max_failures: int | None, waves: Sequence[int | str] | str | None, canary: int | None,
            cancel: CancelToken | None, one: bool = False, share_site: str | None = None,
            soak: float | None = None, backup: ImagePath | None = None,
            restore: Restore | None = None) -> tuple[list[Outcome], SiteResult]:
    """The update of `targets`, as update_site() says, or the `restore` of a backup (see restore);
    UpdateInterrupted after Ctrl-C, with the DeviceResult of the one device (`one`) or the
    SiteResult."""
    check_options(device_type, timeout, jobs, erase_timeout)
    if soak is not None:
        seconds("soak", soak, 0, 86400)
        if waves is None and canary is None:
            raise ValueError("soak needs waves or canary: each wave soaks before the next one starts")
    depth = depth_of(window)
    for name, value in (("max_failures", max_failures), ("canary", canary)):
        if value is not None:
            whole_number(name, value, 1)
    sizes = None if waves is None else wave_sizes(waves, canary, len(targets))
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, not {type(progress).__name__}")
    keys = trusted_keys_from(trust_keys)
    resolved = resolved_once(targets)
    stop = Stop(cancel)
    callbacks = Callbacks(progress, stop)
    folder = None if backup is None else backup_folder(backup)
    with history_to_write(history) as records, image_snapshot(image, device_type, keys) as snapshot:
        cannot = None if soak is None or dry_run else unconfirmable(snapshot.facts, records, os.fspath(image))
        if cannot:
            raise ValueError(cannot)
        if restore is not None:
            restore.vouched(records)
            restore.same_bytes(snapshot)
        outcomes, run_id, interrupted = run_updates(
            resolved, snapshot, jobs=jobs, device_type=device_type, timeout=timeout, erase_timeout=erase_timeout,
            window=depth, view=callbacks, history=records, force=force, dry_run=dry_run,
            allow_older=allow_older, max_failures=max_failures, waves=sizes, canary=canary, cancel=cancel, stop=stop,
            share_site=share_site, soak=soak, backup=folder, restore_of=restore.devices() if restore else None)
    vendor = snapshot.vendor
    site = SiteResult(tuple(map(DeviceResult._of, outcomes)), run_id, vendor.key_id if vendor else None)
    if interrupted:
        raise UpdateInterrupted(site.devices[0] if one else site) from callbacks.interrupt
    return outcomes, site
