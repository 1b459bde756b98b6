"""try_finally and catch_exception keep Python's rules of try/finally and try/except Exception,
for Python exceptions and for C++ failures alike."""

import sys

import pytest


class Recorder:
    """A cleanup or handler that records the exception being handled when it runs."""

    def __init__(self, raises=None, returns=None):
        self.raises, self.returns = raises, returns
        self.handled = []

    def __call__(self, *args):
        self.handled.append(sys.exception() if hasattr(sys, "exception") else sys.exc_info()[1])
        if self.raises is not None:
            raise self.raises
        return self.returns


def raises(error):
    def body():
        raise error

    return body


@pytest.mark.parametrize("statement", ["try_finally", "catch_exception"])
def test_what_a_cleanup_or_handler_raises_replaces_the_exception_and_chains_it(probe, statement):
    error, replacement = ValueError("body"), KeyError("cleanup or handler")
    with pytest.raises(KeyError) as raised:
        getattr(probe, statement)(raises(error), Recorder(raises=replacement))
    assert raised.value is replacement and replacement.__context__ is error


class TestTryFinally:
    def test_returns_the_body_result_after_the_cleanup(self, probe):
        result, cleanup = object(), Recorder()
        assert probe.try_finally(lambda: result, cleanup) is result
        assert cleanup.handled == [None]

    def test_the_body_exception_goes_on_unchanged_after_the_cleanup(self, probe):
        error, cleanup = ValueError("body"), Recorder()
        with pytest.raises(ValueError) as raised:
            probe.try_finally(raises(error), cleanup)
        assert raised.value is error and error.__context__ is None
        assert error.__traceback__ is not None
        assert cleanup.handled == [error]

    def test_a_cleanup_exception_replaces_the_result_without_keeping_it(self, probe):
        result = object()
        count = sys.getrefcount(result)
        with pytest.raises(KeyError):
            probe.try_finally(lambda: result, Recorder(raises=KeyError("cleanup")))
        assert sys.getrefcount(result) == count

    @pytest.mark.parametrize("kind, error_type", [("bad_alloc", MemoryError), ("cxx", SystemError)])
    def test_a_cxx_failure_of_the_body_runs_the_cleanup_as_its_python_exception(self, probe, kind, error_type):
        cleanup = Recorder()
        with pytest.raises(error_type):
            probe.try_finally(kind, cleanup)
        assert [type(error) for error in cleanup.handled] == [error_type]

    def test_the_exception_handled_outside_is_restored(self, probe):
        try:
            raise RuntimeError("outer")
        except RuntimeError as outer:
            with pytest.raises(ValueError):
                probe.try_finally(raises(ValueError("body")), Recorder())
            assert sys.exc_info()[1] is outer


class TestCatchException:
    def test_nothing_caught_when_the_body_succeeds(self, probe):
        handler = Recorder()
        assert probe.catch_exception(lambda: None, handler) == (None, None)
        assert handler.handled == []

    def test_catches_an_exception_with_its_traceback(self, probe):
        error = LookupError("body")
        caught, handled = probe.catch_exception(raises(error))
        assert caught is error and handled is None
        assert error.__traceback__ is not None

    @pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
    def test_lets_other_base_exceptions_through(self, probe, error):
        handler = Recorder()
        with pytest.raises(type(error)) as raised:
            probe.catch_exception(raises(error), handler)
        assert raised.value is error and handler.handled == []

    @pytest.mark.parametrize("kind, error_type", [("bad_alloc", MemoryError), ("cxx", SystemError)])
    def test_catches_a_cxx_failure_as_its_python_exception(self, probe, kind, error_type):
        caught, _ = probe.catch_exception(kind)
        assert type(caught) is error_type

    def test_the_handler_runs_while_the_caught_exception_is_handled(self, probe):
        error, handler = ValueError("body"), Recorder(returns="handled")
        assert probe.catch_exception(raises(error), handler) == (error, "handled")
        assert handler.handled == [error]


class TestValuedBodies:
    def test_catch_exception_gives_the_value_or_the_error(self, probe):
        assert probe.catch_value(lambda: 42) == (42, None)
        error = ValueError("no")
        assert probe.catch_value(raises(error)) == (None, error)
        with pytest.raises(KeyboardInterrupt):
            probe.catch_value(raises(KeyboardInterrupt()))

    def test_try_finally_takes_a_body_that_returns_nothing(self, probe):
        cleanup = Recorder()
        assert probe.try_finally_void(lambda: 1, cleanup) is None
        error = ValueError("body")
        with pytest.raises(ValueError) as raised:
            probe.try_finally_void(raises(error), cleanup)
        assert raised.value is error and cleanup.handled == [None, error]
