"""A device class's hooks as BeamHopper finds them: a missing hook and a hook whose result is
not a result are named in the error."""

import pytest


def lacking(Device, hook):
    """A device whose class has no `hook`."""

    class Lacking(Device):
        def __getattribute__(self, name):
            if name == hook:
                raise AttributeError(name)
            return super().__getattribute__(name)

    return Lacking()


OPERATIONS = [("getFastParallelMode", (), "_getExtCtrl"), ("setFastParallelMode", (True,), "_setExtCtrl"),
              ("eraseFastBeamConfig", (), "_setBeamPatternEnable"), ("eraseFastBeamConfig", (), "_eraseBeamPattern"),
              ("eraseFastBeamConfig", (), "_applyBeamPatternToBFIC"), ("syncFastBeamConfig", (), "_reboot")]


@pytest.mark.parametrize("operation, args, hook", OPERATIONS)
def test_a_missing_hook_is_named(Device, operation, args, hook):
    device = lacking(Device, hook)
    with pytest.raises(AttributeError, match=rf"^'Lacking' object has no hook '{hook}': a BeamHopper device class "
                                             r"must define it$"):
        getattr(device, operation)(*args)


def test_the_bracket_still_cleans_up_after_a_missing_hook(Device):
    device = lacking(Device, "_reboot")
    with pytest.raises(AttributeError, match="'_reboot'"):
        device.syncFastBeamConfig()
    assert [call[0] for call in device.calls] == ["_setBeamPatternEnable", "_eraseBeamPattern",
                                                  "_setBeamPatternEnable", "_applyBeamPatternToBFIC"]


@pytest.mark.parametrize("operation, args, hook, returned", [
    ("getFastParallelMode", (), "_getExtCtrl", 0),
    ("setFastParallelMode", (True,), "_setExtCtrl", "OK"),
    ("eraseFastBeamConfig", (), "_setBeamPatternEnable", True),
    ("syncFastBeamConfig", (), "_eraseBeamPattern", False),
])
def test_a_tested_result_without_a_ret_code_is_named(Device, operation, args, hook, returned):
    device = Device(**{hook: returned})
    with pytest.raises(TypeError, match=rf"^hook '{hook}' returned {returned!r}, not a result with a RetCode$"):
        getattr(device, operation)(*args)


def test_results_that_are_not_tested_pass_as_they_are(Device):
    device = Device(_reboot=True, _applyBeamPatternToBFIC=False)
    assert device.syncFastBeamConfig() is True


def test_a_hooks_own_error_goes_on_unchanged(Device):
    error = AttributeError("inside the hook")
    device = Device(_getExtCtrl=error)
    with pytest.raises(AttributeError) as info:
        device.getFastParallelMode()
    assert info.value is error
