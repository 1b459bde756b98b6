"""orbisk-fpga status: what each device of a site reports, beside its last recorded update."""

import contextlib
import dataclasses
import socket

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (Failure, add_device_options, add_device_type_option, add_json_option,
                                        device_targets, lock_folder, resolve_devices, results_output, write_report)
from orbisk_tools.cli.arguments import add_history_options, read_history_path
from orbisk_tools.cli.images import image_files
from orbisk_tools.engine.facts import DeviceFacts
from orbisk_tools.report.tags import add_group_option, any_tags, grouped, tag_text, tags_of

NAME = "status"
HELP = ("Show what each device reports (serial number, FPGA identity and version, control firmware version) "
        "beside its last recorded update, changing nothing; a device left without a verified image is flagged.")
EXAMPLES = ("examples:\n  orbisk-fpga status --address 192.168.1.20\n"
            "  orbisk-fpga status --addresses site-a.txt --jobs 8 --json")


def add_options(parser):
    add_device_options(parser, "to ask")
    add_device_type_option(parser, "device type of the devices, which says how to read the FPGA version (default 32)")
    parser.add_argument("--jobs", type=options.job_count, default=8, metavar="N",
                        help=f"ask up to N devices at once ({options.job_count.range}; default 8)")
    add_json_option(parser, "the status")
    add_group_option(parser)
    parser.add_argument("--image", metavar="IMAGE",
                        help="also read back each device and say whether it runs exactly IMAGE, changing nothing")
    add_history_options(parser, reads_only=True)


def run(args):
    resolved = resolve_devices(args, device_targets(args))
    path = read_history_path(args)
    with results_output(args, [path, *image_files(args.image), *args.address_files]) as results:
        statuses = site_status(args, resolved, path)
        if results is not None:
            written = write_report(results, args, [{**as_json(status), "tags": list(tags_of(args, status.address))}
                                                   for status in statuses])
        else:
            written = True
            statuses = sorted(statuses, key=lambda status: not needs_doing(status))  # those that need doing first

            def show(group, members):
                print_table(args.out, members, args, f"FPGA status: {group}" if group else "FPGA status")
                for status in members:
                    if status.unfinished:
                        args.out.line(f"{status.address}: {status.unfinished}")
                if group or len(members) > 1:
                    args.out.line(counts_line(members, args.image))

            if grouped(args, statuses, show) and len(statuses) > 1:
                args.out.line(f"All: {counts_line(statuses, args.image)}")
    return 1 if not written or any(map(needs_doing, statuses)) else 0


def needs_doing(status):
    """Whether the device could not be asked, lacks an image, has an unfinished update, or does
    not run the --image."""
    from orbisk_tools.engine.outcomes import Result

    return bool(status.problem or status.unfinished or status.image_result not in (None, Result.RUNS))


def counts_line(statuses, image):
    """"N devices: A answered, ..." for the devices of a site."""
    from orbisk_tools.engine.outcomes import Result

    unasked = sum(status.reported is None for status in statuses)
    unfinished = sum(bool(status.unfinished) for status in statuses)
    parts = [f"{len(statuses) - unasked} answered", f"{unasked} could not be asked" if unasked else "",
             f"{unfinished} with an unfinished update" if unfinished else ""]
    if image is not None:
        parts.append(f"{sum(status.image_result == Result.RUNS for status in statuses)} run {image}")
    return f"{len(statuses)} devices: " + ", ".join(filter(None, parts))


def site_status(args, resolved, path):
    """The DeviceStatus of each device (see inspection.site_status); an --image is read first."""
    from orbisk_tools.cli.images import image_snapshot
    from orbisk_tools.engine import inspection
    from orbisk_tools.records.history import HistoryUnavailable

    from orbisk_tools.engine.workers import Pool, worker_count

    with contextlib.ExitStack() as held:
        image = None if args.image is None else held.enter_context(image_snapshot(args.image, args.device_type))
        folder = held.enter_context(lock_folder())
        pool = held.enter_context(Pool(worker_count(len(resolved), args.jobs)))
        try:
            return inspection.site_status(resolved, path, args.device_type, args.timeout, args.jobs, folder, image,
                                          pool)
        except HistoryUnavailable as error:
            raise Failure(str(error)) from None


def as_json(status):
    return {"address": status.address,
            "reported": dataclasses.asdict(status.reported) if status.reported else None,
            "problem": status.problem,
            "reason": status.reason,
            "last_attempt": dataclasses.asdict(status.last_attempt) if status.last_attempt else None,
            "last_outcome": status.last_outcome,
            "unfinished": status.unfinished,
            **({} if status.image is None else {"image": status.image, "image_result": status.image_result})}


def print_table(output, statuses, args=None, title="FPGA status"):
    from orbisk_tools.report.output import with_reason
    from orbisk_tools.report.tables import Field, print_table as print_fitted

    # On a narrow terminal, what the last columns hold goes to a line under each row.
    fields = [Field("Device", whole=True), Field("Serial", whole=True), Field("FPGA ID", rank=2, moves=True),
              Field("FPGA version", rank=1, moves=True), Field("Control firmware", rank=3, moves=True),
              Field("Last update", rank=5, moves=True)]
    with_image = any(status.image is not None for status in statuses)
    if with_image:
        fields.append(Field("Image", rank=4, moves=True))
    with_tags = args is not None and any_tags(args)
    if with_tags:
        fields.insert(1, Field("Tags", rank=6, moves=True))
    here = socket.gethostname()
    rows = []
    for status in statuses:
        facts = status.reported or DeviceFacts()
        last = status.last_attempt
        recorded = (f"{with_reason(status.last_outcome, last.reason)} {last.started}"
                    + (f", version {last.fpga_version_after}" if last.fpga_version_after else "")
                    + (f", by {last.operator_user} on {last.operator_host}" if last.operator_host != here
                       and not last.origin else "")
                    + (f", recorded on {last.origin}" if last.origin else "")) if last else "-"
        cells = [status.address, *([tag_text(args, status.address) or "-"] if with_tags else []), facts.serial or "-",
                 facts.fpga_id or "-", facts.fpga_version or "-", facts.control_fw_version or "-", recorded]
        rows.append((cells + ([status.image or "-"] if with_image else []), status.problem))
    print_fitted(output, title, fields, rows, pipe_width=200)
