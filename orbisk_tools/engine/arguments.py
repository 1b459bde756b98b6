"""The engine's arguments, checked as a script gives them: each refusal a TypeError or ValueError
that names the argument, before any device is touched."""

from __future__ import annotations

import contextlib
import math
import os
from collections.abc import Iterable, Iterator, Sequence
from typing import Literal

from orbisk_tools.engine.rollout import parse_waves, waves_of
from orbisk_tools.engine.inspection import open_if_there
from orbisk_tools.engine.targets import Resolved, Target, parse_address, resolve, same_device
from orbisk_tools.engine.window import MAX_DEPTH
from orbisk_tools.formats.protocol import DEVICE_TYPES
from orbisk_tools.records.history import History
from orbisk_tools.records.opening import open_history

DEFAULT_PORT = 5025
Window = int | Literal["auto"]
HistoryArgument = History | str | os.PathLike[str] | None


def wave_sizes(waves: Sequence[int | str] | str, canary: int | None, count: int) -> tuple[int | str, ...]:
    """The sizes of `waves` (see rollout.parse_waves), checked for a site of `count` devices."""
    if canary is not None:
        raise ValueError("give waves or canary, not both (canary N is waves N,100%)")
    if isinstance(waves, str):
        text = waves
    elif isinstance(waves, Sequence) and all(isinstance(size, (int, str)) and not isinstance(size, bool)
                                              for size in waves) and waves:
        text = ",".join(map(str, waves))
    else:
        raise TypeError('waves must be a text such as "1,10%,100%" or a list of ints and texts such as "10%"')
    try:
        sizes = parse_waves(text)
        waves_of(list(range(count)), sizes)
    except ValueError as error:
        raise ValueError(f"waves: {error}") from None
    return sizes


def texts(values: Iterable[str], name: str) -> list[str]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a list of addresses, not one {type(values).__name__}")
    return list(values)


def target_of(address: str) -> Target:
    if not isinstance(address, str):
        raise TypeError(f"an address must be a str, not {type(address).__name__}")
    return parse_address(address, DEFAULT_PORT)  # ValueError, naming the address


def resolved_once(targets: Sequence[Target]) -> Resolved:
    """{target: its addresses} (see targets.resolve); a device given twice is a ValueError."""
    if not targets:
        raise ValueError("no address given")
    seen: set[Target] = set()
    for target in targets:
        if target in seen:
            raise ValueError(f"{target.label} is given twice; give each device once")
        seen.add(target)
    resolved = resolve(targets)
    same = same_device(resolved)
    if same:
        first, second, shared = same
        raise ValueError(f"{first.label} and {second.label} are the same device ({shared.label}); "
                         "give each device once")
    return resolved


def check_options(device_type: int, timeout: float, jobs: int, erase_timeout: float = 1.0) -> None:
    """TypeError or ValueError, naming the argument, for one that cannot be used."""
    whole_number("device_type", device_type)
    if device_type not in DEVICE_TYPES:
        raise ValueError(f"device_type must be one of {', '.join(map(str, DEVICE_TYPES))}, not {device_type}")
    for name, seconds in (("timeout", timeout), ("erase_timeout", erase_timeout)):
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
            raise TypeError(f"{name} must be a number of seconds, not {type(seconds).__name__}")
        if not (math.isfinite(seconds) and 0 < seconds <= 86400):
            raise ValueError(f"{name} must be above 0 and at most 86400 seconds, not {seconds!r}")
    whole_number("jobs", jobs, 1, 1024)


def whole_number(name: str, value: object, low: int | None = None, high: int | None = None) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if (low is not None and value < low) or (high is not None and value > high):
        raise ValueError(f"{name} must be from {low}{f' to {high}' if high else ' up'}, not {value}")


def seconds(name: str, value: object, low: float, high: float) -> None:
    """TypeError or ValueError, naming the argument, for `value` that is no number of seconds from
    `low` to `high`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (math.isfinite(value) and low <= value <= high):
        raise ValueError(f"{name} must be from {low:g} to {high:g} seconds, not {value!r}")


def depth_of(window: Window) -> int | None:
    """The commands in flight of `window`; None for "auto"."""
    if window == "auto":
        return None
    if isinstance(window, bool) or not isinstance(window, int):
        raise TypeError(f'window must be "auto" or an int, not {type(window).__name__}')
    whole_number("window", window, 1, MAX_DEPTH)
    return window


@contextlib.contextmanager
def history_to_read(history: HistoryArgument) -> Iterator[History | None]:
    """The History that `history` names, to read: a path is opened only when there is a history
    there, and closed at the end."""
    if history is None or isinstance(history, History):
        yield history
        return
    if not isinstance(history, (str, os.PathLike)):
        raise TypeError(f"history must be a path, a History or None, not {type(history).__name__}")
    opened = open_if_there(os.fspath(history))
    try:
        yield opened
    finally:
        if opened is not None:
            opened.close()


@contextlib.contextmanager
def history_to_write(history: HistoryArgument) -> Iterator[History | None]:
    """The History that `history` names, opened here (and closed at the end) when it is a path."""
    if history is None or isinstance(history, History):
        yield history
        return
    if not isinstance(history, (str, os.PathLike)):
        raise TypeError(f"history must be a path, a History or None, not {type(history).__name__}")
    with open_history(os.fspath(history)) as opened:
        yield opened
