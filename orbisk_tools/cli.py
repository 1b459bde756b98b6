"""orbisk-fpga: update the FPGA image of one device or of many, check an image, initialise a
device's FPGA controller, sign images, and run an emulated device, from a terminal.

Exit status: 0 on success, 1 when a device, an update or an image fails, 2 on a usage
error, 130 when interrupted.
"""

import argparse
import contextlib
import hashlib
import importlib
import importlib.metadata
import json
import logging
import os
import signal
import sys
import tempfile

from orbisk_tools import files, options
from orbisk_tools.display import GuardedOutput, human_rate, summary_table, view_for
from orbisk_tools.protocol import DEVICE_TYPES

EXAMPLES = {
    "update": "examples:\n  orbisk-fpga update --address 192.168.1.20 --device-type 32 fpga.tbin\n"
              "  orbisk-fpga update --address 192.168.1.20 --address 192.168.1.21:5025 fpga.tbin\n"
              "  orbisk-fpga update --addresses site-a.txt --jobs 4 --json result.json fpga.tbin",
    "inspect": "example:\n  orbisk-fpga inspect --device-type 32 fpga.tbin",
    "init": "example:\n  orbisk-fpga init --address 192.168.1.20",
    "pack": "example:\n  orbisk-fpga pack --device-type 28 --device-type 32 --set version=1.4.0.0 fpga.bin fpga.tbin",
    "emulate": "example:\n  orbisk-fpga emulate --port 5025 --refuse-block 3 --refuse-times 2",
    "demo": "example:\n  orbisk-fpga demo",
}
INTERRUPTED = 130


class Failure(Exception):
    """A failure to report in one line, with exit status 1."""


class Stderr(logging.StreamHandler):
    """Writes to sys.stderr as it is bound at each record, so that the progress display can show them."""

    @property
    def stream(self):
        return sys.stderr

    @stream.setter
    def stream(self, value):
        pass


def configure_logging(verbose):
    """The FPGA module logs to stdout unless the host configured logging first: this CLI does,
    before importing it. Its lines are shown with -v; its errors always name a failure's reason."""
    from orbisk_tools.fleet import DeviceLabel

    handler = Stderr()
    handler.addFilter(DeviceLabel())
    handler.setFormatter(logging.Formatter("%(levelname)s %(device)s%(message)s"))
    logging.basicConfig(level=logging.INFO if verbose else logging.WARNING, handlers=[handler])
    logging.raiseExceptions = False  # a log line to a closed terminal is lost, not reported
    logging.getLogger("FPGA").propagate = verbose


# ---- update ----------------------------------------------------------------------------------

def device_targets(args):
    """The devices to update, in the order given, each once. Every address is checked before any
    device is touched: bad or repeated ones are a usage error that names each."""
    from orbisk_tools.fleet import parse_address

    if not args.devices:
        args.parser.error("name the device with --address HOST[:PORT], or list devices in a file with --addresses")
    targets, problems = {}, []
    for where, text in args.devices:
        try:
            target = parse_address(text, args.port)
        except ValueError as error:
            problems.append(f"{where}: {error}")
            continue
        if target in targets:
            problems.append(f"{target.label} is given twice ({targets[target]} and {where}); give each device once")
        targets.setdefault(target, where)
    if len(problems) > 1:
        for problem in problems:
            args.err.line(f"{args.parser.prog}: error: {problem}")
        args.parser.error(f"{len(problems)} of the addresses above cannot be used; no device was touched")
    if problems:
        args.parser.error(problems[0])
    return list(targets)


def one_address(text):
    """--address HOST[:PORT] of update: a (where, text) entry of the list of devices."""
    return [(f"--address {text}", text)]


class AddressFile(argparse.Action):
    """--addresses FILE: adds the file's (where, text) entries to the list of devices, and the file
    to the run's inputs; a file that cannot be read is a usage error."""

    def __call__(self, parser, namespace, path, option_string=None):
        from orbisk_tools.fleet import read_address_list

        try:
            entries = read_address_list(path)
        except OSError as error:
            parser.error(files.problem(error, path))
        except UnicodeDecodeError as error:
            parser.error(f"{path}: not UTF-8 text ({error.reason} at byte {error.start}); save it as UTF-8")
        if not entries:
            parser.error(f"{path} lists no address")
        namespace.devices = [*namespace.devices, *entries]
        namespace.address_files = [*namespace.address_files, path]


