"""Fuzz target: image files from the field.

Each input becomes one file's contents, saved as fw.tbin and as fw.bin. Both go through
_checkFileHeader, and each file it accepts through _fpgaProgramFile against an honest fake
FPGA. The first byte of the input chooses whether the rest is taken as it is or re-signed:
its two keyed hashes are recomputed over the regions its own fixed header names, with the
key its own JSON header selects, so that hostile layouts get past the hash check too.

What must hold, whatever the bytes:
- _checkFileHeader returns True or False and raises nothing. On a .tbin it accepts exactly
  the files whose layout, JSON header and both hashes check out as the format is documented
  (the model below, which signs with the packer's own key) and whose image is not empty, and
  logs the documented error line for a refusal; a .bin it accepts unless it is exactly a
  signed image (lengths that fit the file to the byte, and a JSON header whose hash verifies).
- _fpgaProgramFile on an accepted file raises nothing, returns True, and the device holds
  exactly the image: the whole .bin, or the region of the .tbin that its fixed header names.

    python fuzz/fuzz_image_file.py -max_total_time=60
"""

import hmac
import json
import os
import struct

from fuzz_harness import LogRecords, ScriptedFpga, expect, run, scratch_directory
from orbisk.VornFpga import FpgaTool
from orbisk_tools.formats.signed_image import image_key, is_signed_image, pack

PARSE_ERROR = "FPGA tbin header parse error: "
HEADER_MISMATCH = "FPGA tbin header hash mismatch"
IMAGE_MISMATCH = "FPGA tbin image hash mismatch"
MISSING_DEVICE_TYPE = "FPGA tbin header missing dev_type/DEV_TYPE"
EMPTY_IMAGE = "FPGA tbin image is empty: "
SIGNED_AS_RAW = "FPGA image is a signed image; rename it to .tbin: "

workdir = scratch_directory("image_file")
TBIN = os.path.join(workdir, "fw.tbin")
BIN = os.path.join(workdir, "fw.bin")


def layout(data):
    """(header region, header hash, image hash, image region) as the fixed header names them."""
    header_length, image_length, image_start = struct.unpack_from(">III", data)
    return data[80 : 80 + header_length], data[16:48], data[48:80], data[image_start : image_start + image_length]


def key_of(header_region):
    """The image key that a JSON header region selects, or None where it selects none."""
    try:
        header = json.loads(header_region.strip(b"\0").decode("utf-8"))
        return image_key(header.get("DEV_TYPE") or header.get("dev_type"))
    except Exception:
        return None


def layout_kind(data):
    """A branch for each kind of layout. The fuzzer sees the coverage of Python code only, not
    of the native code, so the model's branches are what lead it to new kinds of input."""
    header_length, image_length, image_start = struct.unpack_from(">III", data)
    if image_start >= len(data):
        return "image starts after the end"
    if image_start + image_length > len(data):
        return "image cut at the end"
    if image_start < 80:
        return "image overlaps the fixed header"
    if image_start < 80 + header_length:
        return "image overlaps the JSON header"
    return "regions apart"


def device_types_kind(device_types):
    if isinstance(device_types, list):
        return "several" if len(device_types) > 1 else "one in a list" if device_types else "empty list"
    if isinstance(device_types, str):
        return "text"
    if isinstance(device_types, bool):
        return "truth value"
    if isinstance(device_types, int):
        return "negative" if device_types < 0 else "large" if device_types > 999 else "integer"
    return "other"


def expected_check(data):
    """(accepted, the error lines logged) for a .tbin file of these contents."""
    if len(data) < 12:
        return False, [PARSE_ERROR]
    layout_kind(data)
    header_region, header_hash, image_hash, image = layout(data)
    try:
        header = json.loads(header_region.strip(b"\0").decode("utf-8"))
        device_types = header.get("DEV_TYPE") or header.get("dev_type")
    except Exception:
        return False, [PARSE_ERROR]
    device_types_kind(device_types)
    warnings = [MISSING_DEVICE_TYPE] if device_types is None else []
    try:
        key = image_key(device_types)
    except Exception:
        return False, warnings + [PARSE_ERROR]
    if hmac.digest(key, header_region, "sha256") != header_hash:
        return False, [HEADER_MISMATCH]
    if not image:
        return False, [EMPTY_IMAGE]
    if hmac.digest(key, image, "sha256") != image_hash:
        return False, [IMAGE_MISMATCH]
    return True, []


