"""orbisk-fpga emulate: serve an emulated device, or a site of them, until interrupted."""

import argparse
import copy
import dataclasses
import hashlib
import ipaddress
import os
import resource
import shlex
import signal

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure, refuse_text_file
from orbisk_tools.devices import flash
from orbisk_tools.devices.emulator import default_serial
from orbisk_tools.devices.faults import SPLIT_PAUSE, SPLIT_SIZE, Faults
from orbisk_tools.formats import files

NAME = "emulate"
HELP = ("Serve an emulated device (on 127.0.0.1 unless --host names another), or a site of them with --devices, "
        "until interrupted; -v logs each connection and each update's outcome.")
EXAMPLES = ("examples:\n  orbisk-fpga emulate --port 5025 --refuse-block 3 --refuse-times 2\n"
            "  orbisk-fpga emulate --port 5025 --state device.json   # kill -USR1 power-cycles it\n"
            "  orbisk-fpga emulate --devices 200 --port 0 --list site.txt --faults-file faults.txt\n"
            "  orbisk-fpga update --addresses site.txt --jobs 64 fpga.tbin")
MAX_FAULTS_FILE_SIZE = 1024 * 1024
FAULTS_FILE_HELP = """\
a faults file gives some devices of the site faults or timings of their own: one line each,
a selector and then the fault options above, # comments. The devices are numbered from 1 in
the order of their ports (or addresses); a later line overrides what an earlier one set.
  all --latency 0.001                          every device
  every 10 --refuse-block 3 --refuse-times 0   devices 10, 20, 30, ...
  5 --silent-after 100                         device 5
  20-29 --write-rate 100000                    devices 20 to 29"""


def add_options(parser):
    add_emulator_options(parser)
    add_site_options(parser)
    add_fault_options(parser)
    parser.epilog = f"{parser.epilog}\n\n{FAULTS_FILE_HELP}" if parser.epilog else FAULTS_FILE_HELP


def run(args):
    from orbisk_tools.devices import serving

    faults = faults_of_devices(args)
    try:
        serve(args, faults, announce=args.out.line)
    except serving.CannotListen as error:
        raise Failure(cannot_listen(error.host, error.port, error)) from None


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
                        help=f"TCP port ({options.listening_port.range}; default 5025; 0: any free port), "
                             "the first of a site's")
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    parser.add_argument("--serial", metavar="TEXT",
                        help="the serial number it reports (default VORN- and its port in six digits, or with "
                             "--hosts its address's number within 127.0.0.0/8)")
    parser.add_argument("--new-fpga-version", default="0.2.4.0", help="FPGA version reported after an update")
    parser.add_argument("--header-version-of", metavar="IMAGE", type=header_version, action="append", default=[],
                        help="once the image of the signed IMAGE is loaded, report the version its header names "
                             "(repeat for several images)")
    parser.add_argument("--erased", action="store_true",
                        help="start with an erased configuration memory, the FPGA running no image (with --state: "
                             "when its file does not exist yet)")
    parser.add_argument("--state", metavar="PATH",
                        help="keep the device's configuration memory, loaded image and serial number in the file "
                             "PATH, and start as it left it (with --devices N: in the folder PATH, a file "
                             "device-K.json for each device K)")
    parser.add_argument("--power-cycle-after", type=options.seconds, metavar="SECONDS",
                        help=f"switch every device off and on once, SECONDS ({options.seconds.range}) after the "
                             "start; SIGUSR1 does it at any time")


def add_site_options(parser):
    group = parser.add_argument_group("a site")
    group.add_argument("--devices", type=options.site_size, default=1, metavar="N",
                       help=f"serve N devices ({options.site_size.range}) from this one process, on ports --port to "
                            "--port+N-1 (each a free one with --port 0)")
    group.add_argument("--hosts", action="store_true",
                       help="serve the devices on one port of consecutive loopback addresses from --host "
                            "(127.0.0.1, 127.0.0.2, ...) instead")
    group.add_argument("--list", metavar="FILE",
                       help="write the devices' addresses to FILE, one a line with its serial number, as "
                            "update --addresses reads them")
    group.add_argument("--faults-file", metavar="FILE",
                       help="faults and timings for some of the devices (see below)")


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
    faults.add_argument("--no-image-at-power-up", action="store_true",
                        help="after a power cycle, run no FPGA image whatever the configuration memory holds, as a "
                             "device whose image loads when asked but not at power-up")
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
    named = {field.name: getattr(args, field.name) for field in dataclasses.fields(Faults) if hasattr(args, field.name)}
    return Faults(**{**named, "refuse_times": refuse_times, "corrupt_read_offset": args.corrupt_read_byte})


