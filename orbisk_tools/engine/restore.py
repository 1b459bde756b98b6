"""Writing a backup back (orbisk-fpga restore, restore_device()): a backup that update --backup
kept of a device's configuration memory is a raw image, written back through the update's own
path (the device's lock, the erase, the write, the read-back, the load, the history).

Which backup is trusted: one that the update history recorded from the very device it is written
to, known by its SHA-256, and the device by its serial number, asked before anything that changes
it is sent. The device must then report the FPGA version it reported when the backup was taken.
With trusted keys (an update then refuses an image that its vendor did not sign, and a backup
carries no signature), a backup is restored only when the history vouches for it so. Without
them, a backup that the history does not record is written as any raw image would be."""

from __future__ import annotations

import dataclasses
import hashlib
import os
import stat
from collections.abc import Iterable

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.api import CancelToken, ProgressCallback, _update, only_result
from orbisk_tools.engine.arguments import HistoryArgument, Window, target_of
from orbisk_tools.engine.backup import MAX_MEMORY
from orbisk_tools.engine.image import ImagePath, Snapshot, trusted_keys_from, unreadable
from orbisk_tools.engine.outcomes import DeviceResult, ImageRefused, Reason
from orbisk_tools.records.attempts import Attempt
from orbisk_tools.records.history import History
from orbisk_tools.wording import named


@dataclasses.dataclass
class Restore:
    """A backup to write back: its file (`path`, as given), `sha256` and `size`; `trusted`: trusted
    keys were given, so the history must vouch for it; `records`: the history's attempts that kept
    it (see vouched())."""
    path: str
    sha256: str
    size: int
    trusted: bool
    records: list[Attempt] = dataclasses.field(default_factory=list)  # the attempts that kept it, newest first
    history: str | None = None  # the history that was asked

    @classmethod
    def of(cls, path: ImagePath, trusted: bool) -> Restore:
        """The backup in the file `path`, read once for its SHA-256. Raises ImageRefused for a file
        that cannot be read, is no regular file, is larger than any backup, or is empty."""
        path = os.fspath(path)
        digest, size = hashlib.sha256(), 0
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            with os.fdopen(fd, "rb") as file:
                if not stat.S_ISREG(os.fstat(fd).st_mode):
                    raise ImageRefused(f"{path} is not a regular file; name the backup itself", Reason.IMAGE_NOT_FILE,
                                       {"path": path})
                while chunk := file.read(1 << 20):
                    digest.update(chunk)
                    size += len(chunk)
                    if size > MAX_MEMORY:
                        raise ImageRefused(f"{path} is larger than {MAX_MEMORY} bytes, larger than any backup; name "
                                           "a backup that update --backup kept", Reason.IMAGE_TYPE, {"path": path})
        except OSError as error:
            raise unreadable(error, path) from None
        if not size:
            raise ImageRefused(f"{path} is empty: the configuration memory held nothing when it was backed up; there "
                               "is nothing to restore", Reason.IMAGE_EMPTY, {"path": path})
        return cls(path, digest.hexdigest(), size, trusted)

    @property
    def kept(self) -> Attempt | None:
        """The newest attempt of the history that kept this backup (see vouched()), or None."""
        return self.records[0] if self.records else None

    def devices(self) -> dict[str, str | None] | None:
        """Settings.restore_of: by the serial number of each device the history recorded this backup
        from, the FPGA version it reported then; None when the history records none."""
        if not self.records:
            return None
        found: dict[str, str | None] = {}
        for attempt in reversed(self.records):  # the newest last, so that it counts
            found[attempt.serial or ""] = attempt.fpga_version_before or None
        return found

    def vouched(self, history: History | None) -> None:
        """Asks `history` which attempts kept this backup. Raises ImageRefused, with trusted keys,
        when it recorded none from a device that reported its serial number."""
        self.history = history.path if history is not None else None
        self.records = [attempt for attempt in history.backups_of(self.sha256) if attempt.serial] \
            if history is not None else []
        if self.trusted and not self.records:
            todo = (f"restore the device's own backup, with the history that recorded it "
                    f"({named('history_option')})")
            raise ImageRefused(say(Reason.BACKUP_NOT_VOUCHED, backup=self.path, history=self.history or "(none)",
                                   todo=todo), Reason.BACKUP_NOT_VOUCHED, {"sha256": self.sha256})

    def same_bytes(self, snapshot: Snapshot) -> None:
        """Raises ImageRefused when the private copy of the backup (`snapshot`) is not the file that
        vouched() asked about: it changed meanwhile."""
        if snapshot.facts.sha256 != self.sha256:
            raise ImageRefused(f"{self.path} changed while it was read; restore it again once nothing writes to it",
                               Reason.IMAGE_CHANGED, {"path": self.path})

    def said(self) -> str:
        """One line on who vouches for the backup, once vouched() was asked."""
        kept = self.kept
        if kept is None:
            return (f"the update history {self.history or '(none)'} records no backup of SHA-256 {self.sha256}: "
                    f"{self.path} is written as any raw image, whichever device it came from")
        return (f"{self.path} is recorded as the backup of {kept.serial} on {kept.started} (at {kept.address}, "
                f"FPGA version {kept.fpga_version_before or '(not reported)'}) by the update history "
                f"{self.history}; SHA-256 {self.sha256}")


def restore_device(address: str, backup: ImagePath, *, history: HistoryArgument = None,
                   trust_keys: Iterable[ImagePath] = (), device_type: int = 32, timeout: float = 5.0,
                   erase_timeout: float = 120.0, window: Window = "auto", progress: ProgressCallback | None = None,
                   cancel: CancelToken | None = None) -> DeviceResult:
    """Writes `backup`, a file that the `backup` of update_site() kept of a device's configuration
    memory, back to the device at `address`, through the update's own path, and returns its
    DeviceResult: updated (the device then holds its previous image, read back, and runs it);
    loaded (its memory held the backup, read back, whose load was not confirmed: it is loaded
    without rewriting); or skipped when it runs it already. `history` (a path, created when missing, or an open History)
    records the restore, and says which device the backup came from: a backup it recorded is
    written only to that device (same serial number; else Reason.NOT_ITS_BACKUP, the device
    untouched), which must then report the FPGA version it reported when the backup was taken.
    With `trust_keys`, the history must have recorded it so (else ImageRefused with
    Reason.BACKUP_NOT_VOUCHED, before any device is touched); without, a backup it does not
    record is written as any raw image. The other arguments, and what is raised, are as for
    update_device()."""
    target = target_of(address)
    restore = Restore.of(backup, bool(trusted_keys_from(trust_keys)))
    outcomes, site = _update(
        [target], backup, jobs=1, device_type=device_type, timeout=timeout, erase_timeout=erase_timeout,
        window=window, progress=progress, history=history, trust_keys=(), force=False, dry_run=False,
        allow_older=True, max_failures=None, waves=None, canary=None, cancel=cancel, one=True, restore=restore)
    return only_result(outcomes, site)
