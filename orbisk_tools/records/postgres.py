"""The update history of a team's site, in PostgreSQL (psycopg 3): the same attempts as the SQLite
history, which every laptop of the team reads and writes, and one lock per device for the whole
team (a session advisory lock, which the database releases when the laptop's session ends, however
it ends).

The URL names the database, never a password: psycopg takes it from ~/.pgpass (or PGPASSFILE), or
from PGPASSWORD. A database on another computer than this one is reached only as the URL's
`sslmode` says: without one, the history is refused rather than reached in plain text."""

from __future__ import annotations

import collections
import contextlib
import hashlib
import ipaddress
import re
import threading
import urllib.parse
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple, Self

from orbisk_tools.records import processes
from orbisk_tools.records.attempts import Attempt, current_operator, is_database_url, now
from orbisk_tools.records.database import HistoryUnavailable
from orbisk_tools.records.history import History

if TYPE_CHECKING:
    import psycopg

# The schema, as migrations: MIGRATIONS[i] brings a database from version i to i + 1. The columns of
# attempts are those of the SQLite history, and db_session: the database session that recorded a
# running attempt, which tells whether it still runs whichever computer recorded it.
MIGRATIONS = [
    (
        """CREATE TABLE attempts (
            id BIGSERIAL PRIMARY KEY, run_id TEXT NOT NULL, started TEXT NOT NULL, ended TEXT,
            operator_user TEXT NOT NULL, operator_host TEXT NOT NULL, pid BIGINT NOT NULL, process_start TEXT,
            tool_version TEXT NOT NULL, module_version TEXT NOT NULL, address TEXT NOT NULL, serial TEXT,
            fpga_id TEXT, device_type INTEGER, fpga_version_before TEXT, control_fw_version_before TEXT,
            fpga_version_after TEXT, control_fw_version_after TEXT, image_path TEXT, image_sha256 TEXT,
            image_size BIGINT, image_header_version TEXT, window_size INTEGER, bytes_written BIGINT NOT NULL DEFAULT 0,
            seconds DOUBLE PRECISION, phase TEXT NOT NULL, device_state TEXT NOT NULL, outcome TEXT NOT NULL,
            reason TEXT, message TEXT NOT NULL DEFAULT '', vendor_key_id TEXT, uid TEXT NOT NULL UNIQUE, origin TEXT,
            db_session TEXT)""",
        "CREATE INDEX attempts_by_address ON attempts (address, id)",
        "CREATE INDEX attempts_by_serial ON attempts (serial, id)",
        "CREATE INDEX attempts_by_run ON attempts (run_id, id)",
        "CREATE INDEX attempts_by_time ON attempts (started, id)",
    ),
    # A site shared out among laptops (update --share-site NAME): its devices in the order of its
    # list, each waiting, taken by a laptop's session, soaking (updated, waiting for the check after
    # its wave's soak, update --soak) or done with the result of its update.
    (
        """CREATE TABLE site_devices (
            site TEXT NOT NULL, position INTEGER NOT NULL, address TEXT NOT NULL,
            state TEXT NOT NULL DEFAULT 'waiting', taken_by TEXT, taken_at TEXT, db_session TEXT, result TEXT,
            PRIMARY KEY (site, address))""",
    ),
    # As the SQLite history's: the backup kept before the erase (update --backup), and what the check
    # after a wave's soak found (update --soak).
    (
        "ALTER TABLE attempts ADD COLUMN backup_path TEXT",
        "ALTER TABLE attempts ADD COLUMN backup_sha256 TEXT",
        "ALTER TABLE attempts ADD COLUMN backup_size BIGINT",
        "ALTER TABLE attempts ADD COLUMN soak TEXT",
        "CREATE INDEX attempts_by_backup ON attempts (backup_sha256, id)",
    ),
]
# A session that still runs, as db_session names it ("pid@start"). Its start is compared as a moment,
# not as text: the text gives the time in the time zone of the session that wrote it.
LIVE_SESSION = ("SELECT 1 FROM pg_stat_activity a WHERE a.pid = split_part({column}, '@', 1)::integer "
                "AND a.backend_start = split_part({column}, '@', 2)::timestamptz")
