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

from orbisk_tools import options, protocol, window

STILL_PREVIOUS = ("the device still runs its previous FPGA image until it restarts; "
                  "run the update again before power-cycling it")
MAYBE_LOADED = "the read-back matched, but the device may not have loaded the new image; run the update again"

# What the update was doing, in words, for each phase of a Job.
PHASE_WORDS = {"connect": "while connecting", "erase": "while erasing", "write": "while writing",
               "verify": "while reading back", "load": "while loading the image"}


class DeviceFailure(Exception):
    """A device could not be updated or initialised; the message says why and what to do."""


class ImageRefused(Exception):
    """The image would not pass the update's checks; the message says why and what to do."""


# ---- the FPGA module's log: reasons for its results, and -v ----------------------------

class ModuleLog(logging.Handler):
    """Keeps the error lines the FPGA module logs, per thread, so that each update can name its reason."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self._errors = {}  # thread ident -> error lines

    def emit(self, record):
        self._errors.setdefault(record.thread, []).append(record.getMessage())

    def take(self):
        """The error lines logged by this thread since it last took them."""
        return self._errors.pop(threading.get_ident(), [])


MODULE_LOG = ModuleLog()
logging.getLogger("FPGA").addHandler(MODULE_LOG)

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
    host: str  # lower case; an IP address in its canonical form
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
        # A name whose last label is a number would go to the resolver as a name: only a whole
        # IPv4 address may end in one.
        if not HOST_NAME.fullmatch(host) or (host.rstrip(".").rpartition(".")[2].isdigit()
                                             and not _ip(host, ipaddress.IPv4Address)):
            raise ValueError(f"{text!r} is not an address: {EXPECTED}")
    if port is not None:
        try:
            port = options.device_port(port)
        except Exception as error:
            raise ValueError(f"{text!r}: {error}") from None
    with contextlib.suppress(ValueError):
        host = str(ipaddress.ip_address(host))
    return Target(host.lower(), default_port if port is None else port)


def _ip(text, kind):
    try:
        kind(text)
    except ValueError:
        return False
    return True


def read_address_list(path):
    """The addresses of a file, one HOST[:PORT] a line, # comments: [(where, text)]."""
    with open(path, encoding="utf-8") as lines:
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

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def sendCmd(self, line, rsp_type):
        text = line.decode("utf-8", "replace") if isinstance(line, (bytes, bytearray)) else str(line)
        if not text.startswith(protocol.FPGA_ERASE):
            return self._conn.sendCmd(line, rsp_type)
        usual, self._conn.timeout = self._conn.timeout, self.erase_timeout
        self.erasing = True
        try:
            reply = self._conn.sendCmd(line, rsp_type)
        finally:
            self._conn.timeout = usual
        self.erasing = False
        return reply


def transport_failure(error, timeout, phase_words, advice):
    """One line for an exception that ended an exchange with the device."""
    if isinstance(error, TimeoutError):
        return f"no answer within {timeout:g} s {phase_words}; {advice}"
    if isinstance(error, ConnectionError):
        return f"connection lost {phase_words} ({error}); {advice}"
    return f"stopped {phase_words}: {type(error).__name__}: {error}; {advice}"


# ---- the module's results in one line each --------------------------------------------------

