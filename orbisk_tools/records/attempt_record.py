"""One device's row in the update history, kept up to date by its update as it goes."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, ParamSpec

from orbisk_tools.records.history import PHASE_DEVICE_STATE, HistoryUnavailable

if TYPE_CHECKING:
    from orbisk_tools.records.history import History
    from orbisk_tools.records.attempts import ImageFacts

P = ParamSpec("P")


class AttemptRecord:
    """One device's row in the update history; does nothing without a history.

    Until the device is erased, a write that fails raises HistoryUnavailable: the update stops
    with the device untouched. From the erase on, the update must go on to a verified load: a
    failed write does not stop it, and the first such failure is kept in `failure`, to be told
    with the device's result."""

    def __init__(self, history: History | None, run_id: str | None, address: str, image: ImageFacts | None,
                 device_type: int, window: int | None, vendor_key_id: str | None):
        self.history = history
        self.id: int | None = None
        self.failure: HistoryUnavailable | None = None  # the first of a write once the device was changed
        self._changed = False  # the erase was recorded: the device may no longer be untouched
        if self.history is not None:
            assert run_id is not None  # a run that records has its id
            self.id = self.history.start_attempt(run_id, address, image, device_type, window,
                                                 vendor_key_id=vendor_key_id)

    def device(self, serial: str | None, fpga_id: str | None, fpga_version: str | None,
               control_fw_version: str | None) -> None:
        """Records what the device said about itself before the update."""
        if self.history is not None and self.id is not None:
            self._write(self.history.record_device, self.id, serial, fpga_id, fpga_version, control_fw_version)

    def backup(self, path: str, sha256: str, size: int) -> None:
        """Records the backup kept of the device's configuration memory before its erase."""
        if self.history is not None and self.id is not None:
            self._write(self.history.record_backup, self.id, path, sha256, size)

    def phase(self, phase: str, device_state: str | None = None) -> None:
        """Records that the update entered `phase`; the device state is what the phase implies,
        unless given (a read-back before the erase leaves it untouched)."""
        if self.history is not None and self.id is not None:
            state = device_state or PHASE_DEVICE_STATE.get(phase)
            self._write(self.history.record_phase, self.id, phase, state)
            self._changed |= state not in (None, "untouched")

    def finish(self, result: str, reason: str | None, message: str, fpga_version_after: str | None,
               control_fw_version_after: str | None, seconds: float, bytes_written: int, device_state: str,
               window: int | None, phase: str | None) -> None:
        """Records how the update ended."""
        if self.history is None or self.id is None:
            return
        self._changed = True  # whatever happens now, the update is over
        self._write(self.history.finish_attempt, self.id, result, reason=reason, message=message,
                    fpga_version_after=fpga_version_after, control_fw_version_after=control_fw_version_after,
                    seconds=seconds, bytes_written=bytes_written, device_state=device_state, window=window,
                    phase=phase)

    def _write(self, write: Callable[P, object], *arguments: P.args, **keywords: P.kwargs) -> None:
        try:
            write(*arguments, **keywords)
        except HistoryUnavailable as error:
            if not self._changed:
                raise
            self.failure = self.failure or error
