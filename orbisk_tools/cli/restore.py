"""orbisk-fpga restore: write a backup that update --backup kept back to the device it was taken from."""

import contextlib

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (INTERRUPTED, TERMINATED, Failure, add_connection_options,
                                        add_device_type_option, add_erase_timeout_option, add_history_options,
                                        one_device, resolve_devices, results_output)
from orbisk_tools.cli.images import (add_trust_key_option, image_files, image_snapshot, refused_as_failure,
                                     trusted_keys)
from orbisk_tools.cli.update import RESULTS_LOST, run_heading, run_with_view
from orbisk_tools.engine.outcomes import SUCCEEDED
from orbisk_tools.report.summary import report_one, report_unrecorded

NAME = "restore"
HELP = ("Write BACKUP, the configuration memory that update --backup kept of a device before its erase, back "
        "to that device through the update's own path (erase, write, read back and compare, load): the device "
        "then holds, and runs, its previous image.")
EXAMPLES = ("examples:\n  orbisk-fpga restore --address 192.168.1.20 backups/SN-0042_20261209T141502Z_3fa9c1d2e4b5a6f7.bin\n"
            "  orbisk-fpga restore --trust-key vendor.pub --address 192.168.1.20 BACKUP   # only a backup the "
            "history recorded")


def add_options(parser):
    parser.add_argument("--address", metavar="HOST[:PORT]", action=options.Once, required=True,
                        help="the device to restore")
    add_device_type_option(parser, "device type of the device (default 32)")
    add_connection_options(parser)
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"keep up to N commands in flight ({options.window_or_auto.range}); default: learnt "
                             "from the device")
    add_erase_timeout_option(parser)
    parser.add_argument("--json", metavar="FILE|-", help="also write the device's outcome to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    add_trust_key_option(parser, "BACKUP is then written only when the update history recorded it, kept from this "
                                 "very device (a backup carries no vendor signature)")
    parser.add_argument("image", metavar="BACKUP", help="the backup file, as update --backup kept it")
    add_history_options(parser)


def run(args):
    from orbisk_tools.cli.arguments import open_history
    from orbisk_tools.engine.restore import Restore
    from orbisk_tools.records.attempts import history_path, now
    from orbisk_tools.records.history import HistoryUnavailable

    keys = trusted_keys(args)
    target = one_device(args)
    resolved = resolve_devices(args, [target])
    with refused_as_failure():
        restore = Restore.of(args.image, bool(keys))
    try:
        history = open_history(args)
    except HistoryUnavailable as refused:
        raise Failure(str(refused)) from None
    try:
        with refused_as_failure():
            restore.vouched(history)
        inputs = [*image_files(args.image), *args.trust_key, None if args.no_history else history_path(args.history)]
        with results_output(args, inputs) as results, contextlib.ExitStack() as held:
            if restore.kept is not None:  # on standard error when the results go to standard output
                args.out.line(restore.said())
            else:
                args.err.line(f"orbisk-fpga restore: warning: {restore.said()}")
            snapshot = held.enter_context(image_snapshot(args.image, args.device_type))  # no signature: vouched
            with refused_as_failure():
                restore.same_bytes(snapshot)
            started = now()
            (outcome,), run_id, interrupted, terminated = run_with_view(
                args, resolved, snapshot, history, held, jobs=1, force=False, dry_run=False, max_failures=None,
                canary=None, waves=None, allow_older=True, restore_of=restore.devices())
            if outcome.result == "updated":
                args.out.line(f"{target.label}: restored {args.image}: it holds its previous image, read back, and "
                              f"runs FPGA version {outcome.fpga_version or '(not reported)'}")
            else:
                report_one(args.out, args.err, outcome)
            recorded = report_unrecorded(args.err, [outcome])
            written = results is None or write_result(results, args, outcome, run_heading(run_id, started,
                                                                                            snapshot.facts))
    finally:
        if history is not None:
            history.close()
    if interrupted:
        return TERMINATED if terminated else INTERRUPTED
    return 0 if written and recorded and outcome.result in SUCCEEDED else 1


def write_result(results, args, outcome, heading):
    from orbisk_tools.cli.arguments import write_report

    report = {**heading, "image": args.image, "device_type": args.device_type, "vendor_key_id": None,
              "devices": [outcome.reported()]}
    return write_report(results, args, report, RESULTS_LOST)
