"""orbisk-fpga history: the recorded update attempts, newest first."""

import dataclasses
import os

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import Failure, add_json_option, results_output, write_report
from orbisk_tools.cli.arguments import add_history_options

NAME = "history"
HELP = ("Show the recorded update attempts, newest first: who updated which device, when, from what version to "
        "what, and how it ended.")
EXAMPLES = ("examples:\n  orbisk-fpga history --limit 20\n  orbisk-fpga history --address 192.168.1.20\n"
            "  orbisk-fpga history --run 20261209T021500Z-3fa9c1 --json -")


def add_options(parser):
    parser.add_argument("--address", metavar="HOST[:PORT]", action=options.Once,
                        help="only the attempts on the device at this address")
    parser.add_argument("--port", type=options.device_port, default=5025,
                        help=f"TCP port of an --address that names none ({options.device_port.range}; default 5025)")
    parser.add_argument("--serial", action=options.Once, help="only the attempts on the device with this serial number")
    parser.add_argument("--run", dest="run_id", action=options.Once, help="only the attempts of this run")
    parser.add_argument("--limit", type=options.record_limit, default=50, metavar="N",
                        help=f"show the N newest attempts ({options.record_limit.range}; default 50)")
    add_json_option(parser, "the attempts")
    add_history_options(parser, reads_only=True)


def run(args):
    from orbisk_tools.engine.targets import parse_address
    from orbisk_tools.records.history import HistoryUnavailable, History, history_path

    address = None
    if args.address is not None:
        try:
            address = parse_address(args.address, args.port).label
        except ValueError as error:
            args.parser.error(f"--address: {error}")
    path = history_path(args.history)
    if not os.path.exists(path):  # reading must not create a history
        raise Failure(f"no update history at {path}: nothing was recorded there yet")
    with results_output(args, [path]) as results:
        try:
            with History.open(path) as history:
                attempts = history.attempts(address=address, serial=args.serial, run=args.run_id, limit=args.limit)
                shown = [(attempt, history.outcome_as_read(attempt)) for attempt in attempts]
        except HistoryUnavailable as error:
            raise Failure(str(error)) from None
        if results is not None:
            rows = [{**dataclasses.asdict(attempt), "shown_outcome": text} for attempt, text in shown]
            return 0 if write_report(results, args, rows) else 1
    if not shown:
        args.out.line("No recorded update attempt matches")
    else:
        print_table(args.out, shown)
    return 0


def versions(before, after):
    return f"{before or '?'} -> {after}" if after else (before or "-")


def started_as_shown(started):
    """"2026-12-09 02:15:00" for "2026-12-09T02:15:00+00:00": the column says UTC."""
    return started.replace("T", " ").removesuffix("+00:00")


def print_table(output, shown):
    from orbisk_tools.report.tables import Field, print_table as print_fitted

    # On a narrow terminal the run, the image and the operator are left out first.
    fields = [Field("Started (UTC)", rank=1, moves=True), Field("Run", rank=7), Field("Device", whole=True),
              Field("Serial", whole=True), Field("Outcome", moves=True), Field("Phase", rank=5),
              Field("Device left", rank=4), Field("FPGA version", rank=3, moves=True), Field("Image", rank=8),
              Field("Operator", rank=9)]
    rows = []
    for attempt, outcome in shown:
        image = f"{os.path.basename(attempt.image_path)} {attempt.image_sha256[:12]}" if attempt.image_path else "-"
        rows.append(([started_as_shown(attempt.started), attempt.run_id, attempt.address, attempt.serial or "-", outcome, attempt.phase,
                      attempt.device_state, versions(attempt.fpga_version_before, attempt.fpga_version_after), image,
                      f"{attempt.operator_user}@{attempt.operator_host}"], attempt.message))
    print_fitted(output, "FPGA update history", fields, rows, pipe_width=240)
