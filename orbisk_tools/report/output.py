"""What orbisk-fpga writes, and how: output streams that never raise, and text from a device or
a file made safe to show."""


class GuardedOutput:
    """A text stream that never raises: once a write fails, it is dead and takes nothing more,
    and `error` is why. `name` ("standard output") is what failure() calls it."""

    def __init__(self, stream, name="the output"):
        self.stream, self.name = stream, name
        self.dead = stream is None
        self.error = None

    def write(self, text):
        self._guarded(lambda: self.stream.write(text))
        return len(text)

    def flush(self):
        self._guarded(self.stream.flush)

    def isatty(self):
        return not self.dead and self._guarded(self.stream.isatty) is True

    def fileno(self):
        return self.stream.fileno()

    @property
    def encoding(self):
        return getattr(self.stream, "encoding", None) or "utf-8"

    def line(self, text):
        self.write(text + "\n")
        self.flush()

    def failure(self):
        """One line for a write that failed, or None. A pipe that its reader closed (`| head`)
        is no failure: the reader took what it wanted."""
        if self.error is None or isinstance(self.error, BrokenPipeError):
            return None
        reason = getattr(self.error, "strerror", None) or "closed"
        return f"cannot write to {self.name}: {reason[:1].lower()}{reason[1:]}; what was written there is incomplete"

    def _guarded(self, operation):
        if self.dead:
            return None
        try:
            return operation()
        except (OSError, ValueError) as error:  # ValueError: the stream was closed
            self.dead, self.error = True, error
            return None


def printable(text):
    """`text` for the terminal, control characters (which could move the cursor or break the
    line) as spaces: a device, a file or a trusted comment (whose fields tabs separate) may hold
    anything."""
    return "".join(c if c.isprintable() else " " for c in text)


def shown_time(recorded):
    """"2026-12-09 14:02:11" for "2026-12-09T14:02:11+00:00", as the history records times (UTC)."""
    return recorded.replace("T", " ").removesuffix("+00:00")


def with_reason(result, reason):
    """A result with its reason key in words, "failed (block refused)"; the result alone when the
    reason is none or says the same."""
    words = (reason or "").replace("_", " ")
    return f"{result} ({words})" if words and words != result else result


def shown(text):
    """Text from a device, a file or a message, as rich is to show it: printable(), and never
    read as markup or emoji codes. Everything that goes into a table, a live row or a note goes
    through here."""
    from rich.text import Text

    return Text(printable(str(text)))


def human_rate(size, seconds):
    """"1.2 MB/s": in the units that rich's bars show."""
    from rich.filesize import decimal

    return decimal(int(size / seconds) if seconds > 0 else 0) + "/s"
