"""FpgaTool and BeamHopper as a script uses them, against the emulated device: progress
reports, the console line, the tool's life, and the example device's documented sequence."""

import contextlib
import io
import logging
import os
import socket

import pytest

from orbisk.VornFpga import FpgaConnectError, FpgaTool
from orbisk.VornPublic import FBSMode, RFMode
from orbisk.VornUtils import RetCode
from orbisk_tools.devices.example_device import ExampleDevice
from orbisk_tools.formats.signed_image import pack
from tests.conftest import UNKNOWN_DEVICE_TYPE

IMAGE = os.urandom(33)


@pytest.fixture
def device(emulator):
    return emulator()


@pytest.fixture
def tool(device):
    with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
        yield tool


@pytest.fixture
def raw_image(tmp_path):
    path = tmp_path / "fw.bin"
    path.write_bytes(IMAGE)
    return str(path)


def loaded(device):
    return device.device.fpga.loaded_image


class TestProgressReports:
    @pytest.mark.parametrize("signed", [False, True])
    def test_a_callback_that_divides_by_the_total_runs_to_the_end(self, tool, device, tmp_path, signed):
        path = tmp_path / ("fw.tbin" if signed else "fw.bin")
        path.write_bytes(pack(IMAGE, 32) if signed else IMAGE)
        calls, percents = [], []

        def callback(stage, done, total):
            calls.append((stage, done, total))
            percents.append(100 * done / total)

        tool.set_progress_callback(callback)
        assert tool.processFpgaUpdate(str(path), 32).RetCode is RetCode.OK
        assert loaded(device) == IMAGE
        assert calls[0] == ("write", 0, 33) and calls[-1] == ("verify", 33, 33)
        assert max(percents) == 100

    @pytest.mark.parametrize("refused", [42, "print"])
    def test_a_callback_that_cannot_be_called_is_refused_when_set(self, tool, refused):
        with pytest.raises(TypeError, match=r"argument 'callback' must be callable or None, not "):
            tool.set_progress_callback(refused)
        assert tool.progress_callback is None
        tool.set_progress_callback(print)
        tool.set_progress_callback(None)
        assert tool.progress_callback is None

    def test_a_device_type_without_an_erase_is_warned_of_once(self, emulator, raw_image, caplog):
        device = emulator(erased=True)  # without an erase, flash takes an image only where it is erased
        with FpgaTool(address=device.host, port=device.port, timeout=2.0) as tool:
            assert tool.processFpgaUpdate(raw_image, UNKNOWN_DEVICE_TYPE).RetCode is RetCode.OK
        warnings = [r.message for r in caplog.records if r.levelno == logging.WARNING]
        assert warnings == [f"FPGA device type {UNKNOWN_DEVICE_TYPE} has no erase command; the image is written over "
                            "the configuration memory as it is"]
        assert "FPGA_ERASE" not in device.device.commands and loaded(device) == IMAGE


class BrokenPipe(io.StringIO):
    def write(self, text):
        raise BrokenPipeError(32, "Broken pipe")


class NoWrite:
    pass


class TestConsoleLine:
    @pytest.mark.parametrize("stdout", [BrokenPipe(), NoWrite()], ids=["broken pipe", "no write"])
    def test_a_line_that_cannot_be_written_does_not_stop_the_update(self, tool, device, raw_image, caplog, stdout):
        caplog.set_level(logging.DEBUG, "FPGA")
        with contextlib.redirect_stdout(stdout):
            ret = tool.processFpgaUpdate(raw_image, 32)
        assert ret.RetCode is RetCode.OK and loaded(device) == IMAGE
        off = [r for r in caplog.records if r.message.startswith("Progress line off")]
        assert len(off) == 1 and off[0].levelno == logging.DEBUG
        # the next update tries the line again
        console = io.StringIO()
        with contextlib.redirect_stdout(console):
            tool.processFpgaUpdate(raw_image, 32)
        assert console.getvalue().count("\rProgress: ") == 6

    def test_console_progress_false_writes_nothing(self, tool, device, raw_image, capsys):
        tool.console_progress = False
        calls = []
        tool.set_progress_callback(lambda *report: calls.append(report))
        assert tool.processFpgaUpdate(raw_image, 32).RetCode is RetCode.OK
        assert capsys.readouterr().out == "" and len(calls) == 8

    def test_an_update_that_raises_ends_the_line_first(self, tool, raw_image, capsys):
        def stop(stage, done, total):
            if done == 32:
                raise KeyboardInterrupt

        tool.set_progress_callback(stop)
        with pytest.raises(KeyboardInterrupt):
            tool.processFpgaUpdate(raw_image, 32)
        out = capsys.readouterr().out
        assert out.rsplit("\r", 1)[1].startswith("Progress: 96.97% (32/33 bytes)") and out.endswith(" sec\n")
        assert out.count("\n") == 1
        assert tool.last_outcome.reason == "callback_error" and tool.last_outcome.device_state == "erased"


