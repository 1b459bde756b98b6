"""The update of one device, in a thread of its own: lock, connection, FpgaTool, probe, window,
verify-and-skip, the erase, the write, the read-back and the load, and its Outcome."""

import contextlib
import dataclasses
import logging
import threading
import time

from orbisk_tools.engine import window
from orbisk_tools.engine.advice import (NOT_CHANGED, PHASE_WORDS, device_advice, exception_reason, explain, say,
                                        transport_failure)
from orbisk_tools.engine.connection import PatientErase, device_connection, why_not_connected
from orbisk_tools.engine.locks import serial_lock
from orbisk_tools.engine.outcomes import DeviceFailure, DeviceState, Outcome, Phase, Reason, Result, known


# ---- -v: the FPGA module's log lines, each with its device ----------------------------------

_job = threading.local()  # the address that this thread updates


class DeviceLabel(logging.Filter):
    """Adds %(device)s to log records: "ADDRESS: " in a thread that updates a device."""

    def filter(self, record):
        label = getattr(_job, "label", None)
        record.device = f"{label}: " if label else ""
        return True

REPORT_SECONDS = 0.02  # how often the view hears of a device's progress
_WRITE = Phase.WRITE.value  # a plain str: compared for every block


# ---- updates -------------------------------------------------------------------------------

@dataclasses.dataclass
class Settings:
    image: str
    device_type: int
    timeout: float
    window: int | None  # commands in flight; None: as many as the link to each device needs
    lock_folder: int  # an open folder, from open_lock_folder()
    history: object = None  # a history.History to record each attempt in, or None
    run_id: str | None = None
    image_facts: object = None  # the image's history.ImageFacts
    dry_run: bool = False  # identify each device and say what would be done, changing nothing
    force: bool = False  # update a device that already holds the image
    allow_older: bool = False  # update a device that reports a newer version than the image's header names
    gate: object = None  # a rollout.Gate that may hold devices back, or None
    vendor_key_id: str | None = None  # the key that verified the image's vendor signature, if one was checked
    erase_timeout: float = 120.0  # how long to wait for the answer to the erase

