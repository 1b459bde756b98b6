"""orbisk-fpga inspect: what an image holds, and whether it passes the update's checks."""

import hashlib
import json

from orbisk_tools.formats import files
from orbisk_tools.cli.arguments import Failure, printable
from orbisk_tools.cli.images import add_trust_key_option, check_image, trusted_keys
from orbisk_tools.formats.protocol import DEVICE_TYPES

NAME = "inspect"
HELP = "Show what an FPGA image holds and whether it passes the update's checks, without a device."
EXAMPLES = ("examples:\n  orbisk-fpga inspect --device-type 32 fpga.tbin\n"
            "  orbisk-fpga inspect --trust-key vendor.pub fpga.tbin   # also checks fpga.tbin.minisig")


def add_options(parser):
    parser.add_argument("--device-type", type=int, choices=DEVICE_TYPES,
                        help="also check that the image is for this device type")
    add_trust_key_option(parser, "also check the image's signature IMAGE.minisig, as update does")
    parser.add_argument("image", metavar="IMAGE", help="the image file")


def run(args):
    from orbisk_tools.formats.signed_image import read_signed_image

    keys = trusted_keys(args)
    try:
        with open(args.image, "rb") as image:
            data = image.read()
    except OSError as error:
        raise Failure(files.problem(error, args.image)) from None
    signed = read_signed_image(data)
    say = args.out.line
    warnings = []
    if signed is None:
        say(f"{args.image}: raw image")
        say(f"  size          {len(data)} bytes")
        say(f"  SHA-256       {hashlib.sha256(data).hexdigest()}")
    else:
        types = ", ".join(map(str, signed.device_types))
        say(f"{args.image}: signed image for device type{'s' if len(signed.device_types) > 1 else ''} {types}")
        say(f"  image size    {signed.image_length} bytes")
        say(f"  header        {json.dumps(signed.members)}")
        say(f"  header hash   {'verifies' if signed.header_verifies else 'does not verify'}")
        say(f"  image hash    {'verifies' if signed.image_verifies else 'does not verify'}")
        warnings = layout_warnings(signed, len(data))
    vendor_refusal = show_vendor_signature(args, keys)
    for warning in warnings:
        args.err.line(f"orbisk-fpga: warning: {args.image}: {warning}")
    check_image(args.image, args.device_type)
    if vendor_refusal is not None:
        raise Failure(vendor_refusal)
    for_type = f" for device type {args.device_type}" if args.device_type is not None else ""
    with_warnings = f", with {len(warnings)} warning{'s' if len(warnings) > 1 else ''}" if warnings else ""
    say(f"It passes the update's checks{for_type}{with_warnings}.")


def show_vendor_signature(args, keys):
    """Shows who signed the image and whether the signature verifies against `keys`; the
    refusal, as update would say it, or None."""
    from orbisk_tools.formats import signatures

    say = args.out.line
    if not keys:
        say("  vendor        no vendor signature checked (give --trust-key to check one)")
        return None
    try:
        found = signatures.read_signature(signatures.signature_path_for(args.image))
    except signatures.SignatureError as refused:
        say("  signature     missing or unreadable")
        return str(refused)
    say(f"  vendor key    {found.id_text}")
    say(f"  comment       {printable(signatures.shown_trusted_comment(found.trusted_comment))}")
    try:
        signatures.verify_file(args.image, keys)
    except signatures.SignatureError as refused:
        trusted = any(key.key_id == found.key_id for key in keys)
        say(f"  signature     {'does not verify' if trusted else 'by a key not trusted'}")
        return str(refused)
    except OSError as error:
        return files.problem(error, args.image)
    say("  signature     verifies")
    return None


def layout_warnings(signed, file_size):
    """What the update accepts in a signed image but a packer never writes: an image that does not
    follow the header, an image length that disagrees with the file, bytes after the image."""
    warnings = []
    start, stated = signed.image_start, signed.stated_image_length
    if start != signed.header_end:
        warnings.append(f"the image starts at byte {start}, not where the header ends (byte {signed.header_end}); "
                        f"the update takes the image from byte {start}")
    if signed.image_length < stated:
        warnings.append(f"the image length field says {stated} bytes, but the file holds {signed.image_length} "
                        f"from byte {start}; the update writes those {signed.image_length}")
    if start + stated < file_size:
        warnings.append(f"{file_size - start - stated} bytes follow the image (it ends at byte {start + stated} of "
                        f"{file_size}); the update ignores them")
    return warnings
