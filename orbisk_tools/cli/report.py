"""orbisk-fpga report: a site's report for its customer, from the update history and, with
--verify, a final read-back of every device: a page of HTML that needs nothing else, and CSV."""

import contextlib
import os

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (Failure, add_device_options, add_device_type_option, add_history_options,
                                        device_targets, excluded_targets, read_history_path, resolve_devices,
                                        results_output, write_text)
from orbisk_tools.cli.history import add_span_options
from orbisk_tools.cli.images import (add_trust_key_option, image_files, image_snapshot, trusted_keys,
                                     vendor_verified)

NAME = "report"
HELP = ("Write a site's report for its customer, from the update history: for each device its serial number, "
        "address, tags, FPGA version before and after, and its newest update attempt (result, when, by whom, the "
        "image's SHA-256); with --verify, the verdict of a final read-back too. An HTML page that needs nothing "
        "else and prints on A4, or CSV, or both. Without devices named, every device of the history in the span.")
EXAMPLES = ("examples:\n  orbisk-fpga report --addresses site-a.txt --since 2026-12-09 --html site-a.html\n"
            "  orbisk-fpga report --addresses site-a.txt --verify fpga.tbin --html site-a.html --csv site-a.csv\n"
            "  orbisk-fpga report --since 2026-12-09 --until 2026-12-11 --csv december.csv\n"
            "  orbisk-fpga report --history postgresql://field@db.site-a.example/orbisk?sslmode=verify-full "
            "--addresses site-a.txt --html site-a.html")


def add_options(parser):
    add_device_options(parser, "to report on")
    add_span_options(parser)
    parser.add_argument("--html", metavar="FILE|-",
                        help="write the report to FILE as one HTML page, which opens offline in any browser and "
                             "prints on A4 (-: to standard output)")
    parser.add_argument("--csv", metavar="FILE|-",
                        help="write the report's rows to FILE as CSV, a header row then a device a row, in UTF-8 "
                             "(-: to standard output); a cell that starts with =, +, - or @ gets a leading "
                             "apostrophe, so that no spreadsheet reads it as a formula")
    parser.add_argument("--verify", metavar="IMAGE",
                        help="first read back every device, changing nothing, and add its verdict on IMAGE: "
                             "whether it runs exactly that image (as orbisk-fpga verify tells)")
    add_device_type_option(parser, "device type of the devices, for --verify (default 32)")
    parser.add_argument("--jobs", type=options.job_count, default=8, metavar="N",
                        help=f"with --verify: read back up to N devices at once ({options.job_count.range}; "
                             "default 8)")
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"with --verify: keep up to N read-back commands in flight "
                             f"({options.window_or_auto.range}); default: learnt from each device")
    add_trust_key_option(parser, "with --verify, IMAGE must then carry a signature IMAGE.minisig by one of the "
                                 "trusted keys")
    add_history_options(parser, reads_only=True)


def run(args):
    from orbisk_tools.records.attempts import current_operator, now
    from orbisk_tools.report.customer import SiteReport

    check_outputs(args)
    keys = trusted_keys(args) if args.verify is not None else []
    named = device_targets(args) if args.devices else None
    if named is None and args.tags:
        args.parser.error("--tag chooses among the devices of an address list; name it with --addresses FILE")
    path = read_history_path(args)
    if path is None and named is None:
        args.parser.error("--no-history leaves no device to report on; name them with --address or --addresses")
    resolved = resolve_devices(args, named) if named is not None and args.verify is not None else None
    inputs = [path, *image_files(args.verify), *args.address_files, *args.trust_key]
    with contextlib.ExitStack() as held:
        outputs = {option: held.enter_context(results_output(args, inputs, option))
                   for option in ("html", "csv") if getattr(args, option) is not None}
        history = open_existing(held, path)
        records = device_records(args, history, named)
        operator = current_operator()
        report = SiteReport(site_name(args), args.since, args.until, now(), f"{operator.user} on {operator.host}",
                            records)
        if args.verify is not None:
            add_read_back(args, held, report, history, resolved, keys)
        for option, output in outputs.items():
            if not write_report(args, option, output, report):
                return 1
    return 0


