"""What orbisk-fpga shows while it updates devices.

On a terminal, rich draws one row per device, its phase (connecting, erasing, writing,
verifying) and a bar, redrawn at most ten times a second; a fleet's rows come under a line
that counts the devices done. Elsewhere (a file, a pipe, a CI log) a line with a UTC time
stamp marks the start of each phase and each tenth of writing and of verifying. Output that
dies (a broken pipe, a closed terminal) only stops the drawing: the updates go on.

A site (more than SITE_DEVICES devices) gets no row per device: the terminal shows the site's
totals, then the failed devices and the slowest running ones, as many as the screen holds; the
plain view gives each device's result line as it ends, and the totals now and then.
"""

import datetime
import heapq
import threading
import time

from orbisk_tools.engine.outcomes import SUCCEEDED, Phase, Result
from orbisk_tools.report.output import human_rate, shown

REDRAW_SECONDS = 0.1
BAR_WIDTHS = (10, 40)  # the narrowest bar that a live row shows, and the widest
SITE_DEVICES = 20  # above this many devices, the views show the site's totals, not a row per device
PLAIN_TOTALS_SECONDS = 10.0  # the plain view of a site gives its totals this often, and at each tenth of the devices
# Every phase of the history's vocabulary, where a device may be or where its update ended.
PHASE_NAMES = {Phase.CONNECT: "Connecting", Phase.PROBE: "Reading", Phase.CHECK: "Checking", Phase.ERASE: "Erasing",
               Phase.WRITE: "Writing", Phase.VERIFY: "Verifying", Phase.LOAD: "Loading", Phase.VERSION: "Loading",
               Phase.DONE: "Loaded"}


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


class Running:
    """A device of a site being updated: where it is, and what it has moved of the image. Only
    its own update thread changes it."""

    def __init__(self, phase, now):
        self.phase, self.start = phase, now
        self.current = self.total = 0  # of the phase
        self.written = self.moved = 0  # bytes written, and written plus read back
        self.left, self.time_left = None, TimeLeft()

    def progress(self, stage, current, total, now):
        self.phase, self.current, self.total = stage, current, total
        if stage == Phase.WRITE:
            self.written = current
        self.moved = current if stage == Phase.WRITE else total + current
        self.left = self.time_left(stage, current, total, now)


class SiteTally:
    """The totals of a site: devices done, failed, running and not started, the bytes written
    by all, the site's rate and its time left. The calls of a device's thread change only that
    device's Running, phase() and finished() excepted, which hold `lock`; totals() and
    slowest() go over the running devices (under `lock`), the update threads' work is O(1)."""

    def __init__(self, devices):
        self.devices, self.lock = devices, threading.Lock()
        self.running = {}  # address -> Running
        self.done = self.failed = self.held = 0  # held: not started, by the rollout controls or Ctrl-C
        self.failures = []  # (address, its result line), in the order they failed
        self.written = self.moved = 0  # of the devices done
        self.size = 0  # of the image, once a device has told it
        self.start = None

    def phase(self, address, phase, now):
        with self.lock:
            if self.start is None:
                self.start = now
            entry = self.running.get(address)
            if entry is None:
                self.running[address] = Running(phase, now)
            else:
                entry.phase, entry.current, entry.total = phase, 0, 0

    def progress(self, address, stage, current, total, now):
        entry = self.running.get(address)
        if entry is not None:
            entry.progress(stage, current, total, now)
            self.size = total or self.size

    def finished(self, outcome):
        with self.lock:
            entry = self.running.pop(outcome.address, None)
            if entry is not None:
                self.written += entry.written
                self.moved += entry.moved
            if outcome.result == Result.NOT_STARTED:
                self.held += 1
                return
            self.done += 1
            if outcome.result not in SUCCEEDED:
                self.failed += 1
                self.failures.append((outcome.address, result_line(outcome)))

    def totals(self, now):
        """(the devices' counts, the bytes' figures): "120 of 300 devices done, 5 failed, 8 running,
        167 not started" and "12.3 MB written, 4.5 MB/s, 0:01:23 left" (the rate once the site
        has moved a tenth of an image, the time left while any device is still to end)."""
        from rich.filesize import decimal

        with self.lock:  # counts that agree with each other
            running, done, failed, held = list(self.running.values()), self.done, self.failed, self.held
            written, moved = self.written, self.moved
        written += sum(entry.written for entry in running)
        moved += sum(entry.moved for entry in running)
        counts = (f"{done} of {self.devices} devices done, {failed} failed, {len(running)} running, "
                  f"{self.devices - done - len(running)} not started")
        flow = [f"{decimal(written)} written"]
        elapsed = now - self.start if self.start is not None else 0
        if self.size and moved * 10 >= self.size and elapsed > 0:
            # what is left to move: the rest of each running device's, and two images for each waiting one
            waiting = self.devices - done - held - len(running)
            left = sum(2 * (entry.total or self.size) - entry.moved for entry in running) + waiting * 2 * self.size
            flow.append(human_rate(written, elapsed))
            if running or waiting:
                # never less than the device that has the most left
                longest = max((entry.left for entry in running if entry.left is not None), default=0)
                flow.append(f"{datetime.timedelta(seconds=round(max(left * elapsed / moved, longest)))} left")
        return counts, ", ".join(flow)

    def slowest(self, count, now):
        """The `count` running devices that hold the site up longest, as (address, Running): most
        time left first, then those whose pace is not known yet, longest started first."""
        with self.lock:
            running = list(self.running.items())
        return heapq.nlargest(count, running, key=lambda item: (item[1].left is not None,
                                                                item[1].left if item[1].left is not None
                                                                else now - item[1].start))


