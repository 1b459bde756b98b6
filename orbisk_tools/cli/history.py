"""orbisk-fpga history: the recorded update attempts, newest first."""

import dataclasses
import os

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure, add_json_option, printable, results_output, write_report, write_text
from orbisk_tools.cli.arguments import add_history_options
from orbisk_tools.records.attempts import Attempt

NAME = "history"
HELP = ("Show the recorded update attempts, newest first: who updated which device, when, from what version to "
        "what, and how it ended. Export them, and import those of another computer, to see a site's whole history.")
EXAMPLES = ("examples:\n  orbisk-fpga history --limit 20\n  orbisk-fpga history --address 192.168.1.20\n"
            "  orbisk-fpga history --run 20261209T021500Z-3fa9c1 --json -\n"
            "  orbisk-fpga history --since 2026-12-09 --until 2026-12-10T12:00+01:00 --csv site-a.csv\n"
            "  orbisk-fpga history --export laptop-b.json     # on one computer, then on the other:\n"
            "  orbisk-fpga history --import laptop-b.json")

# The formats --csv and --json write: every column of the history, and the outcome as shown.
CSV_FIELDS = [*(field.name for field in dataclasses.fields(Attempt)), "shown_outcome"]
DEFAULT_LIMIT = 50


def add_options(parser):
    parser.add_argument("--address", metavar="HOST[:PORT]", action=options.Once,
                        help="only the attempts on the device at this address")
    parser.add_argument("--port", type=options.device_port, default=5025,
                        help=f"TCP port of an --address that names none ({options.device_port.range}; default 5025)")
    parser.add_argument("--serial", action=options.Once, help="only the attempts on the device with this serial number")
    parser.add_argument("--run", dest="run_id", action=options.Once, help="only the attempts of this run")
    add_span_options(parser)
    parser.add_argument("--limit", type=options.record_limit, metavar="N",
                        help=f"show the N newest attempts ({options.record_limit.range}; default: "
                             f"{DEFAULT_LIMIT} in the table, every one in --csv and --json)")
    output = parser.add_mutually_exclusive_group()
    add_json_option(output, "the attempts")
    output.add_argument("--csv", nargs="?", const="-", metavar="FILE|-",
                        help="write the attempts as CSV, a header line then one attempt a line, instead of the "
                             "table, to FILE (- or nothing: to standard output)")
    output.add_argument("--export", metavar="FILE",
                        help="write every attempt to FILE, a new file (JSON, the format is in the field guide), for "
                             "another computer to --import")
    output.add_argument("--import", dest="import_file", metavar="FILE",
                        help="add the attempts of FILE, which --export wrote on another computer, to this "
                             "history, keeping where each was recorded; each attempt once, however often "
                             "it is imported")
    add_history_options(parser, reads_only=True)


def add_span_options(parser):
    """--since and --until: the attempts started in a span of time."""
    parser.add_argument("--since", type=options.moment, action=options.Once, metavar="TIME",
                        help="only the attempts started at TIME or later: a date or a date and time in ISO 8601 "
                             "(2026-12-09, 2026-12-09T14:30), in UTC unless it gives its offset from UTC "
                             "(2026-12-09T14:30+01:00, 2026-12-09T13:30Z); a date alone is its midnight")
    parser.add_argument("--until", type=options.moment, action=options.Once, metavar="TIME",
                        help="only the attempts started before TIME (written as for --since)")


