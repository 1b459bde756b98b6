"""Detached image signatures in the minisign format (Ed25519), made and checked by the `minisign`
program as well as by these tools.

A signature lives beside the image as IMAGE.minisig:

    untrusted comment: <text>
    base64("ED" + key id (8) + Ed25519 signature of BLAKE2b-512 of the file (64))
    trusted comment: <text>
    base64(Ed25519 signature of the 64 signature bytes followed by the trusted comment (64))

Legacy "Ed" signatures sign the file itself instead of its hash. A public key is
base64("Ed" + key id (8) + Ed25519 public key (32)); its key id is shown as upper-case
hex digits of the 8 bytes read as a little-endian integer.
"""

import base64
import dataclasses
import hashlib
import hmac
import os
import secrets
import time

from orbisk_tools.formats import files

SIGNATURE_SUFFIX = ".minisig"

_ALGORITHM = b"Ed"
_PREHASHED = b"ED"
_SCRYPT = b"Sc"
_NO_KDF = b"\0\0"
_BLAKE2B = b"B2"
_UNTRUSTED = "untrusted comment: "
_TRUSTED = "trusted comment: "

# The scrypt cost of `minisign -G`: 1 GiB of memory.
DEFAULT_OPSLIMIT = 33554432
DEFAULT_MEMLIMIT = 1073741824

# The part of a secret key that the password encrypts: key id, seed + public key, checksum.
_SECRET_PART_SIZE = 8 + 64 + 32
_SECRET_KEY_SIZE = 2 + 2 + 2 + 32 + 8 + 8 + _SECRET_PART_SIZE

# A signature file is four short lines; anything far longer is not one.
_MAX_SIGNATURE_FILE_SIZE = 64 * 1024


class MinisignError(Exception):
    """A key or signature that cannot be used; the message is one line for the user."""


class KeyFileError(MinisignError):
    """A key that cannot be read, written or decrypted."""


class SignatureError(MinisignError):
    """An image whose signature is missing, malformed, untrusted or does not verify."""


def _ed25519():
    """cryptography's Ed25519, loaded only when a key or a signature is used: importing this
    module (as every command does) then costs nothing."""
    from cryptography.hazmat.primitives.asymmetric import ed25519

    return ed25519


def key_id_text(key_id):
    """The key id as minisign shows it."""
    return format(int.from_bytes(key_id, "little"), "X")  # as minisign prints it: no leading zeros


@dataclasses.dataclass(frozen=True)
class PublicKey:
    key_id: bytes
    raw: bytes  # the Ed25519 public key

    @property
    def id_text(self):
        return key_id_text(self.key_id)

    @property
    def base64(self):
        return base64.b64encode(_ALGORITHM + self.key_id + self.raw).decode("ascii")

    def verifies(self, signature, data):
        from cryptography.exceptions import InvalidSignature

        try:
            _ed25519().Ed25519PublicKey.from_public_bytes(self.raw).verify(signature, data)
        except InvalidSignature:
            return False
        return True

    def file_text(self):
        """The public key file as `minisign -G` writes it."""
        return f"{_UNTRUSTED}minisign public key {self.id_text}\n{self.base64}\n"


@dataclasses.dataclass(frozen=True)
class SecretKey:
    key_id: bytes
    key: object  # cryptography's Ed25519PrivateKey

    @property
    def public_key(self):
        return PublicKey(self.key_id, self.key.public_key().public_bytes_raw())


@dataclasses.dataclass(frozen=True)
class Signature:
    """A signature file as read, not yet verified."""
    prehashed: bool  # "ED": the file's BLAKE2b-512 is signed, not the file itself
    key_id: bytes
    signature: bytes
    comment_bytes: bytes  # the trusted comment as signed
    global_signature: bytes

    @property
    def id_text(self):
        return key_id_text(self.key_id)

    @property
    def trusted_comment(self):
        return self.comment_bytes.decode("utf-8", "replace")


@dataclasses.dataclass(frozen=True)
class Verified:
    key_id: str  # as minisign shows it
    trusted_comment: str
    signature_path: str


def signature_path_for(image_path):
    return os.fspath(image_path) + SIGNATURE_SUFFIX


