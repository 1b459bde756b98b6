"""What an emulated device was asked: the command words it took, in order, within a bound."""

import collections
import itertools
from collections.abc import Iterator
from typing import overload


class CommandLog:
    """The command words a device took, read as the list of every one of them in order, but
    bounded: it counts every word ever taken, and keeps the words themselves only for the last
    `kept` commands.

    len() is the number of commands ever taken, so that an index or a slice means what it means
    in the list of them all: `log[before:]`, with `before = len(log)` taken earlier, is what came
    after. count(word) and `word in log` answer for every command ever taken. An index, a slice,
    an iteration, index() or a comparison that reaches a command no longer kept raises IndexError
    instead of answering with less. A DeviceEmulator's device keeps the last 1,048,576 commands
    (two updates of a 4 MiB image, or eight times its read-back); a device of a site, whose log
    nobody reads, a few (Device.commands_kept)."""

    def __init__(self, kept: int) -> None:
        self.kept = kept
        self._last: collections.deque[str] = collections.deque(maxlen=kept)
        self._counts: collections.Counter[str] = collections.Counter()
        self._total = 0

    def append(self, word: str, times: int = 1) -> None:
        """Logs `times` commands `word`, one after the other."""
        self._counts[word] += times
        self._total += times
        self._last.extend(itertools.repeat(word, min(times, self.kept)))

    def clear(self) -> None:
        """Forgets every command: the log is as new."""
        self._last.clear()
        self._counts.clear()
        self._total = 0

    @property
    def first_kept(self) -> int:
        """The index of the oldest command still kept."""
        return self._total - len(self._last)

    def __len__(self) -> int:
        return self._total

    def count(self, word: str) -> int:
        return self._counts[word]

    def __contains__(self, word: object) -> bool:
        return isinstance(word, str) and self._counts[word] > 0

    @overload
    def __getitem__(self, index: int) -> str: ...
    @overload
    def __getitem__(self, index: slice) -> list[str]: ...

    def __getitem__(self, index: int | slice) -> str | list[str]:
        if not isinstance(index, slice):
            at = index + self._total if index < 0 else index
            if not 0 <= at < self._total:
                raise IndexError("command log index out of range")
            self._refuse_before(at)
            return self._last[at - self.first_kept]
        positions = range(*index.indices(self._total))
        if not positions:
            return []
        low, high = min(positions[0], positions[-1]), max(positions[0], positions[-1])
        self._refuse_before(low)
        first = self.first_kept
        held = list(itertools.islice(self._last, low - first, high - first + 1))
        return held[positions[0] - low :: positions.step]

    def __delitem__(self, index: slice) -> None:
        if index != slice(None):
            raise TypeError("a command log forgets all its commands at once: del log[:]")
        self.clear()

    def __iter__(self) -> Iterator[str]:
        return iter(self[:])

    def index(self, word: str, start: int = 0, stop: int | None = None) -> int:
        """The index of the first `word` from `start` on, before `stop`, as list.index()."""
        return range(*slice(start, stop).indices(self._total))[self[start:stop].index(word)]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, (CommandLog, list)):
            return NotImplemented
        return len(self) == len(other) and self[:] == other[:]

    __hash__ = None  # type: ignore[assignment]  # equal to lists, which have none

    def __repr__(self) -> str:
        if not self.first_kept:
            return repr(list(self._last))
        return f"<CommandLog of {self._total} commands, the last {len(self._last)}: {list(self._last)[-8:]!r}>"

    def _refuse_before(self, at: int) -> None:
        if at < self.first_kept:
            raise IndexError(f"the command log keeps the last {self.kept} of {self._total} commands, from index "
                             f"{self.first_kept}: not command {at}")
