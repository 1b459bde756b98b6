"""Signed FPGA images (.tbin): the format that FpgaTool checks before it programs an image.

Layout (integers unsigned 32-bit big-endian, offsets from the start of the file):

    0   header length H      4   image length L      8   image start A (= 80 + H)
    12  unused (0)           16  HMAC-SHA256 of the JSON header (32 bytes)
    48  HMAC-SHA256 of the image (32 bytes)
    80  JSON header (H bytes, UTF-8)
    A   image (L bytes)

Both HMACs are keyed with KEY_PREFIX followed by the device types of the JSON
header, each written as format(int(v), "03d"), in ascending order.
"""

from __future__ import annotations

import dataclasses
import hashlib
import hmac
import json
import os
import struct
from collections.abc import Mapping
from typing import Any

from orbisk_tools.formats import files
from orbisk_tools.formats.files import StrPath

# Shared with orbisk.VornFpga: an image signed with another prefix is refused.
KEY_PREFIX = "73914065"

FIXED_HEADER_SIZE = 80

# Each device type takes three digits of the key.
DEVICE_TYPES = range(0, 1000)


def device_type_text(device_types: int | list[int]) -> str:
    """The device-type part of the key: "028" for 28, "028032" for [32, 28]."""
    if isinstance(device_types, list):
        return "".join(format(int(v), "03d") for v in sorted(device_types))
    return format(int(device_types), "03d")


def image_key(device_types: int | list[int]) -> bytes:
    return (KEY_PREFIX + device_type_text(device_types)).encode("utf-8")


def check_device_types(device_types: object) -> None:
    """Raises ValueError unless every device type is an int from 0 to 999."""
    for value in device_types if isinstance(device_types, list) else [device_types]:
        if not isinstance(value, int) or isinstance(value, bool) or value not in DEVICE_TYPES:
            raise ValueError(f"a device type is a number from 0 to 999, not {value!r}")


def pack(image: bytes | bytearray, device_types: int | list[int] | tuple[int, ...],
         extra: Mapping[str, Any] | None = None) -> bytes:
    """The bytes of a signed image for `device_types` (an int, or a list or tuple of ints, from 0 to 999).

    `extra` adds members to the JSON header; they do not take part in the key.
    """
    if isinstance(device_types, (list, tuple)):
        device_types = list(device_types)
    check_device_types(device_types)
    extra = dict(extra or {})
    if {"DEV_TYPE", "dev_type"} & extra.keys():
        raise ValueError("the device types are given by device_types, not by extra header members")
    header = json.dumps({"DEV_TYPE": device_types, **extra}).encode("utf-8")
    image = bytes(image)
    key = image_key(device_types)
    fixed = struct.pack(">IIII", len(header), len(image), FIXED_HEADER_SIZE + len(header), 0)
    fixed += hmac.digest(key, header, hashlib.sha256) + hmac.digest(key, image, hashlib.sha256)
    return fixed + header + image


def _signed_header(data: bytes) -> tuple[int, int, int, bytes, dict[str, Any], bytes] | None:
    """(header length, image length, image start, the JSON header region, its members, the key),
    or None when `data` has no readable signed-image header."""
    if len(data) < FIXED_HEADER_SIZE:
        return None
    header_length, image_length, image_start = struct.unpack_from(">III", data)
    header = data[FIXED_HEADER_SIZE : FIXED_HEADER_SIZE + header_length]
    try:
        members = json.loads(header.strip(b"\0").decode("utf-8"))
        key = image_key(members.get("DEV_TYPE") or members.get("dev_type"))
    except Exception:
        return None
    return header_length, image_length, image_start, header, members, key


def is_signed_image(data: bytes) -> bool:
    """Whether `data` is exactly a signed image: a fixed header whose lengths fit the data to
    the byte, and a JSON header whose keyed hash verifies. A raw bitstream never is."""
    head = _signed_header(data)
    if head is None:
        return False
    header_length, image_length, image_start, header, _, key = head
    if image_start != FIXED_HEADER_SIZE + header_length or image_start + image_length != len(data):
        return False
    return hmac.compare_digest(hmac.digest(key, header, hashlib.sha256), data[16:48])


@dataclasses.dataclass
class SignedImage:
    members: dict[str, Any]  # the JSON header
    device_types: list[int]  # ascending
    image_length: int  # bytes of image in the file
    image_start: int  # where the fixed header says the image starts
    stated_image_length: int  # the image length the fixed header gives
    header_end: int  # where the JSON header region ends
    header_verifies: bool
    image_verifies: bool


def read_signed_image(data: bytes) -> SignedImage | None:
    """The parts of a signed image as FpgaTool reads them (regions cut short by the end of the
    data are taken as they are), or None when `data` has no readable signed-image header."""
    head = _signed_header(data)
    if head is None:
        return None
    header_length, image_length, image_start, header, members, key = head
    named: Any = members.get("DEV_TYPE") or members.get("dev_type")  # a JSON value that _signed_header made a key of
    device_types = sorted(int(v) for v in (named if isinstance(named, list) else [named]))
    image = data[image_start : image_start + image_length]
    return SignedImage(members, device_types, len(image), image_start, image_length,
                       FIXED_HEADER_SIZE + header_length,
                       hmac.compare_digest(hmac.digest(key, header, hashlib.sha256), data[16:48]),
                       hmac.compare_digest(hmac.digest(key, image, hashlib.sha256), data[48:80]))


class PackError(ValueError):
    """The image cannot be signed into that output; no file was changed."""


def write_signed_image(image_path: StrPath, output_path: StrPath, device_types: int | list[int] | tuple[int, ...],
                       extra: Mapping[str, Any] | None = None) -> None:
    """Signs the raw image at `image_path` and writes the .tbin file to `output_path`, for
    `device_types` (a number from 0 to 999, or a list or tuple of them); `extra` adds members to its JSON
    header ({"version": "1.4.0.0"}, the FPGA version the image loads as), which do not take part in
    its key.

    Everything is checked before the output is touched, and an existing output is replaced
    whole or not at all (a link there is replaced, not followed). Raises PackError for an
    output that is the image itself or is not named .tbin, an empty image or one that is
    already signed; ValueError for device types or extra members that cannot be used; OSError,
    naming the user's path, when a file cannot be read or written.
    """
    image_path, output_path = os.fspath(image_path), os.fspath(output_path)
    with open(image_path, "rb") as source:
        image = source.read()
    if files.input_named_by(output_path, [image_path]):
        raise PackError(f"{output_path} is the input image; name another output file")
    if not image:
        raise PackError(f"{image_path} is empty")
    if is_signed_image(image):
        raise PackError(f"{image_path} is already a signed image")
    if os.path.splitext(output_path)[1].lower() != ".tbin":
        raise PackError(f"{output_path}: a signed image must be named .tbin (the update takes any other name for a raw "
                        "image); name the output FILE.tbin")
    files.write_whole(output_path, pack(image, device_types, extra))