# (pattern of a reason the module logs, what to tell the user); IMAGE stands for the image path.
EXPLANATIONS = [
    (r"FPGA image path not found: IMAGE", "{image}: no such file; check the image's path"),
    (r"FPGA image file type error: IMAGE",
     "{image}: an FPGA image is named .bin (raw) or .tbin (signed); rename it, or give another file"),
    (r"FPGA image not found: IMAGE", "{image} is not a file; give the path of the image file"),
    (r"FPGA image file error: IMAGE, (?P<error>.*)", "cannot use {image} ({error}); check the file"),
    (r"FPGA image is empty: IMAGE", "{image} is empty; get the image again"),
    (r"FPGA image file not readable: IMAGE, (?P<error>.*)", "cannot read {image} ({error}); check its permissions"),
    (r"FPGA tbin header parse error: .*",
     "{image} is not a signed image (its header cannot be read); a raw image must be named .bin"),
    (r"FPGA tbin header hash mismatch", "{image}: the image header does not match its signature: the file is "
                                        "damaged or was signed with another key; get the image again"),
    (r"FPGA tbin image hash mismatch", "{image}: the image part does not match its signature: the file is "
                                       "damaged or was signed with another key; get the image again"),
    (r"FPGA tbin image is empty: IMAGE", "{image} is a signed image with no image in it; sign the raw image again"),
    (r"FPGA image is a signed image; rename it to \.tbin: IMAGE", "{image} is a signed image; rename it to .tbin"),
    (r"FPGA image is for (?P<types>device types? [\d, ]+), not (?P<type>\d+)\.",
     "{image} is for {types}, not {type}; use the image made for device type {type}, or check --device-type"),
    (r"FPGA image path is not provided\.", "no image given; name the image file"),
    (r"FPGA block at byte offset (?P<offset>\d+) refused (?P<times>\d+) times; .*",
     "the device refused the block at byte offset {offset} {times} times; " + STILL_PREVIOUS),
    (r"FPGA read-back differs from the image at byte offset (?P<offset>\d+)",
     "the read-back differs from the image at byte offset {offset}; " + STILL_PREVIOUS),
    (r"FPGA read-back differs from the image as written; .*",
     "the image file changed during the update; " + STILL_PREVIOUS),
]


def explain(result_message, reasons, image):
    """One line for a result of processFpgaUpdate, from the reasons the module logged before it."""
    image_pattern = re.escape(image)
    for reason in reasons:
        for pattern, explanation in EXPLANATIONS:
            match = re.fullmatch(pattern.replace("IMAGE", image_pattern), reason)
            if match:
                return explanation.format(image=image, **match.groupdict())
    others = [reason for reason in reasons if reason != result_message]
    return f"{result_message} ({others[-1]})" if others else result_message


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
    MODULE_LOG.take()
    if device_type is None:
        if checker._checkUpdateFile(image) and checker._checkFileHeader(image):
            return
        raise ImageRefused(explain("", MODULE_LOG.take(), image))
    try:
        result = checker.processFpgaUpdate(image, device_type)
    except ChecksPassed:
        return
    raise ImageRefused(explain(result.RetMsg, MODULE_LOG.take(), image))


# ---- updates -------------------------------------------------------------------------------

@dataclasses.dataclass
class Settings:
    image: str
    device_type: int
    timeout: float
    window: int | None  # commands in flight; None: as many as the link to each device needs
    lock_folder: int  # an open folder, from open_lock_folder()
    erase_timeout: float = 120.0  # how long to wait for the answer to the erase


@dataclasses.dataclass
class Outcome:
    address: str
    result: str = "failed"  # "updated", "failed" or "interrupted"
    message: str = ""  # why it failed, and what to do
    fpga_version: str = ""
    bytes_written: int = 0
    seconds: float = 0.0  # the whole update, from connecting to loading
    write_seconds: float = 0.0
    read_back_seconds: float = 0.0
    window: int = 0  # the commands in flight of the update that ran last; 0: none ran


