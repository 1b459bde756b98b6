"""The image of a run: its checks (the FPGA module's own, without a device), its vendor signature
against the trusted keys, and the private copy that every device gets."""

from __future__ import annotations

import contextlib
import dataclasses
import os
import shutil
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from typing import TYPE_CHECKING

from orbisk_tools.native import fpga_module
from orbisk_tools.engine.advice import explain
from orbisk_tools.errors import OrbiskError
from orbisk_tools.engine.outcomes import ImageRefused, Reason, known_reason
from orbisk_tools.formats import files
from orbisk_tools.formats.files import StrPath
from orbisk_tools.records.attempts import ImageFacts

if TYPE_CHECKING:
    from orbisk_tools.formats.signatures import PublicKey, Verified

ImagePath = StrPath  # the path of an image, or of a key: a str or an os.PathLike


class KeyRefused(OrbiskError, ValueError):
    """A trusted key cannot be read; the message says why and what to do."""


def trusted_keys_from(texts_or_paths: Iterable[ImagePath]) -> list[PublicKey]:
    """The public keys given as their text (the line that starts with RW, or a key file's
    content) or as the path of a key file. Raises KeyRefused, and TypeError for one text or path
    given instead of a list of them."""
    from orbisk_tools.formats import signatures

    if isinstance(texts_or_paths, (str, bytes, os.PathLike)):
        raise TypeError(f"trust_keys must be a list of keys or key files, not one {type(texts_or_paths).__name__}")
    try:
        return [signatures.read_public_key(key if isinstance(key, str) else os.fspath(key)) for key in texts_or_paths]
    except signatures.KeyFileError as error:
        raise KeyRefused(str(error)) from None


def keys_listed_in(path: ImagePath) -> list[PublicKey]:
    """The public keys of a file of trusted keys, one a line, # comments. Raises KeyRefused."""
    from orbisk_tools.formats import signatures

    try:
        return signatures.read_trusted_keys(os.fspath(path))
    except signatures.KeyFileError as error:
        raise KeyRefused(str(error)) from None


def check_image(image: str, device_type: int | None = None, shown_as: str | None = None) -> None:
    """Raises ImageRefused unless the image passes the update's checks (file, header and, when
    `device_type` is given, device type), run by the FPGA module itself without a device; also
    for a file that cannot be read. Messages and details name `shown_as` (default `image`)."""
    fpga_module()  # imported as the engine imports it
    from orbisk.VornFpga import FpgaTool

    shown_as = shown_as or image

    class ChecksPassed(Exception):
        pass

    class ImageOnly(FpgaTool):
        def _fpgaProgramFile(self, image_path: str, device_type: int = 28) -> bool:
            raise ChecksPassed  # every check passed: the next step would touch the device

    checker = ImageOnly(object())  # type: ignore[arg-type]  # no connection: no check sends anything
    try:
        if device_type is None:
            if checker._checkUpdateFile(image) and checker._checkFileHeader(image):
                return
        else:
            try:
                checker.processFpgaUpdate(image, device_type)
            except ChecksPassed:
                return
        refused = checker.last_outcome
        assert refused is not None  # the module's check set it
        if refused.reason in (Reason.IMAGE_UNREADABLE, Reason.IMAGE_STAT_FAILED):
            with open(image, "rb"):  # raises the OSError that the module met, for the caller's own words
                pass
    except OSError as error:  # also from a folder that cannot be searched
        raise unreadable(error, shown_as) from error
    reason, details = known_reason(refused.reason, {name: shown_as if name == "path" else value
                                                    for name, value in refused.details.items()})
    raise ImageRefused(explain(refused, image).replace(image, shown_as), reason or Reason.ERROR, details)


def unreadable(error: OSError, image: str) -> ImageRefused:
    return ImageRefused(files.problem(error, image), Reason.IMAGE_UNREADABLE, {"path": image, "error": str(error)})


def vendor_signature(image: str, keys: Sequence[PublicKey]) -> Verified:
    """The signatures.Verified signature of `image` (IMAGE.minisig) by one of `keys`; ImageRefused,
    saying which check refused it and what to do, when it has none."""
    from orbisk_tools.formats import signatures

    try:
        return signatures.verify_file(image, keys)
    except signatures.SignatureError as refused:
        raise ImageRefused(str(refused), Reason.SIGNATURE_REFUSED, {"text": str(refused)}) from None
    except OSError as error:
        text = files.problem(error, image)
        raise ImageRefused(text, Reason.SIGNATURE_REFUSED, {"text": text}) from None


@dataclasses.dataclass(frozen=True)
class Snapshot:
    """The image of one run: `path`, a private copy the devices get; `facts`, the history's
    ImageFacts of its bytes under the user's name; `vendor`, its signatures.Verified signature or None."""
    path: str
    facts: ImageFacts
    vendor: Verified | None = None


@contextlib.contextmanager
def image_snapshot(image: ImagePath, device_type: int, keys: Sequence[PublicKey] = ()) -> Iterator[Snapshot]:
    """Reads `image` once into a private folder (0700, removed at the end), then checks, hashes
    and, with trusted `keys`, verifies exactly that copy: whatever happens to the user's file
    meanwhile, the devices get the bytes that were checked. Messages name `image`. Raises
    ImageRefused."""
    from orbisk_tools.formats import signatures
    from orbisk_tools.records import attempts

    image = os.fspath(image)
    check_image(image, device_type)  # the module's own words for a file it cannot use
    signature = None
    if keys:
        signature = vendor_signature(image, keys).signature_path  # its refusals name the user's file
    folder = tempfile.mkdtemp(prefix="orbisk-fpga-")  # mode 0700, ours alone
    try:
        copy = os.path.join(folder, os.path.basename(image) or "image")
        try:
            with open(image, "rb") as source:
                data = source.read()
            fd = os.open(copy, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o400)
            with os.fdopen(fd, "wb") as target:
                target.write(data)
        except OSError as error:
            raise unreadable(error, image) from None
        check_image(copy, device_type, shown_as=image)
        vendor = None
        if keys:
            try:
                vendor = signatures.verify_file(copy, keys, signature)
            except signatures.SignatureError:
                raise ImageRefused(f"{image} changed while its signature was checked; run the command again",
                                   Reason.IMAGE_CHANGED, {"path": image}) from None
            except OSError as error:
                raise unreadable(error, image) from None
        facts = dataclasses.replace(attempts.image_facts(copy), path=os.path.abspath(image))
        yield Snapshot(copy, facts, vendor)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
