"""A team on one site: two laptops (the second one a process with a host name and a lock folder
of its own) that share one history in PostgreSQL, through orbisk-fpga and the engine."""

import json
import os
import signal
import subprocess
import time

import pytest

import orbisk_tools
from orbisk_tools import Reason, Result, open_history
from orbisk_tools.formats.signed_image import pack

from tests.e2e.command_line import COMMAND, run, site

SECOND_LAPTOP = ["unshare", "--uts", "--mount", "--", "sh", "-c",
                 'hostname laptop-b && mount -t tmpfs tmpfs /run/lock && exec "$@"', "sh", COMMAND]


@pytest.fixture
def laptop_b():
    """Starts orbisk-fpga with `args` as another laptop would run it."""
    if subprocess.run([*SECOND_LAPTOP[:-1], "true"], capture_output=True).returncode != 0:
        pytest.skip("cannot make a second laptop here: unshare --uts --mount needs the right to")

    def started(*args):
        return subprocess.Popen([*SECOND_LAPTOP, *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
    return started


@pytest.fixture
def image(tmp_path):
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(1000), 32))
    return path


def wait_until(condition, process=None):
    """Waits for `condition()`, at most 30 s, while `process` (another laptop's command) still runs."""
    deadline = time.monotonic() + 30
    while not condition():
        assert time.monotonic() < deadline and (process is None or process.poll() is None)
        time.sleep(0.05)


def loads(log, device):
    return sum(line.startswith(f"INFO {device}: FPGA image") for line in log)


def test_two_laptops_share_a_site_each_device_updated_once(tmp_path, shared, laptop_b, image):
    listing = tmp_path / "site.txt"
    command = ["update", "--addresses", listing, "--history", shared, "--share-site", "rack-7", "--jobs", 3,
               "--json", "-", image]
    with site(tmp_path, 12, "", "--write-rate", 4000) as emulated:
        other = laptop_b(*command)
        here = run(*command)
        there = other.communicate(timeout=120)
    assert (here.returncode, other.returncode) == (0, 0), (here.stderr, there[1])
    mine = [device["address"] for device in json.loads(here.stdout)["devices"]]
    theirs = [device["address"] for device in json.loads(there[0])["devices"]]
    assert mine and theirs and not set(mine) & set(theirs)
    assert sorted(mine + theirs) == sorted(emulated.addresses)
    assert all(loads(emulated.log, device) == 1 for device in emulated.addresses)
    assert f"Site rack-7: 12 devices, {len(mine)} by this laptop, {len(theirs)} by " in here.stderr + here.stdout

    # status, from either laptop, says who updated each device
    status = run("status", "--addresses", listing, "--history", shared).stdout
    assert status.count("on laptop-b") == len(theirs)

    # the same list again: nothing is left of the site; another list under its name is refused
    again = run(*command)
    assert again.returncode == 0 and "No device of site rack-7 was left to take" in again.stderr
    other_list = tmp_path / "other.txt"
    other_list.write_text("\n".join(emulated.addresses[:5]) + "\n")
    refused = run("update", "--addresses", other_list, "--history", shared, "--share-site", "rack-7", image)
    assert refused.returncode == 1
    assert "the shared site rack-7 has 12 devices, and this list 5" in refused.stderr


def test_two_laptops_on_overlapping_halves_update_each_device_once(tmp_path, shared, laptop_b, image):
    with site(tmp_path, 8, "", "--write-rate", 1000) as emulated:
        first, second = tmp_path / "first.txt", tmp_path / "second.txt"
        first.write_text("\n".join(emulated.addresses[:6]) + "\n")
        second.write_text("\n".join(emulated.addresses[2:]) + "\n")
        other = laptop_b("update", "--addresses", first, "--history", shared, "--jobs", 6, "--json", "-", image)
        with open_history(shared) as history:
            # it holds the locks of each device before it records it
            wait_until(lambda: len(history.attempts()) >= 6, other)
            processes = subprocess.run(["ps", "-eo", "args"], capture_output=True, text=True).stdout
            here = orbisk_tools.update_site(emulated.addresses[2:], image, history=shared, jobs=6)
            there = other.communicate(timeout=60)
            status_there = subprocess.run([*SECOND_LAPTOP, "status", "--addresses", first, "--history", shared,
                                           "--json"], capture_output=True, text=True).stdout
    assert other.returncode == 0 and {device["result"] for device in json.loads(there[0])["devices"]} == {"updated"}
    refused, updated = here.devices[:4], here.devices[4:]
    assert {(device.reason, device.device_state) for device in refused} == {(Reason.DEVICE_LOCKED, "untouched")}
    assert all(" on laptop-b, since " in device.message for device in refused)
    assert {device.result for device in updated} == {Result.UPDATED}
    assert all(loads(emulated.log, device) == 1 for device in emulated.addresses)
    newest = {row["address"]: row["last_attempt"]["outcome"] for row in json.loads(status_there)}
    assert newest == dict.fromkeys(emulated.addresses[:6], "updated")  # not the refusals made here since
    assert "s3cret" not in processes  # the password is read from the password file only