class PlainView:
    """Not a terminal: a line at the start of each phase and at each tenth of writing and of
    verifying, at most 24 per device, each with a UTC time stamp. For a site, only each
    device's result line as it ends, and the site's totals at each tenth of the devices and
    every PLAIN_TOTALS_SECONDS."""

    def __init__(self, output, devices):
        self.output, self.fleet = output, devices > 1
        self._phases = {}  # address -> [stage, start time, next tenth to show]
        self._left = {}  # address -> TimeLeft
        self.site = SiteTally(devices) if devices > SITE_DEVICES else None
        self._totals_lock = threading.Lock()
        self._next_totals = [None, 1]  # when the totals are due next, and at which tenth of the devices

    def phase(self, address, phase):
        if self.site is not None:
            now = time.monotonic()
            self.site.phase(address, phase, now)
            self._totals(now)
            return
        self._line(address, PHASE_NAMES[phase])

    def progress(self, address, stage, current, total):
        now = time.monotonic()
        if self.site is not None:
            self.site.progress(address, stage, current, total, now)
            due = self._next_totals[0]  # read unlocked: most calls end here, at no cost
            if due is not None and now >= due:
                self._totals(now)
            return
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
        if self.site is not None:
            self.site.finished(outcome)
            self._totals(time.monotonic())

    def note(self, text):
        self._line(None, text)

    def _totals(self, now):
        """The site's totals on a line, when they are due."""
        site = self.site
        ended = site.done + site.held
        with self._totals_lock:
            due, tenth = self._next_totals
            if due is None:
                due = self._next_totals[0] = now + PLAIN_TOTALS_SECONDS
            if now < due and ended * 10 < tenth * site.devices:
                return
            self._next_totals = [now + PLAIN_TOTALS_SECONDS, ended * 10 // site.devices + 1]
        self._line(None, "; ".join(site.totals(now)))

    def close(self):
        pass

    def _line(self, address, text):
        stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        device = f"{address}  " if self.fleet and address else ""
        self.output.line(f"{stamp} {device}{text}")


class TerminalView:
    """A terminal: a rich progress row per device, drawn from the update threads at most ten
    times a second. A fleet's rows come under a line that counts the devices done, active and
    failed ones first: what does not fit the screen is cut at the bottom. A site's screen is
    site_lines() instead, drawn as often."""

    ORDER = {"active": 0, "failed": 1, "done": 2}

    def __init__(self, output, devices, console=None):
        from rich.console import Console
        from rich.progress import BarColumn, DownloadColumn, Progress, ProgressColumn, TaskProgressColumn
        from rich.text import Text

        class Cell(ProgressColumn):
            """Text of the row's task, shown as it is."""

            def __init__(self, text):
                super().__init__()
                self.text = text

            def render(self, task):
                return shown(self.text(task))

        view = self

        class Bars(Progress):
            def get_renderables(self):
                if view.site is not None:
                    yield SiteScreen(view.site)
                    return
                if view.fleet:
                    yield Text(view.count_line())
                yield view.rows(sorted(self.tasks, key=lambda task: view.ORDER[task.fields["state"]]))

        self.output, self.devices, self.fleet = output, devices, devices > 1
        # The row's state comes last; self.leaving: the columns that leave a row too narrow for them, in turn.
        self.bar, percentage, state = BarColumn(bar_width=None), TaskProgressColumn(), Cell(row_state)
        phase = Cell(lambda task: f"{task.description:<10}")  # as wide for every phase: the bar stays put
        if self.fleet:
            self.columns = [Cell(lambda task: task.fields["address"]), phase, self.bar,
                            percentage, state]
            self.leaving = [self.bar, percentage]
        else:
            size = DownloadColumn()
            self.columns = [phase, self.bar, size, percentage, state]
            self.leaving = [self.bar, size, percentage]
        self.done = self.failed = 0
        self.site = SiteTally(devices) if devices > SITE_DEVICES else None
        # The module's log lines (-v) go through sys.stderr, which rich shows above the bars.
        self.console = console or Console(file=output, force_terminal=True)
        self.bars = Bars(*self.columns, console=self.console,
                         auto_refresh=False, redirect_stdout=False, redirect_stderr=True)
        self._lock = threading.Lock()
        self._tasks = {}  # address -> [task id, phase, next draw time, TimeLeft, (done, total)]
        self._next_refresh = 0.0
        self.bars.start()

    def count_line(self):
        return f"{self.done} of {self.devices} devices done, {self.failed} failed"

    def rows(self, tasks):
        """A line for each of `tasks`, as wide as the console at most: when the columns do not fit,
        those of self.leaving leave, in turn, and then the state is cut; the bar takes what the
        others leave, up to BAR_WIDTHS[1]."""
        from rich.measure import Measurement
        from rich.table import Column, Table

        console = self.console
        cells = [[column(task) for column in self.columns] for task in tasks]
        bar = self.columns.index(self.bar)
        widths = [0 if index == bar else max([1, *(Measurement.get(console, console.options, row[index]).maximum
                                                  for row in cells)])
                  for index in range(len(self.columns))]
        shown_at, leaving = list(range(len(self.columns))), [self.columns.index(column) for column in self.leaving]

        def room():  # what the shown columns leave free
            return console.width - sum(widths[index] for index in shown_at) - (len(shown_at) - 1) \
                - (BAR_WIDTHS[0] if bar in shown_at else 0)

        while leaving and room() < 0:
            shown_at.remove(leaving.pop(0))
        state, spare = len(self.columns) - 1, room()
        if bar in shown_at:
            widths[bar] = min(BAR_WIDTHS[1], BAR_WIDTHS[0] + spare)
        elif spare < 0:
            widths[state] = max(1, widths[state] + spare)
        table = Table.grid(*(Column(width=widths[index], no_wrap=True, overflow="ellipsis") for index in shown_at),
                           padding=(0, 1))  # one space between the columns
        for row in cells:
            table.add_row(*(row[index] for index in shown_at))
        return table

    def phase(self, address, phase):
        if self.output.dead:
            return
        if self.site is not None:
            now = time.monotonic()
            self.site.phase(address, phase, now)
            self._site_refresh(now)
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
        if self.site is not None:
            self.site.progress(address, stage, current, total, now)
            self._site_refresh(now)
            return
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
        if self.site is not None:
            self.site.finished(outcome)
            if not self.output.dead:
                self._site_refresh(time.monotonic())
            return
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
        self.console.print(shown(text))

    def close(self):
        with self._lock:
            self.bars.stop()

    def _site_refresh(self, now):
        if now >= self._next_refresh:  # read unlocked: most calls end here, at no cost
            with self._lock:
                self._refresh(now, force=False)

    def _refresh(self, now, force):
        if force or now >= self._next_refresh:
            self._next_refresh = now + REDRAW_SECONDS
            self.bars.refresh()


class SiteScreen:
    """The live view of a site, as site_lines() of the console's size."""

    def __init__(self, site):
        self.site = site

    def __rich_console__(self, console, options):
        from rich.text import Text

        for line in site_lines(self.site, options.max_width, options.size.height, time.monotonic()):
            text = Text(line, no_wrap=True, overflow="ellipsis")
            text.truncate(options.max_width, overflow="ellipsis")
            yield text


def site_lines(site, width, height, now):
    """The screen of a site, `height` lines of `width` at most (the last line of the terminal
    left for its cursor): the totals, then the failed devices, newest first, and the running
    ones that hold the site up longest, as many of each as fit, each address whole."""
    counts, flow = site.totals(now)
    lines = [f"{counts}; {flow}"] if len(counts) + 2 + len(flow) <= width else [counts, flow]
    room = height - 1 - len(lines)
    failed, running = len(site.failures), len(site.running)
    if failed and running and room >= 4:  # both, and a header each
        space = room - 2
        shown_failed = min(failed, max(space // 2, space - running))
        shown_running = min(running, space - shown_failed)
    else:
        shown_failed = min(failed, room - 1) if room >= 2 else 0
        shown_running = min(running, room - 1) if room >= 2 and not shown_failed else 0
    if shown_failed:
        lines.append(f"Failed, newest first ({failed}):")
        lines += [f"  {address}  {line}" for address, line in reversed(site.failures[-shown_failed:])]
    if shown_running:
        lines.append(f"Slowest of the {running} running:")
        for address, entry in site.slowest(shown_running, now):
            share = f"{entry.current * 100 // entry.total:3d}%" if entry.total else "    "
            left = f"  {datetime.timedelta(seconds=round(entry.left))} left" if entry.left is not None else ""
            lines.append(f"  {address}  {PHASE_NAMES.get(entry.phase, entry.phase):<10} {share}{left}")
    return lines


def row_state(task):
    """The last column of a live row: the rate and the time left while the device is updated,
    then its result."""
    if task.fields["state"] != "active":
        return task.fields["result"]
    left = task.fields.get("left")
    return "  ".join(filter(None, [human_rate(task.speed, 1) if task.speed else "",
                                   f"{datetime.timedelta(seconds=round(left))} left" if left is not None else ""]))


def result_line(outcome):
    """"failed: why": the result, and the message unless it starts by saying the result itself
    ("not started: ...", "interrupted while writing; ...")."""
    if outcome.message.startswith(outcome.result):
        return outcome.message
    return f"{outcome.result}{': ' if outcome.message else ''}{outcome.message}"


def view_for(output, devices):
    return TerminalView(output, devices) if output.isatty() else PlainView(output, devices)
