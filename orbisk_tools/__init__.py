"""The project's own tools around the orbisk native modules, in layers that import only downwards:
the orbisk-fpga command line (cli), what it shows (report), the work on devices (engine), the
update history (records), the device emulator and an example device class (devices), and file
and wire formats (formats). The engine's API for scripts is exported here."""

from orbisk_tools.engine.api import status_of, update_device, update_site, verify_device
from orbisk_tools.engine.image import KeyRefused
from orbisk_tools.engine.inspection import DeviceStatus
from orbisk_tools.engine.locks import LockFolderRefused
from orbisk_tools.engine.outcomes import (DeviceResult, DeviceState, ImageRefused, Phase, Reason, Result,
                                          SiteResult, UpdateError)
from orbisk_tools.records.history import History, HistoryUnavailable

__all__ = ["update_device", "verify_device", "update_site", "status_of", "DeviceResult", "SiteResult",
           "DeviceStatus", "UpdateError", "ImageRefused", "KeyRefused", "LockFolderRefused", "HistoryUnavailable",
           "History", "Result", "Phase", "DeviceState", "Reason"]
