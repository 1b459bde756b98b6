"""Detached image signatures: interoperability with the minisign program, and every refusal."""

import base64
import hashlib
import os
import pathlib
import pty
import shutil
import stat
import subprocess

import pytest

from orbisk_tools.formats import files, signatures

pytestmark = pytest.mark.cryptography
from orbisk_tools.formats.signatures import KeyFileError, SignatureError

# Cheap scrypt costs for our own password-protected keys, one for each way of choosing
# scrypt's parameters from them: N from the operations limit (N = 2^10, p = 1), or from the
# memory limit (N = 2^14, p = 2).
CHEAP = {"opslimit": 1 << 15, "memlimit": 1 << 24}
CHEAP_BY_MEMORY = {"opslimit": 1 << 20, "memlimit": 1 << 24}


@pytest.fixture
def minisign_program():
    path = shutil.which("minisign")
    if path is None:
        pytest.skip("the minisign program is not installed (Debian package minisign); "
                    "the interoperability tests need it")
    return path


# minisign is not our code: the sanitizer build's runtime, preloaded into every process the
# tests start, must not judge its leaks.
MINISIGN_ENVIRONMENT = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def run(argv, password=None):
    """Runs `argv` to the end; with a password, on a pseudo-terminal that answers every
    password prompt. Returns the output; fails the test when the program fails."""
    if password is None:
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              env=MINISIGN_ENVIRONMENT)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout
    pid, fd = pty.fork()
    if pid == 0:
        os.execve(argv[0], argv, MINISIGN_ENVIRONMENT)
    output = b""
    while True:
        try:
            chunk = os.read(fd, 1024)
        except OSError:  # the child closed the terminal
            break
        if not chunk:
            break
        output += chunk
        if output.rstrip().endswith(b":"):
            os.write(fd, password.encode() + b"\n")
            output += b"\n"
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, output
    return output.decode()


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fpga.tbin"
    path.write_bytes(bytes(range(256)) * 64)
    return path


@pytest.fixture
def signed(tmp_path, image):
    """An image signed by our own key: (image, its public key, the signature's path)."""
    public_key = signatures.generate_keypair(tmp_path / "vendor.key", tmp_path / "vendor.pub")
    path = pathlib.Path(signatures.sign_file(image, signatures.read_secret_key(tmp_path / "vendor.key")))
    return image, public_key, path


class TestInteroperability:
    def test_minisign_signatures_and_keys_work_with_ours(self, minisign_program, tmp_path, image):
        secret, public = str(tmp_path / "m.key"), str(tmp_path / "m.pub")
        run([minisign_program, "-G", "-W", "-s", secret, "-p", public])
        key = signatures.read_public_key(public)
        assert open(public).readline().split()[-1] == key.id_text
        for legacy in ([], ["-l"]):
            run([minisign_program, "-S", *legacy, "-s", secret, "-m", str(image),
                 "-t", "release 1.4"])
            verified = signatures.verify_file(image, [key])
            assert (verified.key_id, verified.trusted_comment) == (key.id_text, "release 1.4")

        signatures.sign_file(image, signatures.read_secret_key(secret), "signed by us")
        assert "signed by us" in run([minisign_program, "-V", "-p", public, "-m", str(image)])

        # A trusted comment is printable ASCII: the name shows escaped, and the file still signs.
        named = image.rename(tmp_path / "fpga\u00e9\t.tbin")
        signatures.sign_file(named, signatures.read_secret_key(secret))
        assert "\tfile:fpga\\xe9\\t.tbin\tsha256:" in run([minisign_program, "-V", "-p", public, "-m", str(named)])

    def test_a_key_minisign_protected_with_a_password_signs_with_ours(self, minisign_program,
                                                                       tmp_path, image):
        secret, public = str(tmp_path / "m.key"), str(tmp_path / "m.pub")
        run([minisign_program, "-G", "-s", secret, "-p", public], password="pass phrase")
        asked = []
        key = signatures.read_secret_key(secret, lambda: asked.append(1) or "pass phrase")
        assert asked == [1]
        signatures.sign_file(image, key)
        run([minisign_program, "-V", "-p", public, "-m", str(image)])

    @pytest.mark.parametrize("password, cost", [
        (None, {}), ("pass phrase", CHEAP), ("pass phrase", CHEAP_BY_MEMORY)])
    def test_our_keys_work_with_minisign(self, minisign_program, tmp_path, image, password, cost):
        secret, public = str(tmp_path / "o.key"), str(tmp_path / "o.pub")
        key = signatures.generate_keypair(secret, public, password, **cost)
        run([minisign_program, "-S", "-s", secret, "-m", str(image)], password)
        assert signatures.verify_file(image, [key]).key_id == key.id_text

        signatures.sign_file(image, signatures.read_secret_key(secret, lambda: password))
        output = run([minisign_program, "-V", "-P", key.base64, "-m", str(image)])
        sha256 = hashlib.sha256(image.read_bytes()).hexdigest()
        assert f"file:fpga.tbin\tsha256:{sha256}" in output


def flip_line(path, number, change):
    lines = path.read_text().split("\n")
    lines[number] = change(lines[number])
    path.write_text("\n".join(lines))


def flip_base64(line):
    raw = bytearray(base64.b64decode(line))
    raw[-1] ^= 1
    return base64.b64encode(raw).decode()


