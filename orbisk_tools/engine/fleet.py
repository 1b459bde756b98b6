"""Updating the FPGA image of one device or of several at once, as orbisk-fpga does it.

The image is checked once, by the FPGA module's own checks, and every host name is
looked up once, before any device is touched (so that one device named twice is
refused). Then each device gets a Job in a thread of its own: a lock on each of its
addresses and, once read, on its serial number (so that no two updates of one device ever
run at once, in this process or another, of any user), its own connection and FpgaTool,
and an Outcome whose message says in one line what happened and what to do next.
"""

import concurrent.futures
import contextlib
import dataclasses
import errno
import fcntl
import hashlib
import ipaddress
import logging
import os
import pwd
import re
import socket
import stat
import threading
import time

from orbisk_tools.formats import files, protocol
from orbisk_tools.cli import options
from orbisk_tools.engine import window

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


# The folders for the device locks, in the order tried. The first is used only when every user
# can write to it (else root and the others would lock in different folders); the last is the
# system's own temporary folder, not $TMPDIR, which differs from one environment to another.
LOCK_FOLDERS = ("/run/lock", "/tmp")


def open_lock_folder():
    """The open folder (a file descriptor, for the caller to close) that holds the device locks of
    every user of this computer: the first of LOCK_FOLDERS that is a real folder of root (or of
    this user) from which nobody else can remove or replace a lock file, because others cannot
    write to it or because it is sticky (mode 1777, as /tmp). Else raises LockFolderRefused."""
    for path in LOCK_FOLDERS:
        try:
            folder = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError as error:
            reason = "it is a symbolic link" if os.path.islink(path) else error.strerror
            continue
        status = os.fstat(folder)
        if status.st_uid not in (0, os.getuid()):
            reason = "it belongs to another user"
        elif status.st_mode & 0o022 and not status.st_mode & stat.S_ISVTX:
            reason = "others can write to it and it is not sticky"
        elif not os.access(path, os.W_OK | os.X_OK):
            reason = "you cannot write to it"
        elif path == LOCK_FOLDERS[-1] or (status.st_uid == 0 and status.st_mode & 0o002):
            return folder
        os.close(folder)
    raise LockFolderRefused(f"cannot use the lock folder {path}: {reason}; have it made a folder of root that "
                            "every user can write to and only the owner of a file can remove it from (mode 1777, "
                            "as /tmp)")


@contextlib.contextmanager
def device_lock(folder, addresses, port):
    """Holds the locks of a device, one per address its name resolves to (the connection may use
    any of them). Raises DeviceFailure when another process holds one."""
    with contextlib.ExitStack() as held:
        for address in addresses:
            held.enter_context(_lock(folder, re.sub(r"[^0-9A-Za-z.-]", "_", f"{address}_{port}")))
        yield


def serial_lock(folder, serial):
    """The lock of the device with serial number `serial`, so that two addresses of one device
    exclude each other too. The serial number is the device's text: the file is named by its hash."""
    digest = hashlib.sha256(serial.encode("utf-8", "surrogatepass")).hexdigest()
    return _lock(folder, f"serial-{digest[:32]}")


# Lock files are never written and never followed through a link: anyone may have put something
# of their own under a lock's name. O_NONBLOCK: a FIFO does not hold the open up.
_LOCK_FILE_OPEN = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
_TRIES = 50  # opens, or locks, before giving up on a file that stays unreadable or whose holder stays unnamed


@contextlib.contextmanager
def _lock(folder, key):
    """A lock (flock) on the lock file of `key` in `folder`, shared by every user. The kernel
    releases it when the process ends, however it ends, so the file itself holds nothing.
    The file is removed while still locked: whoever opened it before that finds, once they hold
    the lock, that the name no longer leads to it, and tries again. Raises DeviceFailure."""
    name = f"orbisk-fpga-{key}.lock"
    for _ in range(_TRIES):
        fd = _open_lock_file(folder, name)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if _still_named(folder, name, fd):
                break
        except BlockingIOError:  # another open of the file holds it
            holder = _lock_holder(fd)
            if holder is not None:
                os.close(fd)
                raise DeviceFailure(_held_by(holder)) from None
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)  # released meanwhile, or the name leads to another file now: again
    else:  # held all along by a process that this computer does not name
        raise DeviceFailure(_held_by(0))
    try:
        yield
    finally:
        # From a sticky folder only the file's owner may remove it: another user's file stays.
        with contextlib.suppress(FileNotFoundError, PermissionError):
            os.unlink(name, dir_fd=folder)
        os.close(fd)  # releases the lock


