"""The fuzz targets' checks on their seeds and on every input that once failed one of them.

A target's check raises when orbisk.VornFpga behaves in a way it does not document (see the
targets in fuzz/). An input that a fuzz run found failing goes into fuzz/regressions/<target>/
once the fault is fixed, and stays there.
"""

import importlib
import pathlib

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[1] / "fuzz"


@pytest.mark.parametrize("target", ["image_file", "device_replies", "reply_stream", "addresses", "history_files",
                                    pytest.param("trust_files", marks=pytest.mark.cryptography)])
def test_seeds_and_inputs_that_once_failed(target, monkeypatch):
    monkeypatch.syspath_prepend(str(FUZZ))
    module = importlib.import_module(f"fuzz_{target}")
    inputs = [(f"seed {index}", seed) for index, seed in enumerate(module.seeds())]
    inputs += [(path.name, path.read_bytes()) for path in sorted((FUZZ / "regressions" / target).glob("*"))]
    for name, data in inputs:
        try:
            module.check(data)
        except BaseException as error:
            raise AssertionError(f"fuzz input {target}/{name} fails") from error