def resign(data):
    """The same bytes with both hashes recomputed over the regions they name, where that can be done."""
    data = bytearray(data.ljust(80, b"\0"))
    header_region, _, _, _ = layout(bytes(data))
    key = key_of(header_region)
    if key is None:
        return bytes(data)
    data[16:48] = hmac.digest(key, header_region, "sha256")
    data[48:80] = hmac.digest(key, layout(bytes(data))[3], "sha256")
    return bytes(data)


def program(path, image):
    fpga = ScriptedFpga()
    calls = []
    tool = FpgaTool(fpga)
    tool.set_progress_callback(lambda *args: calls.append(args))
    verified = tool._fpgaProgramFile(path, 32)
    expect(verified is True, f"{path}: an honest device's read-back was not verified", verified)
    expect(bytes(fpga.memory) == image, f"{path}: the device holds other bytes than the image",
           len(fpga.memory), len(image))
    expect(calls[0] == ("write", 0, len(image)) and calls[-1] == ("verify", len(image), len(image)),
           f"{path}: wrong first or last progress report", calls[0], calls[-1])


def check(data):
    contents = resign(data[1:]) if data[:1] and data[0] & 1 else data[1:]
    for path in (TBIN, BIN):
        with open(path, "wb") as file:
            file.write(contents)

    with LogRecords() as records:
        accepted = FpgaTool(ScriptedFpga())._checkFileHeader(TBIN)
    expected, lines = expected_check(contents)
    errors = records.messages
    expect(accepted is expected, "_checkFileHeader on a .tbin differs from the documented format", accepted, errors)
    expect(len(errors) == len(lines) and all(e.startswith(line) for e, line in zip(errors, lines)),
           "_checkFileHeader logged other lines than documented", errors, lines)
    if accepted:
        program(TBIN, layout(contents)[3])

    signed = is_signed_image(contents)
    with LogRecords() as records:
        accepted = FpgaTool(ScriptedFpga())._checkFileHeader(BIN)
    expect(accepted is not signed, "_checkFileHeader on a .bin: a signed image passed, or a raw one was refused",
           accepted, records.messages)
    expect(records.messages == ([SIGNED_AS_RAW + BIN] if signed else []), "_checkFileHeader on a .bin logged",
           records.messages)
    if accepted:
        program(BIN, contents)


def seeds():
    """Signed images from the packer, some with hostile layouts re-signed, and a few raw ones."""
    def craft(header, image, *, pad=0, start=None, length=None):
        region = b"\0" * pad + header + b"\0" * pad
        start = 80 + len(region) if start is None else start
        fixed = struct.pack(">IIII", len(region), len(image) if length is None else length, start, 0) + bytes(64)
        return b"\x01" + fixed + region + image

    images = [b"", b"\x5a", bytes(range(16)), os.urandom(17), os.urandom(100)]
    yield from (b"\x00" + pack(image, types) for image in images for types in (32, 28, [32, 28]))
    yield b"\x00" + pack(b"image", 32, {"version": "1.4.0.0", "note": "\u00e9\u2603"})
    yield craft(b'{"DEV_TYPE": "28"}', b"image", pad=3)
    yield craft(b'{"DEV_TYPE": 0, "dev_type": [1234, 5]}', os.urandom(40), length=0xFFFFFFFF)
    yield craft(b'{"dev_type": []}', b"image", start=0xFFFFFFF0)
    yield craft(b'{"DEV_TYPE": 32}', b"x" * 33, start=40)  # the image overlaps the fixed header
    yield b"\x00" + bytes(11)
    yield b"\x00" + os.urandom(200)


if __name__ == "__main__":
    run("image_file", check, seeds)