def run_update(args):
    from orbisk_tools.fleet import ImageRefused, Settings, check_image, update_devices

    resolved = resolve_devices(args, device_targets(args))
    with results_output(args) as results:
        try:
            check_image(args.image, args.device_type)
        except ImageRefused as refused:
            raise Failure(str(refused)) from None
        except OSError as error:
            raise Failure(files.problem(error, args.image)) from None
        view = None
        # A closed terminal must not end an update midway; the module's own progress line is silenced.
        hangup = signal.signal(signal.SIGHUP, signal.SIG_IGN)
        try:
            with lock_folder() as folder, contextlib.redirect_stdout(None):
                settings = Settings(args.image, args.device_type, args.timeout, args.window, folder)
                view = view_for(args.out, len(resolved))
                outcomes, interrupted = update_devices(resolved, settings, view, args.jobs)
        finally:
            if view is not None:
                view.close()
            signal.signal(signal.SIGHUP, hangup)
        if len(outcomes) > 1:
            report_fleet(args, outcomes)
        else:
            report_one(args, outcomes[0])
        written = write_json(results, args, outcomes)
    if interrupted:
        return INTERRUPTED
    return 0 if written and all(o.result == "updated" for o in outcomes) else 1


@contextlib.contextmanager
def results_output(args):
    """Where --json writes: None; for "-", standard output (the rest of the output then goes to
    standard error); or a files.Output, made before any device is touched so that an output
    that cannot be written stops the run first."""
    if args.json is None:
        yield None
    elif args.json == "-":
        results, args.out = args.out, args.err
        yield results
    else:
        inputs = [args.image, *args.address_files]
        named = files.input_named_by(args.json, inputs)
        if named is not None:
            args.parser.error(f"--json {args.json} is the same file as {named}, an input of this run; "
                              "name another file for the results")
        try:
            output = files.Output(args.json)
        except OSError as error:
            raise Failure(files.problem(error)) from None
        with output:
            yield output


def resolve_devices(args, targets):
    """{target: its addresses} (see fleet.resolve); two names of one device are a usage error."""
    from orbisk_tools.fleet import resolve, same_device

    resolved = resolve(targets)
    same = same_device(resolved)
    if same:
        first, second, shared = same
        args.parser.error(f"{first.label} and {second.label} are the same device ({shared.label}); "
                          "give each device once")
    return resolved


@contextlib.contextmanager
def lock_folder():
    """The open folder of the device locks, closed at the end."""
    from orbisk_tools.fleet import LockFolderRefused, open_lock_folder

    try:
        folder = open_lock_folder()
    except LockFolderRefused as refused:
        raise Failure(str(refused)) from None
    try:
        yield folder
    finally:
        os.close(folder)


def report_one(args, outcome):
    if outcome.result == "interrupted":
        args.err.line(f"orbisk-fpga: {outcome.address}: update {outcome.message}")
        return
    if outcome.result != "updated":
        args.err.line(f"orbisk-fpga: error: {outcome.address}: {outcome.message}")
        return
    version = outcome.fpga_version or "(not reported)"
    size = outcome.bytes_written
    args.out.line(f"FPGA updated: version {version}, {size} bytes written in {outcome.write_seconds:.2f} s "
                  f"({human_rate(size, outcome.write_seconds)}), read back in {outcome.read_back_seconds:.2f} s "
                  f"({human_rate(size, outcome.read_back_seconds)})")


def report_fleet(args, outcomes):
    summary_table(outcomes, args.out)
    updated = sum(outcome.result == "updated" for outcome in outcomes)
    args.out.line(f"{updated} of {len(outcomes)} devices updated")
    if updated < len(outcomes):
        args.err.line(f"orbisk-fpga: error: {len(outcomes) - updated} of {len(outcomes)} devices not updated; "
                      "the summary says why for each, and what to do")


def write_json(results, args, outcomes):
    """Writes each device's outcome to where --json says; False when it could not be written."""
    from dataclasses import asdict

    if results is None:
        return True
    report = {"image": args.image, "device_type": args.device_type, "devices": [asdict(o) for o in outcomes]}
    text = json.dumps(report, indent=2) + "\n"
    if isinstance(results, GuardedOutput):
        results.write(text)
        results.flush()
        return not results.dead
    try:
        results.commit(text.encode("utf-8"))
    except OSError as error:
        args.err.line(f"orbisk-fpga: error: {files.problem(error)}; the output above is the only record of this run")
        return False
    return True


# ---- inspect ---------------------------------------------------------------------------------

def run_inspect(args):
    from orbisk_tools.fleet import ImageRefused, check_image
    from orbisk_tools.signed_image import read_signed_image

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
    for warning in warnings:
        args.err.line(f"orbisk-fpga: warning: {args.image}: {warning}")
    try:
        check_image(args.image, args.device_type)
    except ImageRefused as refused:
        raise Failure(str(refused)) from None
    except OSError as error:
        raise Failure(files.problem(error, args.image)) from None
    for_type = f" for device type {args.device_type}" if args.device_type is not None else ""
    with_warnings = f", with {len(warnings)} warning{'s' if len(warnings) > 1 else ''}" if warnings else ""
    say(f"It passes the update's checks{for_type}{with_warnings}.")


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


