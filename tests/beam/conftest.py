"""Fake device classes for the BeamHopper tests."""

import pytest

from orbisk.VornUtils import RetType
from orbisk.vorndev.BeamHopper import BeamHopper
from orbisk.vorndev.BeamPatternManager import BeamPatternManager

HOOKS = ("_setBeamPatternEnable", "_eraseBeamPattern", "_applyBeamPatternToBFIC", "_reboot", "_getExtCtrl", "_setExtCtrl")


class FakeDevice(BeamHopper):
    """A device class: every hook records ``(hook, args, kwargs)`` in ``calls`` and answers from ``script``.

    ``script`` maps a hook name to a result, an exception instance to raise, a
    callable run with the hook's arguments, or a list of those used in turn.
    Unscripted hooks return a new success result; an unscripted
    ``_create_beam_pattern_mgr`` returns a new BeamPatternManager.
    """

    def __init__(self, **script):
        self.script = script
        self.calls = []

    def _answer(self, hook, args, kwargs, default=RetType):
        self.calls.append((hook, args, kwargs))
        answer = self.script.get(hook)
        if isinstance(answer, list):
            answer = answer.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        if callable(answer):
            return answer(*args, **kwargs)
        return default() if answer is None else answer

    def _create_beam_pattern_mgr(self):
        return self._answer("_create_beam_pattern_mgr", (), {}, default=BeamPatternManager)

    def getFastBeamGain(self, rf_mode, beam_id):
        return RetType(data=(rf_mode, beam_id))

    def getFastBeamPattern(self, beam_id):
        return RetType(data=beam_id)

    def setFastBeamGain(self, rf_mode, beam_id, enable, com_gain=0, ele_gain=0):
        return RetType()

    def setFastBeamPatternThetaPhi(self, beam_id, rf_freq, theta, phi):
        return RetType()

    def setFastBeamPatternAzEl(self, beam_id, rf_freq, azimuth, elevation):
        return RetType()


def _hook(name):
    def hook(self, *args, **kwargs):
        return self._answer(name, args, kwargs)

    hook.__name__ = hook.__qualname__ = name
    return hook


for _name in HOOKS:
    setattr(FakeDevice, _name, _hook(_name))


@pytest.fixture
def Device():
    """The fake device class; subclass it to change one behaviour."""
    return FakeDevice


@pytest.fixture
def device():
    return FakeDevice()
