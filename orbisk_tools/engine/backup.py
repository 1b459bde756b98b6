"""A backup of each device's configuration memory before its erase (update --backup DIR), kept
as a new file in a folder of the user's own.

A backup holds the whole configuration memory as the device gives it back: from its start to
where the device says it ends (a page shorter than 16 bytes, the end of what the memory holds, as
`dump` reads it), at most MAX_MEMORY bytes. Not the size of the new image: the erase clears the
whole memory, and the image it holds may be longer than the new one; nor the size the history
recorded for the device's last image: the memory may hold another since. A memory that has not
ended by MAX_MEMORY is no configuration memory the tools know, and is not erased.

The folder must be there, and is refused when it is a link, not a folder, another user's, or
open to others' writes. Each backup is written to a temporary file made in
the folder without following links, synced, then linked into place under its name, SERIAL_TIME_
SHA16.bin (the device's serial number, the UTC time the backup began, the first 16 hex digits of
its SHA-256): it appears whole, and never replaces anything. The history records its path,
SHA-256 and size with the device's attempt, before the erase: `restore` trusts a backup that the
history recorded from the very device it writes it to.
"""

from __future__ import annotations

import datetime
import errno
import hashlib
import os
import re
import secrets
import stat
from typing import TYPE_CHECKING

from orbisk_tools.engine import memory
from orbisk_tools.engine.advice import connection_words, said, say
from orbisk_tools.engine.outcomes import DeviceFailure, Phase, Reason
from orbisk_tools.errors import OrbiskError
from orbisk_tools.formats import files
from orbisk_tools.formats.files import StrPath

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool

    from orbisk_tools.engine.facts import DeviceFacts
    from orbisk_tools.engine.job import Job
    from orbisk_tools.engine.settings import Settings

MAX_MEMORY = 256 * 1024 * 1024  # as dump reads at most: beyond any FPGA's configuration memory
READ_AGAIN = "check the device and its link, then run the update again"


class BackupFolderRefused(OrbiskError, ValueError):
    """The folder for backups cannot be used or trusted: `why`, and what to do, `todo`."""

    def __init__(self, path: str, why: str, todo: str):
        super().__init__(say(Reason.BACKUP_FOLDER_REFUSED, path=path, why=why, todo=todo),
                         Reason.BACKUP_FOLDER_REFUSED, {"path": path, "why": why})
        self.why, self.todo = why, todo


def backup_folder(path: StrPath) -> str:
    """The absolute path of the folder `path` for backups, once it is found to be a folder of this
    user's that others cannot write to (see open_folder()). Raises BackupFolderRefused, before any
    device is touched."""
    path = os.path.abspath(os.fspath(path))
    os.close(open_folder(path))
    return path


def open_folder(path: str) -> int:
    """The folder for backups at `path`, opened without following a link, once it is found to be
    a folder of this user's that others cannot write to. Raises BackupFolderRefused."""
    try:
        folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR) and os.path.islink(path):  # ENOTDIR: Linux's O_DIRECTORY
            raise BackupFolderRefused(path, "it is a link, which is not followed", "name the folder itself") from None
        if error.errno == errno.ENOTDIR:
            raise BackupFolderRefused(path, "it is not a folder", "name a folder") from None
        if error.errno == errno.ENOENT:
            raise BackupFolderRefused(path, "there is no such folder", f"make it first (mkdir -m 700 {path})") from None
        raise BackupFolderRefused(path, files.system_words(error), files.ADVICE.get(error.errno, "check the path")) from None
    status = os.fstat(folder)
    if status.st_uid != os.geteuid():
        os.close(folder)
        raise BackupFolderRefused(path, "it belongs to another user, so a backup in it cannot be trusted",
                            "name a folder of your own")
    if status.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        os.close(folder)
        raise BackupFolderRefused(path, "others can write to it, so a backup in it cannot be trusted",
                            f"make it writable by its owner only (chmod go-w {path}), or name another folder")
    return folder


def file_name(serial: str | None, started: datetime.datetime, sha256: str) -> str:
    """SERIAL_TIME_SHA16.bin: the serial number, its characters other than letters, digits and
    "-" as "_" ("no-serial" for a device that reports none), the UTC time, 16 hex digits of the SHA-256."""
    shown = re.sub(r"[^A-Za-z0-9-]", "_", serial or "")[:64] or "no-serial"
    return f"{shown}_{started.astimezone(datetime.timezone.utc):%Y%m%dT%H%M%SZ}_{sha256[:16]}.bin"


class _NotKept(Exception):
    """The backup file could not be written: the OSError is the cause."""


