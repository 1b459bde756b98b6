"""The report of a site for its customer: one record per device, from the update history's attempts
on it in a span of time, with its tags and, after a final read-back, its verdict; the site's
totals, its FPGA versions before and after, and the records as CSV.

A device's record speaks of its newest attempt in the span, but an attempt that changed nothing
by design (a dry run, or an update not started) is passed over when an older one is there: what
the device runs was decided by the attempt before it. The version before is what the device
reported before its oldest attempt in the span; the version after, what it reported at the end
of its newest attempt, or, when that attempt left it untouched and says nothing of it, what it
ran before that attempt or after the one before it. A device erased and not loaded since has
no version after that the history can tell. A final read-back tells what the device reports
now, which is then its version after."""

from __future__ import annotations

import collections
import csv
import dataclasses
import io
import re

from orbisk_tools.engine.inspection import verdict_text
from orbisk_tools.engine.outcomes import Result
from orbisk_tools.report.output import printable, with_reason

NO_ATTEMPT = "no attempt recorded"
ENDED_UNRECORDED = "ended unrecorded"
NOT_KNOWN = "not known"  # a version the history cannot tell
# Attempts that changed nothing by design: passed over when the device has an older one in the span.
CHANGED_NOTHING = (Result.DRY_RUN, Result.NOT_STARTED)
# The results in the order the totals show them: what needs doing first.
RESULT_ORDER = (Result.FAILED, Result.INTERRUPTED, ENDED_UNRECORDED, "running", Result.NOT_STARTED, NO_ATTEMPT,
                Result.DRY_RUN, Result.SKIPPED, Result.LOADED, Result.UPDATED)
# The verdicts of the final read-back, as the table shows them, in the order the totals show them.
VERDICT_ORDER = ("cannot tell", "differs", "holds, not loaded", "holds, not confirmed", "runs")


@dataclasses.dataclass
class DeviceRecord:
    """One device of the report; "" for what is not known.

    `result` is the newest attempt's outcome as the user reads it (NO_ATTEMPT without one),
    `reason` its key and `message` what it said; `started` when it started (UTC, ISO 8601),
    `operator` who ran it ("user on host"); `image_sha256` and `image` the image it wrote.
    With a final read-back, `verdict` is its short verdict ("runs", "differs at byte offset N",
    "cannot tell (timeout)", ...), `verdict_text` the whole of it."""
    address: str
    tags: tuple[str, ...] = ()
    serial: str = ""
    version_before: str = ""
    version_after: str = ""
    result: str = NO_ATTEMPT
    reason: str = ""
    message: str = ""
    started: str = ""
    operator: str = ""
    image_sha256: str = ""
    image: str = ""
    run_id: str = ""
    verdict: str = ""
    verdict_text: str = ""

    @property
    def result_text(self):
        """The result with its reason: "failed (block refused)"."""
        return with_reason(self.result, self.reason)


@dataclasses.dataclass
class SiteReport:
    """The report of a site: its name ("site-a.txt", or "all devices of the history"), the span
    of time its attempts were chosen in (`since`, `until`: datetimes or None), when it was made
    (`made`, UTC, ISO 8601) and by whom ("user on host"), its devices' records, and with a final
    read-back the image's file name and SHA-256, and who signed it ("Vendor signature verified:
    key ..."), if its signature was checked."""
    site: str
    since: object
    until: object
    made: str
    made_by: str
    devices: list[DeviceRecord]
    image: str | None = None
    image_sha256: str | None = None
    vendor: str | None = None

    @property
    def verified(self):
        return self.image is not None

    @property
    def span(self):
        """"attempts started from 2026-12-09 00:00 to 2026-12-10 00:00 UTC", "... since ...",
        "... before ...", or "every recorded attempt"."""
        since, until = (None if moment is None else utc_minutes(moment) for moment in (self.since, self.until))
        if since and until:
            return f"attempts started from {since} to {until} UTC"
        if since or until:
            return f"attempts started {'since' if since else 'before'} {since or until} UTC"
        return "every recorded attempt"


def utc_minutes(moment):
    """"2026-12-09 14:30" of an aware datetime (or of a naive one, taken as UTC), in UTC; the
    seconds too when it has some."""
    import datetime

    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc)
    return moment.strftime("%Y-%m-%d %H:%M:%S" if moment.second else "%Y-%m-%d %H:%M")


# ---- gathering ------------------------------------------------------------------------------

def gather(history, since=None, until=None, devices=None):
    """A DeviceRecord for each device, from the attempts of `history` (None: none) started at
    `since` or later and before `until`: for each address of `devices` ({address: its tags}), in
    its order, or with `devices` None for each address the history has in the span, in the order
    of their addresses. Raises HistoryUnavailable."""
    attempts = [] if history is None else history.attempts(since=since, until=until)
    by_address = {}
    for attempt in attempts:  # newest first
        by_address.setdefault(attempt.address, []).append(attempt)
    if devices is None:
        devices = {address: () for address in sorted(by_address, key=address_order)}
    return [device_record(address, tuple(tags), by_address.get(address, []), history)
            for address, tags in devices.items()]


