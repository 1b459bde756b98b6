"""One record per device per run, kept in the main process from every event its update tells: the
phase, the device state, the bytes acknowledged, the serial number and version it reported, the
window. The update's own Outcome is that record at its end; a device whose update cannot tell its
end (its worker process died, or was killed for not stopping) ends from what the record last knew."""

from __future__ import annotations

import dataclasses
import threading
from typing import TYPE_CHECKING, TypedDict, Unpack

from orbisk_tools.engine.advice import NOT_CHANGED, PHASE_WORDS, say
from orbisk_tools.engine.outcomes import (DeviceFailure, DeviceState, Outcome, Phase, Reason, Result, known_phase,
                                          known_state)
from orbisk_tools.vocabulary import IMPLIED_STATE

if TYPE_CHECKING:
    from orbisk_tools.engine.api import View



class Reached(TypedDict, total=False):
    """What an update tells of what it reached (see Tracker.recorded); None for a field it does not know."""
    phase: Phase
    device_state: DeviceState | None
    serial: str | None
    fpga_version_before: str | None
    window: int


@dataclasses.dataclass
class DeviceRecord:
    """What the main process knows of one device's update so far."""
    address: str
    phase: Phase | None = None
    device_state: DeviceState = DeviceState.UNTOUCHED
    bytes_written: int = 0
    serial: str = ""
    fpga_version_before: str = ""
    window: int = 0
    outcome: Outcome | None = None  # once its update ended

    def ended_without_telling(self, message: str, reason: Reason) -> Outcome:
        """The Outcome of a device whose update ended without telling how: failed, as far as this
        process can tell, with its last known phase and state."""
        if self.device_state == DeviceState.UNTOUCHED:
            advice = NOT_CHANGED
        else:
            where = PHASE_WORDS.get(self.phase, "")
            advice = (f"the device was left {self.device_state}{' ' + where if where else ''}: run the update again "
                      "before power-cycling it")
        return Outcome(self.address, Result.FAILED, f"{message}; {advice}", serial=self.serial,
                       fpga_version_before=self.fpga_version_before, bytes_written=self.bytes_written,
                       reason=reason, phase=self.phase, device_state=self.device_state, window=self.window)


class Tracker:
    """The View that an update tells, in the main process: it keeps a DeviceRecord of each device
    from the events and passes the display's on to `view`."""

    def __init__(self, view: View, addresses: list[str]):
        self.view = view
        self.records = {address: DeviceRecord(address) for address in addresses}
        self._lock = threading.Lock()
        self._serials: dict[str, str] = {}  # serial number -> the address that took it in this run

    # ---- the display's events, recorded and passed on

    def phase(self, address: str, phase: Phase) -> None:
        self.recorded(address, phase=phase)
        self.view.phase(address, phase)

    def progress(self, address: str, stage: str, current: int, total: int) -> None:
        record = self.records.get(address)
        if record is not None and stage == Phase.WRITE:
            record.bytes_written = current
        self.view.progress(address, stage, current, total)

    def note(self, text: str) -> None:
        self.view.note(text)

    def finished(self, outcome: Outcome, phase: Phase | None) -> None:
        record = self.records.get(outcome.address)
        if record is not None:
            record.outcome = outcome
        self.view.finished(outcome, phase)

    def changed(self, outcome: Outcome) -> None:
        """The device of `outcome` ended before, and its outcome is now this one (the check after
        its wave's soak failed it)."""
        record = self.records.get(outcome.address)
        if record is not None:
            record.outcome = outcome
        told = getattr(self.view, "changed", None)
        if told is not None:
            told(outcome)

    def soaking(self, wave: int, devices: int, left: float | None) -> None:
        """Wave `wave` of `devices` devices soaks, `left` seconds more (None: its soak is over)."""
        told = getattr(self.view, "soaking", None)
        if told is not None:
            told(wave, devices, left)

    # ---- what only the record keeps

    def recorded(self, address: str, **fields: Unpack[Reached]) -> None:
        """The update of the device at `address` reached what `fields` say (phase, device_state,
        serial, fpga_version_before, window); a phase from the erase on implies its state."""
        record = self.records.get(address)
        if record is None:
            return
        with self._lock:
            phase = fields.get("phase")
            if phase is not None:
                record.phase = known_phase(phase, record.phase)
                implied = IMPLIED_STATE.get(record.phase) if record.phase is not None else None
                if implied is not None and fields.get("device_state") is None:
                    record.device_state = implied
            for name, value in fields.items():
                if name != "phase" and value is not None:
                    setattr(record, name, known_state(str(value), record.device_state) if name == "device_state"
                            else value)

    def claim(self, address: str, serial: str) -> str | None:
        """Takes the device with `serial` for the update at `address`: None, or the other address
        of this run that took it first (the same device by another address, updated once a run)."""
        with self._lock:
            other = self._serials.setdefault(serial, address)
        return None if other == address else other

    def ended_without_telling(self, address: str, message: str, reason: Reason = Reason.WORKER_ENDED) -> Outcome:
        """The Outcome of the device at `address`, whose update ended without telling how."""
        record = self.records.get(address) or DeviceRecord(address)
        return record.ended_without_telling(message, reason)


def tell(view: object, address: str, **fields: object) -> None:
    """Tells the main process's record of the device at `address` (through `view`, when it keeps
    records) what its update reached."""
    recorded = getattr(view, "recorded", None)
    if recorded is not None:
        recorded(address, **fields)


def claim(view: object, address: str, serial: str) -> None:
    """Refuses a device that this run reached by another address already, even one whose update has
    ended: a device is updated once a run. Raises DeviceFailure."""
    claimed = getattr(view, "claim", None)
    other = claimed(address, serial) if claimed is not None else None
    if other is not None:
        raise DeviceFailure(say(Reason.NAMED_TWICE), Reason.NAMED_TWICE, {"other": other})