# ---- init ------------------------------------------------------------------------------------

def run_init(args):
    from orbisk_tools.fleet import DeviceFailure, device_connection, parse_address, transport_failure

    try:
        target = parse_address(args.address, args.port)
    except ValueError as error:
        args.parser.error(f"--address: {error}")
    if not DEVICE_TYPES[args.device_type].initialised_by_init and not args.no_fw_check:
        args.parser.error(f"device type {args.device_type} has no firmware version check; add --no-fw-check")
    addresses = resolve_devices(args, [target])[target]
    with lock_folder() as folder:
        try:
            with device_connection(target, addresses, args.timeout, folder) as conn:
                report = device_report(conn, args)
        except DeviceFailure as failure:
            raise Failure(f"{target.label}: {failure}") from None
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

    from orbisk_tools.fleet import DeviceFailure

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
        fpga_version = device_type.fpga_version(tool._sendCmd(device_type.version_command) or "{}")
    return [("FPGA ID", fpga_id), ("Serial number", tool._fpgaGetSerialNumber()),
            ("FPGA version", fpga_version), ("Control firmware version", tool._fpgaGetControlFwVer())]


# ---- pack, emulate, demo -----------------------------------------------------------------------

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


def run_pack(args):
    from orbisk_tools.signed_image import PackError, write_signed_image

    device_types = list(dict.fromkeys(args.device_type))  # each once, in the order given
    try:
        write_signed_image(args.image, args.output, device_types[0] if len(device_types) == 1 else device_types,
                           dict(args.set))
    except OSError as error:
        raise Failure(files.problem(error)) from None
    except PackError as error:
        raise Failure(str(error)) from None
    args.out.line(f"Wrote {args.output} ({os.path.getsize(args.output)} bytes) for device type "
                  f"{', '.join(str(t) for t in device_types)}")


def run_emulate(args):
    from orbisk_tools.emulator import cannot_listen, faults_from, serve

    faults = faults_from(args, args.parser)
    try:
        serve(args, faults, announce=args.out.line)
    except OSError as error:
        raise Failure(cannot_listen(args, error)) from None


