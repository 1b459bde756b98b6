"""What a site's live view counts and shows: each device's time left, the site's totals (devices
done, failed, running and not started, bytes written, rate and time left), and its screen of the
failed devices and the slowest running ones, as many as the terminal holds."""

import datetime
import heapq
import threading
import time

from orbisk_tools.engine.outcomes import SUCCEEDED, Phase, Result
from orbisk_tools.report.output import human_rate

# Every phase of the history's vocabulary, where a device may be or where its update ended.
PHASE_NAMES = {Phase.CONNECT: "Connecting", Phase.PROBE: "Reading", Phase.BACKUP: "Backing up", Phase.CHECK: "Checking",
               Phase.ERASE: "Erasing", Phase.WRITE: "Writing", Phase.VERIFY: "Verifying", Phase.LOAD: "Loading", Phase.VERSION: "Loading",
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
        self.elsewhere = 0  # of a site shared out among laptops: the devices the others took

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

    def changed(self, outcome):
        """A device done before failed now (the check after its wave's soak)."""
        with self.lock:
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
        elsewhere = self.elsewhere
        counts = (f"{done} of {self.devices} devices done, {failed} failed, {len(running)} running, "
                  f"{max(0, self.devices - done - len(running) - elsewhere)} not started"
                  + (f", {elsewhere} taken by other laptops" if elsewhere else ""))
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


def result_line(outcome):
    """"failed: why": the result, and the message unless it starts by saying the result itself
    ("not started: ...", "interrupted while writing; ...")."""
    if outcome.message.startswith(outcome.result):
        return outcome.message
    return f"{outcome.result}{': ' if outcome.message else ''}{outcome.message}"