class TestLifecycle:
    def test_with_closes_the_connection(self, device, caplog):
        caplog.set_level(logging.INFO, "FPGA")
        with FpgaTool(address=device.host, port=device.port) as tool:
            assert tool.initFpga(32).RetCode is RetCode.OK
        assert caplog.messages[-1] == "Disconnected from FPGA device."
        assert tool.initFpga(32).RetCode is RetCode.ERROR  # the connection is closed
        with pytest.raises(ZeroDivisionError):
            with FpgaTool(address=device.host, port=device.port) as failing:
                1 / 0
        assert caplog.messages[-1] == "Disconnected from FPGA device."
        assert failing.initFpga(32).RetCode is RetCode.ERROR
        closed = FpgaTool(address=device.host, port=device.port)
        closed.close()
        assert closed.initFpga(32).RetCode is RetCode.ERROR

    def test_timeout_goes_to_the_tools_own_connection(self, device):
        with FpgaTool(address=device.host, port=device.port, timeout=0.5) as tool:
            assert tool._conn.timeout == 0.5
        with FpgaTool(address=device.host, port=device.port) as tool:
            assert tool._conn.timeout == 5.0
        for refused, error in [(0, ValueError), (-1, ValueError), (float("nan"), ValueError), ("2", TypeError)]:
            with pytest.raises(error, match="timeout"):
                FpgaTool(address=device.host, port=device.port, timeout=refused)

    def test_a_refused_connection_says_why(self):
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            port = unused.getsockname()[1]
            with pytest.raises(FpgaConnectError) as info:
                FpgaTool(address="127.0.0.1", port=port)
        assert isinstance(info.value, ConnectionError)
        assert str(info.value) == f"Cannot connect to 127.0.0.1:{port}"
        assert info.value.reason == "connection_refused" and isinstance(info.value.__cause__, ConnectionRefusedError)


class TestExampleDevice:
    def test_the_documented_sequence_ends_with_the_beams_applied(self, device, monkeypatch):
        monkeypatch.setattr(ExampleDevice, "settle_time", 0.0)
        beams = device.device.beams
        with ExampleDevice(device.host, device.port, timeout=2.0) as example:
            assert example.setFastParallelMode(True).RetCode is RetCode.OK
            assert example.setFastBeamGain(RFMode.TX, beam_id=3, enable=True, com_gain=5).RetCode is RetCode.OK
            assert example.setFastBeamPatternThetaPhi(3, 28.0e9, 30.0, 45.0).RetCode is RetCode.OK
            assert example.syncFastBeamConfig().RetCode is RetCode.OK
            assert example.getFastBeamGain(RFMode.TX, 3).RetData == {"enable": True, "com_gain": 5, "ele_gain": 0}
            assert beams.applied == beams.stored and len(beams.applied) == 2
            assert (beams.external_control, beams.fbs_mode) == (1, int(FBSMode.FULL_GAIN_PHASE))
            assert example.eraseFastBeamConfig().RetCode is RetCode.OK
            assert example.syncFastBeamConfig().RetCode is RetCode.OK
            assert beams.applied == beams.stored == {}
