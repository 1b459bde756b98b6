"""orbisk-fpga run as a user runs it, for the end-to-end tests, and what they expect of it."""

import contextlib
import signal
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


class Site:
    """An emulated site in a process of its own (emulate --devices N -v): `addresses` in the
    order of its list; once it stopped, `log`, its log lines."""
    addresses: list
    log: list

    def contacted(self, device):
        return any(line.startswith(f"INFO {device}: ") for line in self.log)


@contextlib.contextmanager
def site(tmp_path, count, faults="", *options):
    listing, faults_file = tmp_path / "site.txt", tmp_path / "faults.txt"
    faults_file.write_text(faults)
    process = subprocess.Popen([COMMAND, "emulate", "-v", "--devices", str(count), "--port", "0", "--list", listing,
                                "--faults-file", faults_file, *map(str, options)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    emulated = Site()
    try:
        assert process.stdout.readline().startswith("Device emulator site")
        emulated.addresses = [line.split()[0] for line in listing.read_text().splitlines() if line[:1] != "#"]
        yield emulated
    finally:
        process.send_signal(signal.SIGINT)
        emulated.log = process.communicate(timeout=30)[1].splitlines()