class TestVerification:
    def test_a_good_signature_says_who_signed_and_what(self, signed):
        image, key, path = signed
        verified = signatures.verify_file(image, [key])
        assert verified.key_id == key.id_text and verified.signature_path == str(path)
        found = signatures.read_signature(path)
        assert found.prehashed and found.trusted_comment == verified.trusted_comment
        assert f"sha256:{hashlib.sha256(image.read_bytes()).hexdigest()}" in verified.trusted_comment
        assert [name for name in os.listdir(image.parent) if name.endswith(".tmp")] == []

    @pytest.mark.parametrize("damage, message", [
        ("image", "does not match .*fpga.tbin: the image or its signature was changed; get both again"),
        ("signature", "does not match .*: the image or its signature was changed"),
        ("trusted comment", "trusted comment in .* does not verify: the signature was changed"),
        ("untrusted key", "made by key [0-9A-F]{1,16}, which is not trusted; check the keys given in trust_keys"),
        ("missing", "no signature: .*fpga.tbin.minisig does not exist; put the image's signature"),
        ("truncated", "is not a minisign signature file; get the image's signature again"),
        ("other algorithm", "signature algorithm other than Ed25519"),
    ])
    def test_each_refusal_says_which_and_what_to_do(self, signed, tmp_path, damage, message):
        image, key, path = signed
        trusted = [key]
        if damage == "image":
            data = bytearray(image.read_bytes())
            data[1000] ^= 1
            image.write_bytes(data)
        elif damage == "signature":
            flip_line(path, 1, flip_base64)
        elif damage == "trusted comment":
            flip_line(path, 2, lambda line: line.replace("fpga", "fpgb"))
        elif damage == "untrusted key":
            trusted = [signatures.generate_keypair(tmp_path / "x.key", tmp_path / "x.pub")]
        elif damage == "missing":
            path.unlink()
        elif damage == "truncated":
            path.write_text(path.read_text()[:100])
        elif damage == "other algorithm":
            flip_line(path, 1, lambda line: base64.b64encode(b"Xx" + base64.b64decode(line)[2:]).decode())
        with pytest.raises(SignatureError, match=message) as refused:
            signatures.verify_file(image, trusted)
        assert "\n" not in str(refused.value)


class TestKeys:
    def test_keygen_writes_an_owner_only_secret_key_and_never_overwrites(self, tmp_path):
        secret, public = tmp_path / "k.key", tmp_path / "k.pub"
        umask = os.umask(0)  # owner-only whatever the umask
        try:
            key = signatures.generate_keypair(secret, public)
        finally:
            os.umask(umask)
        assert stat.S_IMODE(secret.stat().st_mode) == 0o600
        assert public.read_text() == key.file_text()
        before = (secret.read_bytes(), public.read_bytes())

        for pair in [(secret, tmp_path / "new.pub"), (tmp_path / "new.key", public)]:
            with pytest.raises(KeyFileError, match="exists; key files are never overwritten"):
                signatures.generate_keypair(*pair)
        assert (secret.read_bytes(), public.read_bytes()) == before
        assert sorted(os.listdir(tmp_path)) == ["k.key", "k.pub"]

        target = tmp_path / "target"
        target.write_text("keep")
        os.symlink(target, tmp_path / "link.key")
        with pytest.raises(KeyFileError, match="exists"):
            signatures.generate_keypair(tmp_path / "link.key", tmp_path / "l.pub")
        assert target.read_text() == "keep"

    def test_a_key_file_that_appears_while_the_keys_are_made_is_kept(self, tmp_path, monkeypatch):
        secret, public = tmp_path / "k.key", tmp_path / "k.pub"
        commit = files.Output.commit

        def taken_meanwhile(output, data):
            if output.path == public:
                public.write_text("someone else's")
            commit(output, data)

        monkeypatch.setattr(files.Output, "commit", taken_meanwhile)
        with pytest.raises(KeyFileError, match=f"{public} exists; key files are never overwritten"):
            signatures.generate_keypair(secret, public)
        assert os.listdir(tmp_path) == ["k.pub"] and public.read_text() == "someone else's"

    def test_a_damaged_secret_key_is_refused(self, tmp_path):
        secret = tmp_path / "k.key"
        signatures.generate_keypair(secret, tmp_path / "k.pub")
        comment, line = secret.read_text().splitlines()
        raw = bytearray(base64.b64decode(line))
        raw[-70] ^= 1  # a byte of the Ed25519 seed
        secret.write_text(f"{comment}\n{base64.b64encode(raw).decode()}\n")
        with pytest.raises(KeyFileError, match=f"the secret key {secret} is damaged"):
            signatures.read_secret_key(secret)

    def test_a_password_key_needs_the_right_password(self, tmp_path):
        secret = tmp_path / "k.key"
        key = signatures.generate_keypair(secret, tmp_path / "k.pub", "right", **CHEAP)
        assert signatures.read_secret_key(secret, lambda: "right").public_key == key
        with pytest.raises(KeyFileError, match="wrong password for the secret key"):
            signatures.read_secret_key(secret, lambda: "wrong")
        with pytest.raises(KeyFileError, match="protected by a password"):
            signatures.read_secret_key(secret)

    def test_public_keys_as_text_as_file_and_as_a_list(self, tmp_path):
        keys = [signatures.generate_keypair(tmp_path / f"{n}.key", tmp_path / f"{n}.pub")
                for n in "ab"]
        a_file = tmp_path / "a.pub"
        for given in [keys[0].base64, a_file.read_text(), str(a_file), a_file]:
            assert signatures.read_public_key(given) == keys[0]
        with pytest.raises(KeyFileError, match="neither a minisign public key nor a readable"):
            signatures.read_public_key(keys[0].base64[:-4])

        trusted = tmp_path / "trusted"
        trusted.write_text(f"# the vendor's keys\n{keys[0].base64}\n\n{keys[1].file_text()}")
        assert signatures.read_trusted_keys(trusted) == keys
        trusted.write_text(f"{keys[0].base64}\nnot a key\n")
        with pytest.raises(KeyFileError, match="trusted, line 2, is not a minisign public key"):
            signatures.read_trusted_keys(trusted)
