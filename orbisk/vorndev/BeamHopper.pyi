# Type stubs of the extension module orbisk.vorndev.BeamHopper.
import inspect as inspect
from abc import ABC as ABC, abstractmethod as abstractmethod
from enum import IntEnum as IntEnum, auto as auto
from functools import wraps as wraps
from typing import Callable as Callable, Protocol, type_check_only

from ..VornPublic import FBSMode as FBSMode, RFMode as RFMode
from ..VornUtils import RetCode as RetCode, RetType as RetType, _RspType as RspType
from .BeamPatternManager import BeamPatternManager as BeamPatternManager

class StartEndEnum(IntEnum):
    OTHER = 0
    START = 1
    END = 2
    START_END = 3

@type_check_only
class BeamHopperHooks(Protocol):
    """The hooks that a device class inheriting BeamHopper defines (in the class or a base).

    BeamHopper looks each up on the device object when an operation needs it: a missing
    one is an AttributeError naming it. A tested result (all but _applyBeamPatternToBFIC's,
    _reboot's and that of _setBeamPatternEnable("0")) must have a RetCode, or the operation
    raises TypeError naming the hook.
    """

    def _getExtCtrl(self) -> RetType:
        """getFastParallelMode: on success int(RetData) is non-zero when the mode is on."""
    def _setExtCtrl(self, state_and_mode: str, /) -> RetType:
        """setFastParallelMode: "1,MODE" or "0,MODE", MODE being int(fbs_mode)."""
    def _setBeamPatternEnable(self, enable: str, /) -> RetType:
        """The setup bracket: "1" enables beam pattern storage, "0" disables it."""
    def _eraseBeamPattern(self, *, user_delay: int) -> RetType:
        """The setup bracket: erase the stored beams; called with user_delay=2."""
    def _applyBeamPatternToBFIC(self, *, user_delay: int) -> RetType:
        """The setup bracket: load the stored beams into the beamformer IC; user_delay=2."""
    def _reboot(self) -> RetType:
        """syncFastBeamConfig: runs with storage enabled and erased; its result is the operation's."""

def _require_beam_pattern_setup(func: Callable[..., RetType]) -> Callable[..., RetType]: ...

class BeamHopper(ABC):
    _beam_pattern_mgr: BeamPatternManager | None
    external_control_enabled: bool
    @property
    def beam_pattern_mgr(self) -> BeamPatternManager: ...
    @abstractmethod
    def _create_beam_pattern_mgr(self) -> BeamPatternManager: ...
    def _fbs_cmd_dict(self) -> dict[str, tuple[str, RspType]]: ...
    def getFastParallelMode(self) -> RetType: ...
    def setFastParallelMode(self, toEnable: bool, fbs_mode: FBSMode = ...) -> RetType: ...
    def eraseFastBeamConfig(self) -> RetType: ...
    @abstractmethod
    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType: ...
    @abstractmethod
    def getFastBeamPattern(self, beam_id: int) -> RetType: ...
    @abstractmethod
    def setFastBeamGain(
        self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType: ...
    @abstractmethod
    def setFastBeamPatternThetaPhi(self, beam_id: int, rf_freq: float, theta: float, phi: float) -> RetType: ...
    @abstractmethod
    def setFastBeamPatternAzEl(self, beam_id: int, rf_freq: float, azimuth: float, elevation: float) -> RetType: ...
    def syncFastBeamConfig(self) -> RetType: ...
