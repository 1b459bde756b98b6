"""Base versions of the abstract operations."""

import decimal
import fractions

import pytest

from orbisk.VornPublic import RFMode
from orbisk.vorndev.BeamHopper import BeamHopper


def base(name, device, *args, **kwargs):
    return getattr(BeamHopper, name)(device, *args, **kwargs)


class TestBaseVersions:
    @pytest.mark.parametrize("name, args, kwargs", [
        ("_create_beam_pattern_mgr", (), {}),
        ("getFastBeamGain", (object(), 2.9), {}),
        ("getFastBeamPattern", (fractions.Fraction(7, 2),), {}),
        ("setFastBeamGain", (RFMode.TX, 1, "on"), {}),
        ("setFastBeamGain", (None, True, 0), {"com_gain": -1.5, "ele_gain": decimal.Decimal("3")}),
        ("setFastBeamPatternThetaPhi", (1, 28, 1.5, fractions.Fraction(1, 3)), {}),
        ("setFastBeamPatternAzEl", (), {"beam_id": 1, "rf_freq": 2.8e10, "azimuth": -30, "elevation": True}),
    ])
    def test_accept_their_arguments_then_raise_not_implemented(self, device, name, args, kwargs):
        with pytest.raises(NotImplementedError) as raised:
            base(name, device, *args, **kwargs)
        assert raised.value.args == ()

    @pytest.mark.parametrize("name, args, refused", [
        ("getFastBeamGain", (RFMode.RX, "1"), "beam_id"),
        ("getFastBeamPattern", (None,), "beam_id"),
        ("setFastBeamGain", (RFMode.RX, 1, True, 0, b"0"), "ele_gain"),
        ("setFastBeamGain", (RFMode.RX, [], True, "0"), "beam_id"),
        ("setFastBeamPatternThetaPhi", (1, 2.0, 3.0, 1j), "phi"),
        ("setFastBeamPatternAzEl", (1, "28e9", 0.0, 0.0), "rf_freq"),
    ])
    def test_refuse_a_value_without_the_declared_conversion(self, device, name, args, refused):
        with pytest.raises(TypeError, match=f"^BeamHopper.{name}\\(\\) argument '{refused}' must be (int|float), not "):
            base(name, device, *args)

    def test_enable_is_taken_by_truth(self, device):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            base("setFastBeamGain", device, RFMode.TX, 1, NoTruth())

    @pytest.mark.parametrize("name, args, kwargs", [
        ("getFastBeamPattern", (), {}),
        ("setFastBeamGain", (RFMode.TX, 1, True), {"gain": 3}),
    ])
    def test_argument_errors_read_like_pythons(self, device, name, args, kwargs, error_of, twin_of):
        assert error_of(base, name, device, *args, **kwargs) == \
            error_of(twin_of(getattr(BeamHopper, name)), device, *args, **kwargs)

