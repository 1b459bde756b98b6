"""Fuzz target: the vendor's keys and signatures, as orbisk-fpga reads them.

Each input scripts what a user gives: up to three --trust-key values (a key's text as typed, or
the path of a key file with fuzzed contents and permissions), $ORBISK_FPGA_TRUST_KEYS (unset,
empty, naming no file, or naming a file of keys with fuzzed contents and permissions), and an
image with a fuzzed IMAGE.minisig beside it, or none. The keys go through the command line's
trusted_keys, and the image's signature through vendor_signature, as update, verify and status do.

What must hold, whatever the files and texts:
- trusted_keys returns the PublicKey of every --trust-key and every key of the file, or refuses
  with one usage error line (the parser's error; a text given shows as given, line breaks and
  all: that is the display's to show); nothing else escapes.
- vendor_signature returns a signatures.Verified, or raises Failure with one line; nothing else
  escapes. It verifies only what the vendor's secret key signed here: the image as signed, with
  its trusted comment, and only when the vendor's public key is among the trusted keys.
- Neither hangs (libFuzzer's -timeout), nor reads a file of the wrong kind or size.

Texts are used as the shell gives them (no NUL), and name files in the target's own folder only.

    python fuzz/fuzz_trust_files.py -max_total_time=60
"""

import os
import shutil
import tempfile
import types

from fuzz_harness import FuzzInput, FuzzScript, Refused, RefusingParser, expect, expect_one_line, run, scratch_directory
from orbisk_tools.formats import signatures
from orbisk_tools.cli import images as shared

workdir = scratch_directory("trust_files")  # a key given as a name is looked for here, never elsewhere


def _secret_key(text):
    path = os.path.join(workdir, "secret.key")
    with open(path, "w") as file:
        file.write(f"untrusted comment: minisign secret key\n{text}\n")
    try:
        return signatures.read_secret_key(path)
    finally:
        os.unlink(path)


# The vendor: fixed keys without a password (key ids "vendor01" and "other001"), so that the
# seeds stay valid from run to run.
VENDOR = _secret_key("RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAdmVuZG9yMDEAAQIDBAUGBwgJCgsMDQ4P"
                     "EBESExQVFhcYGRobHB0eHwOhB7/zzhC+HXDdGOdLwJln5NYwm6UNXx3chmQSVTG4dKzxwyss76pTytQFSSm4XegMUloONDcg"
                     "1odKENkQdnY=")
OTHER = _secret_key("RWQAAEIyAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAb3RoZXIwMDEBAgMEBQYHCAkKCwwNDg8Q"
                    "ERITFBUWFxgZGhscHR4fIHm1Vi6P5lT5QHixEuipi6eQH4U65pW+1+DjkQutBJZkSacPOU0udCkr0Gwv229VE/mHN0h6eyKd"
                    "jloqnW5KdOY=")
IMAGES = [b"the image " * 4, b""]
COMMENTS = ["timestamp:1\tfile:fw.bin", "another comment"]
MODES = [0o600, 0o644, 0o666, 0o000]


def _signed(image, key, comment, legacy=False):
    """The signature file that `key` makes of `image` ("Ed", of the file itself, when `legacy`)."""
    if legacy:
        return bytes(key.key.sign(image, prehash=False, trusted_comment=comment)) + b"\n"
    with tempfile.TemporaryDirectory(dir=workdir) as folder:
        path = os.path.join(folder, "fw.bin")
        with open(path, "wb") as file:
            file.write(image)
        with open(signatures.sign_file(path, key, comment), "rb") as file:
            return file.read()


SIGNATURES = [_signed(IMAGES[0], VENDOR, COMMENTS[0]), _signed(IMAGES[1], VENDOR, COMMENTS[1], legacy=True),
              _signed(IMAGES[0], OTHER, COMMENTS[0])]
KEY_FILES = [VENDOR.public_key.file_text().encode(), OTHER.public_key.file_text().encode()]


def _write(name, data, mode):
    path = os.path.join(workdir, name)
    with open(path, "wb") as file:
        file.write(data)
    os.chmod(path, mode)
    return path


def _clear():
    for name in os.listdir(workdir):
        path = os.path.join(workdir, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)


def _trust_key(script, index):
    """One --trust-key value: a text as typed (naming at most a file in the folder: no absolute
    path, no parent), or a key file's path."""
    if script.choice(["text", "file"]) == "text":
        return script.argument(200).lstrip("/").replace("..", "._")
    return _write(f"key{index}.pub", script.bytes(600), script.choice(MODES))


