"""The example BeamHopper device class against the emulated fast beam controller."""

import pytest

from orbisk.VornPublic import FBSMode, RFMode
from orbisk.VornUtils import RetCode
from orbisk_tools.devices.example_device import ExampleDevice

BRACKET = ["BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_ERASE", "BEAM_PATTERN_STORE_EN", "BEAM_PATTERN_APPLY_BFIC"]


@pytest.fixture
def emulated(emulator, monkeypatch):
    monkeypatch.setattr(ExampleDevice, "settle_time", 0.0)
    device = emulator()
    with ExampleDevice(device.host, device.port, timeout=2.0) as example:
        yield example, device.device


def test_fast_parallel_mode_on_and_off(emulated):
    example, device = emulated
    assert example.setFastParallelMode(True).RetCode is RetCode.OK
    assert (device.beams.external_control, device.beams.fbs_mode) == (1, int(FBSMode.FULL_GAIN_PHASE))
    assert example.getFastParallelMode().RetData is True and example.external_control_enabled is True
    example.setFastParallelMode(False, FBSMode.PHASE_ONLY)
    assert (device.beams.external_control, device.beams.fbs_mode) == (0, int(FBSMode.PHASE_ONLY))
    assert example.getFastParallelMode().RetData is False
    assert device.commands == ["ExtCtrl_EN", "ExtCtrl_EN?", "ExtCtrl_EN", "ExtCtrl_EN?"]


def test_gain_and_pattern_are_stored_and_read_back(emulated):
    example, device = emulated
    assert example.setFastBeamGain(RFMode.TX, 3, True, com_gain=5).RetCode is RetCode.OK
    assert example.setFastBeamPatternThetaPhi(3, 28.0e9, 30.0, 45.0).RetCode is RetCode.OK
    assert example.getFastBeamGain(RFMode.TX, 3).RetData == {"enable": True, "com_gain": 5, "ele_gain": 0}
    assert example.getFastBeamPattern(3).RetData == {"rf_freq": 28.0e9, "theta": 30.0, "phi": 45.0}
    example.setFastBeamPatternAzEl(4, 28.0e9, 0.0, 0.0)
    assert example.getFastBeamPattern(4).RetData["theta"] == 0.0
    assert example.getFastBeamGain(RFMode.RX, 3).RetCode is RetCode.ERROR  # never stored
    assert device.beams.storage_enabled is False


def test_erase_runs_inside_the_storage_bracket(emulated):
    example, device = emulated
    example.setFastBeamGain(RFMode.TX, 1, True)
    del device.commands[:]
    assert example.eraseFastBeamConfig().RetCode is RetCode.OK
    assert device.commands == BRACKET
    assert device.beams.stored == {} and device.beams.applied == {} and device.beams.storage_enabled is False
    assert example.getFastBeamGain(RFMode.TX, 1).RetCode is RetCode.ERROR


def test_sync_reboots_inside_the_bracket(emulated):
    example, device = emulated
    ret = example.syncFastBeamConfig()
    assert ret.RetCode is RetCode.OK
    assert device.commands == BRACKET[:2] + ["SYS_REBOOT"] + BRACKET[2:]
    assert (device.beams.erases, device.beams.reboots, device.beams.applies) == (1, 1, 1)


def test_lazy_beam_pattern_manager(emulated):
    example, _ = emulated
    assert example.beam_pattern_mgr is example.beam_pattern_mgr
