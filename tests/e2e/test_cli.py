"""The orbisk-fpga command line, run as a user runs it."""

import functools
import hashlib
import os
import re
import subprocess
import sys

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.formats.signed_image import pack

from tests.e2e import command_line
from tests.e2e.command_line import ADVICE
from tests.conftest import UNKNOWN_DEVICE_TYPE

run = functools.partial(command_line.run, timeout=60)


def free_port():
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


@pytest.mark.cryptography  # the demo signs its sample image
def test_demo_updates_the_emulated_device():
    result = run("demo")
    assert result.returncode == 0, result.stderr
    assert "FPGA updated: version 0.2.4.0" in result.stdout
    assert "5. The device now runs exactly the image" in result.stdout
    assert result.stderr == ""


def test_update_against_the_emulator(emulator, tmp_path):
    device = emulator()
    image = os.urandom(300)
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(image, 32))
    result = run("update", "--address", f"{device.host}:{device.port}", path, "-v")
    assert result.returncode == 0, result.stderr
    summary = result.stdout.splitlines()[-1]
    assert summary.startswith("FPGA updated: version 0.2.4.0, 300 bytes written in ")
    assert device.device.fpga.loaded_image == image
    assert f"INFO {device.host}:{device.port}: Verify Success" in result.stderr.splitlines()  # -v after the command


def test_image_is_checked_before_connecting_and_connection_failures_say_why(emulator, tmp_path):
    port = free_port()
    good, missing = tmp_path / "fw.bin", tmp_path / "missing.bin"
    good.write_bytes(b"image")
    checked = run("update", "--address", f"127.0.0.1:{port}", missing)
    refused = run("update", "--address", "127.0.0.1", "--port", port, good)
    assert checked.returncode == refused.returncode == 1
    assert checked.stdout == ""
    assert re.fullmatch(r"\S+Z Connecting\n", refused.stdout)  # shown at once, not after the time-out
    assert checked.stderr == f"orbisk-fpga: error: {missing}: no such file; check the image's path\n"
    assert refused.stderr == (f"orbisk-fpga: error: 127.0.0.1:{port}: cannot connect: connection refused: nothing "
                              f"listens on port {port}; check the address, the port and the device\n")


DAMAGED = ("{path}: the image part does not match its signature: the file is damaged or was signed with another "
           "key; get the image again")


def test_window_keeps_commands_in_flight_and_fails_safely_where_the_device_cannot(emulator, tmp_path):
    image = os.urandom(3000)
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(image, 32))
    device = emulator(latency=0.001)
    result = run("update", "--address", f"{device.host}:{device.port}", "--window", 32, path)
    assert result.returncode == 0, result.stderr
    assert device.device.fpga.loaded_image == image

    device = emulator(one_command_per_read=True)
    target = f"{device.host}:{device.port}"
    result = run("update", "--address", target, "--window", 8, "--timeout", 0.5, path)
    assert result.returncode == 1 and device.device.fpga.loaded_image is None
    assert result.stderr == (f"orbisk-fpga: error: {target}: no answer within 0.5 s while writing; a device that "
                             f"takes no commands in flight needs --window 1; {ADVICE}\n")  # the specific advice first
    assert run("update", "--address", target, "--window", 1, path).returncode == 0
    assert device.device.fpga.loaded_image == image


def test_init_shows_what_the_device_reports_in_plain_words(emulator):
    device = emulator()
    for device_type, options, config_mode in [(28, ["--no-fw-check"], ""), (32, [], "TRANS")]:
        result = run("init", "--address", f"{device.host}:{device.port}", "--device-type", device_type, *options)
        assert result.returncode == 0, result.stderr
        assert f"device type {device_type}: FPGA controller initialised" in result.stdout
        for what, value in [("FPGA ID", "0x0362D093"), ("Serial number", f"VORN-{device.port:06d}"),
                            ("FPGA version", "0.2.3.4"), ("Control firmware version", "0.1.0.6")]:
            assert re.search(rf"^  {what} +{re.escape(value)}$", result.stdout, re.MULTILINE), result.stdout
        assert device.device.fpga.config_mode == config_mode  # type 28 keeps its configuration mode


def test_inspect_shows_an_image_without_a_device(tmp_path):
    image = os.urandom(1000)
    signed, damaged, raw = tmp_path / "fw.tbin", tmp_path / "damaged.tbin", tmp_path / "fw.bin"
    signed.write_bytes(pack(image, [32, 28], {"version": "1.4.0.0"}))
    damaged.write_bytes(pack(image, 32)[:-1] + bytes([image[-1] ^ 1]))
    raw.write_bytes(image)

    result = run("inspect", "--device-type", 28, signed)
    assert result.returncode == 0, result.stderr
    for shown in ("signed image for device types 28, 32", "1000 bytes", '"version": "1.4.0.0"',
                  "header hash   verifies", "image hash    verifies", "passes the update's checks"):
        assert shown in result.stdout
    result = run("inspect", damaged)
    assert result.returncode == 1 and "image hash    does not verify" in result.stdout
    assert result.stderr == f"orbisk-fpga: error: {DAMAGED.format(path=damaged)}\n"
    result = run("inspect", raw)
    assert result.returncode == 0 and hashlib.sha256(image).hexdigest() in result.stdout


