"""The files that orbisk-fpga writes, and what it says when a file cannot be used.

An output is never one of the run's inputs (compared by the file they name, so through
hard and symbolic links too), and it replaces an existing file whole or not at all:
it is written to a temporary file beside it, created exclusively and without following
links, then renamed into place. A character device or a named pipe (/dev/null, a FIFO)
cannot be replaced: it is written to directly; a link to one is refused, as following it
could write anywhere and replacing it (/dev/stdout) would break it. A new file (a key) is
linked into place instead, so that it never replaces anything, not even a link.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import stat
from collections.abc import Iterable, Iterator
from types import TracebackType
from typing import Self

# A path as the standard library takes it.
StrPath = str | os.PathLike[str]

ADVICE: dict[int | None, str] = {  # by errno, which an OSError may lack
    errno.ENOENT: "check the path",
    errno.ENOTDIR: "check the path",
    errno.ELOOP: "check the path",
    errno.ENAMETOOLONG: "check the path",
    errno.EACCES: "check the permissions of the file and of the folders above it",
    errno.EPERM: "check the permissions of the file and of the folders above it",
    errno.EISDIR: "name a file, not a folder",
    errno.EROFS: "choose a folder that can be written",
    errno.ENOSPC: "free some space, or choose another folder",
    errno.EDQUOT: "free some space, or choose another folder",
}


def problem(error: OSError, path: StrPath | None = None) -> str:
    """One line for a file-system error on `path` (by default the error's own file name):
    what happened, and what to do."""
    path = error.filename if path is None else path
    return f"{path}: {system_words(error)}; {ADVICE.get(error.errno, 'check the path and the file')}"


def system_words(error: OSError) -> str:
    """What happened, in the system's words for `error`, to go on a line: "no such file or directory"."""
    what = error.strerror or str(error)
    return f"{what[:1].lower()}{what[1:]}"


def input_named_by(output: StrPath, inputs: Iterable[StrPath]) -> StrPath | None:
    """The first of `inputs` that is the same file as `output`, or None. An output that does
    not exist yet is none of them."""
    try:
        written = os.stat(output)
    except OSError:
        return None
    for path in inputs:
        try:
            read = os.stat(path)
        except OSError:
            continue
        if (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino):
            return path
    return None


class Output:
    """A file written whole at the end of a run. Its temporary file is created at once, so that
    an output that cannot be written fails before the run does anything; commit() fills it and
    renames it into place. Closed without commit(), it leaves `path` as it was.

    With `new`, nothing may be at `path`, then or when it is committed (FileExistsError): the
    file is never written over anything. With `private`, it is created readable by its owner
    only (mode 0600: a umask can only take permissions away).

    OSError names `path`, never the temporary file.
    """

    def __init__(self, path: str, new: bool = False, private: bool = False):
        self.path = path
        self._new = new
        folder, name = os.path.split(path)
        self._fd: int | None = None
        self._temporary: str | None = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        with naming(self.path):
            try:
                mode = os.lstat(path).st_mode
            except FileNotFoundError:
                mode = 0
            if new and mode:
                raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST))
            if stat.S_ISDIR(mode):
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
            if stat.S_ISLNK(mode) and _links_to_a_device(path):
                raise OSError(errno.ELOOP, "a link to a device or a pipe, which is neither followed nor replaced; "
                                           "name the device or the pipe itself")
            if _written_directly(mode):
                self._temporary = None
                fd = os.open(path, os.O_WRONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
                if not _written_directly(os.fstat(fd).st_mode):  # replaced meanwhile: never write in place
                    os.close(fd)
                    raise FileExistsError(errno.EEXIST, "replaced while it was opened")
                self._fd = fd
                return
            self._fd = os.open(self._temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                               0o600 if private else 0o666)

    def commit(self, data: bytes) -> None:
        assert self._fd is not None, "committed once, before it is closed"
        with naming(self.path):
            try:
                with os.fdopen(self._fd, "wb") as output:
                    self._fd = None
                    output.write(data)
                    output.flush()
                    if self._temporary is not None:
                        os.fsync(output.fileno())
                if self._new and self._temporary is not None:  # a new file has one
                    # A hard link fails, rather than replaces, when the name is taken meanwhile.
                    os.link(self._temporary, self.path, follow_symlinks=False)
                    os.unlink(self._temporary)
                elif self._temporary is not None:
                    os.replace(self._temporary, self.path)  # a link at `path` is replaced, not followed
            except BaseException:
                self.close()
                raise
        self._temporary = None

    def close(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None
        if self._temporary is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self._temporary)
            self._temporary = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def _written_directly(mode: int) -> bool:
    return stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)


def _links_to_a_device(path: str) -> bool:
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return _written_directly(mode) or stat.S_ISBLK(mode)


def write_whole(path: str, data: bytes, new: bool = False, private: bool = False) -> None:
    """Writes `data` to `path`, replacing an existing file whole or not at all (see Output for
    `new` and `private`)."""
    with Output(path, new, private) as output:
        output.commit(data)


@contextlib.contextmanager
def naming(path: str) -> Iterator[None]:
    """Reraises an OSError as one about `path`: the user's name, not the temporary file's (nor
    none at all, as for a write that finds the disk full)."""
    try:
        yield
    except OSError as error:
        if error.filename == path:
            raise
        raise OSError(error.errno, error.strerror or str(error), path) from None


class Unusable(Exception):
    """A file given as an input that is not one to read: the message is one line naming it."""


def read_trusted_file(path: StrPath, limit: int, what: str, private: bool = False) -> bytes:
    """The bytes of the regular file `path` (at most `limit` of them), as `what` ("the public key
    file", say) is read. Never blocks on a FIFO or a device, nor reads one without end. With
    `private`, the file must also be owned by the user or by root and not writable by others
    (a key file that another user can change decides nothing).

    Raises Unusable when the file is of the wrong kind, OSError when it cannot be opened.
    """
    path = os.fspath(path)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        found = os.fstat(fd)
        if stat.S_ISDIR(found.st_mode):
            raise Unusable(f"{path} is a folder, not {what}")
        if not stat.S_ISREG(found.st_mode):
            raise Unusable(f"{path} is not a regular file; name {what} itself")
        if private and found.st_uid not in (0, os.geteuid()):
            raise Unusable(f"{path} belongs to another user, so it cannot be trusted as {what}; "
                           "use a file of your own")
        if private and found.st_mode & stat.S_IWOTH:
            raise Unusable(f"{path} can be changed by other users, so it cannot be trusted as {what}; "
                           f"make it writable by its owner only (chmod go-w {path})")
        chunks, size = [], 0
        while size <= limit:
            chunk = os.read(fd, limit + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > limit:
            raise Unusable(f"{path} is larger than {limit} bytes, too large for {what}")
        return b"".join(chunks)
    finally:
        os.close(fd)
