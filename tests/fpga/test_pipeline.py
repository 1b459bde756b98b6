"""Block writes and page reads kept in flight (pipeline_depth above 1), against an emulated
device in this process whose replies arrive split or merged as a test chooses."""

import logging
import os

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.devices.emulator import Device
from orbisk_tools.formats.signed_image import pack


@pytest.fixture
def run_update(tmp_path, make_stream_link):
    """run_update(data, name, depth, chunk=None, **faults): (result, link, progress calls) of _fpgaProgramFile."""
    def run(data, name, depth, chunk=None, **faults):
        return program(tmp_path / name, data, make_stream_link(chunk, **faults), depth)
    return run


def program(path, data, link, depth):
    path.write_bytes(data)
    tool = FpgaTool(link)
    tool.pipeline_depth = depth
    calls = []
    tool.set_progress_callback(lambda *args: calls.append(args))
    result = tool._fpgaProgramFile(str(path), 32)
    return result, link, calls


IMAGE = os.urandom(16 * 37 + 5)


@pytest.mark.parametrize("signed", [False, True])
def test_same_device_commands_and_progress_as_one_at_a_time(run_update, capsys, signed):
    data, name = (pack(IMAGE, 32), "fw.tbin") if signed else (IMAGE, "fw.bin")
    one, single, single_calls = run_update(data, name, 1)
    single_out = capsys.readouterr().out
    for depth, chunk in [(2, None), (8, 1), (64, 7), (64, None)]:  # replies split at every byte, or merged
        result, link, calls = run_update(data, name, depth, chunk)
        assert (result, one) == (True, True)
        assert link.device.commands == single.device.commands
        assert calls == single_calls
        assert link.device.fpga.loaded_image == IMAGE
        assert max(send.count(b"FPGA_PROGRAM #") for send in link.sends) == min(depth, 38)
        assert last_states(capsys.readouterr().out) == last_states(single_out) == [
            "Progress: 100.00% (597/597 bytes)", "Progress: 100.00% (597/597 bytes)"]


@pytest.mark.parametrize("chunk", [1, 5, 21])
def test_pages_split_anywhere_verify_one_at_a_time(run_update, chunk):
    one, single, _ = run_update(IMAGE, "fw.bin", 1)
    result, link, _ = run_update(IMAGE, "fw.bin", 1, chunk)
    assert result is True and link.device.fpga.loaded_image == IMAGE
    assert link.device.commands == single.device.commands


def last_states(out):
    """What the console line shows at the end of each phase."""
    return [line.rsplit("\r", 1)[-1].split(", block time")[0] for line in out.split("\n")[:2]]


def test_refusal_in_a_window_writes_again_one_block_at_a_time(run_update, caplog):
    result, link, calls = run_update(IMAGE, "fw.bin", 16, refuse_block=20, refuse_times=1)
    assert result is True and link.device.fpga.loaded_image == IMAGE
    commands = link.device.commands
    assert commands.count("FPGA_ERASE") == 2 and commands.index("FPGA_ERASE", 1) > commands.index("FPGA_PROGRAM")
    (warning,) = [r.message for r in caplog.records if r.levelno == logging.WARNING]
    assert warning.startswith("FPGA block at byte offset 320 refused with 16 blocks in flight")
    restart = calls.index(("write", 0, len(IMAGE)), 1)
    assert calls[restart:restart + 2] == [("write", 0, len(IMAGE)), ("write", 16, len(IMAGE))]
    # the write again is one exchange at a time, and so is its read-back
    later = link.sends[-1]
    assert later == b"FPGA_READ\r\n"


def test_refusal_for_ever_ends_as_one_at_a_time(run_update):
    result, link, _ = run_update(IMAGE, "fw.bin", 16, refuse_block=3, refuse_times=None)
    assert result is False and link.device.fpga.loaded_image is None
    assert {"FPGA_READ", "FPGA_DONE", "FPGA_REFRESH"}.isdisjoint(link.device.commands)


def test_corrupted_page_loads_nothing(run_update, caplog):
    result, link, _ = run_update(IMAGE, "fw.bin", 32, chunk=5, corrupt_read_offset=300)
    assert result is False and link.device.fpga.loaded_image is None
    assert {"FPGA_DONE", "FPGA_REFRESH"}.isdisjoint(link.device.commands)
    assert "FPGA read-back differs from the image at byte offset 300" in caplog.messages


