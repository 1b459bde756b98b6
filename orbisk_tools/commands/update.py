"""orbisk-fpga update: check an image, then update one device or a site."""

import argparse
import contextlib
import json
import signal

from orbisk_tools import files, options
from orbisk_tools.commands.shared import (INTERRUPTED, Failure, add_connection_options, add_device_type_option,
                                          lock_folder, resolve_devices)
from orbisk_tools.display import GuardedOutput, human_rate, summary_table, view_for

NAME = "update"
HELP = ("Check an FPGA image (.bin, or signed .tbin), then on each device: write it, read it back "
        "and compare, load it, and report the new FPGA version. Several devices are updated at once.")
EXAMPLES = ("examples:\n  orbisk-fpga update --address 192.168.1.20 --device-type 32 fpga.tbin\n"
            "  orbisk-fpga update --address 192.168.1.20 --address 192.168.1.21:5025 fpga.tbin\n"
            "  orbisk-fpga update --addresses site-a.txt --jobs 4 --json result.json fpga.tbin")


def add_options(parser):
    parser.add_argument("--address", dest="devices", type=one_address, action="extend", default=[],
                        metavar="HOST[:PORT]", help="a device to update (repeat for several)")
    parser.add_argument("--addresses", dest="devices", action=AddressFile, metavar="FILE",
                        help="a file of devices to update: one HOST[:PORT] a line, # starts a comment")
    parser.set_defaults(address_files=[])
    add_connection_options(parser)
    add_device_type_option(parser, "device type of the devices (default 32)")
    parser.add_argument("--jobs", type=options.positive_count, default=8, metavar="N",
                        help="update up to N devices at once (default 8)")
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help="keep up to N commands in flight (from 1 to 1024); the default, auto, learns from "
                             "each device with read-only queries how many its link needs, and updates one "
                             "command at a time a device that takes no commands in flight")
    parser.add_argument("--erase-timeout", type=options.timeout, default=120.0, metavar="SECONDS",
                        help="how long to wait for the device to erase its configuration memory (default 120)")
    parser.add_argument("--json", metavar="FILE", help="also write each device's outcome to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    parser.add_argument("image", metavar="IMAGE", help="the image file")


def run(args):
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
                settings = Settings(args.image, args.device_type, args.timeout, args.window, folder,
                                    args.erase_timeout)
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
