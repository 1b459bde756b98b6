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

import hashlib
import hmac
import json
import struct

# Shared with orbisk.VornFpga: an image signed with another prefix is refused.
KEY_PREFIX = "73914065"

FIXED_HEADER_SIZE = 80


def device_type_text(device_types):
    """The device-type part of the key: "028" for 28, "028032" for [32, 28]."""
    if isinstance(device_types, list):
        return "".join(format(int(v), "03d") for v in sorted(device_types))
    return format(int(device_types), "03d")


def image_key(device_types):
    return (KEY_PREFIX + device_type_text(device_types)).encode("utf-8")


def pack(image, device_types, extra=None):
    """The bytes of a signed image for `device_types` (an int or a list of ints).

    `extra` adds members to the JSON header; they do not take part in the key.
    """
    if isinstance(device_types, (list, tuple)):
        device_types = list(device_types)
    extra = dict(extra or {})
    if {"DEV_TYPE", "dev_type"} & extra.keys():
        raise ValueError("the device types are given by device_types, not by extra header members")
    header = json.dumps({"DEV_TYPE": device_types, **extra}).encode("utf-8")
    image = bytes(image)
    key = image_key(device_types)
    fixed = struct.pack(">IIII", len(header), len(image), FIXED_HEADER_SIZE + len(header), 0)
    fixed += hmac.digest(key, header, hashlib.sha256) + hmac.digest(key, image, hashlib.sha256)
    return fixed + header + image


def write_signed_image(image_path, output_path, device_types, extra=None):
    """Signs the raw image at `image_path` and writes the .tbin file to `output_path`."""
    with open(image_path, "rb") as source:
        image = source.read()
    with open(output_path, "wb") as output:
        output.write(pack(image, device_types, extra))
