"""An emulated device on a real TCP socket: the FPGA controller and the fast beam controller.

It speaks the controller's command protocol as the SDK uses it: command lines end in
CR LF and get one reply line, except the block write, whose binary frame is read by
its length, and the page read, which is answered raw. Faults can be switched on to
see how the SDK copes with a misbehaving device.

    python -m orbisk_tools.emulator --port 5025
    with DeviceEmulator(port=0) as device: ...  # device.port
"""

import argparse
import dataclasses
import functools
import json
import logging
import socket
import queue
import re
import socketserver
import struct
import threading
import time

from orbisk_tools import options

log = logging.getLogger(__name__)  # connections and update outcomes, shown by -v

PROGRAM_PREFIX = b"FPGA_PROGRAM #"
PAGE_SIZE = 16
OK = b"0"
OK_REPLY = b"0\r\n"


def take_command(buffer):
    """Takes one whole command off the front of `buffer`, a bytearray of the byte stream from the
    client: ("line", bytes) for a command line without its line end, ("block", data) for a block
    write, whose data is None when its frame is malformed; None while the command is incomplete.
    A block write is "FPGA_PROGRAM #", the digit count of the data's length, the length with at
    least two digits, the data, then CR LF."""
    if buffer.startswith(PROGRAM_PREFIX):
        head = len(PROGRAM_PREFIX)
        if len(buffer) < head + 1:
            return None
        if not chr(buffer[head]).isdigit():
            return _take_line(buffer, bad=True)
        width = max(int(chr(buffer[head])), 2)
        length_text = bytes(buffer[head + 1 : head + 1 + width])
        if len(length_text) < width:
            return None
        if not length_text.isdigit():
            return _take_line(buffer, bad=True)
        start = head + 1 + width
        end = start + int(length_text)
        if len(buffer) < end + 2:
            return None
        data, terminator = bytes(buffer[start:end]), bytes(buffer[end : end + 2])
        del buffer[: end + 2]
        return ("block", data if terminator == b"\r\n" else None)
    if PROGRAM_PREFIX.startswith(bytes(buffer)):
        return None  # perhaps the start of a block frame
    return _take_line(buffer)


def _take_line(buffer, bad=False):
    end = buffer.find(b"\n")
    if end < 0:
        return None
    line = bytes(buffer[:end]).rstrip(b"\r")
    del buffer[: end + 1]
    return ("block", None) if bad else ("line", line)


@dataclasses.dataclass
class Faults:
    """Misbehaviour on demand. Counts of blocks and commands start at 0 and span all connections."""

    refuse_block: int | None = None  # index of the block to refuse ...
    refuse_times: int | None = 1  # ... this many times; None: for ever
    drop_after_blocks: int | None = None  # close the connection instead of taking this block (once)
    corrupt_read_offset: int | None = None  # flip the bits of the image byte at this offset in read-backs
    pad_last_page: bool = False  # answer a short last page padded to 16 bytes
    reply_delay: float = 0.0  # seconds to wait before every reply: a slow device, one reply after the other
    latency: float = 0.0  # seconds every reply spends on the link; replies in flight overlap
    one_command_per_read: bool = False  # take each read from the socket as one command, dropping the rest
    silent_after: int | None = None  # after this many commands, never answer again


@dataclasses.dataclass
class FpgaState:
    fpga_id: str = "0x0362D093"
    fpga_version: str = "0.2.3.4"
    new_fpga_version: str = "0.2.4.0"  # reported once an image was loaded
    control_fw_version: str = "0.1.0.6"
    serial_number: str = "VORN-000001"
    config_mode: str = ""
    memory: bytearray = dataclasses.field(default_factory=bytearray)
    pointer: int = 0
    done: bool = False
    loaded_image: bytes | None = None
    blocks_taken: int = 0
    block_attempts: int = 0


@dataclasses.dataclass
class BeamState:
    external_control: int = 0
    fbs_mode: int = 0
    storage_enabled: bool = False
    stored: dict = dataclasses.field(default_factory=dict)  # what BEAM_PATTERN_STORE_* wrote
    applied: dict = dataclasses.field(default_factory=dict)  # what the beamformer IC holds
    erases: int = 0
    applies: int = 0
    reboots: int = 0


