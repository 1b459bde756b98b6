"""Every numeric option of every command has a range: a value just outside it is refused in
one line (exit 2), and the option's help says it."""

import argparse
import functools
import re

import pytest

from orbisk_tools import cli

from tests.e2e import command_line

DEVICE_TYPES = "{28,32}"

# command -> [(option, a value just outside its range, the range its help and refusal say)]
RANGES = {
    "update": [("--port", "65536", "1 to 65535"), ("--timeout", "86401", "0.001 to 86400"),
               ("--device-type", "33", DEVICE_TYPES), ("--jobs", "1025", "1 to 1024"), ("--window", "0", "1 to 1024"),
               ("--erase-timeout", "0", "0.001 to 86400"), ("--max-failures", "1000001", "1 to 1000000"),
               ("--canary", "0", "1 to 1000000"), ("--soak", "25h", "0s to 24h")],
    "restore": [("--port", "0", "1 to 65535"), ("--timeout", "86401", "0.001 to 86400"),
                ("--device-type", "33", DEVICE_TYPES), ("--window", "0", "1 to 1024"),
                ("--erase-timeout", "0", "0.001 to 86400")],
    "verify": [("--port", "0", "1 to 65535"), ("--timeout", "0.0001", "0.001 to 86400"),
               ("--device-type", "29", DEVICE_TYPES), ("--jobs", "0", "1 to 1024"), ("--window", "1025", "1 to 1024")],
    "status": [("--port", "65536", "1 to 65535"), ("--timeout", "86401", "0.001 to 86400"),
               ("--device-type", "0", DEVICE_TYPES), ("--jobs", "1025", "1 to 1024")],
    "report": [("--port", "0", "1 to 65535"), ("--timeout", "0", "0.001 to 86400"),
               ("--device-type", "33", DEVICE_TYPES), ("--jobs", "1025", "1 to 1024"), ("--window", "0", "1 to 1024")],
    "history": [("--port", "0", "1 to 65535"), ("--limit", "1000001", "1 to 1000000")],
    "dump": [("--size", "0", "1 to 268435456"), ("--port", "0", "1 to 65535"), ("--timeout", "86401", "0.001 to 86400"),
             ("--window", "1025", "1 to 1024")],
    "inspect": [("--device-type", "33", DEVICE_TYPES)],
    "init": [("--port", "65536", "1 to 65535"), ("--timeout", "86401", "0.001 to 86400"),
             ("--device-type", "33", DEVICE_TYPES)],
    "pack": [("--device-type", "1000", "0 to 999")],
    "emulate": [("--port", "65536", "0 to 65535"), ("--refuse-block", "1000000001", "0 to 1000000000"),
                ("--refuse-times", "-1", "0 to 1000000000"), ("--drop-after-blocks", "-1", "0 to 1000000000"),
                ("--corrupt-read-byte", "1000000001", "0 to 1000000000"), ("--reply-delay", "86401", "0 to 86400"),
                ("--latency", "-0.5", "0 to 86400"), ("--silent-after", "1000000001", "0 to 1000000000"),
                ("--one-command-per-read-after", "-1", "0 to 1000000000"),
                ("--erase-seconds", "86401", "0 to 86400"), ("--write-rate", "0.5", "1 to 1000000000"),
                ("--devices", "10001", "1 to 10000"), ("--power-cycle-after", "-1", "0 to 86400")],
}
CASES = [(command, *case) for command, cases in RANGES.items() for case in cases]

run = functools.partial(command_line.run, timeout=60)


@pytest.mark.parametrize("command, option, value, shown", CASES)
def test_a_value_just_out_of_range_is_refused_in_one_line(command, option, value, shown):
    result = run(command, option, value)
    assert result.returncode == 2
    assert result.stderr.startswith(f"orbisk-fpga {command}: error: argument {option}: ")
    assert len(result.stderr.splitlines()) == 1
    if shown != DEVICE_TYPES:
        assert f" from {shown}, not '{value}'" in result.stderr


@pytest.mark.parametrize("command", RANGES)
def test_the_help_says_each_range(command):
    shown = run(command, "--help").stdout
    for option, _, expected in RANGES[command]:
        entry = re.search(rf"^  {option}\b.*?(?=^  -|^\S|\Z)", shown, re.M | re.S)
        assert entry and expected in " ".join(entry.group().split()), option


def test_every_numeric_option_is_listed():
    """A numeric option added to a command without a range, or left out of RANGES, fails here."""
    commands = next(a for a in cli.parser()._actions if isinstance(a, argparse._SubParsersAction)).choices
    numeric = {(name, action.option_strings[-1]) for name, sub in commands.items() for action in sub._actions
               if action.type in (int, float) or hasattr(action.type, "range")}
    assert numeric == {(command, option) for command, option, _, _ in CASES}
