"""The image of a command and who vouches for it: --trust-key and $ORBISK_FPGA_TRUST_KEYS, the
image's snapshot and vendor signature, its checks, and the password of a secret key."""

import contextlib
import getpass
import os
import sys

from orbisk_tools.cli.arguments import Failure, printable
from orbisk_tools.formats.signatures import SIGNATURE_SUFFIX

TRUST_KEYS_VARIABLE = "ORBISK_FPGA_TRUST_KEYS"
PASSWORD_VARIABLE = "ORBISK_FPGA_KEY_PASSWORD"


def image_files(image):
    """An image and the signature beside it (IMAGE.minisig): files of the user's that a command
    reads, and that none of its outputs may replace. None for no image: nothing."""
    return [] if image is None else [image, f"{image}{SIGNATURE_SUFFIX}"]


def add_trust_key_option(parser, what):
    parser.add_argument("--trust-key", action="append", default=[], metavar="KEY",
                        help=f"a vendor's public key, as a minisign public key file or the key itself; {what} "
                             f"(repeat for several; the keys of the file named by ${TRUST_KEYS_VARIABLE} count too)")


def trusted_keys(args):
    """The public keys of --trust-key and of the file named by $ORBISK_FPGA_TRUST_KEYS; a key
    that cannot be read is a usage error."""
    from orbisk_tools.engine.image import KeyRefused, keys_listed_in, trusted_keys_from

    listed = os.environ.get(TRUST_KEYS_VARIABLE)
    try:
        keys = trusted_keys_from(args.trust_key)
        if listed == "":  # else setting it to nothing would silently turn the check off
            args.parser.error(f"{TRUST_KEYS_VARIABLE} is set but empty; name the file of the vendors' keys, "
                              f"or unset {TRUST_KEYS_VARIABLE}")
        if listed is not None:
            from_file = keys_listed_in(listed)
            if not from_file:  # else an emptied file would silently turn the check off
                args.parser.error(f"{listed} (${TRUST_KEYS_VARIABLE}) holds no public key; add the vendor's key, "
                                  f"or unset {TRUST_KEYS_VARIABLE}")
            keys += from_file
    except KeyRefused as error:
        args.parser.error(str(error))
    return keys


def vendor_signature(image, keys):
    """The signatures.Verified signature of `image` (IMAGE.minisig) by one of `keys`; Failure,
    saying which check refused it and what to do, when it has none."""
    from orbisk_tools.engine import image as images

    with refused_as_failure():
        return images.vendor_signature(image, keys)


@contextlib.contextmanager
def refused_as_failure():
    """An image or a signature the engine refuses is a Failure, in the engine's words."""
    from orbisk_tools.engine.outcomes import ImageRefused

    try:
        yield
    except ImageRefused as refused:
        raise Failure(str(refused)) from None


@contextlib.contextmanager
def image_snapshot(image, device_type, keys=()):
    """The engine's image_snapshot (the private copy of the image that the devices get); its
    refusals are a Failure."""
    from orbisk_tools.engine import image as images

    with refused_as_failure():
        with images.image_snapshot(image, device_type, keys) as snapshot:
            yield snapshot


def vendor_verified(vendor):
    """The line that says who signed the image: `vendor` is the signatures.Verified of its check."""
    from orbisk_tools.formats.signatures import shown_trusted_comment

    return f"Vendor signature verified: key {vendor.key_id}, {printable(shown_trusted_comment(vendor.trusted_comment))}"


def read_secret_key(path):
    """The secret key in `path`, asking for its password only when it has one: from
    $ORBISK_FPGA_KEY_PASSWORD, or else at the terminal."""
    from orbisk_tools.formats import signatures

    def password():
        if PASSWORD_VARIABLE in os.environ:
            return os.environ[PASSWORD_VARIABLE]
        if not sys.stdin or not sys.stdin.isatty():
            raise Failure(f"the secret key {path} is protected by a password; type it at a terminal, or set "
                          f"{PASSWORD_VARIABLE}")
        return getpass.getpass(f"Password for {path}: ")

    try:
        return signatures.read_secret_key(path, password)
    except signatures.KeyFileError as error:
        raise Failure(str(error)) from None


def check_image(image, device_type):
    """The update's checks of `image`, run by the FPGA module without a device; a refusal, or a
    file that cannot be read, is a Failure."""
    from orbisk_tools.engine import image as images

    with refused_as_failure():
        images.check_image(image, device_type)


