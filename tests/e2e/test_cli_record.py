"""The update history as a record: one that another user could have written is refused, a new one
is private, a read-back mismatch ends in the same phase wherever it is told, and a history that
fails midway does not stop an update whose device was erased."""

import io
import json
import os
import re
import sqlite3
from pathlib import Path

import pytest
from rich.console import Console

from orbisk_tools import cli
from orbisk_tools.records import attempts, database
from orbisk_tools.cli import update
from orbisk_tools.report.live import TerminalView
from orbisk_tools.report.output import GuardedOutput
from orbisk_tools.records.history import History
from orbisk_tools.formats.signed_image import pack

from tests.e2e.command_line import address, run

NOBODY = 65534
ADVICE = "give another --history PATH, or --no-history to update without a history"


@pytest.fixture
def image(tmp_path):
    """fw.tbin as the shared fixture makes it, of 2000 bytes here."""
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(2000), 32))
    return path


def as_nobody(path):
    if os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    os.chown(path, NOBODY, NOBODY)


def shared_journal(path):
    """A journal beside the history that anyone may write: SQLite would replay what it holds."""
    journal = Path(f"{path}-journal")
    journal.write_bytes(b"")
    journal.chmod(0o666)


# case -> (what makes the history untrusted, given its path; what the refusal says is wrong)
UNTRUSTED = {
    "a file others can write": (lambda path: path.chmod(0o666),
                                "cannot use the update history {path}: others can write to it, so its rows"),
    "a journal others can write": (shared_journal, "cannot use the update history {path}: others can write to "
                                                   "{path}-journal, so its rows"),
    "a folder others can write": (lambda path: path.parent.chmod(0o777),
                                  "cannot use the folder {folder} for the update history: others can write to it, "
                                  "so the history in it"),
    "a file of another user": (as_nobody, "cannot use the update history {path}: it belongs to another user, "
                                          "so its rows"),
    "a folder of another user": (lambda path: as_nobody(path.parent),
                                 "cannot use the folder {folder} for the update history: it belongs to another "
                                 "user, so the history in it"),
}


@pytest.mark.parametrize("case", UNTRUSTED)
def test_a_history_another_user_could_have_written_is_refused_before_any_device_is_touched(
        emulator, image, tmp_path, case):
    state = tmp_path / "state"  # the history of XDG_STATE_HOME
    path = state / "orbisk" / attempts.FILE_NAME
    with History.open(path) as records:
        records.start_attempt("run-1", "10.0.0.5:5025")
    make_untrusted, problem = UNTRUSTED[case]
    make_untrusted(path)
    recorded = path.read_bytes()
    device = emulator()
    environment = {**os.environ, "XDG_STATE_HOME": str(state), "ORBISK_FPGA_HISTORY": ""}
    for command in (["update", "--address", address(device), image], ["history"]):
        refused = run(*command, env=environment)
        assert (refused.returncode, refused.stderr) == (
            1, f"orbisk-fpga: error: {problem.format(path=path, folder=path.parent)} cannot be trusted; {ADVICE}\n")
    assert device.device.commands == []
    assert path.read_bytes() == recorded


def test_a_new_history_and_its_new_folders_are_private_whatever_the_umask(emulator, image, tmp_path):
    device = emulator()
    path = tmp_path / "site" / "records" / "history.sqlite3"
    result = run("update", "--history", path, "--address", address(device), image, umask=0)
    assert result.returncode == 0, result.stderr
    assert [oct(folder.stat().st_mode & 0o777) for folder in (path.parent.parent, path.parent)] == ["0o700"] * 2
    assert oct(path.stat().st_mode & 0o777) == "0o600"  # and so are SQLite's files beside it, made alike
    with History.open(path) as records:
        assert records.attempts()[0].outcome == "updated"


def terminal(monkeypatch):
    """Makes update draw as on a terminal; returns the rows it draws, once it is done."""
    views = []

    def view_for(output, devices):
        stream = GuardedOutput(io.StringIO())
        views.append(TerminalView(stream, devices, console=Console(file=stream, force_terminal=True, width=160)))
        return views[-1]

    monkeypatch.setattr(update, "view_for", view_for)

    def rows():
        console = Console(file=io.StringIO(), width=160, record=True)
        console.print(views[0].bars.get_renderable())
        return console.export_text().splitlines()

    return rows


def test_a_read_back_mismatch_ends_in_verify_in_the_history_the_json_and_the_live_row(
        emulator, image, tmp_path, private_history, monkeypatch, capsys):
    corrupt, good = emulator(corrupt_read_offset=100), emulator()
    report = tmp_path / "report.json"
    rows = terminal(monkeypatch)
    assert cli.main(["update", "--address", address(corrupt), "--address", address(good), "--json", str(report),
                     str(image)]) == 1
    assert "the read-back differs from the image at byte offset 100" in capsys.readouterr().out  # the summary
    assert corrupt.device.fpga.loaded_image is None
    devices = {device["address"]: device for device in json.loads(report.read_text())["devices"]}
    with History.open(private_history) as records:
        recorded = {row.address: row for row in records.attempts()}
    mismatch = address(corrupt)
    assert (devices[mismatch]["phase"], devices[mismatch]["device_state"]) == ("verify", "erased")
    assert (recorded[mismatch].phase, recorded[mismatch].device_state) == ("verify", "erased")
    assert (devices[address(good)]["phase"], recorded[address(good)].phase) == ("done", "done")
    row = next(row for row in rows() if row.startswith(mismatch))
    assert re.search(r"\sVerifying\s.*\sfailed\s*$", row), row


def disk_full_from(monkeypatch, phase):
    """Every write to the history, from the one that records `phase` on, fails as on a full disk."""
    transaction = database.transaction
    full = []

    def disk_full(connection, kind, work, *arguments):
        if isinstance(arguments[-1], dict) and arguments[-1].get("phase") == phase:
            full.append(phase)
        if full:
            error = sqlite3.OperationalError("database or disk is full")
            error.sqlite_errorcode, error.sqlite_errorname = sqlite3.SQLITE_FULL, "SQLITE_FULL"  # as SQLite sets them
            raise error
        return transaction(connection, kind, work, *arguments)

    monkeypatch.setattr(database, "transaction", disk_full)


def test_a_history_that_fails_after_the_erase_lets_the_update_end_and_then_says_so(
        emulator, image, private_history, monkeypatch, capsys):
    device = emulator()
    disk_full_from(monkeypatch, "write")  # raised from the module's progress callback
    assert cli.main(["update", "--address", address(device), str(image)]) == 1
    out, err = capsys.readouterr()
    assert device.device.fpga.loaded_image is not None
    assert out.splitlines()[-1].startswith("FPGA updated: version 0.2.4.0,")
    assert err == (f"orbisk-fpga: error: cannot write the update history {private_history} (database or disk is "
                   f"full); it does not say how the update of {address(device)} ended: the output above does\n")
    monkeypatch.undo()
    with History.open(private_history) as records:
        row, = records.attempts()
    assert (row.outcome, row.phase, row.device_state) == ("running", "erase", "erased")  # as far as it got


def test_a_history_that_fails_before_the_erase_stops_with_the_device_untouched(
        emulator, image, private_history, monkeypatch, capsys):
    device = emulator()
    disk_full_from(monkeypatch, "erase")
    assert cli.main(["update", "--address", address(device), str(image)]) == 1
    assert capsys.readouterr().err == (f"orbisk-fpga: error: {address(device)}: cannot write the update history "
                                       f"{private_history} (database or disk is full); the device was not changed\n")
    assert "FPGA_ERASE" not in device.device.commands
