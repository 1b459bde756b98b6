"""orbisk-fpga emulate: serve an emulated device until interrupted."""

from orbisk_tools.cli.arguments import Failure

NAME = "emulate"
HELP = ("Serve an emulated device (on 127.0.0.1 unless --host names another) until interrupted; "
        "-v logs each connection and each update's outcome.")
EXAMPLES = "example:\n  orbisk-fpga emulate --port 5025 --refuse-block 3 --refuse-times 2"


def add_options(parser):
    from orbisk_tools.devices.emulator import add_emulator_options, add_fault_options

    add_emulator_options(parser)
    add_fault_options(parser)


def run(args):
    from orbisk_tools.devices.emulator import cannot_listen, faults_from, serve

    faults = faults_from(args, args.parser)
    try:
        serve(args, faults, announce=args.out.line)
    except OSError as error:
        raise Failure(cannot_listen(args, error)) from None
