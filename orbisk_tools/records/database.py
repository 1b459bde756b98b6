"""The update history's SQLite database: its file and folders, private to their owner and refused
when another user could have written them; its schema; and transactions that several
orbisk-fpga processes can run at once.

WAL mode, `BEGIN IMMEDIATE` and a busy time-out let several processes write at once. The schema
has a version (`PRAGMA user_version`) and a migration path: MIGRATIONS[i] brings a database from
version i to version i + 1; version 0 has no tables.
"""

from __future__ import annotations

import errno
import os
import random
import sqlite3
import stat
import time
import uuid
from collections.abc import Callable
from typing import TypeVar

from orbisk_tools.errors import OrbiskError
from orbisk_tools.wording import named

# Marks the file as an orbisk update history ("ORBH"), so that another SQLite database is refused.
APPLICATION_ID = 0x4F524248

# How long a writer waits for another process's write to end.
BUSY_SECONDS = 30.0

def advice() -> str:
    """What to do about a history that cannot be used, as the caller names it."""
    return named("another_history")

MIGRATIONS = [
    (
        f"PRAGMA application_id = {APPLICATION_ID}",
        """CREATE TABLE attempts (
            id INTEGER PRIMARY KEY,
            run_id TEXT NOT NULL,
            started TEXT NOT NULL,
            ended TEXT,
            operator_user TEXT NOT NULL,
            operator_host TEXT NOT NULL,
            pid INTEGER NOT NULL,
            process_start TEXT,
            tool_version TEXT NOT NULL,
            module_version TEXT NOT NULL,
            address TEXT NOT NULL,
            serial TEXT,
            fpga_id TEXT,
            device_type INTEGER,
            fpga_version_before TEXT,
            control_fw_version_before TEXT,
            fpga_version_after TEXT,
            control_fw_version_after TEXT,
            image_path TEXT,
            image_sha256 TEXT,
            image_size INTEGER,
            image_header_version TEXT,
            window_size INTEGER,
            bytes_written INTEGER NOT NULL DEFAULT 0,
            seconds REAL,
            phase TEXT NOT NULL,
            device_state TEXT NOT NULL,
            outcome TEXT NOT NULL,
            reason TEXT,
            message TEXT NOT NULL DEFAULT ''
        )""",
        "CREATE INDEX attempts_by_address ON attempts (address, id)",
        "CREATE INDEX attempts_by_serial ON attempts (serial, id)",
        "CREATE INDEX attempts_by_run ON attempts (run_id, id)",
    ),
    # The id of the trusted key whose signature the image carried (update --trust-key).
    ("ALTER TABLE attempts ADD COLUMN vendor_key_id TEXT",),
    # uid: an attempt's own id, the same in every history it is imported into (history --import);
    # origin: for an imported attempt, the computer whose history recorded it (NULL: this history).
    # Attempts are ordered by the time they started, whichever computer recorded them.
    (
        "ALTER TABLE attempts ADD COLUMN uid TEXT",
        "ALTER TABLE attempts ADD COLUMN origin TEXT",
        "UPDATE attempts SET uid = new_uid()",
        "CREATE UNIQUE INDEX attempts_by_uid ON attempts (uid)",
        "CREATE INDEX attempts_by_time ON attempts (started, id)",
    ),
    # backup_*: the file that update --backup kept of the device's configuration memory before its
    # erase, its SHA-256 and size (restore trusts a backup this history recorded from the device);
    # soak: what the check after update --soak found, in words.
    (
        "ALTER TABLE attempts ADD COLUMN backup_path TEXT",
        "ALTER TABLE attempts ADD COLUMN backup_sha256 TEXT",
        "ALTER TABLE attempts ADD COLUMN backup_size INTEGER",
        "ALTER TABLE attempts ADD COLUMN soak TEXT",
        "CREATE INDEX attempts_by_backup ON attempts (backup_sha256, id)",
    ),
]


R = TypeVar("R")


def new_uid() -> str:
    """A new attempt's uid: a random UUID, as text."""
    return str(uuid.uuid4())


class HistoryUnavailable(OrbiskError):
    """The history cannot be opened or written; the message is one line for the user."""

    def __init__(self, message: str):
        super().__init__(message, "history_unavailable")


def _untrusted(status: os.stat_result, subject: str) -> str | None:
    """Why a file or folder of the history with `status` could hold what another user wrote, or None:
    it must belong to this user (or root) and be writable by its owner only."""
    if status.st_uid not in (0, os.geteuid()):
        return f"{subject} belongs to another user"
    if status.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return f"others can write to {subject}"
    return None


def _refuse_untrusted_folder(path: str) -> None:
    """Refuses the folder of the history at `path`, and the folder a link there leads to, when another
    user could have put files in it."""
    for folder in dict.fromkeys((os.path.dirname(path), os.path.dirname(os.path.realpath(path)))):
        try:
            problem = _untrusted(os.stat(folder), "it")
        except OSError as error:
            problem = error.strerror or str(error)
        if problem:
            raise HistoryUnavailable(f"cannot use the folder {folder} for the update history: {problem}, so "
                                     f"the history in it cannot be trusted; {advice()}")


