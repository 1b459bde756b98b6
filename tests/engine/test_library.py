"""The engine as a library: Ctrl-C keeps the results, logging stays the script's, a device named
twice is updated once, and the asyncio functions stop their devices when cancelled."""

import asyncio
import json
import signal
import subprocess
import sys
import textwrap
import threading

import pytest

from orbisk_tools import Reason, Result, UpdateInterrupted, update_device_async, update_site, update_site_async
from tests.engine.conftest import RAW
from tests.engine.test_api import address

# A script that updates the devices of argv[2:] with the image argv[1] and prints how each was left.
SCRIPT = textwrap.dedent("""
    import json, sys
    from orbisk_tools import UpdateInterrupted, update_device, update_site
    image, addresses = sys.argv[1], sys.argv[2:]
    try:
        if len(addresses) == 1:
            update_device(addresses[0], image, window=1)
        else:
            update_site(addresses, image, window=1)
    except UpdateInterrupted as stopped:
        results = [stopped.result] if len(addresses) == 1 else list(stopped.result.devices)
        print(json.dumps([[r.address, r.result, r.reason, r.device_state] for r in results]))
        sys.exit(130)
""")


@pytest.mark.parametrize("count", [1, 3])
def test_ctrl_c_raises_update_interrupted_with_every_device_as_it_was_left(emulator, hold_at_block, image, count):
    devices = [emulator() for _ in range(count)]
    reached, release = hold_at_block(devices[0], 5)
    script = subprocess.Popen([sys.executable, "-c", SCRIPT, str(image), *map(address, devices)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert reached.wait(30)
        script.send_signal(signal.SIGINT)
    finally:
        release.set()
    shown, errors = script.communicate(timeout=60)
    assert script.returncode == 130, errors
    left = json.loads(shown)
    assert left[0] == [address(devices[0]), "interrupted", "interrupted", "erased"]
    assert all(row[1] in ("interrupted", "not started", "updated") for row in left)


def test_an_interrupt_of_the_progress_callback_is_no_exception_and_keeps_the_results(emulator, image):
    device, other = emulator(), emulator()

    def progress(address, stage, current, total):
        if stage == "write" and current:
            raise KeyboardInterrupt

    with pytest.raises(UpdateInterrupted) as raised:
        update_site([address(device), address(other)], image, jobs=1, progress=progress)
    assert [(d.result, d.reason) for d in raised.value.result.devices] == [
        (Result.INTERRUPTED, Reason.INTERRUPTED), (Result.NOT_STARTED, Reason.NOT_STARTED)]
    assert raised.value.result.devices[1].details == {"held_by": "interrupt"}
    assert isinstance(raised.value.__cause__, KeyboardInterrupt) and not isinstance(raised.value, Exception)


def test_the_engine_leaves_the_scripts_logging_as_it_was(emulator, image):
    device = emulator()
    script = textwrap.dedent(f"""
        import logging, sys
        from orbisk_tools import update_device
        root = logging.getLogger()
        before = (list(root.handlers), root.level)
        update_device({address(device)!r}, {str(image)!r})
        assert (list(root.handlers), root.level) == before, (root.handlers, root.level)
        assert "orbisk.VornFpga" in sys.modules
    """)
    ran = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0 and ran.stdout == "", ran.stderr


def test_a_device_named_by_two_addresses_is_updated_once(emulator, also_listening, image):
    device = emulator()
    other = also_listening(device, "127.0.0.2")
    site = update_site([address(device), f"127.0.0.2:{other}"], image, jobs=1)  # the first ends before the second
    assert [(d.result, d.reason) for d in site.devices] == [(Result.UPDATED, None),
                                                            (Result.FAILED, Reason.NAMED_TWICE)]
    assert device.device.commands.count("FPGA_ERASE") == 1


def test_a_cancelled_async_update_stops_its_devices_and_keeps_the_result(emulator, hold_at_block, image):
    device, again = emulator(), emulator()
    reached, release = hold_at_block(device, 5)

    async def main():
        with pytest.raises(TimeoutError) as raised:
            async with asyncio.timeout(0.5):  # the device holds its answer to block 5 for longer
                await update_site_async([address(device)], image, window=1)
        return raised.value.__cause__.result

    threading.Timer(1.0, release.set).start()  # the device answers again once the time is out
    site = asyncio.run(main())
    assert reached.is_set()
    assert [(d.result, d.reason) for d in site.devices] == [(Result.INTERRUPTED, Reason.CANCELLED)]
    assert device.device.fpga.loaded_image is None
    assert asyncio.run(update_device_async(address(again), image)).result == Result.UPDATED
    assert again.device.fpga.loaded_image == RAW
