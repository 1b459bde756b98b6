"""Whole FPGA updates through a real socket, against the emulated device, with and without faults."""

import logging
import os
import time

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk.VornPublic import RetCode
from orbisk_tools.formats.signed_image import pack


def image_file(tmp_path, data, name):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("signed", [False, True])
@pytest.mark.parametrize("device_type", [28, 32])
def test_initialise_and_update(emulator, tmp_path, signed, device_type):
    device = emulator()
    image = os.urandom(16 * 20 + 5)
    path = image_file(tmp_path, pack(image, device_type) if signed else image, "fw.tbin" if signed else "fw.bin")
    tool = FpgaTool(address=device.host, port=device.port)
    try:
        init = tool.initFpga(device_type)
        assert init.RetCode is (RetCode.OK if device_type == 32 else RetCode.WARNING)
        ret = tool.processFpgaUpdate(path, device_type)
    finally:
        tool.disconnect()
    assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.2.4.0"}
    assert device.device.fpga.loaded_image == image
    assert device.device.fpga.config_mode == ("TRANS" if device_type == 32 else "")


def test_block_refused_twice_is_sent_again(emulator, connect, tmp_path):
    device = emulator(refuse_block=3, refuse_times=2)
    image = os.urandom(100)
    ret = FpgaTool(connect(device)).processFpgaUpdate(image_file(tmp_path, image, "fw.bin"), 32)
    assert ret.RetCode is RetCode.OK and device.device.fpga.loaded_image == image
    assert device.device.fpga.block_attempts == 7 + 2


def test_block_refused_for_ever_ends_in_bounded_attempts(emulator, connect, tmp_path):
    device = emulator(refuse_block=2, refuse_times=None)
    ret = FpgaTool(connect(device)).processFpgaUpdate(image_file(tmp_path, os.urandom(100), "fw.bin"), 32)
    assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
    assert device.device.commands.count("FPGA_PROGRAM") == 2 + 10
    assert {"FPGA_READ", "FPGA_DONE", "FPGA_REFRESH"}.isdisjoint(device.device.commands)
    assert device.device.fpga.loaded_image is None


def test_bad_read_back_loads_nothing(emulator, connect, tmp_path):
    device = emulator(corrupt_read_offset=1000)
    tool = FpgaTool(connect(device))
    ret = tool.processFpgaUpdate(image_file(tmp_path, os.urandom(4000), "fw.bin"), 32)
    assert ret.RetMsg == "FPGA update process failed."
    assert {"FPGA_DONE", "FPGA_REFRESH"}.isdisjoint(device.device.commands)
    assert device.device.fpga.loaded_image is None
    assert tool.initFpga(32).RetData["fpga_version"] == "0.2.3.4"  # still the previous image


@pytest.mark.parametrize("signed", [False, True])
def test_device_that_pads_the_last_page_is_updated(emulator, connect, tmp_path, signed):
    device = emulator(pad_last_page=True)
    image = os.urandom(16 * 9 + 7)
    path = image_file(tmp_path, pack(image, 32) if signed else image, "fw.tbin" if signed else "fw.bin")
    assert FpgaTool(connect(device)).processFpgaUpdate(path, 32).RetCode is RetCode.OK
    assert device.device.fpga.loaded_image == image


def test_late_reply_is_never_taken_for_the_next_command(emulator, connect, tmp_path, caplog):
    caplog.set_level(logging.INFO, "orbisk.VornCommService")
    device = emulator(reply_delay=0.5)
    tool = FpgaTool(connect(device, timeout=0.2))
    with pytest.raises(TimeoutError):
        tool._fpgaGetId()
    device.faults.reply_delay = 0
    init = tool.initFpga(32)
    assert init.RetCode is RetCode.OK, init.RetMsg
    assert (init.RetData["fpga_id"], init.RetData["fpga_version"]) == ("0x0362D093", "0.2.3.4")
    assert any(r.levelno == logging.INFO and r.name == "orbisk.VornCommService" for r in caplog.records)

    # An interrupt between sending a read-back command and taking its reply.
    def interrupted(**kwargs):
        raise KeyboardInterrupt

    tool._getRecv = interrupted
    reads = device.device.commands.count("FPGA_READ")
    with pytest.raises(KeyboardInterrupt):
        tool._fpgaRead()
    del tool._getRecv
    # The device takes that read as a device would, whenever it comes: it moves the page pointer,
    # which the update resets before its read-back; wait until it did.
    for _ in range(600):
        with device.device.lock:
            if device.device.commands.count("FPGA_READ") > reads:
                break
        time.sleep(0.01)
    image = os.urandom(100)
    assert tool.processFpgaUpdate(image_file(tmp_path, image, "fw.bin"), 32).RetCode is RetCode.OK
    assert device.device.fpga.loaded_image == image


