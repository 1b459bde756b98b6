"""Detached image signatures in the format of the minisign program (Ed25519), beside the image
as IMAGE.minisig. py-minisign reads and writes the keys and signatures, encrypts secret keys
and verifies; this module adds the tools' file policy (keys are never overwritten, secret keys
are their owner's only, key files must be trustworthy), their messages and the key id as
minisign shows it: upper-case hex of its 8 bytes read as a little-endian integer.

The library (and cryptography under it) is imported only when a key or a signature is used:
importing this module, as every command does, then costs nothing.
"""

from __future__ import annotations

import base64
import dataclasses
import datetime
import hashlib
import os
import re
import time
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING

from orbisk_tools.formats import files
from orbisk_tools.formats.files import StrPath

if TYPE_CHECKING:
    import minisign
from orbisk_tools.wording import named

SIGNATURE_SUFFIX = ".minisig"

# The scrypt cost of `minisign -G`: 1 GiB of memory.
DEFAULT_OPSLIMIT = 33554432
DEFAULT_MEMLIMIT = 1073741824

# A signature file is four short lines; a key file, a few; a trusted keys file, some hundreds.
_MAX_SIGNATURE_FILE_SIZE = 64 * 1024
_MAX_KEY_FILE_SIZE = 1024 * 1024


class KeyFileError(Exception):
    """A key that cannot be read, written or decrypted; the message is one line for the user."""


class SignatureError(Exception):
    """An image whose signature is missing, malformed, untrusted or does not verify; the message
    is one line for the user."""


def key_id_text(key_id: bytes) -> str:
    """The key id as minisign shows it."""
    return format(int.from_bytes(key_id, "little"), "X")  # as minisign prints it: no leading zeros


def _split(line: bytes | str) -> tuple[bytes, bytes]:
    """(key id, key or signature) of a key's or a signature's base64 line as the library wrote
    it, after its 2-byte algorithm; the library keeps both to itself."""
    raw = base64.b64decode(line)
    return raw[2:10], raw[10:]


@dataclasses.dataclass(frozen=True)
class PublicKey:
    key: minisign.PublicKey

    @property
    def key_id(self) -> bytes:
        return _split(self.key.to_base64())[0]

    @property
    def raw(self) -> bytes:  # the Ed25519 public key
        return _split(self.key.to_base64())[1]

    @property
    def id_text(self) -> str:
        return key_id_text(self.key_id)

    @property
    def base64(self) -> str:
        return self.key.to_base64().decode("ascii")

    def file_text(self) -> str:
        """The public key file as `minisign -G` writes it."""
        return f"untrusted comment: minisign public key {self.id_text}\n{self.base64}\n"


@dataclasses.dataclass(frozen=True)
class SecretKey:
    key: minisign.SecretKey  # decrypted
    public_key: PublicKey


@dataclasses.dataclass(frozen=True)
class Signature:
    """A signature file as read, not yet verified."""
    signature: minisign.Signature

    @property
    def key_id(self) -> bytes:
        return _split(bytes(self.signature).split(b"\n")[1])[0]

    @property
    def file_signature(self) -> bytes:  # the Ed25519 signature of the file, or of its hash
        return _split(bytes(self.signature).split(b"\n")[1])[1]

    @property
    def id_text(self) -> str:
        return key_id_text(self.key_id)

    @property
    def prehashed(self) -> bool:  # "ED": the file's BLAKE2b-512 is signed, not the file itself
        return self.signature.is_prehashed()

    @property
    def trusted_comment(self) -> str:
        return self.signature.trusted_comment


@dataclasses.dataclass(frozen=True)
class Verified:
    key_id: str  # as minisign shows it
    trusted_comment: str
    signature_path: str


def signature_path_for(image_path: StrPath) -> str:
    return os.fspath(image_path) + SIGNATURE_SUFFIX


# Keys


def _decode_public_key(line: str) -> PublicKey | None:
    import minisign

    try:
        return PublicKey(minisign.PublicKey.from_base64(line))
    except minisign.ParseError:
        return None


def _parse_public_keys(text: str, source: StrPath) -> list[PublicKey]:
    """The keys in `text`: base64 keys one a line, each optionally after the "untrusted
    comment:" line of a public key file; blank lines and lines starting with "#" are skipped."""
    keys = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if line.startswith("untrusted comment: "):
            continue
        line = line.partition("#")[0].strip()  # base64 holds no "#": the rest is a comment
        if not line:
            continue
        key = _decode_public_key(line)
        if key is None:
            raise KeyFileError(f"{source}, line {number}, is not a minisign public key")
        keys.append(key)
    return keys


