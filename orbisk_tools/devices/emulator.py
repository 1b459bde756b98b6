"""An emulated device on a real TCP socket: the FPGA controller and the fast beam controller.

It speaks the controller's command protocol as the SDK uses it: command lines end in
CR LF and get one reply line, except the block write, whose binary frame is read by
its length, and the page read, which is answered raw. Its configuration memory is a flash
(see flash.py), and it can be switched off and on (power_cycle()), keeping its state in a file
across restarts. Faults can be switched on to see how the SDK copes with a misbehaving device.

    orbisk-fpga emulate --port 5025
    with DeviceEmulator(port=0) as device: ...  # device.port
"""

import dataclasses
import hashlib
import json
import logging
import socket
import queue
import socketserver
import threading
import time
from typing import Any, Self

from orbisk_tools.devices import flash
from orbisk_tools.devices.command_log import CommandLog
from orbisk_tools.formats import files, protocol

log = logging.getLogger(__name__)  # connections and update outcomes, shown by -v

OK = b"0"
OK_REPLY = OK + protocol.LINE_END


@dataclasses.dataclass
class Faults:
    """Misbehaviour on demand, and the device's own timings. Counts of blocks and commands start
    at 0 and span all connections."""

    refuse_block: int | None = None  # index of the block to refuse ...
    refuse_times: int | None = 1  # ... this many times; None: for ever
    drop_after_blocks: int | None = None  # close the connection instead of taking this block (once)
    corrupt_read_offset: int | None = None  # flip the bits of the image byte at this offset in read-backs
    pad_last_page: bool = False  # answer a short last page padded to 16 bytes
    reply_delay: float = 0.0  # seconds to wait before every reply: a slow device, one reply after the other
    latency: float = 0.0  # seconds every reply spends on the link; replies in flight overlap
    one_command_per_read: bool = False  # take each read from the socket as one command, dropping the rest
    one_command_per_read_after: int | None = None  # ... once this many commands were taken
    silent_after: int | None = None  # after this many commands, never answer again
    erase_seconds: float = 0.0  # the erase takes this long, and is answered when done
    write_rate: float | None = None  # image bytes a second written to the configuration memory; None: at once
    endless_reply: str | None = None  # answer this command word with a line that never ends
    split_replies: bool = False  # send every reply in small writes, a little apart


NO_FPGA_IMAGE = b"ERR no FPGA image"  # the answer to the FPGA version queries while the FPGA runs no image


class LoadedBytes:
    """What FPGA_REFRESH loaded, kept as its size and SHA-256 rather than as a second copy of
    the image: equal to the bytes (or a bytearray) of that image, and to another LoadedBytes
    of it."""

    __slots__ = ("size", "sha256")

    def __init__(self, size: int, sha256: str) -> None:
        self.size, self.sha256 = size, sha256

    def __eq__(self, other: object) -> bool:
        if isinstance(other, LoadedBytes):
            return (self.size, self.sha256) == (other.size, other.sha256)
        if isinstance(other, (bytes, bytearray)):
            return len(other) == self.size and hashlib.sha256(other).hexdigest() == self.sha256
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]  # equal to bytes, whose hash it cannot have

    def __repr__(self) -> str:
        return f"<LoadedBytes: {self.size} bytes of SHA-256 {self.sha256}>"


@dataclasses.dataclass
class FpgaState:
    fpga_id: str = "0x0362D093"
    fpga_version: str | None = "0.2.3.4"  # what the FPGA runs; None: no image
    new_fpga_version: str = "0.2.4.0"  # reported once an image was loaded ...
    image_versions: dict = dataclasses.field(default_factory=dict)  # ... unless its SHA-256 is here: its version
    control_fw_version: str = "0.1.0.6"
    serial_number: str = "VORN-000001"
    config_mode: str = ""
    memory: bytearray = dataclasses.field(default_factory=bytearray)  # the flash, up to the end of what it holds
    whole: bool = True  # every write since the erase stored what it was sent: the memory may hold an image
    loaded: flash.LoadedImage | None = None  # the memory's image, loaded after its last write
    pointer: int = 0
    done: bool = False
    loaded_image: LoadedBytes | None = None  # what FPGA_REFRESH loaded last; None until it loaded one
    blocks_taken: int = 0
    block_attempts: int = 0
    refusals: int = 0  # how often the refuse_block fault refused its block
    dropped: bool = False  # whether the drop_after_blocks fault dropped the connection


