"""What orbisk-fpga knows of a site's devices: the facts a device reports about itself through
read-only queries, and each update attempt's row in the update history."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import TYPE_CHECKING, ParamSpec

from orbisk_tools.records import history
from orbisk_tools.formats.protocol import DEVICE_TYPES, NoFpgaImage

if TYPE_CHECKING:
    from orbisk.VornFpga import FpgaTool

    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.outcomes import Outcome, Phase

P = ParamSpec("P")


@dataclasses.dataclass(frozen=True)
class DeviceFacts:
    """What a device says about itself; None for what it did not say."""
    serial: str | None = None
    fpga_id: str | None = None
    fpga_version: str | None = None
    control_fw_version: str | None = None
    no_fpga_image: bool = False  # it refused the FPGA version query: its FPGA runs no image


def read_facts(tool: FpgaTool, device_type: int) -> DeviceFacts:
    """The facts of the device behind `tool` (an FpgaTool), through queries that change nothing:
    GET_SN, FPGA_GET_ID, the FPGA version as its device type reports it, GET_FW_VER. A reply
    that cannot be used leaves its fact None; what ends the exchange propagates."""
    read_fpga_version = DEVICE_TYPES[device_type].read_fpga_version
    facts: dict[str, str | None] = {}
    no_fpga_image = False
    for name, query in (("serial", tool._fpgaGetSerialNumber), ("fpga_id", tool._fpgaGetId),
                        ("fpga_version", lambda: read_fpga_version(tool)),
                        ("control_fw_version", tool._fpgaGetControlFwVer)):
        try:
            facts[name] = query() or None
        except NoFpgaImage:
            facts[name], no_fpga_image = None, True
        except (ValueError, AttributeError, TypeError):  # a reply that is not what the type reports
            facts[name] = None
    return DeviceFacts(facts["serial"], facts["fpga_id"], facts["fpga_version"], facts["control_fw_version"],
                       no_fpga_image)


class AttemptRecord:
    """One device's row in the update history, kept up to date by its update; does nothing
    without a history.

    Until the device is erased, a write that fails raises HistoryUnavailable: the update stops
    with the device untouched. From the erase on, the update must go on to a verified load: a
    failed write does not stop it, and the first such failure is kept in `failure`, to be told
    with the device's result."""

    def __init__(self, settings: Settings, address: str):
        self.history = settings.history
        self.id: int | None = None
        self.failure: history.HistoryUnavailable | None = None  # the first of a write once the device was changed
        self._changed = False  # the erase was recorded: the device may no longer be untouched
        if self.history is not None:
            assert settings.run_id is not None  # a run that records has its id
            self.id = self.history.start_attempt(settings.run_id, address, settings.image_facts, settings.device_type,
                                                 settings.window, vendor_key_id=settings.vendor_key_id)

    def device(self, facts: DeviceFacts) -> None:
        if self.history is not None and self.id is not None:
            self._write(self.history.record_device, self.id, facts.serial, facts.fpga_id, facts.fpga_version,
                        facts.control_fw_version)

    def phase(self, phase: Phase, device_state: str | None = None) -> None:
        """Records that the update entered `phase`; the device state is what the phase implies,
        unless given (a read-back before the erase leaves it untouched)."""
        if self.history is not None and self.id is not None:
            state = device_state or history.PHASE_DEVICE_STATE.get(phase)
            self._write(self.history.record_phase, self.id, phase, state)
            self._changed |= state not in (None, "untouched")

    def finish(self, outcome: Outcome, reason: str | None, after: DeviceFacts | None, seconds: float) -> None:
        """Records how the update ended: `outcome` is the fleet's Outcome, `after` the device's
        facts after loading (or None)."""
        if self.history is None or self.id is None:
            return
        self._changed = True  # whatever happens now, the update is over
        after = after or DeviceFacts()
        self._write(self.history.finish_attempt, self.id, outcome.result, reason=reason, message=outcome.message,
                    fpga_version_after=after.fpga_version or outcome.fpga_version or None,
                    control_fw_version_after=after.control_fw_version, seconds=seconds,
                    bytes_written=outcome.bytes_written, device_state=outcome.device_state,
                    window=outcome.window or None, phase=outcome.phase)

    def _write(self, write: Callable[P, object], *arguments: P.args, **keywords: P.kwargs) -> None:
        try:
            write(*arguments, **keywords)
        except history.HistoryUnavailable as error:
            if not self._changed:
                raise
            self.failure = self.failure or error