def _open_lock_file(folder, name):
    """The lock file `name` in `folder`, open for reading, made (readable to all) when missing.
    Raises DeviceFailure when the name leads to anything else, or to a file that cannot be read."""
    for _ in range(_TRIES):
        try:
            try:  # without O_CREAT first: the kernel may refuse O_CREAT on another user's file here
                return _regular_file(os.open(name, _LOCK_FILE_OPEN, dir_fd=folder), folder, name)
            except FileNotFoundError:
                fd = os.open(name, _LOCK_FILE_OPEN | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=folder)
                try:
                    os.fchmod(fd, 0o644)  # whatever this process's umask
                except BaseException:
                    os.close(fd)
                    raise
                return fd
        except FileExistsError:
            continue  # made meanwhile by another process
        except PermissionError:
            time.sleep(0.01)  # just made by another user, and not yet readable to all? Or never
        except OSError as error:
            reason = "it is a symbolic link" if error.errno == errno.ELOOP else error.strerror
            raise DeviceFailure(_unusable_lock_file(folder, name, reason)) from None
    raise DeviceFailure(_unusable_lock_file(folder, name, "permission denied"))


def _regular_file(fd, folder, name):
    if stat.S_ISREG(os.fstat(fd).st_mode):
        return fd
    os.close(fd)
    raise DeviceFailure(_unusable_lock_file(folder, name, "it is not a regular file"))


def _unusable_lock_file(folder, name, reason):
    try:
        path = os.path.join(os.readlink(f"/proc/self/fd/{folder}"), name)
    except OSError:
        path = name
    return f"cannot use the lock file {path}: {reason}; have it removed"


def _lock_holder(fd):
    """The process that holds a flock on the file open as `fd`, from /proc/locks: its number (0 for
    a process outside this one's view), or None when none is found."""
    status = os.fstat(fd)
    file = f"{os.major(status.st_dev):02x}:{os.minor(status.st_dev):02x}:{status.st_ino}"
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            lines = locks.readlines()
    except OSError:
        return None
    for line in lines:  # "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters have "->" after "1:"
        fields = line.split()
        if len(fields) > 5 and fields[1] == "FLOCK" and fields[5] == file and fields[4].isdigit():
            return int(fields[4])
    return None


