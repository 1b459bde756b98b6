"""Commands in flight chosen by the tools: the probe of the link, the update with no --window,
the second try after a fault with commands in flight, and the erase's own time-out."""

import functools
import json
import os
import re
import socket
import threading

import pytest
from orbisk.VornFpga import FpgaTool
from orbisk.VornPublic import RetCode

from orbisk_tools.engine import locks, runner, targets, window
from orbisk_tools.engine.settings import Settings
from orbisk_tools.engine.advice import CANNOT_ASK
from orbisk_tools.formats import protocol
from orbisk_tools.formats.signed_image import pack
from orbisk_tools.engine.window import MAX_DEPTH, MIN_DEPTH, ONE_AT_A_TIME, PROBE, ROUND_TRIPS, depth_for, probe_pipeline_depth

from tests.e2e import command_line

run = functools.partial(command_line.run, timeout=60)

READ_ONLY = set(PROBE)


@pytest.fixture
def image_file(tmp_path):
    image = os.urandom(3000)
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(image, 32))
    return image, path


def json_update(device, path, *options):
    """orbisk-fpga update of one device with --json -: (process, the device's JSON outcome)."""
    result = run("update", "--address", f"{device.host}:{device.port}", "--json", "-", *options, path)
    return result, (json.loads(result.stdout)["devices"][0] if result.stdout else None)


# What an update reads of a device of type 32 first, before it chooses a window.
FACTS = ["GET_SN", "FPGA_GET_ID", "GET_FPGA_VER", "GET_FW_VER"]


def probed_commands(device):
    """The commands the device took after the update read its facts, before the update's first change."""
    commands = device.device.commands
    assert commands[: len(FACTS)] == FACTS
    commands = commands[len(FACTS):]
    return commands[: next((i for i, word in enumerate(commands) if word not in READ_ONLY), len(commands))]


class TestProbe:
    def test_a_command_stream_gets_a_window_from_read_only_queries(self, emulator, connect):
        device = emulator(latency=0.002)
        before = repr(device.device.fpga)
        conn = connect(device)
        depth = probe_pipeline_depth(conn)
        assert MIN_DEPTH <= depth <= MAX_DEPTH and depth & (depth - 1) == 0
        assert device.device.commands == list(PROBE) * ROUND_TRIPS
        assert repr(device.device.fpga) == before
        assert conn.sendCmd("GET_SN\r\n", None).RetData == device.device.fpga.serial_number  # nothing left over

    def test_a_device_that_answers_only_the_first_command_gets_depth_1(self, emulator, connect):
        device = emulator(one_command_per_read=True)
        conn = connect(device)
        assert probe_pipeline_depth(conn, timeout=0.2) == 1
        assert device.device.commands == [PROBE[0]]
        assert conn.sendCmd("GET_SN\r\n", None).RetData == device.device.fpga.serial_number

    def test_replies_that_come_after_the_wait_are_never_taken_for_later_commands(self, connect):
        with LateReplies() as device:
            conn = connect(device)
            assert probe_pipeline_depth(conn, timeout=0.2) == 1
            device.late.set()  # the rest of the probe's replies, on the first socket
            assert conn.sendCmd("GET_SN\r\n", None).RetData == "answer 1 of connection 2"

    def test_a_tool_is_probed_on_its_own_connection_which_it_keeps(self, emulator):
        device = emulator(one_command_per_read=True)
        with FpgaTool(address=device.host, port=device.port) as tool:
            assert probe_pipeline_depth(tool, timeout=0.2) == 1  # its connection closed and opened again
            assert tool.initFpga(32).RetCode is RetCode.OK
        assert device.device.commands[0] == PROBE[0]

        class Lent:  # a connection that cannot be opened again
            def sendRawBytes(self, data):
                pass

        with pytest.raises(TypeError, match="the tool's connection, a Lent, cannot be opened again"):
            probe_pipeline_depth(FpgaTool(Lent()))

    def test_a_reply_without_end_is_refused_past_its_limit(self):
        class Endless:
            def sendRawBytes(self, data):
                pass

            def recvRawBytes(self, size):
                return b"x" * size

        with pytest.raises(protocol.ReplyTooLong, match="longer than 4096 bytes") as raised:
            probe_pipeline_depth(Endless())
        assert raised.value.limit == protocol.MAX_REPLY_LINE

    def test_a_silent_device_is_a_time_out(self, emulator, connect):
        device = emulator(silent_after=0)
        with pytest.raises(TimeoutError):
            probe_pipeline_depth(connect(device, timeout=0.3))

    def test_the_window_covers_the_round_trip_within_the_module_s_limits(self):
        depths = [depth_for(seconds) for seconds in (0.0, 1e-5, 1e-4, 1e-3, 1e-2, 1.0)]
        assert depths == sorted(depths) and depths[0] == MIN_DEPTH and depths[-1] == MAX_DEPTH
        assert all(depth & (depth - 1) == 0 for depth in depths)
        assert depth_for(1e-3) > MIN_DEPTH  # a millisecond's link wants more than the minimum


