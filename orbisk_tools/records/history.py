"""The update history: one row per device per update attempt, in an SQLite database.

A row is written when the attempt starts and updated as it passes each phase, each
write committed at once, so that an attempt ended by `kill -9` or a power cut leaves a
row that says how far it got and what state it left the device in. WAL mode,
`BEGIN IMMEDIATE` and a busy time-out let several orbisk-fpga processes write at once.

The schema has a version (`PRAGMA user_version`) and a migration path: MIGRATIONS[i]
brings a database from version i to version i + 1; version 0 has no tables.
"""

import dataclasses
import datetime
import errno
import getpass
import hashlib
import importlib.metadata
import os
import random
import secrets
import socket
import sqlite3
import stat
import threading
import time

from orbisk_tools.formats.signed_image import read_signed_image

FILE_NAME = "history.sqlite3"
ENVIRONMENT_VARIABLE = "ORBISK_FPGA_HISTORY"

# Marks the file as an orbisk update history ("ORBH"), so that another SQLite database is refused.
APPLICATION_ID = 0x4F524248

# How long a writer waits for another process's write to end.
BUSY_SECONDS = 30.0

ADVICE = "give another --history PATH, or --no-history to update without a history"

UNFINISHED = ("unfinished update since {time}: its configuration memory does not hold a verified image; "
              "update it again before power-cycling it")

# Where an attempt is, or where it ended: the update's own connect and probe, then the phases of
# the FPGA module's outcome, as the JSON result and the display name them.
PHASES = ("connect", "probe", "check", "erase", "write", "verify", "load", "version", "done")
# From the erase on, the configuration memory holds no verified image until the load is confirmed.
PHASE_DEVICE_STATE = {"erase": "erased", "write": "erased", "verify": "erased", "load": "erased"}
DEVICE_STATES = ("untouched", "erased", "loaded")
# "not started": held back by the rollout controls (--max-failures, --canary), the device untouched.
OUTCOMES = ("updated", "failed", "interrupted", "skipped", "dry run", "not started")
RUNNING = "running"
SUCCEEDED = ("updated", "skipped")
# Outcomes of attempts that never changed the device.
NO_CHANGE = ("skipped", "dry run")

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
]


class HistoryUnavailable(Exception):
    """The history cannot be opened or written; the message is one line for the user."""


@dataclasses.dataclass(frozen=True)
class Operator:
    user: str
    host: str


@dataclasses.dataclass(frozen=True)
class Versions:
    tool: str
    module: str


@dataclasses.dataclass(frozen=True)
class ImageFacts:
    path: str  # absolute
    sha256: str  # hex
    size: int
    header_version: str | None  # the signed image's header member "version"


@dataclasses.dataclass(frozen=True)
class Attempt:
    """One row of the history."""
    id: int
    run_id: str
    started: str  # UTC, ISO 8601
    ended: str | None
    operator_user: str
    operator_host: str
    pid: int
    process_start: str | None
    tool_version: str
    module_version: str
    address: str
    serial: str | None
    fpga_id: str | None
    device_type: int | None
    fpga_version_before: str | None
    control_fw_version_before: str | None
    fpga_version_after: str | None
    control_fw_version_after: str | None
    image_path: str | None
    image_sha256: str | None
    image_size: int | None
    image_header_version: str | None
    window_size: int | None
    bytes_written: int
    seconds: float | None
    phase: str
    device_state: str
    outcome: str
    reason: str | None
    message: str
    vendor_key_id: str | None


COLUMNS = ", ".join(field.name for field in dataclasses.fields(Attempt))


# ---- facts about this run --------------------------------------------------------------------

def history_path(cli_path=None, environ=os.environ):
    """Where the history is: --history, else $ORBISK_FPGA_HISTORY, else under $XDG_STATE_HOME,
    else under ~/.local/state."""
    if cli_path:
        return os.path.abspath(cli_path)
    if environ.get(ENVIRONMENT_VARIABLE):
        return os.path.abspath(environ[ENVIRONMENT_VARIABLE])
    state = environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):  # a relative value is to be ignored
        home = environ.get("HOME") or os.path.expanduser("~")
        state = os.path.join(home, ".local", "state")
    return os.path.join(state, "orbisk", FILE_NAME)


def now():
    """The time in UTC, ISO 8601 with seconds."""
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def new_run_id():
    """A new run id: its start time in UTC and a random suffix, so that ids sort by time."""
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ-") + secrets.token_hex(3)


def current_operator():
    try:
        user = getpass.getuser()
    except (OSError, KeyError):  # no login name in the environment nor in the password database
        user = str(os.getuid())
    return Operator(user, socket.gethostname())