def test_pack_writes_an_image_the_module_accepts(tmp_path):
    raw, signed = tmp_path / "fw.bin", tmp_path / "fw.tbin"
    raw.write_bytes(os.urandom(100))
    result = run("pack", "--device-type", 32, "--device-type", 28, "--set", "version=1.4.0.0", "--set",
                 "build=7", raw, signed)
    assert result.returncode == 0, result.stderr
    assert FpgaTool(object())._checkFileHeader(str(signed)) is True
    assert b'"DEV_TYPE": [32, 28], "version": "1.4.0.0", "build": 7' in signed.read_bytes()


@pytest.mark.parametrize("args", [
    (), ("update",), ("update", "--address", "h"), ("pack", "a", "b"), ("pack", "--device-type", "x", "a", "b"),
    ("init", "--address", "h", "--port", "p"), ("pack", "--device-type", "1", "--set", "novalue", "a", "b"),
    ("frobnicate",), ("update", "--address", "h:70000", "fw.bin"), ("update", "--address", "h", "--port", "0", "x"),
    ("update", "--address", "127.0.0.1", "--address", "127.0.0.1:5025", "fw.bin"),
    ("update", "--address", "h", "--timeout", "0", "fw.bin"), ("update", "--address", "h", "--jobs", "0", "fw.bin"),
    ("update", "--address", "h", "--window", "0", "fw.bin"), ("update", "--address", "h", "--window", "1025", "x"), ("update", "--address", "h", "--device-type", str(UNKNOWN_DEVICE_TYPE), "x"),
    ("update", "--addresses", "no-such-list.txt", "fw.bin"), ("init", "--address", "h", "--device-type", "28"),
])
def test_usage_errors_give_one_line_and_status_2(args):
    result = run(*args)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("orbisk-fpga") and result.stderr.rstrip().endswith("--help")


def test_help_explains_each_command_with_an_example():
    for command in ("update", "inspect", "init", "pack", "emulate", "demo"):
        result = run(command, "--help")
        assert result.returncode == 0 and "orbisk-fpga " + command in result.stdout.partition("example")[2]
    module = subprocess.run([sys.executable, "-m", "orbisk_tools", "--help"], capture_output=True, text=True)
    assert module.returncode == 0 and "orbisk-fpga updates the FPGA image of networked RF devices" in module.stdout
    assert "  130  interrupted by Ctrl-C\n  143  stopped by SIGTERM\n" in module.stdout
    assert "this package" not in module.stdout  # how the commands are made is no matter for a user


class TestPackNeverDamagesFiles:
    @pytest.fixture
    def files(self, tmp_path):
        raw, signed = tmp_path / "fw.bin", tmp_path / "fw.tbin"
        raw.write_bytes(os.urandom(100))
        signed.write_bytes(pack(b"old image", 32))
        return raw, signed

    def assert_untouched(self, tmp_path, before):
        assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before

    @pytest.mark.parametrize("args, status, message", [
        (("--device-type", 32, "--set", "DEV_TYPE=28"), 2, "--set DEV_TYPE"),
        (("--device-type", 32, "--set", "dev_type=28"), 2, "--set dev_type"),
        (("--device-type", 1000), 2, "--device-type"),
        (("--device-type", -1), 2, "--device-type"),
    ])
    def test_refused_options_leave_the_output_alone(self, files, tmp_path, args, status, message):
        raw, signed = files
        before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
        result = run("pack", *args, raw, signed)
        assert result.returncode == status and message in result.stderr, result.stderr
        assert "device_types" not in result.stderr and "extra" not in result.stderr
        self.assert_untouched(tmp_path, before)

    def test_refused_inputs_leave_every_file_alone(self, files, tmp_path):
        raw, signed = files
        (tmp_path / "empty.bin").write_bytes(b"")
        os.link(raw, tmp_path / "hard.bin")
        os.symlink(raw, tmp_path / "soft.bin")
        before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
        cases = [((signed, raw), "already a signed image"),  # input and output swapped
                 ((raw, raw), "is the input image"),
                 ((raw, tmp_path / "hard.bin"), "is the input image"),
                 ((tmp_path / "soft.bin", raw), "is the input image"),
                 ((tmp_path / "empty.bin", tmp_path / "new.tbin"), "empty")]
        for (source, output), message in cases:
            result = run("pack", "--device-type", 32, source, output)
            assert result.returncode == 1 and message in result.stderr, result.stderr
            assert len(result.stderr.splitlines()) == 1
        self.assert_untouched(tmp_path, before)

    def test_output_is_replaced_whole(self, files, tmp_path):
        raw, signed = files
        assert run("pack", "--device-type", 28, raw, signed).returncode == 0
        assert signed.read_bytes() == pack(raw.read_bytes(), 28)
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.bin", "fw.tbin"]


def test_version_names_the_package_and_both_native_modules():
    import importlib.metadata

    import orbisk.VornFpga
    import orbisk.vorndev.BeamHopper

    result = run("--version")
    assert result.returncode == 0 and result.stderr == ""
    version = importlib.metadata.version("orbisk-native")
    assert result.stdout.splitlines() == [
        f"orbisk-fpga {version}",
        f"orbisk.VornFpga {version} ({orbisk.VornFpga.__file__})",
        f"orbisk.vorndev.BeamHopper {version} ({orbisk.vorndev.BeamHopper.__file__})",
    ]
