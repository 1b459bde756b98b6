"""orbisk-fpga update: check an image, then update one device or a site."""

import contextlib
import signal

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (INTERRUPTED, TERMINATED, Failure, add_device_options, add_device_type_option,
                                        add_erase_timeout_option, add_history_options, device_targets,
                                        resolve_devices, results_output, write_report)
from orbisk_tools.cli.images import (add_trust_key_option, image_files, image_snapshot, trusted_keys,
                                     vendor_verified)
from orbisk_tools.engine.outcomes import SUCCEEDED
from orbisk_tools.report.live import view_for
from orbisk_tools.report.summary import report_fleet, report_one, report_unrecorded
from orbisk_tools.report.tags import add_group_option, tags_of

RESULTS_LOST = "the output above is the only record of this run"

NAME = "update"
HELP = ("Check an FPGA image (.bin, or signed .tbin), then on each device: write it, read it back "
        "and compare, load it, and report the new FPGA version. Several devices are updated at once.")
EXAMPLES = ("examples:\n  orbisk-fpga update --address 192.168.1.20 --device-type 32 fpga.tbin\n"
            "  orbisk-fpga update --address 192.168.1.20 --address 192.168.1.21:5025 fpga.tbin\n"
            "  orbisk-fpga update --addresses site-a.txt --jobs 4 --json result.json fpga.tbin\n"
            "  orbisk-fpga update --addresses site-a.txt --tag rack1 --waves 1,10%,50%,100% fpga.tbin\n"
            "  orbisk-fpga update --addresses site-a.txt --canary 2 --soak 10m --backup backups fpga.tbin\n"
            "  orbisk-fpga update --trust-key vendor.pub --address 192.168.1.20 fpga.tbin   # fpga.tbin.minisig too")


def add_options(parser):
    add_device_options(parser, "to update")
    add_device_type_option(parser, "device type of the devices (default 32)")
    parser.add_argument("--jobs", type=options.job_count, default=8, metavar="N",
                        help=f"update up to N devices at once ({options.job_count.range}; default 8)")
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"keep up to N commands in flight ({options.window_or_auto.range}); the default, auto, "
                             "learns from each device with read-only queries how many its link needs, and updates "
                             "one command at a time a device that takes no commands in flight")
    add_erase_timeout_option(parser)
    parser.add_argument("--json", metavar="FILE|-", help="also write each device's outcome to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    add_trust_key_option(parser, "the image must then carry a signature IMAGE.minisig by one of the trusted keys, "
                                 "or no device is touched")
    parser.add_argument("--backup", metavar="DIR",
                        help="before erasing each device, read its whole configuration memory back into a new file "
                             "in DIR (a folder of yours that others cannot write to; not a link), "
                             "SERIAL_TIME_SHA16.bin, recorded in the history for restore; a device whose backup "
                             "cannot be read or written is not erased")
    parser.add_argument("image", metavar="IMAGE", help="the image file")
    add_history_options(parser)
    add_rollout_options(parser)
    add_group_option(parser)


def add_rollout_options(parser):
    rollout = parser.add_argument_group("rollout")
    rollout.add_argument("--dry-run", action="store_true",
                         help="connect, identify each device and check the image; say what would be done, "
                              "changing nothing")
    rollout.add_argument("--force", action="store_true",
                         help="also update a device whose last recorded update loaded this image, and which still "
                              "reports the version it had after it (such a device is skipped otherwise)")
    retry = rollout.add_mutually_exclusive_group()
    retry.add_argument("--retry-failed", dest="retry_failed", action="store_const", const="last",
                         help="update only the devices whose update did not succeed in the last run of the history")
    retry.add_argument("--retry-failed-in", dest="retry_failed", metavar="RUN|FILE",
                         help="update only the devices whose update did not succeed in run RUN of the history, or "
                              "in FILE, a result file of --json")
    rollout.add_argument("--allow-older", action="store_true",
                         help="also load an image whose header names an older version than the one the device "
                              "reports (such a device is refused before its erase otherwise)")
    rollout.add_argument("--max-failures", type=options.device_count, metavar="N",
                         help=f"start no new device after N devices failed ({options.device_count.range}); the rest "
                              "are reported not started")
    staged = rollout.add_mutually_exclusive_group()
    staged.add_argument("--waves", type=options.waves, metavar="SIZES",
                        help="update the devices in waves, in the order given: SIZES are cumulative, numbers of "
                             "devices or shares of them (1,10%%,50%%,100%%); a wave starts only once every device of "
                             "the waves before it was updated or skipped, and the devices after the last wave are "
                             "not started")
    staged.add_argument("--canary", type=options.device_count, metavar="N",
                        help=f"update the first N devices first ({options.device_count.range}), and the rest only "
                             "if all of them succeeded: --waves N,100%%")
    rollout.add_argument("--soak", type=options.duration, metavar="DURATION",
                         help="with --waves or --canary: once every device of a wave ended, wait DURATION (90s, 5m, "
                              f"1h or seconds; {options.duration.range}), then ask each device of it that succeeded, "
                              "changing nothing, whether it still runs the image; one that does not fails, and the "
                              "waves after it are not started")
    rollout.add_argument("--share-site", metavar="NAME",
                         help="update the site NAME together with other laptops, each given the same device list "
                              "and the same --history postgresql://USER@HOST/DB: each takes the next device no "
                              "laptop has taken, and the waves and --max-failures hold for the whole site")
    rollout.add_argument("--yes", action="store_true",
                         help="do not ask before erasing several devices (asked only on a terminal)")


