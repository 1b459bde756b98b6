"""What a device runs, beside what its configuration memory holds: verify, status --image, a
memory loaded without rewriting, a load never confirmed, a restart mid-write, Ctrl-C before the
erase, and an endless page reply with commands in flight."""

import json
import signal
import threading

import pytest

from orbisk_tools import UpdateError, update_device
from orbisk_tools.engine.advice import RESTARTED
from orbisk_tools.engine.outcomes import DeviceState, Result
from tests.e2e.command_line import READS_BACK, address, run, start

CHANGES = {"FPGA_ERASE", "FPGA_PROGRAM", "FPGA_DONE", "FPGA_REFRESH"}


def test_a_read_back_interrupted_leaves_a_memory_that_verify_never_calls_running_and_update_loads(
        emulator, image, tmp_path):
    device, history = emulator(), tmp_path / "history.sqlite3"
    cancel = threading.Event()

    def progress(address, stage, current, total):
        if stage == "verify" and total and current >= total * 3 // 4:
            cancel.set()

    with pytest.raises(UpdateError) as raised:
        update_device(address(device), image, history=history, cancel=cancel, progress=progress, window=1)
    assert (raised.value.outcome.result, raised.value.outcome.device_state) == (Result.INTERRUPTED,
                                                                                DeviceState.ERASED)
    assert device.device.fpga.fpga_version == "0.2.3.4"  # it runs its previous image; the memory holds the new

    for power_cycled in (False, True):
        if power_cycled:
            device.power_cycle()
        verified = run("verify", "--history", history, "--address", address(device), "--json", "-", image)
        (row,) = json.loads(verified.stdout)["devices"]
        assert verified.returncode == 1
        assert (row["holds"], row["runs"], row["result"]) == (True, False, "not loaded")
        assert row["fpga_runs"] == ("none" if power_cycled else "other")
        status = run("status", "--history", history, "--address", address(device), "--image", image, "--json")
        (shown,) = json.loads(status.stdout)
        assert status.returncode == 1 and shown["image"].startswith("holds, not loaded: ")
        assert shown["unfinished"].startswith("unfinished update since")

    before = len(device.device.commands)
    loaded = run("update", "--history", history, "--address", address(device), "--json", "-", image)
    assert loaded.returncode == 0, loaded.stderr
    (row,) = json.loads(loaded.stdout)["devices"]
    assert (row["result"], row["device_state"], row["runs"], row["fpga_version"]) == ("loaded", "loaded", "image",
                                                                                      "0.2.4.0")
    assert row["message"].startswith("loaded without rewriting")
    sent = device.device.commands[before:]
    assert {"FPGA_DONE", "FPGA_REFRESH"} <= set(sent) <= READS_BACK | {"FPGA_DONE", "FPGA_REFRESH"}
    device.power_cycle()
    verified = run("verify", "--history", history, "--address", address(device), image)
    assert verified.returncode == 0 and "1 of 1 devices run" in verified.stdout, verified.stdout


def test_a_load_never_answered_is_not_recorded_as_loaded_and_status_warns(emulator, image, tmp_path):
    device, history = emulator(endless_reply="FPGA_REFRESH"), tmp_path / "history.sqlite3"
    result = run("update", "--history", history, "--address", address(device), "--json", "-", image)
    (row,) = json.loads(result.stdout)["devices"]
    assert result.returncode == 1
    assert (row["reason"], row["phase"], row["device_state"]) == ("reply_too_long", "load", "written")
    status = run("status", "--history", history, "--address", address(device))
    assert status.returncode == 1 and "its load was not confirmed" in status.stdout
    device.faults.endless_reply = None
    device.power_cycle()
    loaded = run("update", "--history", history, "--address", address(device), image)
    assert loaded.returncode == 0 and "loaded without rewriting" in loaded.stdout, loaded.stderr


def test_a_device_that_restarted_mid_write_is_said_to_run_no_image(emulator, image, hold_at_block, tmp_path):
    device, report = emulator(), tmp_path / "report.json"
    reached, _ = hold_at_block(device, 20, others_wait=False)
    process = start("update", "--window", 1, "--address", address(device), "--json", report, image)
    assert reached.wait(30)
    device.power_cycle()
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 1
    assert stderr.strip().endswith(RESTARTED), stderr
    (row,) = json.loads(report.read_text())["devices"]
    assert (row["device_state"], row["runs"]) == ("erased", "none")


def test_ctrl_c_before_the_erase_is_not_started(emulator, image, tmp_path):
    device, report = emulator(), tmp_path / "report.json"
    asked, answer = threading.Event(), threading.Event()
    command = device.device.fpga_command

    def slow_serial(word, argument):
        if word == "GET_SN":
            asked.set()
            answer.wait(30)
        return command(word, argument)

    device.device.fpga_command = slow_serial
    process = start("update", "--address", address(device), "--json", report, image)
    try:
        assert asked.wait(30)
        process.send_signal(signal.SIGINT)
        while "Interrupted" not in process.stdout.readline():  # the interrupt was taken
            pass
    finally:
        answer.set()
    process.communicate(timeout=60)
    assert process.returncode == 130
    (row,) = json.loads(report.read_text())["devices"]
    assert (row["result"], row["reason"], row["device_state"]) == ("not started", "not_started", "untouched")
    assert not CHANGES & set(device.device.commands)


def test_an_endless_page_reply_with_commands_in_flight_fails_the_update(emulator, image, tmp_path):
    device = emulator(endless_reply="FPGA_READ")
    result = run("update", "--window", 64, "--address", address(device), "--json", "-", image)
    (row,) = json.loads(result.stdout)["devices"]
    assert result.returncode == 1
    # A page reply is a data frame: one that starts otherwise is no page, however long it goes on.
    assert (row["reason"], row["phase"], row["device_state"]) == ("readback_not_data", "verify", "erased")
    assert device.device.fpga.loaded_image is None and device.device.commands.count("FPGA_READ") <= 64
