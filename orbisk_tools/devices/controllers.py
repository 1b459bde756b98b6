"""The state of an emulated device's two controllers: the FPGA controller's (FpgaState; Device
answers its commands), and the fast beam controller's, which answers its own (BeamState)."""

import dataclasses
import hashlib

from orbisk_tools.devices import flash

OK = b"0"  # the reply to a command that was done, of either controller

NO_FPGA_IMAGE = b"ERR no FPGA image"  # the answer to the FPGA version queries while the FPGA runs no image


class LoadedBytes:
    """What FPGA_REFRESH loaded, kept as its size and SHA-256 rather than as a second copy of
    the image: equal to the bytes (or a bytearray) of that image, and to another LoadedBytes
    of it."""

    __slots__ = ("size", "sha256")

    def __init__(self, size: int, sha256: str) -> None:
        self.size, self.sha256 = size, sha256

    def __eq__(self, other: object) -> bool:
        if isinstance(other, LoadedBytes):
            return (self.size, self.sha256) == (other.size, other.sha256)
        if isinstance(other, (bytes, bytearray)):
            return len(other) == self.size and hashlib.sha256(other).hexdigest() == self.sha256
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]  # equal to bytes, whose hash it cannot have

    def __repr__(self) -> str:
        return f"<LoadedBytes: {self.size} bytes of SHA-256 {self.sha256}>"


@dataclasses.dataclass
class FpgaState:
    """The FPGA controller: what it reports, its configuration memory and page pointer, and
    the counts that the faults go by."""

    fpga_id: str = "0x0362D093"
    fpga_version: str | None = "0.2.3.4"  # what the FPGA runs; None: no image
    new_fpga_version: str = "0.2.4.0"  # reported once an image was loaded ...
    image_versions: dict = dataclasses.field(default_factory=dict)  # ... unless its SHA-256 is here: its version
    control_fw_version: str = "0.1.0.6"
    serial_number: str = "VORN-000001"
    config_mode: str = ""
    memory: bytearray = dataclasses.field(default_factory=bytearray)  # the flash, up to the end of what it holds
    whole: bool = True  # every write since the erase stored what it was sent: the memory may hold an image
    loaded: flash.LoadedImage | None = None  # the memory's image, loaded after its last write
    pointer: int = 0
    done: bool = False
    loaded_image: LoadedBytes | None = None  # what FPGA_REFRESH loaded last; None until it loaded one
    blocks_taken: int = 0
    block_attempts: int = 0
    refusals: int = 0  # how often the refuse_block fault refused its block
    dropped: bool = False  # whether the drop_after_blocks fault dropped the connection


@dataclasses.dataclass
class BeamState:
    """The fast beam controller. Beams are stored (BEAM_PATTERN_STORE_*) only while storage is
    enabled, and reach the beamformer IC only with BEAM_PATTERN_APPLY_BFIC. SYS_REBOOT restarts
    the controller: the stored beams, the storage switch and the external control are kept (the
    storage is non-volatile), and the beamformer IC keeps what it holds until the next apply. A
    beam erased with BEAM_PATTERN_ERASE is gone for good: a host that erases before it reboots
    (syncFastBeamConfig does) stores its beams again before the apply."""

    external_control: int = 0
    fbs_mode: int = 0
    storage_enabled: bool = False
    stored: dict = dataclasses.field(default_factory=dict)  # what BEAM_PATTERN_STORE_* wrote
    applied: dict = dataclasses.field(default_factory=dict)  # what the beamformer IC holds
    erases: int = 0
    applies: int = 0
    reboots: int = 0

    def answer(self, word, argument):
        """The reply to the command `word` with its `argument`, without the line end; None for
        a command that is not the fast beam controller's."""
        if word == "ExtCtrl_EN?":
            return f"{self.external_control},{self.fbs_mode}".encode()
        if word == "ExtCtrl_EN":
            state, _, mode = argument.partition(",")
            if state not in ("0", "1") or not mode.lstrip("-").isdigit():
                return b"ERR bad argument"
            self.external_control, self.fbs_mode = int(state), int(mode)
            return OK
        if word == "BEAM_PATTERN_STORE_EN?":
            return b"1" if self.storage_enabled else b"0"
        if word == "BEAM_PATTERN_STORE_EN":
            if argument not in ("0", "1"):
                return b"ERR bad argument"
            self.storage_enabled = argument == "1"
            return OK
        if word in ("BEAM_PATTERN_ERASE", "BEAM_PATTERN_STORE_TDBS_BEAM", "BEAM_PATTERN_STORE_FBS_BEAM"):
            if not self.storage_enabled:
                return b"ERR beam pattern storage disabled"
            if word == "BEAM_PATTERN_ERASE":
                self.stored.clear()
                self.erases += 1
                return OK
            key, _, value = argument.rpartition("=")
            if not key:
                return b"ERR bad argument"
            self.stored[(word, key)] = value
            return OK
        if word in ("BEAM_PATTERN_STORE_TDBS_BEAM?", "BEAM_PATTERN_STORE_FBS_BEAM?"):
            value = self.stored.get((word[:-1], argument))
            return b"ERR no such beam" if value is None else value.encode()
        if word == "BEAM_PATTERN_APPLY_BFIC":
            self.applied = dict(self.stored)
            self.applies += 1
            return OK
        if word == "SYS_REBOOT":  # keeps everything (see the class)
            self.reboots += 1
            return OK
        return None
