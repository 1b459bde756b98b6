"""Writing an image, reading it back, and the update driver around it, against a fake FPGA."""

import io
import logging
import os
import struct

import pytest

import orbisk.VornFpga as vf
from orbisk.VornPublic import RetCode
from orbisk_tools.formats.signed_image import pack
from tests.conftest import UNKNOWN_DEVICE_TYPE

UPDATE_32 = ["FPGA_ERASE", "FPGA_RST_PAGE_PTR", "FPGA_PROGRAM", "FPGA_PROGRAM", "FPGA_PROGRAM",
             "FPGA_RST_PAGE_PTR", "FPGA_READ", "FPGA_READ", "FPGA_READ", "FPGA_DONE", "FPGA_REFRESH", "GET_FPGA_VER"]


@pytest.fixture
def tool(fpga):
    from orbisk.VornFpga import FpgaTool

    return FpgaTool(fpga)


@pytest.fixture
def calls(tool):
    seen = []
    tool.set_progress_callback(lambda *args: seen.append(args))
    return seen


def image_file(tmp_path, data, name="fw.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def progress_lines(out):
    return [line for line in out.replace("\n", "\r").split("\r") if line]


class TestUpdate:
    def test_raw_image_of_33_bytes(self, tool, fpga, calls, tmp_path, capsys, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        fpga.replies["GET_FPGA_VER"] = "0.3.0.0"
        data = os.urandom(33)
        ret = tool.processFpgaUpdate(image_file(tmp_path, data), 32)
        assert ret.RetCode is RetCode.OK
        assert ret.RetData == {"success": True, "error_message": "", "fw_version": "0.3.0.0"}
        assert fpga.commands == UPDATE_32 and fpga.wire[0] == b"FPGA_ERASE 12\r\n"
        assert bytes(fpga.memory) == data
        assert calls == [("write", 0, 33), ("write", 16, 33), ("write", 32, 33), ("write", 33, 33),
                         ("verify", 0, 33), ("verify", 16, 33), ("verify", 32, 33), ("verify", 33, 33)]
        out = capsys.readouterr().out
        shown = [line.split(", block time")[0] for line in progress_lines(out)]
        assert shown == ["Progress: 48.48% (16/33 bytes)", "Progress: 96.97% (32/33 bytes)",
                         "Progress: 100.00% (33/33 bytes)", "Progress: 48.48% (16/33 bytes)",
                         "Progress: 96.97% (32/33 bytes)", "Progress: 100.00% (33/33 bytes)"]
        assert out.count("\n") == 2 and out.startswith("\rProgress: ")
        assert all(line.endswith(" sec") and len(line.split("block time: ")[1]) == len("0.0000 sec")
                   for line in progress_lines(out))
        messages = caplog.messages
        assert messages[messages.index("Verify Data") - 1].startswith("w hash: ")
        assert "Verify Success" in messages and messages[-2:] == [
            "Updated FPGA version: 0.3.0.0", "FPGA update process completed successfully."]

    def test_signed_image_for_device_type_28(self, tool, fpga, calls, tmp_path):
        fpga.replies["GET_FE_INFO"] = '{"fe0": {"fpga_ver": "1.2.0.0"}, "fe1": {"fpga_ver": "9"}}'
        image = os.urandom(40)
        ret = tool.processFpgaUpdate(image_file(tmp_path, pack(image, 28), "fw.TBIN"), device_type=28)
        assert ret.RetData["fw_version"] == "1.2.0.0"
        assert fpga.wire[0] == b"FPGA_ERASE 14\r\n" and fpga.commands[-1] == "GET_FE_INFO"
        assert bytes(fpga.memory) == image
        assert calls[1:4] == [("write", 16, 40), ("write", 32, 40), ("write", 40, 40)]

    @pytest.mark.parametrize("info, version", [("{}", ""), ('{"fe0": {}}', "")])
    def test_device_type_28_without_a_version(self, tool, fpga, tmp_path, info, version):
        fpga.replies["GET_FE_INFO"] = info
        assert tool.processFpgaUpdate(image_file(tmp_path, b"abc"), 28).RetData["fw_version"] == version

    @pytest.mark.parametrize("info, error", [("[1]", AttributeError), ('{"fe0": "x"}', AttributeError),
                                             ("not json", ValueError)])
    def test_unusable_information_reply_propagates(self, tool, fpga, tmp_path, info, error):
        fpga.replies["GET_FE_INFO"] = info
        with pytest.raises(error):
            tool.processFpgaUpdate(image_file(tmp_path, b"abc"), 28)

    def test_other_device_types_erase_nothing_and_read_no_version(self, make_fpga, tmp_path, caplog):
        caplog.set_level(logging.INFO, "FPGA")
        fpga = make_fpga(erased=True)  # without an erase, flash takes an image only where it is erased
        ret = vf.FpgaTool(fpga).processFpgaUpdate(image_file(tmp_path, b"abc"), UNKNOWN_DEVICE_TYPE)
        assert ret.RetData == {"success": True, "error_message": "", "fw_version": ""}
        assert fpga.commands[0] == "FPGA_RST_PAGE_PTR" and fpga.commands[-1] == "FPGA_REFRESH"
        assert "Updated FPGA version: " in caplog.messages

    def test_results_are_built_as_the_host_expects(self, tool, fpga, tmp_path, monkeypatch):
        built = []

        def ret_type(*args, **kwargs):
            built.append((args, kwargs))

        monkeypatch.setattr(vf, "RetType", ret_type)
        fpga.replies["GET_FPGA_VER"] = "1.0"
        tool.processFpgaUpdate()
        tool.processFpgaUpdate(image_file(tmp_path, b"abc"))
        assert built == [((RetCode.ERROR, "FPGA image path is not provided."), {}),
                         ((), {"data": {"success": True, "error_message": "", "fw_version": "1.0"}})]

    def test_refusals_leave_the_device_untouched(self, tool, fpga, tmp_path, caplog):
        tampered = bytearray(pack(b"image", 32))
        tampered[-1] ^= 1
        cases = [(None, "FPGA image path is not provided."), ("", "FPGA image path is not provided."),
                 (str(tmp_path / "missing.bin"), "FPGA update file check failed."),
                 (image_file(tmp_path, bytes(tampered), "fw.tbin"), "FPGA image header check failed."),
                 (image_file(tmp_path, pack(b"", 32), "empty.tbin"), "FPGA image header check failed."),
                 (image_file(tmp_path, pack(b"image", 32), "signed.bin"), "FPGA image header check failed.")]
        for path, message in cases:
            ret = tool.processFpgaUpdate(path)
            assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, message, None)
            assert caplog.records[-1].levelno == logging.ERROR and caplog.messages[-1] == message
        assert fpga.wire == []

    @pytest.mark.parametrize("image_types, device_type, message", [
        ([28, 32], UNKNOWN_DEVICE_TYPE, f"FPGA image is for device types 28, 32, not {UNKNOWN_DEVICE_TYPE}."),
        (32, 28, "FPGA image is for device type 32, not 28."),
        (28, 32, "FPGA image is for device type 28, not 32."),
    ])
    def test_signed_image_for_another_device_type_is_refused(self, tool, fpga, tmp_path, caplog, image_types,
                                                             device_type, message):
        ret = tool.processFpgaUpdate(image_file(tmp_path, pack(b"image", image_types), "fw.tbin"), device_type)
        assert (ret.RetCode, ret.RetMsg, ret.RetData) == (RetCode.ERROR, message, None)
        assert [r.message for r in caplog.records if r.levelno == logging.ERROR] == [message]
        assert fpga.wire == []

    def test_signed_image_for_several_types_updates_each(self, tool, fpga, tmp_path):
        path = image_file(tmp_path, pack(b"image", [32, 28]), "fw.tbin")
        fpga.replies["GET_FE_INFO"] = "{}"
        assert tool.processFpgaUpdate(path, 28).RetCode is RetCode.OK
        assert tool.processFpgaUpdate(path, 32).RetCode is RetCode.OK

    def test_argument_types(self, tool):
        with pytest.raises(TypeError, match="'image_path'"):
            tool.processFpgaUpdate(b"fw.bin")
        with pytest.raises(TypeError, match="'device_type'"):
            tool.processFpgaUpdate("fw.bin", 32.0)
        with pytest.raises(TypeError, match="'device_type'"):
            tool._fpgaProgramFile("fw.bin", "28")

    def test_operations_are_called_through_the_instance(self, tool, fpga, tmp_path):
        seen = []
        tool._checkUpdateFile = lambda *a, **k: seen.append(("file", a, k)) or True
        tool._checkFileHeader = lambda *a, **k: seen.append(("header", a, k)) or True
        tool._fpgaProgramFile = lambda *a, **k: seen.append(("program", a, k)) or True
        tool._fpgaGetVersion = lambda: "7"
        assert tool.processFpgaUpdate("x.bin", 32).RetData["fw_version"] == "7"
        assert seen == [("file", ("x.bin",), {}), ("header", ("x.bin",), {}),
                        ("program", (), {"image_path": "x.bin", "device_type": 32})]


class TestProgramming:
    def test_empty_raw_image(self, tool, fpga, calls, tmp_path):
        assert tool._fpgaProgramFile(image_file(tmp_path, b""), 32) is True
        assert calls == [("write", 0, 0), ("verify", 0, 0)]
        assert fpga.commands == ["FPGA_ERASE", "FPGA_RST_PAGE_PTR", "FPGA_RST_PAGE_PTR", "FPGA_DONE", "FPGA_REFRESH"]

    def test_raw_image_is_programmed_whatever_its_contents(self, tool, fpga, tmp_path):
        data = pack(b"inner", 32)
        assert tool._fpgaProgramFile(image_file(tmp_path, data, "fw.BIN")) is True
        assert bytes(fpga.memory) == data and fpga.wire[0] == b"FPGA_ERASE 14\r\n"  # default type 28

    def test_signed_image_region_is_cut_at_the_end_of_the_file(self, tool, fpga, calls, tmp_path):
        image = os.urandom(40)
        data = struct.pack(">IIII", 0, 100, 80, 0) + bytes(64) + image
        assert tool._fpgaProgramFile(image_file(tmp_path, data, "fw.tbin"), 32) is True
        assert bytes(fpga.memory) == image
        assert calls[-1] == ("verify", 40, 40) and calls[:2] == [("write", 0, 40), ("write", 16, 40)]

    def test_signed_image_is_located_by_its_start_address(self, tool, fpga, tmp_path):
        data = struct.pack(">IIII", 5, 4, 90, 0) + bytes(64) + b"HEAD!" + b"xxxxx" + b"DATAtail"
        tool._fpgaProgramFile(image_file(tmp_path, data, "fw.tbin"))
        assert bytes(fpga.memory) == b"DATA"

    def test_short_signed_image_fails_before_the_erase(self, tool, fpga, tmp_path):
        with pytest.raises(struct.error):
            tool._fpgaProgramFile(image_file(tmp_path, b"\x00" * 11, "fw.tbin"), 32)
        assert fpga.commands == []

    def test_missing_file_fails_before_any_command(self, tool, fpga, tmp_path):
        with pytest.raises(FileNotFoundError):
            tool._fpgaProgramFile(str(tmp_path / "missing.bin"), 32)
        assert fpga.wire == []

    def test_refused_block_is_sent_again(self, tool, fpga, calls, tmp_path, capsys):
        fpga.replies["FPGA_PROGRAM"] = ["1", "ERR", "0"]
        data = os.urandom(20)
        assert tool._fpgaProgramFile(image_file(tmp_path, data), 32) is True
        writes = [line for line in fpga.wire if line.startswith(b"FPGA_PROGRAM")]
        assert writes[:3] == [b"FPGA_PROGRAM #216" + data[:16] + b"\r\n"] * 3 and len(writes) == 4
        assert bytes(fpga.memory) == data
        assert calls[:3] == [("write", 0, 20), ("write", 16, 20), ("write", 20, 20)]
        assert len(progress_lines(capsys.readouterr().out)) == 2 + 2

    def test_block_refused_every_time_stops_the_run(self, tool, fpga, tmp_path, caplog):
        fpga.replies["FPGA_PROGRAM"] = ["0", "1"]  # the first block is taken, the second never
        path = image_file(tmp_path, os.urandom(40))
        ret = tool.processFpgaUpdate(path, 32)
        assert (ret.RetCode, ret.RetMsg) == (RetCode.ERROR, "FPGA update process failed.")
        assert fpga.commands == ["FPGA_ERASE", "FPGA_RST_PAGE_PTR"] + ["FPGA_PROGRAM"] * 11
        error, failed = [r.message for r in caplog.records if r.levelno == logging.ERROR]
        assert "offset 16" in error and "10 times" in error
        assert failed == "FPGA update process failed."

    @pytest.mark.parametrize("name, offset", [("fw.bin", 0), ("fw.bin", 21), ("fw.tbin", 39)])
    def test_read_back_mismatch_loads_nothing_and_names_the_offset(self, tool, fpga, tmp_path, caplog, name, offset):
        fpga.corrupt_read_offset = offset
        image = os.urandom(40)
        ret = tool.processFpgaUpdate(image_file(tmp_path, pack(image, 32) if name.endswith("tbin") else image, name))
        assert ret.RetMsg == "FPGA update process failed."
        assert fpga.commands[-4:] == ["FPGA_RST_PAGE_PTR", "FPGA_READ", "FPGA_READ", "FPGA_READ"]
        assert [r.message for r in caplog.records if r.levelno == logging.ERROR] == [
            "Verify Failed", f"FPGA read-back differs from the image at byte offset {offset}",
            "FPGA update process failed."]

    def test_short_read_back_names_where_it_ends(self, tool, fpga, tmp_path, caplog):
        fpga.sendRawBytes = lambda data: (fpga.wire.append(data), fpga.pages.append(b"#204" + b"\x01" * 4 + b"\r\n"))
        assert tool._fpgaProgramFile(image_file(tmp_path, b"\x01" * 20), 32) is False
        assert "FPGA read-back differs from the image at byte offset 8" in caplog.messages

    @pytest.mark.parametrize("size", [1, 33, 40])
    def test_padded_last_page_verifies(self, tool, fpga, calls, tmp_path, size):
        fpga.pad_last_page = True
        image = os.urandom(size)
        assert tool._fpgaProgramFile(image_file(tmp_path, pack(image, 32), "fw.tbin"), 32) is True
        assert tool._fpgaProgramFile(image_file(tmp_path, image), 32) is True
        assert fpga.commands[-2:] == ["FPGA_DONE", "FPGA_REFRESH"] and bytes(fpga.memory) == image
        assert calls[-1] == ("verify", size, size)

    def test_callback_error_stops_before_any_block(self, tool, fpga, tmp_path):
        tool.progress_callback = lambda *args: 1 / 0
        with pytest.raises(ZeroDivisionError):
            tool._fpgaProgramFile(image_file(tmp_path, b"abc"), 32)
        assert fpga.commands == ["FPGA_ERASE", "FPGA_RST_PAGE_PTR"]
        tool.progress_callback = "not callable"
        with pytest.raises(TypeError):
            tool._fpgaProgramFile(image_file(tmp_path, b"abc"), 32)

    def test_connection_error_midway_sends_nothing_more(self, tool, fpga, tmp_path, monkeypatch):
        fpga.replies["FPGA_PROGRAM"] = ["0", ConnectionError("link lost")]
        closed = []
        real_open = open

        def tracking_open(*args, **kwargs):
            file = real_open(*args, **kwargs)
            closed.append(file)
            return file

        monkeypatch.setattr("builtins.open", tracking_open)
        with pytest.raises(ConnectionError, match="link lost"):
            tool.processFpgaUpdate(image_file(tmp_path, os.urandom(48)), 32)
        assert fpga.commands[-1] == "FPGA_PROGRAM" and fpga.commands.count("FPGA_PROGRAM") == 2
        assert closed and all(file.closed for file in closed)

    def test_switching_the_callback_off_midway(self, tool, fpga, tmp_path):
        seen = []

        def once(*args):
            seen.append(args)
            tool.set_progress_callback(None)

        tool.set_progress_callback(once)
        assert tool._fpgaProgramFile(image_file(tmp_path, os.urandom(64)), 32) is True
        assert seen == [("write", 0, 64)]

    def test_large_raw_image_streams_correctly(self, tool, fpga, tmp_path):
        data = os.urandom(200_003)  # crosses the reader's internal chunks
        assert tool._fpgaProgramFile(image_file(tmp_path, data), 32) is True
        assert bytes(fpga.memory) == data

    def test_file_object_keeps_only_memory_of_its_own(self, tool, fpga, tmp_path, monkeypatch):
        # A raw image is read through whatever open() returns; what that file object keeps of
        # the buffers it was given must stay valid, and hold the file's bytes, after the run.
        data = os.urandom(100)
        kept = []

        class KeepingFile(io.RawIOBase):
            def __init__(self, *args, **kwargs):
                self._file = open(*args, **kwargs)

            def readable(self):
                return True

            def readinto(self, buffer):
                count = self._file.readinto(buffer)
                kept.append(memoryview(buffer)[:count])
                return count

            def close(self):
                self._file.close()
                super().close()

        monkeypatch.setattr(vf, "open", KeepingFile, raising=False)
        assert tool._fpgaProgramFile(image_file(tmp_path, data), 32) is True
        [bytes(70_000) for _ in range(8)]  # let the allocator reuse freed memory
        # the file is read twice: to write the image, and to compare the read-back with it
        assert b"".join(bytes(view) for view in kept) == data * 2 and bytes(fpga.memory) == data

    def test_file_object_must_read_bytes(self, tool, tmp_path, monkeypatch):
        class TextFile(io.StringIO):
            def __init__(self, *args, **kwargs):
                super().__init__("text")

        monkeypatch.setattr(vf, "open", TextFile, raising=False)
        with pytest.raises(TypeError):
            tool._fpgaProgramFile(image_file(tmp_path, b"abc"), 32)
