"""The update history: rows that survive a killed process, several writers, refusals,
schema migrations, queries and the rules that the command line builds on."""

import contextlib
import dataclasses
import hashlib
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from orbisk_tools.records import attempts, database as storage
from orbisk_tools.formats import signed_image
from orbisk_tools.records.history import History, HistoryUnavailable
from orbisk_tools.records.attempts import ImageFacts

IMAGE = ImageFacts("/images/fpga.tbin", "ab" * 32, 16389, "0.2.4.0")
OTHER_IMAGE = ImageFacts("/images/fpga-old.tbin", "cd" * 32, 16000, None)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "state" / "history.sqlite3")


@contextlib.contextmanager
def raw_database(path):
    """The history's file opened by sqlite3 itself, committed and closed at the end."""
    database = sqlite3.connect(path)
    try:
        with database:
            yield database
    finally:
        database.close()


def run_script(code, *arguments, **popen):
    """Starts Python on `code`, which finds the history module as `history`."""
    code = "import sys\nfrom orbisk_tools.records import history\n" + textwrap.dedent(code)
    return subprocess.Popen([sys.executable, "-c", code, *arguments], text=True, **popen)


def test_path_resolution():
    home = {"HOME": "/home/field"}
    assert attempts.history_path(environ=home) == "/home/field/.local/state/orbisk/history.sqlite3"
    assert attempts.history_path(environ={**home, "XDG_STATE_HOME": "relative/state"}) == \
        "/home/field/.local/state/orbisk/history.sqlite3"
    state = {**home, "XDG_STATE_HOME": "/var/state"}
    assert attempts.history_path(environ=state) == "/var/state/orbisk/history.sqlite3"
    chosen = {**state, "ORBISK_FPGA_HISTORY": "/srv/site.sqlite3"}
    assert attempts.history_path(environ=chosen) == "/srv/site.sqlite3"
    assert attempts.history_path("/tmp/x/run.sqlite3", environ=chosen) == "/tmp/x/run.sqlite3"


def test_folder_is_created_private_and_a_new_attempt_records_who_and_what(path):
    with History.open(path) as records:
        attempt = records.start_attempt("run-1", "10.0.0.5:5025", IMAGE, device_type=32, window=8)
        row = records.attempt(attempt)
    assert os.stat(os.path.dirname(path)).st_mode & 0o777 == 0o700
    with raw_database(path) as database:
        assert database.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    assert (row.outcome, row.phase, row.device_state, row.ended) == ("running", "connect", "untouched", None)
    assert (row.image_path, row.image_sha256, row.image_size, row.image_header_version) == \
        (IMAGE.path, IMAGE.sha256, IMAGE.size, IMAGE.header_version)
    assert (row.device_type, row.window_size, row.pid) == (32, 8, os.getpid())
    assert (row.operator_user, row.operator_host) == (attempts.current_operator().user,
                                                      attempts.current_operator().host)
    assert row.tool_version == attempts.current_versions().tool != "unknown"
    assert row.started.endswith("+00:00") and len(row.started) == len("2026-01-01T00:00:00+00:00")


def test_a_killed_update_leaves_its_row_with_the_last_phase(path):
    process = run_script(f"""
        records = history.History.open({path!r})
        attempt = records.start_attempt("run-k", "10.0.0.7:5025", None, device_type=32, window=1)
        print(attempt, flush=True)
        sys.stdin.readline()
        records.record_device(attempt, serial="SN-7", fpga_id="FID", fpga_version_before="0.2.3.0",
                              control_fw_version_before="1.4")
        records.record_phase(attempt, "erase")
        records.record_phase(attempt, "write", bytes_written=4096)
        print("writing", flush=True)
        sys.stdin.readline()  # killed here
    """, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        attempt = int(process.stdout.readline())
        with History.open(path) as records:
            started = records.attempt(attempt)
            assert (started.outcome, started.phase, started.device_state) == ("running", "connect", "untouched")
            process.stdin.write("go\n")
            process.stdin.flush()
            assert process.stdout.readline() == "writing\n"
            writing = records.attempt(attempt)
            assert not records.unfinished(writing)  # erased, but its update still runs
            process.kill()
            os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)  # ended, not yet reaped by its parent
            assert records.unfinished(records.attempt(attempt))
            assert process.wait() == -signal.SIGKILL
            killed = records.attempt(attempt)
            assert (killed.outcome, killed.phase, killed.device_state, killed.bytes_written) == \
                ("running", "write", "erased", 4096)
            assert (killed.serial, killed.fpga_version_before, killed.control_fw_version_before) == \
                ("SN-7", "0.2.3.0", "1.4")
            assert records.unfinished(killed)
            assert records.unfinished(records.last_change(serial="SN-7"))
    finally:
        process.kill()
        process.communicate()


