"""The project's own tools around the orbisk native modules, in layers that import only downwards:
the orbisk-fpga command line (cli), what it shows (report), the work on devices (engine), the
update history (records), the device emulator and an example device class (devices), and file
and wire formats (formats). The engine's API for scripts is exported here, with every type its
signatures use."""

from orbisk_tools.engine.api import CancelToken, ProgressCallback, status_of, update_device, update_site, verify_device
from orbisk_tools.engine.arguments import HistoryArgument, Window
from orbisk_tools.engine.backup import BackupFolderRefused
from orbisk_tools.engine.restore import restore_device
from orbisk_tools.engine.asynchronous import update_device_async, update_site_async, verify_device_async
from orbisk_tools.engine.image import ImagePath, KeyRefused
from orbisk_tools.engine.inspection import DeviceStatus
from orbisk_tools.engine.locks import LockFolderRefused
from orbisk_tools.engine.outcomes import (DeviceResult, DeviceState, ImageRefused, Phase, Reason, Result, Runs,
                                          SiteResult, UpdateError, UpdateInterrupted)
from orbisk_tools.engine.facts import DeviceFacts
from orbisk_tools.engine.window import ProbedConnection, probe_pipeline_depth
from orbisk_tools.errors import OrbiskError
from orbisk_tools.formats.protocol import DEVICE_TYPES, DeviceType
from orbisk_tools.formats.signed_image import PackError, write_signed_image
from orbisk_tools.records.history import History, HistoryUnavailable
from orbisk_tools.records.opening import open_history
from orbisk_tools.records.attempts import Attempt, ImageFacts, Operator, Versions

__all__ = ["update_device", "verify_device", "update_site", "status_of", "restore_device", "update_device_async",
           "verify_device_async", "update_site_async", "probe_pipeline_depth", "write_signed_image", "open_history", "DeviceResult",
           "SiteResult", "DeviceStatus", "DeviceFacts", "Attempt", "History", "ImageFacts", "Operator", "Versions",
           "OrbiskError", "UpdateError", "UpdateInterrupted", "ImageRefused", "KeyRefused", "LockFolderRefused", "BackupFolderRefused",
           "HistoryUnavailable", "PackError", "Result", "Phase", "DeviceState", "Reason", "Runs", "DEVICE_TYPES",
           "DeviceType", "ProgressCallback", "CancelToken", "ImagePath", "Window", "HistoryArgument",
           "ProbedConnection"]
