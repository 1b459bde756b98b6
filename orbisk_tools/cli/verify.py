"""orbisk-fpga verify: whether each device runs exactly an image, from what it reports, its
read-back and the update history."""

import contextlib
import shlex

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (Failure, add_device_options, add_device_type_option, add_history_options,
                                          add_trust_key_option, device_targets, image_snapshot, lock_folder,
                                          read_history_path, resolve_devices, results_output, trusted_keys,
                                          vendor_verified, write_report)

NAME = "verify"
HELP = ("Read back the FPGA image each device's configuration memory holds, compare it with IMAGE and tell "
        "whether the device runs it, changing nothing: exit 0 only when every device runs exactly the image.")
EXAMPLES = ("examples:\n  orbisk-fpga verify --address 192.168.1.20 fpga.tbin\n"
            "  orbisk-fpga verify --addresses site-a.txt --jobs 4 --json verdicts.json fpga.tbin")

def add_options(parser):
    add_device_options(parser, "to verify")
    add_device_type_option(parser, "device type of the devices (default 32)")
    parser.add_argument("--jobs", type=options.job_count, default=8, metavar="N",
                        help=f"verify up to N devices at once ({options.job_count.range}; default 8)")
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"keep up to N read-back commands in flight ({options.window_or_auto.range}); "
                             "default: learnt from each device")
    parser.add_argument("--json", metavar="FILE|-", help="also write each device's verdict to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    add_trust_key_option(parser, "the image must then carry a signature IMAGE.minisig by one of the trusted keys")
    parser.add_argument("image", metavar="IMAGE", help="the image file")
    add_history_options(parser, reads_only=True)


def run(args):
    from orbisk_tools.cli.update import RESULTS_LOST
    from orbisk_tools.engine.inspection import open_if_there, verdict_text, verdicts
    from orbisk_tools.engine.outcomes import HOLDS, Result
    from orbisk_tools.engine.workers import Pool, worker_count
    from orbisk_tools.records.history import HistoryUnavailable

    keys = trusted_keys(args)
    resolved = resolve_devices(args, device_targets(args))
    path = read_history_path(args)
    with results_output(args, [args.image, *args.address_files, *args.trust_key, path]) as results, \
            contextlib.ExitStack() as held:
        snapshot = held.enter_context(image_snapshot(args.image, args.device_type, keys))
        if snapshot.vendor is not None:
            args.out.line(vendor_verified(snapshot.vendor))
        try:
            history = open_if_there(path)
        except HistoryUnavailable as error:
            raise Failure(str(error)) from None
        if history is not None:
            held.callback(history.close)
        with lock_folder() as folder, Pool(worker_count(len(resolved), args.jobs)) as pool:
            found = verdicts(resolved, snapshot, args.device_type, args.timeout, args.window, args.jobs, folder,
                             history, pool)
        for outcome in found:
            args.out.line(f"{outcome.address}: {outcome.message if outcome.result in HOLDS else verdict_text(outcome)}")
        running = sum(outcome.result == Result.RUNS for outcome in found)
        unloaded = [outcome.address for outcome in found if outcome.result in HOLDS - {Result.RUNS}]
        held_only = f", {len(unloaded)} hold it without running it" if unloaded else ""
        args.out.line(f"{running} of {len(found)} devices run {args.image}{held_only} "
                      f"(SHA-256 {snapshot.facts.sha256}, {snapshot.facts.size} bytes)")
        if unloaded:
            named = " ".join(f"--address {shlex.quote(address)}" for address in unloaded)
            args.out.line(f"To load it where it is held, without writing it again: orbisk-fpga update {named} "
                          f"--device-type {args.device_type} {shlex.quote(args.image)}")
        if results is not None:
            report = {"image": args.image, "sha256": snapshot.facts.sha256, "size": snapshot.facts.size,
                      "devices": [as_json(outcome) for outcome in found]}
            if not write_report(results, args, report, RESULTS_LOST):
                return 1
    return 0 if running == len(found) else 1


def as_json(outcome):
    """A device's verdict: both facts (its memory holds the image; its FPGA runs it), what it said."""
    from orbisk_tools.engine.inspection import verdict_text
    from orbisk_tools.engine.outcomes import HOLDS, Result

    return {"address": outcome.address, "serial": outcome.serial, "result": outcome.result,
            "holds": outcome.result in HOLDS, "runs": outcome.result == Result.RUNS,
            "fpga_version": outcome.fpga_version_before or None, "fpga_runs": outcome.runs,
            "verdict": verdict_text(outcome), "message": outcome.message, "reason": outcome.reason,
            "details": outcome.details}
