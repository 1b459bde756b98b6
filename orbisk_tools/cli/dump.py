"""orbisk-fpga dump: what a device's configuration memory holds, read into a file."""

import hashlib

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure, add_connection_options, lock_folder, one_device, resolve_devices
from orbisk_tools.formats import files

NAME = "dump"
HELP = ("Read the first N bytes of a device's FPGA configuration memory into OUT, a new file, changing "
        "nothing: to see what a device holds.")
EXAMPLES = ("examples:\n  orbisk-fpga dump --address 192.168.1.20 --size 1048576 device-20.bin\n"
            "  cmp device-20.bin fpga.bin")

# An FPGA's configuration memory is a few megabytes; the dump is held in memory until it is written.
dump_size = options.number("a number of bytes", 1, 256 * 1024 * 1024)


def add_options(parser):
    parser.add_argument("--address", metavar="HOST[:PORT]", action=options.Once, required=True,
                        help="the device to read")
    parser.add_argument("--size", type=dump_size, required=True, metavar="N",
                        help=f"read the first N bytes of its configuration memory ({dump_size.range})")
    add_connection_options(parser)
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"keep up to N page reads in flight ({options.window_or_auto.range}); "
                             "default: learnt from the device")
    parser.add_argument("output", metavar="OUT", help="the file to write, which must not exist yet")


def run(args):
    from orbisk_tools.engine.inspection import memory_dump

    target = one_device(args)
    resolved = resolve_devices(args, [target])
    try:
        output = files.Output(args.output, new=True)  # before the device is read: a file in the way stops it
    except OSError as error:
        raise refused(args, error) from None
    with output:
        with lock_folder() as folder:
            data, problem = memory_dump(resolved, args.size, args.timeout, args.window, folder)
        if data is None:
            raise Failure(f"{target.label}: {problem}")
        try:
            output.commit(data)
        except OSError as error:
            raise refused(args, error) from None
    args.out.line(f"{len(data)} bytes of the configuration memory of {target.label} written to {args.output} "
                  f"(SHA-256 {hashlib.sha256(data).hexdigest()})")
    if len(data) < args.size:
        args.err.line(f"orbisk-fpga: error: {target.label} answered only {len(data)} of the {args.size} bytes "
                      "asked for: its configuration memory ends there")
        return 1
    return 0


def refused(args, error):
    if isinstance(error, FileExistsError):
        return Failure(f"{args.output} exists; dump writes a new file: name another")
    return Failure(files.problem(error))
