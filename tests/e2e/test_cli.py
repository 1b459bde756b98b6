"""The orbisk-fpga command line, run as a user runs it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.signed_image import pack

COMMAND = str(Path(sys.executable).with_name("orbisk-fpga"))


def run(*args, timeout=60):
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def free_port():
    import socket

    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_demo_updates_the_emulated_device():
    result = run("demo")
    assert result.returncode == 0, result.stderr
    assert "FPGA updated: version 0.2.4.0" in result.stdout
    assert "5. The device now holds exactly the image" in result.stdout
    assert result.stderr == ""


def test_update_against_the_emulator(emulator, tmp_path):
    device = emulator()
    image = os.urandom(300)
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(image, 32))
    result = run("update", "--address", device.host, "--port", device.port, path)
    assert result.returncode == 0, result.stderr
    summary = result.stdout.splitlines()[-1]
    assert summary.startswith("FPGA updated: version 0.2.4.0, 300 bytes written in ")
    assert device.device.fpga.loaded_image == image


@pytest.mark.parametrize("problem", ["closed port", "missing file", "tampered image"])
def test_failures_give_one_line_and_status_1(emulator, tmp_path, problem):
    port = free_port()
    path = tmp_path / "fw.tbin"
    if problem != "closed port":
        port = emulator().port
    if problem == "tampered image":
        data = bytearray(pack(b"image", 32))
        data[-1] ^= 1
        path.write_bytes(bytes(data))
    result = run("update", "--address", "127.0.0.1", "--port", port, path)
    assert result.returncode == 1
    assert result.stdout == "" and len(result.stderr.splitlines()) == 1
    expected = {"closed port": f"Cannot connect to 127.0.0.1:{port}",
                "missing file": f"FPGA update file check failed. (FPGA image path not found: {path})",
                "tampered image": "FPGA image header check failed. (FPGA tbin image hash mismatch)"}[problem]
    assert result.stderr == f"orbisk-fpga: error: {expected}\n"


def test_pack_writes_an_image_the_module_accepts(tmp_path):
    raw, signed = tmp_path / "fw.bin", tmp_path / "fw.tbin"
    raw.write_bytes(os.urandom(100))
    result = run("pack", "--device-type", 32, "--device-type", 28, "--set", "version=1.4.0.0", "--set",
                 "build=7", raw, signed)
    assert result.returncode == 0, result.stderr
    assert FpgaTool(object())._checkFileHeader(str(signed)) is True
    assert b'"DEV_TYPE": [32, 28], "version": "1.4.0.0", "build": 7' in signed.read_bytes()


@pytest.mark.parametrize("args", [(), ("update",), ("update", "--address", "h"), ("pack", "a", "b"),
                                  ("pack", "--device-type", "x", "a", "b"), ("init", "--address", "h", "--port", "p"),
                                  ("pack", "--device-type", "1", "--set", "novalue", "a", "b"), ("frobnicate",)])
def test_usage_errors_give_status_2(args):
    result = run(*args)
    assert result.returncode == 2 and "usage:" in result.stderr


def test_help_explains_each_command_with_an_example():
    for command in ("update", "init", "pack", "emulate", "demo"):
        result = run(command, "--help")
        assert result.returncode == 0 and "example:\n  orbisk-fpga " + command in result.stdout
    module = subprocess.run([sys.executable, "-m", "orbisk_tools", "--help"], capture_output=True, text=True)
    assert module.returncode == 0 and "orbisk-fpga" in module.stdout


@pytest.mark.parametrize("problem", ["wrong device type", "signed image named .bin", "bad read-back"])
def test_unsafe_updates_are_refused_and_load_nothing(emulator, tmp_path, problem):
    device = emulator(corrupt_read_offset=1000) if problem == "bad read-back" else emulator()
    image = os.urandom(4000)
    path = tmp_path / ("fw.bin" if problem == "signed image named .bin" else "fw.tbin")
    path.write_bytes(pack(image, 28 if problem == "wrong device type" else 32))
    result = run("update", "--address", device.host, "--port", device.port, "--device-type", 32, path)
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    expected = {"wrong device type": "FPGA image is for device type 28, not 32.",
                "signed image named .bin": f"FPGA image is a signed image; rename it to .tbin: {path}",
                "bad read-back": "FPGA read-back differs from the image at byte offset 1000"}[problem]
    assert expected in result.stderr
    assert device.device.fpga.loaded_image is None
    if problem != "bad read-back":
        assert device.device.commands == []


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
