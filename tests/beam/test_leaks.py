"""Every operation of BeamHopper, repeated: successes, failed results and raised errors leave nothing behind."""

import pytest

from orbisk.VornPublic import FBSMode, RFMode
from orbisk.VornUtils import RetCode, RetType
from orbisk.vorndev.BeamHopper import BeamHopper, _require_beam_pattern_setup


def test_repeated_operations_leave_nothing_behind(Device, leak_check):
    failure = RetType(RetCode.ERROR, "refused")
    argument, option, mode, frequency = object(), object(), FBSMode.PHASE_ONLY, 2.8e10

    def body(self, *args, **kwargs):
        return RetType(data=args)

    def run(script, operation):
        def call():
            device = Device(**script())
            result = operation(device)
            return [device] if result is failure else [device, result]  # a failed result comes back itself
        return call

    def raises(error, script, operation):
        def call():
            device = Device(**script())
            with pytest.raises(error):
                operation(device)
            return [device]
        return call

    def decorate():
        wrapper = _require_beam_pattern_setup(body)
        device = Device()
        return [device, wrapper, wrapper(device, argument, option=option)]

    operations = [
        ("beam_pattern_mgr", run(dict, lambda device: device.beam_pattern_mgr)),
        ("beam_pattern_mgr, factory error", raises(
            RuntimeError, lambda: {"_create_beam_pattern_mgr": RuntimeError("no memory")},
            lambda device: device.beam_pattern_mgr)),
        ("_fbs_cmd_dict", lambda: [device := Device(), device._fbs_cmd_dict() and RetType()]),
        ("getFastParallelMode", run(lambda: {"_getExtCtrl": RetType(data="1")}, lambda d: d.getFastParallelMode())),
        ("getFastParallelMode, failed", run(lambda: {"_getExtCtrl": failure}, lambda d: d.getFastParallelMode())),
        ("getFastParallelMode, no integer", raises(
            ValueError, lambda: {"_getExtCtrl": RetType(data="on")}, lambda d: d.getFastParallelMode())),
        ("setFastParallelMode", run(dict, lambda d: d.setFastParallelMode(argument, mode))),
        ("setFastParallelMode, failed", run(lambda: {"_setExtCtrl": failure}, lambda d: d.setFastParallelMode(True))),
        ("setFastParallelMode, bad mode", raises(TypeError, dict, lambda d: d.setFastParallelMode(True, argument))),
        ("eraseFastBeamConfig", run(dict, lambda d: d.eraseFastBeamConfig())),
        ("eraseFastBeamConfig, enable failed", run(
            lambda: {"_setBeamPatternEnable": [failure, RetType()]}, lambda d: d.eraseFastBeamConfig())),
        ("syncFastBeamConfig", run(lambda: {"_reboot": RetType(data=argument)}, lambda d: d.syncFastBeamConfig())),
        ("syncFastBeamConfig, erase failed", run(
            lambda: {"_eraseBeamPattern": failure}, lambda d: d.syncFastBeamConfig())),
        ("syncFastBeamConfig, reboot error", raises(
            ConnectionError, lambda: {"_reboot": ConnectionError("lost")}, lambda d: d.syncFastBeamConfig())),
        ("syncFastBeamConfig, cleanup error", raises(
            TimeoutError, lambda: {"_reboot": ValueError("first"), "_applyBeamPatternToBFIC": TimeoutError("then")},
            lambda d: d.syncFastBeamConfig())),
        ("decorated operation", decorate),
        ("base getFastBeamGain", raises(NotImplementedError, dict, lambda d: BeamHopper.getFastBeamGain(d, argument, 3.7))),
        ("base setFastBeamGain", raises(NotImplementedError, dict, lambda d: BeamHopper.setFastBeamGain(
            d, RFMode.TX, 1, argument, com_gain=mode, ele_gain=-1.5))),
        ("base setFastBeamPatternAzEl, bad frequency", raises(TypeError, dict, lambda d: BeamHopper.setFastBeamPatternAzEl(
            d, 1, "28e9", 0.0, 0.0))),
        ("base setFastBeamPatternThetaPhi", raises(
            NotImplementedError, dict, lambda d: BeamHopper.setFastBeamPatternThetaPhi(d, 1, frequency, 1, mode))),
        ("missing argument", raises(TypeError, dict, lambda d: BeamHopper.getFastBeamPattern(d))),
        ("hook result without RetCode", raises(
            TypeError, lambda: {"_setBeamPatternEnable": argument}, lambda d: d.eraseFastBeamConfig())),
        ("missing hook", raises(AttributeError, dict, lambda d: BeamHopper.getFastParallelMode(argument))),
    ]
    blocks_left, rss_growth = leak_check(operations, [failure, argument, option, mode, frequency, body])
    print(f"blocks left by 100 calls: {blocks_left}; resident set growth: {rss_growth} bytes")
