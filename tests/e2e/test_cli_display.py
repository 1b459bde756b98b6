"""What orbisk-fpga shows of devices: their text as it is, in tables that fit an 80×24 terminal
(a real one: tmux's), with every address and serial number whole."""

import json
import os
import re
import shlex
import shutil
import socket
import subprocess
import time

import pytest

from orbisk_tools.devices.emulator import DeviceEmulator

from tests.e2e.command_line import COMMAND, address, run

MARKUP = "[/x]"  # what rich would read as a closing tag


def test_markup_in_a_serial_number_and_an_fpga_version_is_shown_as_it_is_and_kept_whole(tmp_path, image):
    with DeviceEmulator(port=0, serial_number=MARKUP, new_fpga_version=MARKUP) as odd, DeviceEmulator(port=0) as plain:
        devices = ["--address", address(odd), "--address", address(plain)]
        status = run("status", *devices)
        report, verdicts = tmp_path / "report.json", tmp_path / "verdicts.json"
        update = run("update", *devices, "--json", report, image)
        history, recorded = run("history"), run("history", "--json")
        verify = run("verify", *devices, "--json", verdicts, image)
    for result in (status, update, history, recorded, verify):
        assert (result.returncode, result.stderr) == (0, "")
    odd_address = re.escape(address(odd))
    assert re.search(rf"{odd_address}\s+\[/x\]\s+0x0362D093\s+0\.2\.3\.4\s", status.stdout), status.stdout
    assert re.search(rf"{odd_address}\s+updated\s+\[/x\]\s+0\.2\.3\.4\s", update.stdout), update.stdout
    assert [(d["serial"], d["fpga_version"]) for d in json.loads(report.read_text())["devices"]] == [
        (MARKUP, MARKUP), (f"VORN-{plain.port:06d}", "0.2.4.0")]
    assert re.search(rf"{odd_address}\s+\[/x\]\s+updated\s.*0\.2\.3\.4 -> \[/x\]", history.stdout), history.stdout
    assert [(row["serial"], row["fpga_version_after"]) for row in json.loads(recorded.stdout)
            if row["address"] == address(odd)] == [(MARKUP, MARKUP)]
    assert [d["verdict"] for d in json.loads(verdicts.read_text())["devices"]] == ["runs", "runs"]


# ---- an 80×24 terminal --------------------------------------------------------------------

@pytest.fixture
def terminal(tmp_path):
    """terminal(*args): runs orbisk-fpga with `args` in an 80×24 tmux terminal of the test's own,
    its standard error to a file; returns its exit status and every line the terminal showed
    (lines it wrapped joined again), then what went to standard error."""
    if shutil.which("tmux") is None:
        pytest.skip("tmux is not installed (CI installs it)")
    tmux = ["tmux", "-S", str(tmp_path / "tmux"), "-f", os.devnull]
    env = {name: value for name, value in os.environ.items() if name not in ("COLUMNS", "LINES", "TMUX")}
    runs = []

    def in_terminal(*args):
        name = f"run{len(runs)}"
        done, errors = tmp_path / f"{name}.status", tmp_path / f"{name}.stderr"
        runs.append(name)
        command = (f"{shlex.join([COMMAND, *map(str, args)])} 2> {shlex.quote(str(errors))}; "
                   f"echo $? > {shlex.quote(str(done))}; exec sleep 600")
        subprocess.run([*tmux, "new-session", "-d", "-x", "80", "-y", "24", "-s", name, command], env=env, check=True)
        deadline = time.monotonic() + 120
        while not (done.exists() and done.read_text().endswith("\n")) and time.monotonic() < deadline:
            time.sleep(0.05)
        shown = subprocess.run([*tmux, "capture-pane", "-p", "-J", "-S", "-", "-t", name], capture_output=True,
                               text=True, check=True).stdout
        return int(done.read_text()), [line.rstrip() for line in shown.splitlines()], errors.read_text()

    yield in_terminal
    if runs:
        subprocess.run([*tmux, "kill-server"], env=env, capture_output=True)


def unused_port():
    """A port that nothing listens on, on 127.0.0.1 and almost surely on ::1."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def fits(lines):
    return [line for line in lines if len(line) > 80] == []


def test_status_of_a_site_fits_80_columns_with_every_address_and_serial_whole(terminal, emulator):
    devices = [emulator() for _ in range(4)]
    unreachable = f"[::1]:{unused_port()}"
    status, shown, errors = terminal("status", *(f"--address={address(d)}" for d in devices), f"--address={unreachable}")
    assert status == 1 and errors == ""
    assert fits(shown), shown
    for device in devices:  # each on a line of its own with its serial number
        assert any(re.match(rf"{re.escape(address(device))}\s+VORN-{device.port:06d}\s+0x0362D093\s+0\.2\.3\.4\b", line)
                   for line in shown), shown
    row = next(number for number, line in enumerate(shown) if line.startswith(unreachable))
    assert shown[row + 1].startswith("  cannot connect")


def test_an_update_with_failures_and_the_history_fit_80_columns(terminal, emulator, image):
    good = [emulator() for _ in range(4)]
    refusing = [emulator(refuse_block=0, refuse_times=None) for _ in range(2)]
    updated, shown, errors = terminal("update", "--yes", *(f"--address={address(d)}" for d in good + refusing), image)
    listed, history, _ = terminal("history")
    assert updated == 1 and errors.startswith("orbisk-fpga: error: 2 of 6 devices not updated")
    assert fits(shown), shown
    summary = shown[next(n for n, line in enumerate(shown) if "FPGA update summary" in line) + 2:]
    failed, details = summary[0], summary[1]
    assert failed.split()[:2] == [address(refusing[0]), "failed"]
    assert details.startswith("  the device refused the block at byte offset 0 10 times;")
    assert [line.split()[0] for line in summary if " updated " in line] == [address(d) for d in good]

    assert listed == 0 and fits(history), history
    for device in good + refusing:
        assert any(re.match(rf"\S+ \S+\s+{re.escape(address(device))}\s+VORN-{device.port:06d}\s", line)
                   for line in history), history


def test_the_update_of_a_site_shows_totals_and_groups_its_summary_failures_first_at_80x24(terminal, emulator, image,
                                                                                          tmp_path):
    good = [emulator() for _ in range(27)]
    refusing = [emulator(refuse_block=0, refuse_times=None) for _ in range(3)]
    report = tmp_path / "report.json"
    updated, shown, errors = terminal("update", "--yes", *(f"--address={address(d)}" for d in good + refusing),
                                      "--json", report, image)
    assert updated == 1 and errors.startswith("orbisk-fpga: error: 3 of 30 devices not updated")
    assert fits(shown), shown
    assert any(line.startswith("30 of 30 devices done, 3 failed, 0 running, 0 not started") for line in shown), shown
    summary = shown[shown.index("FPGA update summary: 30 devices") + 1:]
    assert re.match(r" 3  failed, block refused: the device still runs its previous FPGA image", summary[0]), summary
    assert re.match(r"27  updated$", next(line for line in summary if line.endswith("updated"))), summary
    failed = summary[summary.index("Failed:") + 1:]
    assert sorted(line.split()[0] for line in failed if line.startswith("127.")) == sorted(map(address, refusing))
    assert not any(line.startswith(address(d)) for d in good for line in shown)  # no row, no line, per device
    # while the JSON and the history keep every device
    devices = {address(d): "updated" for d in good} | {address(d): "failed" for d in refusing}
    assert {d["address"]: d["result"] for d in json.loads(report.read_text())["devices"]} == devices
    assert {row["address"]: row["outcome"] for row in json.loads(run("history", "--json").stdout)} == devices
