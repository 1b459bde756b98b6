"""What orbisk-fpga shows while it updates devices, and the summary after.

On a terminal, rich draws one row per device, its phase (connecting, erasing, writing,
verifying) and a bar, redrawn at most ten times a second; a fleet's rows come under a line
that counts the devices done. Elsewhere (a file, a pipe, a CI log) a line with a UTC time
stamp marks the start of each phase and each tenth of writing and of verifying. Output that
dies (a broken pipe, a closed terminal) only stops the drawing: the updates go on.
"""

import datetime
import threading
import time

from orbisk_tools.fleet import SUCCEEDED

REDRAW_SECONDS = 0.1
PHASE_NAMES = {"connect": "Connecting", "probe": "Reading", "erase": "Erasing", "write": "Writing",
               "verify": "Verifying", "load": "Loading"}


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


def human_rate(size, seconds):
    """"1.2 MB/s": in the units that rich's bars show."""
    from rich.filesize import decimal

    return decimal(int(size / seconds) if seconds > 0 else 0) + "/s"


class TimeLeft:
    """The time left for the whole update of one device, from its pace since writing began:
    writing and reading back each move the whole image once. None until a tenth of the
    image is written, as the first blocks tell little about the pace."""

    def __init__(self):
        self.start = None

    def __call__(self, stage, current, total, now):
        if self.start is None:
            self.start = now
        done = current if stage == "write" else total + current
        if total == 0 or done * 10 < total:
            return None
        return (2 * total - done) * (now - self.start) / done


class PlainView:
    """Not a terminal: a line at the start of each phase and at each tenth of writing and of
    verifying, at most 24 per device, each with a UTC time stamp."""

    def __init__(self, output, devices):
        self.output, self.fleet = output, devices > 1
        self._phases = {}  # address -> [stage, start time, next tenth to show]
        self._left = {}  # address -> TimeLeft

    def phase(self, address, phase):
        self._line(address, PHASE_NAMES[phase])

    def progress(self, address, stage, current, total):
        now = time.monotonic()
        left = self._left.setdefault(address, TimeLeft())(stage, current, total, now)
        phase = self._phases.get(address)
        if phase is None or phase[0] != stage:
            phase = self._phases[address] = [stage, now, 0]
        if total == 0 or current * 10 < phase[2] * total:
            return
        phase[2] = current * 10 // total + 1
        rate = f", {human_rate(current, now - phase[1])}" if current * 10 >= total else ""
        left_text = f", {left:.0f} s left" if left is not None and (stage, current) != ("verify", total) else ""
        self._line(address, f"{PHASE_NAMES[stage] + ':':<10} {current * 100 // total:3d}% "
                            f"({current} of {total} bytes{rate}{left_text})")

    def finished(self, outcome, phase):
        if self.fleet:
            self._line(outcome.address, result_line(outcome))

    def note(self, text):
        self._line(None, text)

    def close(self):
        pass

    def _line(self, address, text):
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        device = f"{address}  " if self.fleet and address else ""
        self.output.line(f"{stamp} {device}{text}")