def before_erase(job: Job, tool: FpgaTool, depth: int) -> None:
    """Backs up the configuration memory of the device of `job` (a Job that has identified it)
    through `tool`, with `depth` page reads in flight, when its settings name a folder for
    backups: the file kept, its path in `job.backup` and in the history. Raises DeviceFailure
    (the device untouched), KeyboardInterrupt when the job is stopped meanwhile, and
    HistoryUnavailable when the history cannot record it."""
    settings = job.settings
    if settings.backup is None:
        return
    assert job.before is not None and job.record is not None  # identified, and recorded, first
    job._enter(Phase.BACKUP)
    job.view.phase(job.target.label, Phase.BACKUP)
    started = datetime.datetime.now(datetime.timezone.utc)
    folder = _folder(settings.backup)
    temporary = f".backup.{secrets.token_hex(8)}.tmp"
    try:
        digest, size = _read_into(job, tool, depth, folder, temporary)
        name = file_name(job.before.serial, started, digest)
        try:
            os.link(temporary, name, src_dir_fd=folder, dst_dir_fd=folder, follow_symlinks=False)
            os.fsync(folder)
        except FileExistsError:
            raise _failure(f"{os.path.join(settings.backup, name)} exists already", "a backup is never written over "
                           "a file: move that one away, then run the update again", {"path": name}) from None
        except OSError as error:
            raise _unwritable(error, settings.backup) from None
    finally:
        try:
            os.unlink(temporary, dir_fd=folder)
        except FileNotFoundError:
            pass
        os.close(folder)
    job.backup = os.path.join(settings.backup, name)
    job.record.backup(job.backup, digest, size)


def _folder(path: str) -> int:
    try:
        return open_folder(path)
    except BackupFolderRefused as refused:  # changed since the run began
        raise _failure(f"{path}: {refused.why}", refused.todo, {"path": path}) from None


def _read_into(job: Job, tool: FpgaTool, depth: int, folder: int, temporary: str) -> tuple[str, int]:
    """(SHA-256, size) of the memory read into the new file `temporary` of `folder`, synced."""
    settings = job.settings
    assert settings.backup is not None  # a folder for backups was given
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600,
                     dir_fd=folder)
    except OSError as error:
        raise _unwritable(error, settings.backup) from None
    digest = hashlib.sha256()

    def keep(data: bytes) -> None:  # unbuffered: a write that fails fails here, not when the file is closed
        digest.update(data)
        view = memoryview(data)
        try:
            while view:
                view = view[os.write(fd, view):]
        except OSError as error:
            raise _NotKept() from error

    try:
        try:
            size = memory.read_into(tool, MAX_MEMORY + 1, depth, job.stop, keep, drain=True)
        except _NotKept as error:
            assert isinstance(error.__cause__, OSError)  # what keep() met
            raise _unwritable(error.__cause__, settings.backup) from None
        except memory.NotAPage as error:
            raise _failure(str(error), READ_AGAIN, {"error": "NotAPage"}) from None
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            raise _unreadable(error, settings.timeout) from error
        if size is None:
            raise KeyboardInterrupt  # stopped before its erase: the device untouched
        try:
            os.fsync(fd)
        except OSError as error:
            raise _unwritable(error, settings.backup) from None
    finally:
        os.close(fd)
    if size > MAX_MEMORY:
        raise _failure(f"its configuration memory does not end within {MAX_MEMORY} bytes, more than any FPGA's",
                       "check the device type", {"limit": MAX_MEMORY})
    return digest.hexdigest(), size


def _failure(why: str, todo: str, details: dict[str, object]) -> DeviceFailure:
    return DeviceFailure(say(Reason.BACKUP_FAILED, why=why, todo=todo), Reason.BACKUP_FAILED,
                         {"why": why, **details})


def _unwritable(error: OSError, path: str) -> DeviceFailure:
    return _failure(f"{path}: {files.system_words(error)}", files.ADVICE.get(error.errno, "check the folder for backups"),
                    {"errno": error.errno, "path": path})


def _unreadable(error: BaseException, timeout: float) -> DeviceFailure:
    if isinstance(error, TimeoutError):
        why = f"no answer within {timeout:g} s while reading its configuration memory"
    elif isinstance(error, OSError):
        why = (f"connection lost while reading its configuration memory "
               f"({connection_words(error.errno, said(error))})")
    else:
        why = f"stopped while reading its configuration memory: {type(error).__name__}: {said(error)}"
    return _failure(why, READ_AGAIN, {"error": type(error).__name__, "text": said(error)})


def check_restored_device(settings: Settings, before: DeviceFacts) -> None:
    """Raises DeviceFailure (Reason.NOT_ITS_BACKUP) when the device, as it reported itself, is not
    the one that the backup being restored was taken from; nothing without a restore."""
    if settings.restore_of is None or (before.serial or "") in settings.restore_of:
        return
    backup = settings.image_facts.path if settings.image_facts is not None else settings.image
    recorded = sorted(settings.restore_of)
    raise DeviceFailure(say(Reason.NOT_ITS_BACKUP, backup=backup, recorded=" or ".join(recorded),
                            reported=before.serial or "no serial number"),
                        Reason.NOT_ITS_BACKUP, {"recorded": recorded, "reported": before.serial})
