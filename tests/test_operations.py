"""The stubs are the one hand-written list of each class's operations: the classes the modules make
hold exactly those, in that order, the reference documents the public ones, and stubtest agrees."""

import ast
import pathlib
import subprocess
import sys

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk.vorndev.BeamHopper import BeamHopper

ROOT = pathlib.Path(__file__).parent.parent
STUBS = {FpgaTool: ROOT / "orbisk" / "VornFpga.pyi", BeamHopper: ROOT / "orbisk" / "vorndev" / "BeamHopper.pyi"}
REFERENCE = ROOT / "docs" / "api"


def declared(cls):
    """The operations that the stub declares on `cls`, in its order, each once (overloads too)."""
    (body,) = [node for node in ast.parse(STUBS[cls].read_text()).body
               if isinstance(node, ast.ClassDef) and node.name == cls.__name__]
    names = [node.name for node in body.body if isinstance(node, ast.FunctionDef)
             and not any(isinstance(decorator, ast.Name) and decorator.id == "property"
                         or isinstance(decorator, ast.Attribute) and decorator.attr in ("setter", "deleter")
                         for decorator in node.decorator_list)]
    return list(dict.fromkeys(names))


def defined(cls):
    """The operations the class holds, in its body's order."""
    return [name for name, value in vars(cls).items() if callable(value) and name != "__subclasshook__"]


@pytest.mark.parametrize("cls", STUBS, ids=lambda cls: cls.__name__)
def test_each_class_holds_exactly_the_operations_of_its_stub_in_their_order(cls):
    assert defined(cls) == declared(cls)


@pytest.mark.parametrize("cls", STUBS, ids=lambda cls: cls.__name__)
def test_the_reference_documents_every_operation_and_no_other(cls):
    entries = [line for page in REFERENCE.glob("*.rst") for line in page.read_text().splitlines()
               if line.startswith(f".. automethod:: {cls.__name__}.")]
    documented = {line.split(f"{cls.__name__}.", 1)[1].split()[0] for line in entries}
    assert documented == set(declared(cls)) - {"__init__"}  # the constructor is the class's own entry


def test_stubtest_finds_the_stubs_true_to_the_modules(tmp_path):
    pytest.importorskip("mypy")
    ran = subprocess.run([sys.executable, "-m", "mypy.stubtest", "orbisk.VornFpga", "orbisk.vorndev.BeamHopper"],
                         capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert ran.returncode == 0, ran.stdout + ran.stderr