def _read_text(path: StrPath, what: str, private: bool = False) -> str:
    """The text of a key file; with `private`, one that only its owner (the user or root) can
    change, since its keys decide what is trusted."""
    try:
        data = files.read_trusted_file(path, _MAX_KEY_FILE_SIZE, f"a {what}", private=private)
        return data.decode("utf-8")
    except files.Unusable as error:
        raise KeyFileError(str(error)) from None
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "not text"
        raise KeyFileError(f"cannot read the {what} {os.fspath(path)}: {reason}") from None


def read_public_key(text_or_path: StrPath) -> PublicKey:
    """A public key given as the base64 key itself (as `minisign -P` takes it), as the content
    of a public key file, or as the path of one."""
    if isinstance(text_or_path, str):
        key = _decode_public_key(text_or_path.strip())
        if key is not None:
            return key
        if "\n" in text_or_path.strip():
            text, source = text_or_path, "the public key text"
        else:
            try:
                text, source = _read_text(text_or_path, "public key file", private=True), text_or_path
            except KeyFileError as error:
                if not os.path.lexists(text_or_path):
                    raise KeyFileError(f"{text_or_path} is neither a minisign public key nor a "
                                       "readable public key file") from None
                raise error from None
    else:
        text, source = _read_text(text_or_path, "public key file", private=True), os.fspath(text_or_path)
    keys = _parse_public_keys(text, source)
    if len(keys) != 1:
        raise KeyFileError(f"{source} holds {len(keys)} public keys, not one")
    return keys[0]


def read_trusted_keys(path: StrPath) -> list[PublicKey]:
    """The public keys in a file of keys: one base64 key or public key file content per entry,
    comments allowed."""
    return _parse_public_keys(_read_text(path, "trusted keys file", private=True), os.fspath(path))


def read_secret_key(path: StrPath, password_source: Callable[[], str] | None = None) -> SecretKey:
    """The secret key in a file that `minisign -G` or `generate_keypair` wrote.

    `password_source` is called, without arguments, only for a key protected by a password;
    it returns the password (str).
    """
    import minisign

    name = os.fspath(path)
    try:
        key = minisign.SecretKey.from_bytes(_read_text(path, "secret key file").encode("utf-8"))
    except minisign.ParseError:
        raise KeyFileError(f"{name} is not a minisign secret key") from None
    if key.is_encrypted():
        if password_source is None:
            raise KeyFileError(f"the secret key {name} is protected by a password; give the password")
        try:
            key.decrypt(password_source())
        except minisign.Error:  # the decrypted key's checksum is wrong (or its scrypt cost is out of range)
            raise KeyFileError(f"wrong password for the secret key {name}") from None
        except (MemoryError, OverflowError):
            raise KeyFileError(f"the secret key {name} asks for a password hash this machine "
                               "cannot compute") from None
    public_key = PublicKey(key.get_public_key())
    # The library keeps the public key as the file holds it: a damaged file signs in vain.
    probe = key.sign(b"", trusted_comment="")
    try:
        public_key.key.verify(b"", probe)
    except minisign.VerifyError:
        raise KeyFileError(f"the secret key {name} is damaged") from None
    return SecretKey(key, public_key)


def generate_keypair(secret_key_path: str, public_key_path: str, password: str | None = None,
                     opslimit: int = DEFAULT_OPSLIMIT, memlimit: int = DEFAULT_MEMLIMIT) -> PublicKey:
    """Makes a key pair and writes both files as `minisign -G` does (`minisign -G -W` when
    `password` is None). Returns the public key.

    Neither file is ever overwritten. The secret key file is readable by its owner only; each
    file appears whole or not at all. OSError names the file.
    """
    import minisign

    try:
        with (files.Output(secret_key_path, new=True, private=True) as secret,
              files.Output(public_key_path, new=True) as public):
            pair = minisign.KeyPair.generate()
            if password is not None:
                pair.secret_key.encrypt(password, opslimit=opslimit, memlimit=memlimit)
            public_key = PublicKey(pair.public_key)
            secret.commit(bytes(pair.secret_key) + b"\n")
            try:
                public.commit(public_key.file_text().encode("ascii"))
            except BaseException:
                os.unlink(secret_key_path)
                raise
    except FileExistsError as error:
        raise KeyFileError(f"{error.filename} exists; key files are never overwritten: "
                           "name another file") from None
    return public_key


# Signatures


def default_trusted_comment(image_path: StrPath) -> str:
    """minisign's own trusted comment, with the file's SHA-256 added. A trusted comment is
    printable ASCII: other characters of the file's name show escaped, as Python writes them."""
    with open(image_path, "rb") as file:
        sha256 = hashlib.file_digest(file, "sha256").hexdigest()
    name = "".join(c if " " <= c < "\x7f" else ascii(c)[1:-1] for c in os.path.basename(os.fspath(image_path)))
    return f"timestamp:{int(time.time())}\tfile:{name}\tsha256:{sha256}"


