"""What orbisk-fpga shows while it updates devices, and the summary after.

On a terminal, rich draws one labelled bar per phase (one device) or one row per device
(a fleet), redrawn at most ten times a second. Elsewhere (a file, a pipe, a CI log) a
plain line marks each tenth of each phase. Output that dies (a broken pipe, a closed
terminal) only stops the drawing: the updates go on.
"""

import threading
import time

REDRAW_SECONDS = 0.1
STAGE_NAMES = {"write": "Writing", "verify": "Verifying"}


class GuardedOutput:
    """A text stream that never raises: once a write fails, it is dead and takes nothing more."""

    def __init__(self, stream):
        self.stream = stream
        self.dead = stream is None

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

    def _guarded(self, operation):
        if self.dead:
            return None
        try:
            return operation()
        except (OSError, ValueError):  # ValueError: the stream was closed
            self.dead = True
            return None


def human_rate(size, seconds):
    """"1.2 MB/s": in the units that rich's bars show."""
    from rich.filesize import decimal

    return decimal(int(size / seconds) if seconds > 0 else 0) + "/s"


class PlainView:
    """Not a terminal: a line at each tenth of each phase of each device, at most 22 per device."""

    def __init__(self, output, fleet):
        self.output, self.fleet = output, fleet
        self._phases = {}  # address -> [stage, start time, next tenth to show]

    def connecting(self, address):
        pass

    def progress(self, address, stage, current, total):
        phase = self._phases.get(address)
        if phase is None or phase[0] != stage:
            phase = self._phases[address] = [stage, time.monotonic(), 0]
        if total == 0 or current * 10 < phase[2] * total:
            return
        phase[2] = current * 10 // total + 1
        elapsed = time.monotonic() - phase[1]
        rate = f", {human_rate(current, elapsed)}" if current else ""
        left = f", {(total - current) * elapsed / current:.0f} s left" if 0 < current < total else ""
        prefix = f"{address}  " if self.fleet else ""
        self.output.line(f"{prefix}{STAGE_NAMES[stage] + ':':<10} {current * 100 // total:3d}% "
                         f"({current} of {total} bytes{rate}{left})")

    def finished(self, outcome):
        if self.fleet:
            self.output.line(f"{outcome.address}  {outcome.result}{': ' if outcome.message else ''}{outcome.message}")

    def note(self, text):
        self.output.line(text)

    def close(self):
        pass


class TerminalView:
    """A terminal: rich progress bars, drawn from the update threads at most ten times a second."""

    def __init__(self, output, fleet):
        from rich.console import Console
        from rich.progress import (BarColumn, DownloadColumn, Progress, TaskProgressColumn, TextColumn,
                                   TimeRemainingColumn, TransferSpeedColumn)

        self.output, self.fleet = output, fleet
        if fleet:
            columns = [TextColumn("{task.fields[address]}"), TextColumn("{task.description:<9}"), BarColumn(),
                       TaskProgressColumn(), TransferSpeedColumn(), TimeRemainingColumn(),
                       TextColumn("{task.fields[result]}")]
        else:
            columns = [TextColumn("{task.description:<9}"), BarColumn(), DownloadColumn(), TaskProgressColumn(),
                       TransferSpeedColumn(), TimeRemainingColumn()]
        # The module's log lines (-v) go through sys.stderr, which rich shows above the bars.
        self.bars = Progress(*columns, console=Console(file=output, force_terminal=True), auto_refresh=False,
                                 redirect_stdout=False, redirect_stderr=True)
        self._lock = threading.Lock()
        self._tasks = {}  # address -> [task id, stage, next draw time]
        self._next_refresh = 0.0
        self.bars.start()

    def connecting(self, address):
        if self.fleet:
            with self._lock:
                task = self.bars.add_task("connecting", total=None, address=address, result="")
                self._tasks[address] = [task, None, 0.0]
                self._refresh(time.monotonic(), force=False)

    def progress(self, address, stage, current, total):
        if self.output.dead:
            return
        now = time.monotonic()
        entry = self._tasks.get(address)
        new_stage = entry is None or entry[1] != stage
        if not new_stage and current < total and now < entry[2]:
            return
        with self._lock:
            total = total or None  # the first call of a phase may not know its size yet
            if not new_stage:
                self.bars.update(entry[0], completed=current, total=total)
            elif self.fleet:
                entry[1] = stage
                self.bars.reset(entry[0], total=total, completed=current, description=STAGE_NAMES[stage].lower())
            else:
                task = self.bars.add_task(STAGE_NAMES[stage], total=total, completed=current)
                entry = self._tasks[address] = [task, stage, 0.0]
            entry[2] = now + REDRAW_SECONDS
            self._refresh(now, force=new_stage or current >= (total or 0))

    def finished(self, outcome):
        if self.fleet:
            with self._lock:
                entry = self._tasks.get(outcome.address)
                if entry is not None:
                    version = f" {outcome.fpga_version}" if outcome.fpga_version else ""
                    self.bars.update(entry[0], description="done", result=outcome.result + version)
                    self._refresh(time.monotonic(), force=True)

    def note(self, text):
        self.bars.console.print(text, markup=False, highlight=False)

    def close(self):
        with self._lock:
            self.bars.stop()

    def _refresh(self, now, force):
        if force or now >= self._next_refresh:
            self._next_refresh = now + REDRAW_SECONDS
            self.bars.refresh()


def view_for(output, fleet):
    return TerminalView(output, fleet) if output.isatty() else PlainView(output, fleet)


def summary_table(outcomes, output):
    """The outcome of each device of a fleet, as a table."""
    from rich.console import Console
    from rich.table import Table

    table = Table("Device", "Result", "FPGA version", "Time", "Details", title="FPGA update summary")
    for outcome in outcomes:
        table.add_row(outcome.address, outcome.result, outcome.fpga_version or "-", f"{outcome.seconds:.1f} s",
                      outcome.message or "-")
    terminal = output.isatty()
    # A log file or a pipe gets wide rows rather than long messages wrapped into narrow columns.
    Console(file=output, force_terminal=terminal, width=None if terminal else 160).print(table)
