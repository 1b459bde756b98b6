"""Checks a wheel of the project, with the interpreter it was built for and auditwheel installed:
    python .ci/check_wheel.py WHEEL
It must hold the two extension modules, their stubs and py.typed, the stand-in host SDK with its
stubs, and orbisk_tools with its py.typed, and nothing else (no sources, build files or tests); and it must meet a manylinux
policy with no shared library left to bundle. Prints the policy."""

import json
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("orbisk/VornFpga", "orbisk/vorndev/BeamHopper")
PYTHON_PACKAGES = {"host_standin/orbisk": "orbisk", "orbisk_tools": "orbisk_tools"}  # source: where installed


def expected_files():
    files = {module + sysconfig.get_config_var("EXT_SUFFIX") for module in MODULES}
    files |= {module + ".pyi" for module in MODULES} | {"orbisk/py.typed", "orbisk_tools/py.typed"}
    for source, installed in PYTHON_PACKAGES.items():
        for pattern in ("*.py", "*.pyi", "py.typed"):
            files |= {f"{installed}/{path.relative_to(ROOT / source).as_posix()}"
                      for path in (ROOT / source).rglob(pattern)}
    return files


def main(wheel):
    with zipfile.ZipFile(wheel) as archive:
        held = {name for name in archive.namelist() if not name.split("/")[0].endswith(".dist-info")}
    expected = expected_files()
    problems = [f"missing {name}" for name in sorted(expected - held)]
    problems += [f"holds {name}" for name in sorted(held - expected)]

    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", wheel],
                           capture_output=True, text=True, check=True)
    audit = json.loads(shown.stdout)
    policy = audit["overall_tag"]
    if not policy.startswith("manylinux_"):
        problems.append(f"meets no manylinux policy, only {policy}")
    if audit["external_libs"]:
        problems.append(f"needs shared libraries outside its policy: {', '.join(sorted(audit['external_libs']))}")

    name = Path(wheel).name
    if problems:
        sys.exit(f"{name}: " + "; ".join(problems))
    print(f"{name}: {policy}, {len(held)} files as expected, no shared library to bundle")


if __name__ == "__main__":
    main(sys.argv[1])