def run(args):
    from orbisk_tools.records.history import HistoryUnavailable
    from orbisk_tools.cli.arguments import open_history

    keys = trusted_keys(args)
    try:
        history = open_history(args)
    except HistoryUnavailable as refused:
        raise Failure(str(refused)) from None
    try:
        return update_site(args, history, keys)
    finally:
        if history is not None:
            history.close()


def update_site(args, history, keys):
    from orbisk_tools.records.attempts import now
    from orbisk_tools.engine.rollout import RetryRefused, describe_run, devices_to_retry

    if args.retry_failed is not None:
        try:
            failed = devices_to_retry(args.retry_failed, history)
        except RetryRefused as refused:
            raise Failure(str(refused)) from None
        if failed and failed[0][0].startswith("run ") and history is not None:
            args.err.line(f"Retrying the devices that did not succeed in {describe_run(history, failed[0][0][4:])}")
        if not failed:
            args.out.line("No device to retry: every device of that run succeeded")
            return 0
        named = {}
        if args.devices:  # only those of the devices named, as --exclude and --tag choose them, with their tags
            device_targets(args)
            named = args.device_tags
            failed = [entry for entry in failed if entry[1] in named]
            args.excluded, args.tags = [], []  # chosen already
        elif args.tags:
            args.parser.error("--tag chooses among the devices of address lists; name the list with --addresses")
        args.devices = [(where, address, named.get(address, ())) for where, address in failed]
        if not failed:
            args.out.line("No device to retry: every device named succeeded in that run")
            return 0
    targets = device_targets(args)
    check_waves(args, len(targets))
    if args.soak is not None and args.waves is None and args.canary is None:
        args.parser.error("--soak needs --waves or --canary: each wave soaks before the next one starts")
    if args.share_site is not None and not hasattr(history, "share_site"):
        args.parser.error("--share-site needs a team's history: --history postgresql://USER@HOST/DB")
    resolved = resolve_devices(args, targets)
    with results_output(args, run_inputs(args)) as results, contextlib.ExitStack() as held:
        snapshot = held.enter_context(image_snapshot(args.image, args.device_type, keys))
        vendor = snapshot.vendor
        if vendor is not None:
            args.out.line(vendor_verified(vendor))
        folder = backup_folder(args)
        if args.soak is not None and not args.dry_run:
            from orbisk_tools.engine.soak import unconfirmable

            cannot = unconfirmable(snapshot.facts, history, args.image)
            if cannot:
                raise Failure(cannot)
        if not confirmed(args, len(resolved)):
            args.err.line("orbisk-fpga: not confirmed; no device was touched")
            return 1
        started = now()
        outcomes, run_id, interrupted, terminated = run_with_view(
            args, resolved, snapshot, history, held, jobs=args.jobs, force=args.force, dry_run=args.dry_run,
            max_failures=args.max_failures, canary=args.canary, waves=args.waves, allow_older=args.allow_older,
            share_site=args.share_site, soak=args.soak, backup=folder)
        if len(outcomes) > 1:
            report_fleet(args.out, args.err, outcomes, verbose=getattr(args, "verbose", False), args=args)
        elif outcomes:
            report_one(args.out, args.err, outcomes[0])
        if args.share_site is not None:
            if not outcomes:
                args.out.line(f"No device of site {args.share_site} was left to take")
            args.out.line(site_line(args.share_site, history.site_devices(args.share_site)))
        recorded = report_unrecorded(args.err, outcomes)
        written = write_json(results, args, outcomes, run_heading(run_id, started, snapshot.facts), vendor)
    if interrupted:
        return TERMINATED if terminated else INTERRUPTED
    return 0 if written and recorded and all(o.result in SUCCEEDED for o in outcomes) else 1


def backup_folder(args):
    """The folder of --backup, as an absolute path (see engine.backup); None without it. A folder that
    is missing, or cannot be used or trusted, is a Failure, before any device is touched."""
    from orbisk_tools.engine import backup

    if getattr(args, "backup", None) is None:
        return None
    try:
        return backup.backup_folder(args.backup)
    except backup.BackupFolderRefused as refused:
        raise Failure(str(refused)) from None


