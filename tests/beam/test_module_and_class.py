"""orbisk.vorndev.BeamHopper at import, StartEndEnum, and BeamHopper as an abstract mixin."""

import abc
import enum
import functools
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest

import orbisk.vorndev.BeamHopper as bh
from orbisk.VornPublic import FBSMode, RFMode
from orbisk.VornUtils import RetType, _RspType
from orbisk.vorndev.BeamHopper import BeamHopper, StartEndEnum
from orbisk.vorndev.BeamPatternManager import BeamPatternManager

ABSTRACT = ("_create_beam_pattern_mgr", "getFastBeamGain", "getFastBeamPattern", "setFastBeamGain",
            "setFastBeamPatternThetaPhi", "setFastBeamPatternAzEl")

# A plain Python abstract class of the same name and abstract methods, to compare with.
PYTHON_BEAM_HOPPER = abc.ABCMeta("BeamHopper", (abc.ABC,), {n: abc.abstractmethod(lambda self: None) for n in ABSTRACT})

EMPTY = inspect.Parameter.empty
FULL = FBSMode.FULL_GAIN_PHASE

# operation: ([(parameter, annotation, default), ...] after self, return annotation)
SIGNATURES = {
    "_create_beam_pattern_mgr": ([], BeamPatternManager),
    "_fbs_cmd_dict": ([], dict),
    "getFastParallelMode": ([], RetType),
    "setFastParallelMode": ([("toEnable", bool, EMPTY), ("fbs_mode", FBSMode, FULL)], RetType),
    "eraseFastBeamConfig": ([], RetType),
    "getFastBeamGain": ([("rf_mode", RFMode, EMPTY), ("beam_id", int, EMPTY)], RetType),
    "getFastBeamPattern": ([("beam_id", int, EMPTY)], RetType),
    "setFastBeamGain": ([("rf_mode", RFMode, EMPTY), ("beam_id", int, EMPTY), ("enable", bool, EMPTY),
                         ("com_gain", int, 0), ("ele_gain", int, 0)], RetType),
    "setFastBeamPatternThetaPhi": ([("beam_id", int, EMPTY), ("rf_freq", float, EMPTY), ("theta", float, EMPTY),
                                    ("phi", float, EMPTY)], RetType),
    "setFastBeamPatternAzEl": ([("beam_id", int, EMPTY), ("rf_freq", float, EMPTY), ("azimuth", float, EMPTY),
                                ("elevation", float, EMPTY)], RetType),
    "syncFastBeamConfig": ([], RetType),
}


def described(signature):
    parameters = [(p.name, p.annotation, p.default) for p in signature.parameters.values()]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    return parameters, signature.return_annotation


class TestImport:
    def test_binds_standard_and_host_names(self):
        import orbisk.VornUtils

        assert bh.__doc__ == "Fast Beam Switch Manager module."
        assert (bh.inspect, bh.ABC, bh.abstractmethod) == (inspect, abc.ABC, abc.abstractmethod)
        assert (bh.IntEnum, bh.auto, bh.wraps, bh.Callable) == (enum.IntEnum, enum.auto, functools.wraps, typing.Callable)
        assert (bh.FBSMode, bh.RFMode, bh.RspType, bh.BeamPatternManager) == (FBSMode, RFMode, _RspType, BeamPatternManager)
        assert (bh.RetCode, bh.RetType) == (orbisk.VornUtils.RetCode, RetType)

    def test_a_missing_host_name_fails_the_import(self):
        # The same ImportError as the interpreter's own `from ... import` raises.
        code = textwrap.dedent("""
            import sys
            import orbisk.VornUtils
            del orbisk.VornUtils._RspType

            def raised(statement):
                try:
                    exec(statement, {})
                except ImportError as error:
                    return type(error), str(error), error.name, error.path, getattr(error, "name_from", None)

            print(raised("from orbisk.VornUtils import _RspType"))
            print(raised("import orbisk.vorndev.BeamHopper"))
            print("orbisk.vorndev.BeamHopper" in sys.modules)
        """)
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        python, native, imported = result.stdout.splitlines()
        assert native == python and "'_RspType'" in python
        assert imported == "False"

    def test_start_end_enum(self):
        assert issubclass(StartEndEnum, enum.IntEnum)
        assert [(m.name, m.value) for m in StartEndEnum] == [("OTHER", 0), ("START", 1), ("END", 2), ("START_END", 3)]
        assert StartEndEnum(2) is StartEndEnum.END
        assert int(StartEndEnum.START_END) == 3 and StartEndEnum.OTHER == 0
        assert StartEndEnum.__doc__ == "Enum for start and end states."
        assert (StartEndEnum.__module__, StartEndEnum.__qualname__) == ("orbisk.vorndev.BeamHopper", "StartEndEnum")
        assert repr(StartEndEnum.END) == "<StartEndEnum.END: 2>"
        assert pickle.loads(pickle.dumps(StartEndEnum.START)) is StartEndEnum.START

    def test_decorator_signature(self):
        declared = typing.Callable[..., RetType]
        signature = inspect.signature(bh._require_beam_pattern_setup)
        assert [(p.name, p.annotation) for p in signature.parameters.values()] == [("func", declared)]
        assert signature.return_annotation == declared
        assert bh._require_beam_pattern_setup.__doc__.startswith(
            "Decorator to setup beam pattern before execution and cleanup after.\n")