def _held_by(pid):
    """Why a device whose lock process `pid` holds (0: a process not known) is refused: the holder's
    process and user, or as much as is known of them."""
    if pid == os.getpid():
        return "this run is updating this device already, by another address; give each device once"
    holder = ""
    if pid:
        try:
            uid = os.stat(f"/proc/{pid}").st_uid
        except OSError:
            holder = f" (process {pid})"
        else:
            try:
                holder = f" (process {pid} of user {pwd.getpwuid(uid).pw_name})"
            except KeyError:
                holder = f" (process {pid} of user {uid})"
    return f"another orbisk-fpga{holder} is updating this device; wait for it to finish"


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
    device may give only once its configuration memory is erased, and its own time-out for the rest.
    stop_waiting() ends that wait at once: the erase then raises KeyboardInterrupt, the device erased."""

    def __init__(self, conn, erase_timeout):
        self._conn, self.erase_timeout = conn, erase_timeout
        self.erasing = False  # the erase is sent and not answered
        self.erase_started = 0.0  # monotonic time the erase was sent
        self._stop_waiting = threading.Event()

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def stop_waiting(self):
        self._stop_waiting.set()

    def sendCmd(self, line, rsp_type):
        text = line.decode("utf-8", "replace") if isinstance(line, (bytes, bytearray)) else str(line)
        if not text.startswith(protocol.FPGA_ERASE):
            return self._conn.sendCmd(line, rsp_type)
        usual, self._conn.timeout = self._conn.timeout, self.erase_timeout
        self.erasing, self.erase_started = True, time.monotonic()
        reply = self._erase(line, rsp_type)  # raises when it ends otherwise: the connection is then closed
        self._conn.timeout = usual
        self.erasing = False
        return reply

    def _erase(self, line, rsp_type):
        """The host connection's sendCmd of the erase, in a thread of its own, so that this thread
        can stop waiting for a device that may take minutes to answer."""
        answered, answer = threading.Event(), []

        def exchange():
            try:
                answer.append((True, self._conn.sendCmd(line, rsp_type)))
            except BaseException as error:  # handed to the waiting thread
                answer.append((False, error))
            finally:
                answered.set()

        threading.Thread(target=exchange, name="erase", daemon=True).start()
        while not answered.wait(0.1):
            if self._stop_waiting.is_set():
                raise KeyboardInterrupt
        (ok, value), = answer
        if not ok:
            raise value
        return value


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


def explain(outcome, image, timeout=None, reason=None, window_probed=False):
    """One line, from the UpdateOutcome of an update or a check that did not succeed, that says
    what happened and what to do. `reason` replaces the outcome's own key: an interrupt raised by
    the progress callback is the outcome's callback_error. `window_probed`: the device showed that it
    takes commands in flight, so a time-out with commands in flight is no reason to try --window 1."""
    reason = reason or outcome.reason
    fields = {"message": outcome.message.rstrip("."), **outcome.details, "image": image, "timeout": timeout,
              "doing": PHASE_WORDS.get(outcome.phase, f"in phase {outcome.phase}"), "advice": device_advice(outcome)}
    if reason == "device_type_mismatch":
        types = outcome.details["image_types"]
        fields["image_types"] = f"device type{'s' if len(types) > 1 else ''} {', '.join(map(str, types))}"
    if reason == "timeout" and outcome.pipeline_depth > 1 and not window_probed:
        fields["advice"] = f"a device that takes no commands in flight needs --window 1; {fields['advice']}"
    return REASONS.get(reason, "{message}; {advice}").format_map(fields)  # a key of a newer module


def device_advice(outcome):
    """What to do about the device, as the outcome left it."""
    if outcome.phase in ("load", "version"):  # only a verified read-back gets there
        return MAYBE_LOADED
    return NOT_CHANGED if outcome.device_state == "untouched" else STILL_PREVIOUS


def check_image(image, device_type=None):
    """Raises ImageRefused unless the image passes the update's checks (file, header and, when
    `device_type` is given, device type), run by the FPGA module itself without a device; OSError
    when the file cannot be read."""
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
    else:
        try:
            checker.processFpgaUpdate(image, device_type)
        except ChecksPassed:
            return
    if checker.last_outcome.reason in ("image_unreadable", "image_stat_failed"):
        with open(image, "rb"):  # raises the OSError that the module met, for the caller's own words
            pass
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
    bytes_written: int = 0  # what the device acknowledged of the update that ran last
    seconds: float = 0.0  # the whole update, from connecting to loading
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    reason: str | None = None  # the reason key of the module's UpdateOutcome, and its details
    details: dict = dataclasses.field(default_factory=dict)
    phase: str | None = None  # where it ended: a phase of the UpdateOutcome, or "connect"; None: not started
    device_state: str = "untouched"  # what the device was left holding: "untouched", "erased" or "loaded"
    window: int = 0  # the commands in flight of the update that ran last; 0: none ran
    history_error: str = ""  # why the history could not record how this update went (it went on all the same)


class Job:
    """The update of one device: lock, connection, FpgaTool, outcome. Runs in a thread of its own."""

    def __init__(self, target, addresses, settings, view, stop):
        self.target, self.addresses, self.settings, self.view, self.stop = target, addresses, settings, view, stop
        self.phase = None  # "connect", "probe", "erase", "write", "verify", then "load"
        self.phase_starts = {}  # phase -> monotonic time it began
        self.written = self.read_back = 0  # what the progress callback last said of the write and the read-back
        self.write_starts = 0  # ("write", 0, SIZE) reports of this update: above 1, the module wrote again
        self.tool = None  # the FpgaTool, once connected: its last_outcome says how the update ended
        self.record = None  # its row in the update history
        self.result, self.reason = "updated", None  # unless the update ends otherwise
        self.before = self.after = None  # what the device reported before the update and after loading
        self.depth = 0  # the commands in flight of the update that runs
        self.conn = None  # the PatientErase connection, once open

    def run(self):
        from orbisk_tools.records.history import HistoryUnavailable
        from orbisk_tools.engine.site_state import AttemptRecord

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
        except DeviceFailure as failure:
            outcome.message = str(failure)
        except HistoryUnavailable as failure:  # before the erase: the update stops there
            outcome.message, self.reason = f"{failure}; {NOT_CHANGED}", "history_unavailable"
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
                outcome.message = explain(ended, self.settings.image, timeout,
                                          window_probed=self.settings.window is None)
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
        ended = self._module_outcome()
        # What the device acknowledged, and the window, of the update that ran last (the module may
        # have written again one command at a time).
        outcome.bytes_written = ended.bytes_written if ended is not None else 0
        outcome.window = (ended.pipeline_depth if ended is not None else 0) or self.depth
        outcome.seconds = end - start
        self._note_versions(outcome)
        self._finish_record(outcome)
        starts = self.phase_starts
        if "write" in starts:
            outcome.write_seconds = starts.get("verify", end) - starts["write"]
        if "verify" in starts:
            outcome.read_back_seconds = starts.get("load", end) - starts["verify"]
        self.view.finished(outcome, outcome.phase)
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
        if self.record is None:
            return
        ended = self._module_outcome()
        reason = self.reason
        if reason is None and outcome.result == "failed":
            reason = (ended.reason if ended else None) or ("cannot_connect" if self.phase in (None, "connect") else "error")
        self.record.finish(outcome, reason, self.after, outcome.seconds, ended)
        if self.record.failure is not None and self.reason != "history_unavailable":  # not said by the message
            outcome.history_error = str(self.record.failure)

    def _enter(self, phase):
        self.phase = phase
        self.phase_starts[phase] = time.monotonic()
        self.record.phase(phase)

    def _update(self):
        """What to say of an update that did not fail (empty for an update); raises DeviceFailure,
        KeyboardInterrupt, or what ended an exchange."""
        from orbisk.VornFpga import FpgaTool
        from orbisk.VornPublic import RetCode

        from orbisk_tools.engine import rollout
        from orbisk_tools.engine.site_state import DeviceFacts, read_facts

        settings = self.settings
        if self.stop.is_set():
            raise KeyboardInterrupt
        self._enter("connect")
        self.view.phase(self.target.label, "connect")
        with contextlib.ExitStack() as held:
            conn = held.enter_context(device_connection(self.target, self.addresses, settings.timeout,
                                                        settings.lock_folder))
            if self.stop.is_set():
                raise KeyboardInterrupt
            self.conn = PatientErase(conn, settings.erase_timeout)
            tool = self.tool = FpgaTool(self.conn)
            tool.console_progress = False  # the display draws the progress
            tool._fpgaDone = self._loading(tool._fpgaDone)
            self._enter("probe")
            self.before = read_facts(tool, settings.device_type)
            self.record.device(self.before)
            if self.before.serial:  # to the end: the same device reached by another address is refused
                held.enter_context(serial_lock(settings.lock_folder, self.before.serial))
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
            except OSError:
                if not self._may_try_again(tool):
                    raise
                result = None
            if (result is None or result.RetCode is not RetCode.OK) and self._may_try_again(tool):
                result = self._update_at(tool, self._depth_to_try_again(conn, tool.last_outcome, depth))
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
        self.written = self.read_back = self.write_starts = 0
        self._enter("erase")
        self.view.phase(self.target.label, "erase")
        return tool.processFpgaUpdate(self.settings.image, self.settings.device_type)

    def erase_time_left(self):
        """Seconds the erase under way may still take, or None when no erase waits for its answer."""
        conn = self.conn
        if conn is None or not conn.erasing:
            return None
        return max(0.0, conn.erase_timeout - (time.monotonic() - conn.erase_started))

    def _may_try_again(self, tool):
        """Whether an update that failed with commands in flight may run once more: the window was
        the tool's choice, and replies went missing before anything was loaded."""
        outcome = tool.last_outcome
        return (self.settings.window is None and outcome is not None and outcome.pipeline_depth > 1
                and outcome.reason in ("timeout", "connection_lost", "readback_not_data")
                and outcome.device_state != "loaded" and not self.stop.is_set())

    def _depth_to_try_again(self, conn, ended, depth):
        """After an update with `depth` commands in flight ended as `ended` (an UpdateOutcome) said: a
        new connection, on which no reply of the old one can arrive, and the probe's test asked again.
        Says what happened and what comes next; returns `depth`, or 1 when the device now shows that it
        takes one command per read. A passing fault says nothing of the device's window; a device that
        stopped answering fails here, after its time-out, as the first try did."""
        conn.closeConnection()
        if not conn.initConnection():
            reason = why_not_connected(self.target, self.settings.timeout, 0)
            raise DeviceFailure(f"cannot connect again: {reason}; {device_advice(ended)}")
        if window.probe_pipeline_depth(conn) == 1:
            depth, next_step = 1, window.ONE_AT_A_TIME
        else:
            next_step = f"trying once more with {depth} commands in flight"
        self.view.note(f"{self.target.label}: {self._what_happened(ended)}; {next_step}")
        return depth

    def _what_happened(self, ended):
        """The fault that ended an update with commands in flight, and where, in a few words."""
        if ended.phase == "write":
            where = f"at byte {ended.bytes_written}"
        elif ended.phase == "verify":
            where = f"at byte {ended.details.get('offset', self.read_back)} of the read-back"
        else:
            where = PHASE_WORDS.get(ended.phase, f"in phase {ended.phase}")
        if ended.reason == "timeout":
            return f"no answer within {self.settings.timeout:g} s {where}"
        if ended.reason == "connection_lost":
            return f"connection lost {where}"
        return f"a read-back reply that is not data {where}"

    def _progress(self, stage, current, total):
        """The module's progress callback: called for every block, so it does little."""
        if self.stop.is_set():
            raise KeyboardInterrupt
        if self.phase != stage:  # "write", then "verify"
            self._enter(stage)
        if stage == "write":
            if current == 0:
                self.write_starts += 1
                if self.write_starts == 2:  # the module writes again after a block refused in the window
                    self.view.note(f"{self.target.label}: the device refused the block at byte {self.written} with "
                                   f"{self.depth} commands in flight; writing the image again from the erase, one "
                                   "command at a time")
            self.written = current
        else:
            self.read_back = current
        self.view.progress(self.target.label, stage, current, total)

    def _loading(self, done):
        """The tool's _fpgaDone, which the module calls only once the read-back matched the image:
        the load begins."""
        def load(*arguments):
            self._enter("load")
            return done(*arguments)
        return load


