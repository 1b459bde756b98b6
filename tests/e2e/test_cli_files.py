"""The files orbisk-fpga reads and writes: an output never replaces an input and is replaced
whole; every file that cannot be used, and every address that is not one, is refused in one
line naming it, before any device is touched."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from orbisk_tools.signed_image import pack

COMMAND = str(Path(sys.executable).with_name("orbisk-fpga"))


def run(*args, **options):
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=True, timeout=120, **options)


def address(device):
    return f"{device.host}:{device.port}"


def signed_image(path, size=300):
    image = os.urandom(size)
    path.write_bytes(pack(image, 32))
    return image


def tree(folder):
    """Every file below `folder` (links as links) and its content: what a run must leave alone."""
    return {path.relative_to(folder): os.readlink(path) if path.is_symlink() else path.read_bytes()
            for path in sorted(Path(folder).rglob("*")) if path.is_symlink() or path.is_file()}


class TestPackOutput:
    @pytest.fixture
    def raw(self, tmp_path):
        path = tmp_path / "fw.bin"
        path.write_bytes(os.urandom(100))
        return path

    @pytest.mark.parametrize("name", ["missing/out.tbin", "folder.tbin"])
    def test_an_output_that_cannot_be_written_is_named_as_given(self, raw, tmp_path, name):
        (tmp_path / "folder.tbin").mkdir()
        result = run("pack", "--device-type", 32, raw, name, cwd=tmp_path)
        assert result.returncode == 1
        assert result.stderr.startswith(f"orbisk-fpga: error: {name}: ") and len(result.stderr.splitlines()) == 1
        assert ".tmp" not in result.stderr and "Errno" not in result.stderr

    @pytest.mark.parametrize("name", ["out.bin", "out.txt", "out"])
    def test_a_signed_image_is_named_tbin(self, raw, tmp_path, name):
        result = run("pack", "--device-type", 32, raw, tmp_path / name)
        assert result.returncode == 1 and ".tbin" in result.stderr and len(result.stderr.splitlines()) == 1
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.bin"]
        assert run("pack", "--device-type", 32, raw, tmp_path / "OUT.TBIN").returncode == 0

    def test_a_repeated_device_type_counts_once(self, raw, tmp_path):
        result = run("pack", "--device-type", 28, "--device-type", 28, "--device-type", 32, "--device-type", 28, raw,
                     tmp_path / "fw.tbin")
        assert result.returncode == 0, result.stderr
        assert result.stdout.endswith("for device type 28, 32\n")
        assert (tmp_path / "fw.tbin").read_bytes() == pack(raw.read_bytes(), [28, 32])
