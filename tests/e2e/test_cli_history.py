"""A site's history through orbisk-fpga: attempts chosen by time, as CSV, exported on one computer
and imported on another (each once, however often), hostile files refused whole; and a device's
configuration memory read into a file, changing nothing."""

import csv
import datetime
import io
import json
import os
import socket
import uuid

import pytest

from orbisk_tools import cli
from orbisk_tools.records.history import History

from tests.e2e.command_line import READS_BACK, address, run


def exported(path):
    """The attempts of an exported history file, oldest first."""
    return json.loads(path.read_text())["attempts"]


def export_text(attempts, **document):
    return json.dumps({"format": "orbisk-fpga update history", "version": 2, "exported": "2026-01-05T10:00:00+00:00",
                       "attempts": attempts, **document})


def write_export(path, attempts, **document):
    path.write_text(export_text(attempts, **document))
    return path


def test_two_computers_merge_their_histories_each_attempt_once_and_status_shows_the_newest(
        emulator, image, tmp_path, private_history):
    first, second = emulator(), emulator(refuse_block=0, refuse_times=None)
    laptop_b = tmp_path / "b.sqlite3"
    assert run("update", "--history", laptop_b, "--address", address(first), image).returncode == 0
    assert run("update", "--window", 1, "--address", address(first), "--address", address(second), "--force",
               image).returncode == 1
    a_file = tmp_path / "a.json"
    done = run("history", "--export", a_file)
    assert (done.returncode, done.stdout) == (0, f"2 attempts of {private_history} written to {a_file}\n")
    assert {row["origin"] for row in exported(a_file)} == {socket.gethostname()}

    imports = [run("history", "--history", laptop_b, "--import", a_file) for _ in range(2)]
    assert [result.stdout for result in imports] == [
        f"2 attempts of {a_file} added to {laptop_b}; 0 were in it already\n",
        f"0 attempts of {a_file} added to {laptop_b}; 2 were in it already\n"]
    merged = json.loads(run("history", "--history", laptop_b, "--json").stdout)
    assert sorted(row["uid"] for row in merged) == sorted({row["uid"] for row in merged})
    shown = [(row["address"], row["shown_outcome"], row["origin"]) for row in merged]
    assert shown[2] == (address(first), "updated", None)  # recorded there, before the other two
    assert set(shown[:2]) == {(address(first), "updated", socket.gethostname()),
                              (address(second), "failed", socket.gethostname())}
    assert " failed (block refused) 20" in run("status", "--history", laptop_b, "--address", address(second)).stdout

    status = run("status", "--history", laptop_b, "--address", address(first), "--json")
    newest, = (row["uid"] for row in exported(a_file) if row["address"] == address(first))
    assert json.loads(status.stdout)[0]["last_attempt"]["uid"] == newest
    assert "recorded on" in run("status", "--history", laptop_b, "--address", address(first)).stdout

    # Back to the first computer: only what the second one recorded itself is new there.
    b_file = tmp_path / "b.json"
    assert run("history", "--history", laptop_b, "--export", b_file).returncode == 0
    back = run("history", "--import", b_file)
    assert back.stdout == f"1 attempts of {b_file} added to {private_history}; 2 were in it already\n"
    refused = run("history", "--export", a_file)  # never written over, whatever it is
    assert (refused.returncode, refused.stderr) == (
        1, f"orbisk-fpga: error: {a_file} exists; --export writes a new file: name another\n")
    assert len(exported(a_file)) == 2