def _refuse_untrusted_files(path: str, real: str) -> None:
    """Refuses the history file `real` (`path` with its links followed) or one of SQLite's files beside it
    when another user could have written it: the rows it holds decide which devices are skipped."""
    for name in (real, real + "-wal", real + "-shm", real + "-journal"):
        try:
            status = os.lstat(name)
        except FileNotFoundError:
            continue
        subject = "it" if name == real else name
        problem = _untrusted(status, subject)
        if stat.S_ISLNK(status.st_mode) or (name == real and not stat.S_ISREG(status.st_mode)):
            problem = f"{subject} is not a regular file"
        if problem:
            raise HistoryUnavailable(f"cannot use the update history {path}: {problem}, so its rows cannot be "
                                     f"trusted; {advice()}")


def _make_private_folders(folder: str) -> None:
    """Creates `folder` and the folders above it that are missing, each open to its owner only
    whatever the umask."""
    missing, above = [], folder
    while not os.path.lexists(above):
        missing.append(above)
        above = os.path.dirname(above)
    for name in reversed(missing):
        try:
            os.mkdir(name, 0o700)
        except FileExistsError:  # another orbisk-fpga made it meanwhile
            continue
        os.chmod(name, 0o700)
    if not os.path.isdir(folder):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), folder)


def _create_private_file(path: str) -> None:
    """Creates the history file, empty and readable by its owner only whatever the umask, unless it exists."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    try:
        os.fchmod(fd, 0o600)
    finally:
        os.close(fd)


def open_database(path: str) -> sqlite3.Connection:
    """The SQLite connection to the history at `path` (absolute), which is created (mode 0600) with
    its folders (mode 0700) when missing, its schema brought up to date. A history that another
    user could have written is refused. Raises HistoryUnavailable."""
    folder = os.path.dirname(path)
    try:
        _make_private_folders(folder)
    except OSError as error:
        why = "a file of that name is in the way" if isinstance(error, FileExistsError) else error.strerror
        raise HistoryUnavailable(f"cannot create the folder {folder} for the update history "
                                 f"({why or error}); {advice()}") from None
    if os.path.isdir(path):
        raise HistoryUnavailable(f"cannot open the update history {path}: it is a folder; {advice()}")
    _refuse_untrusted_folder(path)
    real = os.path.realpath(path)
    try:
        _create_private_file(real)
    except OSError as error:
        raise HistoryUnavailable(f"cannot open the update history {path} ({error.strerror or error}); "
                                 f"{advice()}") from None
    _refuse_untrusted_files(path, real)
    connection = None
    try:
        connection = sqlite3.connect(real, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
        connection.execute(f"PRAGMA busy_timeout = {int(BUSY_SECONDS * 1000)}")
        connection.execute("PRAGMA synchronous = FULL")  # each commit survives a power cut
        connection.create_function("new_uid", 0, new_uid)  # for the migration that gives each attempt one
        when_not_busy(lambda: _set_up(connection, path))
    except sqlite3.Error as error:
        if connection is not None:
            connection.close()
        if error.sqlite_errorname == "SQLITE_NOTADB":
            raise HistoryUnavailable(f"{path} is not an update history (not an SQLite database); "
                                     f"{advice()}") from None
        raise HistoryUnavailable(f"cannot open the update history {path} ({error}); {advice()}") from None
    except HistoryUnavailable:  # from _set_up, once connected
        if connection is not None:
            connection.close()
        raise
    return connection


def transaction(connection: sqlite3.Connection, kind: str, work: Callable[..., R], *arguments: object) -> R:
    """work(*arguments) in a transaction of its own ("BEGIN kind"), committed at once."""
    connection.execute(f"BEGIN {kind}")
    try:
        result = work(*arguments)
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise
    return result


def when_not_busy(work: Callable[[], R]) -> R:
    """work(), tried again while SQLite reports the database busy without waiting, as it does to
    break a deadlock between processes that set up a new database at once."""
    deadline = time.monotonic() + BUSY_SECONDS
    while True:
        try:
            return work()
        except sqlite3.OperationalError as error:
            if not (error.sqlite_errorname or "").startswith("SQLITE_BUSY") or time.monotonic() > deadline:
                raise
        time.sleep(0.01 + random.random() * 0.05)


def _set_up(connection: sqlite3.Connection, path: str) -> None:
    """Checks that the database is an update history (before anything is written to it), then
    switches it to WAL and brings its schema up to date, each in one step: several processes
    may do this at once."""
    transaction(connection, "DEFERRED", _schema_version, connection, path)
    if connection.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
        connection.execute("PRAGMA journal_mode = WAL")
    transaction(connection, "IMMEDIATE", _migrate, connection, path)


def _schema_version(connection: sqlite3.Connection, path: str) -> int:
    """The schema version of a database that is an update history, or empty; raises
    HistoryUnavailable for any other database, or one newer than this tool knows."""
    version: int = connection.execute("PRAGMA user_version").fetchone()[0]
    application_id = connection.execute("PRAGMA application_id").fetchone()[0]
    if version == 0:
        ours = application_id == 0 and connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0
    else:
        ours = application_id == APPLICATION_ID
    if not ours:
        raise HistoryUnavailable(f"{path} is not an update history (another SQLite database); {advice()}")
    if version > len(MIGRATIONS):
        raise HistoryUnavailable(f"{path} was written by a newer orbisk-fpga (history schema {version}; this "
                                 f"one knows up to {len(MIGRATIONS)}); use the newer orbisk-fpga, or {advice()}")
    return version


def _migrate(connection: sqlite3.Connection, path: str) -> None:
    """Runs the migration steps that the database lacks."""
    for step in range(_schema_version(connection, path), len(MIGRATIONS)):
        for statement in MIGRATIONS[step]:
            connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {step + 1}")