def test_a_laptop_killed_mid_update_leaves_its_devices_to_the_other(tmp_path, shared, laptop_b, image):
    listing = tmp_path / "site.txt"
    command = ["update", "--addresses", listing, "--history", shared, "--share-site", "north", "--jobs", 2,
               "--json", "-", image]
    with site(tmp_path, 4, "", "--write-rate", 1000) as emulated:
        other = laptop_b(*command)
        with open_history(shared) as history:
            wait_until(lambda: sum(device.state == "taken" for device in history.site_devices("north")) >= 2, other)
            time.sleep(0.3)  # writing
            os.kill(other.pid, signal.SIGKILL)  # too few devices for worker processes: the one process
            other.communicate()
            here = run(*command)
            devices = history.site_devices("north")
    assert here.returncode == 0, here.stderr
    taken = json.loads(here.stdout)["devices"]
    assert sorted(device["address"] for device in taken) == sorted(emulated.addresses)
    assert {device["result"] for device in taken} == {Result.UPDATED}
    assert all(device.state == "done" and device.result == Result.UPDATED for device in devices)


def test_the_password_is_never_shown(tmp_path, shared, image):
    with_password = shared.replace("field@", "field:do-not-show@")
    refused = run("update", "--address", "127.0.0.1:1", "--history", with_password, image)
    assert refused.returncode == 1 and "do-not-show" not in refused.stdout + refused.stderr
    assert "must not hold a password" in refused.stderr


def test_max_failures_holds_for_the_whole_shared_site(tmp_path, shared, image):
    import concurrent.futures

    with site(tmp_path, 8, "1 --refuse-block 0 --refuse-times 0\n", "--write-rate", 4000) as emulated:
        with concurrent.futures.ThreadPoolExecutor(2) as laptops:  # two sessions of the team's history
            runs = [laptops.submit(orbisk_tools.update_site, emulated.addresses, image, jobs=1, history=shared,
                                   share_site="west", max_failures=1) for _ in range(2)]
            devices = [device for run in runs for device in run.result().devices]
    assert sorted(device.address for device in devices) == sorted(emulated.addresses)
    results = [device.result for device in devices]
    assert results.count(Result.FAILED) == 1 and results.count(Result.UPDATED) <= 1  # the one begun meanwhile
    held = [device for device in devices if device.result == Result.NOT_STARTED]
    assert len(held) >= 6 and {device.details["held_by"] for device in held} == {"max_failures"}


def test_a_laptop_that_loses_the_database_finishes_the_device_it_writes(tmp_path, shared, cluster, image):
    from tests.e2e.command_line import start

    with site(tmp_path, 2, "", "--write-rate", 1000) as emulated:
        device = emulated.addresses[0]
        update = start("update", "--address", device, "--history", shared, image)
        with open_history(shared) as history:
            wait_until(lambda: any(attempt.phase == "write" for attempt in history.attempts()))
        cluster.sql("postgres", "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                                "WHERE application_name LIKE 'orbisk-fpga %'")
        out, err = update.communicate(timeout=60)
    assert update.returncode == 1
    assert "updated" in out and loads(emulated.log, device) == 1
    assert f"it does not say how the update of {device} ended" in err


def test_a_soak_holds_the_next_wave_of_a_shared_site_on_every_laptop(tmp_path, shared, image):
    import concurrent.futures

    from orbisk_tools.devices.emulator import DeviceEmulator, Faults

    devices = [DeviceEmulator(port=0, faults=Faults(write_rate=4000)).start() for _ in range(4)]
    addresses = [f"{device.host}:{device.port}" for device in devices]
    try:
        def laptop(soak):
            return orbisk_tools.update_site(addresses, image, jobs=1, history=shared, share_site=f"soak-{soak}",
                                            waves=[1, "100%"], soak=soak)

        with concurrent.futures.ThreadPoolExecutor(2) as laptops:  # two sessions of the team's history
            runs = [laptops.submit(laptop, 1) for _ in range(2)]
            first = [device for run in runs for device in run.result().devices]
        assert sorted(device.address for device in first) == sorted(addresses)
        assert {device.result for device in first} == {Result.UPDATED}
        assert all(device.soak.startswith("runs the image") for device in first)

        devices[0].faults.no_image_at_power_up = True  # the canary restarts without its image during the soak
        with concurrent.futures.ThreadPoolExecutor(2) as laptops:
            runs = [laptops.submit(laptop, 3) for _ in range(2)]
            with open_history(shared) as history:  # once the canary waits for the check after its soak
                while not any(device.state == "soaking" for device in history.site_devices("soak-3")):
                    time.sleep(0.05)
            devices[0].power_cycle()
            second = {device.address: device for run in runs for device in run.result().devices}
        canary = second.pop(addresses[0])
        assert (canary.result, canary.reason) == (Result.FAILED, Reason.SOAK_FAILED)
        assert {device.result for device in second.values()} == {Result.NOT_STARTED}
        # "soak" where the laptop that soaked the canary tells, "wave" on the other
        assert {device.details["held_by"] for device in second.values()} <= {"soak", "wave"}
    finally:
        for device in devices:
            device.stop()