def test_several_processes_and_threads_writing_at_once_lose_no_row(path):
    # The processes also create the history at once.
    script = f"""
        import threading
        records = history.History.open({path!r})
        def update(thread):
            for number in range(25):
                attempt = records.start_attempt(sys.argv[1], f"{{thread}}-{{number}}", None)
                records.record_phase(attempt, "write", bytes_written=number)
                records.finish_attempt(attempt, "updated", fpga_version_after="0.2.4.0", seconds=0.1)
        threads = [threading.Thread(target=update, args=(thread,)) for thread in range(2)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
    """
    processes = [run_script(script, run) for run in ("run-a", "run-b")]
    assert [process.wait() for process in processes] == [0, 0]
    with History.open(path) as records:
        for run in ("run-a", "run-b"):
            rows = records.attempts(run=run)
            assert sorted(row.address for row in rows) == sorted(f"{t}-{n}" for t in range(2) for n in range(25))
            assert {(row.outcome, row.device_state, row.phase) for row in rows} == {("updated", "loaded", "write")}
        assert len(records.attempts()) == 100


def unusable_paths(tmp_path):
    text = tmp_path / "notes.txt"
    text.write_text("not a database\n" * 100)
    other = tmp_path / "other.sqlite3"
    with raw_database(other) as database:
        database.execute("CREATE TABLE inventory (name TEXT)")
    newer = tmp_path / "newer.sqlite3"
    History.open(str(newer)).close()
    with raw_database(newer) as database:
        database.execute(f"PRAGMA user_version = {len(storage.MIGRATIONS) + 1}")
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)
    (shared / "history.sqlite3").symlink_to(tmp_path / "elsewhere.sqlite3")
    return {
        "a folder": (tmp_path, "it is a folder"),
        "a folder that cannot be created": (text / "history.sqlite3", "cannot create the folder"),
        "a read-only location": ("/proc/orbisk-history.sqlite3", "cannot open the update history"),
        "a text file": (text, "is not an update history"),
        "another database": (other, "is not an update history"),
        "a newer schema": (newer, "was written by a newer orbisk-fpga"),
        "a link in a shared folder": (shared / "history.sqlite3", "others can write to it"),
    }


def test_a_history_that_cannot_be_used_is_refused_in_one_line(tmp_path):
    for case, (path, words) in unusable_paths(tmp_path).items():
        before = pathlib.Path(path).read_bytes() if os.path.isfile(path) else None
        with pytest.raises(HistoryUnavailable) as refusal:
            History.open(str(path))
        message = str(refusal.value)
        assert words in message and "\n" not in message and "history=None" in message, case
        assert str(path) in message or str(os.path.dirname(path)) in message, case
        if before is not None:
            assert pathlib.Path(path).read_bytes() == before, case  # a file we refuse stays as it was
    assert not (tmp_path / "elsewhere.sqlite3").exists()


def test_an_older_schema_is_brought_up_to_date_and_keeps_its_rows(path, monkeypatch):
    with History.open(path) as records:
        first = records.start_attempt("run-1", "10.0.0.5:5025", IMAGE)
        records.finish_attempt(first, "failed", reason="timeout", message="no answer")
    later = (*storage.MIGRATIONS, ("ALTER TABLE attempts ADD COLUMN site TEXT DEFAULT 'north'",))
    monkeypatch.setattr(storage, "MIGRATIONS", list(later))
    with History.open(path) as records:
        kept = records.attempt(first)
        assert (kept.address, kept.outcome, kept.reason, kept.message) == \
            ("10.0.0.5:5025", "failed", "timeout", "no answer")
        second = records.start_attempt("run-2", "10.0.0.6:5025", IMAGE)
        assert [row.id for row in records.attempts()] == [second, first]
    with raw_database(path) as database:
        assert database.execute("PRAGMA user_version").fetchone()[0] == len(later)
        assert database.execute("SELECT site FROM attempts WHERE id = ?", (first,)).fetchone()[0] == "north"


def test_the_vendor_key_id_is_recorded_also_in_a_history_of_the_first_schema(path, monkeypatch):
    with monkeypatch.context() as first_schema:
        first_schema.setattr(storage, "MIGRATIONS", storage.MIGRATIONS[:1])
        History.open(path).close()
    with History.open(path) as records:
        checked = records.start_attempt("run-1", "10.0.0.5:5025", IMAGE, vendor_key_id="85D3B987C834B000")
        unchecked = records.start_attempt("run-2", "10.0.0.5:5025", IMAGE)
        assert [records.attempt(n).vendor_key_id for n in (checked, unchecked)] == ["85D3B987C834B000", None]


def test_attempts_of_an_older_schema_get_a_uid_each_and_imported_ones_sort_by_when_they_started(path, monkeypatch):
    with monkeypatch.context() as older_schema:
        older_schema.setattr(storage, "MIGRATIONS", storage.MIGRATIONS[:2])
        History.open(path).close()
    with raw_database(path) as database:  # as the orbisk-fpga of that schema wrote them
        kept = [database.execute(
            "INSERT INTO attempts (run_id, started, operator_user, operator_host, pid, tool_version, module_version, "
            "address, phase, device_state, outcome) VALUES ('run-1', '2026-01-01T00:00:00+00:00', 'field', 'laptop', "
            "1, '0.1.0', '0.1.0', ?, 'probe', 'untouched', 'failed')", (f"10.0.0.{n}:5025",)).lastrowid for n in (5, 6)]
    with History.open(path) as records:
        uids = [records.attempt(number).uid for number in kept]
        assert len(set(uids)) == 2 and all(len(uid) == 36 for uid in uids)
        imported = {**dataclasses.asdict(records.attempt(kept[0])), "uid": "0" * 8 + "-0000-4000-8000-" + "0" * 12,
                    "origin": "laptop-b", "started": "2020-01-01T00:00:00+00:00"}
        del imported["id"]
        assert records.import_attempts([imported, imported]) == 1  # once, however often it comes
        own = dataclasses.asdict(records.attempt(kept[1]))
        del own["id"]
        assert records.import_attempts([own]) == 0  # its uid is here already
        assert [row.origin for row in records.attempts()] == [None, None, "laptop-b"]  # the oldest last