# Keys


def _decode_public_key(line):
    try:
        raw = base64.b64decode(line, validate=True)
    except ValueError:
        raw = b""
    if len(raw) != 2 + 8 + 32 or raw[:2] != _ALGORITHM:
        return None
    try:
        _ed25519().Ed25519PublicKey.from_public_bytes(raw[10:])
    except ValueError:
        return None
    return PublicKey(raw[2:10], raw[10:])


def _parse_public_keys(text, source):
    """The keys in `text`: base64 keys one a line, each optionally after the "untrusted
    comment:" line of a public key file; blank lines and lines starting with "#" are skipped."""
    keys = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line.startswith(_UNTRUSTED):
            line = line.partition("#")[0].strip()  # base64 holds no "#": the rest is a comment
        if not line or line.startswith(_UNTRUSTED):
            continue
        key = _decode_public_key(line)
        if key is None:
            raise KeyFileError(f"{source}, line {number}, is not a minisign public key")
        keys.append(key)
    return keys


# A key file is a few short lines; a trusted keys file, some hundreds of them.
_MAX_KEY_FILE_SIZE = 1024 * 1024


def _read_text(path, what, private=False):
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


def read_public_key(text_or_path):
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


def read_trusted_keys(path):
    """The public keys in a file of keys: one base64 key or public key file content per entry,
    comments allowed."""
    return _parse_public_keys(_read_text(path, "trusted keys file", private=True), os.fspath(path))


