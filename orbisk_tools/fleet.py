"""Updating the FPGA image of one device or of several at once, as orbisk-fpga does it.

The image is checked once, by the FPGA module's own checks, and every host name is
looked up once, before any device is touched (so that one device named twice is
refused). Then each device gets a Job in a thread of its own: a lock on each of its
addresses (so that no two updates of one device ever run at once, in this process or
another), its own connection and FpgaTool, and an Outcome whose message says in one
line what happened and what to do next.
"""

import concurrent.futures
import contextlib
import dataclasses
import errno
import fcntl
import ipaddress
import logging
import os
import re
import socket
import struct
import tempfile
import threading
import time

from orbisk_tools import files, options, protocol, window

STILL_PREVIOUS = ("the device still runs its previous FPGA image until it restarts; "
                  "run the update again before power-cycling it")
MAYBE_LOADED = "the read-back matched, but the device may not have loaded the new image; run the update again"
NOT_CHANGED = "the device was not changed"

# What the update was doing, in words, for each phase of a Job and of an UpdateOutcome.
PHASE_WORDS = {"connect": "while connecting", "probe": "while reading what the device reports",
               "check": "while checking the image", "erase": "while erasing", "write": "while writing",
               "verify": "while reading back", "load": "while loading the image",
               "version": "while loading the image", "done": "after loading the image"}


class DeviceFailure(Exception):
    """A device could not be updated or initialised; the message says why and what to do."""


class ImageRefused(Exception):
    """The image would not pass the update's checks; the message says why and what to do."""


# ---- -v: the FPGA module's log lines, each with its device ----------------------------------

_job = threading.local()  # the address that this thread updates


class DeviceLabel(logging.Filter):
    """Adds %(device)s to log records: "ADDRESS: " in a thread that updates a device."""

    def filter(self, record):
        label = getattr(_job, "label", None)
        record.device = f"{label}: " if label else ""
        return True


# ---- addresses ----------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Target:
    host: str  # a host name in lower case, or an IP address in its canonical form (a scope id as given)
    port: int

    @property
    def label(self):
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"


# A host name: dot-separated labels of letters, digits and inner hyphens (a final dot allowed).
HOST_NAME = re.compile(r"(?=.{1,253}$)(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*\.?")
EXPECTED = "expected HOST, HOST:PORT or [IPv6]:PORT"


def parse_address(text, default_port):
    """HOST, HOST:PORT, [IPv6] or [IPv6]:PORT (a bare IPv6 address takes the default port).
    HOST is an IP address or a host name; anything else is refused here, before any name look-up."""
    text = text.strip()
    port = None
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError(f"{text!r} is not an address: expected [IPv6] or [IPv6]:PORT")
        port = rest[1:] if rest else None
        if not _ip(host, ipaddress.IPv6Address):
            raise ValueError(f"{text!r} is not an address: {host!r} is not an IPv6 address")
    elif text.count(":") > 1:
        host = text
        if not _ip(host, ipaddress.IPv6Address):
            raise ValueError(f"{text!r} is not an address: {EXPECTED}")
    else:
        host, colon, port = text.partition(":")
        port = port if colon else None
        if not host:
            raise ValueError(f"{text!r} names no host")
        # A name whose last label is a number would go to the resolver as a name, and one that the
        # system reads as numbers (127.1, 0x7f000001) as an address that no check here has seen:
        # only a whole IPv4 address may be either.
        if not HOST_NAME.fullmatch(host) or (not _ip(host, ipaddress.IPv4Address) and (
                host.rstrip(".").rpartition(".")[2].isdigit() or _read_as_ipv4(host))):
            raise ValueError(f"{text!r} is not an address: {EXPECTED}")
    if port is not None:
        try:
            port = options.device_port(port)
        except Exception as error:
            raise ValueError(f"{text!r}: {error}") from None
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        ip = None  # a host name
    if ip is not None:
        host = str(ip)
        refusal = _not_a_device(ip)
        if refusal:
            raise ValueError(f"{text!r} is not the address of a device: {refusal}")
    return Target(host if ip is not None else host.lower(), default_port if port is None else port)


