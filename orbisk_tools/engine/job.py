"""The update of one device, in a thread of its own: lock, connection, FpgaTool, probe, window,
verify-and-skip, the erase, the write, the read-back and the load, and its Outcome."""

from __future__ import annotations

import contextlib
import logging
import threading
import time
from typing import TYPE_CHECKING, Any

from orbisk_tools.native import fpga_module
from orbisk_tools.engine import backup, running, second_try, sharing, tracking, window
from orbisk_tools.engine.facts import DeviceFacts, read_facts
from orbisk_tools.engine.labels import set_label
from orbisk_tools.engine.reports import ProgressReports
from orbisk_tools.engine.settings import Settings
from orbisk_tools.engine.advice import (WhatRuns, NOT_CHANGED, PHASE_WORDS, exception_reason, explain, said,
                                        say, transport_failure)
from orbisk_tools.engine.connection import PatientErase, device_connection
from orbisk_tools.engine.locks import serial_lock
from orbisk_tools.engine.outcomes import (DeviceFailure, DeviceState, Outcome, Phase, Reason, Result, Runs,
                                          known_phase, known_reason, known_state)
from orbisk_tools.engine.stop import Stop
from orbisk_tools.formats.protocol import REFUSAL

if TYPE_CHECKING:
    from orbisk import VornFpga
    from orbisk.VornCommService import _TCPConn
    from orbisk.VornFpga import FpgaTool, UpdateOutcome
    from orbisk.VornUtils import RetType

    from orbisk_tools.engine.api import View
    from orbisk_tools.records.attempt_record import AttemptRecord
    from orbisk_tools.engine.targets import Target


logger = logging.getLogger("orbisk_tools")


# ---- updates -------------------------------------------------------------------------------

