"""Images the vendor signed: orbisk-fpga keygen, sign and pack --sign-key, then update and
inspect with --trust-key, run as a user runs them against the emulator."""

import base64
import functools
import json
import os
import shutil
import stat
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from orbisk_tools import cli
from orbisk_tools.formats import signatures
from orbisk_tools.formats.signed_image import pack

from tests.e2e import command_line
from tests.e2e.command_line import COMMAND, address

pytestmark = pytest.mark.cryptography

CHEAP = {"opslimit": 1 << 15, "memlimit": 1 << 24}  # scrypt costs for the tests' password keys
CHANGED = "the signature {sig} does not match {image}: the image or its signature was changed; get both again"


def run(*args, env=None):
    environment = {name: value for name, value in os.environ.items() if not name.startswith("ORBISK_FPGA_")}
    return command_line.run(*args, stdin=subprocess.DEVNULL, env={**environment, **(env or {})})


@pytest.fixture
def vendor(tmp_path):
    """A key pair made by orbisk-fpga keygen: (secret key path, public key path, PublicKey)."""
    secret, public = tmp_path / "vendor.key", tmp_path / "vendor.pub"
    assert run("keygen", "--no-password", "--secret-key", secret, "--public-key", public).returncode == 0
    return secret, public, signatures.read_public_key(public)


@pytest.fixture
def signed(tmp_path, vendor):
    """A .tbin packed and signed by the vendor: (image bytes, its path)."""
    image, raw, path = os.urandom(2000), tmp_path / "fw.bin", tmp_path / "fw.tbin"
    raw.write_bytes(image)
    packed = run("pack", "--device-type", 32, "--sign-key", vendor[0], raw, path)
    assert packed.stdout.splitlines()[-1] == f"Signed {path} with key {vendor[2].id_text}: {path}.minisig"
    return image, path


def edit_line(path, number, change):
    lines = path.read_text().split("\n")
    lines[number] = change(lines[number])
    path.write_text("\n".join(lines))


def flip_last_byte(line):
    raw = bytearray(base64.b64decode(line))
    raw[-1] ^= 1
    return base64.b64encode(raw).decode()