def test_queries_are_newest_first_and_filter(path):
    with History.open(path) as records:
        def attempt(run, address, serial, outcome, phase="load"):
            number = records.start_attempt(run, address, IMAGE)
            records.record_device(number, serial=serial)
            records.record_phase(number, phase)
            records.finish_attempt(number, outcome)
            return number

        a1 = attempt("run-1", "a:5025", "SN-A", "updated")
        b1 = attempt("run-1", "b:5025", "SN-B", "failed")
        c1 = attempt("run-1", "c:5025", "SN-C", "interrupted", phase="connect")
        d1 = attempt("run-1", "d:5025", "SN-D", "skipped", phase="probe")
        a2 = attempt("run-2", "a2:5025", "SN-A", "updated")  # the same device at another address
        b2 = attempt("run-2", "b:5025", "SN-B", "dry run", phase="probe")
        e2 = records.start_attempt("run-2", "e:5025", IMAGE)  # its process ended without a word

        assert [row.id for row in records.attempts()] == [e2, b2, a2, d1, c1, b1, a1]
        assert [row.id for row in records.attempts(limit=2)] == [e2, b2]
        assert [row.id for row in records.attempts(address="b:5025")] == [b2, b1]
        assert [row.id for row in records.attempts(serial="SN-A")] == [a2, a1]
        assert [row.id for row in records.attempts(run="run-1", serial="SN-B")] == [b1]
        assert records.last_attempt(serial="SN-B").id == b2
        assert records.last_change(serial="SN-B").id == b1  # the dry run changed nothing
        assert records.last_run_id() == "run-2"
        assert records.not_succeeded("run-1") == ["b:5025", "c:5025"]
        assert records.not_succeeded("run-2") == ["e:5025"]
        assert records.attempt(a1 + 1000) is None


def test_unfinished_and_already_loaded_follow_the_last_change_to_the_device(path):
    run = attempts.new_run_id()
    with History.open(path) as records:
        def attempt(phases, outcome, image=IMAGE, serial="SN-1", **finish):
            number = records.start_attempt(run, "10.0.0.9:5025", image)
            records.record_device(number, serial=serial, fpga_version_before="0.2.3.0")
            for phase in phases:
                records.record_phase(number, phase)
            records.finish_attempt(number, outcome, **finish)
            return records.attempt(number)

        loaded = attempt(["probe", "erase", "write", "verify", "load"], "updated", fpga_version_after="0.2.4.0")
        assert not records.unfinished(loaded)
        assert records.already_loaded("SN-1", IMAGE.sha256) == loaded
        assert loaded.fpga_version_after == "0.2.4.0"
        assert records.already_loaded("SN-1", OTHER_IMAGE.sha256) is None
        assert records.already_loaded("SN-2", IMAGE.sha256) is None

        # Attempts that never touched the device leave it as it was.
        attempt(["probe"], "skipped")
        attempt(["connect"], "failed", reason="connect", serial=None)
        attempt(["probe"], "interrupted")
        assert records.already_loaded("SN-1", IMAGE.sha256) == loaded
        assert not records.unfinished(records.last_attempt(serial="SN-1"))

        broken = attempt(["probe", "erase", "write"], "failed", image=OTHER_IMAGE, reason="block_refused")
        assert records.unfinished(broken) and broken.device_state == "erased"
        assert records.already_loaded("SN-1", IMAGE.sha256) is None
        assert records.already_loaded("SN-1", OTHER_IMAGE.sha256) is None
        at_load = attempt(["probe", "erase", "write", "verify", "load"], "failed", reason="load")
        assert records.unfinished(at_load)  # the read-back matched, but nothing confirmed the load
        attempt(["connect"], "failed", reason="connect")
        assert records.unfinished(records.last_change(address="10.0.0.9:5025"))


def test_image_facts(tmp_path):
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(b"\xff" * 1000)
    signed = tmp_path / "fpga.tbin"
    signed.write_bytes(signed_image.pack(b"\xaa" * 500, 32, {"version": "0.2.4.0"}))
    facts = attempts.image_facts(str(raw))
    assert (facts.path, facts.size, facts.header_version) == (str(raw), 1000, None)
    assert facts.sha256 == hashlib.sha256(raw.read_bytes()).hexdigest()
    assert attempts.image_facts(str(signed)).header_version == "0.2.4.0"
    assert attempts.image_facts(str(signed)).size == signed.stat().st_size
