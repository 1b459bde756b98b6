"""What a device's FPGA runs, as evidence: its configuration memory and its running FPGA are two
facts, and a read-back proves only the first.

A device whose memory holds an image (its read-back matched) runs that image when the history's
newest attempt that changed the device (by its serial number, whichever computer recorded it) wrote
this image and confirmed its load, and the device still reports the version recorded then; or,
when the history records no change of this image on it, when the device reports the version that
the image's header names. A recorded change of this image whose load was not confirmed says that
the memory was never loaded. Anything else is not known to run it."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

from orbisk_tools.engine.outcomes import Result, Runs
from orbisk_tools.formats.protocol import DEVICE_TYPES, NoFpgaImage
from orbisk_tools.native import fpga_module
from orbisk_tools.records.history import History
from orbisk_tools.records.attempts import Attempt, ImageFacts

if TYPE_CHECKING:
    from orbisk.VornCommService import _TCPConn

    from orbisk_tools.engine.facts import DeviceFacts

# The attempts that wrote the image whole: they reached its read-back.
_WROTE_WHOLE = ("verify", "load", "version", "done")


@dataclasses.dataclass(frozen=True)
class Evidence:
    """What the FPGA of a device whose memory holds an image runs.

    Attributes:
        result: Result.RUNS, Result.NOT_LOADED (it runs another image or none) or Result.NOT_CONFIRMED.
        runs: The Runs it stands for.
        why: In words, what says so ("it reports FPGA version 1.2, the image's").
        change: The history's newest attempt that changed the device, or None.
    """
    result: Result
    runs: Runs
    why: str
    change: Attempt | None = None


def judge(image: ImageFacts, facts: DeviceFacts, history: History | None) -> Evidence:
    """The Evidence of what runs on a device whose memory holds `image` (a history.ImageFacts), from
    `facts` (a DeviceFacts, what it reports now) and `history` (None: none)."""
    change = history.last_change(serial=facts.serial) if history is not None and facts.serial else None
    reported, named = facts.fpga_version, image.header_version
    if facts.no_fpga_image:
        return Evidence(Result.NOT_LOADED, Runs.NONE, "its FPGA runs no image", change)
    if change is not None and change.image_sha256 == image.sha256:
        where = f" (recorded on {change.origin})" if change.origin else ""
        if change.device_state == "loaded" and reported == change.fpga_version_after:
            return Evidence(Result.RUNS, Runs.IMAGE, f"its load was confirmed by the update of {change.started}{where}",
                            change)
        if change.device_state in ("erased", "written"):
            return Evidence(Result.NOT_LOADED, _other(reported),
                            f"the update of {change.started}{where} did not confirm its load; it runs "
                            f"{_version(reported)}", change)
    if named is not None and reported == named:
        return Evidence(Result.RUNS, Runs.IMAGE, f"it reports FPGA version {reported}, the one the image's header names",
                        change)
    if named is not None:
        return Evidence(Result.NOT_LOADED, _other(reported),
                        f"it runs {_version(reported)}, not {named}, the one the image's header names", change)
    recorded = "no update history is read" if history is None else (
        "the update history records no confirmed load of it on this device")
    return Evidence(Result.NOT_CONFIRMED, _other(reported), f"it runs {_version(reported)}, and {recorded}", change)


def plan(image: ImageFacts | None, facts: DeviceFacts, history: History | None, force: bool = False) -> Result | None:
    """What an update may do instead of writing the image, once a read-back shows that the memory
    holds it: Result.SKIPPED for a device that runs it, Result.LOADED for one whose memory may hold
    it unloaded (the history recorded it written whole, or the device reports the header's
    version); None to write it without reading back first."""
    if force or image is None:
        return None
    evidence = judge(image, facts, history)
    if evidence.result == Result.RUNS:
        return Result.SKIPPED
    change = evidence.change
    if change is not None and change.image_sha256 == image.sha256 and change.phase in _WROTE_WHOLE:
        return Result.LOADED
    if image.header_version is not None and facts.fpga_version == image.header_version:
        return Result.LOADED
    return None


def after_a_fault(image: ImageFacts | None, before: DeviceFacts | None, reported: str | None) -> Runs:
    """The Runs of a device that reported `reported` when asked what it runs after an update that
    changed it failed: None for no FPGA image, else its version ("" when it said none)."""
    if reported is None:
        return Runs.NONE
    if before is not None and reported == before.fpga_version:
        return Runs.PREVIOUS
    if image is not None and image.header_version is not None and reported == image.header_version:
        return Runs.IMAGE
    return Runs.OTHER


def ask_what_runs(conn: _TCPConn, device_type: int, image: ImageFacts | None,
                  before: DeviceFacts | None) -> tuple[Runs, str | None]:
    """(Runs, the version it reports) of a device whose update changed it and failed, asked once
    more, on a new connection and read-only, what its FPGA runs (it may have restarted); Runs.UNKNOWN
    and None when it cannot be asked."""
    try:
        conn.closeConnection()
        if not conn.initConnection():
            return Runs.UNKNOWN, None
        reported: str | None = DEVICE_TYPES[device_type].read_fpga_version(fpga_module().FpgaTool(conn))
    except NoFpgaImage:
        reported = None
    except Exception:  # it cannot be asked: the message says both possibilities
        return Runs.UNKNOWN, None
    return after_a_fault(image, before, reported), reported


def _other(reported: str | None) -> Runs:
    return Runs.OTHER if reported else Runs.UNKNOWN


def _version(reported: str | None) -> str:
    return f"FPGA version {reported}" if reported else "a version it does not say"
