"""A site's state through orbisk-fpga: the update history that update records (updated, failed,
interrupted, killed, skipped), status and history, dry runs, the rollout controls, and the
version the device reports after loading."""

import json
import os
import signal
import subprocess
import sys

import pytest

from orbisk_tools.records.history import UNFINISHED, History
from orbisk_tools.formats.signed_image import pack

from tests.e2e.command_line import READ_ONLY, READS_BACK, address, run, start

CHANGES = {"FPGA_CTRL_INIT", "FPGA_CFG_MODE", "FPGA_ERASE", "FPGA_RST_PAGE_PTR", "FPGA_PROGRAM", "FPGA_DONE",
           "FPGA_REFRESH"}


@pytest.fixture
def attempts(private_history):
    """attempts(**filters): the recorded attempts, oldest first, as (address, outcome, phase,
    device state, reason) and the rows themselves."""

    def read(**filters):
        with History.open(private_history) as history:
            return list(reversed(history.attempts(**filters)))

    return read


def summary(rows):
    return [(row.address, row.outcome, row.phase, row.device_state, row.reason) for row in rows]


def test_each_attempt_is_recorded_with_what_the_device_reported_and_a_loaded_image_is_skipped_after(
        emulator, image, attempts):
    good, refusing = emulator(), emulator(refuse_block=0, refuse_times=None)
    first = run("update", "--address", address(good), "--address", address(refusing), image)
    assert first.returncode == 1, first.stderr
    rows = sorted(attempts(), key=lambda row: row.address != address(good))  # started at once, in any order
    assert summary(rows) == [(address(good), "updated", "done", "loaded", None),
                             (address(refusing), "failed", "write", "erased", "block_refused")]
    updated, failed = rows
    assert (updated.serial, updated.fpga_id, updated.fpga_version_before, updated.fpga_version_after,
            updated.control_fw_version_before, updated.control_fw_version_after) == \
        (good.device.fpga.serial_number, "0x0362D093", "0.2.3.4", "0.2.4.0", "0.1.0.6", "0.1.0.6")
    assert updated.serial != failed.serial  # every emulator is a device of its own
    assert updated.run_id == failed.run_id and updated.bytes_written == 1000
    assert updated.image_size == image.stat().st_size
    assert failed.message.startswith("the device refused the block at byte offset 0 10 times")

    commands_before = len(good.device.commands)
    again = run("update", "--address", address(good), "--json", "-", image)
    assert again.returncode == 0, again.stderr
    assert set(good.device.commands[commands_before:]) <= READS_BACK
    device, = json.loads(again.stdout)["devices"]
    assert (device["result"], device["fpga_version_before"], device["fpga_version"]) == ("skipped", "0.2.4.0",
                                                                                          "0.2.4.0")
    assert device["message"].endswith("--force updates it anyway")

    forced = run("update", "--address", address(good), "--force", image)
    assert forced.returncode == 0, forced.stderr
    assert [row.outcome for row in attempts(address=address(good))] == ["updated", "skipped", "updated"]

    good.device.fpga.fpga_version = "0.0.0.1"  # no longer what the last update left: its memory is loaded
    commands_before = len(good.device.commands)
    assert run("update", "--address", address(good), image).returncode == 0
    assert (attempts(address=address(good))[-1].outcome, attempts(address=address(good))[-1].device_state) == (
        "loaded", "loaded")
    assert set(good.device.commands[commands_before:]) == READS_BACK - {"GET_FE_INFO"} | {"FPGA_DONE", "FPGA_REFRESH"}
    assert good.device.fpga.fpga_version == "0.2.4.0"


def test_an_interrupted_and_a_killed_update_leave_rows_that_status_and_history_flag(emulator, image, attempts, hold_at_block):
    interrupted, killed = emulator(), emulator()
    for device, stop in ((interrupted, signal.SIGINT), (killed, signal.SIGKILL)):
        reached, release = hold_at_block(device, 20)
        process = start("update", "--address", address(device), image)
        try:
            assert reached.wait(30)
            process.send_signal(stop)
        finally:
            release.set()
            process.communicate(timeout=60)
        assert process.returncode == (130 if stop == signal.SIGINT else -signal.SIGKILL)
    rows = attempts()
    stopped, running = summary(rows)
    # The interrupt stops the update at its next exchange: the rest of the write's window, or the
    # read-back's first, as the replies in flight come in.
    assert stopped[2] in ("write", "verify") and stopped[:2] + stopped[3:] == (
        address(interrupted), "interrupted", "erased", "interrupted")
    assert running == (address(killed), "running", "write", "erased", None)

    shown = json.loads(run("history", "--json").stdout)
    assert [(row["address"], row["shown_outcome"]) for row in shown] == [(address(killed), "ended unrecorded"),
                                                                        (address(interrupted), "interrupted")]

    logs = [len(device.device.commands) for device in (interrupted, killed)]
    status = run("status", "--address", address(interrupted), "--address", address(killed))
    assert status.returncode == 1, status.stderr
    assert all(line == line.rstrip() for line in status.stdout.splitlines())  # no padding to the width in a file
    for device, log, row in zip((interrupted, killed), logs, rows):
        assert f"{address(device)}: {UNFINISHED.format(time=row.started)}\n" in status.stdout
        assert set(device.device.commands[log:]) == READ_ONLY - {"GET_FE_INFO"}
    assert "unfinished update since" in UNFINISHED and "before power-cycling it" in UNFINISHED
    killed_status = json.loads(run("status", "--address", address(killed), "--json").stdout)
    assert killed_status[0]["last_outcome"] == "ended unrecorded"  # not "running": its process is gone

    assert run("update", "--address", address(killed), image).returncode == 0
    status = run("status", "--address", address(killed), "--json")
    assert status.returncode == 0, status.stdout
    device, = json.loads(status.stdout)
    assert (device["unfinished"], device["reported"]["fpga_version"], device["last_attempt"]["outcome"]) == \
        ("", "0.2.4.0", "updated")


