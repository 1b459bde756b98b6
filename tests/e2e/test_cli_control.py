"""orbisk-fpga under control: Ctrl-C before the erase, SIGTERM, --retry-failed after a dry run, an
update history that others may write, and Ctrl-C during verify and status."""

import json
import os
import signal
import sqlite3
import threading

import pytest

from orbisk_tools import cli
from orbisk_tools.formats import protocol

from tests.e2e.command_line import address, run, start


def image_file(tmp_path, size):
    path = tmp_path / "fw.bin"
    path.write_bytes(os.urandom(size))
    return path


def hold_query(device, word):
    """Holds the emulated device's answer to the query `word` until `release` is set."""
    reached, release = threading.Event(), threading.Event()
    answer = device.device.fpga_command

    def held(command, argument):
        if command == word and not release.is_set():
            reached.set()
            release.wait(60)
        return answer(command, argument)

    device.device.fpga_command = held
    return reached, release


def test_ctrl_c_while_reading_what_the_device_reports_sends_no_erase(emulator, tmp_path):
    device = emulator()
    reached, release = hold_query(device, protocol.FPGA_GET_ID)
    process = start("update", "--no-history", "--address", address(device), image_file(tmp_path, 1000))
    try:
        assert reached.wait(30)
        process.send_signal(signal.SIGINT)
        for line in process.stdout:
            if "Interrupted" in line:
                break
    finally:
        release.set()
    _, errors = process.communicate(timeout=60)
    assert process.returncode == 130
    assert protocol.FPGA_ERASE not in device.device.commands
    assert "the device was not changed" in errors


def test_sigterm_mid_write_is_recorded_as_an_interrupt(emulator, tmp_path, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 50)
    history = tmp_path / "state" / "history.sqlite3"
    process = start("update", "--history", history, "--window", 1, "--address", address(device),
                    image_file(tmp_path, 4000))
    try:
        assert reached.wait(30)
        process.send_signal(signal.SIGTERM)
        for line in process.stdout:
            if "Interrupted" in line:
                break
    finally:
        release.set()
    process.communicate(timeout=60)
    assert process.returncode == 143
    with sqlite3.connect(history) as db:
        outcome, written = db.execute("SELECT outcome, bytes_written FROM attempts").fetchone()
    assert outcome == "interrupted" and written > 0


def test_a_retry_after_a_dry_run_retries_the_device_that_failed(emulator, tmp_path):
    device = emulator(refuse_block=0, refuse_times=None)
    history, image = tmp_path / "state" / "history.sqlite3", image_file(tmp_path, 1000)
    assert run("update", "--history", history, "--address", address(device), image).returncode == 1
    device.device.faults.refuse_block = None  # the device is mended
    assert run("update", "--history", history, "--dry-run", "--address", address(device), image).returncode == 0
    retry = run("update", "--history", history, "--retry-failed", image)
    assert retry.returncode == 0, retry.stderr
    assert "Retrying the devices that did not succeed in run " in retry.stderr
    assert device.device.fpga.loaded_image == image.read_bytes()


def test_a_second_ctrl_c_stops_waiting_for_an_erase(emulator, tmp_path):
    device = emulator(erase_seconds=120)
    results = tmp_path / "results.json"
    process = start("update", "--no-history", "--json", results, "--erase-timeout", 300, "--address",
                    address(device), image_file(tmp_path, 1000))
    erasing = ""
    for _ in range(600):  # until the erase is sent
        if protocol.FPGA_ERASE in device.device.commands:
            break
        threading.Event().wait(0.05)
    process.send_signal(signal.SIGINT)
    for line in process.stdout:
        if "press Ctrl-C again" in line:
            erasing = line
            break
    process.send_signal(signal.SIGINT)
    output, errors = process.communicate(timeout=60)  # not the erase's 120 s
    assert process.returncode == 130
    assert "may take up to" in erasing
    assert "stopped waiting for the erase; the device is left erased" in output + errors
    (row,) = json.loads(results.read_text())["devices"]
    assert (row["result"], row["device_state"], row["phase"]) == ("interrupted", "erased", "erase"), json.dumps(row)


@pytest.fixture
def interrupt_at():
    """interrupt_at(device, word): when the emulated device is asked `word`, Ctrl-C reaches this
    process's main thread; the device answers once it was handled."""
    handled = threading.Event()

    def ctrl_c(signum, frame):
        handled.set()
        raise KeyboardInterrupt

    def arm(device, word):
        answer = device.device.fpga_command

        def held(command, argument):
            if command == word and not handled.is_set():
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
                assert handled.wait(30)
            return answer(command, argument)

        device.device.fpga_command = held

    previous = signal.signal(signal.SIGINT, ctrl_c)
    yield arm
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("command, word", [("verify", protocol.FPGA_RST_PAGE_PTR), ("status", protocol.GET_SN)])
def test_ctrl_c_stops_verify_and_status_after_the_current_exchange(emulator, tmp_path, interrupt_at, capsys,
                                                                   command, word):
    first, second = emulator(), emulator()
    interrupt_at(first, word)
    image = image_file(tmp_path, 64 * 1024)
    arguments = {"verify": ["--window", 1, image], "status": ["--history", tmp_path / "none.sqlite3"]}[command]
    status = cli.main([command, "--jobs", "1", "--address", address(first), "--address", address(second),
                       *map(str, arguments)])
    out, err = capsys.readouterr()
    assert (status, out, err) == (130, "", "orbisk-fpga: interrupted\n")
    assert first.device.commands.count(protocol.FPGA_READ) <= 1  # of 4096 pages: it stopped after the first
    assert second.device.commands == []  # the device after it was not begun