def current_versions():
    """The versions of orbisk-fpga and of the FPGA module, which ship in one package."""
    try:
        version = importlib.metadata.version("orbisk-native")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    return Versions(tool=version, module=version)


def image_facts(path):
    """Path, SHA-256, size and header version of the image at `path`. Raises OSError."""
    with open(path, "rb") as image:
        data = image.read()
    signed = read_signed_image(data)
    version = signed.members.get("version") if signed and signed.header_verifies else None
    return ImageFacts(os.path.abspath(path), hashlib.sha256(data).hexdigest(), len(data),
                      None if version is None else str(version))


def _process_stat(pid):
    """(state, start) of process `pid`: its state letter ("Z" for a process that ended and was
    not yet reaped) and when it started, in clock ticks since boot (tells a reused pid apart);
    (None, None) when /proc does not say."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as status:
            fields = status.read().rpartition(b")")[2].split()
        return fields[0].decode(), fields[19].decode()
    except (OSError, IndexError):
        return None, None


def _process_start(pid):
    return _process_stat(pid)[1]


def _process_alive(attempt):
    """Whether the process that recorded `attempt` still runs (not known on another host: no)."""
    if attempt.operator_host != socket.gethostname():
        return False
    try:
        os.kill(attempt.pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass  # another user's process
    state, started = _process_stat(attempt.pid)
    if state in ("Z", "X"):  # killed, and not yet reaped by its parent
        return False
    return attempt.process_start is None or started is None or started == attempt.process_start


# ---- the database ------------------------------------------------------------------------------

def _untrusted(status, subject):
    """Why a file or folder of the history with `status` could hold what another user wrote, or None:
    it must belong to this user (or root) and be writable by its owner only."""
    if status.st_uid not in (0, os.geteuid()):
        return f"{subject} belongs to another user"
    if status.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return f"others can write to {subject}"
    return None


def _refuse_untrusted_folder(path):
    """Refuses the folder of the history at `path`, and the folder a link there leads to, when another
    user could have put files in it."""
    for folder in dict.fromkeys((os.path.dirname(path), os.path.dirname(os.path.realpath(path)))):
        try:
            problem = _untrusted(os.stat(folder), "it")
        except OSError as error:
            problem = error.strerror or str(error)
        if problem:
            raise HistoryUnavailable(f"cannot use the folder {folder} for the update history: {problem}, so "
                                     f"the history in it cannot be trusted; {ADVICE}")


def _refuse_untrusted_files(path, real):
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
                                     f"trusted; {ADVICE}")


def _make_private_folders(folder):
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


def _create_private_file(path):
    """Creates the history file, empty and readable by its owner only whatever the umask, unless it exists."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        return
    try:
        os.fchmod(fd, 0o600)
    finally:
        os.close(fd)


