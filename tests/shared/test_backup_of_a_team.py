"""A backup that one laptop kept, recorded in the team's history, restored from another laptop's
command under trusted keys: the team's history vouches for it as a local one does."""

import os

from tests.e2e.command_line import run, site


def test_a_backup_recorded_in_the_teams_history_is_restored_under_trusted_keys(shared, tmp_path):
    secret, public, raw, image = (tmp_path / name for name in ("vendor.key", "vendor.pub", "fw.bin", "fw.tbin"))
    assert run("keygen", "--no-password", "--secret-key", secret, "--public-key", public).returncode == 0
    raw.write_bytes(os.urandom(1500))
    assert run("pack", "--device-type", 32, "--sign-key", secret, raw, image).returncode == 0
    backups = tmp_path / "backups"
    backups.mkdir(mode=0o700)
    with site(tmp_path, 2) as emulated:
        device = emulated.addresses[0]
        updated = run("update", "--address", device, "--backup", backups, "--history", shared, "--trust-key", public,
                      image)
        assert updated.returncode == 0, updated.stderr
        kept, = backups.iterdir()
        restored = run("restore", "--trust-key", public, "--address", device, "--history", shared, kept)
        assert restored.returncode == 0, restored.stderr
        assert f"{kept} is recorded as the backup of " in restored.stdout
        assert "runs FPGA version 0.2.3.4" in restored.stdout
        listed = run("history", "--history", shared, "--csv", "-")
    # the update's row, with the backup it kept, and the restore's, whose image the backup was
    assert listed.stdout.count(kept.name) == 2