class Job(ProgressReports):
    """The update of one device: lock, connection, FpgaTool, outcome. Runs in a thread of its own."""

    def __init__(self, target: Target, addresses: list[str] | DeviceFailure, settings: Settings, view: View,
                 stop: threading.Event):
        self.target, self.addresses, self.settings, self.view, self.stop = target, addresses, settings, view, stop
        self.phase: Phase | None = None  # Phase.CONNECT, PROBE, ERASE, WRITE, VERIFY, then LOAD
        self.phase_starts: dict[Phase, float] = {}  # phase -> monotonic time it began
        self.written = self.read_back = 0  # what the progress callback last said of the write and the read-back
        self.write_starts = 0  # ("write", 0, SIZE) reports of this update: above 1, the module wrote again
        # (time, count) of the view's last report; its next count
        self._reported: tuple[float, int] | None
        self._reported, self._report_at = None, 0
        self.tool: FpgaTool | None = None  # the FpgaTool, once connected: its last_outcome says how the update ended
        self.record: AttemptRecord | None = None  # its row in the update history
        self.result = Result.UPDATED  # unless the update ends otherwise
        self.reason: Reason | None = None  # a reason of the tools' own, when the module's says nothing
        self.details: dict[str, Any] = {}
        self.error: BaseException | None = None  # the exception that ended the update, if one did
        self.before: DeviceFacts | None = None  # what the device reported before the update
        self.after: DeviceFacts | None = None  # ... and after loading
        self.depth = 0  # the commands in flight of the update that runs
        self.conn: PatientErase | None = None  # the PatientErase connection, once open
        self.erased = False  # the erase was sent: from then on, the device may have changed
        self.backup: str | None = None  # the backup kept of its configuration memory before the erase (backup.py)
        self.state: DeviceState | None = None  # the device state, where this Job knows better than the module's outcome
        # what the device said it runs at the end, and its version
        self.runs: Runs | None = None
        self.runs_version: str | None = None

    def run(self) -> Outcome:
        from orbisk_tools.records.history import HistoryUnavailable
        from orbisk_tools.records.attempt_record import AttemptRecord

        set_label(self.target.label)
        outcome = Outcome(self.target.label)
        start = time.monotonic()
        try:
            settings = self.settings
            self.record = AttemptRecord(settings.history, settings.run_id, self.target.label, settings.image_facts,
                                        settings.device_type, settings.window, settings.vendor_key_id)
            held = self.settings.gate and self.settings.gate.refusal(self.target.label, self.stop)
            start = time.monotonic()  # a device's time is its own, not its wait for the waves before it and their soak
            if held:
                outcome.result, self.reason = Result.NOT_STARTED, Reason.NOT_STARTED
                outcome.message, self.details = held
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
            ended = self._module_outcome()
            cancelled = getattr(self.stop, "cause", None) == Stop.CANCEL
            if ended is None or ended.device_state == DeviceState.UNTOUCHED.value:  # before its erase
                outcome.result, self.reason = Result.NOT_STARTED, Reason.NOT_STARTED
                self.details = {"held_by": "cancel" if cancelled else "interrupt"}
                outcome.message = say(Reason.NOT_STARTED, why=f": {'cancelled' if cancelled else 'interrupted'} "
                                                              "before its erase")
            else:
                outcome.result = Result.INTERRUPTED
                self.reason = Reason.CANCELLED if cancelled else Reason.INTERRUPTED
                if ended.phase not in (Phase.LOAD, Phase.VERSION):  # the device answered until now
                    self._ran_as_before()
                outcome.message = explain(ended, self.settings.image, reason=self.reason, **self._what_runs())
                self.details = {} if cancelled else ended.details
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            ended = self._module_outcome()
            erasing = self.conn is not None and self.conn.erasing
            timeout = self.settings.erase_timeout if erasing else self.settings.timeout
            self.error = error
            logger.info("%s: %s: %s", self.target.label, type(error).__name__, said(error))  # the system's text
            if ended is not None and not ended.ok:
                outcome.message = explain(ended, self.settings.image, timeout,
                                          window_probed=self.settings.window is None, **self._what_runs())
            else:  # before the module's update, which would say so itself
                outcome.message = transport_failure(error, timeout, PHASE_WORDS[self.phase], NOT_CHANGED)
                self.reason = exception_reason(error)
                self.details = {"error": type(error).__name__, "text": said(error)}
                number = getattr(error, "errno", None)  # an OSError's, or another exception's
                if isinstance(number, int):
                    self.details["errno"] = number
        finally:
            set_label(None)
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
        self._note_what_runs(outcome)
        outcome.backup = self.backup
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

    def _module_outcome(self) -> UpdateOutcome | None:
        """The UpdateOutcome of the module's last call; None before any."""
        return None if self.tool is None else self.tool.last_outcome

    def _record_module_outcome(self, outcome: Outcome) -> None:
        """Copies into `outcome` the reason, details, phase and device state of the module's last
        call; before any, the phase this Job reached, and an untouched device. Of a text that is no
        member of the vocabulary (see known_reason), the phase is the one this Job reached, and the
        state erased once the erase was sent, else untouched."""
        ended = self._module_outcome()
        if ended is None:
            outcome.phase = self.phase
            return
        outcome.reason, outcome.details = known_reason(ended.reason, ended.details)
        outcome.phase = known_phase(ended.phase, self.phase)
        outcome.device_state = known_state(ended.device_state,
                                           DeviceState.ERASED if self.erased else DeviceState.UNTOUCHED)
        if self.state is not None:
            outcome.device_state = self.state

    def _note_what_runs(self, outcome: Outcome) -> None:
        """What the device's FPGA runs at the end, as far as it said."""
        if outcome.result in (Result.UPDATED, Result.LOADED, Result.SKIPPED):
            outcome.runs = Runs.IMAGE
        elif self.runs is not None:
            outcome.runs = self.runs
        elif outcome.device_state == DeviceState.UNTOUCHED and self.before is not None:
            outcome.runs = Runs.NONE if self.before.no_fpga_image else Runs.PREVIOUS

    def _what_runs(self) -> WhatRuns:
        """The fields of explain() that say what the device said it runs."""
        return {"runs": self.runs, "version": self.runs_version,
                "ran_none": bool(self.before and self.before.no_fpga_image)}

    def _ran_as_before(self) -> None:
        """The device answered until now: its FPGA runs what it ran before the update."""
        if self.before is not None:
            self.runs = Runs.NONE if self.before.no_fpga_image else Runs.PREVIOUS
            self.runs_version = self.before.fpga_version

    def _ask_what_runs(self, conn: _TCPConn) -> None:
        """After a failure once the device may have changed: what it says it runs (see
        running.ask_what_runs), for the message and the record."""
        self.runs, self.runs_version = running.ask_what_runs(conn, self.settings.device_type,
                                                            self.settings.image_facts, self.before)

    def _note_versions(self, outcome: Outcome) -> None:
        if self.before:
            outcome.serial = self.before.serial or ""
            outcome.fpga_version_before = self.before.fpga_version or ""
            if outcome.result == Result.SKIPPED:
                outcome.fpga_version = outcome.fpga_version_before
        if self.after:
            outcome.fpga_version = self.after.fpga_version or ""
        elif self.runs_version:  # asked after a fault
            outcome.fpga_version = self.runs_version

    def _finish_record(self, outcome: Outcome) -> None:
        if self.record is None:
            return
        after = self.after or DeviceFacts()
        self.record.finish(outcome.result, outcome.reason, outcome.message,
                           after.fpga_version or outcome.fpga_version or None, after.control_fw_version,
                           outcome.seconds, outcome.bytes_written, outcome.device_state, outcome.window or None,
                           outcome.phase)
        if self.record.failure is not None and self.reason != Reason.HISTORY_UNAVAILABLE:  # not said by the message
            outcome.history_error = str(self.record.failure)

    def _enter(self, phase: Phase) -> None:
        assert self.record is not None  # made by run() first
        self.phase = phase
        self.phase_starts[phase] = time.monotonic()
        self.erased |= phase == Phase.ERASE
        # A read-back before the erase changes nothing; a load after it does.
        state = DeviceState.UNTOUCHED if phase == Phase.VERIFY and not self.erased else None
        self.record.phase(phase, state)
        tracking.tell(self.view, self.target.label, phase=phase, device_state=state or (DeviceState.ERASED if phase == Phase.VERIFY else None))

    def _update(self) -> str:
        """What to say of an update that did not fail (empty for an update); raises DeviceFailure,
        KeyboardInterrupt, or what ended an exchange."""
        FpgaTool: type[VornFpga.FpgaTool] = fpga_module().FpgaTool

        from orbisk_tools.engine import rollout

        settings = self.settings
        if self.stop.is_set():
            raise KeyboardInterrupt
        self._enter(Phase.CONNECT)
        self.view.phase(self.target.label, Phase.CONNECT)
        with contextlib.ExitStack() as held:
            if not isinstance(self.addresses, DeviceFailure):  # the team's locks, before anything is sent
                for address in sorted(self.addresses):
                    sharing.hold_team_lock(settings.history, held, f"address {address}:{self.target.port}")
            conn = held.enter_context(device_connection(self.target, self.addresses, settings.timeout,
                                                        settings.lock_folder))
            if self.stop.is_set():
                raise KeyboardInterrupt
            self.conn = PatientErase(conn, settings.erase_timeout)
            tool = self.tool = FpgaTool(self.conn)
            tool.console_progress = False  # the display draws the progress
            tool._fpgaDone = self._loading(tool._fpgaDone)  # type: ignore[method-assign]  # this tool's, patched
            self._enter(Phase.PROBE)
            self.before = read_facts(tool, settings.device_type)
            assert self.record is not None  # made by run() first
            self.record.device(self.before.serial, self.before.fpga_id, self.before.fpga_version,
                               self.before.control_fw_version)
            tracking.tell(self.view, self.target.label, serial=self.before.serial, fpga_version_before=self.before.fpga_version)
            if self.before.serial:  # to the end: the same device reached by another address is refused
                held.enter_context(serial_lock(settings.lock_folder, self.before.serial))
                tracking.claim(self.view, self.target.label, self.before.serial)
                sharing.hold_team_lock(settings.history, held, f"serial {self.before.serial}")
            backup.check_restored_device(settings, self.before)
            not_written = rollout.reason_not_to_write(settings, self.before)
            if not_written:
                self.result, self.reason, message = not_written
                return message
            tool.set_progress_callback(self._progress)
            try:
                return self._write_or_load(tool, conn)
            except (KeyboardInterrupt, DeviceFailure):
                raise
            except Exception:
                ended = tool.last_outcome
                if ended is not None and ended.device_state != DeviceState.UNTOUCHED.value:
                    self._ask_what_runs(conn)
                raise

    def _write_or_load(self, tool: FpgaTool, conn: _TCPConn) -> str:
        """The update once the device is identified: a read-back first when its memory may hold the
        image already (it is then skipped, or loaded without rewriting), else the erase, the write,
        the read-back and the load."""
        from orbisk.VornPublic import RetCode

        settings = self.settings
        assert self.before is not None  # read by _update() first
        depth: int | None = None
        instead = running.plan(settings.image_facts, self.before, settings.history, settings.force)
        if instead is not None:  # the history and the device propose; the read-back decides
            depth = settings.window or self._probe(conn)
            said = self._without_rewriting(tool, depth, instead)
            if said is not None:
                return said
        depth = depth or settings.window or self._probe(conn)
        backup.before_erase(self, tool, depth)
        result: RetType | None
        try:
            result = self._update_at(tool, depth)  # its exceptions: see run()
        except OSError:
            if not second_try.may_try_again(settings, self.stop, tool.last_outcome):
                raise
            result = None
        if (result is None or result.RetCode is not RetCode.OK) and second_try.may_try_again(
                settings, self.stop, tool.last_outcome):
            assert tool.last_outcome is not None  # may_try_again() looked at it
            depth = second_try.depth_to_try_again(self.target, settings, self.view, conn, tool.last_outcome, depth,
                                                  self.read_back)
            result = self._update_at(tool, depth)
        assert result is not None  # None only when it may try again, which it did
        if result.RetCode is not RetCode.OK:
            ended = tool.last_outcome
            assert ended is not None  # the module's call set it
            if ended.device_state != DeviceState.UNTOUCHED.value:
                self._ask_what_runs(conn)
            reason, details = known_reason(ended.reason, ended.details)
            raise DeviceFailure(explain(ended, settings.image, **self._what_runs()), reason or Reason.ERROR, details)
        self._loaded(tool, result.RetData["fw_version"])
        return ""

    def _without_rewriting(self, tool: FpgaTool, depth: int, instead: Result) -> str | None:
        """Reads the device back; when its memory holds the image, `instead` (Result.SKIPPED: it
        runs the image; Result.LOADED: it is loaded as it is) is what happens, and this says so.
        None when the memory does not hold it."""
        tool.pipeline_depth = self.depth = depth
        tracking.tell(self.view, self.target.label, window=depth)
        self._enter(Phase.VERIFY)
        result = tool.verifyFpgaImage(self.settings.image, self.settings.device_type,
                                      load=instead == Result.LOADED)
        if not (result.RetData and result.RetData.get("holds")):
            self.phase_starts.pop(Phase.VERIFY)  # the update's own read-back times its phase
            return None
        if instead == Result.SKIPPED:
            assert self.settings.image_facts is not None and self.before is not None  # running.plan() had them
            evidence = running.judge(self.settings.image_facts, self.before, self.settings.history)
            self.result, self.reason = Result.SKIPPED, Reason.ALREADY_LOADED
            return say(Reason.ALREADY_LOADED, why=evidence.why)
        self._loaded(tool, result.RetData["fw_version"])
        self.result = Result.LOADED
        assert self.after is not None  # _loaded() set it
        return (f"loaded without rewriting: its configuration memory held the image (read back and verified); "
                f"FPGA version {self.after.fpga_version or '(not reported)'}")

    def _loaded(self, tool: FpgaTool, version: str) -> None:
        """After the module loaded the image: what the device reports, which must confirm the load.
        Raises the DeviceFailure of a load that the device's version does not confirm."""
        from orbisk_tools.engine import rollout

        try:
            control_fw_version = tool._fpgaGetControlFwVer() or None
        except Exception:  # the image is loaded: this version only goes into the record
            control_fw_version = None
        if isinstance(version, str) and version.startswith(REFUSAL):  # it runs no image after the load
            self.after = DeviceFacts(control_fw_version=control_fw_version, no_fpga_image=True)
            self.state, self.runs = DeviceState.WRITTEN, Runs.NONE
            assert tool.last_outcome is not None  # the module's load set it
            raise DeviceFailure(explain(tool.last_outcome, self.settings.image, reason=Reason.LOAD_NOT_CONFIRMED),
                                Reason.LOAD_NOT_CONFIRMED, {"reported": version})
        self.after = DeviceFacts(fpga_version=version, control_fw_version=control_fw_version)
        restored = self.settings.restore_of
        mismatch = rollout.version_mismatch(self.settings.image_facts, self.after.fpga_version,
                                            restored.get(self.before.serial or "") if restored and self.before else None)
        if mismatch:
            self.state, self.runs, self.runs_version = DeviceState.WRITTEN, Runs.OTHER, version
            raise mismatch

    def _probe(self, conn: _TCPConn) -> int:
        """The commands in flight that the link to the device needs; 1 for a device that takes none."""
        depth = window.probe_pipeline_depth(conn)
        if depth == 1:
            self.view.note(f"{self.target.label}: {window.ONE_AT_A_TIME}")
        return depth

    def _update_at(self, tool: FpgaTool, depth: int) -> RetType:
        """One whole update, from the erase, with `depth` commands in flight."""
        if self.stop.is_set():  # Ctrl-C before the erase: the device stays untouched
            raise KeyboardInterrupt
        tool.pipeline_depth = self.depth = depth
        tracking.tell(self.view, self.target.label, window=depth)
        self.written = self.read_back = self.write_starts = 0
        self._enter(Phase.ERASE)
        self.view.phase(self.target.label, Phase.ERASE)
        return tool.processFpgaUpdate(self.settings.image, self.settings.device_type)

    def erase_time_left(self) -> float | None:
        """Seconds the erase under way may still take, or None when no erase waits for its answer."""
        conn = self.conn
        if conn is None or not conn.erasing:
            return None
        return max(0.0, conn.erase_timeout - (time.monotonic() - conn.erase_started))