# Serialises the migrations of laptops that open a new database at once.
MIGRATION_LOCK = 0x4F524248  # "ORBH"
PARAMETER = re.compile(r"(?<!:):([A-Za-z_][A-Za-z_0-9]*)|\?")  # not a cast (::text)


def is_url(where: object) -> bool:
    """Whether `where` names a PostgreSQL history (a postgresql:// URL) rather than a file."""
    return isinstance(where, str) and is_database_url(where)


def checked_url(url: str) -> str:
    """`url`, refused with HistoryUnavailable when it holds a password, or names a database on
    another computer without saying, with sslmode, how to reach it."""
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qs(parts.query)
    if parts.password is not None or "password" in query:
        raise HistoryUnavailable("the URL of the update history must not hold a password: give it in ~/.pgpass "
                                 "(or the file PGPASSFILE names), or in PGPASSWORD")
    hosts = [host for value in query.get("host", []) for host in value.split(",")] or [parts.hostname or ""]
    if not all(map(_local, hosts)) and "sslmode" not in query:
        raise HistoryUnavailable(f"the update history {url} is on another computer and would be reached in plain "
                                 "text: add sslmode=verify-full (or require) to its URL, or sslmode=disable to "
                                 "accept that")
    return url


def _local(host: str) -> bool:
    """Whether `host` is this computer: a local socket's folder, a loopback address, or localhost."""
    if host in ("", "localhost") or host.startswith("/"):
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def lock_key(name: str) -> int:
    """The advisory lock's key for a device named `name` ("address 10.0.0.7:5025", "serial SN-1"):
    the first 8 bytes of its SHA-256, as the signed 64-bit number PostgreSQL takes."""
    return int.from_bytes(hashlib.sha256(f"orbisk-fpga device {name}".encode()).digest()[:8], "big", signed=True)


class SiteDevice(NamedTuple):
    """A device of a site shared out among laptops, as the history knows it."""
    address: str
    state: str  # "waiting", "taken", "soaking" or "done"
    result: str | None  # of its update, once done
    taken_by: str | None  # "user@host" of the laptop that took it
    ours: bool  # taken by this process
    live: bool  # taken by a process whose session still runs