def run_demo(args):
    from orbisk_tools.emulator import DeviceEmulator
    from orbisk_tools.signed_image import write_signed_image

    with DeviceEmulator(port=0) as emulator, tempfile.TemporaryDirectory() as workdir:
        say = args.out.line
        say(f"1. Started an emulated device on {emulator.host}:{emulator.port}")
        raw = os.path.join(workdir, "sample.bin")
        with open(raw, "wb") as f:
            f.write(bytes((i * 7 + i // 256) % 256 for i in range(16 * 1024 + 5)))
        signed = os.path.join(workdir, "sample.tbin")
        write_signed_image(raw, signed, [28, 32], {"version": "0.2.4.0"})
        say(f"2. Signed a sample image for device types 28 and 32: {os.path.getsize(signed)} bytes")
        address = f"{emulator.host}:{emulator.port}"
        say("3. Initialised the FPGA controller:")
        run_init(argparse.Namespace(**{**vars(args), "address": address}))
        say("4. Updating the FPGA image:")
        if run_update(argparse.Namespace(**{**vars(args), "devices": one_address(address), "image": signed})) != 0:
            raise Failure("the demo update failed; the line above says why")
        with open(raw, "rb") as f:
            same = emulator.device.fpga.loaded_image == f.read()
        say(f"5. The device now holds {'exactly the image' if same else 'a different image'}")
        if not same:
            raise Failure("the device does not hold the image that was written")


# ---- the command line ----------------------------------------------------------------------------

def versions():
    """The lines of --version: this package's version and, for each native module, its own or
    else the package's that it was built with, and where it was loaded from."""
    try:
        package = importlib.metadata.version("orbisk-native")
    except importlib.metadata.PackageNotFoundError:
        package = "(not installed)"
    lines = [f"orbisk-fpga {package}"]
    for name in ("orbisk.VornFpga", "orbisk.vorndev.BeamHopper"):
        try:
            module = importlib.import_module(name)
        except ImportError as error:
            lines.append(f"{name} cannot be loaded: {error}")
        else:
            lines.append(f"{name} {getattr(module, '__version__', package)} ({module.__file__})")
    return "\n".join(lines)


class ShowVersions(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the versions of orbisk-fpga and of its native modules, and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(versions())
        parser.exit()


def parser():
    from orbisk_tools.emulator import add_emulator_options, add_fault_options

    # -v is taken before or after the command; after it, it must not reset what was given before.
    verbose = options.Parser(add_help=False)
    verbose.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                         help="show the FPGA module's log lines")
    top = options.Parser(prog="orbisk-fpga", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("-v", "--verbose", action="store_true", help="show the FPGA module's log lines")
    top.add_argument("--version", action=ShowVersions)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=EXAMPLES[name],
                                  parents=[verbose], formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run, parser=sub)
        return sub

    def device_type(sub, help_text):
        sub.add_argument("--device-type", type=int, choices=DEVICE_TYPES, default=32, help=help_text)

    def connection(sub):
        sub.add_argument("--port", type=options.device_port, default=5025,
                         help="TCP port of a device whose address names none (default 5025)")
        sub.add_argument("--timeout", type=options.timeout, default=5.0, metavar="SECONDS",
                         help="how long to wait for the device to connect or to answer (default 5)")

    update = command("update", run_update,
                     "Check an FPGA image (.bin, or signed .tbin), then on each device: write it, read it back "
                     "and compare, load it, and report the new FPGA version. Several devices are updated at once.")
    update.add_argument("--address", dest="devices", type=one_address, action="extend", default=[],
                        metavar="HOST[:PORT]", help="a device to update (repeat for several)")
    update.add_argument("--addresses", dest="devices", action=AddressFile, metavar="FILE",
                        help="a file of devices to update: one HOST[:PORT] a line, # starts a comment")
    update.set_defaults(address_files=[])
    connection(update)
    device_type(update, "device type of the devices (default 32)")
    update.add_argument("--jobs", type=options.positive_count, default=8, metavar="N",
                        help="update up to N devices at once (default 8)")
    update.add_argument("--window", type=options.window, default=1, metavar="N",
                        help="keep up to N commands in flight (default 1); the device must process commands in "
                             "order from a byte stream, as the emulator does")
    update.add_argument("--json", metavar="FILE", help="also write each device's outcome to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    update.add_argument("image", metavar="IMAGE", help="the image file")

    inspect = command("inspect", run_inspect, "Show what an FPGA image holds and whether it passes the update's "
                                              "checks, without a device.")
    inspect.add_argument("--device-type", type=int, choices=DEVICE_TYPES,
                         help="also check that the image is for this device type")
    inspect.add_argument("image", metavar="IMAGE", help="the image file")

    init = command("init", run_init, "Initialise the device's FPGA controller and show what the device reports.")
    init.add_argument("--address", required=True, action=options.Once, metavar="HOST[:PORT]",
                      help="the device (one: init initialises one device at a time)")
    connection(init)
    device_type(init, "device type (default 32; 28 needs --no-fw-check)")
    init.add_argument("--no-fw-check", action="store_true", help="do not compare the FPGA version with its minimum")

    pack = command("pack", run_pack, "Sign a raw FPGA image for one or more device types, as a .tbin file.")
    pack.add_argument("--device-type", type=options.device_type, action="append", required=True,
                      help="a device type the image is for (repeat for several)")
    pack.add_argument("--set", type=header_member, action="append", default=[], metavar="KEY=VALUE",
                      help="an extra JSON header member (VALUE is JSON, or else text)")
    pack.add_argument("image", metavar="IMAGE", help="the raw image")
    pack.add_argument("output", metavar="OUTPUT", help="the signed image to write")

    emulate = command("emulate", run_emulate, "Serve an emulated device (on 127.0.0.1 unless --host names another) "
                                              "until interrupted; "
                                              "-v logs each connection and each update's outcome.")
    add_emulator_options(emulate)
    add_fault_options(emulate)

    demo = command("demo", run_demo, "Start an emulated device, sign a sample image, initialise the device "
                                     "and update it, showing each step.")
    demo.set_defaults(device_type=32, no_fw_check=False, port=5025, timeout=5.0, jobs=1, window=1, json=None)
    return top


def main(argv=None):
    out, err = GuardedOutput(sys.stdout), GuardedOutput(sys.stderr)
    try:
        args = parser().parse_args(argv)
        args.out, args.err = out, err
        configure_logging(args.verbose)
        try:
            return args.run(args) or 0
        except Failure as failure:
            err.line(f"orbisk-fpga: error: {failure}")
            return 1
        except KeyboardInterrupt:
            err.line("orbisk-fpga: interrupted")
            return INTERRUPTED
    finally:
        if out.dead and sys.stdout is not None:  # the interpreter's last flush of stdout must not fail on a broken pipe
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


if __name__ == "__main__":
    sys.exit(main())