class Device:
    """The controller's state and its answer to each command; shared by all connections."""

    def __init__(self, faults=None, **fpga):
        self.faults = faults or Faults()
        self.fpga = FpgaState(**fpga)
        self.beams = BeamState()
        self.commands = []  # every command word received, in order
        self.lock = threading.Lock()

    # ---- FPGA controller ---------------------------------------------------

    def program(self, block):
        """The reply to a block write, or None to drop the connection."""
        faults, fpga = self.faults, self.fpga
        index = fpga.blocks_taken
        if faults.drop_after_blocks is not None and index >= faults.drop_after_blocks:
            faults.drop_after_blocks = None
            return None
        fpga.block_attempts += 1
        if faults.refuse_block == index and (faults.refuse_times is None or faults.refuse_times > 0):
            if faults.refuse_times is not None:
                faults.refuse_times -= 1
            return b"1"
        fpga.memory[fpga.pointer : fpga.pointer + len(block)] = block
        fpga.pointer += len(block)
        fpga.blocks_taken += 1
        fpga.done = False
        return OK

    def read_page(self):
        fpga, faults = self.fpga, self.faults
        start = fpga.pointer
        page = bytearray(fpga.memory[start : start + PAGE_SIZE])
        fpga.pointer += len(page)
        offset = faults.corrupt_read_offset
        if offset is not None and start <= offset < start + len(page):
            page[offset - start] ^= 0xFF
        if faults.pad_last_page and 0 < len(page) < PAGE_SIZE:
            page += bytes(PAGE_SIZE - len(page))
        return b"#2%02d" % len(page) + bytes(page) + b"\r\n"

    def fpga_command(self, word, argument):
        fpga = self.fpga
        if word == "FPGA_CTRL_INIT":
            return OK
        if word == "FPGA_CFG_MODE":
            fpga.config_mode = argument
            return OK
        if word == "FPGA_ERASE":
            log.info("FPGA configuration memory erased")
            fpga.memory.clear()
            fpga.pointer = 0
            fpga.blocks_taken = 0
            fpga.done = False
            return OK
        if word == "FPGA_RST_PAGE_PTR":
            if argument != "CFG":
                return b"ERR unknown section"
            fpga.pointer = 0
            return OK
        if word == "FPGA_DONE":
            fpga.done = True
            return OK
        if word == "FPGA_REFRESH":
            if fpga.done and fpga.memory:
                fpga.loaded_image = bytes(fpga.memory)
                fpga.fpga_version = fpga.new_fpga_version
                log.info("FPGA image of %d bytes loaded; FPGA version now %s", len(fpga.memory), fpga.fpga_version)
            return OK
        answers = {
            "FPGA_GET_ID": fpga.fpga_id,
            "GET_FPGA_VER": fpga.fpga_version,
            "GET_FW_VER": fpga.control_fw_version,
            "GET_SN": fpga.serial_number,
            "GET_FE_INFO": json.dumps({"fe0": {"fpga_ver": fpga.fpga_version, "fpga_id": fpga.fpga_id}}),
        }
        if word in answers:
            return answers[word].encode()
        return None

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
        if word == "SYS_REBOOT":
            beams.reboots += 1
            return OK
        return None

    # ---- runs of plain block writes and page reads ----------------------------

    # 16-byte block writes and page reads, the bulk of an image transfer, are taken a run at
    # a time so that the emulator keeps up with a client that keeps many commands in flight:
    # a fast path for the one frame that take_command would take one by one.
    BLOCK_RUN = re.compile(rb"(?:FPGA_PROGRAM #216.{16}\r\n)+", re.S)
    BLOCK_FRAME_SIZE = 35
    READ_RUN = re.compile(rb"(?:FPGA_READ\r\n)+")
    READ_SIZE = len(b"FPGA_READ\r\n")

    def take_run(self, buffer):
        """The replies to a run of 16-byte block writes, or of reads of whole pages, at the start
        of `buffer`, taken off it; None when it starts with neither or a fault concerns them."""
        faults, fpga = self.faults, self.fpga
        if faults.silent_after is not None or faults.reply_delay:
            return None
        if match := self.BLOCK_RUN.match(buffer):
            count = (match.end() // self.BLOCK_FRAME_SIZE)
            for index in (faults.refuse_block, faults.drop_after_blocks):
                if index is not None and index >= fpga.blocks_taken:
                    count = min(count, index - fpga.blocks_taken)
            if count == 0:
                return None
            data = b"".join(_fields("17x16s2x", count).unpack_from(buffer))
            with self.lock:
                self.commands.extend(["FPGA_PROGRAM"] * count)
                fpga.memory[fpga.pointer : fpga.pointer + len(data)] = data
                fpga.pointer += len(data)
                fpga.blocks_taken += count
                fpga.block_attempts += count
                fpga.done = False
            del buffer[: count * self.BLOCK_FRAME_SIZE]
            return OK_REPLY * count
        if match := self.READ_RUN.match(buffer):
            with self.lock:
                count = min(match.end() // self.READ_SIZE, (len(fpga.memory) - fpga.pointer) // PAGE_SIZE)
                if count == 0:
                    return None
                pages = bytearray(fpga.memory[fpga.pointer : fpga.pointer + count * PAGE_SIZE])
                offset = faults.corrupt_read_offset
                if offset is not None and fpga.pointer <= offset < fpga.pointer + len(pages):
                    pages[offset - fpga.pointer] ^= 0xFF
                fpga.pointer += len(pages)
                self.commands.extend(["FPGA_READ"] * count)
            del buffer[: count * self.READ_SIZE]
            return b"#216" + b"\r\n#216".join(_fields("16s", count).unpack_from(pages)) + b"\r\n"
        return None

    def reply(self, command):
        """The reply to a command that take_command took, or None to drop the connection."""
        kind, payload = command
        if kind == "line":
            return self.answer(payload)
        with self.lock:
            self.commands.append("FPGA_PROGRAM")
            if payload is None:
                return b"ERR bad block frame\r\n"
            reply = self.program(payload)
        return None if reply is None else reply + b"\r\n"

    def answer(self, line):
        """The reply to one command line (without its CR LF)."""
        text = line.decode("utf-8", errors="replace").strip()
        word, _, argument = text.partition(" ")
        with self.lock:
            self.commands.append(word)
            if word == "FPGA_READ":
                return self.read_page()
            reply = self.fpga_command(word, argument)
            if reply is None:
                reply = self.beam_command(word, argument)
        if reply is None:
            reply = b"ERR unknown command " + word.encode()
        return reply + b"\r\n"


@functools.lru_cache(maxsize=64)
def _fields(layout, count):
    """A struct that takes `count` records of `layout` apart at once."""
    return struct.Struct(layout * count)


class _Link:
    """The way back to the client: replies go out at once, or after the link's latency from a
    thread of their own, in order and overlapping, as replies in flight do on a real link."""

    CLOSE = object()

    def __init__(self, sock, latency):
        self._sock = sock
        self._latency = latency
        if latency:
            self._queue = queue.SimpleQueue()
            self._sender = threading.Thread(target=self._send_when_due, name="emulator-link", daemon=True)
            self._sender.start()

    def send(self, data):
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
        link = _Link(sock, faults.latency)
        peer = "%s:%s" % self.client_address[:2]
        log.info("%s connected", peer)
        buffer = bytearray()
        try:
            while True:
                data = sock.recv(65536)
                if not data:
                    return
                if faults.one_command_per_read:
                    buffer[:] = data
                else:
                    buffer += data
                replies = []
                while True:
                    if not faults.one_command_per_read and (run := device.take_run(buffer)) is not None:
                        replies.append(run)
                        continue
                    if (command := take_command(buffer)) is None:
                        break
                    if faults.silent_after is not None and len(device.commands) >= faults.silent_after:
                        with device.lock:
                            device.commands.append("(ignored)")
                        continue
                    reply = device.reply(command)
                    if reply is None:
                        link.send(b"".join(replies))
                        link.send(_Link.CLOSE)
                        return
                    if faults.reply_delay:
                        time.sleep(faults.reply_delay)
                        link.send(reply)
                    else:
                        replies.append(reply)
                    if faults.one_command_per_read:
                        break
                if replies:
                    link.send(b"".join(replies))
                if faults.one_command_per_read:
                    buffer.clear()
        except OSError:
            return  # the client went away, or the emulator stops
        finally:
            link.close()
            self.server.untrack(sock)
            fpga = device.fpga
            unloaded = fpga.memory and bytes(fpga.memory) != fpga.loaded_image
            log.info("%s disconnected%s", peer,
                     f"; {len(fpga.memory)} bytes written, not loaded: the update did not finish" if unloaded else "")


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
    `.port`. Its serial number is `serial_number`, or else derived from its port."""

    def __init__(self, port=5025, host="127.0.0.1", faults=None, **fpga):
        self.device = Device(faults, **fpga)
        self._server = _Server((host, port), self.device)
        self.host, self.port = self._server.server_address[:2]
        if "serial_number" not in fpga:
            self.device.fpga.serial_number = default_serial(self.port)
        self._thread = None

    @property
    def faults(self):
        return self.device.faults

    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), name="device-emulator",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.close_clients()
        self._server.server_close()
        self._thread.join(timeout=5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def add_emulator_options(parser):
    """The emulator's address and identity; see also add_fault_options."""
    parser.add_argument("--port", type=options.listening_port, default=5025,
                        help="TCP port (default 5025; 0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="the address to listen on (default 127.0.0.1)")
    parser.add_argument("--serial", metavar="TEXT",
                        help="the serial number it reports (default VORN- and its port in six digits)")
    parser.add_argument("--new-fpga-version", default="0.2.4.0", help="FPGA version reported after an update")


def add_fault_options(parser):
    faults = parser.add_argument_group("faults")
    faults.add_argument("--refuse-block", type=options.count, metavar="N", help="refuse the block with index N (from 0)")
    faults.add_argument("--refuse-times", type=int, metavar="K",
                        help="with --refuse-block: how often to refuse it (default 1; 0 or less: for ever)")
    faults.add_argument("--drop-after-blocks", type=options.count, metavar="N",
                        help="close the connection instead of taking block N (once)")
    faults.add_argument("--corrupt-read-byte", type=options.count, metavar="OFFSET",
                        help="flip the image byte at OFFSET in the read-back")
    faults.add_argument("--pad-last-page", action="store_true", help="pad a short last read-back page to 16 bytes")
    faults.add_argument("--reply-delay", type=options.seconds, default=0.0, metavar="SECONDS",
                        help="wait before every reply: a slow device, one reply after the other")
    faults.add_argument("--latency", type=options.seconds, default=0.0, metavar="SECONDS",
                        help="delay every reply on the link; replies in flight overlap, as on a real network")
    faults.add_argument("--one-command-per-read", action="store_true",
                        help="take each read from the socket as one command and drop the rest of it, "
                             "as a device without a command stream does")
    faults.add_argument("--silent-after", type=options.count, metavar="N", help="stop answering after N commands")


def faults_from(args, parser):
    """The Faults that the options of add_fault_options ask for; a combination that means
    nothing is a usage error of `parser`."""
    if args.refuse_times is not None and args.refuse_block is None:
        parser.error("--refuse-times needs --refuse-block")
    refuse_times = 1 if args.refuse_times is None else args.refuse_times if args.refuse_times > 0 else None
    return Faults(refuse_block=args.refuse_block, refuse_times=refuse_times,
                  drop_after_blocks=args.drop_after_blocks, corrupt_read_offset=args.corrupt_read_byte,
                  pad_last_page=args.pad_last_page, reply_delay=args.reply_delay, latency=args.latency,
                  one_command_per_read=args.one_command_per_read, silent_after=args.silent_after)


def serve(args, faults, announce=print):
    """Runs an emulator, as the options of add_emulator_options in `args` ask, until interrupted.
    Raises OSError when it cannot listen there."""
    identity = {"serial_number": args.serial} if args.serial is not None else {}
    with DeviceEmulator(port=args.port, host=args.host, faults=faults, new_fpga_version=args.new_fpga_version,
                        **identity) as emulator:
        host = f"[{emulator.host}]" if ":" in emulator.host else emulator.host
        announce(f"Device emulator listening on {host}:{emulator.port} (serial number "
                 f"{emulator.device.fpga.serial_number}; Ctrl-C stops it)")
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass


def cannot_listen(args, error):
    """The one line that says why the emulator cannot listen where `args` ask, and what to do."""
    reason = error.strerror or str(error)
    host = f"[{args.host}]" if ":" in args.host else args.host
    return (f"cannot listen on {host}:{args.port}: {reason}; choose another --port, or 0 for any free port, "
            "or another --host")


def log_to_stderr(verbose):
    """-v: each connection and each update's outcome, one line each, on standard error."""
    logging.basicConfig(level=logging.INFO if verbose else logging.WARNING, format="%(asctime)s %(message)s")


def main(argv=None):
    parser = options.Parser(prog="python -m orbisk_tools.emulator", description=__doc__,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    add_emulator_options(parser)
    parser.add_argument("-v", "--verbose", action="store_true", help="log each connection and each update's outcome")
    add_fault_options(parser)
    args = parser.parse_args(argv)
    faults = faults_from(args, parser)
    log_to_stderr(args.verbose)
    try:
        serve(args, faults, announce=lambda text: print(text, flush=True))
    except OSError as error:
        parser.exit(1, f"{parser.prog}: error: {cannot_listen(args, error)}\n")


if __name__ == "__main__":
    main()