def test_a_dry_run_identifies_the_devices_and_changes_nothing(emulator, image, attempts):
    first, second = emulator(), emulator()
    result = run("update", "--dry-run", "--address", address(first), "--address", address(second), "--json", "-",
                 image)
    assert result.returncode == 0, result.stderr
    for device in (first, second):
        assert set(device.device.commands) == READ_ONLY - {"GET_FE_INFO"}
    devices = json.loads(result.stdout)["devices"]
    assert [(d["result"], d["serial"], d["fpga_version_before"]) for d in devices] == \
        [("dry run", device.device.fpga.serial_number, "0.2.3.4") for device in (first, second)]
    assert f"would write and load fw.tbin ({image.stat().st_size} bytes)" in devices[0]["message"]
    assert [row.outcome for row in attempts()] == ["dry run", "dry run"]


def test_retry_failed_updates_only_what_did_not_succeed_in_a_run_or_a_result_file(emulator, image, tmp_path,
                                                                                  attempts):
    good, flaky = emulator(), emulator(refuse_block=0, refuse_times=10)  # fails once, then takes the block
    report = tmp_path / "report.json"
    assert run("update", "--address", address(good), "--address", address(flaky), "--window", 1, "--json", report,
               image).returncode == 1
    failed_run = attempts()[-1].run_id
    run("update", "--force", "--address", address(good), image)  # a later run in which all succeeded

    assert run("update", "--retry-failed", image).stdout == "No device to retry: every device of that run succeeded\n"
    from_file = run("update", "--retry-failed-in", report, "--dry-run", image)
    assert from_file.returncode == 0, from_file.stderr
    assert attempts()[-1].address == address(flaky) and attempts()[-1].outcome == "dry run"

    only_good = run("update", "--address", address(good), "--retry-failed-in", failed_run, image)
    assert only_good.stdout == "No device to retry: every device named succeeded in that run\n"
    commands = len(good.device.commands)
    retried = run("update", "--retry-failed-in", failed_run, image)
    assert retried.returncode == 0, retried.stderr
    assert len(good.device.commands) == commands
    assert attempts()[-1].address == address(flaky) and attempts()[-1].outcome == "updated"

    unknown = run("update", "--retry-failed-in", "no-such-run", image)
    assert unknown.returncode == 1 and "records no run no-such-run" in unknown.stderr


@pytest.mark.parametrize("control, expected", [
    (["--max-failures", "1"], ["failed", "not started", "not started"]),
    (["--canary", "1"], ["failed", "not started", "not started"]),
    (["--canary", "2"], ["failed", "updated", "not started"]),
])
def test_max_failures_and_canary_stop_before_a_fault_spreads(emulator, image, attempts, control, expected):
    devices = [emulator(refuse_block=0, refuse_times=None), emulator(), emulator()]
    args = [item for device in devices for item in ("--address", address(device))]
    result = run("update", *control, "--jobs", "1", "--json", "-", *args, image)
    assert result.returncode == 1
    assert [d["result"] for d in json.loads(result.stdout)["devices"]] == expected
    for device, outcome in zip(devices, expected):
        if outcome == "not started":
            assert device.device.commands == []
    progress = [line.split(" ", 1)[1] for line in result.stderr.splitlines() if line.startswith("20")]
    assert f"{address(devices[2])}  not started: " in "\n".join(progress)  # its progress line says it once
    assert "not started: not started" not in result.stderr
    assert [row.outcome for row in attempts()] == expected  # the history says what the JSON says
    assert {row.device_state for row, outcome in zip(attempts(), expected) if outcome == "not started"} == {"untouched"}


def test_canary_that_succeeds_lets_the_rest_go(emulator, image):
    devices = [emulator() for _ in range(3)]
    args = [item for device in devices for item in ("--address", address(device))]
    result = run("update", "--canary", "1", *args, image)
    assert result.returncode == 0, result.stderr
    assert all(device.device.fpga.loaded_image for device in devices)