def test_reply_that_is_no_data_block_loads_nothing(run_update, caplog, monkeypatch):
    monkeypatch.setattr(Device, "read_page", lambda self: b"garbage\r\n")
    result, link, calls = run_update(IMAGE, "fw.bin", 8)
    assert result is False and link.device.fpga.loaded_image is None
    assert calls[-1] == ("verify", 0, len(IMAGE))
    assert "FPGA read-back reply is not a data block; the read-back stops there" in caplog.messages
    assert "FPGA read-back differs from the image at byte offset 0" in caplog.messages


def test_padded_last_page_verifies(run_update):
    result, link, _ = run_update(pack(IMAGE, 32), "fw.tbin", 8, chunk=3, pad_last_page=True)
    assert result is True and link.device.fpga.loaded_image == IMAGE


def test_dropped_connection_ends_the_run(run_update):
    with pytest.raises(ConnectionError):
        run_update(IMAGE, "fw.bin", 8, drop_after_blocks=10)


class TestDepth:
    @pytest.mark.parametrize("depth", [0, -1, 1025, 2**80, "8", 8.0, None, True, False])
    def test_is_checked_when_set(self, conn, depth):
        tool = FpgaTool(conn)
        tool.pipeline_depth = 8
        with pytest.raises((TypeError, ValueError)) as raised:
            tool.pipeline_depth = depth
        if isinstance(depth, int) and not isinstance(depth, bool):
            assert raised.type is ValueError
            assert str(raised.value) == f"pipeline_depth must be from 1 to 1024, not {depth}"
        else:
            assert raised.type is TypeError
            assert str(raised.value) == f"pipeline_depth must be an int, not {type(depth).__name__}"
        assert tool.pipeline_depth == 8 and vars(tool)["pipeline_depth"] == 8

    def test_integers_are_kept_as_int(self, conn):
        class Depth:
            def __index__(self):
                return 16

        tool = FpgaTool(conn)
        assert FpgaTool.pipeline_depth.__doc__.startswith("Commands an update keeps in flight")
        assert tool.pipeline_depth == 1
        for depth, kept in [(1024, 1024), (1, 1), (Depth(), 16), (logging.INFO, 20)]:
            tool.pipeline_depth = depth
            assert type(tool.pipeline_depth) is int and tool.pipeline_depth == kept

    @pytest.mark.parametrize("how", ["instance dict", "subclass"])
    def test_a_depth_that_bypasses_the_check_is_refused_before_any_command(self, tmp_path, make_stream_link, how):
        link = make_stream_link()
        if how == "subclass":
            ignored = property(lambda self: True, lambda self, depth: None)
            tool = type("Tool", (FpgaTool,), {"pipeline_depth": ignored})(link)
        else:
            tool = FpgaTool(link)
            tool.__dict__["pipeline_depth"] = 0
        path = tmp_path / "fw.bin"
        path.write_bytes(b"image")
        with pytest.raises((TypeError, ValueError), match="^pipeline_depth must be"):
            tool._fpgaProgramFile(str(path), 32)
        assert link.device.commands == []

    def test_a_tool_without_a_depth_works_one_at_a_time(self, tmp_path, make_stream_link):
        class Tool(FpgaTool):
            def __init__(self, connection):  # sets what the update needs, but not pipeline_depth
                self._conn, self.progress_callback = connection, None

        path = tmp_path / "fw.bin"
        path.write_bytes(IMAGE)
        never_set = Tool(make_stream_link())
        deleted = FpgaTool(make_stream_link())
        deleted.pipeline_depth = 8
        del deleted.pipeline_depth
        del deleted.pipeline_depth
        for tool in (never_set, deleted):
            assert tool.pipeline_depth == 1 and "pipeline_depth" not in vars(tool)
            assert tool._fpgaProgramFile(str(path), 32) is True and tool._conn.sends == [b"FPGA_READ\r\n"] * 38


def test_reply_line_left_over_never_ends_the_write_early(tmp_path, make_stream_link):
    # A line already waiting (a late reply to an earlier command) puts every reply one line late.
    link = make_stream_link()
    link.outgoing += b"0\r\n"
    result, link, _ = program(tmp_path / "fw.bin", IMAGE, link, 8)
    assert link.device.commands.count("FPGA_PROGRAM") == 38
    assert link.device.fpga.loaded_image in (None, IMAGE)


def test_data_block_nobody_asked_for_never_raises_the_reads_in_flight(run_update, monkeypatch):
    read_page = Device.read_page
    pages = []

    def first_page_twice(self):
        page = read_page(self)
        pages.append(page)
        return page * 2 if len(pages) == 1 else page

    monkeypatch.setattr(Device, "read_page", first_page_twice)
    result, link, _ = run_update(IMAGE, "fw.bin", 8)
    assert result is False and link.device.fpga.loaded_image is None
    assert max(send.count(b"FPGA_READ") for send in link.sends) == 8
