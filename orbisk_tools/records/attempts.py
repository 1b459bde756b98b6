"""What the update history records of an attempt, and the facts of this run that it records: who
runs it, on which computer, with which versions and image, and when."""

from __future__ import annotations

import dataclasses
import datetime
import getpass
import hashlib
import os
import secrets
import socket
from collections.abc import Mapping

from orbisk_tools.formats.files import StrPath
from orbisk_tools.formats.signed_image import read_signed_image

FILE_NAME = "history.sqlite3"
ENVIRONMENT_VARIABLE = "ORBISK_FPGA_HISTORY"


@dataclasses.dataclass(frozen=True)
class Operator:
    user: str
    host: str


@dataclasses.dataclass(frozen=True)
class Versions:
    tool: str
    module: str


@dataclasses.dataclass(frozen=True)
class ImageFacts:
    path: str  # absolute
    sha256: str  # hex
    size: int
    header_version: str | None  # the signed image's header member "version"


@dataclasses.dataclass(frozen=True)
class Attempt:
    """One row of the history."""
    id: int
    run_id: str
    started: str  # UTC, ISO 8601
    ended: str | None
    operator_user: str
    operator_host: str
    pid: int
    process_start: str | None
    tool_version: str
    module_version: str
    address: str
    serial: str | None
    fpga_id: str | None
    device_type: int | None
    fpga_version_before: str | None
    control_fw_version_before: str | None
    fpga_version_after: str | None
    control_fw_version_after: str | None
    image_path: str | None
    image_sha256: str | None
    image_size: int | None
    image_header_version: str | None
    window_size: int | None
    bytes_written: int
    seconds: float | None
    phase: str
    device_state: str
    outcome: str
    reason: str | None
    message: str
    vendor_key_id: str | None
    uid: str  # the attempt's own id, kept when it is exported and imported
    origin: str | None  # imported: the computer whose history recorded it; None: this history
    backup_path: str | None = None  # the backup of the device's configuration memory kept before the erase
    backup_sha256: str | None = None  # its SHA-256, hex
    backup_size: int | None = None  # its size in bytes
    soak: str | None = None  # what the check after the soak of the device's wave found; None: no soak


COLUMNS = ", ".join(field.name for field in dataclasses.fields(Attempt))


# ---- facts about this run --------------------------------------------------------------------

def history_path(cli_path: StrPath | None = None, environ: Mapping[str, str] = os.environ) -> str:
    """Where the history is: --history, else $ORBISK_FPGA_HISTORY, else under $XDG_STATE_HOME,
    else under ~/.local/state. A postgresql:// URL (a team's history) is taken as it is."""
    given = cli_path or environ.get(ENVIRONMENT_VARIABLE)
    if given:
        text = os.fspath(given)
        return text if is_database_url(text) else os.path.abspath(text)
    state = environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(state):  # a relative value is to be ignored
        home = environ.get("HOME") or os.path.expanduser("~")
        state = os.path.join(home, ".local", "state")
    return os.path.join(state, "orbisk", FILE_NAME)


def is_database_url(where: str) -> bool:
    """Whether `where` names a history in a database (postgresql://...) rather than a file."""
    return where.startswith(("postgresql://", "postgres://"))


def now() -> str:
    """The time in UTC, ISO 8601 with seconds."""
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def recorded_time(moment: datetime.datetime) -> str:
    """The datetime `moment` as the history records times (see now()), which sort as text; a
    fraction of a second counts as the next second, since the history records whole seconds.
    Raises OverflowError for a moment whose time in UTC is not in the years 1 to 9999."""
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    if moment.microsecond:
        moment = moment.replace(microsecond=0) + datetime.timedelta(seconds=1)
    return moment.astimezone(datetime.timezone.utc).isoformat(timespec="seconds")


def new_run_id() -> str:
    """A new run id: its start time in UTC and a random suffix, so that ids sort by time."""
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ-") + secrets.token_hex(3)


def current_operator() -> Operator:
    try:
        user = getpass.getuser()
    except (OSError, KeyError):  # no login name in the environment nor in the password database
        user = str(os.getuid())
    return Operator(user, socket.gethostname())


def current_versions() -> Versions:
    """The versions of orbisk-fpga and of the FPGA module, which ship in one package."""
    import importlib.metadata  # when asked: it takes a while to import

    try:
        version = importlib.metadata.version("orbisk-native")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    return Versions(tool=version, module=version)


def image_facts(path: StrPath) -> ImageFacts:
    """Path, SHA-256, size and header version of the image at `path`. Raises OSError."""
    with open(path, "rb") as image:
        data = image.read()
    signed = read_signed_image(data)
    version = signed.members.get("version") if signed and signed.header_verifies else None
    return ImageFacts(os.path.abspath(path), hashlib.sha256(data).hexdigest(), len(data),
                      None if version is None else str(version))
