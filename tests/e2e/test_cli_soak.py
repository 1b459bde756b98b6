"""The soak between the waves of a rollout (update --soak), through orbisk-fpga and the engine: a
device that no longer runs the image when its wave's soak is over fails and holds the waves after
it, and Ctrl-C during a soak touches no device."""

import json
import signal

import pytest

from orbisk_tools import Reason, Result, update_site
from orbisk_tools.records.history import History

from tests.e2e.command_line import READS_BACK, address, run, start


def wait_for(process, text):
    """The lines of `process`'s standard output up to the one that holds `text`."""
    lines = []
    while text not in (line := process.stdout.readline()):
        assert line, f"{text!r} never came: {lines}"
        lines.append(line)
    return lines + [line]


def test_a_device_that_restarts_without_its_image_during_the_soak_holds_the_next_wave(tmp_path, emulator, image):
    first, second, third = emulator(), emulator(), emulator()
    history = tmp_path / "history.db"
    update = start("update", "--address", address(first), "--address", address(second), "--address", address(third),
                   "--waves", "1,100%", "--soak", "3s", "--history", history, "--json", tmp_path / "result.json",
                   "--yes", image)
    wait_for(update, "Wave 1 ended: soaking its 1 device for 3s")
    first.faults.no_image_at_power_up = True
    first.power_cycle()
    asked_after = len(first.device.commands)
    out, err = update.communicate(timeout=60)
    assert update.returncode == 1, err
    devices = json.loads((tmp_path / "result.json").read_text())["devices"]
    assert [device["result"] for device in devices] == ["failed", "not started", "not started"]
    soaked, held, _ = devices
    assert soaked["reason"] == Reason.SOAK_FAILED
    assert soaked["message"].startswith("the check after its wave's soak (3s) found that its FPGA runs no image; ")
    assert {device["message"] for device in devices[1:]} == {
        "not started: the device of wave 1 (device 1, --waves 1,100%) did not succeed in the check after its soak; "
        "the device was not changed"}
    assert held["details"] == {"held_by": "soak", "wave": 1}
    # the check only asked and read back; the devices held were never contacted
    assert set(first.device.commands[asked_after:]) <= READS_BACK
    assert len(second.device.commands) == len(third.device.commands) == 0
    with History.open(str(history)) as records:
        row, = records.attempts(address=address(first), limit=1)
    assert (row.outcome, row.reason) == ("failed", "soak_failed")
    assert row.soak.startswith("does not run the image 3s after its wave ended: its FPGA runs no image")


def test_ctrl_c_during_a_soak_touches_no_device_and_starts_no_other_wave(tmp_path, emulator, image):
    first, second = emulator(), emulator()
    update = start("update", "--address", address(first), "--address", address(second), "--canary", 1, "--soak",
                   "10m", "--history", tmp_path / "history.db", "--json", tmp_path / "result.json", "--yes", image)
    wait_for(update, "Wave 1 ended: soaking its 1 device for 10m")
    asked_before = len(first.device.commands)
    update.send_signal(signal.SIGINT)
    out, err = update.communicate(timeout=60)
    assert update.returncode == 130, err
    assert len(first.device.commands) == asked_before
    assert len(second.device.commands) == 0
    devices = json.loads((tmp_path / "result.json").read_text())["devices"]
    assert [device["result"] for device in devices] == ["updated", "not started"]
    assert devices[0]["soak"] == "not checked: the soak of wave 1 was interrupted"


def test_the_engine_soaks_between_waves_and_refuses_a_soak_without_waves(tmp_path, emulator, image):
    first, second = emulator(), emulator()
    site = update_site([address(first), address(second)], image, waves=[1, "100%"], soak=0.5,
                       history=tmp_path / "history.db")
    assert [device.result for device in site.devices] == [Result.UPDATED, Result.UPDATED]
    assert [device.soak.split(":")[0] for device in site.devices] == ["runs the image", "runs the image"]
    with pytest.raises(ValueError, match="soak needs waves or canary"):
        update_site([address(first)], image, soak=1)

    asked = len(first.device.commands)
    refused = run("update", "--address", address(first), "--soak", "5m", image)
    assert refused.returncode == 2
    assert refused.stderr == ("orbisk-fpga update: error: --soak needs --waves or --canary: each wave soaks before "
                              "the next one starts; see orbisk-fpga update --help\n")
    # without a history, only an image's header can confirm that a device runs it
    unconfirmed = run("update", "--address", address(first), "--canary", 1, "--soak", "5m", "--no-history", image)
    assert (unconfirmed.returncode, unconfirmed.stderr) == (
        1, f"orbisk-fpga: error: a soak cannot confirm that a device runs {image}: its header names no FPGA version, "
           "and no update history is read; give --history PATH|URL\n")
    assert len(first.device.commands) == asked