def test_dropped_connection_then_a_new_tool_completes(emulator, connect, tmp_path):
    device = emulator(drop_after_blocks=3)
    image = os.urandom(100)
    path = image_file(tmp_path, image, "fw.bin")
    with pytest.raises(ConnectionError):
        FpgaTool(connect(device)).processFpgaUpdate(path, 32)
    assert device.device.commands[-1] == "FPGA_PROGRAM" and device.device.commands.count("FPGA_PROGRAM") == 4
    assert FpgaTool(connect(device)).processFpgaUpdate(path, 32).RetCode is RetCode.OK
    assert device.device.fpga.loaded_image == image


def test_silent_device_times_out(emulator, connect, tmp_path):
    device = emulator(silent_after=5)
    tool = FpgaTool(connect(device, timeout=0.3))
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        tool.processFpgaUpdate(image_file(tmp_path, os.urandom(100), "fw.bin"), 32)
    assert time.monotonic() - start < 2


def test_unknown_command_gets_an_error_reply(emulator, connect):
    device = emulator()
    tool = FpgaTool(connect(device))
    assert tool._sendCmd("NOT_A_COMMAND").startswith("ERR")
    assert tool._fpgaGetSerialNumber() == f"VORN-{device.port:06d}"


class TestCommandsInFlight:
    def test_update_over_a_link_with_latency(self, emulator, connect, tmp_path):
        device = emulator(latency=0.002)
        image = os.urandom(16 * 200 + 3)
        tool = FpgaTool(connect(device))
        tool.pipeline_depth = 32
        assert tool.processFpgaUpdate(image_file(tmp_path, pack(image, 32), "fw.tbin"), 32).RetCode is RetCode.OK
        assert device.device.fpga.loaded_image == image

    @pytest.mark.parametrize("error", [RuntimeError("callback failed"), KeyboardInterrupt()])
    def test_replies_in_flight_are_taken_before_an_error_goes_on(self, emulator, connect, tmp_path, error):
        device = emulator(latency=0.005)
        tool = FpgaTool(connect(device))
        tool.pipeline_depth = 16
        calls = []

        def callback(stage, current, total):
            calls.append(stage)
            if stage == "verify" and current == 48:
                raise error

        tool.set_progress_callback(callback)
        with pytest.raises(type(error)):
            tool.processFpgaUpdate(image_file(tmp_path, os.urandom(1000), "fw.bin"), 32)
        tool.set_progress_callback(None)
        init = tool.initFpga(32)
        assert (init.RetData["fpga_id"], init.RetData["fpga_version"]) == ("0x0362D093", "0.2.3.4")
        assert device.device.fpga.loaded_image is None

    def test_device_without_a_command_stream_fails_safely(self, emulator, connect, tmp_path):
        device = emulator(one_command_per_read=True)
        image = os.urandom(500)
        path = image_file(tmp_path, image, "fw.bin")
        tool = FpgaTool(connect(device, timeout=0.3))
        tool.pipeline_depth = 8
        with pytest.raises(TimeoutError):
            tool.processFpgaUpdate(path, 32)
        assert device.device.fpga.loaded_image is None
        tool.pipeline_depth = 1  # the same device, one command at a time
        assert tool.processFpgaUpdate(path, 32).RetCode is RetCode.OK
        assert device.device.fpga.loaded_image == image


@pytest.mark.parametrize("depth", [1, 8])
def test_verify_an_updated_device_then_a_different_image(emulator, connect, tmp_path, depth):
    device = emulator()
    image = os.urandom(16 * 9 + 3)
    path = image_file(tmp_path, image, "fw.bin")
    tool = FpgaTool(connect(device))
    tool.pipeline_depth = depth
    assert tool.processFpgaUpdate(path, 32).RetCode is RetCode.OK
    ret = tool.verifyFpgaImage(path, 32)
    assert ret.RetCode is RetCode.OK and ret.RetData == {"holds": True, "offset": None}
    other = bytearray(image)
    other[100] ^= 1
    ret = tool.verifyFpgaImage(image_file(tmp_path, bytes(other), "other.bin"), 32)
    assert ret.RetCode is RetCode.ERROR and ret.RetData == {"holds": False, "offset": 100}
    assert tool.last_outcome.device_state == "untouched"
    assert device.device.fpga.loaded_image == image