# An IPv6 scope id: an interface's name or index, which a label must carry back unchanged.
SCOPE_ID = re.compile(r"[A-Za-z0-9_.-]{1,64}")


def _not_a_device(ip):
    """Why the IP address `ip` names no single device, or None."""
    if ip.is_unspecified:
        return "it is the unspecified address"
    if ip.is_multicast:
        return "it is a multicast address"
    if ip == ipaddress.IPv4Address("255.255.255.255"):
        return "it is the broadcast address"
    scope = getattr(ip, "scope_id", None)
    if scope is not None and not SCOPE_ID.fullmatch(scope):
        return f"the scope id {scope!r} is not an interface name or number"
    return None


def _read_as_ipv4(name):
    """Whether the system reads `name`, without a final dot, as an IPv4 address written in
    numbers, as inet_aton does (a local parse: nothing is looked up)."""
    try:
        socket.inet_aton(name.rstrip("."))
    except OSError:
        return False
    return True


def _ip(text, kind):
    try:
        kind(text)
    except ValueError:
        return False
    return True


# A list of devices is a line each: even a large site's fits many times over.
MAX_ADDRESS_LIST_SIZE = 16 * 1024 * 1024


def read_address_list(path):
    """The addresses of a file, one HOST[:PORT] a line, # comments: [(where, text)]. Raises
    files.Unusable for a file that is not a regular one, or too large, OSError for one that cannot
    be read, UnicodeDecodeError for one that is not UTF-8."""
    lines = files.read_trusted_file(path, MAX_ADDRESS_LIST_SIZE, "a list of addresses").decode("utf-8").splitlines()
    entries = [(f"{path} line {number}", line.partition("#")[0].strip()) for number, line in enumerate(lines, 1)]
    return [(where, text) for where, text in entries if text]


# ---- one device: addresses, lock and connection ------------------------------------------

def resolve(targets):
    """{target: the sorted IP addresses its host name resolves to, or the DeviceFailure of a name
    that is not found}, in the order of `targets`, with one look-up per host."""
    found = {}
    for host in dict.fromkeys(target.host for target in targets):
        try:
            found[host] = sorted({info[4][0] for info in socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)})
        except (socket.gaierror, UnicodeError) as error:  # UnicodeError: a name that cannot be encoded
            reason = getattr(error, "strerror", None) or str(error)
            found[host] = DeviceFailure(f"cannot connect: name not found ({reason}); check the address")
    return {target: found[target.host] for target in targets}


def same_device(resolved):
    """(first, second, Target of a shared address) for two targets of `resolved` that name one
    device, a port on an address that both names resolve to; None when every device is named once."""
    seen = {}
    for target, addresses in resolved.items():
        if isinstance(addresses, DeviceFailure):
            continue
        for address in addresses:
            first = seen.setdefault((address, target.port), target)
            if first is not target:
                return first, target, Target(address, target.port)
    return None


class LockFolderRefused(Exception):
    """The folder for the device locks cannot be trusted; the message says why and what to do."""


