"""The checks before an update touches the device: the image file, and a signed image's header and hashes."""

import hashlib
import hmac
import json
import logging
import os
import pathlib
import struct
import tracemalloc

import pytest

import orbisk.VornFpga as vf
from orbisk_tools.formats.signed_image import KEY_PREFIX, pack


def errors(caplog):
    return [r.message for r in caplog.records if r.levelno >= logging.WARNING]


def write(path, data=b"\x01"):
    path.write_bytes(data)
    return str(path)


class TestUpdateFile:
    @pytest.mark.parametrize("name", ["fw.bin", "IMAGE.TBIN", "image.Bin", "image.tar.BIN"])
    def test_accepts_images(self, tool, tmp_path, caplog, name):
        assert tool._checkUpdateFile(write(tmp_path / name)) is True
        assert caplog.records == []

    @pytest.mark.parametrize("name", ["image.bin.txt", "image.hex", ".bin", "image.", "image"])
    def test_refuses_other_extensions(self, tool, tmp_path, caplog, name):
        path = write(tmp_path / name)
        assert tool._checkUpdateFile(path) is False
        assert errors(caplog) == [f"FPGA image file type error: {path}"]

    def test_refusals_in_order(self, tool, tmp_path, caplog):
        missing = str(tmp_path / "no" / "such.txt")  # wrong extension, but missing comes first
        directory = tmp_path / "fw.bin"
        directory.mkdir()
        empty = write(tmp_path / "empty.bin", b"")
        results = [tool._checkUpdateFile(p) for p in (missing, str(directory), empty)]
        assert results == [False, False, False]
        assert errors(caplog) == [f"FPGA image path not found: {missing}", f"FPGA image not found: {directory}",
                                  f"FPGA image is empty: {empty}"]

    def test_unreadable_file(self, tool, tmp_path, caplog, monkeypatch):
        path = write(tmp_path / "fw.bin")

        def denied(file, mode="r", *args, **kwargs):
            raise PermissionError(13, "Permission denied", str(file))

        monkeypatch.setattr("builtins.open", denied)
        assert tool._checkUpdateFile(path) is False
        assert errors(caplog) == [f"FPGA image file not readable: {path}, [Errno 13] Permission denied: '{path}'"]

    def test_failed_status_query(self, tool, tmp_path, caplog, monkeypatch):
        class StatFails(type(pathlib.Path())):
            def exists(self):
                return True

            def is_file(self):
                return True

            def stat(self):
                raise OSError(5, "I/O error")

        monkeypatch.setattr(vf, "Path", StatFails)
        assert tool._checkUpdateFile("fw.bin") is False
        assert errors(caplog) == ["FPGA image file error: fw.bin, [Errno 5] I/O error"]

    def test_interrupts_are_not_swallowed(self, tool, tmp_path, monkeypatch):
        path = write(tmp_path / "fw.bin")

        def interrupted(*args, **kwargs):
            raise KeyboardInterrupt

        monkeypatch.setattr("builtins.open", interrupted)
        with pytest.raises(KeyboardInterrupt):
            tool._checkUpdateFile(path)
        with pytest.raises(KeyboardInterrupt):
            tool._checkFileHeader(str(tmp_path / "fw.tbin"))

    def test_path_must_be_text(self, tool):
        for value in (None, b"fw.bin"):
            with pytest.raises(TypeError, match="'image_path'"):
                tool._checkUpdateFile(value)
            with pytest.raises(TypeError, match="'image_path'"):
                tool._checkFileHeader(value)


def craft(header, image, key_text, *, start=None, image_length=None, pad=0, hashed_header=None):
    """A signed image with a header region of our choosing, keyed with KEY_PREFIX + key_text."""
    region = b"\0" * pad + header + b"\0" * pad
    key = (KEY_PREFIX + key_text).encode()
    start = 80 + len(region) if start is None else start
    fixed = struct.pack(">IIII", len(region), len(image) if image_length is None else image_length, start, 0)
    fixed += hmac.digest(key, region if hashed_header is None else hashed_header, "sha256")
    fixed += hmac.digest(key, image, "sha256")
    return fixed + region + image