def check_outputs(args):
    """At least one of --html and --csv, and not both to one place: usage errors."""
    from orbisk_tools.formats import files

    if args.html is None and args.csv is None:
        args.parser.error("name the report's file: --html FILE, --csv FILE, or both")
    if args.html is not None and args.csv is not None:
        same = args.html == args.csv == "-" or ("-" not in (args.html, args.csv) and (
            os.path.abspath(args.html) == os.path.abspath(args.csv) or files.input_named_by(args.html, [args.csv])))
        if same:
            args.parser.error(f"--html {args.html} and --csv {args.csv} name the same place; give each its own")


def open_existing(held, path):
    """The history at `path`, closed with `held`; None for None. Reading must not create one."""
    from orbisk_tools.engine.inspection import open_if_there
    from orbisk_tools.records.history import HistoryUnavailable

    try:
        history = open_if_there(path)
    except HistoryUnavailable as error:
        raise Failure(str(error)) from None
    if history is None and path is not None:
        raise Failure(f"no update history at {path}: nothing was recorded there yet")
    return history and held.enter_context(history)


def device_records(args, history, named):
    """The DeviceRecord of each device: of those `named` (Targets, with their tags), or of every
    device of the history in the span less those --exclude names."""
    from orbisk_tools.records.history import HistoryUnavailable
    from orbisk_tools.report.customer import gather

    devices = None if named is None else {target.label: args.device_tags[target.label] for target in named}
    try:
        records = gather(history, args.since, args.until, devices)
    except HistoryUnavailable as error:
        raise Failure(str(error)) from None
    if named is not None:
        return records
    problems = []
    excluded = {target.label: where for target, where in excluded_targets(args, problems).items()}
    if problems:
        args.parser.error(problems[0])
    recorded = {record.address for record in records}
    for address, where in excluded.items():
        if address not in recorded:
            args.err.line(f"{args.parser.prog}: warning: {where}: {address} is none of the devices of the "
                          "history in the span; it leaves out nothing")
    records = [record for record in records if record.address not in excluded]
    if not records:
        raise Failure("no device has an attempt recorded in the span; check --since and --until, or --history")
    return records


def add_read_back(args, held, report, history, resolved, keys):
    """--verify: reads back every device of `report` (of `resolved` when they were named, else as
    the history gives their addresses) and adds each one's verdict."""
    from orbisk_tools.cli.verify import read_back
    from orbisk_tools.engine.targets import parse_address
    from orbisk_tools.report.customer import add_verdicts

    if resolved is None:
        targets = []
        for record in report.devices:
            with contextlib.suppress(ValueError):  # an address of an imported history it cannot reach: no verdict
                targets.append(parse_address(record.address, args.port))
        resolved = resolve_devices(args, targets)
    snapshot = held.enter_context(image_snapshot(args.verify, args.device_type, keys))
    add_verdicts(report.devices, read_back(args, resolved, snapshot, history))
    report.image, report.image_sha256 = os.path.basename(args.verify), snapshot.facts.sha256
    if snapshot.vendor is not None:
        report.vendor = vendor_verified(snapshot.vendor)


def write_report(args, option, output, report):
    """Writes `report` as --html or --csv (`option`) says, to `output` (see results_output), and
    says so in one line; False when it could not be written (said in one line too)."""
    from orbisk_tools.report import html
    from orbisk_tools.report.customer import as_csv

    text = html.page(report) if option == "html" else as_csv(report)
    if not write_text(output, args, text):
        return False
    where = getattr(args, option)
    count = len(report.devices)
    args.out.line(f"Report of {count} device{'s' * (count != 1)} written to "
                  f"{'standard output' if where == '-' else where}")
    return True


def site_name(args):
    """The site's name in the report: its address lists' file names, or what names its devices."""
    lists = [path for path in args.address_files
             if any(where.startswith(f"{path} line ") for where, _, _ in args.devices)]
    if lists:
        return ", ".join(os.path.basename(path) for path in lists)
    return "the devices named" if args.devices else "all devices of the history"