def shown_trusted_comment(comment: str) -> str:
    """A trusted comment as the user reads it: its field timestamp:N (seconds since 1970, as minisign
    writes it) as timestamp:2026-12-09T14:02:11Z, the time in UTC in ISO 8601; the other fields, and
    a timestamp that is no such time, as they are."""
    def shown(field: str) -> str:
        name, _, value = field.partition(":")
        if name == "timestamp" and re.fullmatch("[0-9]{1,12}", value):
            try:
                moment = datetime.datetime.fromtimestamp(int(value), datetime.timezone.utc)
            except (ValueError, OverflowError, OSError):  # past the year 9999
                return field
            return f"timestamp:{moment:%Y-%m-%dT%H:%M:%SZ}"
        return field

    return "\t".join(map(shown, comment.split("\t")))


def sign_file(image_path: StrPath, secret_key: SecretKey, trusted_comment: str | None = None) -> str:
    """Signs the whole file at `image_path` and writes IMAGE.minisig beside it, replacing an
    older signature whole (see files.Output). Returns the signature's path. A trusted comment
    is one line of printable ASCII and tabs (ValueError)."""
    if trusted_comment is None:
        trusted_comment = default_trusted_comment(image_path)
    with open(image_path, "rb") as image:
        signature = secret_key.key.sign(
            image, prehash=True, trusted_comment=trusted_comment,
            untrusted_comment=f"signature from secret key {secret_key.public_key.id_text}")
    path = signature_path_for(image_path)
    files.write_whole(path, bytes(signature) + b"\n")
    return path


def read_signature(path: StrPath) -> Signature:
    """The Signature in the file at `path`; raises SignatureError when it is missing or is not
    a signature file."""
    import minisign

    path = os.fspath(path)
    try:
        data = files.read_trusted_file(path, _MAX_SIGNATURE_FILE_SIZE, "a signature file")
    except files.Unusable as error:
        raise SignatureError(f"{error}; get the image's signature again") from None
    except FileNotFoundError:
        raise SignatureError(f"no signature: {path} does not exist; put the image's signature "
                             "file from its vendor there") from None
    except OSError as error:
        raise SignatureError(f"cannot read the signature {path}: {error.strerror}") from None
    try:
        return Signature(minisign.Signature.from_bytes(data.rstrip(b"\r\n")))
    except minisign.ParseError:
        if _names_another_algorithm(data):
            raise SignatureError(f"{path} uses a signature algorithm other than Ed25519; "
                                 "get the image's signature again") from None
        raise SignatureError(f"{path} is not a minisign signature file; get the image's "
                             "signature again") from None


def _names_another_algorithm(data: bytes) -> bool:
    """Whether a signature file that the library refused has a signature line of the right
    size (algorithm, key id, signature) for an algorithm other than Ed25519's two."""
    try:
        line = base64.b64decode(data.splitlines()[1], validate=True)
    except (IndexError, ValueError):
        return False
    return len(line) == 2 + 8 + 64 and line[:2] not in (b"Ed", b"ED")


def verify_file(image_path: StrPath, trusted_keys: Iterable[PublicKey], signature_path: StrPath | None = None) -> Verified:
    """Checks the detached signature of the file at `image_path` (IMAGE.minisig unless
    `signature_path` is given) against `trusted_keys` (PublicKey objects).

    Returns a Verified; raises SignatureError, whose message says what is wrong and what to
    do, when the signature is missing, malformed, made by a key not trusted or does not verify,
    and OSError when the image cannot be read.
    """
    import minisign

    path = os.fspath(signature_path) if signature_path is not None else signature_path_for(image_path)
    found = read_signature(path)
    candidates = [k for k in trusted_keys if k.key_id == found.key_id]
    if not candidates:
        raise SignatureError(f"{path} was made by key {found.id_text}, which is not trusted; check "
                             f"{named('trust_keys')}")
    for key in candidates:  # key ids are not unique: every trusted key with this one is tried
        with open(image_path, "rb") as image:
            try:
                key.key.verify(image, found.signature)
            except minisign.VerifyError:
                continue
        return Verified(key.id_text, found.trusted_comment, path)
    if any(_signs_the_file(key, found, image_path) for key in candidates):
        raise SignatureError(f"the trusted comment in {path} does not verify: the signature was "
                             "changed; get it again")
    raise SignatureError(f"the signature {path} does not match {os.fspath(image_path)}: the "
                         "image or its signature was changed; get both again")


def _signs_the_file(key: PublicKey, found: Signature, image_path: StrPath) -> bool:
    """Whether the part of `found` over the file verifies with `key`. The library checks it and
    the trusted comment's at once; this only tells which of the two a refusal is about."""
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives.asymmetric import ed25519

    with open(image_path, "rb") as image:
        data = hashlib.file_digest(image, hashlib.blake2b).digest() if found.prehashed else image.read()
    try:
        ed25519.Ed25519PublicKey.from_public_bytes(key.raw).verify(found.file_signature, data)
    except InvalidSignature:
        return False
    return True
