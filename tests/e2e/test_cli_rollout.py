"""A rollout as a field engineer runs it, through orbisk-fpga: waves that stop at the first wave
that fails, devices left out or chosen by their tags (never contacted), an image older than the
device's, and the question asked on a terminal before several devices are erased."""

import json
import os
import shlex
import shutil
import subprocess
import time

import pytest

from orbisk_tools.cli.emulate import header_version
from orbisk_tools.devices.emulator import DeviceEmulator
from orbisk_tools.formats.signed_image import pack
from orbisk_tools.records.history import History

from tests.e2e.command_line import COMMAND, READ_ONLY, address, run, site


def test_a_wave_that_fails_holds_every_wave_after_it(tmp_path, image):
    # enough devices and jobs for worker processes, which ask the main process's gate
    with site(tmp_path, 20, "2 --refuse-block 0 --refuse-times 0\n") as emulated:
        result = run("update", "--addresses", tmp_path / "site.txt", "--waves", "1,20%,100%", "--jobs", 16,
                     "--json", "-", image)
    assert result.returncode == 1
    devices = json.loads(result.stdout)["devices"]
    assert [device["result"] for device in devices] == ["updated", "failed", "updated", "updated"] + \
        ["not started"] * 16
    held = ("not started: 1 of the 3 devices of wave 2 (devices 2 to 4, --waves 1,20%,100%) did not succeed; "
            "the device was not changed")
    assert {device["message"] for device in devices[4:]} == {held}
    assert [emulated.contacted(device) for device in emulated.addresses] == [True] * 4 + [False] * 16
    # the first wave was over before the second began
    first, second = (f"INFO {device}: " for device in emulated.addresses[:2])
    loaded = next(n for n, line in enumerate(emulated.log) if line.startswith(f"{first}FPGA image"))
    assert loaded < next(n for n, line in enumerate(emulated.log) if line.startswith(second))

    shrinking = run("update", "--addresses", tmp_path / "site.txt", "--waves", "12,50%", image)
    assert shrinking.returncode == 2
    assert "--waves: wave 2 (50%) takes 10 devices of the 20, fewer than the 12 of the waves before it" in \
        shrinking.stderr


def test_devices_left_out_or_not_chosen_by_a_tag_are_never_contacted(tmp_path, image):
    with site(tmp_path, 5) as emulated:
        one, two, three, four, five = emulated.addresses
        tagged = tmp_path / "tagged.txt"
        tagged.write_text(f"{one} rack1 north\n{two} rack1 south  # the spare\n{three} rack2 north\n"
                          f"{four}\track2 south\n{five}\n")
        result = run("update", "--addresses", tagged, "--tag", "north", "--tag", "rack2", "--exclude", three,
                     "--exclude", "127.0.0.1:1", "--json", "-", image)
        skip = tmp_path / "skip.txt"
        skip.write_text(f"{one}\n{two}\n{three}\n{four} rack2\n")
        status = run("status", "--addresses", tagged, "--exclude-from", skip, "--json")
        nothing = run("verify", "--addresses", tagged, "--exclude-from", skip, "--tag", "rack1", image)
    assert result.returncode == 0, result.stderr
    assert [(d["address"], d["result"]) for d in json.loads(result.stdout)["devices"]] == [(one, "updated"),
                                                                                         (four, "updated")]
    assert result.stderr.startswith("orbisk-fpga update: warning: --exclude 127.0.0.1:1: 127.0.0.1:1 is none of "
                                    "the devices named; it leaves out nothing\n")
    assert [row["address"] for row in json.loads(status.stdout)] == [five]
    assert (nothing.returncode, nothing.stderr) == (2, "orbisk-fpga verify: error: --exclude and --tag leave none "
                                                       "of the 5 devices named; no device was touched; see "
                                                       "orbisk-fpga verify --help\n")
    assert [device for device in emulated.addresses if emulated.contacted(device)] == [one, four, five]


def test_tags_are_shown_and_group_the_tables_and_counts(tmp_path, image):
    with site(tmp_path, 4) as emulated:
        one, two, three, four = emulated.addresses
        tagged = tmp_path / "tagged.txt"
        tagged.write_text(f"{one} rack1 north\n{two} rack1\n{three} rack2 north\n{four}\n")
        update = run("update", "--addresses", tagged, "--json", "-", image)
        status = run("status", "--addresses", tagged, "--group-by", "tag")
        verify = run("verify", "--addresses", tagged, "--tag", "north", "--group-by", "tag", image)
    assert [device["tags"] for device in json.loads(update.stdout)["devices"]] == [
        ["rack1", "north"], ["rack1"], ["rack2", "north"], []]
    lines = status.stdout.splitlines()
    titles = [line.strip() for line in lines if line.strip().startswith("FPGA status")]
    assert titles == ["FPGA status: tag rack1", "FPGA status: tag north", "FPGA status: tag rack2",
                      "FPGA status: (no tag)"]
    assert [line for line in lines if "answered" in line] == [
        "2 devices: 2 answered", "2 devices: 2 answered", "1 devices: 1 answered", "1 devices: 1 answered",
        "All: 4 devices: 4 answered"]
    assert any(line.startswith(one) and "rack1 north" in line for line in lines)
    verdicts = verify.stdout.splitlines()
    assert verdicts[0] == "tag north:" and verdicts[1].startswith(f"{one}: ") and verdicts[2].startswith(f"{three}: ")
    assert verdicts[3].startswith("2 of 2 devices run ") and verdicts[4] == f"All: {verdicts[3]}"