class _FaultLineParser(argparse.ArgumentParser):
    """The fault options of one line of a faults file: only those given, and errors raised."""

    def __init__(self):
        super().__init__(prog="", add_help=False)
        add_fault_options(self)
        for action in self._actions:
            action.default = argparse.SUPPRESS

    def error(self, message):
        raise ValueError(message)


def faults_of_devices(args):
    """The Faults of each device of the site that `args` ask for: the command line's, and over
    them what the lines of --faults-file that select the device set. A wrong line is a usage
    error that names it."""
    parser = args.parser
    if args.serial is not None and args.devices > 1:
        parser.error("--serial names one device; a site's devices report serial numbers of their own")
    if args.faults_file is None:
        faults = faults_from(args, parser)
        return [dataclasses.replace(faults) for _ in range(args.devices)]
    line_parser = _FaultLineParser()
    lines = read_faults_file(args.faults_file, args.devices, parser, line_parser)
    faults = []
    for number in range(1, args.devices + 1):
        given = copy.copy(args)
        for where, selects, options_given in lines:
            if selects(number):
                vars(given).update(options_given)
        try:
            faults.append(faults_from(given, line_parser))
        except ValueError as error:
            parser.error(f"{args.faults_file}: device {number}: {error}")
    return faults


def read_faults_file(path, device_count, parser, line_parser):
    """The lines of a faults file as (where, selects(device number), {option: value}), their
    options read by `line_parser`; a wrong one is a usage error of `parser`."""
    try:
        text = files.read_trusted_file(path, MAX_FAULTS_FILE_SIZE, "a faults file").decode("utf-8")
    except (files.Unusable, OSError, UnicodeDecodeError) as error:
        refuse_text_file(parser, path, error)
    lines = []
    for number, line in enumerate(text.splitlines(), 1):
        where = f"{path} line {number}"
        try:
            words = shlex.split(line, comments=True)
            if not words:
                continue
            selects, options_at = device_selector(words, device_count)
            given = vars(line_parser.parse_args(words[options_at:]))
            if not given:
                raise ValueError("no fault option follows the devices it selects")
        except ValueError as error:
            parser.error(f"{where}: {error}")
        lines.append((where, selects, given))
    return lines


def device_selector(words, device_count):
    """(selects(device number), where the options start) for the selector that starts `words`:
    all, every K, N or N-M. Raises ValueError for one that selects nothing or no device of the site."""
    first, _, last = words[0].partition("-")
    if words[0] == "all":
        return (lambda number: True), 1
    if words[0] == "every":
        if len(words) < 2 or not words[1].isdigit() or int(words[1]) < 1:
            raise ValueError("every takes a number of devices from 1, as in: every 10 --refuse-block 3")
        step = int(words[1])
        return (lambda number: number % step == 0), 2
    if first.isdigit() and (not last or last.isdigit()):
        low, high = int(first), int(last or first)
        if not 1 <= low <= high <= device_count:
            raise ValueError(f"{words[0]} is not among the devices 1 to {device_count}")
        return (lambda number: low <= number <= high), 1
    raise ValueError(f"expected all, every K, a device number N or N-M before the fault options, not {words[0]!r}")


def site_addresses(args):
    """The (host, port) of each device, in order; port 0 picks a free one."""
    if not args.hosts:
        if args.port and args.port + args.devices - 1 > 65535:
            args.parser.error(f"--port {args.port} leaves no room for {args.devices} devices; the last port is 65535")
        return [(args.host, args.port + index if args.port else 0) for index in range(args.devices)]
    try:
        first = ipaddress.IPv4Address(args.host)
    except ValueError:
        first = None
    loopback = ipaddress.IPv4Network("127.0.0.0/8")
    if first is None or first not in loopback or first + (args.devices - 1) not in loopback:
        args.parser.error(f"--hosts serves loopback addresses only: from --host {args.host}, {args.devices} "
                          "devices must stay within 127.0.0.0/8")
    return [(str(first + index), args.port) for index in range(args.devices)]


def listen(args):
    """The listening socket of each device; with --hosts, a port 0 becomes the one chosen for
    the first address. Raises serving.CannotListen."""
    from orbisk_tools.devices import serving

    addresses = site_addresses(args)
    listeners = serving.listen(addresses[:1])
    if args.hosts:
        port = listeners[0].getsockname()[1]
        addresses = [(host, port) for host, _ in addresses]
    try:
        return listeners + serving.listen(addresses[1:])
    except BaseException:
        listeners[0].close()
        raise