def open_lock_folder():
    """The open folder (a file descriptor, for the caller to close) that holds this user's device locks:
    $XDG_RUNTIME_DIR/orbisk-fpga, or orbisk-fpga-UID in the temporary folder. Anyone can
    create that name in a shared temporary folder first, so it is used only when it is a real
    folder of this user that nobody else can write to; else raises LockFolderRefused."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    path = os.path.join(runtime, "orbisk-fpga") if runtime else os.path.join(tempfile.gettempdir(),
                                                                             f"orbisk-fpga-{os.getuid()}")
    reason = None
    try:
        with contextlib.suppress(FileExistsError):
            os.mkdir(path, 0o700)
        folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as error:
        reason = "it is a symbolic link" if os.path.islink(path) else error.strerror
    else:
        status = os.fstat(folder)
        if status.st_uid != os.getuid():
            reason = "it belongs to another user"
        elif status.st_mode & 0o022:
            reason = "others can write to it"
        if reason:
            os.close(folder)
    if reason:
        raise LockFolderRefused(f"cannot use the lock folder {path}: {reason}; have it removed, or set "
                                "XDG_RUNTIME_DIR to a folder that only you can write to")
    return folder


@contextlib.contextmanager
def device_lock(folder, addresses, port):
    """Holds the locks of a device, one per address its name resolves to (the connection may use
    any of them). Raises DeviceFailure when another process holds one."""
    with contextlib.ExitStack() as held:
        for address in addresses:
            held.enter_context(_address_lock(folder, address, port))
        yield


_FLOCK = struct.Struct("hhqqi4x")  # struct flock: type, whence, start, length, pid


@contextlib.contextmanager
def _address_lock(folder, address, port):
    """A record lock on the whole of an address's lock file in `folder`. The kernel releases it
    when the process ends, however it ends, and names its holder to anyone who asks, so the
    file itself holds nothing. The file is removed while still locked: whoever opened it
    before that finds, once they hold the lock, that the name no longer leads to it, and
    tries again."""
    name = re.sub(r"[^0-9A-Za-z.-]", "_", f"{address}_{port}") + ".lock"
    while True:
        fd = os.open(name, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600, dir_fd=folder)
        try:
            fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except (BlockingIOError, PermissionError):  # another process holds it
            try:
                holder = _lock_holder(fd)
            finally:
                os.close(fd)
            if holder is None:
                continue  # released meanwhile
            process = f" (process {holder})" if holder > 0 else ""  # 0: a process outside our view
            raise DeviceFailure(f"another orbisk-fpga{process} is updating this device; wait for it to finish") \
                from None
        except BaseException:
            os.close(fd)
            raise
        if _still_named(folder, name, fd):
            break
        os.close(fd)
    try:
        yield
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(name, dir_fd=folder)
        os.close(fd)  # releases the lock


def _lock_holder(fd):
    """The process that holds a lock on the file, or None when none does."""
    request = _FLOCK.pack(fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
    kind, _, _, _, pid = _FLOCK.unpack(fcntl.fcntl(fd, fcntl.F_GETLK, request))
    return None if kind == fcntl.F_UNLCK else pid


def _still_named(folder, name, fd):
    try:
        named = os.stat(name, dir_fd=folder, follow_symlinks=False)
    except FileNotFoundError:
        return False
    opened = os.fstat(fd)
    return (named.st_dev, named.st_ino) == (opened.st_dev, opened.st_ino)


def why_not_connected(target, timeout, waited):
    """Why a connection to `target` that failed after `waited` seconds failed, and what to do.
    One that took the whole time-out timed out; a quicker failure is tried once more, within
    what is left of the time-out, to learn its reason."""
    if waited < timeout:
        start = time.monotonic()
        try:
            socket.create_connection((target.host, target.port), timeout=timeout - waited).close()
        except ConnectionRefusedError:
            return (f"connection refused: nothing listens on port {target.port}; check the address, the port "
                    "and the device")
        except TimeoutError:
            waited += time.monotonic() - start
        except socket.gaierror as error:
            return f"name not found ({error.strerror}); check the address"
        except OSError as error:
            if error.errno in (errno.EHOSTUNREACH, errno.ENETUNREACH):
                return "no route to the device; check the address and the network"
            return f"{error.strerror or error}; check the address and the network"
        else:
            return "the first attempt failed, the second worked; run the command again"
    return f"timed out after {waited:.1f} s; check the address and the network, or give a longer --timeout"


@contextlib.contextmanager
def device_connection(target, addresses, timeout, folder):
    """A locked, open _TCPConn to `target`, whose name resolved to `addresses` (or to a
    DeviceFailure), closed at the end; locks in `folder`. Raises DeviceFailure."""
    from orbisk.VornCommService import _TCPConn

    if isinstance(addresses, DeviceFailure):
        raise addresses
    with device_lock(folder, addresses, target.port):
        conn = _TCPConn(target.host, target.port, timeout=timeout)
        start = time.monotonic()
        if not conn.initConnection():
            raise DeviceFailure(f"cannot connect: {why_not_connected(target, timeout, time.monotonic() - start)}")
        try:
            yield conn
        finally:
            conn.closeConnection()


class PatientErase:
    """A device connection that waits `erase_timeout` seconds for the answer to the erase, which a
    device may give only once its configuration memory is erased, and its own time-out for the rest."""

    def __init__(self, conn, erase_timeout):
        self._conn, self.erase_timeout = conn, erase_timeout
        self.erasing = False  # the erase is sent and not answered
        self.erase_started = 0.0  # monotonic time the erase was sent

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def sendCmd(self, line, rsp_type):
        text = line.decode("utf-8", "replace") if isinstance(line, (bytes, bytearray)) else str(line)
        if not text.startswith(protocol.FPGA_ERASE):
            return self._conn.sendCmd(line, rsp_type)
        usual, self._conn.timeout = self._conn.timeout, self.erase_timeout
        self.erasing, self.erase_started = True, time.monotonic()
        try:
            reply = self._conn.sendCmd(line, rsp_type)
        finally:
            self._conn.timeout = usual
        self.erasing = False
        return reply


def reply_limit(error):
    """The `limit` of a connection's ReplyTooLong (of the stand-in host or another: known by its
    name, or as a ConnectionError with an int `limit`, as the FPGA module knows it); else None."""
    limit = getattr(error, "limit", None)
    if not isinstance(limit, int) or not (type(error).__name__ == "ReplyTooLong" or isinstance(error, ConnectionError)):
        return None
    return limit


def transport_failure(error, timeout, phase_words, advice):
    """One line for an exception that ended an exchange with the device."""
    if isinstance(error, TimeoutError):
        return f"no answer within {timeout:g} s {phase_words}; {advice}"
    limit = reply_limit(error)
    if limit is not None:
        return f"the device sent a reply longer than {limit} bytes {phase_words}; {advice}"
    if isinstance(error, ConnectionError):
        return f"connection lost {phase_words} ({error}); {advice}"
    return f"stopped {phase_words}: {type(error).__name__}: {error}; {advice}"


# ---- the module's outcomes in one line each -------------------------------------------------

# What to tell the user for each reason key of an UpdateOutcome: the fields are its details, the
# image path, the time-out, what the update was doing and the advice for the state of the device.
REASONS = {
    "no_image_path": "no image given; name the image file",
    "image_not_found": "{image}: no such file; check the image's path",
    "image_type": "{image}: an FPGA image is named .bin (raw) or .tbin (signed); rename it, or give another file",
    "image_not_file": "{image} is not a file; give the path of the image file",
    "image_stat_failed": "cannot use {image} ({error}); check the file",
    "image_empty": "{image} is empty; get the image again",
    "image_unreadable": "cannot read {image} ({error}); check its permissions",
    "header_parse_error": "{image} is not a signed image (its header cannot be read); a raw image must be named .bin",
    "header_hash_mismatch": "{image}: the image header does not match its signature: the file is damaged or was "
                            "signed with another key; get the image again",
    "image_hash_mismatch": "{image}: the image part does not match its signature: the file is damaged or was signed "
                           "with another key; get the image again",
    "signed_image_empty": "{image} is a signed image with no image in it; sign the raw image again",
    "signed_image_named_bin": "{image} is a signed image; rename it to .tbin",
    "device_type_mismatch": "{image} is for {image_types}, not {device_type}; use the image made for device type "
                            "{device_type}, or check --device-type",
    "file_check_failed": "{image} did not pass the image file check; check the image file",
    "header_check_failed": "{image} did not pass the image header check; check the image file",
    "block_refused": "the device refused the block at byte offset {offset} {attempts} times; {advice}",
    "readback_mismatch": "the read-back differs from the image at byte offset {offset}; {advice}",
    "readback_not_data": "the read-back differs from the image at byte offset {offset}; {advice}",
    "image_changed": "the image file changed during the update; {advice}",
    "programming_failed": "the update failed {doing}; {advice}",
    "timeout": "no answer within {timeout:g} s {doing}; {advice}",
    "connection_lost": "connection lost {doing} ({text}); {advice}",
    "reply_too_long": "the device sent a reply longer than {limit} bytes {doing}; {advice}",
    "interrupted": "interrupted {doing}; {advice}",
    "callback_error": "stopped {doing}: {error}: {text}; {advice}",
    "error": "stopped {doing}: {error}: {text}; {advice}",
}


def explain(outcome, image, timeout=None, reason=None):
    """One line, from the UpdateOutcome of an update or a check that did not succeed, that says
    what happened and what to do. `reason` replaces the outcome's own key: an interrupt raised by
    the progress callback is the outcome's callback_error."""
    reason = reason or outcome.reason
    fields = {"message": outcome.message.rstrip("."), **outcome.details, "image": image, "timeout": timeout,
              "doing": PHASE_WORDS.get(outcome.phase, f"in phase {outcome.phase}"), "advice": device_advice(outcome)}
    if reason == "device_type_mismatch":
        types = outcome.details["image_types"]
        fields["image_types"] = f"device type{'s' if len(types) > 1 else ''} {', '.join(map(str, types))}"
    if reason == "timeout" and outcome.pipeline_depth > 1:
        fields["advice"] = f"a device that takes no commands in flight needs --window 1; {fields['advice']}"
    return REASONS.get(reason, "{message}; {advice}").format_map(fields)  # a key of a newer module


