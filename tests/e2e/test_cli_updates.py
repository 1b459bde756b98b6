"""orbisk-fpga update as it runs: several devices at once, names that resolve to one device,
devices that cannot be reached, an interrupt, output that dies midway, and how much it writes
to a log. The device locks: test_cli_locks.py."""

import json
import os
import re
import signal
import socket

import pytest

from orbisk_tools.formats.signed_image import pack

from tests.e2e.command_line import ADVICE, address, run, start


def untimed(line):
    """A line of the log without its UTC time stamp, which it must have."""
    stamp, _, text = line.partition(" ")
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", stamp), line
    return text


def image_file(tmp_path, size, name="fw.bin"):
    image = os.urandom(size)
    path = tmp_path / name
    path.write_bytes(pack(image, 32) if name.endswith(".tbin") else image)
    return image, path


def test_one_failing_device_does_not_stop_the_others(emulator, tmp_path):
    first, failing, second = emulator(), emulator(refuse_block=0, refuse_times=None), emulator()
    image, path = image_file(tmp_path, 1000, "fw.tbin")
    listing = tmp_path / "site.txt"
    listing.write_text(f"# site A\n{address(first)}\n\n{address(failing)}  # the spare\n")
    report = tmp_path / "report.json"
    result = run("update", "--addresses", listing, "--address", address(second), "--json", report, path)  # in order

    assert result.returncode == 1
    assert [device.device.fpga.loaded_image for device in (first, failing, second)] == [image, None, image]
    refused = "the device refused the block at byte offset 0 10 times; " + ADVICE
    # Asked again after its failure, the failing device says it runs its previous version.
    expected = [(address(first), "updated", "0.2.4.0", ""), (address(failing), "failed", "0.2.3.4", refused),
                (address(second), "updated", "0.2.4.0", "")]
    devices = json.loads(report.read_text())["devices"]
    assert [(d["address"], d["result"], d["fpga_version"], d["message"]) for d in devices] == expected
    assert [(d["reason"], d["details"], d["phase"], d["device_state"], d["runs"]) for d in devices] == [
        (None, {}, "done", "loaded", "image"),
        ("block_refused", {"offset": 0, "attempts": 10}, "write", "erased", "previous"),
        (None, {}, "done", "loaded", "image")]
    summary = result.stdout.partition("FPGA update summary")[2]
    for device_address, outcome, version, _ in expected:
        assert re.search(rf"{re.escape(device_address)}\W+{outcome}\W+{re.escape(version or '-')}\W", summary)
    assert "2 of 3 devices updated" in summary
    assert result.stderr.splitlines() == ["orbisk-fpga: error: 1 of 3 devices not updated; the summary says why "
                                          "for each, and what to do"]


def test_interrupt_says_what_state_the_device_is_in(emulator, tmp_path, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 50)
    _, path = image_file(tmp_path, 4000)
    process = start("update", "--address", address(device), path)
    assert reached.wait(30)
    process.send_signal(signal.SIGINT)
    while not untimed(process.stdout.readline()).startswith("Interrupted"):
        pass
    release.set()
    _, errors = process.communicate(timeout=60)
    assert process.returncode == 130
    assert errors == f"orbisk-fpga: {address(device)}: update interrupted while writing; {ADVICE}\n"
    assert device.device.fpga.loaded_image is None


def test_a_broken_pipe_does_not_stop_the_update(emulator, tmp_path, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 100)
    image, path = image_file(tmp_path, 16 * 1000)
    # One block at a time, so that the blocks before the held one are answered: as in
    # orbisk-fpga update ... | head -c 10
    process = start("update", "--address", address(device), "--window", 1, path)
    assert reached.wait(30)
    while not untimed(process.stdout.readline()).startswith("Writing:"):
        pass
    process.stdout.close()  # the reader goes away: every later line meets a broken pipe
    release.set()
    assert process.wait(timeout=60) == 0
    assert process.stderr.read() == ""
    assert device.device.fpga.loaded_image == image


def test_a_log_gets_a_line_per_tenth_of_each_phase(emulator, tmp_path):
    device = emulator()
    image, path = image_file(tmp_path, 1024 * 1024)
    result = run("update", "--address", address(device), path)
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.encode()) < 4096
    lines = list(map(untimed, result.stdout.splitlines()[:-1]))
    assert lines[:2] == ["Connecting", "Erasing"]
    for phase in ("Writing:", "Verifying:"):
        percents = [int(re.search(r"(\d+)%", line)[1]) for line in lines if line.startswith(phase)]
        assert percents == list(range(0, 101, 10))
    first = next(line for line in lines if line.startswith("Writing:"))
    assert "/s" not in first and "left" not in first  # one block tells nothing of the pace
    assert device.device.fpga.loaded_image == image


def test_results_that_cannot_be_written_at_the_end_fail_the_run(emulator, tmp_path, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 5)
    image, path = image_file(tmp_path, 1000)
    results = tmp_path / "result.json"
    process = start("update", "--address", address(device), "--json", results, path)
    try:
        assert reached.wait(30)
        results.mkdir()  # the path turns into a folder while the device is updated
    finally:
        release.set()
    _, errors = process.communicate(timeout=60)
    assert device.device.fpga.loaded_image == image
    assert process.returncode == 1
    assert errors == (f"orbisk-fpga: error: {results}: is a directory; name a file, not a folder; the output above "
                      "is the only record of this run\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fw.bin", "result.json"]  # no temporary file left


