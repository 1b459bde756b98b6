"""Command-line options shared by the tools: value types whose errors name what the option
takes, and a parser that reports a usage error in one line (exit 2)."""

import argparse
import datetime
import math
import re

from orbisk_tools.engine.window import MAX_DEPTH


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line that points to --help."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}; see {self.prog} --help\n")


def number(what, low, high, convert=int):
    """An argparse type: `convert(text)` from `low` to `high` (inclusive). Its `range` ("1 to
    1024") is for the option's help, which says it."""

    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not math.isfinite(value) or not low <= value <= high:
            raise argparse.ArgumentTypeError(f"expected {what} from {parse.range}, not {text!r}")
        return value

    parse.range = f"{_shown(low)} to {_shown(high)}"
    return parse


def _shown(bound):
    return f"{bound:g}" if isinstance(bound, float) else str(bound)


listening_port = number("a port", 0, 65535)
device_port = number("a port", 1, 65535)
# Counts of blocks, bytes and commands: far more than any image or run holds.
count = number("a whole number", 0, 1_000_000_000)
job_count = number("a number of devices at once", 1, 1024)
device_count = number("a number of devices", 1, 1_000_000)
# An emulated site: every device is a listening socket, each connection one more descriptor.
site_size = number("a number of devices", 1, 10_000)
record_limit = number("a whole number", 1, 1_000_000)
# Waits beyond a day are no use, and far larger ones overflow the clock.
seconds = number("a number of seconds", 0, 86400, convert=float)
timeout = number("a number of seconds", 0.001, 86400, convert=float)
byte_rate = number("a number of bytes a second", 1, 1_000_000_000, convert=float)
device_type = number("a device type", 0, 999)
_window_number = number('"auto" or a number of commands', 1, MAX_DEPTH)


def window_or_auto(text):
    """A number of commands in flight, or None for "auto"."""
    return None if text == "auto" else _window_number(text)


window_or_auto.range = _window_number.range


def duration(text):
    """--soak DURATION: "90s", "5m", "1h", or a plain number of seconds, from 0 to a day; in seconds."""
    match = re.fullmatch(r"([0-9]{1,9}(?:\.[0-9]{1,6})?)([smh]?)", text.strip())
    value = float(match[1]) * {"": 1, "s": 1, "m": 60, "h": 3600}[match[2]] if match else math.nan
    if not 0 <= value <= 86400:
        raise argparse.ArgumentTypeError(f"expected a duration (90s, 5m, 1h, or seconds) from {duration.range}, "
                                         f"not {text!r}")
    return value


duration.range = "0s to 24h"


def waves(text):
    """--waves 1,10%,50%,100%: the sizes of rollout.parse_waves()."""
    from orbisk_tools.engine.rollout import parse_waves

    try:
        return parse_waves(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def moment(text):
    """A time in ISO 8601, as an aware datetime: a date (its midnight) or a date and time, in UTC
    unless it gives its offset ("Z", "+02:00")."""
    from orbisk_tools.records.attempts import recorded_time

    try:
        value = datetime.datetime.fromisoformat(text)
        value = value if value.tzinfo is not None else value.replace(tzinfo=datetime.timezone.utc)
        recorded_time(value)  # in the years the history can record
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError("expected a date or a time in ISO 8601 (2026-12-09, 2026-12-09T14:30, "
                                         f"2026-12-09T14:30+02:00), not {text!r}") from None
    return value


class Once(argparse.Action):
    """An option that may be given once: a second time is a usage error, not a silent replacement."""

    def __call__(self, parser, namespace, values, option_string=None):
        if getattr(namespace, self.dest, None) is not None:
            parser.error(f"{option_string} is given twice; {parser.prog} takes one")
        setattr(namespace, self.dest, values)