def device_advice(outcome):
    """What to do about the device, as the outcome left it."""
    if outcome.phase in ("load", "version"):  # only a verified read-back gets there
        return MAYBE_LOADED
    return NOT_CHANGED if outcome.device_state == "untouched" else STILL_PREVIOUS


def check_image(image, device_type=None):
    """Raises ImageRefused unless the image passes the update's checks (file, header and, when
    `device_type` is given, device type), run by the FPGA module itself without a device."""
    from orbisk.VornFpga import FpgaTool

    class ChecksPassed(Exception):
        pass

    class ImageOnly(FpgaTool):
        def _fpgaProgramFile(self, image_path, device_type=28):
            raise ChecksPassed  # every check passed: the next step would touch the device

    checker = ImageOnly(object())
    if device_type is None:
        if checker._checkUpdateFile(image) and checker._checkFileHeader(image):
            return
        raise ImageRefused(explain(checker.last_outcome, image))
    try:
        checker.processFpgaUpdate(image, device_type)
    except ChecksPassed:
        return
    raise ImageRefused(explain(checker.last_outcome, image))


# ---- updates -------------------------------------------------------------------------------

@dataclasses.dataclass
class Settings:
    image: str
    device_type: int
    timeout: float
    window: int | None  # commands in flight; None: as many as the link to each device needs
    lock_folder: int  # an open folder, from open_lock_folder()
    history: object = None  # a history.History to record each attempt in, or None
    run_id: str | None = None
    image_facts: object = None  # the image's history.ImageFacts
    dry_run: bool = False  # identify each device and say what would be done, changing nothing
    force: bool = False  # update a device that already holds the image
    gate: object = None  # a rollout.Gate that may hold devices back, or None
    vendor_key_id: str | None = None  # the key that verified the image's vendor signature, if one was checked
    erase_timeout: float = 120.0  # how long to wait for the answer to the erase


