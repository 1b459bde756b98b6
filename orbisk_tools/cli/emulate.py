"""orbisk-fpga emulate: serve an emulated device until interrupted."""

import argparse
import hashlib
import time

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure
from orbisk_tools.devices.emulator import SPLIT_PAUSE, SPLIT_SIZE, DeviceEmulator, Faults

NAME = "emulate"
HELP = ("Serve an emulated device (on 127.0.0.1 unless --host names another) until interrupted; "
        "-v logs each connection and each update's outcome.")
EXAMPLES = "example:\n  orbisk-fpga emulate --port 5025 --refuse-block 3 --refuse-times 2"


def add_options(parser):
    add_emulator_options(parser)
    add_fault_options(parser)


def run(args):
    faults = faults_from(args, args.parser)
    try:
        serve(args, faults, announce=args.out.line)
    except OSError as error:
        raise Failure(cannot_listen(args, error)) from None


def header_version(path):
    """(SHA-256 of the image part, the version its header names) of the signed image at `path`,
    for FpgaState.image_versions; an argparse type."""
    from orbisk_tools.formats.signed_image import read_signed_image

    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError as error:
        raise argparse.ArgumentTypeError(f"cannot read {path} ({error.strerror or error})") from None
    signed = read_signed_image(data)
    if signed is None or "version" not in signed.members:
        raise argparse.ArgumentTypeError(f"{path} is not a signed image whose header names a version")
    image = data[signed.image_start : signed.image_start + signed.image_length]
    return hashlib.sha256(image).hexdigest(), str(signed.members["version"])


def add_emulator_options(parser):
    """The emulator's address and identity; see also add_fault_options."""
    parser.add_argument("--port", type=options.listening_port, default=5025,
                        help=f"TCP port ({options.listening_port.range}; default 5025; 0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    parser.add_argument("--serial", metavar="TEXT",
                        help="the serial number it reports (default VORN- and its port in six digits)")
    parser.add_argument("--new-fpga-version", default="0.2.4.0", help="FPGA version reported after an update")
    parser.add_argument("--header-version-of", metavar="IMAGE", type=header_version, action="append", default=[],
                        help="once the image of the signed IMAGE is loaded, report the version its header names "
                             "(repeat for several images)")


def add_fault_options(parser):
    faults = parser.add_argument_group("faults")
    counted = options.count.range
    faults.add_argument("--refuse-block", type=options.count, metavar="N",
                        help=f"refuse the block with index N ({counted})")
    faults.add_argument("--refuse-times", type=options.count, metavar="K",
                        help=f"with --refuse-block: how often to refuse it ({counted}; default 1; 0: for ever)")
    faults.add_argument("--drop-after-blocks", type=options.count, metavar="N",
                        help=f"close the connection instead of taking block N ({counted}; once)")
    faults.add_argument("--corrupt-read-byte", type=options.count, metavar="OFFSET",
                        help=f"flip the image byte at OFFSET in the read-back ({counted})")
    faults.add_argument("--pad-last-page", action="store_true", help="pad a short last read-back page to 16 bytes")
    faults.add_argument("--reply-delay", type=options.seconds, default=0.0, metavar="SECONDS",
                        help=f"wait before every reply ({options.seconds.range} s): a slow device, one reply "
                             "after the other")
    faults.add_argument("--latency", type=options.seconds, default=0.0, metavar="SECONDS",
                        help=f"delay every reply on the link ({options.seconds.range} s); replies in flight "
                             "overlap, as on a real network")
    faults.add_argument("--one-command-per-read", action="store_true",
                        help="take each read from the socket as one command and drop the rest of it, "
                             "as a device without a command stream does")
    faults.add_argument("--one-command-per-read-after", type=options.count, metavar="N",
                        help=f"the same, once N commands ({counted}) were taken: a device that takes "
                             "commands in flight at first, then no more")
    faults.add_argument("--silent-after", type=options.count, metavar="N",
                        help=f"stop answering after N commands ({counted})")
    faults.add_argument("--endless-reply", metavar="WORD",
                        help="answer the command WORD (FPGA_ERASE, say) with a line that never ends: bytes without "
                             "a line end until the client goes away")
    faults.add_argument("--split-replies", action="store_true",
                        help=f"send every reply in writes of {SPLIT_SIZE} bytes, {SPLIT_PAUSE * 1000:g} ms apart, "
                             "as a device on a slow link may")
    timings = parser.add_argument_group("the device's own timings")
    timings.add_argument("--erase-seconds", type=options.seconds, default=0.0, metavar="SECONDS",
                         help=f"take SECONDS ({options.seconds.range}) to erase the configuration memory, and "
                              "answer the erase when done")
    timings.add_argument("--write-rate", type=options.byte_rate, metavar="BYTES",
                         help=f"write BYTES of the image a second to the configuration memory "
                              f"({options.byte_rate.range}; default: at once)")


def faults_from(args, parser):
    """The Faults that the options of add_fault_options ask for; a combination that means
    nothing is a usage error of `parser`."""
    if args.refuse_times is not None and args.refuse_block is None:
        parser.error("--refuse-times needs --refuse-block")
    refuse_times = 1 if args.refuse_times is None else args.refuse_times or None
    return Faults(refuse_block=args.refuse_block, refuse_times=refuse_times,
                  drop_after_blocks=args.drop_after_blocks, corrupt_read_offset=args.corrupt_read_byte,
                  pad_last_page=args.pad_last_page, reply_delay=args.reply_delay, latency=args.latency,
                  one_command_per_read=args.one_command_per_read,
                  one_command_per_read_after=args.one_command_per_read_after, silent_after=args.silent_after,
                  erase_seconds=args.erase_seconds, write_rate=args.write_rate, endless_reply=args.endless_reply,
                  split_replies=args.split_replies)


def serve(args, faults, announce=print):
    """Runs an emulator, as the options of add_emulator_options in `args` ask, until interrupted.
    Raises OSError when it cannot listen there."""
    identity = {"serial_number": args.serial} if args.serial is not None else {}
    with DeviceEmulator(port=args.port, host=args.host, faults=faults, new_fpga_version=args.new_fpga_version,
                        image_versions=dict(args.header_version_of), **identity) as emulator:
        host = f"[{emulator.host}]" if ":" in emulator.host else emulator.host
        announce(f"Device emulator listening on {host}:{emulator.port} (serial number "
                 f"{emulator.device.fpga.serial_number}; Ctrl-C stops it)")
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass


def cannot_listen(args, error):
    """The one line that says why the emulator cannot listen where `args` ask, and what to do."""
    reason = error.strerror or str(error)
    host = f"[{args.host}]" if ":" in args.host else args.host
    return (f"cannot listen on {host}:{args.port}: {reason}; choose another --port, or 0 for any free port, "
            "or another --host")