def _scrypt_parameters(opslimit, memlimit):
    """(N, r, p) as libsodium's crypto_pwhash_scryptsalsa208sha256 picks them."""
    opslimit = max(opslimit, 32768)
    r = 8
    if opslimit < memlimit // 32:
        p = 1
        max_n = opslimit // (4 * r)
    else:
        max_n = memlimit // (128 * r)
    n_log2 = 1
    while n_log2 < 63 and (1 << n_log2) <= max_n // 2:
        n_log2 += 1
    n = 1 << n_log2
    if opslimit >= memlimit // 32:
        p = min((opslimit // 4) // n, 0x3FFFFFFF) // r
    return n, r, p


def _key_stream(password, salt, opslimit, memlimit):
    n, r, p = _scrypt_parameters(opslimit, memlimit)
    if isinstance(password, str):
        password = password.encode("utf-8")
    # scrypt's own buffers, plus room for hashlib's bookkeeping
    maxmem = 128 * r * (n + p + 2) + (1 << 20)
    return hashlib.scrypt(password, salt=salt, n=n, r=r, p=p, maxmem=maxmem, dklen=_SECRET_PART_SIZE)


def _checksum(key_id, secret):
    return hashlib.blake2b(_ALGORITHM + key_id + secret, digest_size=32).digest()


def _xor(data, stream):
    return bytes(a ^ b for a, b in zip(data, stream))


def read_secret_key(path, password_source=None):
    """The secret key in a file that `minisign -G` or `generate_keypair` wrote.

    `password_source` is called, without arguments, only for a key protected by a password;
    it returns the password (str or bytes).
    """
    lines = _read_text(path, "secret key file").splitlines()
    try:
        raw = base64.b64decode(lines[1].strip(), validate=True)
    except (IndexError, ValueError):
        raw = b""
    if (len(raw) != _SECRET_KEY_SIZE or not lines[0].startswith(_UNTRUSTED)
            or raw[:2] != _ALGORITHM or raw[4:6] != _BLAKE2B):
        raise KeyFileError(f"{os.fspath(path)} is not a minisign secret key")
    kdf, salt = raw[2:4], raw[6:38]
    opslimit, memlimit = int.from_bytes(raw[38:46], "little"), int.from_bytes(raw[46:54], "little")
    part = raw[54:]
    if kdf == _SCRYPT:
        if password_source is None:
            raise KeyFileError(f"the secret key {os.fspath(path)} is protected by a password; "
                               "give the password")
        try:
            part = _xor(part, _key_stream(password_source(), salt, opslimit, memlimit))
        except (ValueError, OverflowError, MemoryError):
            raise KeyFileError(f"the secret key {os.fspath(path)} asks for a password hash "
                               "this machine cannot compute") from None
    elif kdf != _NO_KDF:
        raise KeyFileError(f"{os.fspath(path)} uses a password hash other than scrypt")
    key_id, secret, checksum = part[:8], part[8:72], part[72:]
    # `minisign -G -W` leaves the checksum of a key without a password empty.
    checksum_ok = hmac.compare_digest(checksum, _checksum(key_id, secret)) or (
        kdf == _NO_KDF and checksum == bytes(32))
    key = _ed25519().Ed25519PrivateKey.from_private_bytes(secret[:32])
    if not checksum_ok or key.public_key().public_bytes_raw() != secret[32:]:
        if kdf == _SCRYPT:
            raise KeyFileError(f"wrong password for the secret key {os.fspath(path)}")
        raise KeyFileError(f"the secret key {os.fspath(path)} is damaged")
    return SecretKey(key_id, key)


def _secret_key_text(secret_key, password, opslimit, memlimit):
    seed = secret_key.key.private_bytes_raw()
    secret = seed + secret_key.key.public_key().public_bytes_raw()
    part = secret_key.key_id + secret + _checksum(secret_key.key_id, secret)
    if password is None:
        header = _ALGORITHM + _NO_KDF + _BLAKE2B + bytes(32 + 8 + 8)
    else:
        salt = secrets.token_bytes(32)
        header = (_ALGORITHM + _SCRYPT + _BLAKE2B + salt
                  + opslimit.to_bytes(8, "little") + memlimit.to_bytes(8, "little"))
        part = _xor(part, _key_stream(password, salt, opslimit, memlimit))
    return f"{_UNTRUSTED}minisign encrypted secret key\n{base64.b64encode(header + part).decode()}\n"


def _refuse_existing(path):
    if os.path.lexists(path):
        raise KeyFileError(f"{os.fspath(path)} exists; key files are never overwritten: "
                           "name another file")


def generate_keypair(secret_key_path, public_key_path, password=None,
                     opslimit=DEFAULT_OPSLIMIT, memlimit=DEFAULT_MEMLIMIT):
    """Makes a key pair and writes both files as `minisign -G` does (`minisign -G -W` when
    `password` is None). Returns the public key.

    Neither file is ever overwritten. The secret key file is created readable by its owner
    only; the public key file appears whole or not at all. OSError names the file.
    """
    _refuse_existing(secret_key_path)
    _refuse_existing(public_key_path)
    secret_key = SecretKey(secrets.token_bytes(8), _ed25519().Ed25519PrivateKey.generate())
    secret_text = _secret_key_text(secret_key, password, opslimit, memlimit)
    try:
        with files.naming(os.fspath(secret_key_path)):
            fd = os.open(secret_key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
    except FileExistsError:
        _refuse_existing(secret_key_path)
        raise
    try:
        with files.naming(os.fspath(secret_key_path)), os.fdopen(fd, "w", encoding="ascii") as file:
            os.fchmod(file.fileno(), 0o600)
            file.write(secret_text)
        with files.naming(os.fspath(public_key_path)):
            _write_new(public_key_path, secret_key.public_key.file_text().encode("ascii"))
    except BaseException:
        os.unlink(secret_key_path)
        raise
    return secret_key.public_key


# Writing files


def _write_temporary(folder, name, data):
    """A new temporary file beside the destination holding `data`; its path."""
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o666)
    try:
        with os.fdopen(fd, "wb") as output:
            output.write(data)
            output.flush()
            os.fsync(output.fileno())
    except BaseException:
        os.unlink(temporary)
        raise
    return temporary


def _write_new(path, data):
    """Writes a new file at `path` whole or not at all; never replaces an existing one."""
    folder, name = os.path.split(os.path.abspath(path))
    temporary = _write_temporary(folder, name, data)
    try:
        # A hard link fails, rather than replacing, when the name is taken.
        os.link(temporary, path, follow_symlinks=False)
    except FileExistsError:
        _refuse_existing(path)
        raise
    finally:
        os.unlink(temporary)


# Signatures


def _file_digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, hashlib.blake2b).digest()


def default_trusted_comment(image_path):
    """minisign's own trusted comment, with the file's SHA-256 added."""
    with open(image_path, "rb") as file:
        sha256 = hashlib.file_digest(file, "sha256").hexdigest()
    return (f"timestamp:{int(time.time())}\tfile:{os.path.basename(os.fspath(image_path))}"
            f"\tsha256:{sha256}")


def sign_file(image_path, secret_key, trusted_comment=None):
    """Signs the whole file at `image_path` and writes IMAGE.minisig beside it, replacing an
    older signature whole (see files.Output). Returns the signature's path."""
    if trusted_comment is None:
        trusted_comment = default_trusted_comment(image_path)
    if "\n" in trusted_comment or "\r" in trusted_comment:
        raise ValueError("a trusted comment is one line")
    comment = trusted_comment.encode("utf-8")
    signature = secret_key.key.sign(_file_digest(image_path))
    global_signature = secret_key.key.sign(signature + comment)
    text = (f"{_UNTRUSTED}signature from secret key {key_id_text(secret_key.key_id)}\n"
            f"{base64.b64encode(_PREHASHED + secret_key.key_id + signature).decode()}\n"
            f"{_TRUSTED}{trusted_comment}\n"
            f"{base64.b64encode(global_signature).decode()}\n")
    path = signature_path_for(image_path)
    files.write_whole(path, text.encode("utf-8"))
    return path


def read_signature(path):
    """The Signature in the file at `path`; raises SignatureError when it is missing or is not
    a signature file."""
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
    malformed = SignatureError(f"{path} is not a minisign signature file; get the image's "
                               "signature again")
    lines = data.split(b"\n")
    if len(data) > _MAX_SIGNATURE_FILE_SIZE or len(lines) < 4 or any(lines[4:]):
        raise malformed
    lines = [line.removesuffix(b"\r") for line in lines[:4]]
    if not lines[0].startswith(_UNTRUSTED.encode()) or not lines[2].startswith(_TRUSTED.encode()):
        raise malformed
    try:
        signed = base64.b64decode(lines[1], validate=True)
        global_signature = base64.b64decode(lines[3], validate=True)
    except ValueError:
        raise malformed from None
    if len(signed) != 2 + 8 + 64 or len(global_signature) != 64:
        raise malformed
    if signed[:2] not in (_PREHASHED, _ALGORITHM):
        raise SignatureError(f"{path} uses a signature algorithm other than Ed25519; "
                             "get the image's signature again")
    return Signature(signed[:2] == _PREHASHED, signed[2:10], signed[10:],
                     lines[2][len(_TRUSTED):], global_signature)


def verify_file(image_path, trusted_keys, signature_path=None):
    """Checks the detached signature of the file at `image_path` (IMAGE.minisig unless
    `signature_path` is given) against `trusted_keys` (PublicKey objects).

    Returns a Verified; raises SignatureError, whose message says what is wrong and what to
    do, when the signature is missing, malformed, made by a key not trusted or does not verify,
    and OSError when the image cannot be read.
    """
    path = os.fspath(signature_path) if signature_path is not None else signature_path_for(image_path)
    found = read_signature(path)
    candidates = [k for k in trusted_keys if k.key_id == found.key_id]
    if not candidates:
        raise SignatureError(f"{path} was made by key {found.id_text}, which is not "
                             "trusted; check the keys given with --trust-key or in ORBISK_FPGA_TRUST_KEYS")
    if found.prehashed:
        signed = _file_digest(image_path)
    else:
        with open(image_path, "rb") as file:
            signed = file.read()
    # Key ids are not unique: every trusted key with this one is tried.
    key = next((k for k in candidates if k.verifies(found.signature, signed)), candidates[0])
    if not key.verifies(found.signature, signed):
        raise SignatureError(f"the signature {path} does not match {os.fspath(image_path)}: the "
                             "image or its signature was changed; get both again")
    if not key.verifies(found.global_signature, found.signature + found.comment_bytes):
        raise SignatureError(f"the trusted comment in {path} does not verify: the signature was "
                             "changed; get it again")
    return Verified(key.id_text, found.trusted_comment, path)