class Job:
    """The update of one device: lock, connection, FpgaTool, outcome. Runs in a thread of its own."""

    def __init__(self, target, addresses, settings, view, stop):
        self.target, self.addresses, self.settings, self.view, self.stop = target, addresses, settings, view, stop
        self.phase = None  # Phase.CONNECT, PROBE, ERASE, WRITE, VERIFY, then LOAD
        self.phase_starts = {}  # phase -> monotonic time it began
        self.written = self.read_back = 0  # what the progress callback last said of the write and the read-back
        self.write_starts = 0  # ("write", 0, SIZE) reports of this update: above 1, the module wrote again
        self._reported, self._report_at = None, 0  # (time, count) of the view's last report; its next count
        self.tool = None  # the FpgaTool, once connected: its last_outcome says how the update ended
        self.record = None  # its row in the update history
        self.result = Result.UPDATED  # unless the update ends otherwise
        self.reason, self.details = None, {}  # a reason of the tools' own, when the module's says nothing
        self.error = None  # the exception that ended the update, if one did
        self.before = self.after = None  # what the device reported before the update and after loading
        self.depth = 0  # the commands in flight of the update that runs
        self.conn = None  # the PatientErase connection, once open

    def run(self):
        from orbisk_tools.records.history import HistoryUnavailable
        from orbisk_tools.engine.site_state import AttemptRecord

        _job.label = self.target.label
        outcome = Outcome(self.target.label)
        start = time.monotonic()
        try:
            self.record = AttemptRecord(self.settings, self.target.label)
            held = self.settings.gate and self.settings.gate.refusal(self.target.label, self.stop)
            if held:
                outcome.result, outcome.message, self.reason = Result.NOT_STARTED, held, Reason.NOT_STARTED
            else:
                outcome.message = self._update()
                outcome.result = self.result
        except DeviceFailure as failure:
            outcome.message = str(failure)
            self.reason, self.details, self.error = failure.reason, failure.details, failure.__cause__
        except HistoryUnavailable as failure:  # before the erase: the update stops there
            outcome.message = say(Reason.HISTORY_UNAVAILABLE, text=failure)
            self.reason, self.error = Reason.HISTORY_UNAVAILABLE, failure
        except KeyboardInterrupt:  # from the progress callback, or before the module ran
            outcome.result = Result.INTERRUPTED
            self.reason = Reason.NOT_STARTED if self.phase is None else Reason.INTERRUPTED
            ended = self._module_outcome()
            if ended is not None and not ended.ok:
                outcome.message = explain(ended, self.settings.image, reason=Reason.INTERRUPTED)
                self.details = ended.details
            elif self.phase is None:
                outcome.message = say(Reason.NOT_STARTED, why="")
            else:
                outcome.message = f"interrupted {PHASE_WORDS[self.phase]}; {NOT_CHANGED}"
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            ended = self._module_outcome()
            erasing = self.conn is not None and self.conn.erasing
            timeout = self.settings.erase_timeout if erasing else self.settings.timeout
            self.error = error
            if ended is not None and not ended.ok:
                outcome.message = explain(ended, self.settings.image, timeout,
                                          window_probed=self.settings.window is None)
            else:  # before the module's update, which would say so itself
                outcome.message = transport_failure(error, timeout, PHASE_WORDS[self.phase], NOT_CHANGED)
                self.reason = exception_reason(error)
                self.details = {"error": type(error).__name__, "text": str(error)}
        finally:
            _job.label = None
            if self.conn is not None:
                self.conn.settle(1.0)  # an erase that a second Ctrl-C stopped waiting for
        self._record_module_outcome(outcome)
        if self.reason is not None:  # the tools' own: the module's last call did not end the update
            outcome.reason, outcome.details = self.reason, self.details
        if outcome.reason is None and outcome.result == Result.FAILED:
            outcome.reason = Reason.ERROR
        outcome.error = self.error
        end = time.monotonic()
        ended = self._module_outcome()
        # What the device acknowledged, and the window, of the update that ran last (the module may
        # have written again one command at a time).
        outcome.bytes_written = ended.bytes_written if ended is not None else 0
        outcome.window = (ended.pipeline_depth if ended is not None else 0) or self.depth
        outcome.seconds = end - start
        self._note_versions(outcome)
        self._finish_record(outcome)
        starts = self.phase_starts
        if Phase.WRITE in starts:
            outcome.write_seconds = starts.get(Phase.VERIFY, end) - starts[Phase.WRITE]
        if Phase.VERIFY in starts:
            outcome.read_back_seconds = starts.get(Phase.LOAD, end) - starts[Phase.VERIFY]
        self.view.finished(outcome, outcome.phase)
        if self.settings.gate:
            self.settings.gate.finished(outcome)
        return outcome

    def _module_outcome(self):
        """The UpdateOutcome of the module's last call; None before any."""
        return None if self.tool is None else self.tool.last_outcome

    def _record_module_outcome(self, outcome):
        """Copies into `outcome` the reason, details, phase and device state of the module's last
        call; before any, the phase this Job reached, and an untouched device."""
        ended = self._module_outcome()
        if ended is None:
            outcome.phase = self.phase
            return
        outcome.reason, outcome.details = known(Reason, ended.reason), ended.details
        outcome.phase, outcome.device_state = known(Phase, ended.phase), known(DeviceState, ended.device_state)

    def _note_versions(self, outcome):
        if self.before:
            outcome.serial = self.before.serial or ""
            outcome.fpga_version_before = self.before.fpga_version or ""
            if outcome.result == Result.SKIPPED:
                outcome.fpga_version = outcome.fpga_version_before
        if self.after:
            outcome.fpga_version = self.after.fpga_version or ""

    def _finish_record(self, outcome):
        if self.record is None:
            return
        self.record.finish(outcome, outcome.reason, self.after, outcome.seconds, self._module_outcome())
        if self.record.failure is not None and self.reason != Reason.HISTORY_UNAVAILABLE:  # not said by the message
            outcome.history_error = str(self.record.failure)

    def _enter(self, phase):
        self.phase = phase
        self.phase_starts[phase] = time.monotonic()
        self.record.phase(phase)

    def _update(self):
        """What to say of an update that did not fail (empty for an update); raises DeviceFailure,
        KeyboardInterrupt, or what ended an exchange."""
        from orbisk.VornFpga import FpgaTool
        from orbisk.VornPublic import RetCode

        from orbisk_tools.engine import rollout
        from orbisk_tools.engine.site_state import DeviceFacts, read_facts

        settings = self.settings
        if self.stop.is_set():
            raise KeyboardInterrupt
        self._enter(Phase.CONNECT)
        self.view.phase(self.target.label, Phase.CONNECT)
        with contextlib.ExitStack() as held:
            conn = held.enter_context(device_connection(self.target, self.addresses, settings.timeout,
                                                        settings.lock_folder))
            if self.stop.is_set():
                raise KeyboardInterrupt
            self.conn = PatientErase(conn, settings.erase_timeout)
            tool = self.tool = FpgaTool(self.conn)
            tool.console_progress = False  # the display draws the progress
            tool._fpgaDone = self._loading(tool._fpgaDone)
            self._enter(Phase.PROBE)
            self.before = read_facts(tool, settings.device_type)
            self.record.device(self.before)
            if self.before.serial:  # to the end: the same device reached by another address is refused
                held.enter_context(serial_lock(settings.lock_folder, self.before.serial))
            not_written = rollout.reason_not_to_write(settings, self.before, settings.history)
            depth = None
            if not_written and not_written[1] == Reason.ALREADY_LOADED:  # the history proposes; the device decides
                depth = settings.window or self._probe(conn)
                if not self._holds_image(tool, depth):
                    not_written = None
            if not_written:
                self.result, self.reason, message = not_written
                return message
            depth = depth or settings.window or self._probe(conn)
            tool.set_progress_callback(self._progress)
            try:
                result = self._update_at(tool, depth)  # its exceptions: see run()
            except OSError:
                if not self._may_try_again(tool):
                    raise
                result = None
            if (result is None or result.RetCode is not RetCode.OK) and self._may_try_again(tool):
                result = self._update_at(tool, self._depth_to_try_again(conn, tool.last_outcome, depth))
            if result.RetCode is RetCode.OK:
                try:
                    control_fw_version = tool._fpgaGetControlFwVer() or None
                except Exception:  # the image is loaded: this version only goes into the record
                    control_fw_version = None
                self.after = DeviceFacts(fpga_version=result.RetData["fw_version"],
                                         control_fw_version=control_fw_version)
        if result.RetCode is not RetCode.OK:
            ended = tool.last_outcome
            raise DeviceFailure(explain(ended, settings.image), known(Reason, ended.reason), ended.details)
        mismatch = rollout.version_mismatch(settings.image_facts, self.after.fpga_version)
        if mismatch:
            raise mismatch
        return ""

    def _probe(self, conn):
        """The commands in flight that the link to the device needs; 1 for a device that takes none."""
        depth = window.probe_pipeline_depth(conn)
        if depth == 1:
            self.view.note(f"{self.target.label}: {window.ONE_AT_A_TIME}")
        return depth

    def _holds_image(self, tool, depth):
        """Whether the device's read-back of the image's length matches the image now (read-only)."""
        tool.pipeline_depth = self.depth = depth
        self._enter(Phase.VERIFY)
        result = tool.verifyFpgaImage(self.settings.image, self.settings.device_type)
        holds = bool(result.RetData and result.RetData.get("holds"))
        if not holds:
            self.phase_starts.pop(Phase.VERIFY)  # the update's own read-back times its phase
        return holds

    def _update_at(self, tool, depth):
        """One whole update, from the erase, with `depth` commands in flight."""
        if self.stop.is_set():  # Ctrl-C before the erase: the device stays untouched
            raise KeyboardInterrupt
        tool.pipeline_depth = self.depth = depth
        self.written = self.read_back = self.write_starts = 0
        self._enter(Phase.ERASE)
        self.view.phase(self.target.label, Phase.ERASE)
        return tool.processFpgaUpdate(self.settings.image, self.settings.device_type)

    def erase_time_left(self):
        """Seconds the erase under way may still take, or None when no erase waits for its answer."""
        conn = self.conn
        if conn is None or not conn.erasing:
            return None
        return max(0.0, conn.erase_timeout - (time.monotonic() - conn.erase_started))

    def _may_try_again(self, tool):
        """Whether an update that failed with commands in flight may run once more: the window was
        the tool's choice, and replies went missing before anything was loaded."""
        outcome = tool.last_outcome
        return (self.settings.window is None and outcome is not None and outcome.pipeline_depth > 1
                and outcome.reason in (Reason.TIMEOUT, Reason.CONNECTION_LOST, Reason.READBACK_NOT_DATA)
                and outcome.device_state != DeviceState.LOADED and not self.stop.is_set())

    def _depth_to_try_again(self, conn, ended, depth):
        """After an update with `depth` commands in flight ended as `ended` (an UpdateOutcome) said: a
        new connection, on which no reply of the old one can arrive, and the probe's test asked again.
        Says what happened and what comes next; returns `depth`, or 1 when the device now shows that it
        takes one command per read. A passing fault says nothing of the device's window; a device that
        stopped answering fails here, after its time-out, as the first try did."""
        conn.closeConnection()
        if not conn.initConnection():
            cause, why = why_not_connected(self.target, self.settings.timeout, 0)
            raise DeviceFailure(f"cannot connect again: {why}; {device_advice(ended)}", Reason.CANNOT_CONNECT,
                                {"cause": cause, "why": why})
        if window.probe_pipeline_depth(conn) == 1:
            depth, next_step = 1, window.ONE_AT_A_TIME
        else:
            next_step = f"trying once more with {depth} commands in flight"
        self.view.note(f"{self.target.label}: {self._what_happened(ended)}; {next_step}")
        return depth

    def _what_happened(self, ended):
        """The fault that ended an update with commands in flight, and where, in a few words."""
        if ended.phase == Phase.WRITE:
            where = f"at byte {ended.bytes_written}"
        elif ended.phase == Phase.VERIFY:
            where = f"at byte {ended.details.get('offset', self.read_back)} of the read-back"
        else:
            where = PHASE_WORDS.get(ended.phase, f"in phase {ended.phase}")
        if ended.reason == Reason.TIMEOUT:
            return f"no answer within {self.settings.timeout:g} s {where}"
        if ended.reason == Reason.CONNECTION_LOST:
            return f"connection lost {where}"
        return f"a read-back reply that is not data {where}"

    def _progress(self, stage, current, total):
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

    def _report(self, stage, current, total):
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

    def _loading(self, done):
        """The tool's _fpgaDone, which the module calls only once the read-back matched the image:
        the load begins."""
        def load(*arguments):
            self._enter(Phase.LOAD)
            return done(*arguments)
        return load
