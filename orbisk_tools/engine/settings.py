"""What every device of a run is updated with."""

from __future__ import annotations

import dataclasses
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from orbisk_tools.engine.rollout import Holds
    from orbisk_tools.records.history import History
    from orbisk_tools.records.attempts import ImageFacts


@dataclasses.dataclass
class Settings:
    image: str
    device_type: int
    timeout: float
    window: int | None  # commands in flight; None: as many as the link to each device needs
    lock_folder: int  # an open folder, from open_lock_folder()
    history: History | None = None  # to record each attempt in, or None
    run_id: str | None = None
    image_facts: ImageFacts | None = None  # the image's
    dry_run: bool = False  # identify each device and say what would be done, changing nothing
    force: bool = False  # update a device that already holds the image
    allow_older: bool = False  # update a device that reports a newer version than the image's header names
    gate: Holds | None = None  # a rollout.Gate that may hold devices back, or None
    vendor_key_id: str | None = None  # the key that verified the image's vendor signature, if one was checked
    erase_timeout: float = 120.0  # how long to wait for the answer to the erase
    backup: str | None = None  # the folder (absolute) for a backup of each device's memory before its erase
    # a restore of a backup the history recorded: by the serial number of each device it was kept
    # from, the FPGA version that device ran then (and must run again)
    restore_of: dict[str, str | None] | None = None