def address_order(address):
    """A key that puts 10.0.0.9 before 10.0.0.10, and port 5025 before 50250."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part) for part in re.split(r"(\d+)", address) if part]


def device_record(address, tags, attempts, history):
    """The DeviceRecord of the device at `address` from its `attempts`, newest first."""
    record = DeviceRecord(address, tags)
    if not attempts:
        return record
    newest = next((attempt for attempt in attempts if attempt.outcome not in CHANGED_NOTHING), attempts[0])
    since_newest = attempts[attempts.index(newest):]
    record.serial = next((attempt.serial for attempt in attempts if attempt.serial), "")
    record.version_before = next((attempt.fpga_version_before for attempt in reversed(attempts)
                                  if attempt.fpga_version_before), "")
    record.version_after = version_after(since_newest)
    record.result = history.outcome_as_read(newest)
    record.reason, record.message = newest.reason or "", newest.message or ""
    record.started = newest.started
    record.operator = f"{newest.operator_user} on {newest.operator_host}"
    record.image_sha256, record.image = newest.image_sha256 or "", newest.image_path or ""
    record.run_id = newest.run_id
    return record


def version_after(attempts):
    """The FPGA version the device reported at the end of the first of `attempts` (newest first)
    that says: an attempt that left it untouched says what it ran before, or leaves it to the
    attempt before it; one that changed it and recorded no version after says nothing ("")."""
    for attempt in attempts:
        if attempt.fpga_version_after:
            return attempt.fpga_version_after
        if attempt.device_state != "untouched":
            return ""
        if attempt.fpga_version_before:
            return attempt.fpga_version_before
    return ""


def add_verdicts(records, outcomes):
    """Adds the verdict of each judged read-back of `outcomes` (inspection.verdicts()) to the
    record of its address, the serial number the device reported to a record without one, and
    the FPGA version it reported as its version after: the device is the truth of what it runs
    now, whatever the history says."""
    found = {outcome.address: outcome for outcome in outcomes if outcome is not None}
    for record in records:
        outcome = found.get(record.address)
        if outcome is None:
            continue
        record.verdict, record.verdict_text = short_verdict(outcome), verdict_text(outcome)
        record.serial = record.serial or outcome.serial or ""
        record.version_after = outcome.fpga_version_before or record.version_after


def short_verdict(outcome):
    """"runs", "holds, not loaded", "holds, not confirmed", "differs at byte offset N", or "cannot
    tell (timeout)": what a table cell holds; verdict_text() says why."""
    if outcome.result == Result.FAILED:
        reason = str(outcome.reason or "").replace("_", " ")
        return f"cannot tell ({reason})" if reason and reason != "error" else "cannot tell"
    if outcome.result in (Result.NOT_LOADED, Result.NOT_CONFIRMED):
        return f"holds, {outcome.result}"
    return verdict_text(outcome)


def verdict_kind(record):
    """The verdict as the totals count it: "differs at byte offset 12" is "differs"."""
    return next((kind for kind in VERDICT_ORDER if record.verdict.startswith(kind)), record.verdict)


# ---- what the report counts -------------------------------------------------------------------

def result_totals(records):
    """[(result, devices)] by the result of each device's newest attempt, in RESULT_ORDER (a
    result it does not know after them), leaving out those of no device."""
    counts = collections.Counter(record.result for record in records)
    order = [*RESULT_ORDER, *sorted(set(counts) - set(RESULT_ORDER))]
    return [(str(result), counts[result]) for result in order if counts[result]]


def verdict_totals(records):
    """[(verdict, devices)] of the final read-back, in VERDICT_ORDER, leaving out those of none."""
    counts = collections.Counter(verdict_kind(record) for record in records if record.verdict)
    order = [*VERDICT_ORDER, *sorted(set(counts) - set(VERDICT_ORDER))]
    return [(verdict, counts[verdict]) for verdict in order if counts[verdict]]


def version_counts(records):
    """[(version, devices that had it before, devices that have it after)] of every version, in the
    order of their numbers (1.10 after 1.9), NOT_KNOWN last."""
    before = collections.Counter(record.version_before or NOT_KNOWN for record in records)
    after = collections.Counter(record.version_after or NOT_KNOWN for record in records)
    versions = sorted(set(before) | set(after), key=lambda version: (version == NOT_KNOWN, address_order(version)))
    return [(version, before[version], after[version]) for version in versions]


# ---- CSV ----------------------------------------------------------------------------------------

CSV_FIELDS = ["serial", "address", "tags", "fpga_version_before", "fpga_version_after", "result", "reason",
              "message", "started_utc", "operator", "image_sha256", "image", "run_id"]
VERDICT_FIELDS = ["verdict", "verdict_text"]
# What a spreadsheet reads as the start of a formula (control characters, as tabs, are spaces by then).
FORMULA_START = ("=", "+", "-", "@")


def as_csv(report):
    """The records of `report` as CSV: a header row, then a row per device; every text as the
    report shows it (control characters as spaces), and a cell that a spreadsheet would read as
    a formula (one that starts with =, +, -, @) taken as text by a leading apostrophe."""
    fields = CSV_FIELDS + (VERDICT_FIELDS if report.verified else [])
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\r\n")
    writer.writerow(fields)
    for record in report.devices:
        values = {"serial": record.serial, "address": record.address, "tags": " ".join(record.tags),
                  "fpga_version_before": record.version_before, "fpga_version_after": record.version_after,
                  "result": record.result, "reason": record.reason, "message": record.message,
                  "started_utc": record.started, "operator": record.operator, "image_sha256": record.image_sha256,
                  "image": record.image, "run_id": record.run_id, "verdict": record.verdict,
                  "verdict_text": record.verdict_text}
        writer.writerow([spreadsheet_text(values[field]) for field in fields])
    return text.getvalue()


def spreadsheet_text(value):
    """`value` as a CSV cell: printable, and never read as a formula."""
    text = printable(str(value))
    return "'" + text if text.startswith(FORMULA_START) else text
