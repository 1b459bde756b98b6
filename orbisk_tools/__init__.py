"""The project's own tools around the orbisk native modules: the engine that updates the FPGA
image of a device or of a site, for scripts (below) and for the orbisk-fpga command line
(`cli`), the display (`report`), the update history (`records`), the file formats (`formats`),
the device emulator and an example device class (`devices`)."""

from orbisk_tools.engine.api import status_of, update_device, update_site, verify_device
from orbisk_tools.engine.image import KeyRefused
from orbisk_tools.engine.locks import LockFolderRefused
from orbisk_tools.engine.outcomes import (DeviceResult, DeviceState, ImageRefused, Phase, Reason, Result,
                                          SiteResult, UpdateError)
from orbisk_tools.engine.status import DeviceStatus
from orbisk_tools.records.history import History, HistoryUnavailable

__all__ = ["update_device", "verify_device", "update_site", "status_of", "DeviceResult", "SiteResult",
           "DeviceStatus", "UpdateError", "ImageRefused", "KeyRefused", "LockFolderRefused", "HistoryUnavailable",
           "History", "Result", "Phase", "DeviceState", "Reason"]
