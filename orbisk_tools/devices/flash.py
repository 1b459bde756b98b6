"""The FPGA configuration memory of an emulated device, a NOR flash, and what of the device
survives a power cycle or a restart of the emulator (its state file).

Flash can only clear bits: a block write leaves old & data in each byte, so that an image
written over anything but erased memory reads back different, and only the erase sets every
byte to 0xFF again. The memory is kept up to the end of what was written since the erase;
the erased rest is not read back, so that the read-back of an image ends where it does.
"""

import base64
import dataclasses
import hashlib
import json

from orbisk_tools.formats import files

ERASED = 0xFF
DEVICE_IMAGE_SIZE = 4096  # of the image a device holds before its first update
STATE_FORMAT = 1
MAX_STATE_FILE_SIZE = 256 * 1024 * 1024


def program(memory, at, data):
    """Writes `data` into `memory` (a bytearray) at offset `at` as flash does: each byte that
    the memory holds becomes old & new, and beyond its end, erased bytes are written. Returns
    whether the memory now holds `data` there."""
    if at > len(memory):
        memory += bytes([ERASED]) * (at - len(memory))
    over = min(len(data), len(memory) - at)
    holds = True
    if over:
        written = data[:over]
        stored = (int.from_bytes(memory[at : at + over], "big") & int.from_bytes(written, "big")).to_bytes(over, "big")
        memory[at : at + over] = stored
        holds = stored == written
    memory += data[over:]
    return holds


def device_image():
    """The image that an emulated device holds, and runs, before its first update: the same
    made-up bytes on every device."""
    return hashlib.shake_256(b"the FPGA image of an emulated device").digest(DEVICE_IMAGE_SIZE)


@dataclasses.dataclass(frozen=True)
class LoadedImage:
    """The image in the configuration memory that was loaded (done and refresh received after
    its last write), and the FPGA version it runs with."""
    sha256: str
    fpga_version: str

    @classmethod
    def of(cls, memory, fpga_version):
        return cls(hashlib.sha256(memory).hexdigest(), fpga_version)


def version_at_power_up(memory, loaded):
    """The FPGA version that a device runs with once powered up: that of its loaded image when
    the memory still holds it; None when it runs no image."""
    if loaded is None or hashlib.sha256(memory).hexdigest() != loaded.sha256:
        return None
    return loaded.fpga_version


@dataclasses.dataclass
class SavedState:
    """What a device keeps while switched off."""
    memory: bytes
    loaded: LoadedImage | None
    whole: bool  # every write since the erase stored what it was sent
    serial_number: str
    control_fw_version: str


class BadStateFile(ValueError):
    """A state file that the emulator cannot use; the message names it."""


def read_state(path):
    """The SavedState in the state file at `path`; None when there is no such file. Raises
    BadStateFile, or OSError when it cannot be read."""
    try:
        data = files.read_trusted_file(path, MAX_STATE_FILE_SIZE, "a state file of the emulator")
    except FileNotFoundError:
        return None
    except files.Unusable as error:
        raise BadStateFile(str(error)) from None
    try:
        kept = json.loads(data)
        if kept["format"] != STATE_FORMAT:
            raise ValueError(f"format {kept['format']!r}, not {STATE_FORMAT}")
        loaded = kept["loaded"]
        return SavedState(base64.b64decode(kept["memory"], validate=True),
                          None if loaded is None else LoadedImage(str(loaded["sha256"]), str(loaded["fpga_version"])),
                          bool(kept["whole"]), str(kept["serial_number"]), str(kept["control_fw_version"]))
    except (ValueError, KeyError, TypeError) as error:  # json's and base64's errors are ValueErrors
        raise BadStateFile(f"{path} is not a state file of the emulator ({error}); name another file") from None


def write_state(path, state):
    """Writes `state` to the state file at `path`, replacing it whole."""
    loaded = state.loaded
    document = {"format": STATE_FORMAT, "serial_number": state.serial_number,
                "control_fw_version": state.control_fw_version,
                "loaded": None if loaded is None else dataclasses.asdict(loaded), "whole": state.whole,
                "memory": base64.b64encode(state.memory).decode("ascii")}
    files.write_whole(path, json.dumps(document, indent=1).encode() + b"\n")