class LateReplies:
    """A device on 127.0.0.1 that answers the first command of each read at once, and the rest
    of the first connection's only when `late` is set; replies say which connection took them."""

    def __init__(self):
        self.host = "127.0.0.1"
        self.late = threading.Event()
        self._server = socket.create_server((self.host, 0))
        self.port = self._server.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.late.set()
        self._server.close()
        self._thread.join(timeout=5)

    def _serve(self):
        for number in (1, 2):
            try:
                client, _ = self._server.accept()
            except OSError:
                return
            with client:
                lines = client.recv(4096).count(b"\n")
                client.sendall(f"answer 1 of connection {number}\r\n".encode())
                if number == 1:
                    self.late.wait(10)
                    try:
                        client.sendall(b"".join(b"late answer %d\r\n" % i for i in range(2, lines + 1)))
                    except OSError:
                        pass


class TestUpdateWithNoWindowGiven:
    def test_a_device_that_takes_commands_in_flight_gets_them(self, emulator, image_file):
        image, path = image_file
        device = emulator(latency=0.001)
        result, outcome = json_update(device, path)
        assert result.returncode == 0, result.stderr
        assert outcome["result"] == "updated" and outcome["window"] > 1
        assert ONE_AT_A_TIME not in result.stderr
        assert probed_commands(device) == list(PROBE) * ROUND_TRIPS  # read-only, and before any change
        assert device.device.fpga.loaded_image == image

    def test_a_device_that_takes_one_command_per_read_is_updated_one_at_a_time(self, emulator, image_file):
        image, path = image_file
        device = emulator(one_command_per_read=True)
        result, outcome = json_update(device, path)
        assert result.returncode == 0, result.stderr
        notes = [line for line in result.stderr.splitlines() if ONE_AT_A_TIME in line]
        assert len(notes) == 1 and notes[0].endswith(f"{device.host}:{device.port}: {ONE_AT_A_TIME}")
        assert outcome["window"] == 1
        assert probed_commands(device) == [PROBE[0]]
        assert device.device.fpga.loaded_image == image

    def test_an_explicit_window_is_exactly_that(self, emulator, image_file):
        _, path = image_file
        device = emulator(one_command_per_read=True)
        result, outcome = json_update(device, path, "--window", 8, "--timeout", 0.3)
        assert result.returncode == 1 and outcome["window"] == 8
        assert ONE_AT_A_TIME not in result.stderr
        assert probed_commands(device) == []  # no probe
        assert device.device.fpga.loaded_image is None


@pytest.mark.parametrize("window", [("--window", 1), ()])
def test_replies_sent_in_pieces_are_read_whole_at_any_window(emulator, tmp_path, window):
    image, path = os.urandom(1000), tmp_path / "fw.bin"
    path.write_bytes(image)
    device = emulator(split_replies=True)  # a page's reply arrives in five pieces
    result, outcome = json_update(device, path, *window)
    assert result.returncode == 0, result.stderr
    assert outcome["result"] == "updated" and (outcome["window"] == 1) == bool(window)
    assert device.device.fpga.loaded_image == image
    verified = run("verify", "--address", f"{device.host}:{device.port}", *window, path)
    assert verified.returncode == 0 and f"{device.host}:{device.port}: runs the image" in verified.stdout, verified.stderr


class RecordingView:
    """Keeps the notes the fleet shows, and runs `on_note` at each; shows nothing else."""

    def __init__(self, on_note=lambda: None):
        self.notes, self.on_note = [], on_note

    def __getattr__(self, name):  # phase, progress, finished
        return lambda *args: None

    def note(self, text):
        self.notes.append(text)
        self.on_note()


@pytest.fixture
def update_one(image_file):
    """update_one(device, view, **settings): the fleet's Outcome of updating `device`."""
    folder = locks.open_lock_folder()

    def update(device, view, **settings):
        target = targets.Target(device.host, device.port)
        settings = Settings(**{"image": str(image_file[1]), "device_type": 32, "timeout": 0.3,
                                     "window": None, "lock_folder": folder, **settings})
        outcomes, interrupted = runner.update_devices({target: [device.host]}, settings, view, 1)
        assert not interrupted
        return outcomes[0]

    yield update
    os.close(folder)


# The commands an update sends before its first block: its facts, the probe, the erase and the page pointer.
BEFORE_BLOCKS = len(FACTS) + len(PROBE) * ROUND_TRIPS + 2


def history_row():
    """The newest attempt in the update history."""
    return json.loads(run("history", "--limit", 1, "--json").stdout)[0]


