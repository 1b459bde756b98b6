"""One record per device per run: the JSON, the history and the devices agree when a worker dies or
will not stop; the summary's groups say what is true of each device they count; a wave's failures
are counted when it ended."""

import contextlib
import hashlib
import json
import os
import signal
import subprocess

import pytest

from orbisk_tools import UpdateError, update_device
from orbisk_tools.devices import flash
from orbisk_tools.engine.advice import NOT_CHANGED

from tests.e2e.command_line import COMMAND, address, run
from tests.e2e.test_emulator_site import attempts, children, listed, site, wait_for_erases


def emulated_states(folder, count):
    """What each emulated device of a site kept in its state file: "loaded" (the image it was
    given, loaded), "untouched" (the image it had from the start), or "erased"."""
    states = []
    for number in range(1, count + 1):
        saved = flash.read_state(os.path.join(folder, f"device-{number}.json"))
        if saved.loaded is not None and saved.loaded.sha256 == hashlib.sha256(saved.memory).hexdigest():
            states.append("untouched" if saved.memory == flash.device_image() else "loaded")
        else:
            states.append("erased")
    return states


def test_a_worker_killed_mid_write_leaves_json_history_and_devices_agreeing(tmp_path, private_history):
    addresses, results, image, faults = (tmp_path / name for name in ("site.txt", "out.json", "fw.bin", "faults"))
    image.write_bytes(os.urandom(16384))
    faults.write_text("every 8 --refuse-block 3 --refuse-times 0\n")
    state = tmp_path / "state"
    with site("--devices", 32, "--port", 0, "--list", addresses, "--write-rate", 8000, "--faults-file", faults,
              "--state", state, verbose=True) as (emulator, _):
        update = subprocess.Popen([COMMAND, "update", "--addresses", addresses, "--jobs", "16", "--window", "1",
                                   "--json", results, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_for_erases(emulator, 16)  # the first 16 are being written to
        killed, _ = children(update.pid)
        os.kill(killed, signal.SIGKILL)
        update.communicate(timeout=120)
    assert update.returncode == 1
    devices = json.loads(results.read_text())["devices"]
    lost = [row for row in devices if row["reason"] == "worker_ended"]
    assert lost and all(row["serial"] and row["phase"] in ("erase", "write") and row["device_state"] == "erased"
                        and row["details"] == {"pid": killed, "killed": False} for row in lost)
    rows = {row.address: row for row in attempts(private_history)}
    assert [(rows[row["address"]].outcome, rows[row["address"]].reason, rows[row["address"]].device_state,
             rows[row["address"]].phase) for row in devices] == [
        (row["result"], row["reason"], row["device_state"], row["phase"]) for row in devices]
    shown = {row["address"]: row["device_state"] for row in devices}
    assert [shown[address] for address, _ in listed(addresses)] == emulated_states(state, 32)


def test_a_stopped_worker_is_killed_after_a_second_ctrl_c_and_its_devices_keep_their_state(tmp_path,
                                                                                             private_history):
    addresses, results, image = tmp_path / "site.txt", tmp_path / "out.json", tmp_path / "fw.bin"
    image.write_bytes(os.urandom(16384))
    with site("--devices", 16, "--port", 0, "--list", addresses, "--write-rate", 4000, verbose=True) as (emulator, _):
        update = subprocess.Popen([COMMAND, "update", "--addresses", addresses, "--jobs", "16", "--window", "1",
                                   "--json", results, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_for_erases(emulator, 16)
        stopped, running = children(update.pid)
        os.kill(stopped, signal.SIGSTOP)
        try:
            update.send_signal(signal.SIGINT)
            while "Interrupted" not in update.stdout.readline():  # the second press is one of its own
                pass
            update.send_signal(signal.SIGINT)
            update.communicate(timeout=60)  # before, it ended only once the worker went on
        finally:
            with contextlib.suppress(ProcessLookupError):  # killed, as it should be
                os.kill(stopped, signal.SIGCONT)
    assert update.returncode == 130
    devices = json.loads(results.read_text())["devices"]
    killed = [row for row in devices if row["reason"] == "worker_ended"]
    assert killed and all(row["details"] == {"pid": stopped, "killed": True} and row["device_state"] == "erased"
                          and "did not stop, and was killed" in row["message"] for row in killed)
    assert all(row["result"] == "interrupted" for row in devices if row not in killed)


def test_failures_are_grouped_by_what_to_do_and_the_erased_never_under_not_changed(tmp_path):
    addresses, faults, image = tmp_path / "site.txt", tmp_path / "faults", tmp_path / "fw.bin"
    faults.write_text("1 --silent-after 0\n2 --silent-after 40\n")  # a time-out in the probe; one mid-write
    image.write_bytes(os.urandom(4000))
    with site("--devices", 21, "--port", 0, "--list", addresses, "--faults-file", faults):
        update = subprocess.run([COMMAND, "update", "--addresses", addresses, "--jobs", "21", "--timeout", "0.5",
                                 "--window", "1", image], capture_output=True, text=True, timeout=120)
    assert update.returncode == 1
    groups = update.stdout.partition("FPGA update summary")[2].split("Each device")[0]
    assert f" 1  failed, timeout: {NOT_CHANGED}" in groups
    assert "1 failed, timeout: the device could not be asked what it runs" in " ".join(groups.split())


def test_devices_held_back_by_a_wave_count_its_failures_once_it_ended(emulator, image):
    quick, slow, good, held = emulator(), emulator(refuse_block=40, refuse_times=None, write_rate=20000), emulator(), \
        emulator()
    quick.stop()  # nothing listens there any more: it fails at once
    result = run("update", *(f"--address={address(device)}" for device in (quick, slow, good, held)), "--waves",
                 "3,100%", "--window", 1, "--json", "-", image)
    devices = json.loads(result.stdout)["devices"]
    assert [device["result"] for device in devices] == ["failed", "failed", "updated", "not started"]
    assert "2 of the 3 devices of wave 1" in devices[3]["message"]


def test_a_callback_error_whose_text_cannot_be_made_ends_the_update_truthfully(emulator, image):
    class Unsayable(Exception):
        def __str__(self):
            raise ValueError("no text")

    def progress(address, stage, current, total):
        if stage == "write" and current:
            raise Unsayable()

    device = emulator()
    with pytest.raises(UpdateError) as raised:
        update_device(address(device), image, progress=progress)
    outcome = raised.value.outcome
    assert (outcome.reason, outcome.phase, outcome.device_state) == ("callback_error", "write", "erased")
    assert "<exception str() failed>" in outcome.message and isinstance(raised.value.__cause__, Unsayable)