class TerminalView:
    """A terminal: a rich progress row per device, drawn from the update threads at most ten
    times a second. A fleet's rows come under a line that counts the devices done, active and
    failed ones first: what does not fit the screen is cut at the bottom."""

    ORDER = {"active": 0, "failed": 1, "done": 2}

    def __init__(self, output, devices, console=None):
        from rich.console import Console
        from rich.progress import (BarColumn, DownloadColumn, Progress, ProgressColumn, TaskProgressColumn,
                                   TextColumn, TransferSpeedColumn)
        from rich.text import Text

        class TimeLeftColumn(ProgressColumn):
            def render(self, task):
                left = task.fields.get("left")
                if left is None:
                    return Text("-:--:-- left", style="progress.remaining")
                return Text(f"{datetime.timedelta(seconds=round(left))} left", style="progress.remaining")

        view = self

        class Bars(Progress):
            def get_renderables(self):
                if view.fleet:
                    yield Text(view.count_line())
                yield self.make_tasks_table(sorted(self.tasks, key=lambda task: view.ORDER[task.fields["state"]]))

        self.output, self.devices, self.fleet = output, devices, devices > 1
        self.done = self.failed = 0
        if self.fleet:
            columns = [TextColumn("{task.fields[address]}"), TextColumn("{task.description:<10}"), BarColumn(),
                       TaskProgressColumn(), TransferSpeedColumn(), TimeLeftColumn(),
                       TextColumn("{task.fields[result]}")]
        else:
            columns = [TextColumn("{task.description:<10}"), BarColumn(), DownloadColumn(), TaskProgressColumn(),
                       TransferSpeedColumn(), TimeLeftColumn()]
        # The module's log lines (-v) go through sys.stderr, which rich shows above the bars.
        self.bars = Bars(*columns, console=console or Console(file=output, force_terminal=True),
                         auto_refresh=False, redirect_stdout=False, redirect_stderr=True)
        self._lock = threading.Lock()
        self._tasks = {}  # address -> [task id, phase, next draw time, TimeLeft, (done, total)]
        self._next_refresh = 0.0
        self.bars.start()

    def count_line(self):
        return f"{self.done} of {self.devices} devices done, {self.failed} failed"

    def phase(self, address, phase):
        if self.output.dead:
            return
        with self._lock:
            entry = self._tasks.get(address)
            if entry is None:
                task = self.bars.add_task(PHASE_NAMES[phase], total=None, address=address, result="",
                                          state="active", left=None)
                entry = self._tasks[address] = [task, phase, 0.0, TimeLeft(), (0, None)]
            else:
                entry[1] = phase
                self.bars.reset(entry[0], total=None, description=PHASE_NAMES[phase])
            self._refresh(time.monotonic(), force=True)

    def progress(self, address, stage, current, total):
        if self.output.dead:
            return
        now = time.monotonic()
        entry = self._tasks[address]
        left = entry[3](stage, current, total, now)
        entry[4] = current, total or None
        new_stage = entry[1] != stage
        if not new_stage and current < total and now < entry[2]:
            return
        with self._lock:
            total = total or None  # the first call of a phase may not know its size yet
            if new_stage:
                entry[1] = stage
                self.bars.reset(entry[0], total=total, completed=current, description=PHASE_NAMES[stage])
            self.bars.update(entry[0], completed=current, total=total, left=left)  # reset() drops the fields
            entry[2] = now + REDRAW_SECONDS
            self._refresh(now, force=new_stage or current >= (total or 0))

    def finished(self, outcome, phase):
        with self._lock:
            self.done += 1
            succeeded = outcome.result in SUCCEEDED
            self.failed += not succeeded
            entry = self._tasks.get(outcome.address)
            if entry is not None:
                if succeeded:
                    version = f" {outcome.fpga_version}" if outcome.fpga_version else ""
                    self.bars.update(entry[0], description="Done", result=f"{outcome.result}{version}", state="done",
                                     left=None)
                else:  # the row stays at the phase and the point where it stopped
                    done, total = entry[4]
                    self.bars.update(entry[0], description=PHASE_NAMES[phase], completed=done, total=total,
                                     result=outcome.result, state="failed", left=None)
            if not self.output.dead:
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


def result_line(outcome):
    """"failed: why": the result, and the message unless it starts by saying the result itself
    ("not started: ...", "interrupted while writing; ...")."""
    if outcome.message.startswith(outcome.result):
        return outcome.message
    return f"{outcome.result}{': ' if outcome.message else ''}{outcome.message}"


def view_for(output, devices):
    return TerminalView(output, devices) if output.isatty() else PlainView(output, devices)


def summary_table(outcomes, output):
    """The outcome of each device of a fleet, as a table."""
    from rich.console import Console
    from rich.table import Table

    table = Table("Device", "Result", "FPGA version", "Before", "Time", "Details", title="FPGA update summary")
    for outcome in outcomes:
        table.add_row(outcome.address, outcome.result, outcome.fpga_version or "-", outcome.fpga_version_before or "-",
                      f"{outcome.seconds:.1f} s", outcome.message or "-")
    terminal = output.isatty()
    # A log file or a pipe gets wide rows rather than long messages wrapped into narrow columns.
    Console(file=output, force_terminal=terminal, width=None if terminal else 160).print(table)
