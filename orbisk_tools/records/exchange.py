"""An update history in a file, to be merged into another computer's: `history --export FILE` and
`history --import FILE`.

The file is a JSON document, in UTF-8, with one attempt a line, oldest first:

    {"format": "orbisk-fpga update history", "version": 2, "exported": "2026-12-09T18:02:11+00:00",
     "attempts": [
    {"uid": "5b0c...", "origin": "laptop-b", "run_id": "20261209T021500Z-3fa9c1", "started": ..., ...},
    ...
    ]}

Each attempt holds every column of the history but its local id (the fields of
records.history.Attempt): times in UTC, ISO 8601; `uid` its own id, which every history it is
imported into keeps; `origin` the computer whose history recorded it (for an attempt recorded in
the exporting history, that computer's name). An attempt is imported once, however often a file
that holds it is: one whose uid is in the history already is left as it is.

A file to import comes from elsewhere: it is read up to MAX_SIZE bytes, and every field of every
attempt is checked before anything is imported; a file that fails a check is refused whole, in one
line that says where and why. So is a file with an attempt that starts more than CLOCK_SLACK after
this computer's clock: a clock that fast (or a file made up) would put it first for ever.

Version 2 added the fields of a backup kept before the erase and of a soak (BACKUP_AND_SOAK);
a file of version 1, which has none of them, is imported with them empty. A file of a version
above VERSION is refused, saying that a newer orbisk-fpga wrote it.
"""

import dataclasses
import datetime
import json
import math
import re
import uuid

from orbisk_tools.formats import files
from orbisk_tools.formats.protocol import MAX_REPLY_LINE
from orbisk_tools.records.history import DEVICE_STATES, OUTCOMES, PHASES, RUNNING
from orbisk_tools.records.attempts import Attempt, now, recorded_time

FORMAT = "orbisk-fpga update history"
VERSION = 2
READABLE = (1, 2)  # the versions of the format that can be imported
MAX_SIZE = 64 * 1024 * 1024  # a few hundred thousand attempts
WHAT = "an exported update history"


class Refused(Exception):
    """A file that cannot be imported; the message is one line that names it."""


def exported(attempts, host):
    """The file's bytes for `attempts` (records.history.Attempts, oldest first); `host` is this
    computer's name, the origin of the attempts recorded in this history."""
    lines = []
    for attempt in attempts:
        row = dataclasses.asdict(attempt)
        del row["id"]
        row["origin"] = row["origin"] or host
        lines.append(json.dumps({"uid": row.pop("uid"), "origin": row.pop("origin"), **row}))
    head = json.dumps({"format": FORMAT, "version": VERSION, "exported": now()})[:-1]
    return (head + ', "attempts": [\n' + ",\n".join(lines) + "\n]}\n").encode("utf-8")


def read_attempts(path):
    """The attempts of the file at `path`, each a dict of the history's columns but the id, as
    History.import_attempts takes them; times as the history records them. Raises Refused."""
    try:
        data = files.read_trusted_file(path, MAX_SIZE, WHAT)
    except files.Unusable as error:
        raise Refused(str(error)) from None
    except OSError as error:
        raise Refused(files.problem(error, path)) from None

    def refused(why):
        return Refused(f"{path} is not {WHAT} that orbisk-fpga can import: {why}; nothing was imported")

    try:
        document = json.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise refused(f"it is not UTF-8 text ({error.reason} at byte {error.start})") from None
    except RecursionError:
        raise refused("it nests too deep") from None
    except ValueError as error:  # json's own errors, and numbers of too many digits
        raise refused(f"it is not JSON ({str(error).splitlines()[0]})") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise refused(f'it does not say "format": "{FORMAT}"')
    version = document.get("version")
    if type(version) is int and version > VERSION:
        raise Refused(f"{path} was exported by a newer orbisk-fpga (format version {_shown(version)}; this one reads "
                      f"{VERSION}); import it with the newer orbisk-fpga")
    try:
        if type(version) is not int or version not in READABLE:
            raise Bad(f"its version is {_shown(version)}, not {' or '.join(map(str, READABLE))}")
        _check_keys(document, {"format", "version", "exported", "attempts"}, "the file")
        try:
            _time(document["exported"])
        except Bad as bad:
            raise Bad(f"exported {bad}") from None
        attempts = document["attempts"]
        if not isinstance(attempts, list):
            raise Bad(f"its attempts are {_kind(attempts)}, not a list")
        rows = [_attempt(number, attempt, version) for number, attempt in enumerate(attempts, 1)]
    except Bad as bad:
        raise refused(str(bad)) from None
    _refuse_the_future(path, rows)
    return rows


