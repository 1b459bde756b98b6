"""A site of emulated devices in one process (orbisk-fpga emulate --devices N), updated through
the command line as a field engineer runs it."""

import contextlib
import json
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.records.history import History

from tests.e2e.command_line import COMMAND


@contextlib.contextmanager
def site(*options, verbose=False):
    """An emulated site in a process of its own; yields (process, its first line). Stopped with Ctrl-C."""
    process = subprocess.Popen([COMMAND, "emulate", *(["-v"] if verbose else []), *map(str, options)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("Device emulator "), line + process.stderr.read()
        yield process, line
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=30)
    assert process.returncode == 0


def listed(path):
    """[(address, serial)] of an address list that emulate --list wrote."""
    lines = [line.split("  # ") for line in path.read_text().splitlines() if not line.startswith("#")]
    return [(address, serial) for address, serial in lines]


def attempts(history):
    with History.open(history) as opened:
        return list(reversed(opened.attempts()))


def test_a_site_with_faults_given_to_some_devices_is_updated_device_by_device(tmp_path, private_history):
    faults, addresses, results, image = (tmp_path / name for name in ("faults.txt", "site.txt", "out.json", "fw.bin"))
    faults.write_text("# every tenth device refuses a block; device 7 falls silent while written to\n"
                      "every 10 --refuse-block 3 --refuse-times 0\n"
                      "7 --silent-after 20\n")
    image.write_bytes(os.urandom(4000))
    with site("--devices", 50, "--port", 0, "--list", addresses, "--faults-file", faults) as (_, line):
        assert "site of 50 devices" in line and f"listed in {addresses}" in line
        devices = listed(addresses)
        update = subprocess.run([COMMAND, "update", "--addresses", addresses, "--jobs", "64", "--timeout", "0.5",
                                 "--erase-timeout", "5", "--json", results, image], capture_output=True, text=True,
                                timeout=300)
        # verify and status spread over worker processes as the update does, with the same history
        verify = subprocess.run([COMMAND, "verify", "--addresses", addresses, "--jobs", "64", "--timeout", "0.5",
                                 "--json", "-", image], capture_output=True, text=True, timeout=300)
        status = subprocess.run([COMMAND, "status", "--addresses", addresses, "--jobs", "64", "--timeout", "0.5",
                                 "--json"], capture_output=True, text=True, timeout=300)
    assert update.returncode == 1, update.stderr
    assert all(line == line.rstrip() for line in update.stdout.splitlines())  # the summary is not padded in a file
    assert len({serial for _, serial in devices}) == 50  # every device is one of its own
    expected = {number: ("updated", None) for number in range(1, 51)}
    expected.update({number: ("failed", "block_refused") for number in (10, 20, 30, 40, 50)})
    expected[7] = ("failed", "timeout")
    shown = {row["address"]: row for row in json.loads(results.read_text())["devices"]}
    assert [(shown[address]["result"], shown[address]["reason"] or None, shown[address]["serial"])
            for address, _ in devices] == [(*expected[number], serial) for number, (_, serial) in
                                           enumerate(devices, 1)]
    assert shown[devices[9][0]]["message"].startswith("the device refused the block at byte offset 48 10 times")
    assert (shown[devices[6][0]]["phase"], shown[devices[6][0]]["device_state"]) == ("write", "erased")
    rows = {row.address: row for row in attempts(private_history)}
    assert [(rows[address].outcome, rows[address].reason, rows[address].serial) for address, _ in devices] == \
        [(*expected[number], serial) for number, (_, serial) in enumerate(devices, 1)]
    verdicts = {row["address"]: (row["result"], row["serial"]) for row in json.loads(verify.stdout)["devices"]}
    said = {"updated": "runs", "block_refused": "differs", "timeout": "failed"}  # the silent one cannot tell
    assert verify.returncode == 1 and [verdicts[address] for address, _ in devices] == [
        (said[expected[number][1] or "updated"], serial if number != 7 else "") for number, (_, serial)
        in enumerate(devices, 1)]
    shown = {row["address"]: row for row in json.loads(status.stdout)}
    assert status.returncode == 1 and [shown[address]["reported"]["serial"] for address, _ in devices if
                                       address != devices[6][0]] == [serial for _, serial in devices if
                                                                     serial != devices[6][1]]


def wait_for_erases(emulator, count):
    """Reads the log of a site's emulator until `count` of its devices erased their configuration memory."""
    erased = 0
    for line in emulator.stderr:
        erased += line.endswith("FPGA configuration memory erased\n")
        if erased == count:
            return


def children(pid):
    with contextlib.suppress(FileNotFoundError):
        return [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    return []


@pytest.mark.parametrize("count", [10, 50])  # in one process; over worker processes
def test_ctrl_c_stops_every_device_of_a_site_after_its_current_exchange(tmp_path, private_history, count):
    addresses, results, image = tmp_path / "site.txt", tmp_path / "out.json", tmp_path / "fw.bin"
    image.write_bytes(os.urandom(16384))
    with site("--devices", count, "--port", 0, "--list", addresses, "--write-rate", 2000, verbose=True) as (emulator, _):
        # In a session of its own: Ctrl-C on a terminal reaches the whole process group, workers too.
        update = subprocess.Popen([COMMAND, "update", "--addresses", addresses, "--jobs", "64", "--window", "1",
                                   "--json", results, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                  start_new_session=True)
        wait_for_erases(emulator, count)  # until every device is being written to
        workers = children(update.pid)
        os.killpg(update.pid, signal.SIGINT)
        shown, errors = update.communicate(timeout=120)
    assert update.returncode == 130, errors
    assert len(workers) == (0 if count == 10 else 2)
    assert not any(Path(f"/proc/{worker}").exists() for worker in workers)
    assert (shown + errors).count("Interrupted: stopping every update") == 1
    devices = json.loads(results.read_text())["devices"]
    assert [(row["result"], row["device_state"]) for row in devices] == [("interrupted", "erased")] * count
    assert all(row["phase"] in ("erase", "write") and row["bytes_written"] < 16384 for row in devices)
    assert sorted((row.outcome, row.address) for row in attempts(private_history)) == \
        sorted(("interrupted", row["address"]) for row in devices)


def test_a_killed_worker_fails_its_devices_and_the_others_go_on(tmp_path, private_history):
    addresses, results, image = tmp_path / "site.txt", tmp_path / "out.json", tmp_path / "fw.bin"
    image.write_bytes(os.urandom(16384))
    with site("--devices", 32, "--port", 0, "--list", addresses, "--write-rate", 8000, verbose=True) as (emulator, _):
        update = subprocess.Popen([COMMAND, "update", "--addresses", addresses, "--jobs", "16", "--window", "1",
                                   "--json", results, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wait_for_erases(emulator, 16)  # the first 16 are being written to, the others wait
        killed, _ = children(update.pid)
        os.kill(killed, signal.SIGKILL)
        update.communicate(timeout=120)
    assert update.returncode == 1
    devices = json.loads(results.read_text())["devices"]
    lost = [row for row in devices if row["result"] == "failed"]
    assert 0 < len(lost) < 16 and all(row["result"] == "updated" for row in devices if row not in lost)
    assert all(f"the worker process {killed} that updated it ended unexpectedly" in row["message"] for row in lost)
    rows = attempts(private_history)
    assert sorted((row.address, row.outcome) for row in rows) == sorted((row["address"], row["result"]) for row in devices)


def ended(pid):
    """Whether the process `pid` is gone (or a zombie, which its new parent has yet to reap)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def test_workers_whose_command_was_killed_stop_their_updates_and_end(tmp_path, private_history):
    addresses, image = tmp_path / "site.txt", tmp_path / "fw.bin"
    image.write_bytes(os.urandom(16384))
    with site("--devices", 16, "--port", 0, "--list", addresses, "--write-rate", 8000, verbose=True) as (emulator, _):
        update = subprocess.Popen([COMMAND, "update", "--addresses", addresses, "--jobs", "16", "--window", "1",
                                   image], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_erases(emulator, 16)
        workers = children(update.pid)
        update.kill()
        update.wait()
        deadline = time.monotonic() + 60  # a bound, not a measure: they end after their current exchange
        while not all(map(ended, workers)) and time.monotonic() < deadline:
            time.sleep(0.05)
    assert len(workers) == 2 and all(map(ended, workers))
    # Their rows stay as the killed command left them: "running", which status and history call unrecorded.
    assert {row.outcome for row in attempts(private_history)} == {"running"}


def test_a_log_over_worker_processes_gets_a_line_per_tenth_of_each_phase_of_each_device(tmp_path):
    addresses, image = tmp_path / "site.txt", tmp_path / "fw.bin"
    image.write_bytes(os.urandom(16384))
    with site("--devices", 16, "--port", 0, "--list", addresses):
        update = subprocess.run([COMMAND, "update", "--addresses", addresses, "--jobs", "16", "--no-history", image],
                                capture_output=True, text=True, timeout=120)
    assert update.returncode == 0, update.stderr
    for address, _ in listed(addresses):
        for phase in ("Writing:", "Verifying:"):
            lines = [line for line in update.stdout.splitlines() if f" {address}  {phase}" in line]
            assert [int(line.split(phase)[1].split("%")[0]) for line in lines] == list(range(0, 101, 10)), lines


def test_hosts_serves_one_port_on_consecutive_loopback_addresses(tmp_path):
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.3", 0))
        except OSError:
            pytest.skip("this system cannot listen on 127.0.0.3")
    addresses = tmp_path / "site.txt"
    with site("--devices", 3, "--hosts", "--port", 0, "--list", addresses) as _:
        devices = listed(addresses)
        assert [address.rsplit(":", 1)[0] for address, _ in devices] == ["127.0.0.1", "127.0.0.2", "127.0.0.3"]
        assert len({address.rsplit(":", 1)[1] for address, _ in devices}) == 1
        assert [serial for _, serial in devices] == ["VORN-000001", "VORN-000002", "VORN-000003"]
        for address, serial in devices:
            host, port = address.rsplit(":", 1)
            tool = FpgaTool(address=host, port=int(port))
            assert tool._fpgaGetSerialNumber() == serial
            tool.disconnect()


@pytest.mark.parametrize("text, message", [
    ("every ten --refuse-block 3\n", "faults.txt line 1: every takes a number of devices from 1"),
    ("# fine\n4 --refuse-block x\n", "faults.txt line 2: argument --refuse-block: expected a whole number"),
    ("9 --silent-after 3\n", "faults.txt line 1: 9 is not among the devices 1 to 5"),
    ("all --refuse-times 2\n", "faults.txt: device 1: --refuse-times needs --refuse-block"),
    ("2-3\n", "faults.txt line 1: no fault option follows the devices it selects"),
])
def test_a_wrong_faults_file_is_refused_in_one_line(tmp_path, text, message):
    faults = tmp_path / "faults.txt"
    faults.write_text(text)
    result = subprocess.run([COMMAND, "emulate", "--devices", "5", "--port", "0", "--faults-file", faults],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert message in result.stderr


def test_the_faults_of_the_link_behave_on_a_site_as_on_one_emulator(tmp_path, private_history):
    faults, addresses, results, image = (tmp_path / name for name in ("faults.txt", "site.txt", "out.json", "fw.bin"))
    faults.write_text("1 --latency 0.002 --split-replies\n"
                      "2 --reply-delay 0.0005\n"
                      "3 --one-command-per-read --erase-seconds 0.2 --write-rate 1000000\n"
                      "4 --drop-after-blocks 3\n"
                      "5 --endless-reply FPGA_ERASE\n"
                      "6 --latency 0.001 --drop-after-blocks 3\n")
    image.write_bytes(os.urandom(2000))
    with site("--devices", 6, "--port", 0, "--list", addresses, "--faults-file", faults):
        update = subprocess.run([COMMAND, "update", "--addresses", addresses, "--window", "1", "--timeout", "5",
                                 "--json", results, image], capture_output=True, text=True, timeout=300)
    assert update.returncode == 1, update.stderr
    shown = {row["address"]: row for row in json.loads(results.read_text())["devices"]}
    assert [(shown[address]["result"], shown[address]["reason"] or None) for address, _ in listed(addresses)] == \
        [("updated", None)] * 3 + [("failed", "connection_lost"), ("failed", "reply_too_long"),
                                   ("failed", "connection_lost")]
