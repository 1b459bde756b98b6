"""One update per device on this computer, whoever runs it: a lock per address, and once read, per
serial number, shared by every user."""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import os
import pwd
import re
import stat
import time
from collections.abc import Iterable, Iterator

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.outcomes import DeviceFailure, Reason
from orbisk_tools.errors import OrbiskError


class LockFolderRefused(OrbiskError):
    """The folder for the device locks cannot be trusted; the message says why and what to do."""


# The folders for the device locks, in the order tried. The first is used only when every user
# can write to it (else root and the others would lock in different folders); the last is the
# system's own temporary folder, not $TMPDIR, which differs from one environment to another.
LOCK_FOLDERS = ("/run/lock", "/tmp")


def open_lock_folder() -> int:
    """The open folder (a file descriptor, for the caller to close) that holds the device locks of
    every user of this computer: the first of LOCK_FOLDERS that is a real folder of root (or of
    this user) from which nobody else can remove or replace a lock file, because others cannot
    write to it or because it is sticky (mode 1777, as /tmp). Else raises LockFolderRefused."""
    for path in LOCK_FOLDERS:
        try:
            folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError as error:
            reason = "it is a symbolic link" if os.path.islink(path) else error.strerror
            continue
        status = os.fstat(folder)
        if status.st_uid not in (0, os.getuid()):
            reason = "it belongs to another user"
        elif status.st_mode & 0o022 and not status.st_mode & stat.S_ISVTX:
            reason = "others can write to it and it is not sticky"
        elif not os.access(path, os.W_OK | os.X_OK):
            reason = "you cannot write to it"
        elif path == LOCK_FOLDERS[-1] or (status.st_uid == 0 and status.st_mode & 0o002):
            return folder
        os.close(folder)
    raise LockFolderRefused(f"cannot use the lock folder {path}: {reason}; have it made a folder of root that "
                            "every user can write to and only the owner of a file can remove it from (mode 1777, "
                            "as /tmp)")


@contextlib.contextmanager
def lock_folder() -> Iterator[int]:
    """The open folder of the device locks (see open_lock_folder), closed at the end."""
    folder = open_lock_folder()
    try:
        yield folder
    finally:
        os.close(folder)


@contextlib.contextmanager
def device_lock(folder: int, addresses: Iterable[str], port: int) -> Iterator[None]:
    """Holds the locks of a device, one per address its name resolves to (the connection may use
    any of them). Raises DeviceFailure when another process holds one."""
    with contextlib.ExitStack() as held:
        for address in addresses:
            held.enter_context(_lock(folder, re.sub(r"[^0-9A-Za-z.-]", "_", f"{address}_{port}")))
        yield


def serial_lock(folder: int, serial: str) -> contextlib.AbstractContextManager[None]:
    """The lock of the device with serial number `serial`, so that two addresses of one device
    exclude each other too. The serial number is the device's text: the file is named by its hash."""
    digest = hashlib.sha256(serial.encode("utf-8", "surrogatepass")).hexdigest()
    return _lock(folder, f"serial-{digest[:32]}")


# Lock files are never written and never followed through a link: anyone may have put something
# of their own under a lock's name. O_NONBLOCK: a FIFO does not hold the open up.
_LOCK_FILE_OPEN = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_TRIES = 50  # opens, or locks, before giving up on a file that stays unreadable or whose holder stays unnamed


@contextlib.contextmanager
def _lock(folder: int, key: str) -> Iterator[None]:
    """A lock (flock) on the lock file of `key` in `folder`, shared by every user. The kernel
    releases it when the process ends, however it ends, so the file itself holds nothing.
    The file is removed while still locked: whoever opened it before that finds, once they hold
    the lock, that the name no longer leads to it, and tries again. Raises DeviceFailure."""
    name = f"orbisk-fpga-{key}.lock"
    for _ in range(_TRIES):
        fd = _open_lock_file(folder, name)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if _still_named(folder, name, fd):
                break
        except BlockingIOError:  # another open of the file holds it
            holder = _lock_holder(fd)
            if holder is not None:
                os.close(fd)
                raise _held_by(holder) from None
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)  # released meanwhile, or the name leads to another file now: again
    else:  # held all along by a process that this computer does not name
        raise _held_by(0)
    try:
        yield
    finally:
        # From a sticky folder only the file's owner may remove it: another user's file stays.
        with contextlib.suppress(FileNotFoundError, PermissionError):
            os.unlink(name, dir_fd=folder)
        os.close(fd)  # releases the lock


