"""orbisk-fpga verify: whether each device runs exactly an image, from what it reports, its
read-back and the update history."""

import collections
import contextlib
import shlex

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (Failure, add_device_options, add_device_type_option, add_history_options,
                                        device_targets, lock_folder, read_history_path, resolve_devices, results_output,
                                        write_report)
from orbisk_tools.cli.images import (add_trust_key_option, image_files, image_snapshot, trusted_keys,
                                     vendor_verified)
from orbisk_tools.report.tags import add_group_option, grouped, tag_text, tags_of

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
    add_group_option(parser)


def run(args):
    from orbisk_tools.cli.update import RESULTS_LOST, run_heading
    from orbisk_tools.records.attempts import new_run_id, now
    from orbisk_tools.engine.inspection import open_if_there
    from orbisk_tools.engine.outcomes import Result
    from orbisk_tools.records.history import HistoryUnavailable

    keys = trusted_keys(args)
    resolved = resolve_devices(args, device_targets(args))
    path = read_history_path(args)
    with results_output(args, [*image_files(args.image), *args.address_files, *args.trust_key, path]) as results, \
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
        started = now()
        found = read_back(args, resolved, snapshot, history)
        show_verdicts(args, found, snapshot.facts)
        if results is not None:
            report = {**run_heading(new_run_id(), started, snapshot.facts), "image": args.image,
                      "device_type": args.device_type,
                      "devices": [{**as_json(outcome), "tags": list(tags_of(args, outcome.address))}
                                  for outcome in found]}
            if not write_report(results, args, report, RESULTS_LOST):
                return 1
    return 0 if all(outcome.result == Result.RUNS for outcome in found) else 1


def read_back(args, resolved, snapshot, history):
    """The verdict of each device of `resolved` on the image of `snapshot` (inspection.verdicts),
    up to --jobs at once, each under its device lock."""
    from orbisk_tools.engine.inspection import verdicts
    from orbisk_tools.engine.workers import Pool, worker_count

    with lock_folder() as folder, Pool(worker_count(len(resolved), args.jobs)) as pool:
        return verdicts(resolved, snapshot, args.device_type, args.timeout, args.window, args.jobs, folder, history,
                        pool)


# The order verdicts are shown in: what needs doing first, by kind.
ORDER = ("failed", "differs", "not loaded", "not confirmed", "runs")


def show_verdicts(args, found, image):
    """Each device's verdict, those that do not run the image first, grouped by verdict (on a site,
    those that run it are only counted; with --group-by tag, tag by tag); then the counts, and the
    command that loads the image where it is held without running."""
    from orbisk_tools.engine.inspection import verdict_text
    from orbisk_tools.engine.outcomes import HOLDS, Result
    from orbisk_tools.report.live import SITE_DEVICES

    ordered = sorted(found, key=lambda outcome: ORDER.index(outcome.result))

    def show(group, members):
        if group:
            args.out.line(f"{group}:")
        for outcome in members:
            if outcome.result != Result.RUNS or len(members) <= SITE_DEVICES:
                tags = "" if group else tag_text(args, outcome.address)
                tags = f" [{tags}]" if tags else ""
                verdict = outcome.message if outcome.result in HOLDS else verdict_text(outcome)
                args.out.line(f"{outcome.address}{tags}: {verdict}")
        args.out.line(counts_line(args, members, image))

    if grouped(args, ordered, show):
        args.out.line(f"All: {counts_line(args, found, image)}")
    unloaded = [outcome.address for outcome in ordered if outcome.result in HOLDS - {Result.RUNS}]
    if not unloaded:
        return
    if args.json not in (None, "-") and len(unloaded) > 1:
        args.out.line(f"To load it where it is held, and update the others that do not run it: orbisk-fpga update "
                      f"--retry-failed-in {shlex.quote(args.json)} --device-type {args.device_type} "
                      f"{shlex.quote(args.image)}")
        return
    named = " ".join(f"--address {shlex.quote(address)}" for address in unloaded)
    args.out.line(f"To load it where it is held, without writing it again: orbisk-fpga update {named} "
                  f"--device-type {args.device_type} {shlex.quote(args.image)}")


def counts_line(args, found, image):
    """"N of M devices run IMAGE, ..." of the verdicts `found`."""
    from orbisk_tools.engine.outcomes import Result

    counts = collections.Counter(outcome.result for outcome in found)
    others = [f"{counts[Result.NOT_LOADED] + counts[Result.NOT_CONFIRMED]} hold it without running it",
              f"{counts[Result.DIFFERS]} differ", f"{counts[Result.FAILED]} cannot tell"]
    shown = ", ".join(text for text in others if not text.startswith("0 "))
    return (f"{counts[Result.RUNS]} of {len(found)} devices run {args.image}{', ' if shown else ''}{shown} "
            f"(SHA-256 {image.sha256}, {image.size} bytes)")


def as_json(outcome):
    """A device's verdict: both facts (its memory holds the image; its FPGA runs it), what it said."""
    from orbisk_tools.engine.inspection import verdict_text
    from orbisk_tools.engine.outcomes import HOLDS, Result

    return {"address": outcome.address, "serial": outcome.serial, "result": outcome.result,
            "holds": outcome.result in HOLDS, "runs": outcome.result == Result.RUNS,
            "fpga_version": outcome.fpga_version_before or None, "fpga_runs": outcome.runs,
            "verdict": verdict_text(outcome), "message": outcome.message, "reason": outcome.reason,
            "details": outcome.details}
