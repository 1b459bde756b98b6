"""What an update tells its view of its progress: the FPGA module calls back for every block, and
the view hears of it about every REPORT_SECONDS, at each tenth and at each phase's start and end."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from orbisk_tools.engine.outcomes import Phase

if TYPE_CHECKING:
    from orbisk_tools.engine.api import View
    from orbisk_tools.engine.targets import Target

REPORT_SECONDS = 0.02  # how often the view hears of a device's progress
_WRITE = Phase.WRITE.value  # a plain str: compared for every block


class ProgressReports:
    """The progress callback of a Job, and its _fpgaDone that says the load begins. The Job holds
    the attributes declared here and enters its phases with _enter()."""

    target: Target
    view: View
    stop: threading.Event
    phase: Phase | None
    depth: int
    written: int
    read_back: int
    write_starts: int
    _reported: tuple[float, int] | None
    _report_at: int

    def _enter(self, phase: Phase) -> None:
        raise NotImplementedError

    def _progress(self, stage: str, current: int, total: int) -> None:
        """The module's progress callback, called for every block: most calls only keep the count,
        and the view, and the check for Ctrl-C, come about every REPORT_SECONDS, at each phase's start
        and at its end."""
        if 0 < current < self._report_at and stage == self.phase:
            if stage == _WRITE:
                self.written = current
            else:
                self.read_back = current
            return
        self._report(stage, current, total)

    def _report(self, stage: str, current: int, total: int) -> None:
        if self.stop.is_set():
            raise KeyboardInterrupt
        now = time.monotonic()
        if self.phase != stage:  # "write", then "verify"
            self._enter(Phase(stage))
            self._reported = None
        if stage == _WRITE and current == 0:
            self.write_starts += 1
            if self.write_starts == 2:  # the module writes again after a block refused in the window
                self.view.note(f"{self.target.label}: the device refused the block at byte {self.written} with "
                               f"{self.depth} commands in flight; writing the image again from the erase, one "
                               "command at a time")
        if stage == _WRITE:
            self.written = current
        else:
            self.read_back = current
        # The next report once about REPORT_SECONDS more of this pace have passed, or at the next tenth.
        if self._reported is not None and now > self._reported[0] and current > self._reported[1]:
            pace = (current - self._reported[1]) / (now - self._reported[0])
            step = min(max(int(pace * REPORT_SECONDS), 16), 1 << 20)
        else:
            step = 16
        next_tenth = -(-(current * 10 // total + 1) * total // 10) if total else 0  # views mark each tenth
        self._reported, self._report_at = (now, current), min(current + step, next_tenth, total)
        self.view.progress(self.target.label, stage, current, total)

    def _loading(self, done: Callable[..., str]) -> Callable[..., str]:
        """The tool's _fpgaDone, which the module calls only once the read-back matched the image:
        the load begins."""
        def load(*arguments: object) -> str:
            self._enter(Phase.LOAD)
            return done(*arguments)
        return load
