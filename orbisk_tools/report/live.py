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
import math
import threading
import time

from orbisk_tools.engine.outcomes import SUCCEEDED
from orbisk_tools.report.output import human_rate, shown
from orbisk_tools.report.site import PHASE_NAMES, SiteScreen, SiteTally, TimeLeft, result_line

REDRAW_SECONDS = 0.1
BAR_WIDTHS = (10, 40)  # the narrowest bar that a live row shows, and the widest
SITE_DEVICES = 20  # above this many devices, the views show the site's totals, not a row per device
PLAIN_TOTALS_SECONDS = 10.0  # the plain view of a site gives its totals this often, and at each tenth of the devices
PLAIN_SOAK_SECONDS = 30.0  # the plain view says how long a wave's soak has left this often


def soak_left(wave, devices, left):
    """"Soaking wave 2 (5 devices): 0:04:30 left": the line of a soak with `left` seconds left."""
    return (f"Soaking wave {wave} ({devices} device{'s' if devices != 1 else ''}): "
            f"{datetime.timedelta(seconds=math.ceil(left))} left, then each is asked whether it still runs the image")

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
        self._next_soak_line = None  # when the soak under way says how long it has left next

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

    def soaking(self, wave, devices, left):
        """Wave `wave` soaks, `left` seconds more (None: its soak is over): a line every PLAIN_SOAK_SECONDS
        after the note that it began."""
        now = time.monotonic()
        if left is None:
            self._next_soak_line = None
        elif self._next_soak_line is None:
            self._next_soak_line = now + PLAIN_SOAK_SECONDS
        elif now >= self._next_soak_line:
            self._next_soak_line += PLAIN_SOAK_SECONDS
            self._line(None, soak_left(wave, devices, left))

    def changed(self, outcome):
        """The device of `outcome` ended before; the check after its wave's soak failed it."""
        self._line(outcome.address, result_line(outcome))
        if self.site is not None:
            self.site.changed(outcome)

    def elsewhere(self, count):
        """Of a site shared out among laptops: the others took `count` of its devices."""
        if self.site is not None:
            self.site.elsewhere = count

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
                if view.soak_line is not None:
                    yield Text(view.soak_line)
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
        self.done = self.failed = self.taken_elsewhere = 0
        self.soak_line = None  # how long a wave's soak has left, while it soaks
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
        elsewhere = f", {self.taken_elsewhere} taken by other laptops" if self.taken_elsewhere else ""
        return f"{self.done} of {self.devices} devices done, {self.failed} failed{elsewhere}"

    def elsewhere(self, count):
        """Of a site shared out among laptops: the others took `count` of its devices."""
        self.taken_elsewhere = count
        if self.site is not None:
            self.site.elsewhere = count

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

    def soaking(self, wave, devices, left):
        """Wave `wave` soaks, `left` seconds more (None: its soak is over): a line above the rows."""
        self.soak_line = None if left is None else soak_left(wave, devices, left)
        if not self.output.dead:
            with self._lock:
                self._refresh(time.monotonic(), force=True)

    def changed(self, outcome):
        """The device of `outcome` ended before; the check after its wave's soak failed it."""
        if self.site is not None:
            self.site.changed(outcome)
        else:
            with self._lock:
                self.failed += 1
                entry = self._tasks.get(outcome.address)
                if entry is not None:
                    self.bars.update(entry[0], result=outcome.result, state="failed")
        if not self.output.dead:
            with self._lock:
                self._refresh(time.monotonic(), force=True)

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


def row_state(task):
    """The last column of a live row: the rate and the time left while the device is updated,
    then its result."""
    if task.fields["state"] != "active":
        return task.fields["result"]
    left = task.fields.get("left")
    return "  ".join(filter(None, [human_rate(task.speed, 1) if task.speed else "",
                                   f"{datetime.timedelta(seconds=round(left))} left" if left is not None else ""]))


def view_for(output, devices):
    return TerminalView(output, devices) if output.isatty() else PlainView(output, devices)