class TestTryingOnceMore:
    """A fault with commands in flight, at the window the tool chose: the whole update once more,
    at that window unless the device now shows that it takes one command per read."""

    def test_a_link_lost_once_is_updated_again_at_the_window_learned(self, emulator, image_file):
        image, path = image_file
        device = emulator(drop_after_blocks=50)
        result, outcome = json_update(device, path)
        assert result.returncode == 0, result.stderr
        assert outcome["result"] == "updated" and outcome["window"] > 1
        assert outcome["bytes_written"] == len(image)
        said = [line for line in result.stderr.splitlines() if "trying once more" in line]
        assert len(said) == 1 and said[0].endswith(f"{device.host}:{device.port}: connection lost at byte {50 * 16}; "
                                                   f"trying once more with {outcome['window']} commands in flight")
        assert ONE_AT_A_TIME not in result.stderr
        assert device.device.fpga.loaded_image == image
        row = history_row()
        assert (row["window_size"], row["bytes_written"]) == (outcome["window"], len(image))

    def test_a_device_that_now_takes_one_command_per_read_is_updated_one_at_a_time(self, emulator, image_file):
        image, path = image_file
        device = emulator(one_command_per_read_after=BEFORE_BLOCKS + 20)  # from the first window on
        result, outcome = json_update(device, path, "--timeout", 0.5)
        assert result.returncode == 0, result.stderr
        assert outcome["result"] == "updated" and outcome["window"] == 1
        said = [line for line in result.stderr.splitlines() if ONE_AT_A_TIME in line]
        assert len(said) == 1
        assert re.search(rf"{device.host}:{device.port}: no answer within 0.5 s at byte \d+; {ONE_AT_A_TIME}$", said[0])
        assert device.device.fpga.loaded_image == image
        assert history_row()["window_size"] == 1

    def test_a_device_silent_mid_write_fails_after_its_time_out_as_a_lost_link(self, emulator, image_file, tmp_path):
        _, path = image_file
        device = emulator(silent_after=BEFORE_BLOCKS + 50)
        report = tmp_path / "report.json"
        target = f"{device.host}:{device.port}"
        result = run("update", "--address", target, "--timeout", 0.5, "--erase-timeout", 5, "--json", report, path)
        assert result.returncode == 1
        # Asked again what it runs, the silent device cannot say.
        assert result.stderr == f"orbisk-fpga: error: {target}: no answer within 0.5 s while writing; {CANNOT_ASK}\n"
        assert device.device.commands.count("FPGA_ERASE") == 1  # the second try went no further than the probe
        [outcome] = json.loads(report.read_text())["devices"]
        acknowledged = 50 * 16
        assert (outcome["reason"], outcome["phase"], outcome["device_state"]) == ("timeout", "write", "erased")
        assert outcome["bytes_written"] == acknowledged == len(device.device.fpga.memory) and outcome["window"] > 1
        row = history_row()
        assert (row["device_state"], row["bytes_written"], row["window_size"]) == ("erased", acknowledged,
                                                                                   outcome["window"])

    def test_a_block_refused_in_a_window_is_recorded_at_the_window_the_module_wrote_again_at(self, emulator,
                                                                                              image_file):
        image, path = image_file
        device = emulator(refuse_block=50)
        result, outcome = json_update(device, path)
        assert result.returncode == 0, result.stderr
        assert outcome["window"] == history_row()["window_size"] == 1
        assert re.search(rf"{device.host}:{device.port}: the device refused the block at byte {50 * 16} with \d+ "
                         "commands in flight; writing the image again from the erase, one command at a time$",
                         result.stderr, re.MULTILINE)
        assert "trying once more" not in result.stderr and ONE_AT_A_TIME not in result.stderr
        assert device.device.fpga.loaded_image == image


class TestFallback:
    def test_a_stall_in_a_window_is_tried_once_more_at_the_window_learned(self, emulator, update_one, image_file,
                                                                          monkeypatch):
        device = emulator(silent_after=BEFORE_BLOCKS + 20)  # answers the probe, then stops in the first window
        probe = window.probe_pipeline_depth
        depths = []

        def probe_after_the_stall(conn):
            if depths:  # by the time the device is asked again, it answers
                device.faults.silent_after = None
            depths.append(probe(conn))
            return depths[-1]

        monkeypatch.setattr(window, "probe_pipeline_depth", probe_after_the_stall)
        view = RecordingView()
        outcome = update_one(device, view)
        assert outcome.result == "updated", outcome.message
        assert len(depths) == 2 and outcome.window == depths[0] > 1
        assert view.notes == [f"{device.host}:{device.port}: no answer within 0.3 s at byte {20 * 16}; "
                              f"trying once more with {depths[0]} commands in flight"]
        assert device.device.fpga.loaded_image == image_file[0]


class TestEraseTimeOut:
    def test_an_erase_longer_than_the_time_out_is_waited_for(self, tmp_path):  # a device with timings of its own
        from orbisk_tools.devices.emulator import DeviceEmulator, Faults

        image = os.urandom(500)
        path = tmp_path / "fw.tbin"
        path.write_bytes(pack(image, 32))
        with DeviceEmulator(port=0, faults=Faults(erase_seconds=1.5, write_rate=1e6)) as device:
            target = f"{device.host}:{device.port}"
            result = run("update", "--address", target, "--timeout", 0.5, path)
            assert result.returncode == 0, result.stderr
            assert device.device.fpga.loaded_image == image
            # Last: the device goes on erasing after the update gave up.
            short = run("update", "--address", target, "--timeout", 0.5, "--erase-timeout", 0.5, "--force", path)
            assert short.returncode == 1
            # Still erasing, it cannot be asked what it runs either.
            assert short.stderr == f"orbisk-fpga: error: {target}: no answer within 0.5 s while erasing; {CANNOT_ASK}\n"
