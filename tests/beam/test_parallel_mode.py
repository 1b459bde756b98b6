"""Fast parallel mode: getFastParallelMode and setFastParallelMode through _getExtCtrl and _setExtCtrl."""

import pytest

from orbisk.VornPublic import FBSMode
from orbisk.VornUtils import RetCode, RetType


def sent(text):
    return [("_setExtCtrl", (text,), {})]


def assert_success(result):
    assert type(result) is RetType and result.RetCode is RetCode.OK and result.RetData is None


class TestSet:
    def test_default_mode_switches_on(self, device):
        assert_success(device.setFastParallelMode(True))
        assert device.calls == sent(f"1,{int(FBSMode.FULL_GAIN_PHASE)}")
        assert device.external_control_enabled is True

    @pytest.mark.parametrize("to_enable, mode, text, stored", [
        (False, 2, "0,2", False),
        ("yes", FBSMode.GAIN_ONLY, "1,3", True),
        ([], 2.9, "0,2", False),
        (1, "3", "1,3", True),
    ])
    def test_command_text_and_stored_state(self, device, to_enable, mode, text, stored):
        device.external_control_enabled = not stored
        assert_success(device.setFastParallelMode(to_enable, fbs_mode=mode))
        assert device.calls == sent(text)
        assert device.external_control_enabled is stored

    def test_a_refused_switch_comes_back_unchanged_and_is_not_remembered(self, Device):
        refusal = RetType(RetCode.WARNING, "busy")
        device = Device(_setExtCtrl=[RetType(), refusal])
        device.setFastParallelMode(True)
        assert device.setFastParallelMode(False) is refusal
        assert device.external_control_enabled is True

    def test_bad_arguments_fail_before_anything_is_sent(self, device):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            device.setFastParallelMode(NoTruth())
        with pytest.raises(TypeError):
            device.setFastParallelMode(True, None)
        with pytest.raises(ValueError):
            device.setFastParallelMode(True, "fast")
        assert device.calls == [] and "external_control_enabled" not in vars(device)

    def test_hook_exception_propagates(self, Device):
        error = TimeoutError("no answer")
        device = Device(_setExtCtrl=error)
        with pytest.raises(TimeoutError) as raised:
            device.setFastParallelMode(True)
        assert raised.value is error and device.external_control_enabled is False


class TestGet:
    @pytest.mark.parametrize("reply, on", [("0", False), ("1", True), ("2", True), (0, False), (" 1\r\n", True)])
    def test_reports_the_device_state(self, Device, reply, on):
        device = Device(_getExtCtrl=RetType(data=reply))
        result = device.getFastParallelMode()
        assert type(result) is RetType and result.RetCode is RetCode.OK and result.RetData is on
        assert device.calls == [("_getExtCtrl", (), {})]
        assert device.external_control_enabled is False

    def test_a_failed_read_comes_back_unchanged(self, Device):
        failure = RetType(RetCode.ERROR, "timeout", data="1")
        assert Device(_getExtCtrl=failure).getFastParallelMode() is failure

    def test_a_reply_that_is_no_integer_raises(self, Device):
        with pytest.raises(ValueError):
            Device(_getExtCtrl=RetType(data="on")).getFastParallelMode()
        with pytest.raises(TypeError):
            Device(_getExtCtrl=RetType()).getFastParallelMode()