def _environment(script):
    """The value of $ORBISK_FPGA_TRUST_KEYS, or None for unset."""
    kind = script.choice(["unset", "file", "empty", "missing"])
    if kind == "file":
        return _write("trusted.keys", script.bytes(1500), script.choice(MODES))
    return {"unset": None, "empty": "", "missing": os.path.join(workdir, "none.keys")}[kind]


def check(data):
    before = os.getcwd()
    os.chdir(workdir)
    try:
        _check(FuzzInput(data))
    finally:
        os.chdir(before)


def _check(script):
    _clear()
    given = [_trust_key(script, index) for index in range(script.number(4))]
    listed = _environment(script)
    image = script.choice(IMAGES + [None])
    image = script.bytes(64) if image is None else image
    image_path = _write("fw.bin", image, 0o644)
    if script.choice(["signature", "none"]) == "signature":
        _write("fw.bin.minisig", script.bytes(700), script.choice(MODES))

    saved = os.environ.pop(shared.TRUST_KEYS_VARIABLE, None)
    if listed is not None:
        os.environ[shared.TRUST_KEYS_VARIABLE] = listed
    try:
        keys = shared.trusted_keys(types.SimpleNamespace(trust_key=given, parser=RefusingParser()))
    except Refused as refused:
        expect_one_line(str(refused), "a refused key", [*given, listed])
        return
    finally:
        os.environ.pop(shared.TRUST_KEYS_VARIABLE, None)
        if saved is not None:
            os.environ[shared.TRUST_KEYS_VARIABLE] = saved
    expect(all(isinstance(key, signatures.PublicKey) and len(key.key_id) == 8 and len(key.raw) == 32 for key in keys)
           and len(keys) >= len(given) and (listed is not None or len(keys) == len(given)),
           "trusted_keys returned other than one key for each --trust-key and each listed key", keys, given, listed)
    if not keys:
        return

    try:
        verified = shared.vendor_signature(image_path, keys)
    except shared.Failure as failure:
        expect_one_line(str(failure), "a refused signature")
        return
    expect(isinstance(verified, signatures.Verified), "vendor_signature returned no Verified", verified)
    expect(VENDOR.public_key in keys and verified.key_id == VENDOR.public_key.id_text,
           "a signature verified without the vendor's key among the trusted ones", verified, keys)
    expect((image, verified.trusted_comment) in list(zip(IMAGES, COMMENTS)),
           "a signature verified for what the vendor did not sign", image, verified.trusted_comment)


def seeds():
    """The vendor's key file and its key's text, with a signature of each kind; a file of keys
    with comments; keys and files that another user could change; a signature by a key not
    trusted; and no signature at all."""
    def script(keys, listed=("unset",), image=0, signature=None, mode=0o644):
        out = FuzzScript().number(len(keys), 4)
        for kind, value, *key_mode in keys:
            out.choice(["text", "file"], kind)
            if kind == "text":
                out.bytes(value, 200)
            else:
                out.bytes(value, 600).choice(MODES, key_mode[0] if key_mode else 0o600)
        out.choice(["unset", "file", "empty", "missing"], listed[0])
        if listed[0] == "file":
            out.bytes(listed[1], 1500).choice(MODES, listed[2])
        out.choice([*IMAGES, None], IMAGES[image])
        if signature is None:
            out.choice(["signature", "none"], "none")
        else:
            out.choice(["signature", "none"], "signature").bytes(signature, 700).choice(MODES, mode)
        return bytes(out.data)

    vendor_text = VENDOR.public_key.base64.encode()
    listing = b"# the vendors\n" + KEY_FILES[1] + b"\n" + vendor_text + b"  # ours\n"
    yield script([("file", KEY_FILES[0])], signature=SIGNATURES[0])
    yield script([("text", vendor_text)], image=1, signature=SIGNATURES[1])
    yield script([("text", KEY_FILES[0])], signature=SIGNATURES[0].replace(b"\n", b"\r\n"))
    yield script([], ("file", listing, 0o600), signature=SIGNATURES[0])
    yield script([], ("file", listing, 0o666), signature=SIGNATURES[0])
    yield script([("file", KEY_FILES[0], 0o666)], signature=SIGNATURES[0])
    yield script([("text", vendor_text)], ("empty",), signature=SIGNATURES[0])
    yield script([("text", b"key1.pub"), ("file", KEY_FILES[1])], ("missing",), signature=SIGNATURES[2])
    yield script([("text", vendor_text)], signature=SIGNATURES[2])
    yield script([("text", vendor_text)])


if __name__ == "__main__":
    run("trust_files", check, seeds, ["orbisk_tools.formats.signatures", "orbisk_tools.cli.images",
                                      "orbisk_tools.formats.files", "minisign.helpers", "base64"])
