"""orbisk-fpga pack: sign a raw image for device types, as a .tbin file."""

import argparse
import json
import os

from orbisk_tools.formats import files
from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure
from orbisk_tools.cli.images import PASSWORD_VARIABLE, read_secret_key

NAME = "pack"
HELP = "Sign a raw FPGA image for one or more device types, as a .tbin file."
EXAMPLES = ("examples:\n  orbisk-fpga pack --device-type 28 --device-type 32 --set version=1.4.0.0 fpga.bin fpga.tbin\n"
            "  orbisk-fpga pack --device-type 32 --sign-key vendor.key fpga.bin fpga.tbin")


def add_options(parser):
    parser.add_argument("--device-type", type=options.device_type, action="append", required=True,
                        help=f"a device type the image is for ({options.device_type.range}; repeat for several)")
    parser.add_argument("--set", type=header_member, action="append", default=[], metavar="KEY=VALUE",
                        help="an extra JSON header member (VALUE is JSON, or else text)")
    parser.add_argument("--sign-key", metavar="SECRET_KEY",
                        help="also sign the packed image with this secret key, as OUTPUT.minisig (see sign; its "
                             f"password is asked at the terminal, or taken from ${PASSWORD_VARIABLE})")
    parser.add_argument("image", metavar="IMAGE", help="the raw image")
    parser.add_argument("output", metavar="OUTPUT", help="the signed image to write")


def run(args):
    from orbisk_tools.formats.signed_image import PackError, write_signed_image

    device_types = list(dict.fromkeys(args.device_type))  # each once, in the order given
    key = read_secret_key(args.sign_key) if args.sign_key else None  # a wrong password fails before any write
    try:
        write_signed_image(args.image, args.output, device_types[0] if len(device_types) == 1 else device_types,
                           dict(args.set))
    except OSError as error:
        raise Failure(files.problem(error)) from None
    except PackError as error:
        raise Failure(str(error)) from None
    args.out.line(f"Wrote {args.output} ({os.path.getsize(args.output)} bytes) for device type "
                  f"{', '.join(str(t) for t in device_types)}")
    if key is not None:
        from orbisk_tools.cli.sign import sign_image

        signature = sign_image(args, args.output, key, [args.image, args.sign_key])
        args.out.line(f"Signed {args.output} with key {key.public_key.id_text}: {signature}")


def header_member(text):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    if key in ("DEV_TYPE", "dev_type"):
        raise argparse.ArgumentTypeError(f"--set {key} is not allowed: give the device types with --device-type")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value