class TestUpdate:
    def test_an_image_the_trusted_key_signed_is_installed_and_its_key_recorded(self, emulator, tmp_path, vendor,
                                                                               signed):
        device, (image, path), key = emulator(), signed, vendor[2]
        done = run("update", "--trust-key", vendor[1], "--address", address(device), "--json", "-", path)
        assert json.loads(done.stdout)["vendor_key_id"] == key.id_text, done.stderr
        assert f"Vendor signature verified: key {key.id_text}, timestamp:" in done.stderr  # the rest of the output
        assert device.device.fpga.loaded_image == image

        # $ORBISK_FPGA_TRUST_KEYS counts as --trust-key; without any key nothing is checked.
        other = signatures.generate_keypair(tmp_path / "other.key", tmp_path / "other.pub")
        keys = tmp_path / "site-keys"
        keys.write_text(f"# our vendors\n{other.base64}\n{key.base64}\n")
        for env, recorded in [({"ORBISK_FPGA_TRUST_KEYS": str(keys)}, key.id_text), ({}, None)]:
            done = run("update", "--address", address(device), "--json", "-", path, env=env)
            assert json.loads(done.stdout)["vendor_key_id"] == recorded, done.stderr
        keys.write_text("# emptied\n")  # must not turn the check off
        refused = run("update", "--address", address(device), path, env={"ORBISK_FPGA_TRUST_KEYS": str(keys)})
        assert refused.returncode == 2 and f"{keys} ($ORBISK_FPGA_TRUST_KEYS) holds no public key" in refused.stderr

    @pytest.mark.parametrize("change, refusal", [
        ("image byte", CHANGED),
        ("image repacked", CHANGED),
        ("signature byte", CHANGED),
        ("trusted comment", "the trusted comment in {sig} does not verify: the signature was changed; get it again"),
        ("untrusted key", "{sig} was made by key {key}, which is not trusted; check the keys given with --trust-key "
                          "or in ORBISK_FPGA_TRUST_KEYS"),
        ("no signature", "no signature: {sig} does not exist; put the image's signature file from its vendor there"),
    ])
    def test_each_refusal_is_one_line_and_sends_the_device_nothing(self, emulator, tmp_path, vendor, signed,
                                                                   change, refusal):
        device, (image, path), trusted = emulator(), signed, vendor[1]
        if change == "image byte":  # a raw image: only its signature protects it
            path = tmp_path / "raw.bin"
            path.write_bytes(image)
            run("sign", "--key", vendor[0], path)
            path.write_bytes(image[:100] + bytes([image[100] ^ 1]) + image[101:])
        elif change == "image repacked":  # hashes that verify: anyone with the SDK can make them
            path.write_bytes(pack(image[:-1] + b"\0", 32))
        elif change == "signature byte":
            edit_line(Path(f"{path}.minisig"), 1, flip_last_byte)
        elif change == "trusted comment":
            edit_line(Path(f"{path}.minisig"), 2, lambda line: line.replace("file:fw.tbin", "file:fx.tbin"))
        elif change == "untrusted key":
            trusted = signatures.generate_keypair(tmp_path / "x.key", tmp_path / "x.pub").base64
        elif change == "no signature":
            Path(f"{path}.minisig").unlink()
        refused = run("update", "--trust-key", trusted, "--address", address(device), path)
        expected = refusal.format(sig=f"{path}.minisig", image=path, key=vendor[2].id_text)
        assert (refused.returncode, refused.stdout, refused.stderr) == (1, "", f"orbisk-fpga: error: {expected}\n")
        assert device.device.commands == []

    def test_the_devices_get_the_bytes_that_were_checked_even_if_the_file_changes_meanwhile(
            self, emulator, vendor, signed):
        (image, path), first, second = signed, emulator(), emulator()
        reached, release = threading.Event(), threading.Event()
        program = first.device.program

        def held(data):  # holds the first device's answer to its second block
            if first.device.fpga.blocks_taken == 1:
                reached.set()
                release.wait(60)
            return program(data)

        first.device.program, first.device.takes_runs = held, False
        process = subprocess.Popen([COMMAND, "update", "--trust-key", vendor[1], "--jobs", "1", "--address",
                                    address(first), "--address", address(second), path], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        try:
            assert reached.wait(60)
            path.write_bytes(pack(bytes(len(image)), 32))  # hashes that verify, but not signed
        finally:
            release.set()
        assert process.wait(120) == 0, process.communicate()[1]
        assert first.device.fpga.loaded_image == second.device.fpga.loaded_image == image


def test_inspect_shows_the_vendor_signature_only_when_keys_are_trusted(vendor, signed):
    _, path = signed
    unchecked = run("inspect", path)
    assert "  vendor        no vendor signature checked (give --trust-key to check one)\n" in unchecked.stdout

    checked = run("inspect", "--trust-key", vendor[2].base64, path)
    assert checked.returncode == 0, checked.stderr
    lines = checked.stdout.splitlines()
    assert lines[lines.index(f"  vendor key    {vendor[2].id_text}") + 1].startswith("  comment       timestamp:")
    assert "  signature     verifies" in lines

    edit_line(Path(f"{path}.minisig"), 2, lambda line: line + " ")
    changed = run("inspect", "--trust-key", vendor[1], path)
    assert changed.returncode == 1 and "  signature     does not verify\n" in changed.stdout
    Path(f"{path}.minisig").unlink()
    missing = run("inspect", "--trust-key", vendor[1], path)
    assert missing.returncode == 1 and "  signature     missing or unreadable\n" in missing.stdout
    assert missing.stderr.startswith("orbisk-fpga: error: no signature: ")


def test_the_time_of_a_signature_shows_in_utc_and_any_other_comment_as_it_is(emulator, vendor, signed):
    (_, path), key = signed, signatures.read_secret_key(vendor[0])
    signatures.sign_file(path, key, "timestamp:1796825331\tfile:fw.tbin\thashed")
    done = run("update", "--trust-key", vendor[1], "--address", address(emulator()), path)
    assert (f"Vendor signature verified: key {vendor[2].id_text}, timestamp:2026-12-09T14:08:51Z file:fw.tbin "
            "hashed\n") in done.stdout, done.stderr
    for comment in ("timestamp:99999999999999\tfile:fw.tbin", "timestamp:-1", "release 1.4 timestamp:1"):
        signatures.sign_file(path, key, comment)
        shown = run("inspect", "--trust-key", vendor[1], path).stdout
        assert f"  comment       {comment.replace(chr(9), ' ')}\n" in shown


class TestSigning:
    def test_minisign_verifies_our_signature(self, tmp_path):
        program = shutil.which("minisign")
        if program is None:
            pytest.skip("the minisign program is not installed (Debian package minisign)")
        image, secret, public = tmp_path / "fw.tbin", tmp_path / "m.key", tmp_path / "m.pub"
        image.write_bytes(pack(os.urandom(500), 32))
        subprocess.run([program, "-G", "-W", "-s", secret, "-p", public], check=True, capture_output=True)
        assert run("sign", "--key", secret, image).returncode == 0
        checked = subprocess.run([program, "-V", "-p", public, "-m", image], capture_output=True, text=True)
        assert checked.returncode == 0 and "\tfile:fw.tbin\tsha256:" in checked.stdout, checked.stderr

    def test_a_key_with_a_password_takes_it_from_the_environment(self, tmp_path):
        secret, raw, output = tmp_path / "p.key", tmp_path / "fw.bin", tmp_path / "fw.tbin"
        key = signatures.generate_keypair(secret, tmp_path / "p.pub", "right", **CHEAP)
        raw.write_bytes(b"image")
        for env, refusal in [({}, f"the secret key {secret} is protected by a password; type it at a terminal, or "
                                  "set ORBISK_FPGA_KEY_PASSWORD"),
                             ({"ORBISK_FPGA_KEY_PASSWORD": "wrong"}, f"wrong password for the secret key {secret}")]:
            refused = run("pack", "--device-type", 32, "--sign-key", secret, raw, output, env=env)
            assert (refused.returncode, refused.stderr) == (1, f"orbisk-fpga: error: {refusal}\n")
        assert not output.exists()  # nothing packed without its signature

        assert run("sign", "--key", secret, raw, env={"ORBISK_FPGA_KEY_PASSWORD": "right"}).returncode == 0
        assert signatures.verify_file(raw, [key]).key_id == key.id_text

    def test_a_signature_never_replaces_an_input(self, tmp_path, vendor):
        image, key = tmp_path / "fw.bin", tmp_path / "fw.bin.minisig"
        image.write_bytes(b"image")
        shutil.copy(vendor[0], key)
        refused = run("sign", "--key", key, image)
        assert refused.returncode == 2 and "would replace" in refused.stderr
        assert key.read_bytes() == vendor[0].read_bytes()


class TestKeygen:
    def test_the_secret_key_is_owner_only_and_no_key_file_is_overwritten(self, tmp_path, vendor):
        secret, public, _ = vendor
        assert stat.S_IMODE(secret.stat().st_mode) == 0o600
        before = secret.read_bytes(), public.read_bytes()
        for pair in [(secret, tmp_path / "new.pub"), (tmp_path / "new.key", public)]:
            again = run("keygen", "--no-password", "--secret-key", pair[0], "--public-key", pair[1])
            assert again.returncode == 1 and "exists; key files are never overwritten" in again.stderr
        assert (secret.read_bytes(), public.read_bytes()) == before
        assert not (tmp_path / "new.pub").exists() and not (tmp_path / "new.key").exists()

    def test_the_password_is_asked_twice_or_taken_from_the_environment(self, tmp_path, monkeypatch, capsys):
        # In this process, for cheap password hashing and a terminal that answers the prompts.
        monkeypatch.setattr(signatures, "generate_keypair", functools.partial(signatures.generate_keypair, **CHEAP))
        secret = tmp_path / "k.key"

        def keygen(*answers, terminal=True, env_password=None):
            prompts = iter(answers)
            monkeypatch.setattr("getpass.getpass", lambda prompt: next(prompts))
            monkeypatch.setattr(sys, "stdin", type("Stdin", (), {"isatty": lambda self: terminal})())
            monkeypatch.delenv("ORBISK_FPGA_KEY_PASSWORD", raising=False)
            if env_password is not None:
                monkeypatch.setenv("ORBISK_FPGA_KEY_PASSWORD", env_password)
            for name in ("k.key", "k.pub"):
                (tmp_path / name).unlink(missing_ok=True)
            status = cli.main(["keygen", "--secret-key", str(secret), "--public-key", str(tmp_path / "k.pub")])
            return status, capsys.readouterr().err.removeprefix("orbisk-fpga: error: ")

        for make, password in [(lambda: keygen("pass phrase", "pass phrase"), "pass phrase"),
                               (lambda: keygen(terminal=False, env_password="for scripts"), "for scripts")]:
            assert make() == (0, "")
            with pytest.raises(signatures.KeyFileError, match="protected by a password"):
                signatures.read_secret_key(secret)
            signatures.read_secret_key(secret, lambda: password)
        assert keygen("pass phrase", "pass phrose") == (1, "the two passwords differ; run keygen again\n")
        assert keygen("", "")[1].startswith("the password is empty; give one, or --no-password")
        assert keygen(terminal=False)[1] == ("a new secret key needs a password: type it at a terminal, set "
                                             "ORBISK_FPGA_KEY_PASSWORD, or give --no-password\n")


class TestHostileInputs:
    """Trusted keys, signatures and other inputs that must not be used: one line, exit 2 or 1, never
    a check turned off, a hang or a traceback."""

    def test_an_empty_trust_keys_variable_is_refused(self, signed):
        refused = run("inspect", signed[1], env={"ORBISK_FPGA_TRUST_KEYS": ""})
        assert refused.returncode == 2 and "ORBISK_FPGA_TRUST_KEYS is set but empty" in refused.stderr

    def test_key_files_others_can_change_or_of_the_wrong_kind_are_refused(self, tmp_path, vendor, signed):
        shared = tmp_path / "shared.pub"
        shutil.copyfile(vendor[1], shared)
        shared.chmod(0o666)
        fifo = tmp_path / "keys.fifo"
        os.mkfifo(fifo)
        for key, reason in ((shared, "can be changed by other users"), (fifo, "is not a regular file"),
                            ("/dev/zero", "is not a regular file")):
            for given in (["--trust-key", key], []):
                env = {} if given else {"ORBISK_FPGA_TRUST_KEYS": str(key)}
                refused = run("inspect", *given, signed[1], env=env)
                assert refused.returncode == 2 and reason in refused.stderr, (key, refused.stderr)
                assert len(refused.stderr.splitlines()) == 1

    def test_a_fifo_as_signature_is_refused(self, vendor, signed):
        signature = Path(f"{signed[1]}.minisig")
        signature.unlink()
        os.mkfifo(signature)
        refused = run("inspect", "--trust-key", vendor[1], signed[1])
        assert refused.returncode == 1 and "is not a regular file" in refused.stderr

    def test_keys_sharing_a_key_id_and_commented_lines_are_all_usable(self, tmp_path, vendor, signed):
        other = base64.b64decode(vendor[2].base64)
        impostor = base64.b64encode(other[:10] + bytes(32)).decode()
        keys = tmp_path / "keys"
        keys.write_text(f"{impostor}\n{vendor[2].base64}  # the vendor, 2026\n")
        checked = run("inspect", signed[1], env={"ORBISK_FPGA_TRUST_KEYS": str(keys)})
        assert checked.returncode == 0, checked.stderr
        assert "  signature     verifies" in checked.stdout.splitlines()

    @pytest.mark.parametrize("device", ["0.0.0.0", "224.0.0.1", "255.255.255.255", "[::]:5025", "ff02::1",
                                        "::%[]::", "[fe80::1%a b]:5025"])
    def test_addresses_of_no_single_device_are_refused(self, signed, device):
        refused = run("update", "--address", device, signed[1])
        assert refused.returncode == 2 and "is not" in refused.stderr, refused.stderr

    def test_retry_inputs_and_exclusive_options(self, tmp_path, signed):
        deep = tmp_path / "deep.json"
        deep.write_text("[" * 100000)
        wrong = tmp_path / "wrong.json"
        wrong.write_text('{"devices": [1]}')
        for source, expected in ((tmp_path, "is a folder, not a result file"),
                                 (deep, "is not a result file of orbisk-fpga update --json: "),
                                 (wrong, "is not a result file of orbisk-fpga update --json: device 1")):
            refused = run("update", "--no-history", "--retry-failed-in", source, signed[1])
            assert refused.returncode != 0 and expected in refused.stderr, refused.stderr
            assert len(refused.stderr.splitlines()) == 1
        for both in (["--retry-failed", "--retry-failed-in", wrong], ["--no-history", "--history", deep]):
            assert run("update", *both, "--address", "127.0.0.1", signed[1]).returncode == 2

    def test_numbers_out_of_range_are_usage_errors(self, signed):
        assert run("update", "--timeout", "1e308", "--address", "127.0.0.1", signed[1]).returncode == 2
        assert run("history", "--limit", "99999999999999999999").returncode == 2