# Clocks that are merely not synchronised differ by less.
CLOCK_SLACK = datetime.timedelta(minutes=5)


def _refuse_the_future(path, rows):
    """Refused for the first of `rows` that starts more than CLOCK_SLACK after this computer's clock."""
    clock = datetime.datetime.now(datetime.timezone.utc)
    for number, row in enumerate(rows, 1):
        ahead = datetime.datetime.fromisoformat(row["started"]) - clock
        if ahead > CLOCK_SLACK:
            raise Refused(f"{path} cannot be imported: attempt {number} starts {_duration(ahead)} in the future "
                          f"by this computer's clock ({row['started']}); check the clock of {_shown(row['origin'])}, "
                          "which recorded it, and this computer's; nothing was imported")


def _duration(delta):
    """"3 days 2 hours", "1 hour 5 minutes", "7 minutes": the two largest units, whole minutes."""
    days, minutes = divmod(int(delta.total_seconds() // 60), 24 * 60)
    units = ((days, "day"), *zip(divmod(minutes, 60), ("hour", "minute")))
    words = [f"{count} {unit}{'' if count == 1 else 's'}" for count, unit in units if count]
    return " ".join(words[:2]) or "less than a minute"


class Bad(Exception):
    """What is wrong with a field, in words."""


def _kind(value):
    return {dict: "an object", list: "a list", str: "text", bool: "true or false", type(None): "null",
            int: "a number", float: "a number"}.get(type(value), type(value).__name__)


def _shown(value, width=40):
    """A value of the file in a message: its JSON, cut short, control characters escaped; a number
    too large for a float (1e999), as json reads it, is "infinite"."""
    if isinstance(value, float) and math.isinf(value):
        return "infinite" if value > 0 else "minus infinite"
    text = json.dumps(value)
    return text if len(text) <= width else text[:width] + "..."


def _check_keys(record, names, what):
    missing, unknown = sorted(names - record.keys()), sorted(record.keys() - names)
    if missing:
        raise Bad(f"{what} has no {missing[0]}")
    if unknown:
        raise Bad(f"{what} has {_shown(unknown[0])}, which orbisk-fpga does not know")


# ---- what each field may hold ------------------------------------------------------------------

# Every number is bounded, far beyond what any update records (a newer orbisk-fpga's included): a
# number beyond its bound is a damaged or a made-up file. json reads any integer and reads 1e999 as
# infinity; SQLite keeps integers up to 2**63 - 1.
LARGEST_PID = 2**32 - 1  # process ids are 32-bit
LARGEST_SIZE = 2**40  # bytes of an image: a TiB, far more than any FPGA's configuration memory
LARGEST_WINDOW = 2**20  # commands in flight
LONGEST_ATTEMPT = 366 * 24 * 3600  # seconds


def text(limit, optional=False, empty=False, pattern=None):
    def check(value):
        if value is None and optional:
            return None
        if not isinstance(value, str):
            raise Bad(f"is {_kind(value)}, not text")
        if not value and not empty:
            raise Bad("is empty")
        if len(value) > limit:
            raise Bad(f"is longer than {limit} characters")
        if "\0" in value or any("\ud800" <= c <= "\udfff" for c in value):
            raise Bad("holds a NUL or a lone surrogate, which no history holds")
        if pattern is not None and not re.fullmatch(pattern, value):
            raise Bad(f"is {_shown(value)}, which is not one")
        return value
    return check


def whole(low, high, optional=False):
    def check(value):
        if value is None and optional:
            return None
        if type(value) is not int:
            raise Bad(f"is {_shown(value) if type(value) is float else _kind(value)}, not a whole number")
        if not low <= value <= high:
            raise Bad(f"is {_shown(value)}, not from {low} to {high}")
        return value
    return check


def seconds(value):
    # Compared, not converted first: an integer too large for a float is refused, not an OverflowError.
    if value is None:
        return None
    if type(value) not in (int, float) or not 0 <= value <= LONGEST_ATTEMPT:  # NaN is in no range
        raise Bad(f"is {_shown(value)}, not a number of seconds from 0 to {LONGEST_ATTEMPT}")
    return float(value)


def choice(values):
    def check(value):
        if value not in values or not isinstance(value, str):
            raise Bad(f"is {_shown(value)}, not one of {', '.join(values)}")
        return value
    return check


def _time(value, optional=False):
    if value is None and optional:
        return None
    text(40)(value)
    try:
        moment = datetime.datetime.fromisoformat(value)
    except ValueError:
        moment = None
    if moment is None or moment.tzinfo is None:
        raise Bad(f"is {_shown(value)}, not a time in ISO 8601 with its offset from UTC")
    try:
        return recorded_time(moment)
    except OverflowError:
        raise Bad(f"is {_shown(value)}, which is not in the years 1 to 9999 in UTC") from None


def time(optional=False):
    return lambda value: _time(value, optional)


def uid(value):
    text(36)(value)
    try:
        if str(uuid.UUID(value)) == value:
            return value
    except ValueError:
        pass
    raise Bad(f"is {_shown(value)}, not a UUID in lower case")


DEVICE_TEXT = MAX_REPLY_LINE  # the longest reply line a device may send
FIELDS = {
    "uid": uid,
    "origin": text(256),
    "run_id": text(256),
    "started": time(),
    "ended": time(optional=True),
    "operator_user": text(256),
    "operator_host": text(256),
    "pid": whole(1, LARGEST_PID),
    "process_start": text(64, optional=True),
    "tool_version": text(256),
    "module_version": text(256),
    "address": text(300, pattern=r"\S+:[0-9]{1,5}"),
    "serial": text(DEVICE_TEXT, optional=True),
    "fpga_id": text(DEVICE_TEXT, optional=True),
    "device_type": whole(0, 999, optional=True),
    "fpga_version_before": text(DEVICE_TEXT, optional=True),
    "control_fw_version_before": text(DEVICE_TEXT, optional=True),
    "fpga_version_after": text(DEVICE_TEXT, optional=True),
    "control_fw_version_after": text(DEVICE_TEXT, optional=True),
    "image_path": text(4096, optional=True),
    "image_sha256": text(64, optional=True, pattern="[0-9a-f]{64}"),
    "image_size": whole(0, LARGEST_SIZE, optional=True),
    "image_header_version": text(DEVICE_TEXT, optional=True),
    "window_size": whole(1, LARGEST_WINDOW, optional=True),
    "bytes_written": whole(0, LARGEST_SIZE),
    "seconds": seconds,
    "phase": choice(PHASES),
    "device_state": choice(DEVICE_STATES),
    "outcome": choice((*OUTCOMES, RUNNING)),
    "reason": text(64, optional=True, pattern="[a-z][a-z0-9_]*"),
    "message": text(65536, empty=True),
    "vendor_key_id": text(64, optional=True, pattern="[0-9A-Za-z]+"),
    "backup_path": text(4096, optional=True),
    "backup_sha256": text(64, optional=True, pattern="[0-9a-f]{64}"),
    "backup_size": whole(0, LARGEST_SIZE, optional=True),
    "soak": text(65536, optional=True, empty=True),
}
assert FIELDS.keys() == {field.name for field in dataclasses.fields(Attempt)} - {"id"}
BACKUP_AND_SOAK = ("backup_path", "backup_sha256", "backup_size", "soak")  # new in version 2
FIRST_FIELDS = {name: check for name, check in FIELDS.items() if name not in BACKUP_AND_SOAK}  # of version 1


def _attempt(number, attempt, version=VERSION):
    where = f"attempt {number}"
    if not isinstance(attempt, dict):
        raise Bad(f"{where} is {_kind(attempt)}, not an object")
    checks = FIRST_FIELDS if version == 1 else FIELDS  # each in the order of FIELDS: the first bad field is said
    _check_keys(attempt, checks.keys(), where)
    row = dict.fromkeys(BACKUP_AND_SOAK)
    for name, check in checks.items():
        try:
            row[name] = check(attempt[name])
        except Bad as bad:
            raise Bad(f"{where}: {name} {bad}") from None
    return row
