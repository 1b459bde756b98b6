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
import json
import logging
import socket
import socketserver
import threading
import time

from orbisk_tools import options

log = logging.getLogger(__name__)  # connections and update outcomes, shown by -v

PROGRAM_PREFIX = b"FPGA_PROGRAM #"
PAGE_SIZE = 16
OK = b"0"


@dataclasses.dataclass
class Faults:
    """Misbehaviour on demand. Counts of blocks and commands start at 0 and span all connections."""

    refuse_block: int | None = None  # index of the block to refuse ...
    refuse_times: int | None = 1  # ... this many times; None: for ever
    drop_after_blocks: int | None = None  # close the connection instead of taking this block (once)
    corrupt_read_offset: int | None = None  # flip the bits of the image byte at this offset in read-backs
    pad_last_page: bool = False  # answer a short last page padded to 16 bytes
    reply_delay: float = 0.0  # seconds to wait before every reply
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


class _Connection(socketserver.BaseRequestHandler):
    """One client: reads commands as they arrive and answers each in turn."""

    def handle(self):
        device = self.server.device
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.track(sock)
        peer = "%s:%s" % self.client_address[:2]
        log.info("%s connected", peer)
        buffer = bytearray()
        try:
            while True:
                command = self._next_command(buffer)
                if command is None:
                    data = sock.recv(65536)
                    if not data:
                        return
                    buffer += data
                    continue
                if device.faults.silent_after is not None and len(device.commands) >= device.faults.silent_after:
                    with device.lock:
                        device.commands.append("(ignored)")
                    continue
                reply = self._reply(device, command)
                if reply is None:
                    sock.shutdown(socket.SHUT_RDWR)
                    return
                if device.faults.reply_delay:
                    time.sleep(device.faults.reply_delay)
                sock.sendall(reply)
        except OSError:
            return  # the client went away, or the emulator stops
        finally:
            self.server.untrack(sock)
            fpga = device.fpga
            unloaded = fpga.memory and bytes(fpga.memory) != fpga.loaded_image
            log.info("%s disconnected%s", peer,
                     f"; {len(fpga.memory)} bytes written, not loaded: the update did not finish" if unloaded else "")

    @staticmethod
    def _reply(device, command):
        kind, payload = command
        if kind == "line":
            return device.answer(payload)
        with device.lock:
            device.commands.append("FPGA_PROGRAM")
            if payload is None:
                return b"ERR bad block frame\r\n"
            reply = device.program(payload)
        return None if reply is None else reply + b"\r\n"

    @staticmethod
    def _next_command(buffer):
        """Takes one whole command off the buffer: ("line", bytes) or ("block", data); None if incomplete."""
        if buffer.startswith(PROGRAM_PREFIX):
            # digit count, then the length with at least two digits, then the data, then CR LF
            head = len(PROGRAM_PREFIX)
            if len(buffer) < head + 1:
                return None
            if not chr(buffer[head]).isdigit():
                return _Connection._skip_line(buffer, bad=True)
            width = max(int(chr(buffer[head])), 2)
            length_text = bytes(buffer[head + 1 : head + 1 + width])
            if len(length_text) < width:
                return None
            if not length_text.isdigit():
                return _Connection._skip_line(buffer, bad=True)
            start = head + 1 + width
            end = start + int(length_text)
            if len(buffer) < end + 2:
                return None
            data, terminator = bytes(buffer[start:end]), bytes(buffer[end : end + 2])
            del buffer[: end + 2]
            return ("block", data if terminator == b"\r\n" else None)
        if PROGRAM_PREFIX.startswith(bytes(buffer)):
            return None  # perhaps the start of a block frame
        return _Connection._skip_line(buffer)

    @staticmethod
    def _skip_line(buffer, bad=False):
        end = buffer.find(b"\n")
        if end < 0:
            return None
        line = bytes(buffer[:end]).rstrip(b"\r")
        del buffer[: end + 1]
        return ("block", None) if bad else ("line", line)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, device):
        self.device = device
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


class DeviceEmulator:
    """An emulated device listening on 127.0.0.1. Port 0 picks a free port; see `.port`."""

    def __init__(self, port=5025, host="127.0.0.1", faults=None, **fpga):
        self.device = Device(faults, **fpga)
        self._server = _Server((host, port), self.device)
        self.host, self.port = self._server.server_address[:2]
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


def add_fault_options(parser):
    faults = parser.add_argument_group("faults")
    faults.add_argument("--refuse-block", type=options.count, metavar="N", help="refuse the block with index N (from 0)")
    faults.add_argument("--refuse-times", type=int, default=1, metavar="K",
                        help="how often to refuse it (default 1; 0 or less: for ever)")
    faults.add_argument("--drop-after-blocks", type=options.count, metavar="N",
                        help="close the connection instead of taking block N (once)")
    faults.add_argument("--corrupt-read-byte", type=options.count, metavar="OFFSET",
                        help="flip the image byte at OFFSET in the read-back")
    faults.add_argument("--pad-last-page", action="store_true", help="pad a short last read-back page to 16 bytes")
    faults.add_argument("--reply-delay", type=options.seconds, default=0.0, metavar="SECONDS",
                        help="wait before every reply")
    faults.add_argument("--silent-after", type=options.count, metavar="N", help="stop answering after N commands")


def faults_from(args):
    return Faults(refuse_block=args.refuse_block,
                  refuse_times=args.refuse_times if args.refuse_times > 0 else None,
                  drop_after_blocks=args.drop_after_blocks, corrupt_read_offset=args.corrupt_read_byte,
                  pad_last_page=args.pad_last_page, reply_delay=args.reply_delay, silent_after=args.silent_after)


def serve(port, faults, new_fpga_version="0.2.4.0", announce=print):
    """Runs an emulator until interrupted. Raises OSError when it cannot listen on `port`."""
    with DeviceEmulator(port=port, faults=faults, new_fpga_version=new_fpga_version) as emulator:
        announce(f"Device emulator listening on {emulator.host}:{emulator.port} (Ctrl-C stops it)")
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass


def cannot_listen(port, error):
    """The one line that says why the emulator cannot listen on `port`, and what to do."""
    reason = error.strerror or str(error)
    return f"cannot listen on 127.0.0.1:{port}: {reason}; choose another --port, or 0 for any free port"


def log_to_stderr(verbose):
    """-v: each connection and each update's outcome, one line each, on standard error."""
    logging.basicConfig(level=logging.INFO if verbose else logging.WARNING, format="%(asctime)s %(message)s")


def main(argv=None):
    parser = options.Parser(prog="python -m orbisk_tools.emulator", description=__doc__,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=options.listening_port, default=5025,
                        help="TCP port on 127.0.0.1 (default 5025; 0: any free port)")
    parser.add_argument("--new-fpga-version", default="0.2.4.0", help="FPGA version reported after an update")
    parser.add_argument("-v", "--verbose", action="store_true", help="log each connection and each update's outcome")
    add_fault_options(parser)
    args = parser.parse_args(argv)
    log_to_stderr(args.verbose)
    try:
        serve(args.port, faults_from(args), args.new_fpga_version, announce=lambda text: print(text, flush=True))
    except OSError as error:
        parser.exit(1, f"{parser.prog}: error: {cannot_listen(args.port, error)}\n")


if __name__ == "__main__":
    main()