class PostgresHistory(History):
    """The update history in the PostgreSQL database of `url` (see the module). Every method may
    be called from any thread: one statement at a time, each write a transaction of its own."""

    def __init__(self, url: str, connection: psycopg.Connection[Any]):
        # Not the SQLite history's connection: the methods that use one are this class's own. Its
        # one session records the attempts, takes a shared site's devices and holds the devices'
        # locks: they all end together, and a write after a lost session fails before an erase.
        self.path, self._lock, self._pg = url, threading.Lock(), connection
        self._held: collections.Counter[int] = collections.Counter()  # a lock taken n times is released the n-th time
        self._session = self._session_of(connection)

    @classmethod
    def open(cls, url: object) -> Self:
        """Connects to the history at `url`, making its tables or bringing them up to date. Raises
        HistoryUnavailable."""
        import psycopg

        assert isinstance(url, str)
        url = checked_url(url)
        operator = current_operator()
        name = f"orbisk-fpga {operator.user}@{operator.host}"[:63]  # who holds a lock, as others see it
        with contextlib.ExitStack() as opened:  # a history that cannot be used leaves no connection open
            try:
                # A link that dies unseen fails a statement within seconds, rather than hold it for the
                # system's TCP time-outs (about 15 minutes).
                connection = psycopg.connect(url, autocommit=True, application_name=name, connect_timeout=10,
                                             keepalives=1, keepalives_idle=10, keepalives_interval=5,
                                             keepalives_count=3, tcp_user_timeout=20000)
                opened.callback(connection.close)
                _migrate(connection)
                history = cls(url, connection)
            except psycopg.Error as error:
                raise HistoryUnavailable(f"cannot open the update history {url} ({_said(error)}); give another "
                                         "--history, or --no-history to update without one") from None
            opened.pop_all()
        return history

    def close(self) -> None:
        with self._lock:
            self._pg.close()

    # ---- the statements, in psycopg's placeholders

    def _write(self, sql: str, parameters: Mapping[str, object]) -> _Written:  # type: ignore[override]
        import psycopg

        statement = _placeholders(sql)
        if statement.lstrip().upper().startswith("INSERT"):
            statement += " RETURNING id"
        with self._lock:
            try:
                with self._pg.transaction():
                    cursor = self._pg.execute(statement, parameters)
                    row = cursor.fetchone() if cursor.description else None
            except psycopg.Error as error:
                raise HistoryUnavailable(f"cannot write the update history {self.path} ({_said(error)})") from None
        return _Written(row[0] if row else None)

    def _read(self, sql: str, parameters: Sequence[object] | Mapping[str, object]) -> list[Any]:
        import psycopg

        with self._lock:
            try:
                return self._pg.execute(_placeholders(sql), parameters).fetchall()
            except psycopg.Error as error:
                raise HistoryUnavailable(f"cannot read the update history {self.path} ({_said(error)})") from None

    def _session_columns(self) -> dict[str, object]:
        return {"db_session": self._session}

    def _write_many(self, sql: str, rows: Iterable[Mapping[str, object]]) -> int:
        import psycopg

        with self._lock:
            try:
                with self._pg.transaction():
                    cursor = self._pg.cursor()
                    cursor.executemany(_placeholders(sql), rows)
                    return cursor.rowcount
            except psycopg.Error as error:
                raise HistoryUnavailable(f"cannot write the update history {self.path} ({_said(error)})") from None

    # ---- whether an attempt still runs, whichever computer recorded it

    def _alive(self, attempt: Attempt) -> bool:
        if processes.recorded_here(attempt):
            return processes.alive(attempt)
        live = self._read(f"SELECT EXISTS ({LIVE_SESSION.format(column='t.db_session')}) FROM attempts t "
                          "WHERE id = ?", (attempt.id,))
        return bool(live and live[0][0])

    @staticmethod
    def _session_of(connection: psycopg.Connection[Any]) -> str:
        row = connection.execute("SELECT pg_backend_pid(), backend_start::text FROM pg_stat_activity "
                                 "WHERE pid = pg_backend_pid()").fetchone()
        assert row is not None  # a session sees itself
        return f"{row[0]}@{row[1]}"

    # ---- a site shared out among laptops

    def share_site(self, site: str, addresses: Sequence[str]) -> None:
        """Adds the devices `addresses` of the site named `site`, in their order, to those of it
        that any laptop may take; a device it holds already stays as it is."""
        self._write_many("INSERT INTO site_devices (site, position, address) VALUES (:site, :position, :address) "
                         "ON CONFLICT DO NOTHING", [{"site": site, "position": position, "address": address}
                                                    for position, address in enumerate(addresses)])

    def take_device(self, site: str) -> str | None:
        """Takes for this laptop the first device of `site`, in the site's order, that no laptop
        has taken (or whose laptop's session ended while it updated or soaked it) and that is not
        done: its address, or None."""
        who = current_operator()
        taken = self._read(
            "UPDATE site_devices SET state = 'taken', taken_by = :who, taken_at = :now, db_session = :session "
            "WHERE (site, address) = (SELECT site, address FROM site_devices d WHERE site = :site AND "
            "(state = 'waiting' OR (state IN ('taken', 'soaking') AND "
            f"NOT EXISTS ({LIVE_SESSION.format(column='d.db_session')}))) "
            "ORDER BY position FOR UPDATE SKIP LOCKED LIMIT 1) RETURNING address",
            {"who": f"{who.user}@{who.host}", "now": now(), "session": self._session, "site": site})
        return str(taken[0][0]) if taken else None

    def finish_device(self, site: str, address: str, result: str) -> None:
        """Records that the device at `address` of `site` is done, with `result`."""
        self._write("UPDATE site_devices SET state = 'done', result = :result WHERE site = :site AND address = :address",
                    {"result": result, "site": site, "address": address})

    def soak_device(self, site: str, address: str, result: str) -> None:
        """Records that the update of the device at `address` of `site` ended with `result`, and
        that it waits for the check after its wave's soak, by this laptop."""
        self._write("UPDATE site_devices SET state = 'soaking', result = :result WHERE site = :site AND "
                    "address = :address", {"result": result, "site": site, "address": address})

    def release_device(self, site: str, address: str) -> None:
        """Gives the device at `address` of `site`, which this laptop took and did not start, back
        to the laptops that take the site's devices."""
        self._write("UPDATE site_devices SET state = 'waiting', taken_by = NULL, taken_at = NULL, db_session = NULL "
                    "WHERE site = :site AND address = :address AND db_session = :session",
                    {"site": site, "address": address, "session": self._session})

    def site_devices(self, site: str) -> list[SiteDevice]:
        """The devices of `site`, in the site's order."""
        rows = self._read("SELECT address, state, result, taken_by, db_session = :session, "
                          f"EXISTS ({LIVE_SESSION.format(column='d.db_session')}) "
                          "FROM site_devices d WHERE site = :site ORDER BY position",
                          {"site": site, "session": self._session})
        return [SiteDevice(str(address), str(state), result, taken_by, bool(ours), bool(live))
                for address, state, result, taken_by, ours, live in rows]

    # ---- one lock per device for the whole team

    def lock_device(self, name: str) -> str | None:
        """Takes the team's lock of the device named `name` for this process's session: None, or
        who holds it ("user field on laptop-b, since 2026-12-09 14:02:11+00") when another session
        does. Raises HistoryUnavailable."""
        import psycopg

        key = lock_key(name)
        with self._lock:
            try:
                if self._held[key]:  # held by this process already: taken once more
                    self._held[key] += 1
                    return None
                (taken,), = self._pg.execute("SELECT pg_try_advisory_lock(%s)", (key,)).fetchall()
                if taken:
                    self._held[key] += 1
                    return None
                holder = self._pg.execute(
                    "SELECT a.application_name, date_trunc('second', a.backend_start)::text FROM pg_locks l "
                    "JOIN pg_stat_activity a ON a.pid = l.pid WHERE l.locktype = 'advisory' AND l.granted "
                    "AND l.classid = %s AND l.objid = %s AND l.objsubid = 1",
                    ((key >> 32) & 0xFFFFFFFF, key & 0xFFFFFFFF)).fetchone()
            except psycopg.Error as error:
                raise HistoryUnavailable(f"cannot lock the device in the update history {self.path} "
                                         f"({_said(error)})") from None
        if holder is None:  # it ended meanwhile: one more try finds it free
            return self.lock_device(name)
        who = str(holder[0]).removeprefix("orbisk-fpga ")
        user, _, host = who.partition("@")
        return f"user {user} on {host or 'another computer'}, since {holder[1]}"

    def unlock_device(self, name: str) -> None:
        """Releases the team's lock of the device named `name`, if this process holds it."""
        import psycopg

        key = lock_key(name)
        with self._lock:
            if not self._held[key]:
                return
            self._held[key] -= 1
            if self._held[key]:
                return
            del self._held[key]
            try:
                self._pg.execute("SELECT pg_advisory_unlock(%s)", (key,))
            except psycopg.Error:
                pass  # a session that is gone holds nothing any more


