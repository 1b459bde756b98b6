"""The emulated device's configuration memory is a flash, and the device can be switched off and
on: the tool's advice about power-cycling a device, held to it."""

import contextlib
import json
import os
import signal
import subprocess
from pathlib import Path

from orbisk.VornFpga import FpgaTool
from orbisk.VornUtils import RetCode
from orbisk_tools.devices.emulator import DeviceEmulator
from orbisk_tools.formats.signed_image import pack

from tests.conftest import UNKNOWN_DEVICE_TYPE

from tests.e2e.command_line import ADVICE, COMMAND, address, run

NO_FPGA_IMAGE = "no FPGA image: update it"


def reported(target):
    """What `status --json` shows of the device at `target`."""
    return json.loads(run("status", "--address", target, "--json").stdout)[0]


def test_a_write_over_an_image_without_an_erase_reads_back_different_and_is_never_loaded(emulator, tmp_path):
    device = emulator()
    held = bytes(device.device.fpga.memory)
    image = os.urandom(64)
    path = tmp_path / "fw.bin"
    path.write_bytes(image)
    with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
        tool.console_progress = False
        result = tool.processFpgaUpdate(str(path), UNKNOWN_DEVICE_TYPE)  # a device type without an erase
        assert result.RetCode is RetCode.ERROR and tool.last_outcome.reason == "readback_mismatch"
        assert device.device.fpga.memory[:64] == bytes(old & new for old, new in zip(held, image))
        assert tool._fpgaDone() == "0" and tool._fpgaRefresh().startswith("ERR")  # a host that loads it regardless
        assert tool._fpgaGetVersion() == "0.2.3.4"  # its previous image, until it restarts ...
    device.power_cycle()
    with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
        assert tool._fpgaGetVersion().startswith("ERR")  # ... and then none


def test_an_update_interrupted_after_the_erase_leaves_no_fpga_image_after_a_power_cycle_until_updated(
        emulator, tmp_path):
    device = emulator(drop_after_blocks=2)
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(1000), 32))
    failed = run("update", "--address", address(device), "--window", 1, path)
    assert failed.returncode == 1 and failed.stderr.endswith(f"; {ADVICE}\n"), failed.stderr
    assert reported(address(device))["reported"]["fpga_version"] == "0.2.3.4"  # as the advice says

    device.power_cycle()
    status = run("status", "--address", address(device))
    assert status.returncode == 1 and NO_FPGA_IMAGE in status.stdout, status.stdout
    shown = reported(address(device))
    assert (shown["reason"], shown["problem"], shown["reported"]["fpga_version"]) == (
        "no_fpga_image", NO_FPGA_IMAGE, None)

    assert run("update", "--address", address(device), path).returncode == 0
    device.power_cycle()
    shown = reported(address(device))
    assert (shown["reason"], shown["reported"]["fpga_version"]) == (None, "0.2.4.0")


def test_a_state_file_keeps_an_erased_device_across_a_restart(tmp_path):
    state = tmp_path / "device.json"
    with DeviceEmulator(port=0, state=str(state)) as device:
        serial = device.device.fpga.serial_number
        with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
            tool._fpgaErase(b"12")
            assert tool._fpgaProgram(b"half an image")
            assert tool._fpgaGetVersion() == "0.2.3.4"
    with DeviceEmulator(port=0, state=str(state)) as device:  # another port, the same device
        assert (device.device.fpga.serial_number, bytes(device.device.fpga.memory)) == (serial, b"half an image")
        with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
            assert tool._fpgaGetVersion().startswith("ERR")


@contextlib.contextmanager
def emulate(*options):
    """`orbisk-fpga emulate -v` in a process of its own; yields (process, the address list it
    wrote). Stopped with Ctrl-C."""
    listed = options[options.index("--list") + 1]
    process = subprocess.Popen([COMMAND, "emulate", "-v", "--port", "0", *map(str, options)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("Device emulator "), line + process.stderr.read()
        yield process, [row.split()[0] for row in Path(listed).read_text().splitlines()[1:]]
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=30)
    assert process.returncode == 0


def test_a_loaded_image_survives_a_power_cycle_and_a_restart_of_a_site_with_its_state(tmp_path):
    state, listed, path = tmp_path / "site", tmp_path / "site.txt", tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(3000), 32))
    with emulate("--devices", 2, "--state", state, "--list", listed) as (process, (first, second)):
        assert run("update", "--address", first, path).returncode == 0
        serials = [reported(target)["reported"]["serial"] for target in (first, second)]
        process.send_signal(signal.SIGUSR1)
        for line in process.stderr:  # until the second device, powered up after the first
            if "powered up: FPGA version 0.2.3.4" in line:
                break
        assert [reported(target)["reported"]["fpga_version"] for target in (first, second)] == ["0.2.4.0", "0.2.3.4"]
    assert sorted(os.listdir(state)) == ["device-1.json", "device-2.json"]

    with emulate("--devices", 2, "--state", state, "--list", listed) as (_, (first, second)):
        shown = [reported(target)["reported"] for target in (first, second)]
        assert [(facts["serial"], facts["fpga_version"]) for facts in shown] == list(zip(serials, ["0.2.4.0",
                                                                                                   "0.2.3.4"]))
        verified = run("verify", "--address", first, "--address", second, path)
    assert verified.returncode == 1
    assert f"{first}: runs the image" in verified.stdout and f"{second}: differs at byte offset" in verified.stdout
