"""A backup of each device's configuration memory before its erase (update --backup DIR), and
orbisk-fpga restore: the backup kept as a new file named by serial number, time and SHA-256 and
recorded in the history; written back, the device holds and runs its previous image; a device
whose backup cannot be read or written is not erased; with trusted keys, only a backup the history
recorded from that very device is restored."""

import hashlib
import json
import os
import re
import resource
import signal
import stat

import pytest

from orbisk_tools import Reason
from orbisk_tools.devices import flash
from orbisk_tools.records.history import History

from tests.e2e.command_line import READS_BACK, address, run


@pytest.fixture
def vendor(tmp_path):
    """A public key to trust, and an image that its secret key signed."""
    secret, public, raw, image = (tmp_path / name for name in ("vendor.key", "vendor.pub", "fw.bin", "fw.tbin"))
    assert run("keygen", "--no-password", "--secret-key", secret, "--public-key", public).returncode == 0
    raw.write_bytes(os.urandom(1500))
    assert run("pack", "--device-type", 32, "--sign-key", secret, raw, image).returncode == 0
    return public, image


@pytest.mark.cryptography  # the vendor's keys
def test_a_backup_is_kept_before_the_erase_and_restored_only_when_the_history_vouches_for_it(tmp_path, emulator,
                                                                                           vendor):
    public, image = vendor
    device, other = emulator(), emulator()
    backups, history = tmp_path / "backups", tmp_path / "history.db"
    backups.mkdir(mode=0o700)
    updated = run("update", "--address", address(device), "--backup", backups, "--history", history, "--trust-key",
                  public, image)
    assert updated.returncode == 0, updated.stderr
    previous = flash.device_image()
    sha256 = hashlib.sha256(previous).hexdigest()
    serial = device.device.fpga.serial_number
    kept, = backups.iterdir()
    assert re.fullmatch(rf"{serial}_[0-9]{{8}}T[0-9]{{6}}Z_{sha256[:16]}\.bin", kept.name)
    assert kept.read_bytes() == previous and stat.S_IMODE(kept.stat().st_mode) == 0o600
    with History.open(str(history)) as records:
        row, = records.attempts(address=address(device))
    assert (row.serial, row.backup_sha256, row.backup_path, row.backup_size) == (serial, sha256, str(kept),
                                                                                  len(previous))

    # trusted keys only: a backup that no history recorded is refused before the device is asked anything
    asked = len(device.device.commands)
    for where in (("--no-history",), ("--history", tmp_path / "another.db")):
        refused = run("restore", "--trust-key", public, "--address", address(device), *where, kept)
        assert refused.returncode == 1
        assert refused.stderr.startswith(f"orbisk-fpga: error: {kept} is no backup that the update history ")
        assert len(refused.stderr.splitlines()) == 1
    assert len(device.device.commands) == asked
    # the history vouches for it on its own device only
    elsewhere = run("restore", "--trust-key", public, "--address", address(other), "--history", history, kept)
    assert elsewhere.returncode == 1 and "FPGA_ERASE" not in other.device.commands
    assert f"was taken from the device {serial}, and this one reports {other.device.fpga.serial_number}" in \
        elsewhere.stderr

    restored = run("restore", "--trust-key", public, "--address", address(device), "--history", history, kept)
    assert restored.returncode == 0, restored.stderr
    assert restored.stdout.startswith(f"{kept} is recorded as the backup of {serial} on {row.started} ")
    assert f"restored {kept}: it holds its previous image, read back, and runs FPGA version 0.2.3.4" in \
        restored.stdout
    verified = run("verify", "--address", address(device), "--history", history, kept)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert bytes(device.device.fpga.memory) == previous and device.device.fpga.fpga_version == "0.2.3.4"


def limited_file_size(size):
    """For subprocess.run's preexec_fn: files of at most `size` bytes, a larger write failing
    with EFBIG (rather than the signal that would end the process)."""
    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