@pytest.fixture
def unreachable():
    """Factory: unreachable(host) is a port on `host` that takes no connection: its listener's
    queue is full, so the kernel drops new connection requests and they time out."""
    opened = []

    def make(host):
        listener = socket.socket()
        listener.bind((host, 0))
        listener.listen(0)
        opened.append(listener)
        for _ in range(2):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(listener.getsockname())
            opened.append(filler)
        return listener.getsockname()[1]

    yield make
    for sock in opened:
        sock.close()


def test_unreachable_devices_cost_one_time_out_each_and_say_how_long(unreachable, tmp_path):
    _, path = image_file(tmp_path, 100)
    report = tmp_path / "report.json"
    targets = [f"127.0.0.2:{unreachable('127.0.0.2')}", f"127.0.0.3:{unreachable('127.0.0.3')}"]
    result = run("update", "--address", targets[0], "--address", targets[1], "--timeout", 1, "--jobs", 1,
                 "--json", report, path)
    assert result.returncode == 1
    devices = json.loads(report.read_text())["devices"]
    for device, target in zip(devices, targets):
        assert device["address"] == target
        waited = re.fullmatch(r"cannot connect: timed out after (\d+\.\d) s; check the address and the network, "
                              r"or give a longer --timeout", device["message"])
        assert waited, device["message"]
        # The figure is the time this run waited for the device: the time-out, once.
        assert 1.0 <= float(waited[1]) < 2.0
        assert (device["reason"], device["phase"], device["device_state"]) == ("cannot_connect", "connect", "untouched")


def test_devices_an_interrupt_kept_from_starting_are_reported_not_started(emulator, tmp_path, hold_at_block):
    first, second = emulator(), emulator()
    reached, release = hold_at_block(first, 5)
    _, path = image_file(tmp_path, 1000)
    report = tmp_path / "report.json"
    process = start("update", "--address", address(first), "--address", address(second), "--jobs", 1,
                    "--json", report, path)
    assert reached.wait(30)
    process.send_signal(signal.SIGINT)
    while "Interrupted" not in process.stdout.readline():
        pass
    release.set()
    process.communicate(timeout=60)
    assert process.returncode == 130
    devices = json.loads(report.read_text())["devices"]
    assert [(d["result"], d["message"]) for d in devices] == [
        ("interrupted", f"interrupted while writing; {ADVICE}"),
        ("not started", "not started: interrupted before its erase; the device was not changed")]
    assert [(d["reason"], d["phase"], d["device_state"]) for d in devices] == [
        ("interrupted", "write", "erased"), ("not_started", None, "untouched")]
    assert second.device.commands == []


def test_two_names_of_one_device_are_refused_before_any_device_is_touched(emulator, tmp_path):
    device = emulator()
    _, image = image_file(tmp_path, 100)
    result = run("update", "--address", f"127.0.0.1:{device.port}", "--address", f"localhost:{device.port}", image)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert f"127.0.0.1:{device.port} and localhost:{device.port} are the same device (127.0.0.1:{device.port}); " \
           "give each device once" in result.stderr
    assert device.device.commands == []


def test_a_name_that_is_not_found_fails_its_device_only(emulator, tmp_path, monkeypatch, capsys):
    from orbisk_tools import cli

    looked_up = socket.getaddrinfo

    def getaddrinfo(host, *args, **kwargs):  # no name leaves this process
        if host == "device-7.site":
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return looked_up(host, *args, **kwargs)

    monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
    device = emulator()
    image, report = tmp_path / "fw.bin", tmp_path / "report.json"
    image.write_bytes(os.urandom(100))
    status = cli.main(["update", "--address", "device-7.site", "--address", f"127.0.0.1:{device.port}",
                       "--json", str(report), str(image)])
    assert status == 1, capsys.readouterr()
    devices = json.loads(report.read_text())["devices"]
    assert [(d["result"], d["message"]) for d in devices] == [
        ("failed", "cannot connect: name not found (Name or service not known); check the address"), ("updated", "")]


@pytest.mark.parametrize("change", ["truncate", "extend", "rewrite", "replace"])
def test_the_device_gets_the_image_as_it_was_checked_whatever_happens_to_the_file(emulator, tmp_path,
                                                                                  hold_at_block, change):
    """A copy still in progress, or a file swapped under the run: the device is written, verified and
    recorded with the bytes that were checked, and a later run with the file as it is now is no skip."""
    device = emulator()
    reached, release = hold_at_block(device, 5)
    image, path = image_file(tmp_path, 4000)
    process = start("update", "--address", address(device), path)
    try:
        assert reached.wait(30)
        if change == "truncate":
            os.truncate(path, 1000)
        elif change == "extend":
            with open(path, "ab") as more:
                more.write(os.urandom(3000))
        elif change == "rewrite":
            path.write_bytes(os.urandom(4000))
        else:
            other = tmp_path / "other.bin"
            other.write_bytes(os.urandom(4000))
            os.replace(other, path)
    finally:
        release.set()
    _, errors = process.communicate(timeout=60)
    assert process.returncode == 0, errors
    assert device.device.fpga.loaded_image == image
    later = run("update", "--address", address(device), path)
    assert later.returncode == 0, later.stderr
    assert "skipped" not in later.stdout
    assert device.device.fpga.loaded_image == path.read_bytes()
