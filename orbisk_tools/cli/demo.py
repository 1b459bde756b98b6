"""orbisk-fpga demo: update an emulated device, showing each step."""

import os
import tempfile

from orbisk_tools.cli import init, update
from orbisk_tools.cli.arguments import Failure

NAME = "demo"
HELP = "Start an emulated device, sign a sample image, initialise the device and update it, showing each step."
EXAMPLES = "example:\n  orbisk-fpga demo"


def add_options(parser):
    pass  # the demo takes none: it runs init and update with arguments of its own


def command(args, *argv):
    """The arguments of `orbisk-fpga ARGV...`, parsed by that command's own parser (which the
    command line gives the demo as args.make_parser), to run with the demo's outputs."""
    parsed = args.make_parser().parse_args(argv)
    parsed.out, parsed.err = args.out, args.err
    return parsed


def run(args):
    from orbisk_tools.formats import signatures
    from orbisk_tools.devices.emulator import DeviceEmulator
    from orbisk_tools.formats.signed_image import write_signed_image

    with DeviceEmulator(port=0) as emulator, tempfile.TemporaryDirectory() as workdir:
        say = args.out.line
        say(f"1. Started an emulated device on {emulator.host}:{emulator.port}")
        raw = os.path.join(workdir, "sample.bin")
        with open(raw, "wb") as f:
            f.write(bytes((i * 7 + i // 256) % 256 for i in range(16 * 1024 + 5)))
        signed = os.path.join(workdir, "sample.tbin")
        write_signed_image(raw, signed, [28, 32], {"version": "0.2.4.0"})
        say(f"2. Signed a sample image for device types 28 and 32: {os.path.getsize(signed)} bytes")
        secret_key = os.path.join(workdir, "vendor.key")
        vendor = signatures.generate_keypair(secret_key, os.path.join(workdir, "vendor.pub"))
        signatures.sign_file(signed, signatures.read_secret_key(secret_key))
        say(f"   and as its vendor, with the new key {vendor.id_text}, which the update then trusts")
        address = f"{emulator.host}:{emulator.port}"
        say("3. Initialised the FPGA controller:")
        init.run(command(args, "init", "--address", address))
        say("4. Updating the FPGA image:")
        # the emulated device stays out of the update history
        if update.run(command(args, "update", "--address", address, "--no-history", "--trust-key", vendor.base64,
                              signed)) != 0:
            raise Failure("the demo update failed; the line above says why")
        with open(raw, "rb") as f:
            same = emulator.device.fpga.loaded_image == f.read()
        say(f"5. The device now runs {'exactly the image' if same else 'a different image'}")
        if not same:
            raise Failure("the device does not run the image that was written")