def _open_lock_file(folder: int, name: str) -> int:
    """The lock file `name` in `folder`, open for reading, made (readable to all) when missing.
    Raises DeviceFailure when the name leads to anything else, or to a file that cannot be read."""
    for _ in range(_TRIES):
        try:
            try:  # without O_CREAT first: the kernel may refuse O_CREAT on another user's file here
                return _regular_file(os.open(name, _LOCK_FILE_OPEN, dir_fd=folder), folder, name)
            except FileNotFoundError:
                fd = os.open(name, _LOCK_FILE_OPEN | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=folder)
                try:
                    os.fchmod(fd, 0o644)  # whatever this process's umask
                except BaseException:
                    os.close(fd)
                    raise
                return fd
        except FileExistsError:
            continue  # made meanwhile by another process
        except PermissionError:
            time.sleep(0.01)  # just made by another user, and not yet readable to all? Or never
        except OSError as error:
            reason = "it is a symbolic link" if error.errno == errno.ELOOP else error.strerror
            raise _unusable_lock_file(folder, name, reason) from None
    raise _unusable_lock_file(folder, name, "permission denied")


def _regular_file(fd: int, folder: int, name: str) -> int:
    if stat.S_ISREG(os.fstat(fd).st_mode):
        return fd
    os.close(fd)
    raise _unusable_lock_file(folder, name, "it is not a regular file")


def _unusable_lock_file(folder: int, name: str, reason: str | None) -> DeviceFailure:
    try:
        path = os.path.join(os.readlink(f"/proc/self/fd/{folder}"), name)
    except OSError:
        path = name
    return DeviceFailure(say(Reason.LOCK_FILE_UNUSABLE, path=path, why=reason), Reason.LOCK_FILE_UNUSABLE,
                         {"path": path, "why": reason})


def _lock_holder(fd: int) -> int | None:
    """The process that holds a flock on the file open as `fd`, from /proc/locks: its number (0 for
    a process outside this one's view), or None when none is found."""
    status = os.fstat(fd)
    file = f"{os.major(status.st_dev):02x}:{os.minor(status.st_dev):02x}:{status.st_ino}"
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            lines = locks.readlines()
    except OSError:
        return None
    for line in lines:  # "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters have "->" after "1:"
        fields = line.split()
        if len(fields) > 5 and fields[1] == "FLOCK" and fields[5] == file and fields[4].isdigit():
            return int(fields[4])
    return None


def _held_by(pid: int) -> DeviceFailure:
    """The DeviceFailure of a device whose lock process `pid` holds (0: a process not known): the
    holder's process and user, or as much as is known of them."""
    if pid == os.getpid():
        return DeviceFailure(say(Reason.NAMED_TWICE), Reason.NAMED_TWICE)
    holder, user = "", None
    if pid:
        try:
            uid = os.stat(f"/proc/{pid}").st_uid
        except OSError:
            holder = f" (process {pid})"
        else:
            try:
                user = pwd.getpwuid(uid).pw_name
            except KeyError:
                user = str(uid)
            holder = f" (process {pid} of user {user})"
    return DeviceFailure(say(Reason.DEVICE_LOCKED, holder=holder), Reason.DEVICE_LOCKED,
                         {"pid": pid or None, "user": user})


def _still_named(folder: int, name: str, fd: int) -> bool:
    try:
        named = os.stat(name, dir_fd=folder, follow_symlinks=False)
    except FileNotFoundError:
        return False
    opened = os.fstat(fd)
    return (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino)