class History:
    """An open update history. Every method may be called from any thread."""

    def __init__(self, path, connection):
        self.path = path
        self._db = connection
        self._lock = threading.Lock()  # one statement at a time on the shared connection

    @classmethod
    def open(cls, path):
        """Opens the history at `path`, creating it (mode 0600) and its folders (mode 0700) when
        missing and bringing its schema up to date. A history that another user could have written
        is refused. Raises HistoryUnavailable."""
        path = os.path.abspath(path)
        folder = os.path.dirname(path)
        try:
            _make_private_folders(folder)
        except OSError as error:
            why = "a file of that name is in the way" if isinstance(error, FileExistsError) else error.strerror
            raise HistoryUnavailable(f"cannot create the folder {folder} for the update history "
                                     f"({why or error}); {ADVICE}") from None
        if os.path.isdir(path):
            raise HistoryUnavailable(f"cannot open the update history {path}: it is a folder; {ADVICE}")
        _refuse_untrusted_folder(path)
        real = os.path.realpath(path)
        try:
            _create_private_file(real)
        except OSError as error:
            raise HistoryUnavailable(f"cannot open the update history {path} ({error.strerror or error}); "
                                     f"{ADVICE}") from None
        _refuse_untrusted_files(path, real)
        connection = None
        try:
            connection = sqlite3.connect(real, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False)
            connection.execute(f"PRAGMA busy_timeout = {int(BUSY_SECONDS * 1000)}")
            connection.execute("PRAGMA synchronous = FULL")  # each commit survives a power cut
            _when_not_busy(lambda: _set_up(connection, path))
        except sqlite3.Error as error:
            if connection is not None:
                connection.close()
            if error.sqlite_errorname == "SQLITE_NOTADB":
                raise HistoryUnavailable(f"{path} is not an update history (not an SQLite database); "
                                         f"{ADVICE}") from None
            raise HistoryUnavailable(f"cannot open the update history {path} ({error}); {ADVICE}") from None
        except HistoryUnavailable:
            connection.close()
            raise
        return cls(path, connection)

    def close(self):
        with self._lock:
            self._db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- writes: each in a transaction of its own, committed at once ----

    def _write(self, sql, parameters):
        with self._lock:
            try:
                return _when_not_busy(lambda: _transaction(self._db, "IMMEDIATE", self._db.execute, sql, parameters))
            except sqlite3.Error as error:
                raise HistoryUnavailable(f"cannot write the update history {self.path} ({error})") from None

    def _update(self, attempt, **values):
        values = {name: value for name, value in values.items() if value is not None}
        if values:
            assignments = ", ".join(f"{name} = :{name}" for name in values)
            self._write(f"UPDATE attempts SET {assignments} WHERE id = :id", {**values, "id": attempt})

    def start_attempt(self, run_id, address, image=None, device_type=None, window=None, operator=None,
                      versions=None, vendor_key_id=None):
        """Records a new attempt on the device at `address` (outcome "running", nothing touched
        yet) and returns its id. `image` is an ImageFacts; `vendor_key_id` the key id that
        verified its vendor signature, if one was checked."""
        operator = operator or current_operator()
        versions = versions or current_versions()
        row = {
            "run_id": run_id, "started": now(), "operator_user": operator.user, "operator_host": operator.host,
            "pid": os.getpid(), "process_start": _process_start(os.getpid()),
            "tool_version": versions.tool, "module_version": versions.module,
            "address": address, "device_type": device_type, "window_size": window,
            "image_path": image and image.path, "image_sha256": image and image.sha256,
            "image_size": image and image.size, "image_header_version": image and image.header_version,
            "vendor_key_id": vendor_key_id,
            "phase": "connect", "device_state": "untouched", "outcome": RUNNING,
        }
        names = ", ".join(row)
        return self._write(f"INSERT INTO attempts ({names}) VALUES ({', '.join(':' + n for n in row)})",
                           row).lastrowid

    def record_device(self, attempt, serial=None, fpga_id=None, fpga_version_before=None,
                      control_fw_version_before=None):
        """Records what the device said about itself before the update."""
        self._update(attempt, serial=serial, fpga_id=fpga_id, fpga_version_before=fpga_version_before,
                     control_fw_version_before=control_fw_version_before)

    def record_phase(self, attempt, phase, device_state=None, bytes_written=None):
        """Records that the attempt entered `phase`; the device state defaults to what the phase
        implies (from the erase on, "erased")."""
        if phase not in PHASES:
            raise ValueError(f"unknown phase {phase!r}")
        device_state = device_state or PHASE_DEVICE_STATE.get(phase)
        if device_state is not None and device_state not in DEVICE_STATES:
            raise ValueError(f"unknown device state {device_state!r}")
        self._update(attempt, phase=phase, device_state=device_state, bytes_written=bytes_written)

    def finish_attempt(self, attempt, outcome, reason=None, message="", fpga_version_after=None,
                       control_fw_version_after=None, seconds=None, bytes_written=None, device_state=None,
                       window=None, phase=None):
        """Records how the attempt ended. An update loaded its verified image: its device state
        becomes "loaded"; otherwise the state stays what the phases left, unless given. `window`:
        the commands in flight the update ran at, when it was chosen after the attempt started;
        `phase`: where it ended, when not the last phase recorded."""
        if outcome not in OUTCOMES:
            raise ValueError(f"unknown outcome {outcome!r}")
        if phase is not None and phase not in PHASES:
            raise ValueError(f"unknown phase {phase!r}")
        if outcome == "updated":
            device_state = "loaded"
        if device_state is not None and device_state not in DEVICE_STATES:
            raise ValueError(f"unknown device state {device_state!r}")
        self._update(attempt, ended=now(), outcome=outcome, reason=reason, message=message,
                     fpga_version_after=fpga_version_after, control_fw_version_after=control_fw_version_after,
                     seconds=seconds, bytes_written=bytes_written, device_state=device_state, window_size=window,
                     phase=phase)

    # ---- queries: newest first ----

    def _select(self, where="", parameters=(), limit=None):
        sql = f"SELECT {COLUMNS} FROM attempts {where} ORDER BY id DESC"
        if limit is not None:
            sql += f" LIMIT {int(limit)}"
        with self._lock:
            try:
                rows = self._db.execute(sql, parameters).fetchall()
            except sqlite3.Error as error:
                raise HistoryUnavailable(f"cannot read the update history {self.path} ({error})") from None
        return [Attempt(*row) for row in rows]

    def attempt(self, attempt):
        """The attempt with id `attempt`, or None."""
        found = self._select("WHERE id = ?", (attempt,))
        return found[0] if found else None

    def attempts(self, address=None, serial=None, run=None, limit=None):
        """The recorded attempts, newest first, of the device at `address`, of the device with
        serial number `serial`, of run `run` (each filter when given)."""
        conditions = {"address": address, "serial": serial, "run_id": run}
        conditions = {name: value for name, value in conditions.items() if value is not None}
        where = " AND ".join(f"{name} = :{name}" for name in conditions)
        return self._select(f"WHERE {where}" if where else "", conditions, limit)

    def last_attempt(self, address=None, serial=None):
        """The newest attempt on the device, whatever its outcome, or None."""
        found = self.attempts(address=address, serial=serial, limit=1)
        return found[0] if found else None

    def last_change(self, address=None, serial=None):
        """The newest attempt that touched the device (erased or loaded it): the one that says
        what its configuration memory holds. None when none did."""
        conditions = {"address": address, "serial": serial}
        conditions = {name: value for name, value in conditions.items() if value is not None}
        where = " AND ".join(["device_state != 'untouched'"] + [f"{name} = :{name}" for name in conditions])
        found = self._select(f"WHERE {where}", conditions, limit=1)
        return found[0] if found else None

    def last_run_id(self):
        """The run of the newest attempt, or None."""
        found = self._select(limit=1)
        return found[0].run_id if found else None

    def not_succeeded(self, run):
        """The addresses whose attempt in `run` did not succeed (failed, interrupted, or ended
        with its process), in the order they were started."""
        addresses = [attempt.address for attempt in reversed(self.attempts(run=run))
                     if attempt.outcome not in SUCCEEDED + ("dry run",)]
        return list(dict.fromkeys(addresses))

    def unfinished(self, attempt):
        """Whether `attempt` erased the device and did not load a verified image: it ended so, or
        it is still "running" and the process that recorded it is gone."""
        if attempt.device_state != "erased":
            return False
        return attempt.outcome != RUNNING or not _process_alive(attempt)

    def is_running(self, attempt):
        """Whether `attempt` is still "running" in a process that still runs."""
        return attempt.outcome == RUNNING and _process_alive(attempt)

    def outcome_as_read(self, attempt):
        """The attempt's outcome as the user reads it: one recorded as running whose process
        is gone ended without saying how."""
        if attempt.outcome != RUNNING or self.is_running(attempt):
            return attempt.outcome
        return "ended unrecorded"

    def already_loaded(self, serial, sha256):
        """The attempt that loaded the image with `sha256` into the device with serial number
        `serial`, if that is the last change recorded for it; else None. (The caller still checks
        that the device reports the version recorded after it.)"""
        change = self.last_change(serial=serial)
        if change and change.outcome == "updated" and change.image_sha256 == sha256:
            return change
        return None


