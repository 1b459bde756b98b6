"""-v: the FPGA module's log lines, each with the device that the thread logging it updates."""

from __future__ import annotations

import logging
import threading

_job = threading.local()  # the address that this thread updates


def set_label(label: str | None) -> None:
    """The device that this thread updates from now on (None: none)."""
    _job.label = label


class DeviceLabel(logging.Filter):
    """Adds %(device)s to log records: "ADDRESS: " in a thread that updates a device."""

    def filter(self, record: logging.LogRecord) -> bool:
        label = getattr(_job, "label", None)
        record.device = f"{label}: " if label else ""
        return True