def test_a_device_whose_backup_cannot_be_read_or_written_is_not_erased(tmp_path, emulator, image):
    device = emulator()
    backups = tmp_path / "backups"
    backups.mkdir(mode=0o700)
    (tmp_path / "a-file").write_text("")
    (tmp_path / "a-link").symlink_to(backups)
    for folder, why in (("a-file", "it is not a folder; name a folder"),
                        ("a-link", "it is a link, which is not followed; name the folder itself"),
                        ("missing", f"there is no such folder; make it first (mkdir -m 700 {tmp_path / 'missing'})")):
        refused = run("update", "--address", address(device), "--backup", tmp_path / folder, "--no-history", image)
        assert (refused.returncode, refused.stderr) == (1, f"orbisk-fpga: error: cannot keep backups in {tmp_path / folder}: "
                                                           f"{why}\n")
    assert len(device.device.commands) == 0

    # the folder takes no file as large as the memory
    full = run("update", "--address", address(device), "--backup", backups, "--no-history", "--json", "-", image,
               preexec_fn=limited_file_size(3000))
    unread = emulator(silent_after=20)
    silent = run("update", "--address", address(unread), "--backup", backups, "--no-history", "--timeout", 1,
                 "--window", 1, "--json", "-", image)
    for result, emulated in ((full, device), (silent, unread)):
        assert result.returncode == 1, result.stderr
        outcome, = json.loads(result.stdout)["devices"]
        assert (outcome["result"], outcome["reason"], outcome["device_state"]) == ("failed", Reason.BACKUP_FAILED,
                                                                                   "untouched")
        assert outcome["message"].startswith("no backup before the erase: ") and "\n" not in outcome["message"]
        assert set(emulated.device.commands) - {"(ignored)"} <= READS_BACK  # what a silent device does not take
    assert f"{backups}: file too large; the device was not changed" in json.loads(full.stdout)["devices"][0]["message"]
    assert "no answer within 1 s while reading its configuration memory" in json.loads(silent.stdout)["devices"][0][
        "message"]
    assert list(backups.iterdir()) == []


def test_a_restore_gives_its_result_alone_on_standard_output_with_json_to_it(tmp_path, emulator, image):
    device = emulator()
    backups, history = tmp_path / "backups", tmp_path / "history.db"
    backups.mkdir(mode=0o700)
    assert run("update", "--address", address(device), "--backup", backups, "--history", history,
               image).returncode == 0
    kept, = backups.iterdir()
    restored = run("restore", "--address", address(device), "--history", history, "--json", "-", kept)
    assert restored.returncode == 0, restored.stderr
    assert json.loads(restored.stdout)["devices"][0]["result"] == "updated"
    assert restored.stderr.startswith(f"{kept} is recorded as the backup of {device.device.fpga.serial_number} ")


def test_a_restore_whose_load_was_never_confirmed_is_loaded_without_rewriting_and_succeeds(tmp_path, emulator,
                                                                                            image):
    device = emulator()
    backups, history = tmp_path / "backups", tmp_path / "history.db"
    backups.mkdir(mode=0o700)
    assert run("update", "--address", address(device), "--backup", backups, "--history", history,
               image).returncode == 0
    kept, = backups.iterdir()
    device.faults.endless_reply = "FPGA_REFRESH"
    unconfirmed = run("restore", "--address", address(device), "--history", history, "--json", "-", kept)
    assert unconfirmed.returncode == 1 and json.loads(unconfirmed.stdout)["devices"][0]["phase"] == "load"
    device.faults.endless_reply = None
    device.power_cycle()
    loaded = run("restore", "--address", address(device), "--history", history, "--json", "-", kept)
    outcome, = json.loads(loaded.stdout)["devices"]
    assert (outcome["result"], outcome["fpga_version"]) == ("loaded", "0.2.3.4")
    assert loaded.returncode == 0, loaded.stderr