def test_an_image_older_than_the_device_reports_is_refused_before_the_erase_unless_allowed(tmp_path,
                                                                                           private_history):
    image = tmp_path / "old.tbin"
    image.write_bytes(pack(os.urandom(500), 32, {"version": "1.0.0.0"}))
    with DeviceEmulator(port=0, image_versions=dict([header_version(image)])) as device:
        device.device.fpga.fpga_version = "2.0.0.0"
        refused = run("update", "--address", address(device), image)
        assert set(device.device.commands) <= READ_ONLY
        allowed = run("update", "--address", address(device), "--allow-older", image)
        device.device.fpga.fpga_version = "2.0-beta"  # a version that cannot be compared refuses nothing
        unknown = run("update", "--address", address(device), "--dry-run", image)
    assert (refused.returncode, refused.stderr) == (1, f"orbisk-fpga: error: {address(device)}: would go back from "
                                                       "2.0.0.0 to 1.0.0.0; --allow-older loads it anyway\n")
    assert allowed.returncode == 0, allowed.stderr
    assert unknown.returncode == 0 and ": dry run: would write and load old.tbin" in unknown.stdout
    with History.open(private_history) as history:
        rows = list(reversed(history.attempts()))
    assert [(row.outcome, row.reason, row.device_state) for row in rows[:2]] == [
        ("failed", "older_image", "untouched"), ("updated", None, "loaded")]


# ---- the question -------------------------------------------------------------------------

@pytest.fixture
def terminal(tmp_path):
    """terminal(command): runs the shell command in an 80×24 tmux terminal of the test's own; returns
    (show, keys, status): the text it shows, waiting until it holds `text`; keys typed into it;
    the exit status once the command ended."""
    if shutil.which("tmux") is None:
        pytest.skip("tmux is not installed (CI installs it)")
    tmux = ["tmux", "-S", str(tmp_path / "tmux"), "-f", os.devnull]
    env = {name: value for name, value in os.environ.items() if name not in ("COLUMNS", "LINES", "TMUX")}
    started = []

    def start(command):
        name, done = f"run{len(started)}", tmp_path / f"run{len(started)}.status"
        started.append(name)
        subprocess.run([*tmux, "new-session", "-d", "-x", "80", "-y", "24", "-s", name,
                        f"{command}; echo $? > {shlex.quote(str(done))}; exec sleep 600"], env=env, check=True)

        def show(text=""):
            deadline = time.monotonic() + 60
            while True:
                shown = subprocess.run([*tmux, "capture-pane", "-p", "-J", "-t", name], capture_output=True,
                                       text=True, check=True).stdout
                if text in shown or time.monotonic() > deadline:
                    return shown
                time.sleep(0.05)

        def keys(*typed):
            subprocess.run([*tmux, "send-keys", "-t", name, *typed], env=env, check=True)

        def status():
            deadline = time.monotonic() + 120
            while not (done.exists() and done.read_text().endswith("\n")) and time.monotonic() < deadline:
                time.sleep(0.05)
            return int(done.read_text())

        return show, keys, status

    yield start
    if started:
        subprocess.run([*tmux, "kill-server"], env=env, capture_output=True)


QUESTION = "Erase and write the FPGA image of 2 devices? [y/N]"


def test_several_devices_are_erased_on_a_terminal_only_once_the_user_says_yes(terminal, emulator, image):
    devices = [emulator(), emulator()]
    update = shlex.join([COMMAND, "update", *(f"--address={address(device)}" for device in devices), str(image)])
    show, keys, status = terminal(update)
    assert QUESTION in show(QUESTION)
    keys("n", "Enter")
    assert status() == 1 and "not confirmed; no device was touched" in show("touched")
    assert [device.device.commands for device in devices] == [[], []]

    show, keys, status = terminal(update)
    show(QUESTION)
    keys("y", "Enter")
    assert status() == 0
    assert "2 of 2 devices updated" in show("updated")
    assert all(device.device.fpga.loaded_image for device in devices)

    for unasked in (f"{update} --yes --force", f"{update} --force | cat", f"{update} --dry-run"):
        show, _, status = terminal(unasked)
        assert status() == 0, show()
        assert QUESTION not in show()
