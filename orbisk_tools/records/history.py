"""The update history: one row per device per update attempt, in an SQLite database.

A row is written when the attempt starts and updated as it passes each phase, each
write committed at once, so that an attempt ended by `kill -9` or a power cut leaves a
row that says how far it got and what state it left the device in. Several orbisk-fpga
processes may write at once; the database and its schema are in `database`.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
import sqlite3
import threading
from collections.abc import Iterable, Mapping, Sequence
from types import TracebackType
from typing import Any, Self

from orbisk_tools.vocabulary import IMPLIED_STATE, UPDATE_RESULTS, DeviceState, Phase, Result
from orbisk_tools.formats.files import StrPath
from orbisk_tools.records import database, processes
from orbisk_tools.records.attempts import COLUMNS, Attempt, ImageFacts, Operator, Versions, current_operator, \
    current_versions, is_database_url, now, recorded_time
from orbisk_tools.records.database import HistoryUnavailable as HistoryUnavailable  # the history's error, here too


UNFINISHED = ("unfinished update since {time}: it erased the configuration memory and did not load a verified "
              "image; update it again before power-cycling it")
# The last change wrote the image whole and read it back, but its load was not confirmed.
UNLOADED = ("unfinished update since {time}: its configuration memory holds the image, read back, but its load was "
            "not confirmed; update it again to load it (it is not written again)")

# The words of an attempt, as the JSON result and the display name them (see vocabulary).
PHASES = tuple(Phase)
PHASE_DEVICE_STATE: dict[str, str] = {str(phase): str(state) for phase, state in IMPLIED_STATE.items()}
DEVICE_STATES = tuple(DeviceState)
OUTCOMES = UPDATE_RESULTS
RUNNING = "running"  # the outcome of an attempt until it ends
# The outcomes of attempts that need nothing more, as --retry-failed sees them.
SUCCEEDED = (Result.UPDATED, Result.LOADED, Result.SKIPPED)

def _chosen(address: str | None, serial: str | None, run: str | None, since: datetime.datetime | None,
            until: datetime.datetime | None) -> tuple[str, dict[str, str]]:
    """The WHERE clause and its parameters that choose the attempts of History.attempts()."""
    given = {"address": address, "serial": serial, "run_id": run}
    conditions = {name: value for name, value in given.items() if value is not None}
    tests = [f"{name} = :{name}" for name in conditions]
    for name, moment, test in (("since", since, "started >= :since"), ("until", until, "started < :until")):
        if moment is not None:
            conditions[name] = recorded_time(moment)
            tests.append(test)
    return (f"WHERE {' AND '.join(tests)}" if tests else ""), conditions


class History:
    """An open update history. Every method may be called from any thread."""

    def __init__(self, path: str, connection: sqlite3.Connection):
        self.path = path
        self._db = connection
        self._lock = threading.Lock()  # one statement at a time on the shared connection

    @classmethod
    def open(cls, path: StrPath) -> History:
        """Opens the history at `path`, creating it (mode 0600) and its folders (mode 0700) when
        missing and bringing its schema up to date. A history that another user could have written
        is refused. Raises HistoryUnavailable; orbisk_tools.open_history() opens a team's history
        too."""
        if isinstance(path, str) and is_database_url(path):
            raise HistoryUnavailable(f"{path} is a team's history: open it with orbisk_tools.open_history()")
        path = os.path.abspath(path)
        return cls(path, database.open_database(path))

    def close(self) -> None:
        with self._lock:
            self._db.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    # ---- writes: each in a transaction of its own, committed at once ----

    def _write(self, sql: str, parameters: Mapping[str, object]) -> sqlite3.Cursor:
        with self._lock:
            try:
                return database.when_not_busy(
                    lambda: database.transaction(self._db, "IMMEDIATE", self._db.execute, sql, parameters))
            except sqlite3.Error as error:
                raise HistoryUnavailable(f"cannot write the update history {self.path} ({error})") from None

    def _session_columns(self) -> dict[str, object]:
        """What a new attempt records of the session that records it, besides its fields: nothing here."""
        return {}

    def _alive(self, attempt: Attempt) -> bool:
        """Whether the process that recorded `attempt` still runs (see processes.alive)."""
        return processes.alive(attempt)

    def lock_device(self, name: str) -> str | None:
        """Takes the lock of the device named `name` ("address HOST:PORT", "serial SN") that every
        computer sharing this history sees: None, or who holds it. A history of one computer has
        none (its device locks are the computer's own, see engine.locks)."""
        return None

    def unlock_device(self, name: str) -> None:
        """Releases what lock_device() took."""

    def _update(self, attempt: int, **given: object) -> None:
        values = {name: value for name, value in given.items() if value is not None}
        if values:
            assignments = ", ".join(f"{name} = :{name}" for name in values)
            self._write(f"UPDATE attempts SET {assignments} WHERE id = :id", {**values, "id": attempt})

    def start_attempt(self, run_id: str, address: str, image: ImageFacts | None = None, device_type: int | None = None,
                      window: int | None = None, operator: Operator | None = None, versions: Versions | None = None,
                      vendor_key_id: str | None = None) -> int:
        """Records a new attempt on the device at `address` (outcome "running", nothing touched
        yet) and returns its id. `image` is an ImageFacts; `vendor_key_id` the key id that
        verified its vendor signature, if one was checked."""
        operator = operator or current_operator()
        versions = versions or current_versions()
        row = {
            "run_id": run_id, "started": now(), "operator_user": operator.user, "operator_host": operator.host,
            "pid": os.getpid(), "process_start": processes.start_time(os.getpid()),
            "tool_version": versions.tool, "module_version": versions.module,
            "address": address, "device_type": device_type, "window_size": window,
            "image_path": image and image.path, "image_sha256": image and image.sha256,
            "image_size": image and image.size, "image_header_version": image and image.header_version,
            "vendor_key_id": vendor_key_id, "uid": database.new_uid(),
            "phase": "connect", "device_state": "untouched", "outcome": RUNNING, **self._session_columns(),
        }
        names = ", ".join(row)
        inserted = self._write(f"INSERT INTO attempts ({names}) VALUES ({', '.join(':' + n for n in row)})", row)
        assert inserted.lastrowid is not None  # an INSERT sets it
        return inserted.lastrowid

    def record_device(self, attempt: int, serial: str | None = None, fpga_id: str | None = None,
                      fpga_version_before: str | None = None, control_fw_version_before: str | None = None) -> None:
        """Records what the device said about itself before the update."""
        self._update(attempt, serial=serial, fpga_id=fpga_id, fpga_version_before=fpga_version_before,
                     control_fw_version_before=control_fw_version_before)

    def record_phase(self, attempt: int, phase: str, device_state: str | None = None,
                     bytes_written: int | None = None) -> None:
        """Records that the attempt entered `phase`; the device state defaults to what the phase
        implies (from the erase on, "erased")."""
        if phase not in PHASES:
            raise ValueError(f"unknown phase {phase!r}")
        device_state = device_state or PHASE_DEVICE_STATE.get(phase)
        if device_state is not None and device_state not in DEVICE_STATES:
            raise ValueError(f"unknown device state {device_state!r}")
        self._update(attempt, phase=phase, device_state=device_state, bytes_written=bytes_written)

    def record_backup(self, attempt: int, path: str, sha256: str, size: int) -> None:
        """Records the backup of the device's configuration memory kept before its erase: the
        file's `path`, its `sha256` (hex) and `size`."""
        self._update(attempt, backup_path=path, backup_sha256=sha256, backup_size=size)

    def record_soak(self, attempt: int, found: str, failed: str | None = None, reason: str | None = None) -> None:
        """Records what the check after the soak of the device's wave `found`, in words; with
        `failed`, the one line of a check that failed, and its `reason`: the attempt then failed."""
        if failed is None:
            self._update(attempt, soak=found)
        else:
            self._update(attempt, soak=found, outcome=Result.FAILED.value, reason=reason, message=failed)

    def finish_attempt(self, attempt: int, outcome: str, reason: str | None = None, message: str = "",
                       fpga_version_after: str | None = None, control_fw_version_after: str | None = None,
                       seconds: float | None = None, bytes_written: int | None = None,
                       device_state: str | None = None, window: int | None = None, phase: str | None = None) -> None:
        """Records how the attempt ended. The device state stays what the phases left, unless given
        (an update or a load that does not give it loaded its verified image). `window`:
        the commands in flight the update ran at, when it was chosen after the attempt started;
        `phase`: where it ended, when not the last phase recorded."""
        if outcome not in OUTCOMES:
            raise ValueError(f"unknown outcome {outcome!r}")
        if phase is not None and phase not in PHASES:
            raise ValueError(f"unknown phase {phase!r}")
        if outcome in ("updated", "loaded") and device_state is None:
            device_state = "loaded"
        if device_state is not None and device_state not in DEVICE_STATES:
            raise ValueError(f"unknown device state {device_state!r}")
        self._update(attempt, ended=now(), outcome=outcome, reason=reason, message=message,
                     fpga_version_after=fpga_version_after, control_fw_version_after=control_fw_version_after,
                     seconds=seconds, bytes_written=bytes_written, device_state=device_state, window_size=window,
                     phase=phase)

    def import_attempts(self, rows: Iterable[Mapping[str, object]]) -> int:
        """Adds the attempts `rows` (each a dict of every column but the id, as
        exchange.read_attempts gives them) in one transaction, but none whose uid is here
        already; how many were added."""
        names = [field.name for field in dataclasses.fields(Attempt) if field.name != "id"]
        sql = (f"INSERT INTO attempts ({', '.join(names)}) VALUES ({', '.join(':' + n for n in names)}) "
               "ON CONFLICT (uid) DO NOTHING")
        return self._write_many(sql, rows)

    def _write_many(self, sql: str, rows: Iterable[Mapping[str, object]]) -> int:
        """Runs `sql` for each of `rows` in one transaction; how many rows it changed."""
        def insert() -> int:
            before = self._db.total_changes
            self._db.executemany(sql, rows)
            return self._db.total_changes - before

        with self._lock:
            try:
                return database.when_not_busy(lambda: database.transaction(self._db, "IMMEDIATE", insert))
            except sqlite3.Error as error:
                raise HistoryUnavailable(f"cannot write the update history {self.path} ({error})") from None

    # ---- queries: newest first ----

    def _select(self, where: str = "", parameters: Sequence[object] | Mapping[str, object] = (),
                limit: int | None = None) -> list[Attempt]:
        sql = f"SELECT {COLUMNS} FROM attempts {where} ORDER BY started DESC, id DESC"
        if limit is not None:
            sql += f" LIMIT {int(limit)}"
        return [Attempt(*row) for row in self._read(sql, parameters)]

    def _read(self, sql: str, parameters: Sequence[object] | Mapping[str, object]) -> list[Any]:  # rows of SQLite values
        with self._lock:
            try:
                return self._db.execute(sql, parameters).fetchall()
            except sqlite3.Error as error:
                raise HistoryUnavailable(f"cannot read the update history {self.path} ({error})") from None

    def attempt(self, attempt: int) -> Attempt | None:
        """The attempt with id `attempt`, or None."""
        found = self._select("WHERE id = ?", (attempt,))
        return found[0] if found else None

    def attempts(self, address: str | None = None, serial: str | None = None, run: str | None = None,
                 limit: int | None = None, since: datetime.datetime | None = None,
                 until: datetime.datetime | None = None) -> list[Attempt]:
        """The recorded attempts, newest first (by the time they started, whichever computer
        recorded them), of the device at `address`, of the device with serial number `serial`,
        of run `run`, started at `since` or later, started before `until` (each filter when
        given; the times are datetimes, in UTC when they name no time zone)."""
        return self._select(*_chosen(address, serial, run, since, until), limit)

    def count(self, address: str | None = None, serial: str | None = None, run: str | None = None,
              since: datetime.datetime | None = None, until: datetime.datetime | None = None) -> int:
        """How many attempts attempts() gives for these filters, without a limit."""
        where, parameters = _chosen(address, serial, run, since, until)
        count: int
        (count,), = self._read(f"SELECT count(*) FROM attempts {where}", parameters)
        return count

    def last_attempt(self, address: str | None = None, serial: str | None = None) -> Attempt | None:
        """The newest attempt on the device, whatever its outcome, or None."""
        found = self.attempts(address=address, serial=serial, limit=1)
        return found[0] if found else None

    def last_change(self, address: str | None = None, serial: str | None = None) -> Attempt | None:
        """The newest attempt that touched the device (erased or loaded it): the one that says
        what its configuration memory holds. None when none did."""
        given = {"address": address, "serial": serial}
        conditions = {name: value for name, value in given.items() if value is not None}
        where = " AND ".join(["device_state != 'untouched'"] + [f"{name} = :{name}" for name in conditions])
        found = self._select(f"WHERE {where}", conditions, limit=1)
        return found[0] if found else None

    def last_run_id(self) -> str | None:
        """The run of the newest attempt, or None."""
        found = self._select(limit=1)
        return found[0].run_id if found else None

    def not_succeeded(self, run: str) -> list[str]:
        """The addresses whose attempt in `run` did not succeed (failed, interrupted, or ended
        with its process), in the order they were started."""
        addresses = [attempt.address for attempt in reversed(self.attempts(run=run))
                     if attempt.outcome not in SUCCEEDED + ("dry run",)]
        return list(dict.fromkeys(addresses))

    def unfinished(self, attempt: Attempt) -> str:
        """The flag of an attempt that erased the device and did not confirm the load of a verified
        image (it ended so, or it is still "running" and the process that recorded it is gone): the
        text of UNFINISHED or UNLOADED, with its time; "" for any other attempt."""
        if attempt.device_state not in ("erased", "written"):
            return ""
        if attempt.outcome == RUNNING and self._alive(attempt):
            return ""
        return (UNLOADED if attempt.device_state == "written" else UNFINISHED).format(time=attempt.started)

    def is_running(self, attempt: Attempt) -> bool:
        """Whether `attempt` is still "running" in a process that still runs."""
        return attempt.outcome == RUNNING and self._alive(attempt)

    def outcome_as_read(self, attempt: Attempt) -> str:
        """The attempt's outcome as the user reads it: one recorded as running whose process
        is gone ended without saying how."""
        if attempt.outcome != RUNNING or self.is_running(attempt):
            return attempt.outcome
        return "ended unrecorded"

    def backups_of(self, sha256: str) -> list[Attempt]:
        """The attempts that kept a backup whose SHA-256 is `sha256` (hex), newest first: of one
        device or of several, whose memories held the same bytes."""
        return self._select("WHERE backup_sha256 = ?", (sha256,))

    def already_loaded(self, serial: str, sha256: str) -> Attempt | None:
        """The attempt that loaded the image with `sha256` into the device with serial number
        `serial`, its load confirmed, if that is the last change recorded for it (whichever computer
        recorded it); else None. (The caller still checks that the device reports the version
        recorded after it.)"""
        change = self.last_change(serial=serial)
        if (change and change.outcome in ("updated", "loaded") and change.device_state == "loaded"
                and change.image_sha256 == sha256):
            return change
        return None
