"""The setup bracket: eraseFastBeamConfig, syncFastBeamConfig and _require_beam_pattern_setup itself."""

import functools
import inspect
import sys

import pytest

from orbisk.VornUtils import RetCode, RetType
from orbisk.vorndev.BeamHopper import _require_beam_pattern_setup

ENABLE = ("_setBeamPatternEnable", ("1",), {})
ERASE = ("_eraseBeamPattern", (), {"user_delay": 2})
DISABLE = ("_setBeamPatternEnable", ("0",), {})
APPLY = ("_applyBeamPatternToBFIC", (), {"user_delay": 2})
REBOOT = ("_reboot", (), {})


def failed():
    return RetType(RetCode.ERROR, "refused")


class LooksOk:
    """Equal to every status, but not RetCode.OK itself."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class TestOrderAndResults:
    def test_erase_is_the_bracket_around_an_empty_body(self, device):
        result = device.eraseFastBeamConfig()
        assert type(result) is RetType and result.RetCode is RetCode.OK and result.RetData is None
        assert device.calls == [ENABLE, ERASE, DISABLE, APPLY]
        assert [type(kwargs["user_delay"]) for _, _, kwargs in device.calls if kwargs] == [int, int]

    @pytest.mark.parametrize("reboot_result", [RetType(data="up"), failed()])
    def test_sync_returns_the_reboot_result_itself(self, Device, reboot_result):
        device = Device(_reboot=reboot_result)
        assert device.syncFastBeamConfig() is reboot_result
        assert device.calls == [ENABLE, ERASE, REBOOT, DISABLE, APPLY]

    @pytest.mark.parametrize("step, seen", [("_setBeamPatternEnable", [ENABLE, DISABLE, APPLY]),
                                            ("_eraseBeamPattern", [ENABLE, ERASE, DISABLE, APPLY])])
    @pytest.mark.parametrize("code", [RetCode.ERROR, RetCode.WARNING, LooksOk()])
    def test_a_failed_setup_step_ends_the_operation_with_its_result(self, Device, step, seen, code):
        failure = RetType(code, "refused")
        script = {step: [failure, RetType()]} if step == "_setBeamPatternEnable" else {step: failure}
        device = Device(**script)
        assert device.syncFastBeamConfig() is failure
        assert device.calls == seen

    def test_failed_cleanup_results_are_dropped(self, Device):
        device = Device(_setBeamPatternEnable=[RetType(), failed()], _applyBeamPatternToBFIC=failed())
        result = device.eraseFastBeamConfig()
        assert result.RetCode is RetCode.OK
        assert device.calls == [ENABLE, ERASE, DISABLE, APPLY]

    def test_hooks_are_looked_up_on_the_device_at_each_call(self, device):
        replacement = RetType(data="patched")
        device._reboot = lambda: replacement
        assert device.syncFastBeamConfig() is replacement
        assert device.calls == [ENABLE, ERASE, DISABLE, APPLY]


class TestExceptions:
    @pytest.mark.parametrize("step, seen", [
        ("_setBeamPatternEnable", [ENABLE, DISABLE, APPLY]),
        ("_eraseBeamPattern", [ENABLE, ERASE, DISABLE, APPLY]),
        ("_reboot", [ENABLE, ERASE, REBOOT, DISABLE, APPLY]),
    ])
    def test_cleanup_runs_then_the_same_exception_propagates(self, Device, step, seen):
        error = ConnectionError("link lost")
        script = {step: [error, RetType()]} if step == "_setBeamPatternEnable" else {step: error}
        device = Device(**script)
        with pytest.raises(ConnectionError) as raised:
            device.syncFastBeamConfig()
        assert raised.value is error and error.__context__ is None
        assert device.calls == seen

    def test_a_raising_disable_skips_apply_and_replaces_the_result(self, Device):
        error = TimeoutError("disable")
        device = Device(_setBeamPatternEnable=[RetType(), error])
        with pytest.raises(TimeoutError) as raised:
            device.eraseFastBeamConfig()
        assert raised.value is error and error.__context__ is None
        assert device.calls == [ENABLE, ERASE, DISABLE]

    @pytest.mark.parametrize("cleanup_step, seen", [("_setBeamPatternEnable", [ENABLE, ERASE, REBOOT, DISABLE]),
                                                    ("_applyBeamPatternToBFIC", [ENABLE, ERASE, REBOOT, DISABLE, APPLY])])
    def test_a_raising_cleanup_step_replaces_the_exception_and_chains_it(self, Device, cleanup_step, seen):
        first, second = ConnectionError("reboot"), TimeoutError("cleanup")
        script = {"_reboot": first, cleanup_step: second}
        if cleanup_step == "_setBeamPatternEnable":
            script[cleanup_step] = [RetType(), second]
        device = Device(**script)
        with pytest.raises(TimeoutError) as raised:
            device.syncFastBeamConfig()
        assert raised.value is second and second.__context__ is first and not second.__suppress_context__
        assert first.__traceback__ is not None
        assert device.calls == seen

    def test_cleanup_sees_the_exception_on_its_way_as_a_finally_block_does(self, Device):
        first = ConnectionError("reboot")
        seen_during_cleanup = []

        def apply(user_delay):
            seen_during_cleanup.append(sys.exc_info()[1])
            try:
                raise KeyError("inside the hook")
            except KeyError:
                raise ValueError("apply") from None

        device = Device(_reboot=first, _applyBeamPatternToBFIC=apply)
        try:
            raise LookupError("the caller's own")
        except LookupError as own:
            with pytest.raises(ValueError) as raised:
                device.syncFastBeamConfig()
            assert sys.exc_info()[1] is own
            assert first.__context__ is own
        assert seen_during_cleanup == [first]
        inner = raised.value.__context__
        assert type(inner) is KeyError and inner.__context__ is first


class TestDecorator:
    def test_wraps_a_plain_function(self, device):
        def measure(self, beam, *extra, scale=1, **options):
            """Measure one beam."""
            self.calls.append(("measure", (beam, *extra), {"scale": scale, **options}))
            options["changed"] = True
            return RetType(data=beam * scale)

        wrapped = _require_beam_pattern_setup(measure)
        options = {"unit": "dB"}
        assert wrapped(device, 3, 4, scale=2, **options).RetData == 6
        assert options == {"unit": "dB"}
        assert device.calls == [ENABLE, ERASE, ("measure", (3, 4), {"scale": 2, "unit": "dB"}), DISABLE, APPLY]
        assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__) == (
            "measure", measure.__qualname__, "Measure one beam.", __name__)
        assert wrapped.__wrapped__ is measure
        assert wrapped.__signature__ == inspect.signature(measure)
        assert wrapped.__dict__ is not measure.__dict__

    def test_wraps_a_method_of_a_python_class(self, Device):
        class Device2(Device):
            @_require_beam_pattern_setup
            def storeBeam(self, beam_id: int, gain: float = 0.5) -> RetType:
                """Store one beam."""
                self.calls.append(("storeBeam", (beam_id, gain), {}))
                return RetType(data=beam_id)

        device = Device2()
        assert device.storeBeam(7).RetData == 7
        assert device.calls == [ENABLE, ERASE, ("storeBeam", (7, 0.5), {}), DISABLE, APPLY]
        assert str(inspect.signature(device.storeBeam)) == "(beam_id: int, gain: float = 0.5) -> orbisk.VornUtils.RetType"
        assert Device2.storeBeam.__qualname__.endswith("Device2.storeBeam")
        assert Device2.storeBeam.__annotations__ == {"beam_id": int, "gain": float, "return": RetType}

    def test_presents_an_explicit_signature_unless_it_is_false(self):
        def op(self, a):
            pass

        own = inspect.Signature([inspect.Parameter("anything", inspect.Parameter.POSITIONAL_OR_KEYWORD)])
        op.__signature__ = own
        assert _require_beam_pattern_setup(op).__signature__ is own
        op.__signature__ = None
        assert str(_require_beam_pattern_setup(op).__signature__) == "(self, a)"

    def test_refuses_what_has_no_signature_and_a_call_without_the_device(self, error_of):
        def python_decorator(func):
            @functools.wraps(func)
            def wrapper(self, *args, **kwargs):
                pass

            return wrapper

        with pytest.raises(TypeError):
            _require_beam_pattern_setup(42)
        op = lambda self: None  # noqa: E731
        assert error_of(_require_beam_pattern_setup(op)) == error_of(python_decorator(op))
