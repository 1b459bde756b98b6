"""orbisk-fpga init: initialise a device's FPGA controller and show what it reports."""

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (Failure, add_connection_options, add_device_type_option, lock_folder,
                                        one_device, resolve_devices)
from orbisk_tools.formats.protocol import DEVICE_TYPES, NoFpgaImage

NAME = "init"
HELP = "Initialise the device's FPGA controller and show what the device reports."
EXAMPLES = "example:\n  orbisk-fpga init --address 192.168.1.20"


def add_options(parser):
    parser.add_argument("--address", required=True, action=options.Once, metavar="HOST[:PORT]",
                        help="the device (one: init initialises one device at a time)")
    add_connection_options(parser)
    add_device_type_option(parser, "device type (default 32; 28 needs --no-fw-check)")
    parser.add_argument("--no-fw-check", action="store_true", help="do not compare the FPGA version with its minimum")


def run(args):
    from orbisk_tools.engine.outcomes import DeviceFailure, Reason
    from orbisk_tools.engine.connection import device_connection
    from orbisk_tools.engine.advice import say, transport_failure

    target = one_device(args)
    if not DEVICE_TYPES[args.device_type].initialised_by_init and not args.no_fw_check:
        args.parser.error(f"device type {args.device_type} has no firmware version check; add --no-fw-check")
    addresses = resolve_devices(args, [target])[target]
    with lock_folder() as folder:
        try:
            with device_connection(target, addresses, args.timeout, folder) as conn:
                report = device_report(conn, args)
        except DeviceFailure as failure:
            raise Failure(f"{target.label}: {failure}") from None
        except NoFpgaImage:
            raise Failure(f"{target.label}: {say(Reason.NO_FPGA_IMAGE)}") from None
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            why = transport_failure(error, args.timeout, "during init", "run init again")
            raise Failure(f"{target.label}: {why}") from None
    args.out.line(f"Device {target.label}, device type {args.device_type}: FPGA controller initialised")
    for name, value in report:
        args.out.line(f"  {name:<26}{value or '(not reported)'}")


def device_report(conn, args):
    """Initialises the FPGA controller; [(what, value)] as the device reports them."""
    from orbisk.VornFpga import FpgaTool
    from orbisk.VornPublic import RetCode

    from orbisk_tools.engine.outcomes import DeviceFailure

    tool = FpgaTool(conn)
    device_type = DEVICE_TYPES[args.device_type]
    if device_type.initialised_by_init:
        result = tool.initFpga(device_type.number, disable_fw_check=args.no_fw_check)
        if result.RetCode is not RetCode.OK:
            advice = "update the FPGA image, or add --no-fw-check" if result.RetCode is RetCode.WARNING \
                else "check the device and run init again"
            raise DeviceFailure(f"{result.RetMsg.rstrip('.')}; {advice}")
        fpga_id, fpga_version = result.RetData["fpga_id"], result.RetData["fpga_version"]
    else:  # the others keep their configuration mode
        tool._fpgaCtrlInit()
        fpga_id = tool._fpgaGetId()
        fpga_version = device_type.read_fpga_version(tool)
    return [("FPGA ID", fpga_id), ("Serial number", tool._fpgaGetSerialNumber()),
            ("FPGA version", fpga_version), ("Control firmware version", tool._fpgaGetControlFwVer())]