def test_attempts_chosen_by_the_time_they_started_and_as_csv(emulator, image, tmp_path):
    device = emulator()
    assert run("update", "--address", address(device), image).returncode == 0
    assert run("history", "--export", tmp_path / "now.json").returncode == 0
    template, = exported(tmp_path / "now.json")
    older = [{**template, "uid": str(uuid.uuid4()), "started": started, "ended": None, "outcome": "failed",
              "message": message} for started, message in (("2025-03-01T23:30:00+00:00", "first\nsecond line"),
                                                           ("2025-03-02T08:30:00-01:00", "a, \"quoted\" one"))]
    assert run("history", "--import", write_export(tmp_path / "older.json", older)).returncode == 0

    def started(*options):
        result = run("history", "--json", *options)
        assert result.returncode == 0, result.stderr
        return [row["started"] for row in json.loads(result.stdout)]

    assert started("--until", "2025-03-02") == ["2025-03-01T23:30:00+00:00"]  # UTC
    assert started("--since", "2025-03-02T09:00+02:00", "--until", "2025-03-03") == ["2025-03-02T09:30:00+00:00"]
    assert started("--since", "2025-03-02T09:30:01Z") == [template["started"]]
    assert started("--since", "2025-03-02T09:30:00Z", "--until", "2025-03-02T09:30:00.5Z") == [
        "2025-03-02T09:30:00+00:00"]  # from the second given, up to, not including, the next
    for bad in ("yesterday", "9999-12-31T23:59:59-01:00"):
        refused = run("history", "--since", bad)
        assert refused.returncode == 2 and "expected a date or a time in ISO 8601" in refused.stderr

    table = run("history", "--csv")
    lines = table.stdout.splitlines()
    assert table.returncode == 0 and len(lines) == 4  # a header, then one attempt a line
    rows = list(csv.DictReader(io.StringIO(table.stdout)))
    assert [row["message"] for row in rows] == ["", 'a, "quoted" one', "first second line"]
    assert rows[0]["uid"] == template["uid"] and rows[1]["ended"] == "" and rows[0]["shown_outcome"] == "updated"
    assert run("history", "--csv", "--json").returncode == 2


def test_reports_hold_every_attempt_and_the_table_says_when_it_shows_fewer(private_history):
    with History.open(str(private_history)) as history:
        for number in range(60):
            history.finish_attempt(history.start_attempt(f"run-{number}", "10.0.0.5:5025"), "failed")

    def rows(*options):
        return list(csv.DictReader(io.StringIO(run("history", "--csv", *options).stdout)))

    assert len(rows()) == 60 and len(json.loads(run("history", "--json").stdout)) == 60
    assert [row["run_id"] for row in rows("--limit", 10)] == [f"run-{number}" for number in range(59, 49, -1)]
    assert run("history").stdout.splitlines()[-1] == "showing 50 of 60 (--limit N)"
    assert "showing" not in run("history", "--run", "run-7").stdout


def attempt_like(template, **changes):
    return {**template, "uid": str(uuid.uuid4()), **changes}


def with_number(template, field, number):
    """An export of a good attempt, then one whose `field` is `number` as written: one that Python's
    json reads as an integer too large for a float, or as infinity."""
    return export_text([attempt_like(template), attempt_like(template, **{field: "N"})]).replace('"N"', number)


