"""orbisk-fpga run as a user runs it, for the end-to-end tests, and what they expect of it."""

import subprocess
import sys
from pathlib import Path

COMMAND = str(Path(sys.executable).with_name("orbisk-fpga"))
ADVICE = "the device still runs its previous FPGA image until it restarts; run the update again before power-cycling it"
READ_ONLY = {"GET_SN", "FPGA_GET_ID", "GET_FPGA_VER", "GET_FE_INFO", "GET_FW_VER"}
READS_BACK = READ_ONLY | {"FPGA_RST_PAGE_PTR", "FPGA_READ"}  # a read-back changes no image


def run(*args, timeout=120, **options):
    """Runs orbisk-fpga to its end with `args` (each made a string), its output read as text;
    `options` go to subprocess.run (env, umask, stdin, ...)."""
    return subprocess.run([COMMAND, *map(str, args)], capture_output=True, text=True, timeout=timeout, **options)


def start(*args, **options):
    """Starts orbisk-fpga with `args`, its output piped as text; `options` go to subprocess.Popen."""
    return subprocess.Popen([COMMAND, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            **options)


def address(device):
    """The address an emulated device is reached at, as the command line takes it."""
    return f"{device.host}:{device.port}"
