"""A native function's definition is read as a def statement in its module would be; one
that the native function type cannot take fails at once, naming the function."""

import inspect

import pytest


def test_a_text_signature_with_literal_defaults(probe):
    function = probe.define("plain")
    assert (function.__name__, function.__qualname__, function.__module__, function.__doc__) == (
        "plain", "probe.plain", "interop_probe", "Two values.")
    assert function.__text_signature__ == "(a, b=2)"
    assert str(inspect.signature(function)) == "(a, b=2)"
    assert function(1) == (1, 2) and function(b=3, a=4) == (4, 3)


def test_annotations_and_other_defaults_as_a_signature_object(probe, twin_of):
    function = probe.define("annotated")
    assert "__text_signature__" not in vars(function)
    assert function.__annotations__ == {"a": int, "b": str, "return": tuple}
    assert str(inspect.signature(function)) == "(a: int, b: str = 'x') -> tuple"
    assert function(1) == (1, "x")


def test_star_parameters_collect_the_rest(probe):
    assert probe.define("varargs")(1, 2, 3) == (1, (2, 3))
    assert probe.define("varkw")(1, b=2) == (1, {"b": 2})


@pytest.mark.parametrize("name, why", [
    ("unclosed", "the signature is not a parameter list"),
    ("default_first", "the signature is not a parameter list"),
    ("keyword_only", "positional-only and keyword-only parameters are not supported"),
    ("positional_only", "positional-only and keyword-only parameters are not supported"),
    ("too_many", "parameter count differs from the implementation's"),
])
def test_a_definition_it_cannot_take_is_refused(probe, name, why):
    with pytest.raises(SystemError) as raised:
        probe.define(name)
    assert str(raised.value) == f"bad definition of probe.{name}: {why}"
    if why == "the signature is not a parameter list":
        assert isinstance(raised.value.__context__, SyntaxError)


def test_a_default_is_evaluated_as_python_evaluates_it(probe, error_of):
    assert error_of(probe.define, "unknown_default") == error_of(exec, "def _(a, b=no_such_name): pass", {})