HOSTILE = {
    "not JSON": (lambda t: "{", "it is not JSON"),
    "not UTF-8": (lambda t: b"\xff\xfe", "it is not UTF-8 text"),
    "nested": (lambda t: "[" * 100000, "nests too deep"),
    "another format": (lambda t: {"format": "something else"}, 'it does not say "format"'),
    "a newer format": (lambda t: {"version": 3}, "exported by a newer orbisk-fpga (format version 3"),
    "an unknown field": (lambda t: [attempt_like(t, extra=1)], 'attempt 2 has "extra", which orbisk-fpga does not'),
    "a missing field": (lambda t: [{k: v for k, v in attempt_like(t).items() if k != "phase"}],
                        "attempt 2 has no phase"),
    "an unknown outcome": (lambda t: [attempt_like(t, outcome="pwned")], 'attempt 2: outcome is "pwned", not one'),
    "a time without offset": (lambda t: [attempt_like(t, started="2025-01-01T00:00:00")], "attempt 2: started is"),
    "a time past 9999 in UTC": (lambda t: [attempt_like(t, ended="9999-12-31T23:59:59-01:00")],
                                "attempt 2: ended is \"9999-12-31T23:59:59-01:00\", which is not in the years 1 to"),
    "a NUL": (lambda t: [attempt_like(t, serial="SN\0")], "attempt 2: serial holds a NUL"),
    "a bool for a number": (lambda t: [attempt_like(t, pid=True)], "attempt 2: pid is true or false, not a whole"),
    "a huge number": (lambda t: [attempt_like(t, image_size=2**70)], "attempt 2: image_size is 1180591620717411303424"),
    "seconds of 400 digits": (lambda t: with_number(t, "seconds", "1" + "0" * 400),
                              "attempt 2: seconds is 1000000000000000000000000000000000000000..., not a number of "
                              "seconds from 0 to 31622400"),
    "too many bytes written": (lambda t: [attempt_like(t, bytes_written=2**62)],
                               "attempt 2: bytes_written is 4611686018427387904, not from 0 to 1099511627776"),
    "an infinite window": (lambda t: with_number(t, "window_size", "1e999"),
                           "attempt 2: window_size is infinite, not a whole number"),
    "no UUID": (lambda t: [attempt_like(t, uid="1234")], 'attempt 2: uid is "1234", not a UUID'),
    "an address": (lambda t: [attempt_like(t, address="host name:1")], "attempt 2: address is"),
    "a long text": (lambda t: [attempt_like(t, message="x" * 70000)], "attempt 2: message is longer than 65536"),
}


@pytest.mark.parametrize("case", HOSTILE)
def test_a_hostile_import_is_refused_whole_in_one_line(tmp_path, private_history, capsys, case):
    with History.open(str(private_history)) as history:
        history.finish_attempt(history.start_attempt("run-1", "10.0.0.5:5025"), "failed", message="no answer")
    assert cli.main(["history", "--export", str(tmp_path / "now.json")]) == 0
    template = exported(tmp_path / "now.json")[0]
    made, words = HOSTILE[case]
    content = made(template)
    path = tmp_path / "hostile.json"
    if isinstance(content, (str, bytes)):
        path.write_bytes(content.encode() if isinstance(content, str) else content)
    elif isinstance(content, list):  # a good attempt first: nothing at all is imported
        write_export(path, [attempt_like(template), *content])
    else:
        write_export(path, [], **content)
    capsys.readouterr()
    assert cli.main(["history", "--import", str(path)]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"orbisk-fpga: error: {path} ") and words in err and len(err.splitlines()) == 1, err
    with History.open(str(private_history)) as history:
        assert len(history.attempts()) == 1


def test_an_attempt_that_starts_in_the_future_is_refused(tmp_path, private_history):
    with History.open(str(private_history)) as history:
        history.finish_attempt(history.start_attempt("run-1", "10.0.0.5:5025"), "failed")
    assert run("history", "--export", tmp_path / "now.json").returncode == 0
    template, = exported(tmp_path / "now.json")
    laptop, path = tmp_path / "laptop.sqlite3", tmp_path / "ahead.json"

    def imported(ahead):
        started = (datetime.datetime.now(datetime.timezone.utc) + ahead).isoformat(timespec="seconds")
        write_export(path, [attempt_like(template, started=started)])
        return run("history", "--history", laptop, "--import", path), started

    refused, started = imported(datetime.timedelta(hours=1, seconds=30))
    assert (refused.returncode, refused.stdout, laptop.exists()) == (1, "", False)
    assert refused.stderr == (f"orbisk-fpga: error: {path} cannot be imported: attempt 1 starts 1 hour in the future "
                              f"by this computer's clock ({started}); check the clock of \"{socket.gethostname()}\", "
                              "which recorded it, and this computer's; nothing was imported\n")
    assert imported(datetime.timedelta(minutes=2))[0].returncode == 0


def test_too_large_a_file_is_refused_unread(tmp_path, capsys):
    path = tmp_path / "large.json"
    with open(path, "wb") as large:
        large.truncate(64 * 1024 * 1024 + 1)
    assert cli.main(["history", "--import", str(path)]) == 1
    assert capsys.readouterr().err == (f"orbisk-fpga: error: {path} is larger than 67108864 bytes, too large for "
                                       "an exported update history\n")


