"""What orbisk-fpga update says once every device is done: a line for one device, a table and
counts for several, the results grouped for a site, and what the history could not record."""

import collections

from orbisk_tools.engine.outcomes import SUCCEEDED, Result
from orbisk_tools.report.live import SITE_DEVICES
from orbisk_tools.report.site import result_line
from orbisk_tools.report.output import human_rate, shown
from orbisk_tools.report.tables import Field, console_for, fitted_table, print_table, print_to
from orbisk_tools.report.tags import any_tags, grouped, tag_text


SUMMARY_FIELDS = (Field("Device", whole=True), Field("Result"), Field("FPGA version", rank=2, moves=True),
                  Field("Before", rank=3, moves=True), Field("Time", rank=1))
TAGS_FIELD = Field("Tags", rank=4, moves=True)


def summary_table(outcomes, output, args=None, title="FPGA update summary"):
    """The outcome of each device of a fleet, as a table: the devices that need more first, each
    one's details on a line under its row."""
    fields, rows = summary_rows(outcomes, args)
    print_table(output, title, fields, rows, pipe_width=PIPE_WIDTH)


def summary_rows(outcomes, args):
    """The fields and the rows of the summary table of `outcomes`: the tags beside each device
    when the devices have any."""
    ordered = sorted(outcomes, key=lambda outcome: outcome.result in SUCCEEDED)
    with_tags = args is not None and any_tags(args)
    fields = (*SUMMARY_FIELDS[:1], TAGS_FIELD, *SUMMARY_FIELDS[1:]) if with_tags else SUMMARY_FIELDS
    rows = [([outcome.address, *([tag_text(args, outcome.address) or "-"] if with_tags else []), outcome.result,
              outcome.fpga_version or "-", outcome.fpga_version_before or "-", f"{outcome.seconds:.1f} s"],
             outcome.message) for outcome in ordered]
    return fields, rows


PIPE_WIDTH = 160  # of the summary on a file or a pipe
# The results of a site's devices that succeeded, in the order shown after the others.
GROUP_ORDER = (Result.DRY_RUN, Result.SKIPPED, Result.LOADED, Result.UPDATED)
GROUP_NAMES = {Result.SKIPPED: "verified and skipped", Result.LOADED: "loaded without rewriting"}


def site_summary(outcomes, output, verbose=False, args=None, title="FPGA update summary"):
    """The outcome of a site: how many devices ended each way, those that did not succeed by
    reason first (with what to do, once), then the table of every device when it fits the
    terminal (always on a file or a pipe, and with -v), else each failed device with its line."""
    from rich.console import Group
    from rich.table import Column, Table

    terminal = output.isatty()
    console = console_for(output, PIPE_WIDTH)
    groups = Table.grid(Column(justify="right", no_wrap=True), Column(), padding=(0, 2))
    for count, text in result_groups(outcomes):
        groups.add_row(str(count), shown(text))
    title = shown(f"{title}: {len(outcomes)} devices")
    failed = [outcome for outcome in outcomes if outcome.result not in SUCCEEDED and outcome.result != Result.NOT_STARTED]
    table = fitted_table("Each device", *summary_rows(outcomes, args), console.width)
    head = Group(title, groups)
    used = len(console.render_lines(head, pad=False))
    if verbose or not terminal or used + len(console.render_lines(table, pad=False)) < console.height - 2:
        print_to(console, head, table)
        return
    devices = Table.grid(Column(no_wrap=True), Column(), padding=(0, 2))
    for outcome in failed:  # each with what happened; what to do is on its reason's line above
        devices.add_row(shown(outcome.address), shown(result_line(outcome).split("; ")[0]))
    print_to(console, head)
    if failed:
        print_to(console, shown("Failed:"), devices)


def result_groups(outcomes):
    """(count, text) for each way the devices of a site ended: those that did not succeed first, by
    result, reason, the state the device was left in and what to do, so that what the line says to
    do is true for each device it counts (an erased device is never counted as "not changed"); the
    most frequent first and those not started last. Then the counts of those that succeeded."""
    failed = collections.defaultdict(list)
    for outcome in outcomes:
        if outcome.result not in GROUP_ORDER:
            advice = outcome.message.partition("; ")[2]
            failed[outcome.result, outcome.reason, outcome.device_state, advice].append(outcome)
    groups = []
    for (result, reason, state, advice), members in sorted(
            failed.items(), key=lambda item: (item[0][0] == Result.NOT_STARTED, -len(item[1]))):
        words = str(reason).replace("_", " ") if reason else ""
        if words and words != result:  # the reason in words, and the advice once
            groups.append((len(members), f"{result}, {words}{': ' + advice if advice else ''}"))
        else:  # the result says it: its first device's whole line
            groups.append((len(members), result_line(members[0])))
    counts = collections.Counter(outcome.result for outcome in outcomes)
    for result in GROUP_ORDER:
        if counts[result]:
            groups.append((counts[result], GROUP_NAMES.get(result, str(result))))
    return groups


def report_one(out, err, outcome):
    """What the update of one device says at its end."""
    if outcome.result == Result.INTERRUPTED:
        err.line(f"orbisk-fpga: {outcome.address}: update {outcome.message}")
        return
    if outcome.result in (Result.SKIPPED, Result.DRY_RUN, Result.LOADED):
        out.line(f"{outcome.address}: {result_line(outcome)}")
        return
    if outcome.result != Result.UPDATED:
        err.line(f"orbisk-fpga: error: {outcome.address}: {outcome.message}")
        return
    version = outcome.fpga_version or "(not reported)"
    size = outcome.bytes_written
    out.line(f"FPGA updated: version {version}, {size} bytes written in {outcome.write_seconds:.2f} s "
             f"({human_rate(size, outcome.write_seconds)}), read back in {outcome.read_back_seconds:.2f} s "
             f"({human_rate(size, outcome.read_back_seconds)})")


def report_fleet(out, err, outcomes, verbose=False, args=None):
    """What the update of several devices says at its end: the summary, and the counts (with
    --group-by tag, of each tag, then of all)."""
    def show(group, members):
        title = f"FPGA update summary: {group}" if group else "FPGA update summary"
        if len(outcomes) > SITE_DEVICES:
            site_summary(members, out, verbose, args, title)
        else:
            summary_table(members, out, args, title)
        if group:
            out.line(counts_line(members))

    out.line(("All: " if grouped(args, outcomes, show) else "") + counts_line(outcomes))
    counts = collections.Counter(outcome.result for outcome in outcomes)
    unfinished = len(outcomes) - sum(counts[result] for result in SUCCEEDED)
    if unfinished:
        err.line(f"orbisk-fpga: error: {unfinished} of {len(outcomes)} devices not updated; "
                 "the summary says why for each, and what to do")


def counts_line(outcomes):
    """"N of M devices updated, ..." of `outcomes`."""
    counts = collections.Counter(outcome.result for outcome in outcomes)
    others = ", ".join(f"{counts[result]} {GROUP_NAMES.get(result, result)}"
                       for result in (Result.LOADED, Result.SKIPPED, Result.DRY_RUN) if counts[result])
    others = f", {others}" if others else ""
    return f"{counts[Result.UPDATED]} of {len(outcomes)} devices updated{others}"


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
