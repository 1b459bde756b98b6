"""The native function type behaves like a Python function: binding, arguments, introspection."""

import abc
import functools
import inspect
import pickle
import sys
import weakref

import pytest

from orbisk.VornFpga import FpgaTool

native = FpgaTool._sendCmd


BAD_CALLS = [
    ((), {}),
    (("self",), {}),
    (("self", "cmd", 1, 2, 3, 4), {}),
    (("self", "cmd"), {"cmd": 1}),
    (("self",), {"cmd": 1, "other": 2}),
    ((), {"size": 1}),
    (("self",), {"self": 1, "cmd": 2}),
]


@pytest.mark.parametrize("args, kwargs", BAD_CALLS)
def test_argument_errors_read_like_pythons(args, kwargs, error_of, twin_of):
    assert error_of(native, *args, **kwargs) == error_of(twin_of(native), *args, **kwargs)


def test_argument_error_counts_self_through_an_instance(tool, error_of, twin_of):
    python_class = type("FpgaTool", (), {name: twin_of(getattr(FpgaTool, name)) for name in ("__init__", "_fpgaGetId")})
    assert error_of(tool._fpgaGetId, 1) == error_of(python_class()._fpgaGetId, 1)
    assert error_of(FpgaTool, 1, 2, 3, 4, 5) == error_of(python_class, 1, 2, 3, 4, 5)


def test_binds_like_a_function(tool):
    assert native.__get__(None, FpgaTool) is native
    bound = tool._sendCmd
    assert inspect.ismethod(bound) and bound.__self__ is tool and bound.__func__ is native
    assert native(tool, "X") == tool._sendCmd("X") == "0"


def test_identity_attributes():
    assert (native.__name__, native.__qualname__, native.__module__) == ("_sendCmd", "FpgaTool._sendCmd", "orbisk.VornFpga")
    assert native.__text_signature__ == "(self, cmd, log_print=False, size=1024, isdecode=True)"
    assert repr(native).startswith("<function FpgaTool._sendCmd at 0x")
    assert pickle.loads(pickle.dumps(native)) is native
    assert weakref.ref(native)() is native
    with pytest.raises(TypeError):
        type(native)()


def test_dict_takes_new_attributes():
    function = FpgaTool._fpgaGetSerialNumber
    function.note = "x"
    try:
        assert function.__dict__["note"] == "x"
        assert function.note == "x"
    finally:
        del function.note


def test_abstractmethod_makes_a_class_abstract(error_of):
    def abstract_device(method):
        class Device(abc.ABC):
            _fpgaGetSerialNumber = method

        return Device

    function = abc.abstractmethod(FpgaTool._fpgaGetSerialNumber)
    try:
        assert function.__isabstractmethod__ is True
        Device = abstract_device(function)
        assert error_of(Device) == error_of(abstract_device(abc.abstractmethod(lambda self: None)))

        class Concrete(Device):
            def _fpgaGetSerialNumber(self):
                return "SN"

        assert Concrete()._fpgaGetSerialNumber() == "SN"
    finally:
        del function.__isabstractmethod__


def test_functools_wraps_copies_identity_and_signature():
    @functools.wraps(native)
    def wrapper(*args, **kwargs):
        return native(*args, **kwargs)

    assert wrapper.__wrapped__ is native
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (native.__name__, native.__qualname__, native.__doc__)
    assert str(inspect.signature(wrapper)) == "(self, cmd, log_print=False, size=1024, isdecode=True)"


def test_calls_and_refused_calls_keep_no_reference(tool):
    line, extra = "GET_SN", object()
    counts = sys.getrefcount(line), sys.getrefcount(extra)
    for _ in range(1000):
        tool._sendCmd(line)
        with pytest.raises(TypeError):
            native(tool, line, bogus=extra)
    tool._conn.wire.clear()
    assert (sys.getrefcount(line), sys.getrefcount(extra)) == counts
