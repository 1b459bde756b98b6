"""Command-line options shared by the tools: value types whose errors name what the option
takes, and a parser that reports a usage error in one line (exit 2)."""

import argparse
import math

from orbisk_tools.window import MAX_DEPTH


class Parser(argparse.ArgumentParser):
    """An ArgumentParser whose usage errors are one line that points to --help."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message}; see {self.prog} --help\n")


def number(description, low, high=None, convert=int):
    """An argparse type: `convert(text)` from `low` to `high` (inclusive; None: no upper bound)."""

    def parse(text):
        try:
            value = convert(text)
        except ValueError:
            value = None
        if value is None or not math.isfinite(value) or value < low or (high is not None and value > high):
            raise argparse.ArgumentTypeError(f"expected {description}, not {text!r}")
        return value

    return parse


listening_port = number("a port from 0 to 65535", 0, 65535)
device_port = number("a port from 1 to 65535", 1, 65535)
count = number("a whole number of at least 0", 0)
positive_count = number("a whole number of at least 1", 1)
record_limit = number("a whole number from 1 to 1000000", 1, 1_000_000)
# Waits beyond a day are no use, and far larger ones overflow the clock.
seconds = number("a number of seconds from 0 to 86400", 0.0, 86400.0, convert=float)
timeout = number("a number of seconds from 0.001 to 86400", 0.001, 86400.0, convert=float)
device_type = number("a device type from 0 to 999", 0, 999)
_window_number = number(f'"auto" or a number of commands from 1 to {MAX_DEPTH}', 1, MAX_DEPTH)


def window_or_auto(text):
    """A number of commands in flight, or None for "auto"."""
    return None if text == "auto" else _window_number(text)


class Once(argparse.Action):
    """An option that may be given once: a second time is a usage error, not a silent replacement."""

    def __call__(self, parser, namespace, values, option_string=None):
        if getattr(namespace, self.dest, None) is not None:
            parser.error(f"{option_string} is given twice; {parser.prog} takes one")
        setattr(namespace, self.dest, values)
