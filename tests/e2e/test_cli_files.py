"""The files orbisk-fpga reads and writes: an output never replaces an input and is replaced
whole; every file that cannot be used, and every address that is not one, is refused in one
line naming it, before any device is touched."""

import contextlib
import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from orbisk_tools.formats.signed_image import pack

from tests.e2e.command_line import COMMAND, address, run


def signed_image(path, size=300):
    image = os.urandom(size)
    path.write_bytes(pack(image, 32))
    return image


def tree(folder):
    """Every file below `folder` (links as links) and its content: what a run must leave alone."""
    return {path.relative_to(folder): os.readlink(path) if path.is_symlink() else path.read_bytes()
            for path in sorted(Path(folder).rglob("*")) if path.is_symlink() or path.is_file()}


class TestResultsFile:
    """update --json FILE."""

    @pytest.mark.parametrize("name", ["the image", "a hard link to the image", "a link to the image",
                                      "the address file"])
    def test_an_input_is_refused_before_anything_runs(self, emulator, tmp_path, name):
        device = emulator()
        image = tmp_path / "fw.tbin"
        signed_image(image)
        listing = tmp_path / "site.txt"
        listing.write_text(address(device) + "\n")
        output = {"the image": image, "the address file": listing}.get(name, tmp_path / "result.json")
        if name == "a hard link to the image":
            os.link(image, output)
        if name == "a link to the image":
            output.symlink_to(image)
        before = tree(tmp_path)
        result = run("update", "--addresses", listing, "--json", output, image)
        assert result.returncode == 2, result.stderr
        assert result.stderr.startswith(f"orbisk-fpga update: error: --json {output} is the same file as ")
        assert len(result.stderr.splitlines()) == 1
        assert tree(tmp_path) == before
        assert device.device.commands == []

    def test_an_existing_file_is_replaced_whole(self, emulator, tmp_path):
        device = emulator()
        image = tmp_path / "fw.tbin"
        signed_image(image)
        output, other_name = tmp_path / "result.json", tmp_path / "old-result.json"
        output.write_text("old results\n")
        os.link(output, other_name)  # written in place, the other name would show the new results
        result = run("update", "--address", address(device), "--json", output, image)
        assert result.returncode == 0, result.stderr
        assert json.loads(output.read_text())["devices"][0]["result"] == "updated"
        assert other_name.read_text() == "old results\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.tbin", "old-result.json", "result.json"]

    def test_dash_writes_to_standard_output_and_the_rest_to_standard_error(self, emulator, tmp_path):
        devices = [emulator(), emulator()]
        image = tmp_path / "fw.tbin"
        signed_image(image)
        result = run("update", "--address", address(devices[0]), "--address", address(devices[1]), "--json", "-",
                     image, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        report = json.loads(result.stdout)
        assert [d["result"] for d in report["devices"]] == ["updated", "updated"]
        assert "2 of 2 devices updated" in result.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.tbin"]

    @pytest.mark.parametrize("where", ["a missing folder", "a folder"])
    def test_an_output_that_cannot_be_written_stops_the_run_before_any_device(self, emulator, tmp_path, where):
        device = emulator()
        image = tmp_path / "fw.tbin"
        signed_image(image)
        output = tmp_path / "missing" / "result.json"
        if where == "a folder":
            output = tmp_path / "result.json"
            output.mkdir()
        result = run("update", "--address", address(device), "--json", output, image)
        assert result.returncode == 1
        assert result.stderr.startswith(f"orbisk-fpga: error: {output}: ") and len(result.stderr.splitlines()) == 1
        assert ".tmp" not in result.stderr
        assert device.device.commands == []


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


@pytest.fixture
def as_user(tmp_path):
    """run(*args) without the privilege that passes every permission check, as a user runs it:
    as root, chmod 000 stops nothing."""
    if os.geteuid() != 0:
        yield run
    else:
        setpriv = shutil.which("setpriv")
        if setpriv is None:
            pytest.skip("running as root, and without setpriv(1) to drop the capabilities that pass permission checks")
        dropped = "-dac_override,-dac_read_search"
        drop = [setpriv, f"--inh-caps={dropped}", f"--bounding-set={dropped}"]
        if subprocess.run([*drop, "true"], capture_output=True).returncode != 0:
            pytest.skip("running as root, and setpriv(1) cannot drop the capabilities that pass permission checks")
        yield lambda *args: subprocess.run([*drop, COMMAND, *map(str, args)], capture_output=True, text=True,
                                           timeout=120)
    for path in [tmp_path, *tmp_path.rglob("*")]:  # so that the folder can be removed
        with contextlib.suppress(OSError):
            if path.is_dir() and not path.is_symlink():
                path.chmod(0o700)


class TestFileSystemErrors:
    """A file that cannot be used is one line with its path and what to do, never a traceback."""

    def test_an_image_in_a_folder_that_cannot_be_searched(self, as_user, tmp_path):
        folder, run_as_user = tmp_path, as_user
        locked = folder / "locked"
        locked.mkdir()
        signed_image(locked / "fw.tbin")
        (locked / "fw.bin").write_bytes(os.urandom(100))
        locked.chmod(0)
        for args in [("update", "--address", "127.0.0.1:9", locked / "fw.tbin"), ("inspect", locked / "fw.tbin"),
                     ("pack", "--device-type", 32, locked / "fw.bin", folder / "out.tbin")]:
            result = run_as_user(*args)
            assert result.returncode == 1, result.stderr
            path = args[-2] if args[0] == "pack" else args[-1]
            assert result.stderr == (f"orbisk-fpga: error: {path}: permission denied; check the permissions of the "
                                     "file and of the folders above it\n")
        assert not (folder / "out.tbin").exists()

    def test_an_image_that_cannot_be_read(self, as_user, tmp_path):
        image = tmp_path / "fw.tbin"
        signed_image(image)
        image.chmod(0)
        device = "127.0.0.1:9"  # never reached: the image is read first
        for args in [("update", "--address", device), ("verify", "--address", device), ("inspect",),
                     ("status", "--address", device, "--image")]:
            result = as_user(*args, image)
            assert result.returncode == 1, result.stderr
            assert result.stderr == (f"orbisk-fpga: error: {image}: permission denied; check the permissions of the "
                                     "file and of the folders above it\n"), args

    def test_outputs_and_address_files_that_cannot_be_used(self, as_user, tmp_path):
        folder, run_as_user = tmp_path, as_user
        image, closed = folder / "fw.tbin", folder / "closed"
        signed_image(image)
        (folder / "raw.bin").write_bytes(os.urandom(100))
        closed.mkdir()
        (closed / "site.txt").write_text("127.0.0.1:9\n")
        closed.chmod(0o555)  # nothing can be created in it
        cases = [(("pack", "--device-type", 32, folder / "raw.bin", closed / "out.tbin"), 1, closed / "out.tbin"),
                 (("update", "--address", "127.0.0.1:9", "--json", closed / "r.json", image), 1, closed / "r.json")]
        for args, status, path in cases:
            result = run_as_user(*args)
            assert result.returncode == status, result.stderr
            assert result.stderr == f"orbisk-fpga: error: {path}: permission denied; check the permissions of the " \
                                    "file and of the folders above it\n"
        closed.chmod(0)
        result = run_as_user("update", "--addresses", closed / "site.txt", image)
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert f"{closed / 'site.txt'}: permission denied" in result.stderr
        assert "Traceback" not in result.stderr


class TestAddresses:
    def test_names_the_system_reads_as_numbers_are_refused_and_scope_ids_kept(self):
        from orbisk_tools.engine.targets import parse_address

        for text in ("0x0", "0xffffffff", "1.0x7f", "0x7f000001."):  # 0.0.0.0, broadcast, 1.0.0.127, 127.0.0.1
            with pytest.raises(ValueError, match="is not an address"):
                parse_address(text, 5025)
        assert parse_address("[FE80::0001%Eth0]", 5025).label == "[fe80::1%Eth0]:5025"  # interface names have case

    def test_every_bad_entry_is_named_before_any_device_is_touched(self, emulator, tmp_path):
        device = emulator()
        image = tmp_path / "fw.tbin"
        signed_image(image)
        listing = tmp_path / "site.txt"
        listing.write_text(f"# site A\n{address(device)}\nthis is garbage!\n[127.0.0.1:15101:99]\n"
                           "127.0.0.1 15101  # the spare\n999.1.1.1\n")
        result = run("update", "--addresses", listing, "--address", "127.0.0.1:80:80", image)
        assert result.returncode == 2
        lines = result.stderr.splitlines()
        for number, line in [(3, "this is garbage!"), (4, "[127.0.0.1:15101:99]"), (5, "127.0.0.1 15101"),
                             (6, "999.1.1.1")]:
            assert any(f"{listing} line {number}: {line!r} is not an address" in shown for shown in lines), lines
        assert any("--address 127.0.0.1:80:80: '127.0.0.1:80:80' is not an address" in shown for shown in lines)
        assert len(lines) == 6 and lines[-1].endswith("--help")
        assert device.device.commands == []

    def test_init_takes_one_device(self, emulator):
        first, second = emulator(), emulator()
        result = run("init", "--address", address(first), "--address", address(second))
        assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
        assert "--address is given twice" in result.stderr
        assert first.device.commands == second.device.commands == []


class TestInspectWarnings:
    """What the update accepts but a packer never writes passes inspect, with a warning."""

    @pytest.mark.parametrize("change, warning", [
        ("junk after the image", "7 bytes follow the image (it ends at byte {end} of {size}); the update ignores them"),
        ("length too long", "the image length field says 1010 bytes, but the file holds 1000 from byte {start}; "
                            "the update writes those 1000"),
        ("gap before the image", "the image starts at byte {moved}, not where the header ends (byte {start}); "
                                 "the update takes the image from byte {moved}"),
        ("none", None),
    ])
    def test_a_signed_image_whose_layout_disagrees_with_the_file(self, tmp_path, change, warning):
        data = bytearray(pack(os.urandom(1000), 32))
        start = int.from_bytes(data[8:12], "big")
        if change == "junk after the image":
            data += b"garbage"
        elif change == "length too long":
            data[4:8] = (1010).to_bytes(4, "big")
        elif change == "gap before the image":
            data[8:12] = (start + 3).to_bytes(4, "big")
            data[start:start] = b"gap"
        path = tmp_path / "fw.tbin"
        path.write_bytes(data)
        result = run("inspect", "--device-type", 32, path)
        assert result.returncode == 0, result.stderr
        if warning is None:
            assert result.stderr == "" and result.stdout.endswith("It passes the update's checks for device type 32.\n")
            return
        expected = warning.format(end=start + 1000, size=len(data), start=start, moved=start + 3)
        assert result.stderr == f"orbisk-fpga: warning: {path}: {expected}\n"
        assert result.stdout.endswith("It passes the update's checks for device type 32, with 1 warning.\n")
        assert "cannot connect" in run("update", "--address", "127.0.0.1:9", path).stderr  # the image passed