def test_dump_reads_the_configuration_memory_into_a_new_file_changing_nothing(emulator, tmp_path):
    device = emulator()
    raw = tmp_path / "fpga.bin"
    raw.write_bytes(os.urandom(5000))
    assert run("update", "--address", address(device), raw).returncode == 0
    before = len(device.device.commands)
    for window in ("auto", "1"):
        out = tmp_path / f"dump-{window}.bin"
        result = run("dump", "--address", address(device), "--size", 3000, "--window", window, out)
        assert result.returncode == 0, result.stderr
        assert out.read_bytes() == raw.read_bytes()[:3000]
        assert result.stdout.startswith(f"3000 bytes of the configuration memory of {address(device)} written to ")
    assert set(device.device.commands[before:]) <= READS_BACK and "FPGA_READ" in device.device.commands[before:]

    again = run("dump", "--address", address(device), "--size", 16, out)
    assert again.returncode == 1 and again.stderr == f"orbisk-fpga: error: {out} exists; dump writes a new file: " \
                                                      "name another\n"
    assert out.read_bytes() == raw.read_bytes()[:3000]
    beyond = run("dump", "--address", address(device), "--size", 8000, tmp_path / "all.bin")
    assert beyond.returncode == 1 and "answered only 5000 of the 8000 bytes" in beyond.stderr
    assert (tmp_path / "all.bin").read_bytes() == raw.read_bytes()
    silent = run("dump", "--address", "127.0.0.1:9", "--timeout", 0.5, "--size", 16, tmp_path / "none.bin")
    assert silent.returncode == 1 and "cannot connect" in silent.stderr and not (tmp_path / "none.bin").exists()


def test_an_export_carries_the_backup_of_an_attempt_and_a_file_of_the_first_format_still_imports(
        tmp_path, private_history):
    with History.open(str(private_history)) as history:
        attempt = history.start_attempt("run-1", "10.0.0.5:5025")
        history.record_backup(attempt, "/backups/SN-1_20260105T100000Z_0123456789abcdef.bin", "0" * 64, 4096)
        history.finish_attempt(attempt, "updated")
    assert run("history", "--export", tmp_path / "now.json").returncode == 0
    template, = exported(tmp_path / "now.json")
    laptop = tmp_path / "laptop.sqlite3"
    first_format = {name: value for name, value in attempt_like(template).items()
                    if name not in ("backup_path", "backup_sha256", "backup_size", "soak")}
    old = tmp_path / "old.json"
    old.write_text(export_text([first_format]).replace('"version": 2', '"version": 1'))
    for path in (tmp_path / "now.json", old):
        assert run("history", "--history", laptop, "--import", path).returncode == 0
    with History.open(str(laptop)) as history:
        kept, = history.backups_of("0" * 64)
        assert (kept.uid, kept.backup_size) == (template["uid"], 4096)
        assert len(history.attempts()) == 2
    refused = run("history", "--history", laptop, "--import", write_export(tmp_path / "mixed.json", [first_format]))
    assert refused.returncode == 1 and "has no backup_path" in refused.stderr


def test_a_file_of_the_first_format_is_refused_for_its_first_bad_field(tmp_path):
    fields = ("uid", "origin", "run_id", "started", "ended", "operator_user", "operator_host", "pid", "process_start",
              "tool_version", "module_version", "address", "serial", "fpga_id", "device_type",
              "fpga_version_before", "control_fw_version_before", "fpga_version_after", "control_fw_version_after",
              "image_path", "image_sha256", "image_size", "image_header_version", "window_size", "bytes_written",
              "seconds", "phase", "device_state", "outcome", "reason", "message", "vendor_key_id")
    old = tmp_path / "old.json"
    old.write_text(export_text([dict.fromkeys(fields, [])], version=1))
    refused = run("history", "--history", tmp_path / "laptop.sqlite3", "--import", old)
    assert refused.returncode == 1 and "attempt 1: uid is " in refused.stderr