def update_devices(resolved, settings, view, jobs):
    """Updates every device of `resolved` (see resolve()), `jobs` at a time; Ctrl-C stops them all
    after their current exchange, and a second one stops waiting for erases. Returns the outcomes,
    in order, and whether it was interrupted."""
    stop = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="update") as pool:
        jobs_running = [Job(target, addresses, settings, view, stop) for target, addresses in resolved.items()]
        futures = [pool.submit(job.run) for job in jobs_running]
        presses = 0  # Ctrl-Cs not yet acted on: one may come while the last is acted on
        while True:
            try:
                while presses:
                    presses -= 1
                    _interrupt(jobs_running, stop, view)
                concurrent.futures.wait(futures)
                break
            except KeyboardInterrupt:
                presses += 1
    return [future.result() for future in futures], stop.is_set()


def _interrupt(jobs, stop, view):
    """Ctrl-C: the first stops every update after its current exchange; the next stops waiting for erases."""
    if not stop.is_set():
        stop.set()
        view.note("Interrupted: stopping every update after its current exchange with the device")
        for job in jobs:
            left = job.erase_time_left()
            if left is not None:
                view.note(f"{job.target.label}: erasing; the device may take up to {left:.0f} s more "
                          "to answer; press Ctrl-C again to stop waiting (it is then left erased)")
        return
    for job in jobs:
        if job.erase_time_left() is not None:
            job.conn.stop_waiting()
            view.note(f"{job.target.label}: stopped waiting for the erase; the device is left erased")
