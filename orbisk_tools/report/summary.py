"""What orbisk-fpga update says once every device is done: a line for one device, a table and
counts for several, and what the history could not record."""

import collections

from orbisk_tools.engine.outcomes import SUCCEEDED, Result
from orbisk_tools.report.output import human_rate
from orbisk_tools.report.tables import Field, print_table


SUMMARY_FIELDS = (Field("Device", whole=True), Field("Result"), Field("FPGA version", rank=2, moves=True),
                  Field("Before", rank=3, moves=True), Field("Time", rank=1))


def summary_table(outcomes, output):
    """The outcome of each device of a fleet, as a table: the devices that need more first, each
    one's details on a line under its row."""
    ordered = sorted(outcomes, key=lambda outcome: outcome.result in SUCCEEDED)
    rows = [([outcome.address, outcome.result, outcome.fpga_version or "-", outcome.fpga_version_before or "-",
              f"{outcome.seconds:.1f} s"], outcome.message) for outcome in ordered]
    print_table(output, "FPGA update summary", SUMMARY_FIELDS, rows, pipe_width=160)


def report_one(out, err, outcome):
    """What the update of one device says at its end."""
    if outcome.result == Result.INTERRUPTED:
        err.line(f"orbisk-fpga: {outcome.address}: update {outcome.message}")
        return
    if outcome.result in (Result.SKIPPED, Result.DRY_RUN):
        out.line(f"{outcome.address}: {outcome.result}: {outcome.message}")
        return
    if outcome.result != Result.UPDATED:
        err.line(f"orbisk-fpga: error: {outcome.address}: {outcome.message}")
        return
    version = outcome.fpga_version or "(not reported)"
    size = outcome.bytes_written
    out.line(f"FPGA updated: version {version}, {size} bytes written in {outcome.write_seconds:.2f} s "
             f"({human_rate(size, outcome.write_seconds)}), read back in {outcome.read_back_seconds:.2f} s "
             f"({human_rate(size, outcome.read_back_seconds)})")


def report_fleet(out, err, outcomes):
    """What the update of several devices says at its end: the summary, and the counts."""
    summary_table(outcomes, out)
    counts = collections.Counter(outcome.result for outcome in outcomes)
    others = ", ".join(filter(None, [f"{counts[Result.SKIPPED]} verified and skipped" if counts[Result.SKIPPED] else "",
                                     f"{counts[Result.DRY_RUN]} dry run" if counts[Result.DRY_RUN] else ""]))
    others = f", {others}" if others else ""
    out.line(f"{counts[Result.UPDATED]} of {len(outcomes)} devices updated{others}")
    unfinished = len(outcomes) - sum(counts[result] for result in SUCCEEDED)
    if unfinished:
        err.line(f"orbisk-fpga: error: {unfinished} of {len(outcomes)} devices not updated; "
                 "the summary says why for each, and what to do")


def report_unrecorded(err, outcomes):
    """Says in one line that the history failed to record how some updates went (each went on to
    its end all the same); False when it did."""
    unrecorded = [outcome for outcome in outcomes if outcome.history_error]
    if not unrecorded:
        return True
    devices = ", ".join(outcome.address for outcome in unrecorded)
    err.line(f"orbisk-fpga: error: {unrecorded[0].history_error}; it does not say how the update of {devices} "
             "ended: the output above does")
    return False