@dataclasses.dataclass
class BeamState:
    """The fast beam controller. Beams are stored (BEAM_PATTERN_STORE_*) only while storage is
    enabled, and reach the beamformer IC only with BEAM_PATTERN_APPLY_BFIC. SYS_REBOOT restarts
    the controller: the stored beams, the storage switch and the external control are kept (the
    storage is non-volatile), and the beamformer IC keeps what it holds until the next apply. A
    beam erased with BEAM_PATTERN_ERASE is gone for good: a host that erases before it reboots
    (syncFastBeamConfig does) stores its beams again before the apply."""

    external_control: int = 0
    fbs_mode: int = 0
    storage_enabled: bool = False
    stored: dict = dataclasses.field(default_factory=dict)  # what BEAM_PATTERN_STORE_* wrote
    applied: dict = dataclasses.field(default_factory=dict)  # what the beamformer IC holds
    erases: int = 0
    applies: int = 0
    reboots: int = 0


class Device:
    """The controller's state and its answer to each command; shared by all connections.

    Its configuration memory holds, and its FPGA runs, the same made-up image on every device
    (flash.device_image()) at `fpga_version`, or with `erased` nothing at all."""

    takes_runs = True  # False: every block write and page read on its own, through program() and read_page()
    label = ""  # what its log lines start with: "ADDRESS: " for a device of a site
    commands_kept = 1 << 20  # the last commands whose words `commands` keeps (see CommandLog)

    def __init__(self, faults: Faults | None = None, erased: bool = False, **fpga: Any) -> None:
        self.faults = faults or Faults()
        self.fpga = FpgaState(**fpga)
        if erased:
            self.fpga.fpga_version = None
        else:
            self.fpga.memory[:] = flash.device_image()
            self.fpga.loaded = flash.LoadedImage.of(self.fpga.memory, self.fpga.fpga_version)
        self.beams = BeamState()
        self.commands = CommandLog(self.commands_kept)  # the command words received, in order
        self.lock = threading.Lock()
        self.interrupted = threading.Event()  # set while the emulator stops or its power is cut: waits end at once
        self.power_ups = 0  # a connection made before the last power-up is gone
        self.state_path: str | None = None
        self._unsaved = False  # the memory changed since the state file was written

    def spend(self, seconds):
        """Takes `seconds` of the device's own time (an erase, a write at its rate) before the
        reply; ends at once when the emulator stops or its power is cut. A site's event loop
        waits them instead."""
        self.interrupted.wait(seconds)

    # ---- power and state -----------------------------------------------------

    def power_up(self):
        """The device as its power comes back: the page pointer, the configuration mode and
        the done flag are gone, and the FPGA runs the image in the configuration memory only
        if it was loaded after its last write. Every connection made before is gone too (see
        reply()); the fast beam controller keeps what SYS_REBOOT keeps. The caller holds the
        lock, and has dropped the connections."""
        fpga = self.fpga
        self.power_ups += 1
        fpga.pointer, fpga.config_mode, fpga.done = 0, "", False
        fpga.fpga_version = flash.version_at_power_up(fpga.memory, fpga.loaded)
        running = f"FPGA version {fpga.fpga_version}" if fpga.fpga_version else "no FPGA image"
        log.info("%spowered up: %s", self.label, running)
        self.save()

    def keep_state_in(self, path):
        """Keeps the device's state in the file at `path` from now on: the state it holds is
        the device's, powered up; a new file gets the device's state now. Raises
        flash.BadStateFile, or OSError when the file cannot be read or written."""
        saved = flash.read_state(path)
        fpga = self.fpga
        if saved is None:
            self._write_state(path)
        else:
            fpga.memory[:], fpga.loaded, fpga.whole = saved.memory, saved.loaded, saved.whole
            fpga.serial_number, fpga.control_fw_version = saved.serial_number, saved.control_fw_version
            self.power_up()
        self.state_path = path

    def save(self):
        """Writes the state file, if the device keeps one and its memory changed since."""
        if self.state_path is None or not self._unsaved:
            return
        try:
            self._write_state(self.state_path)
        except OSError as error:  # it serves on, and tries again at the next change
            log.error("%scannot keep the device's state: %s", self.label, files.problem(error, self.state_path))

    def _write_state(self, path):
        fpga = self.fpga
        flash.write_state(path, flash.SavedState(bytes(fpga.memory), fpga.loaded, fpga.whole, fpga.serial_number,
                                                 fpga.control_fw_version))
        self._unsaved = False

    # ---- FPGA controller ---------------------------------------------------

    def program(self, block):
        """The reply to a block write, or None to drop the connection."""
        fpga = self.fpga
        if self._drops_next_block():
            fpga.dropped = True
            return None
        fpga.block_attempts += 1
        if self._refuses_next_block():
            fpga.refusals += 1
            return b"1"
        self._store(block, 1)
        return OK

    def _drops_next_block(self):
        return self._will_drop() and self.fpga.blocks_taken >= self.faults.drop_after_blocks

    def _refuses_next_block(self):
        return self._will_refuse() and self.faults.refuse_block == self.fpga.blocks_taken

    def _will_drop(self):
        return self.faults.drop_after_blocks is not None and not self.fpga.dropped

    def _will_refuse(self):
        refuse_times = self.faults.refuse_times
        return self.faults.refuse_block is not None and (refuse_times is None or self.fpga.refusals < refuse_times)

    def _store(self, data, blocks):
        fpga = self.fpga
        if self.faults.write_rate:
            self.spend(len(data) / self.faults.write_rate)
        fpga.whole &= flash.program(fpga.memory, fpga.pointer, data)
        fpga.pointer += len(data)
        fpga.blocks_taken += blocks
        fpga.done = False
        fpga.loaded = None
        self._unsaved = True

    def read_page(self):
        """The reply to a page read."""
        fpga, faults = self.fpga, self.faults
        start = fpga.pointer
        page = bytearray(fpga.memory[start : start + protocol.BLOCK_SIZE])
        fpga.pointer += len(page)
        self._corrupt(page, start)
        if faults.pad_last_page and 0 < len(page) < protocol.BLOCK_SIZE:
            page += bytes(protocol.BLOCK_SIZE - len(page))
        return protocol.page_reply(bytes(page))

    def _corrupt(self, pages, start):
        """Flips the byte of the corrupt_read_offset fault if it is among `pages`, read from `start`."""
        offset = self.faults.corrupt_read_offset
        if offset is not None and start <= offset < start + len(pages):
            pages[offset - start] ^= 0xFF

    def fpga_command(self, word, argument):
        fpga = self.fpga
        if word == protocol.FPGA_CTRL_INIT:
            return OK
        if word == protocol.FPGA_CFG_MODE:
            fpga.config_mode = argument
            return OK
        if word == protocol.FPGA_ERASE:  # erased at once, answered once the erase time is over
            fpga.memory.clear()
            fpga.whole = True
            fpga.loaded = None
            fpga.pointer = 0
            fpga.blocks_taken = 0
            fpga.done = False
            self._unsaved = True
            self.save()
            self.spend(self.faults.erase_seconds)
            log.info("%sFPGA configuration memory erased", self.label)
            return OK
        if word == protocol.FPGA_RST_PAGE_PTR:
            if argument != "CFG":
                return b"ERR unknown section"
            fpga.pointer = 0
            return OK
        if word == protocol.FPGA_DONE:
            fpga.done = True
            return OK
        if word == protocol.FPGA_REFRESH:
            return self._load()
        if word in (protocol.GET_FPGA_VER, protocol.GET_FE_INFO) and fpga.fpga_version is None:
            return NO_FPGA_IMAGE
        answers = {
            protocol.FPGA_GET_ID: fpga.fpga_id,
            protocol.GET_FPGA_VER: fpga.fpga_version,
            protocol.GET_FW_VER: fpga.control_fw_version,
            protocol.GET_SN: fpga.serial_number,
            protocol.GET_FE_INFO: json.dumps({"fe0": {"fpga_ver": fpga.fpga_version, "fpga_id": fpga.fpga_id}}),
        }
        if word in answers:
            return answers[word].encode()
        return None

    def _load(self):
        """FPGA_REFRESH: the FPGA loads the image in the configuration memory, once it was marked
        done after its last write. Memory that holds no image (nothing, or a write over an image
        that was not erased) is not loaded: the refresh is refused, and the FPGA runs what it ran."""
        fpga = self.fpga
        if fpga.loaded is not None:  # the image it holds, loaded already: the FPGA runs it again
            fpga.fpga_version = fpga.loaded.fpga_version
            return OK
        if not (fpga.done and fpga.memory and fpga.whole):
            why = "not marked done" if fpga.memory and fpga.whole else "no image in the configuration memory"
            return b"ERR nothing to load: " + why.encode()
        digest = hashlib.sha256(fpga.memory).hexdigest()
        fpga.loaded_image = LoadedBytes(len(fpga.memory), digest)
        fpga.fpga_version = fpga.image_versions.get(digest, fpga.new_fpga_version)
        fpga.loaded = flash.LoadedImage(digest, fpga.fpga_version)
        self._unsaved = True
        self.save()
        log.info("%sFPGA image of %d bytes loaded; FPGA version now %s", self.label, len(fpga.memory),
                 fpga.fpga_version)
        return OK

    def unloaded(self):
        """What a disconnection leaves behind, for its log line: "" unless an image was written
        and not loaded."""
        fpga = self.fpga
        if not fpga.memory or fpga.loaded is not None:
            return ""
        return f"; {len(fpga.memory)} bytes written, not loaded: the update did not finish"

    # ---- fast beam controller ------------------------------------------------

    def beam_command(self, word, argument):
        beams = self.beams
        if word == "ExtCtrl_EN?":
            return f"{beams.external_control},{beams.fbs_mode}".encode()
        if word == "ExtCtrl_EN":
            state, _, mode = argument.partition(",")
            if state not in ("0", "1") or not mode.lstrip("-").isdigit():
                return b"ERR bad argument"
            beams.external_control, beams.fbs_mode = int(state), int(mode)
            return OK
        if word == "BEAM_PATTERN_STORE_EN?":
            return b"1" if beams.storage_enabled else b"0"
        if word == "BEAM_PATTERN_STORE_EN":
            if argument not in ("0", "1"):
                return b"ERR bad argument"
            beams.storage_enabled = argument == "1"
            return OK
        if word in ("BEAM_PATTERN_ERASE", "BEAM_PATTERN_STORE_TDBS_BEAM", "BEAM_PATTERN_STORE_FBS_BEAM"):
            if not beams.storage_enabled:
                return b"ERR beam pattern storage disabled"
            if word == "BEAM_PATTERN_ERASE":
                beams.stored.clear()
                beams.erases += 1
                return OK
            key, _, value = argument.rpartition("=")
            if not key:
                return b"ERR bad argument"
            beams.stored[(word, key)] = value
            return OK
        if word in ("BEAM_PATTERN_STORE_TDBS_BEAM?", "BEAM_PATTERN_STORE_FBS_BEAM?"):
            value = beams.stored.get((word[:-1], argument))
            return b"ERR no such beam" if value is None else value.encode()
        if word == "BEAM_PATTERN_APPLY_BFIC":
            beams.applied = dict(beams.stored)
            beams.applies += 1
            return OK
        if word == "SYS_REBOOT":  # keeps everything (see BeamState)
            beams.reboots += 1
            return OK
        return None

    # ---- dispatch ------------------------------------------------------------

    def answers_runs(self):
        """Whether runs of block writes and page reads may be taken in bulk: not while a fault
        counts, delays, splits or answers the commands one by one."""
        faults = self.faults
        return self.takes_runs and not (faults.silent_after is not None or faults.reply_delay
                                        or faults.one_command_per_read or faults.endless_reply is not None
                                        or faults.one_command_per_read_after is not None)

    def takes_one_command_per_read(self):
        """Whether the one_command_per_read faults take only one command of each read now."""
        after = self.faults.one_command_per_read_after
        return self.faults.one_command_per_read or (after is not None and len(self.commands) >= after)

    def is_silent(self):
        """Whether the silent_after fault ignores the next command; it is counted if so."""
        silent_after = self.faults.silent_after
        if silent_after is None or len(self.commands) < silent_after:
            return False
        with self.lock:
            self.commands.append("(ignored)")
        return True

    def answers_without_end(self, command):
        """Whether the endless_reply fault answers this command; it is counted if so."""
        word = self.faults.endless_reply
        if word is None:
            return False
        said = protocol.command_word(command[1]) if command[0] == "line" else protocol.FPGA_PROGRAM
        if said != word:
            return False
        with self.lock:
            self.commands.append(word)
        return True

    def reply(self, command, powered_up=None):
        """The reply to a command that protocol.take_command took, and whether the connection
        stays open after it. `powered_up`: the device's power_ups when the connection was made;
        a connection made before the last power-up is gone, and gets no reply."""
        kind = command[0]
        with self.lock:
            if powered_up is not None and powered_up != self.power_ups:
                return b"", False
            if kind == "line":
                return self.answer(command[1]), True
            if kind == "blocks":
                return self._program_run(*command[1:])
            if kind == "reads":
                return self._read_run(command[1]), True
            self.commands.append(protocol.FPGA_PROGRAM)
            if command[1] is None:
                return b"ERR bad block frame\r\n", True
            reply = self.program(command[1])
        return (b"", False) if reply is None else (reply + protocol.LINE_END, True)

    def answer(self, line):
        """The reply to one command line (without its CR LF). The caller holds the lock."""
        text = line.decode("utf-8", errors="replace").strip()
        word, _, argument = text.partition(" ")
        self.commands.append(word)
        if word == protocol.FPGA_READ:
            return self.read_page()
        reply = self.fpga_command(word, argument)
        if reply is None:
            reply = self.beam_command(word, argument)
        if reply is None:
            reply = b"ERR unknown command " + word.encode()
        return reply + protocol.LINE_END

    # Runs of 16-byte block writes and of page reads are taken in bulk up to the first block or
    # page that a fault or the end of memory concerns, which goes through program() or read_page().

    def _program_run(self, data, count):
        replies = []
        size = protocol.BLOCK_SIZE
        done = 0
        while done < count:
            plain = self._blocks_before_a_fault(count - done)
            if plain:
                self._store(data[done * size : (done + plain) * size], plain)
                self.fpga.block_attempts += plain
                self.commands.append(protocol.FPGA_PROGRAM, plain)
                replies.append(OK_REPLY * plain)
                done += plain
                continue
            self.commands.append(protocol.FPGA_PROGRAM)
            reply = self.program(data[done * size : (done + 1) * size])
            if reply is None:
                return b"".join(replies), False
            replies.append(reply + protocol.LINE_END)
            done += 1
        return b"".join(replies), True

    def _blocks_before_a_fault(self, count):
        """How many of the next `count` blocks no fault concerns."""
        faults, taken = self.faults, self.fpga.blocks_taken
        if self._will_refuse() and faults.refuse_block >= taken:
            count = min(count, faults.refuse_block - taken)
        if self._will_drop():
            count = min(count, max(faults.drop_after_blocks - taken, 0))
        return count

    def _read_run(self, count):
        fpga, size = self.fpga, protocol.BLOCK_SIZE
        whole = min(count, (len(fpga.memory) - fpga.pointer) // size)
        replies = b""
        if whole:
            start = fpga.pointer
            pages = bytearray(fpga.memory[start : start + whole * size])
            self._corrupt(pages, start)
            fpga.pointer += len(pages)
            self.commands.append(protocol.FPGA_READ, whole)
            replies = protocol.page_replies(pages)
        for _ in range(count - whole):
            self.commands.append(protocol.FPGA_READ)
            replies += self.read_page()
        return replies


# With the split_replies fault: the size of each write, and the pause between two.
SPLIT_SIZE = 5
SPLIT_PAUSE = 0.001
# With the endless_reply fault: what each write sends, for ever.
ENDLESS_CHUNK = b"x" * 65536


class _Link:
    """The way back to the client: replies go out at once, or after the link's latency from a
    thread of their own, in order and overlapping, as replies in flight do on a real link;
    with `split`, in writes of SPLIT_SIZE bytes."""

    CLOSE = object()

    def __init__(self, sock, latency, split=False):
        self._sock = sock
        self._latency = latency
        self._split = split
        if latency:
            self._queue = queue.SimpleQueue()
            self._sender = threading.Thread(target=self._send_when_due, name="emulator-link", daemon=True)
            self._sender.start()

    def send(self, data):
        if self._split and data is not self.CLOSE:
            for at in range(0, len(data), SPLIT_SIZE):
                if at:
                    time.sleep(SPLIT_PAUSE)
                self._send(data[at : at + SPLIT_SIZE])
        else:
            self._send(data)

    def send_endless(self):
        """A reply line without end: sends until the client goes away (raising OSError)."""
        self.close()  # whatever waits for its latency goes out first
        while True:
            self._sock.sendall(ENDLESS_CHUNK)

    def _send(self, data):
        if self._latency:
            self._queue.put((time.monotonic() + self._latency, data))
        elif data is self.CLOSE:
            self._sock.shutdown(socket.SHUT_RDWR)
        else:
            self._sock.sendall(data)

    def close(self):
        if self._latency:
            self._queue.put((0.0, None))
            self._sender.join(timeout=5)

    def _send_when_due(self):
        try:
            while True:
                due, data = self._queue.get()
                if data is None:
                    return
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                if data is self.CLOSE:
                    self._sock.shutdown(socket.SHUT_RDWR)
                    return
                self._sock.sendall(data)
        except OSError:
            return  # the client went away


class _Connection(socketserver.BaseRequestHandler):
    """One client: takes the commands from the byte stream in order, however they arrive in
    reads, and answers each in turn; the replies to one read go out together."""

    def handle(self):
        device = self.server.device
        faults = device.faults
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.track(sock)
        link = _Link(sock, faults.latency, faults.split_replies)
        peer = "%s:%s" % self.client_address[:2]
        log.info("%s connected", peer)
        powered_up = device.power_ups
        buffer = bytearray()
        try:
            while True:
                data = sock.recv(65536)
                if not data:
                    return
                buffer += data
                replies = []
                runs = device.answers_runs()
                while (command := protocol.take_command(buffer, runs)) is not None:
                    if device.is_silent():
                        continue
                    if device.answers_without_end(command):
                        link.send(b"".join(replies))
                        link.send_endless()  # until the client goes away: OSError
                    reply, stays_open = device.reply(command, powered_up)
                    if not stays_open:
                        link.send(b"".join(replies) + reply)
                        link.send(_Link.CLOSE)
                        return
                    if faults.reply_delay:
                        time.sleep(faults.reply_delay)
                        link.send(reply)
                    else:
                        replies.append(reply)
                    if device.takes_one_command_per_read():
                        break
                if replies:
                    link.send(b"".join(replies))
                if device.takes_one_command_per_read():
                    buffer.clear()
        except OSError:
            return  # the client went away, or the emulator stops
        finally:
            link.close()
            self.server.untrack(sock)
            with device.lock:
                device.save()
            log.info("%s disconnected%s", peer, device.unloaded())


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, device):
        self.device = device
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self._clients = set()
        self._clients_lock = threading.Lock()
        super().__init__(address, _Connection)

    def track(self, sock):
        with self._clients_lock:
            self._clients.add(sock)

    def untrack(self, sock):
        with self._clients_lock:
            self._clients.discard(sock)

    def close_clients(self):
        with self._clients_lock:
            for sock in self._clients:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