def _transaction(connection, kind, work, *arguments):
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


def _when_not_busy(work):
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


def _set_up(connection, path):
    """Checks that the database is an update history (before anything is written to it), then
    switches it to WAL and brings its schema up to date, each in one step: several processes
    may do this at once."""
    _transaction(connection, "DEFERRED", _schema_version, connection, path)
    if connection.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
        connection.execute("PRAGMA journal_mode = WAL")
    _transaction(connection, "IMMEDIATE", _migrate, connection, path)


def _schema_version(connection, path):
    """The schema version of a database that is an update history, or empty; raises
    HistoryUnavailable for any other database, or one newer than this tool knows."""
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    application_id = connection.execute("PRAGMA application_id").fetchone()[0]
    if version == 0:
        ours = application_id == 0 and connection.execute("SELECT count(*) FROM sqlite_master").fetchone()[0] == 0
    else:
        ours = application_id == APPLICATION_ID
    if not ours:
        raise HistoryUnavailable(f"{path} is not an update history (another SQLite database); {ADVICE}")
    if version > len(MIGRATIONS):
        raise HistoryUnavailable(f"{path} was written by a newer orbisk-fpga (history schema {version}; this "
                                 f"one knows up to {len(MIGRATIONS)}); use the newer orbisk-fpga, or {ADVICE}")
    return version


def _migrate(connection, path):
    """Runs the migration steps that the database lacks."""
    for step in range(_schema_version(connection, path), len(MIGRATIONS)):
        for statement in MIGRATIONS[step]:
            connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {step + 1}")