def serial_of(args, listener):
    if args.serial is not None:
        return args.serial
    host, port = listener.getsockname()[:2]
    if args.hosts:
        offset = int(ipaddress.IPv4Address(host)) - int(ipaddress.IPv4Address("127.0.0.0"))
        return f"VORN-{offset:06d}"
    return default_serial(port)


def raise_descriptor_limit(count):
    """Lifts the soft limit of open files towards the hard one for a site of `count` devices."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = 4 * count + 64  # a listening socket and a few connections each
    if soft != resource.RLIM_INFINITY and soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard),
                                                    hard))


def serve(args, faults, announce=print):
    """Serves the devices that the options in `args` ask for, each with its Faults of `faults`,
    until interrupted. Raises serving.CannotListen when one cannot listen where asked."""
    import asyncio
    from orbisk_tools.devices import serving, site

    raise_descriptor_limit(args.devices)
    listeners = listen(args)
    try:
        devices = [site.SiteDevice(listener, device_faults, args.erased, new_fpga_version=args.new_fpga_version,
                                   image_versions=dict(args.header_version_of), serial_number=serial_of(args, listener))
                   for listener, device_faults in zip(listeners, faults)]
        keep_states(args, devices)
        addresses = [serving.shown_address(listener) for listener in listeners]
        serials = [device.fpga.serial_number for device in devices]
        if args.list is not None:
            write_address_list(args, addresses, serials)
        if len(devices) == 1:
            announce(f"Device emulator listening on {addresses[0]} (serial number {serials[0]}; Ctrl-C stops it)")
        else:
            listed = f"listed in {args.list}" if args.list is not None else "one a line below"
            where = (f"free ports of {args.host}" if args.port == 0 and not args.hosts
                     else f"{addresses[0]} to {addresses[-1]}")
            announce(f"Device emulator site of {len(devices)} devices listening on {where} "
                     f"(serial numbers {serials[0]} to {serials[-1]}; addresses {listed}; Ctrl-C stops it)")
            if args.list is None:
                for address, serial in zip(addresses, serials):
                    announce(f"{address}  # {serial}")
    except BaseException:
        for listener in listeners:
            listener.close()
        raise
    try:
        asyncio.run(serve_site(zip(listeners, devices), devices, args.power_cycle_after))
    except KeyboardInterrupt:
        pass
    finally:
        for device in devices:
            device.save()


async def serve_site(served, devices, power_cycle_after):
    """serving.serve(served), with SIGUSR1, and `power_cycle_after` seconds unless None,
    switching every device of `devices` off and on."""
    import asyncio
    from orbisk_tools.devices import serving

    def power_cycle():
        for device in devices:
            device.power_cycle()

    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGUSR1, power_cycle)
    if power_cycle_after is not None:
        loop.call_later(power_cycle_after, power_cycle)
    await serving.serve(served)


def keep_states(args, devices):
    """--state: each device keeps its state in its file, and starts as that file says."""
    if args.state is None:
        return
    for other, what in ((args.faults_file, "the faults file"), (args.list, "the address list")):
        if other is not None and files.input_named_by(args.state, [other]):
            raise Failure(f"--state {args.state} is {what}; name another file for the state")
    paths = [args.state]
    if len(devices) > 1:
        try:
            os.makedirs(args.state, mode=0o700, exist_ok=True)
        except OSError as error:
            raise Failure(files.problem(error, args.state)) from None
        paths = [os.path.join(args.state, f"device-{number}.json") for number in range(1, len(devices) + 1)]
    for device, path in zip(devices, paths):
        try:
            device.keep_state_in(path)
        except flash.BadStateFile as error:
            raise Failure(str(error)) from None
        except OSError as error:
            raise Failure(files.problem(error, path)) from None


def write_address_list(args, addresses, serials):
    """--list: the devices' addresses, as update --addresses reads them, written whole."""
    for other, what in ((args.faults_file, "the faults file"), (args.state, "the state file")):
        if other is not None and files.input_named_by(args.list, [other]):
            raise Failure(f"--list {args.list} is {what}; name another file for the list")
    text = "".join(f"{address}  # {serial}\n" for address, serial in zip(addresses, serials))
    try:
        files.write_whole(args.list, f"# {len(addresses)} emulated devices, each with its serial number\n{text}".encode())
    except OSError as error:
        raise Failure(files.problem(error, args.list)) from None


def cannot_listen(host, port, error):
    """The one line that says why the emulator cannot listen on `host`:`port`, and what to do."""
    reason = error.strerror or str(error)
    shown = f"[{host}]" if ":" in host else host
    return (f"cannot listen on {shown}:{port}: {reason}; choose another --port, or 0 for any free port, "
            "or another --host")
