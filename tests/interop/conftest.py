"""interop_probe, the interop layer's test module (tests/interop/interop_probe.cpp).

The tests build it themselves, with the project's own CMake build (option
ORBISK_INTEROP_PROBE) for the interpreter that runs them, into build/interop-probe/; it
is never installed. Its interop layer is built with ORBISK_CHECK_ERRORS, as the
sanitizer build's is. Without a C++ compiler its tests are skipped.
"""

import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# What .ci/sanitizers preloads into the interpreter; the compiler and CMake do without it.
SANITIZER_VARIABLES = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC"}


def cmake_defines():
    """The probe's options, and the ones pip's build got from SKBUILD_CMAKE_DEFINE (warnings as errors in CI)."""
    defines = [define for define in os.environ.get("SKBUILD_CMAKE_DEFINE", "").split(";") if define]
    defines += ["ORBISK_INTEROP_PROBE=ON", "ORBISK_CHECK_ERRORS=ON", f"Python_EXECUTABLE={sys.executable}"]
    return [f"-D{define}" for define in defines]


def load(path):
    spec = importlib.util.spec_from_file_location("interop_probe", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def probe_path():
    if not any(shutil.which(compiler) for compiler in (os.environ.get("CXX", "c++"), "c++", "g++", "clang++")):
        pytest.skip("no C++ compiler to build the interop probe with")
    # cmake comes with the test extra, into the environment's scripts folder
    cmake = shutil.which("cmake", path=os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")]))
    assert cmake, "cmake is missing: pip install '.[test]' installs it"
    build = ROOT / "build" / "interop-probe" / hashlib.sha256(sys.executable.encode()).hexdigest()[:12]
    environment = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    for command in ([cmake, "-S", ROOT, "-B", build, *cmake_defines()],
                    [cmake, "--build", build, "--target", "interop_probe"]):
        done = subprocess.run(command, env=environment, capture_output=True, text=True)
        assert done.returncode == 0, f"building the interop probe failed:\n{done.stdout}\n{done.stderr}"
    return build / f"interop_probe{sysconfig.get_config_var('EXT_SUFFIX')}"


@pytest.fixture(scope="session")
def probe(probe_path):
    return load(probe_path)
