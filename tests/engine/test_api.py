"""The engine as a script uses it, through orbisk_tools, against emulated devices on 127.0.0.1:
updates, skips, read-backs and status, each error path as an UpdateError and its outcome, and
cancelling an update from a thread and from asyncio."""

import asyncio
import socket
import threading

import pytest
from orbisk.VornFpga import FpgaTool, UpdateOutcome

from orbisk_tools import (DeviceState, History, ImageRefused, OrbiskError, Phase, Reason, Result, UpdateError,
                          status_of, update_device, update_site, verify_device)
from orbisk_tools import cli
from orbisk_tools.formats import protocol

from tests.engine.conftest import RAW
READS_BACK = {"GET_SN", "FPGA_GET_ID", "GET_FPGA_VER", "GET_FE_INFO", "GET_FW_VER", "FPGA_RST_PAGE_PTR", "FPGA_READ"}
ADVICE = "the device still runs its previous FPGA image until it restarts; run the update again before power-cycling it"


def address(device):
    return f"{device.host}:{device.port}"


def refused_port():
    """A port on 127.0.0.1 where nothing listens."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def test_an_update_reports_each_phase_and_a_second_one_skips_the_device_after_its_read_back(emulator, image,
                                                                                           tmp_path):
    device, history = emulator(), tmp_path / "history.sqlite3"
    seen = []
    result = update_device(address(device), image, history=history,
                           progress=lambda *report: seen.append(report))
    assert (result.result, result.reason, result.phase, result.device_state) == \
        (Result.UPDATED, None, Phase.DONE, DeviceState.LOADED)
    assert (result.fpga_version_before, result.fpga_version_after, result.bytes_written) == ("0.2.3.4", "0.2.4.0", 1000)
    assert result.ok and result.window > 1 and result.serial == device.device.fpga.serial_number
    assert result.message == "updated: FPGA version 0.2.4.0, 1000 bytes written"
    assert device.device.fpga.loaded_image == RAW
    label = address(device)
    assert seen[:2] == [(label, "connect", 0, 0), (label, "erase", 0, 0)]
    assert (label, "write", 1000, 1000) in seen and seen[-1] == (label, "verify", 1000, 1000)

    sent_before = len(device.device.commands)
    with History.open(history) as records:  # an open history does as well as its path
        again = update_device(address(device), image, history=records)
    assert (again.result, again.reason, again.fpga_version_after) == (Result.SKIPPED, Reason.ALREADY_LOADED, "0.2.4.0")
    assert set(device.device.commands[sent_before:]) <= READS_BACK
    assert again.message.endswith("force=True updates it anyway")  # the engine's own argument, not the option


def block_refused(emulator, image, tmp_path):
    return emulator(refuse_block=2, refuse_times=None), image


def connection_refused(emulator, image, tmp_path):
    return None, image


def image_refused(emulator, image, tmp_path):
    damaged = bytearray(image.read_bytes())
    damaged[-1] ^= 1
    image.write_bytes(damaged)
    return emulator(), image


# how the update is made to fail -> (reason, phase, device state, details it holds, what raised it)
FAILURES = {
    block_refused: (Reason.BLOCK_REFUSED, Phase.WRITE, DeviceState.ERASED, {"offset": 32, "attempts": 10}, None),
    connection_refused: (Reason.CANNOT_CONNECT, Phase.CONNECT, DeviceState.UNTOUCHED,
                         {"cause": "connection_refused"}, ConnectionRefusedError),
}


@pytest.mark.parametrize("make", FAILURES, ids=lambda make: make.__name__)
def test_a_failed_update_raises_update_error_with_its_outcome_and_cause(emulator, image, tmp_path, make):
    reason, phase, state, details, cause = FAILURES[make]
    device, path = make(emulator, image, tmp_path)
    target = address(device) if device else f"127.0.0.1:{refused_port()}"
    with pytest.raises(UpdateError) as raised:
        update_device(target, path, timeout=1.0)
    outcome = raised.value.outcome
    assert (outcome.result, outcome.reason, outcome.phase, outcome.device_state) == (Result.FAILED, reason, phase,
                                                                                     state)
    assert details.items() <= outcome.details.items() and outcome.address == target and not outcome.ok
    assert str(raised.value) == outcome.message and "\n" not in outcome.message
    assert type(raised.value.__cause__) is cause if cause else raised.value.__cause__ is None
    if make is block_refused:
        assert outcome.message == f"the device refused the block at byte offset 32 10 times; {ADVICE}"
        assert device.device.fpga.loaded_image is None



def test_a_refused_image_raises_the_same_error_from_every_function(emulator, image):
    device = emulator()
    damaged = bytearray(image.read_bytes())
    damaged[-1] ^= 1
    image.write_bytes(damaged)
    calls = [lambda: update_device(address(device), image), lambda: update_site([address(device)], image),
             lambda: verify_device(address(device), image), lambda: status_of([address(device)], image=image)]
    for call in calls:
        with pytest.raises(ImageRefused) as raised:
            call()
        assert isinstance(raised.value, OrbiskError) and raised.value.reason is Reason.IMAGE_HASH_MISMATCH
    assert device.device.commands == []
    with pytest.raises(TypeError, match="trust_keys must be a list"):
        update_device(address(device), image, trust_keys="vendor.pub")


def test_a_key_that_an_overridden_check_gives_is_an_error_that_keeps_it(emulator, image, monkeypatch):
    # The module's keys are the tools' own: only a check replaced by its user gives another.
    def refuse(self, image_path):
        self.last_outcome = UpdateOutcome(False, "site_policy", {"rule": 7}, "refused by the site's policy", "check", 0,
                                          "untouched", 1)
        return False

    device = emulator()
    monkeypatch.setattr(FpgaTool, "_checkFileHeader", refuse)
    with pytest.raises(ImageRefused) as raised:
        update_device(address(device), image)
    assert (raised.value.reason, raised.value.details) == (Reason.ERROR, {"rule": 7, "module_reason": "site_policy"})
    assert str(raised.value) == "FPGA image header check failed; the device was not changed"
    assert device.device.commands == []


@pytest.mark.cryptography
def test_an_image_without_a_trusted_signature_touches_no_device(emulator, image, tmp_path):
    secret, public = tmp_path / "vendor.key", tmp_path / "vendor.pub"
    assert cli.main(["keygen", "--no-password", "--secret-key", str(secret), "--public-key", str(public)]) == 0
    device = emulator()
    with pytest.raises(ImageRefused) as raised:
        update_device(address(device), image, trust_keys=[public])
    assert raised.value.reason == Reason.SIGNATURE_REFUSED
    assert str(raised.value).startswith(f"no signature: {image}.minisig does not exist")
    assert device.device.commands == []

    assert cli.main(["sign", "--key", str(secret), str(image)]) == 0
    site = update_site([address(device)], image, trust_keys=[public.read_text()])  # the key's text does as well
    assert site.ok and site.vendor_key_id is not None and device.device.fpga.loaded_image == RAW


@pytest.mark.parametrize("when", ["at once", "connect"])
def test_an_update_cancelled_before_the_erase_leaves_the_device_untouched(emulator, image, when):
    device, cancel = emulator(), threading.Event()
    if when == "at once":
        cancel.set()

    def progress(address, stage, current, total):
        if stage == when:
            cancel.set()

    with pytest.raises(UpdateError) as raised:
        update_device(address(device), image, cancel=cancel, progress=progress)
    outcome = raised.value.outcome
    assert (outcome.result, outcome.reason, outcome.device_state) == (Result.NOT_STARTED, Reason.NOT_STARTED,
                                                                      DeviceState.UNTOUCHED)
    assert outcome.message.endswith("the device was not changed")
    assert set(device.device.commands) <= READS_BACK


@pytest.mark.parametrize("cancelled_from", ["thread", "asyncio"])
def test_an_update_cancelled_after_the_erase_stops_after_its_current_exchange(emulator, image, hold_at_block,
                                                                            cancelled_from):
    device, cancel, finished, ended = emulator(), threading.Event(), threading.Event(), []
    reached, release = hold_at_block(device, 5)

    def update():
        try:
            update_device(address(device), image, cancel=cancel)
        except UpdateError as error:
            ended.append(error.outcome)
        finally:
            finished.set()

    if cancelled_from == "thread":
        threading.Thread(target=update).start()
        assert reached.wait(30)
        cancel.set()
    else:
        async def update_in_a_thread():
            try:
                await asyncio.to_thread(update)
            finally:  # cancelled, here by wait_for's time-out: the update stops too
                cancel.set()

        async def run_out_of_time():
            task = asyncio.ensure_future(update_in_a_thread())
            assert await asyncio.to_thread(reached.wait, 30)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(task, 0.01)  # the device holds its answer: the time is out
            assert cancel.is_set()
            release.set()  # asyncio.run() waits for the update's thread to end

        asyncio.run(run_out_of_time())
    release.set()
    assert finished.wait(30)
    (outcome,) = ended
    assert (outcome.result, outcome.reason, outcome.device_state) == (Result.INTERRUPTED, Reason.CANCELLED,
                                                                      DeviceState.ERASED)
    assert outcome.message.startswith("cancelled while writing; ") and outcome.message.endswith(ADVICE)
    assert protocol.FPGA_DONE not in device.device.commands and device.device.fpga.loaded_image is None


def test_a_site_starts_no_new_device_once_max_failures_failed(emulator, image):
    refusing, held_back, also_held_back = emulator(refuse_block=0, refuse_times=None), emulator(), emulator()
    site = update_site([address(refusing), address(held_back), address(also_held_back)], image, jobs=1,
                       max_failures=1)
    assert [(device.result, device.reason) for device in site.devices] == [
        (Result.FAILED, Reason.BLOCK_REFUSED), (Result.NOT_STARTED, Reason.NOT_STARTED),
        (Result.NOT_STARTED, Reason.NOT_STARTED)]
    assert site.counts == {Result.FAILED: 1, Result.NOT_STARTED: 2} and not site.ok
    assert site.devices[1].message == ("not started: 1 devices failed (max_failures=1); the device was not "
                                       "changed")
    assert site.devices[1].details == {"held_by": "max_failures"}
    assert held_back.device.commands == also_held_back.device.commands == []


def test_a_site_in_waves_starts_a_wave_only_once_the_waves_before_it_succeeded(emulator, image):
    refusing, held_back = emulator(refuse_block=0, refuse_times=None), emulator()
    addresses = [address(refusing), address(held_back)]
    site = update_site(addresses, image, waves=[1, "100%"])
    assert [device.result for device in site.devices] == [Result.FAILED, Result.NOT_STARTED]
    assert site.devices[1].details == {"held_by": "wave", "wave": 1}
    assert site.devices[1].message == ("not started: the device of wave 1 (device 1, waves 1,100%) did not "
                                       "succeed; the device was not changed")
    assert held_back.device.commands == []
    for waves, error, words in [("2,1", ValueError, "wave 2 [(]1[)] takes 1 device of the 2, fewer than the 2"),
                                ([0], ValueError, "not '0'"), ([1.5], TypeError, "waves must be"),
                                ("1", ValueError, "not both")]:
        with pytest.raises(error, match=words):
            update_site(addresses, image, waves=waves, canary=1 if words == "not both" else None)
    assert held_back.device.commands == []


def test_verify_tells_runs_and_differs_and_raises_only_when_it_cannot_tell(emulator, image, tmp_path):
    device, history = emulator(), tmp_path / "history.sqlite3"
    update_device(address(device), image, history=history)
    sent_before = len(device.device.commands)
    # The image's header names no version: the history's confirmed load says it runs.
    assert verify_device(address(device), image).result is Result.NOT_CONFIRMED
    assert verify_device(address(device), image, history=history).result is Result.RUNS
    device.device.faults.corrupt_read_offset = 100
    differs = verify_device(address(device), image, window=1)
    assert (differs.result, differs.reason, differs.details, differs.message) == (
        Result.DIFFERS, Reason.READBACK_MISMATCH, {"offset": 100}, "differs at byte offset 100")
    assert set(device.device.commands[sent_before:]) <= READS_BACK
    with pytest.raises(UpdateError) as raised:
        verify_device(f"127.0.0.1:{refused_port()}", image)
    assert raised.value.outcome.reason is Reason.CANNOT_CONNECT


def test_status_shows_what_each_device_reports_beside_its_last_update(emulator, image, tmp_path):
    updated, untouched, history = emulator(), emulator(), tmp_path / "history.sqlite3"
    assert status_of([address(updated)], history=history) [0].last_attempt is None
    assert not history.exists()  # reading does not create it
    update_device(address(updated), image, history=history)
    first, second = status_of([address(updated), address(untouched)], history=history, image=image)
    assert (first.reported.serial, first.reported.fpga_version, first.last_outcome, first.image) == (
        updated.device.fpga.serial_number, "0.2.4.0", "updated", "runs")
    assert (second.last_attempt, second.image) == (None, "differs at byte offset 0")
    assert set(untouched.device.commands) <= READS_BACK


@pytest.mark.parametrize("arguments, error, words", [
    ({"address": "127.0.0.1:0x10"}, ValueError, "expected a port"),
    ({"window": 0}, ValueError, "window must be from 1 to 1024"),
    ({"window": "8"}, TypeError, 'window must be "auto" or an int'),
    ({"device_type": 23}, ValueError, "device_type must be one of"),
    ({"timeout": float("nan")}, ValueError, "timeout must be above 0"),
    ({"progress": "print"}, TypeError, "progress must be callable"),
])
def test_arguments_that_cannot_be_used_are_refused_naming_them(emulator, image, arguments, error, words):
    device = emulator()
    given = {"address": address(device), "image": image, **arguments}
    with pytest.raises(error, match=words):
        update_device(given.pop("address"), given.pop("image"), **given)
    assert device.device.commands == []