def run(args):
    from orbisk_tools.engine.targets import parse_address
    from orbisk_tools.records.history import HistoryUnavailable
    from orbisk_tools.records.opening import open_history
    from orbisk_tools.records.attempts import history_path, is_database_url

    address = None
    if args.address is not None:
        try:
            address = parse_address(args.address, args.port).label
        except ValueError as error:
            args.parser.error(f"--address: {error}")
    if args.export is not None or args.import_file is not None:
        chosen = [option for option, value in (("--address", args.address), ("--serial", args.serial),
                                                ("--run", args.run_id), ("--since", args.since),
                                                ("--until", args.until), ("--limit", args.limit)) if value]
        if chosen:
            args.parser.error(f"{'--export' if args.export else '--import'} takes every attempt; "
                              f"leave out {chosen[0]}")
    path = history_path(args.history)
    if args.import_file is not None:
        return import_attempts(args, path)
    if not is_database_url(path) and not os.path.exists(path):  # reading must not create a history
        raise Failure(f"no update history at {path}: nothing was recorded there yet")
    if args.export is not None:
        return export_attempts(args, path)
    with results_output(args, [path], "csv" if args.csv is not None else "json") as results:
        # A report holds every attempt chosen; the table, the newest DEFAULT_LIMIT, and says so.
        limit = args.limit or (DEFAULT_LIMIT if results is None else None)
        chosen = {"address": address, "serial": args.serial, "run": args.run_id, "since": args.since,
                  "until": args.until}
        try:
            with open_history(path) as history:
                attempts = history.attempts(**chosen, limit=limit)
                shown = [(attempt, history.outcome_as_read(attempt)) for attempt in attempts]
                matching = history.count(**chosen) if len(attempts) == limit else len(attempts)
        except HistoryUnavailable as error:
            raise Failure(str(error)) from None
        if results is not None:
            rows = [{**dataclasses.asdict(attempt), "shown_outcome": text} for attempt, text in shown]
            written = write_text(results, args, as_csv(rows)) if args.csv is not None else \
                write_report(results, args, rows)
            return 0 if written else 1
    if not shown:
        args.out.line("No recorded update attempt matches")
    else:
        print_table(args.out, shown)
        if matching > len(shown):
            args.out.line(f"showing {len(shown)} of {matching} (--limit N)")
    return 0


def as_csv(rows):
    """The attempts as CSV: a header line, then one attempt a line, its text as the table shows it
    (control characters, line ends among them, as spaces; the JSON keeps it whole)."""
    import csv
    import io

    text = io.StringIO()
    writer = csv.DictWriter(text, CSV_FIELDS, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({name: "" if value is None else printable(value) if isinstance(value, str) else value
                         for name, value in row.items()})
    return text.getvalue()


def export_attempts(args, path):
    """--export FILE: every attempt, oldest first, into FILE, which must be new."""
    from orbisk_tools.formats import files
    from orbisk_tools.records.exchange import exported
    from orbisk_tools.records.history import HistoryUnavailable
    from orbisk_tools.records.opening import open_history
    from orbisk_tools.records.attempts import current_operator

    def refused(error):
        if isinstance(error, FileExistsError):
            return Failure(f"{args.export} exists; --export writes a new file: name another")
        return Failure(files.problem(error))

    try:
        output = files.Output(args.export, new=True)
    except OSError as error:
        raise refused(error) from None
    with output:
        try:
            with open_history(path) as history:
                attempts = history.attempts()
        except HistoryUnavailable as error:
            raise Failure(str(error)) from None
        try:
            output.commit(exported(reversed(attempts), current_operator().host))
        except OSError as error:
            raise refused(error) from None
    args.out.line(f"{len(attempts)} attempts of {path} written to {args.export}")
    return 0


def import_attempts(args, path):
    """--import FILE: the attempts of FILE that the history does not hold yet, added to it."""
    from orbisk_tools.records.exchange import Refused, read_attempts
    from orbisk_tools.records.history import HistoryUnavailable
    from orbisk_tools.records.opening import open_history

    try:
        rows = read_attempts(args.import_file)
    except Refused as refused:
        raise Failure(str(refused)) from None
    try:
        with open_history(path) as history:
            added = history.import_attempts(rows)
    except HistoryUnavailable as error:
        raise Failure(str(error)) from None
    args.out.line(f"{added} attempts of {args.import_file} added to {path}; "
                  f"{len(rows) - added} were in it already")
    return 0


def versions(before, after):
    return f"{before or '?'} -> {after}" if after else (before or "-")


def print_table(output, shown):
    from orbisk_tools.report.output import shown_time
    from orbisk_tools.report.tables import Field, print_table as print_fitted

    # On a narrow terminal the run, the image and the operator are left out first.
    fields = [Field("Started (UTC)", rank=1, moves=True), Field("Run", rank=7), Field("Device", whole=True),
              Field("Serial", whole=True), Field("Outcome", moves=True), Field("Phase", rank=5),
              Field("Device left", rank=4), Field("FPGA version", rank=3, moves=True), Field("Image", rank=8),
              Field("Operator", rank=9)]
    rows = []
    for attempt, outcome in shown:
        image = f"{os.path.basename(attempt.image_path)} {attempt.image_sha256[:12]}" if attempt.image_path else "-"
        rows.append(([shown_time(attempt.started), attempt.run_id, attempt.address, attempt.serial or "-", outcome, attempt.phase,
                      attempt.device_state, versions(attempt.fpga_version_before, attempt.fpga_version_after), image,
                      f"{attempt.operator_user}@{attempt.operator_host}"], attempt.message))
    print_fitted(output, "FPGA update history", fields, rows, pipe_width=240)