class _Written:
    """What a write gives back: the id of the row an INSERT made."""

    def __init__(self, lastrowid: int | None):
        self.lastrowid = lastrowid


def _placeholders(sql: str) -> str:
    """`sql` with SQLite's placeholders (":name", "?") in psycopg's ("%(name)s", "%s")."""
    return PARAMETER.sub(lambda match: f"%({match.group(1)})s" if match.group(1) else "%s", sql.replace("%", "%%"))


def _migrate(connection: psycopg.Connection[Any]) -> None:
    """Brings the schema up to date, one laptop at a time."""
    with connection.transaction():
        connection.execute("SELECT pg_advisory_xact_lock(%s)", (MIGRATION_LOCK,))
        connection.execute("CREATE TABLE IF NOT EXISTS orbisk_schema (version INTEGER NOT NULL)")
        row = connection.execute("SELECT version FROM orbisk_schema").fetchone()
        version = row[0] if row else 0
        if version > len(MIGRATIONS):
            raise HistoryUnavailable(f"the update history is of a newer orbisk-fpga (schema version {version}, this "
                                     f"one knows up to {len(MIGRATIONS)}); use the newer orbisk-fpga")
        for statements in MIGRATIONS[version:]:
            for statement in statements:
                connection.execute(statement)
        if row is None:
            connection.execute("INSERT INTO orbisk_schema VALUES (%s)", (len(MIGRATIONS),))
        else:
            connection.execute("UPDATE orbisk_schema SET version = %s", (len(MIGRATIONS),))


def _said(error: BaseException) -> str:
    """What psycopg says of `error`, on one line."""
    return " ".join(str(error).split()) or type(error).__name__