class TestSignedHeader:
    def test_packed_images_verify(self, tool, tmp_path, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        path = write(tmp_path / "fw.TBIN", pack(os.urandom(100), [32, 28], {"version": "1.2"}))
        assert tool._checkFileHeader(path) is True
        assert caplog.messages == ["FPGA tbin header: {'DEV_TYPE': [32, 28], 'version': '1.2'}",
                                   "FPGA tbin hash verify success"]

    def test_raw_image_passes_unless_it_is_a_whole_signed_image(self, tool, tmp_path, caplog):
        caplog.set_level(logging.DEBUG, "FPGA")
        signed = pack(os.urandom(100), [28, 32])
        retagged = bytearray(signed)
        retagged[90] ^= 1  # in the JSON header: its hash no longer verifies
        raw = [signed[:-1], signed + b"\0", bytes(retagged), b"\0" * 80, os.urandom(5000)]
        for index, data in enumerate(raw):
            path = write(tmp_path / f"raw{index}.bin", data)
            assert tool._checkFileHeader(path) is True
            assert caplog.messages[-1] == f"FPGA image header check: {path}, size={len(data)}"
        path = write(tmp_path / "signed.BIN", signed)
        assert tool._checkFileHeader(path) is False
        assert errors(caplog) == [f"FPGA image is a signed image; rename it to .tbin: {path}"]

    def test_empty_image_part_is_refused(self, tool, tmp_path, caplog):
        for index, data in enumerate([pack(b"", 32), craft(b'{"DEV_TYPE": 32}', b"", "032", start=0xFFFFFFFF)]):
            path = write(tmp_path / f"empty{index}.tbin", data)
            assert tool._checkFileHeader(path) is False
            assert errors(caplog)[-1] == f"FPGA tbin image is empty: {path}"

    @pytest.mark.parametrize("header, key_text", [
        ({"DEV_TYPE": 28}, "028"),
        ({"DEV_TYPE": [32, 28]}, "028032"),
        ({"DEV_TYPE": "28"}, "028"),
        ({"DEV_TYPE": 0, "dev_type": 32}, "032"),
        ({"dev_type": []}, ""),
        ({"dev_type": [" -5 ", "+7"]}, "-05007"),
        ({"DEV_TYPE": 2**70}, str(2**70)),
        ({"DEV_TYPE": -3}, "-03"),
        ({"DEV_TYPE": 28.9}, "028"),
        ({"DEV_TYPE": True}, "001"),
        ({"DEV_TYPE": [1234, 5]}, "0051234"),
    ])
    def test_device_types_select_the_key(self, tool, tmp_path, header, key_text):
        path = write(tmp_path / "fw.tbin", craft(json.dumps(header).encode(), b"image", key_text))
        assert tool._checkFileHeader(path) is True

    def test_nul_padded_header_is_hashed_as_stored(self, tool, tmp_path, caplog):
        header = b'{"DEV_TYPE": 32}'
        assert tool._checkFileHeader(write(tmp_path / "a.tbin", craft(header, b"image", "032", pad=3))) is True
        unpadded_hash = craft(header, b"image", "032", pad=3, hashed_header=header)
        assert tool._checkFileHeader(write(tmp_path / "b.tbin", unpadded_hash)) is False
        assert errors(caplog) == ["FPGA tbin header hash mismatch"]

    def test_image_change_is_detected(self, tool, tmp_path, caplog):
        data = bytearray(pack(b"\x00" * 64, 32))
        data[-1] ^= 1
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", bytes(data))) is False
        assert errors(caplog) == ["FPGA tbin image hash mismatch"]

    def test_image_is_located_by_its_start_address(self, tool, tmp_path):
        data = craft(b'{"DEV_TYPE": 32}', b"IMAGE", "032", start=80 + 16 + 3)
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", data + b"IMAGE")) is False
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", data[:-5] + b"xyz" + b"IMAGE")) is True

    def test_regions_past_the_end_are_cut(self, tool, tmp_path):
        # image length far beyond the file: the image is what exists
        assert tool._checkFileHeader(write(tmp_path / "a.tbin", craft(b'{"DEV_TYPE": 32}', b"img", "032",
                                                                       image_length=0xFFFFFFFF)))

    def test_header_length_past_the_end_takes_no_memory(self, make_fpga, tmp_path):
        # A raw image often starts with 0xFFFFFFFF, which the .bin check reads as a header length;
        # a signed image whose header region is cut to the file verifies, and its device types are read.
        raw = write(tmp_path / "fw.bin", b"\xff" * 84 + os.urandom(5000))
        header = b'{"DEV_TYPE": 32}'
        key = (KEY_PREFIX + "032").encode()
        region, image = header + bytes(16), bytes(16)
        fixed = struct.pack(">IIII", 0xFFFFFFFF, 16, 80 + len(header), 0)
        fixed += hmac.digest(key, region, "sha256") + hmac.digest(key, image, "sha256")
        signed = write(tmp_path / "fw.tbin", fixed + region)
        tracemalloc.start()
        try:
            assert vf.FpgaTool(make_fpga())._checkFileHeader(raw) is True
            assert vf.FpgaTool(make_fpga()).processFpgaUpdate(signed, 32).RetData["success"] is True
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 1024 * 1024

    def test_wrong_key_prefix_is_refused(self, tool, tmp_path, caplog):
        header = b'{"DEV_TYPE": 32}'
        key = b"00000000032"
        fixed = struct.pack(">IIII", len(header), 1, 80 + len(header), 0)
        fixed += hmac.digest(key, header, hashlib.sha256) + hmac.digest(key, b"x", hashlib.sha256)
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", fixed + header + b"x")) is False
        assert errors(caplog) == ["FPGA tbin header hash mismatch"]

    @pytest.mark.parametrize("data", [
        b"",
        b"\x00" * 11,
        struct.pack(">III", 0, 0, 80) + bytes(68),  # empty JSON header
        craft(b"[32]", b"", "032"),  # not an object
        craft(b'{"DEV_TYPE": [1, "2"]}', b"", "001"),  # cannot be ordered
        craft(b'{"DEV_TYPE": {"a": 1}}', b"", ""),
        craft(b'{"DEV_TYPE": "twelve"}', b"", ""),
        craft(b'{"DEV_TYPE": [[32]]}', b"", ""),
        craft(b'{"DEV_TYPE": Infinity}', b"", ""),
        craft(b'{"DEV_TYPE": 1e400}', b"", ""),
        craft(b'{"DEV_TYPE": "' + b"9" * 5000 + b'"}', b"", ""),
        craft(b'\xef\xbb\xbf{"DEV_TYPE": 32}', b"", "032"),  # byte-order mark
        craft(b'{"DEV_TYPE": 32}\xff', b"", "032"),
        struct.pack(">III", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF) + b"{",
    ])
    def test_malformed_files_give_one_parse_error(self, tool, tmp_path, caplog, data):
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", data)) is False
        (line,) = errors(caplog)
        assert line.startswith("FPGA tbin header parse error: ")

    def test_missing_device_type_warns_then_fails(self, tool, tmp_path, caplog):
        path = write(tmp_path / "fw.tbin", craft(b'{"DEV_TYPE": 0, "x": 1}', b"", ""))
        assert tool._checkFileHeader(path) is False
        assert errors(caplog)[0] == "FPGA tbin header missing dev_type/DEV_TYPE"
        assert errors(caplog)[1].startswith("FPGA tbin header parse error: ")
        assert len(errors(caplog)) == 2

    def test_unreadable_signed_image(self, tool, tmp_path, caplog):
        path = str(tmp_path / "missing.tbin")
        assert tool._checkFileHeader(path) is False
        assert errors(caplog) == [f"FPGA image file not readable: {path}, [Errno 2] No such file or directory: '{path}'"]

    def test_raw_image_size_failure_propagates(self, tool, tmp_path):
        with pytest.raises(FileNotFoundError):
            tool._checkFileHeader(str(tmp_path / "missing.bin"))

    def test_hashes_are_compared_with_compare_digest(self, tool, tmp_path, monkeypatch):
        seen = []

        class Hmac:
            digest = staticmethod(hmac.digest)

            @staticmethod
            def compare_digest(a, b):
                seen.append((bytes(a), bytes(b)))
                return hmac.compare_digest(a, b)

        monkeypatch.setattr(vf, "hmac", Hmac)
        assert tool._checkFileHeader(write(tmp_path / "fw.tbin", pack(b"abc", 32)))
        assert len(seen) == 2 and all(a == b and len(a) == 32 for a, b in seen)


def test_packer_refuses_device_types_in_extra_members():
    with pytest.raises(ValueError):
        pack(b"x", 32, {"dev_type": 28})