class TestClass:
    def test_shape(self):
        assert type(BeamHopper) is abc.ABCMeta and BeamHopper.__bases__ == (abc.ABC,)
        assert (BeamHopper.__module__, BeamHopper.__qualname__) == ("orbisk.vorndev.BeamHopper", "BeamHopper")
        assert BeamHopper.__doc__ == "Abstract base class for managing fast beam operations."
        assert BeamHopper._beam_pattern_mgr is None and BeamHopper.external_control_enabled is False
        assert BeamHopper.__annotations__ == {"_beam_pattern_mgr": BeamPatternManager, "external_control_enabled": bool}
        assert BeamHopper.__abstractmethods__ == frozenset(ABSTRACT)
        operations = [name for name in vars(BeamHopper) if name == "beam_pattern_mgr" or name in SIGNATURES]
        assert operations == ["beam_pattern_mgr", *SIGNATURES]

    @pytest.mark.parametrize("missing", ABSTRACT)
    def test_a_device_class_missing_one_override_is_refused(self, Device, missing, error_of):
        overrides = {n: getattr(Device, n) for n in ABSTRACT if n != missing}
        native = type("Partial", (BeamHopper,), overrides)
        python = type("Partial", (PYTHON_BEAM_HOPPER,), overrides)
        assert error_of(native) == error_of(python)

    def test_a_full_device_class_instantiates(self, Device, error_of):
        assert isinstance(Device(), BeamHopper)
        assert error_of(BeamHopper) == error_of(PYTHON_BEAM_HOPPER)

    @pytest.mark.parametrize("mixin_first", [True, False])
    def test_mixin_beside_other_bases(self, mixin_first):
        class HostDevice:
            """The host's device class: constructor and hooks."""

            def __init__(self, address):
                self.address = address
                self.calls = []

            def _setBeamPatternEnable(self, state):
                self.calls.append(state)
                return RetType()

            def _eraseBeamPattern(self, user_delay):
                self.calls.append("erase")
                return RetType()

            def _applyBeamPatternToBFIC(self, user_delay):
                self.calls.append("apply")
                return RetType()

            def _reboot(self):
                self.calls.append("reboot")
                return RetType(data="rebooted")

        bases = (BeamHopper, HostDevice) if mixin_first else (HostDevice, BeamHopper)
        device = type("Device", bases, {name: lambda self, *args: RetType() for name in ABSTRACT})("10.0.0.1")
        assert device.address == "10.0.0.1"
        assert device.syncFastBeamConfig().RetData == "rebooted"
        assert device.calls == ["1", "erase", "reboot", "0", "apply"]


class TestIntrospection:
    @pytest.mark.parametrize("name", SIGNATURES)
    def test_signatures_through_class_and_instance(self, device, name):
        parameters, result = SIGNATURES[name]
        operation = getattr(BeamHopper, name)
        assert described(inspect.signature(operation)) == ([("self", EMPTY, EMPTY), *parameters], result)
        # as the instance binds it; the fake device overrides the abstract ones
        bound = getattr(device, name) if name not in ABSTRACT else operation.__get__(device, type(device))
        assert bound.__func__ is operation
        assert described(inspect.signature(bound)) == (parameters, result)

    def test_fbs_mode_default_is_the_member_fixed_when_the_class_was_made(self, monkeypatch):
        monkeypatch.setattr(bh, "FBSMode", None)
        assert inspect.signature(BeamHopper.setFastParallelMode).parameters["fbs_mode"].default is FULL

    def test_property(self):
        prop = vars(BeamHopper)["beam_pattern_mgr"]
        assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
        assert prop.__doc__ == "Lazily create the device-specific BeamPatternManager on first use."
        assert described(inspect.signature(prop.fget)) == ([("self", EMPTY, EMPTY)], BeamPatternManager)

    @pytest.mark.parametrize("name, doc", [("eraseFastBeamConfig", "Erase the fast beam configuration."),
                                           ("syncFastBeamConfig", "Update the fast beam configuration.")])
    def test_bracketed_operations_present_the_undecorated_one(self, name, doc):
        wrapper = getattr(BeamHopper, name)
        undecorated = wrapper.__wrapped__
        assert undecorated is not wrapper and not hasattr(undecorated, "__wrapped__")
        for function in (wrapper, undecorated):
            assert (function.__name__, function.__qualname__, function.__doc__, function.__module__) == (
                name, f"BeamHopper.{name}", doc, "orbisk.vorndev.BeamHopper")
        assert wrapper.__signature__ == inspect.signature(undecorated)
        assert wrapper.__annotations__ == {"return": RetType}

    def test_docstrings(self):
        assert BeamHopper._create_beam_pattern_mgr.__doc__ == "Create the device-specific BeamPatternManager instance."
        assert BeamHopper._fbs_cmd_dict.__doc__ == "Return the command list for the fast beam manager."
        assert BeamHopper.getFastParallelMode.__doc__ == "Get the fast parallel mode."
        assert inspect.getdoc(BeamHopper.setFastParallelMode).splitlines() == [
            "Set the fast parallel mode.", "", "Args:",
            "    toEnable (bool): Whether to enable or disable the fast parallel mode.",
            "    fbs_mode (FBSMode): The fast beam switch mode to set. Defaults to FBSMode.FULL_GAIN_PHASE."]
        assert [getattr(BeamHopper, n).__doc__ for n in ABSTRACT[1:]] == [
            "Get the fast beam gain.", "Get the fast beam pattern.", "Set the fast beam gain.",
            "Set the fast beam pattern.", "Set the fast beam pattern."]