class Job:
    """The update of one device: lock, connection, FpgaTool, outcome. Runs in a thread of its own."""

    def __init__(self, target, addresses, settings, view, stop):
        self.target, self.addresses, self.settings, self.view, self.stop = target, addresses, settings, view, stop
        self.phase = None  # "connect", "erase", "write", "verify", then "load"
        self.phase_starts = {}  # phase -> monotonic time it began
        self.written = 0
        self.depth = 0  # the commands in flight of the update that runs
        self.conn = None  # the PatientErase connection, once open

    def run(self):
        _job.label = self.target.label
        outcome = Outcome(self.target.label)
        start = time.monotonic()
        try:
            outcome.fpga_version = self._update()
            outcome.result = "updated"
        except DeviceFailure as failure:
            outcome.message = str(failure)
        except KeyboardInterrupt:
            outcome.result = "interrupted"
            if self.phase is None:
                outcome.message = "not started; the device was not changed"
            else:
                outcome.message = f"interrupted {PHASE_WORDS[self.phase]}; {self._advice()}"
        except Exception as error:  # the link failed or timed out, or the device's answer cannot be used
            advice = self._advice()
            if isinstance(error, TimeoutError) and (self.settings.window or 1) > 1:
                advice = f"a device that takes no commands in flight needs --window 1; {advice}"
            erasing = self.conn is not None and self.conn.erasing
            timeout = self.settings.erase_timeout if erasing else self.settings.timeout
            outcome.message = transport_failure(error, timeout, PHASE_WORDS[self.phase], advice)
        finally:
            _job.label = None
        end = time.monotonic()
        outcome.bytes_written = self.written
        outcome.window = self.depth
        outcome.seconds = end - start
        starts = self.phase_starts
        if "write" in starts:
            outcome.write_seconds = starts.get("verify", end) - starts["write"]
        if "verify" in starts:
            outcome.read_back_seconds = starts.get("load", end) - starts["verify"]
        self.view.finished(outcome, self.phase)
        return outcome

    def _advice(self):
        if self.phase == "connect":
            return "the device was not changed"
        return MAYBE_LOADED if self.phase == "load" else STILL_PREVIOUS

    def _enter(self, phase):
        self.phase = phase
        self.phase_starts[phase] = time.monotonic()

    def _update(self):
        """The new FPGA version; raises DeviceFailure, KeyboardInterrupt, or what ended an exchange."""
        from orbisk.VornFpga import FpgaTool
        from orbisk.VornPublic import RetCode

        settings = self.settings
        if self.stop.is_set():
            raise KeyboardInterrupt
        self._enter("connect")
        self.view.phase(self.target.label, "connect")
        with device_connection(self.target, self.addresses, settings.timeout, settings.lock_folder) as conn:
            if self.stop.is_set():
                raise KeyboardInterrupt
            depth = settings.window or self._probe(conn)
            self.conn = PatientErase(conn, settings.erase_timeout)
            tool = FpgaTool(self.conn)
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
                    raise DeviceFailure(f"cannot connect again: {reason}; {self._advice()}")
                result = self._update_at(tool, 1)
        if result.RetCode is not RetCode.OK:
            raise DeviceFailure(explain(result.RetMsg, MODULE_LOG.take(), settings.image))
        return result.RetData["fw_version"]

    def _probe(self, conn):
        """The commands in flight that the link to the device needs; 1 for a device that takes none."""
        depth = window.probe_pipeline_depth(conn)
        if depth == 1:
            self.view.note(f"{self.target.label}: {window.ONE_AT_A_TIME}")
        return depth

    def _update_at(self, tool, depth):
        """One whole update, from the erase, with `depth` commands in flight."""
        tool.pipeline_depth = self.depth = depth
        self.written = 0
        MODULE_LOG.take()
        self._enter("erase")
        self.view.phase(self.target.label, "erase")
        return tool.processFpgaUpdate(self.settings.image, self.settings.device_type)

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
            current = min(current, total)  # the last page may go past the image
            phase = "load" if current >= total else "verify"
            if self.phase != phase:
                self._enter(phase)
        self.view.progress(self.target.label, stage, current, total)


def update_devices(resolved, settings, view, jobs):
    """Updates every device of `resolved` (see resolve()), `jobs` at a time; Ctrl-C stops them all
    after their current exchange. Returns the outcomes, in order, and whether it was interrupted."""
    stop = threading.Event()
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="update") as pool:
        futures = [pool.submit(Job(target, addresses, settings, view, stop).run)
                   for target, addresses in resolved.items()]
        while True:
            try:
                concurrent.futures.wait(futures)
                break
            except KeyboardInterrupt:
                if not stop.is_set():
                    stop.set()
                    view.note("Interrupted: stopping every update after its current exchange with the device")
    return [future.result() for future in futures], stop.is_set()