SUCCEEDED = ("updated", "skipped", "dry run")  # the results of devices that need nothing more


@dataclasses.dataclass
class Outcome:
    address: str
    result: str = "failed"  # "updated", "failed", "interrupted", "skipped", "dry run" or "not started"
    message: str = ""  # why it failed, and what to do
    fpga_version: str = ""
    fpga_version_before: str = ""
    serial: str = ""
    bytes_written: int = 0
    seconds: float = 0.0  # the whole update, from connecting to loading
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    reason: str | None = None  # the reason key of the module's UpdateOutcome, and its details
    details: dict = dataclasses.field(default_factory=dict)
    phase: str | None = None  # where it ended: a phase of the UpdateOutcome, or "connect"; None: not started
    device_state: str = "untouched"  # what the device was left holding: "untouched", "erased" or "loaded"
    window: int = 0  # the commands in flight of the update that ran last; 0: none ran


class Job:
    """The update of one device: lock, connection, FpgaTool, outcome. Runs in a thread of its own."""

    def __init__(self, target, addresses, settings, view, stop):
        self.target, self.addresses, self.settings, self.view, self.stop = target, addresses, settings, view, stop
        self.phase = None  # "connect", "probe", "erase", "write", "verify", then "load"
        self.phase_starts = {}  # phase -> monotonic time it began
        self.written = 0
        self.tool = None  # the FpgaTool, once connected: its last_outcome says how the update ended
        self.record = None  # its row in the update history
        self.result, self.reason = "updated", None  # unless the update ends otherwise
        self.before = self.after = None  # what the device reported before the update and after loading
        self.depth = 0  # the commands in flight of the update that runs
        self.conn = None  # the PatientErase connection, once open

    def run(self):
        from orbisk_tools.history import HistoryUnavailable
        from orbisk_tools.site_state import AttemptRecord

        _job.label = self.target.label
        outcome = Outcome(self.target.label)
        start = time.monotonic()
        try:
            self.record = AttemptRecord(self.settings, self.target.label)
            held = self.settings.gate and self.settings.gate.refusal(self.target.label, self.stop)
            if held:
                outcome.result, outcome.message, self.reason = "not started", held, "not_started"
            else:
                outcome.message = self._update()
                outcome.result = self.result
        except (DeviceFailure, HistoryUnavailable) as failure:
            outcome.message = str(failure)
        except KeyboardInterrupt:  # from the progress callback, or before the module ran
            outcome.result, self.reason = "interrupted", "not_started" if self.phase is None else "interrupted"
            ended = self._module_outcome()
            if ended is not None and not ended.ok:
                outcome.message = explain(ended, self.settings.image, reason="interrupted")
            elif self.phase is None:
                outcome.message = f"not started; {NOT_CHANGED}"
            else:
                outcome.message = f"interrupted {PHASE_WORDS[self.phase]}; {NOT_CHANGED}"
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            ended = self._module_outcome()
            erasing = self.conn is not None and self.conn.erasing
            timeout = self.settings.erase_timeout if erasing else self.settings.timeout
            if ended is not None and not ended.ok:
                outcome.message = explain(ended, self.settings.image, timeout)
            else:
                outcome.message = transport_failure(error, timeout, PHASE_WORDS[self.phase], NOT_CHANGED)
                if reply_limit(error) is not None:
                    self.reason = "reply_too_long"  # before the module's update, which would say so itself
        finally:
            _job.label = None
        self._record_module_outcome(outcome)
        if outcome.reason is None and outcome.result not in SUCCEEDED:
            outcome.reason = self.reason  # a reason of the run's own: not started, a version mismatch
        end = time.monotonic()
        outcome.bytes_written = self.written
        outcome.window = self.depth
        outcome.seconds = end - start
        self._note_versions(outcome)
        self._finish_record(outcome)
        starts = self.phase_starts
        if "write" in starts:
            outcome.write_seconds = starts.get("verify", end) - starts["write"]
        if "verify" in starts:
            outcome.read_back_seconds = starts.get("load", end) - starts["verify"]
        self.view.finished(outcome, self.phase)
        if self.settings.gate:
            self.settings.gate.finished(outcome)
        return outcome

    def _module_outcome(self):
        """The UpdateOutcome of the module's last call; None before any."""
        return None if self.tool is None else self.tool.last_outcome

    def _record_module_outcome(self, outcome):
        """Copies into `outcome` the reason, details, phase and device state of the module's last
        call; before any, the phase this Job reached, and an untouched device."""
        ended = self._module_outcome()
        if ended is None:
            outcome.phase = self.phase
            return
        outcome.reason, outcome.details = ended.reason, ended.details
        outcome.phase, outcome.device_state = ended.phase, ended.device_state
        if outcome.result == "interrupted" and ended.reason == "callback_error":
            outcome.reason = "interrupted"  # the progress callback stops an update by raising KeyboardInterrupt

    def _note_versions(self, outcome):
        if self.before:
            outcome.serial = self.before.serial or ""
            outcome.fpga_version_before = self.before.fpga_version or ""
            if outcome.result == "skipped":
                outcome.fpga_version = outcome.fpga_version_before
        if self.after:
            outcome.fpga_version = self.after.fpga_version or ""

    def _finish_record(self, outcome):
        from orbisk_tools.history import HistoryUnavailable

        if self.record is None:
            return
        ended = self._module_outcome()
        reason = self.reason
        if reason is None and outcome.result == "failed":
            reason = (ended.reason if ended else None) or ("cannot_connect" if self.phase in (None, "connect") else "error")
        try:
            self.record.finish(outcome, reason, self.after, outcome.seconds, ended)
        except HistoryUnavailable as error:
            self.view.note(f"{self.target.label}: {error}")

    def _enter(self, phase):
        self.phase = phase
        self.phase_starts[phase] = time.monotonic()
        self.record.phase(phase)

    def _update(self):
        """What to say of an update that did not fail (empty for an update); raises DeviceFailure,
        KeyboardInterrupt, or what ended an exchange."""
        from orbisk.VornFpga import FpgaTool
        from orbisk.VornPublic import RetCode

        from orbisk_tools import rollout
        from orbisk_tools.site_state import DeviceFacts, read_facts

        settings = self.settings
        if self.stop.is_set():
            raise KeyboardInterrupt
        self._enter("connect")
        self.view.phase(self.target.label, "connect")
        with device_connection(self.target, self.addresses, settings.timeout, settings.lock_folder) as conn:
            if self.stop.is_set():
                raise KeyboardInterrupt
            self.conn = PatientErase(conn, settings.erase_timeout)
            tool = self.tool = FpgaTool(self.conn)
            tool.console_progress = False  # the display draws the progress
            self._enter("probe")
            self.before = read_facts(tool, settings.device_type)
            self.record.device(self.before)
            not_written = rollout.reason_not_to_write(settings, self.before, settings.history)
            depth = None
            if not_written and not_written[1] == "already_loaded":  # the history proposes; the device decides
                depth = settings.window or self._probe(conn)
                if not self._holds_image(tool, depth):
                    not_written = None
            if not_written:
                self.result, self.reason, message = not_written
                return message
            depth = depth or settings.window or self._probe(conn)
            tool.set_progress_callback(self._progress)
            try:
                result = self._update_at(tool, depth)  # its exceptions: see run()
                failed = result.RetCode is not RetCode.OK
            except OSError:
                if not self._may_fall_back(tool):
                    raise
                failed = True
            if failed and self._may_fall_back(tool):
                self.view.note(f"{self.target.label}: {window.ONE_AT_A_TIME}")
                conn.closeConnection()  # with the replies still in flight
                if not conn.initConnection():
                    reason = why_not_connected(self.target, settings.timeout, 0)
                    raise DeviceFailure(f"cannot connect again: {reason}; {device_advice(tool.last_outcome)}")
                result = self._update_at(tool, 1)
            if result.RetCode is RetCode.OK:
                try:
                    control_fw_version = tool._fpgaGetControlFwVer() or None
                except Exception:  # the image is loaded: this version only goes into the record
                    control_fw_version = None
                self.after = DeviceFacts(fpga_version=result.RetData["fw_version"],
                                         control_fw_version=control_fw_version)
        if result.RetCode is not RetCode.OK:
            raise DeviceFailure(explain(tool.last_outcome, settings.image))
        mismatch = rollout.version_mismatch(settings.image_facts, self.after.fpga_version)
        if mismatch:
            self.reason = "version_mismatch"
            raise DeviceFailure(mismatch)
        return ""

    def _probe(self, conn):
        """The commands in flight that the link to the device needs; 1 for a device that takes none."""
        depth = window.probe_pipeline_depth(conn)
        if depth == 1:
            self.view.note(f"{self.target.label}: {window.ONE_AT_A_TIME}")
        return depth

    def _holds_image(self, tool, depth):
        """Whether the device's read-back of the image's length matches the image now (read-only)."""
        tool.pipeline_depth = self.depth = depth
        self._enter("verify")
        result = tool.verifyFpgaImage(self.settings.image, self.settings.device_type)
        holds = bool(result.RetData and result.RetData.get("holds"))
        if not holds:
            self.phase_starts.pop("verify")  # the update's own read-back times its phase
        return holds

    def _update_at(self, tool, depth):
        """One whole update, from the erase, with `depth` commands in flight."""
        if self.stop.is_set():  # Ctrl-C before the erase: the device stays untouched
            raise KeyboardInterrupt
        tool.pipeline_depth = self.depth = depth
        self.written = 0
        self._enter("erase")
        self.view.phase(self.target.label, "erase")
        return tool.processFpgaUpdate(self.settings.image, self.settings.device_type)

    def erase_time_left(self):
        """Seconds the erase under way may still take, or None when no erase waits for its answer."""
        conn = self.conn
        if conn is None or not conn.erasing:
            return None
        return max(0.0, conn.erase_timeout - (time.monotonic() - conn.erase_started))

    def _may_fall_back(self, tool):
        """Whether an update that failed with commands in flight may run again one command at a
        time: the window was the tool's choice, and replies went missing before anything was loaded."""
        outcome = tool.last_outcome
        return (self.settings.window is None and outcome is not None and outcome.pipeline_depth > 1
                and outcome.reason in ("timeout", "connection_lost", "readback_not_data")
                and outcome.device_state != "loaded" and not self.stop.is_set())

    def _progress(self, stage, current, total):
        """The module's progress callback: called for every block, so it does little."""
        if self.stop.is_set():
            raise KeyboardInterrupt
        if stage == "write":
            if self.phase != "write":
                self._enter("write")
            self.written = current
        else:
            phase = "load" if current >= total else "verify"
            if self.phase != phase:
                self._enter(phase)
        self.view.progress(self.target.label, stage, current, total)


def update_devices(resolved, settings, view, jobs):
    """Updates every device of `resolved` (see resolve()), `jobs` at a time; Ctrl-C stops them all
    after their current exchange. Returns the outcomes, in order, and whether it was interrupted."""
    stop = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="update") as pool:
        jobs_running = [Job(target, addresses, settings, view, stop) for target, addresses in resolved.items()]
        futures = [pool.submit(job.run) for job in jobs_running]
        while True:
            try:
                concurrent.futures.wait(futures)
                break
            except KeyboardInterrupt:
                if not stop.is_set():
                    stop.set()
                    view.note("Interrupted: stopping every update after its current exchange with the device")
                    for job in jobs_running:
                        left = job.erase_time_left()
                        if left is not None:
                            view.note(f"{job.target.label}: erasing; the device may take up to {left:.0f} s more "
                                      "to answer, and is left erased if stopped now")
    return [future.result() for future in futures], stop.is_set()
