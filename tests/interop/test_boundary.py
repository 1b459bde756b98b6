"""The boundary where CPython calls in: every C++ failure becomes a Python exception, and a
report of an error that is not set stops a checking build where it is made."""

import subprocess
import sys
import textwrap

import pytest

# kind of failure: the Python exception the caller gets
FAILURES = {
    "python": (ValueError, "unknown kind 'python'"),
    "bad_alloc": (MemoryError, ""),
    "cxx": (SystemError, "a C++ failure"),
    "unknown": (SystemError, "unknown C++ exception"),
    "marker": (SystemError, "error reported without an exception set"),
}


@pytest.mark.parametrize("kind", FAILURES)
def test_every_failure_reaches_python_as_an_exception(probe, kind, error_of):
    assert error_of(probe.fail, kind) == FAILURES[kind]


@pytest.mark.parametrize("kind", FAILURES)
def test_slot_entries_return_minus_one_with_the_same_exception(probe, kind):
    status, error = probe.status_of(kind)
    assert status == -1
    assert (type(error), str(error)) == FAILURES[kind]


def test_a_checking_build_stops_where_an_unset_error_is_reported(probe_path):
    code = textwrap.dedent("""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("interop_probe", sys.argv[1])
        probe = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(probe)
        probe.fail("unset")
    """)
    stopped = subprocess.run([sys.executable, "-c", code, str(probe_path)], capture_output=True, text=True, timeout=60)
    assert stopped.returncode != 0
    assert "a Python error was reported while none is set, at " in stopped.stderr
    assert "interop_probe.cpp:" in stopped.stderr  # the site, not the helper