def test_two_processes_recording_at_once_lose_nothing(emulator, image, attempts):
    sites = [[emulator() for _ in range(3)] for _ in range(2)]
    processes = [start("update", *[item for device in site for item in ("--address", address(device))], image)
                 for site in sites]
    for process in processes:
        process.communicate(timeout=120)
        assert process.returncode == 0
    rows = attempts()
    assert sorted(row.address for row in rows) == sorted(address(device) for site in sites for device in site)
    assert {row.outcome for row in rows} == {"updated"} and len({row.run_id for row in rows}) == 2


def test_a_history_that_cannot_be_opened_refuses_the_run_before_any_device_is_touched(emulator, image, tmp_path,
                                                                                    private_history):
    device = emulator()
    nothing = run("history")  # reading makes no history
    assert (nothing.returncode, nothing.stderr) == (1, f"orbisk-fpga: error: no update history at {private_history}: "
                                                       "nothing was recorded there yet\n")
    assert not private_history.exists()
    not_a_history = tmp_path / "notes.sqlite3"
    not_a_history.write_text("the user's notes\n")
    result = run("update", "--history", not_a_history, "--address", address(device), image)
    assert result.returncode == 1
    assert result.stderr == (f"orbisk-fpga: error: {not_a_history} is not an update history (not an SQLite "
                             "database); give another --history PATH, or --no-history to update without a history\n")
    assert device.device.commands == [] and not_a_history.read_text() == "the user's notes\n"

    blocked = dict(os.environ, ORBISK_FPGA_HISTORY=str(not_a_history / "history.sqlite3"))
    assert run("update", "--address", address(device), image, env=blocked).returncode == 1
    assert device.device.commands == []
    assert run("update", "--no-history", "--address", address(device), image, env=blocked).returncode == 0
    assert device.device.fpga.loaded_image


def test_a_device_that_reports_another_version_than_the_image_header_fails(emulator, tmp_path, attempts):
    from orbisk_tools.cli.emulate import header_version
    from orbisk_tools.devices.emulator import DeviceEmulator

    image = tmp_path / "fw.tbin"
    image.write_bytes(pack(os.urandom(500), 32, {"version": "1.4.0.0"}))
    wrong = emulator()  # reports 0.2.4.0 after any image
    result = run("update", "--address", address(wrong), image)
    assert result.returncode == 1
    assert result.stderr == (f"orbisk-fpga: error: {address(wrong)}: the device loaded the image but reports "
                             "version 0.2.4.0, not 1.4.0.0; check the image\n")
    row, = attempts()
    assert (row.outcome, row.reason, row.device_state, row.fpga_version_after) == \
        ("failed", "version_mismatch", "written", "0.2.4.0")

    with DeviceEmulator(port=0, image_versions=dict([header_version(image)])) as right:
        result = run("update", "--address", address(right), image)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines()[-1].startswith("FPGA updated: version 1.4.0.0,")

    raw = tmp_path / "fw.bin"
    raw.write_bytes(b"raw")
    refused = subprocess.run([sys.executable, "-m", "orbisk_tools", "emulate", "--header-version-of", str(raw)],
                             capture_output=True, text=True, timeout=60)
    assert refused.returncode == 2
    assert f"{raw} is not a signed image whose header names a version" in refused.stderr


def test_a_device_changed_outside_this_history_is_updated_and_verify_and_status_read_it_back(emulator, image, tmp_path):
    device = emulator()
    assert run("update", "--address", address(device), image).returncode == 0
    other = tmp_path / "other.tbin"
    other.write_bytes(pack(os.urandom(1000), 32))
    assert run("update", "--no-history", "--address", address(device), other).returncode == 0
    verified = run("verify", "--address", address(device), "--json", "-", image)
    assert verified.returncode == 1 and "differs at byte offset" in verified.stdout
    before = len(device.device.commands)
    again = run("update", "--address", address(device), image)  # the history proposes a skip; the device says no
    assert again.returncode == 0 and "FPGA updated" in again.stdout, again.stderr
    before = len(device.device.commands)
    held = run("verify", "--address", address(device), image)
    assert held.returncode == 0 and f"{address(device)}: runs the image" in held.stdout
    assert not set(device.device.commands[before:]) & (CHANGES - {"FPGA_RST_PAGE_PTR"})
    status = run("status", "--address", address(device), "--json", "--image", other)
    assert status.returncode == 1 and json.loads(status.stdout)[0]["image"].startswith("differs at byte offset")
    skipped = run("update", "--address", address(device), image)
    assert "already runs this image (its memory read back and verified" in skipped.stdout


def test_verify_an_erased_device_says_it_differs_and_changes_nothing(emulator, image):
    device = emulator(refuse_block=3, refuse_times=1000)
    failed = run("update", "--window", 1, "--address", address(device), image)
    assert failed.returncode == 1 and "refused the block" in failed.stderr
    before = len(device.device.commands)
    verified = run("verify", "--address", address(device), "--json", "-", image)
    (row,) = json.loads(verified.stdout)["devices"]
    assert verified.returncode == 1 and (row["holds"], row["verdict"]) == (False, "differs at byte offset 48")
    assert not set(device.device.commands[before:]) & (CHANGES - {"FPGA_RST_PAGE_PTR"})