def default_serial(port):
    """The serial number of an emulator listening on `port`: emulators on one computer differ."""
    return f"VORN-{port:06d}"


class DeviceEmulator:
    """An emulated device listening on 127.0.0.1, or on `host`. Port 0 picks a free port; see
    `.port`. Its serial number is `serial_number`, or else derived from its port. With `state`,
    it keeps its state in that file (see Device.keep_state_in): started again with it, it is
    the same device, switched off and on; `erased`: a new device starts with nothing in its
    configuration memory, and its FPGA runs no image."""

    def __init__(self, port: int = 5025, host: str = "127.0.0.1", faults: Faults | None = None,
                 state: str | None = None, erased: bool = False, **fpga: Any) -> None:
        self.device = Device(faults, erased, **fpga)
        self._server = _Server((host, port), self.device)
        self.host: str
        self.port: int
        self.host, self.port = self._server.server_address[:2]
        if "serial_number" not in fpga:
            self.device.fpga.serial_number = default_serial(self.port)
        try:
            if state is not None:
                self.device.keep_state_in(state)
        except BaseException:
            self._server.server_close()
            raise
        self._thread = None

    @property
    def faults(self) -> Faults:
        return self.device.faults

    def start(self) -> Self:
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), name="device-emulator",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self.device.interrupted.set()
        self._server.shutdown()
        self._server.close_clients()
        self._server.server_close()
        self._thread.join(timeout=5)
        with self.device.lock:
            self.device.save()

    def power_cycle(self) -> None:
        """Switches the device off and on again: its connections drop, what it was doing ends
        (an erase or a write that takes its time), and it powers up (see Device.power_up): its
        FPGA runs the image in its configuration memory only if that was loaded after its last
        write; else it runs none, and the FPGA version queries are refused."""
        device = self.device
        device.interrupted.set()
        self._server.close_clients()
        with device.lock:
            device.power_up()
            device.interrupted.clear()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