def run_with_view(args, resolved, snapshot, history, held, **engine):
    """run_updates() of the devices of `resolved` with the image of `snapshot`, drawn by the live view,
    on worker processes for a site (forked before the view's thread starts, and ended by `held`);
    `engine` are run_updates()'s rollout options. A closed terminal does not end it, and SIGTERM
    stops it as Ctrl-C does. (outcomes, run id, interrupted, terminated)."""
    from orbisk_tools.engine.api import run_updates
    from orbisk_tools.engine.locks import LockFolderRefused
    from orbisk_tools.engine.sharing import SiteRefused
    from orbisk_tools.engine.workers import Pool, worker_count

    view = None
    hangup = signal.signal(signal.SIGHUP, signal.SIG_IGN)  # a closed terminal must not end an update midway
    terminated = []  # SIGTERM (from timeout, systemd, CI) stops the update as Ctrl-C does

    def terminate(signum, frame):
        terminated.append(signum)
        raise KeyboardInterrupt

    termination = signal.signal(signal.SIGTERM, terminate)
    try:
        # Both cores for a site: the worker processes are forked before the display's thread starts.
        pool = held.enter_context(Pool(worker_count(len(resolved), engine["jobs"])))
        view = view_for(args.out, len(resolved))
        outcomes, run_id, interrupted = run_updates(
            resolved, snapshot, device_type=args.device_type, timeout=args.timeout, erase_timeout=args.erase_timeout,
            window=args.window, view=view, history=history, cancel=None, pool=pool, **engine)
    except (LockFolderRefused, SiteRefused) as refused:
        raise Failure(str(refused)) from None
    finally:
        if view is not None:
            view.close()
        signal.signal(signal.SIGHUP, hangup)
        signal.signal(signal.SIGTERM, termination)
    return outcomes, run_id, interrupted, bool(terminated)


def site_line(name, devices):
    """What a shared site's `devices` (records.postgres.SiteDevice) say after this laptop's run:
    "Site rack-7: 300 devices, 152 by this laptop, 148 by field@laptop-b; 2 failed"."""
    import collections

    by = collections.Counter("this laptop" if device.ours else device.taken_by for device in devices
                             if device.state == "done")
    parts = [f"{count} by {who}" for who, count in sorted(by.items(), key=lambda item: item[0] != "this laptop")]
    failed = sum(device.result not in SUCCEEDED for device in devices if device.state == "done")
    left = sum(device.state != "done" for device in devices)
    ending = "; ".join(filter(None, [f"{failed} not succeeded" if failed else "",
                                      f"{left} not done; run the command again to take them" if left else ""]))
    return f"Site {name}: {len(devices)} devices, {', '.join(parts) or 'none done'}" + (f"; {ending}" if ending else "")


def check_waves(args, count):
    """--waves that would shrink for a site of `count` devices are a usage error."""
    from orbisk_tools.engine.rollout import wave_ends

    if args.waves is not None:
        try:
            wave_ends(args.waves, count)
        except ValueError as error:
            args.parser.error(f"--waves: {error}")


def confirmed(args, count):
    """Whether to go on with the erase of `count` devices: on a terminal, several devices are
    erased only once the user says yes, asked once; else (a script, --yes, a dry run) always."""
    import sys

    if count < 2 or args.yes or args.dry_run or not (sys.stdin and sys.stdin.isatty() and args.out.isatty()):
        return True
    args.out.write(f"Erase and write the FPGA image of {count} devices? [y/N] ")
    args.out.flush()
    answer = sys.stdin.readline()
    if not answer.endswith("\n"):  # Ctrl-D: the terminal did not end the line
        args.out.line("")
    return answer.strip().lower() in ("y", "yes")


def run_inputs(args):
    """The files this run reads, which --json FILE must not replace."""
    from orbisk_tools.records.attempts import history_path

    named = [*image_files(args.image), *args.address_files, *args.trust_key, args.retry_failed]
    return named if args.no_history else [*named, history_path(args.history)]


def run_heading(run_id, started, image):
    """What a result file says of its run first: its id, when it started, the command, and the
    image's SHA-256 and size (`image`, a history.ImageFacts)."""
    import sys

    return {"run_id": run_id, "started": started, "command": ["orbisk-fpga", *sys.argv[1:]],
            "sha256": image.sha256, "size": image.size}


def write_json(results, args, outcomes, heading, vendor=None):
    """Writes the run's heading and each device's outcome to where --json says; False when it
    could not be written."""
    if results is None:
        return True
    report = {**heading, "image": args.image, "device_type": args.device_type,
              "vendor_key_id": vendor and vendor.key_id,
              "devices": [{**o.reported(), "tags": list(tags_of(args, o.address))} for o in outcomes]}
    return write_report(results, args, report, RESULTS_LOST)
