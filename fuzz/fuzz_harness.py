"""What the fuzz targets share: reading a fuzz input, a scripted fake FPGA, and running under atheris.

A target module has check(data), which raises (Unexpected, or whatever the module let
through) when orbisk.VornFpga does anything it does not document, and seeds(), the inputs
its corpus starts from. Run one, in an environment with the package and atheris installed,
with libFuzzer's options, for example:

    python fuzz/fuzz_image_file.py -max_total_time=60
    python fuzz/fuzz_image_file.py fuzz/regressions/image_file/*     # libFuzzer runs each input once
    python fuzz/fuzz_image_file.py --replay build/fuzz/image_file/corpus   # check() on each, no atheris

.ci/fuzz runs them all on the fuzzing build, where the native code shares libFuzzer's coverage
counters (fuzz/environment.sh). New corpus entries collect in build/fuzz/<target>/corpus (or in
the folder that --out names). An input that fails is saved there as crash-<sha1> (or oom-,
timeout-): once the fault is fixed, add it to fuzz/regressions/<target>/, where the test suite
replays it (tests/test_fuzz_inputs.py) and .ci/fuzz replays it on the fuzzing build.
"""

import atexit
import importlib
import inspect
import io
import logging
import pathlib
import shutil
import sys
import tempfile

from orbisk.VornUtils import RetType
from orbisk_tools.formats import protocol
from orbisk_tools.devices.emulator import Device
from orbisk_tools.formats.protocol import command_word

ROOT = pathlib.Path(__file__).resolve().parents[1]

# A device type that the FPGA module does not know: updated without an erase, refused by the tools.
UNKNOWN_DEVICE_TYPE = 99


class Unexpected(AssertionError):
    """The module did something it does not document."""


def expect(condition, what, *details):
    if not condition:
        raise Unexpected(what + "".join(f"\n  {detail!r}" for detail in details))


class FuzzInput:
    """Reads a fuzz input front to back. Past its end every number is 0 and every string empty,
    so a short input means "the device behaves"."""

    def __init__(self, data=b""):
        self._data = data
        self._at = 0

    def number(self, limit):
        """0 <= n < limit, from one byte, or two when limit is larger than 256."""
        width = 1 if limit <= 256 else 2
        chunk = self._data[self._at : self._at + width]
        self._at += width
        return int.from_bytes(chunk, "little") % limit if limit > 1 else 0

    def choice(self, options):
        return options[self.number(len(options))]

    def bytes(self, limit):
        count = self.number(limit + 1)
        chunk = self._data[self._at : self._at + count]
        self._at += count
        return chunk

    def text(self, limit):
        """Any text: its bytes decoded as Latin-1 (every code point below 256, NEL and NBSP
        among them) or as UTF-8 with replacement characters."""
        encoding = self.choice(["latin-1", "utf-8"])
        return self.bytes(limit).decode(encoding, errors="replace")

    def argument(self, limit):
        """A command-line argument or an environment variable's value as Python sees it: the
        bytes decoded as the file system encoding does (undecodable ones as surrogates), with
        no NUL, which neither can hold."""
        return self.bytes(limit).replace(b"\0", b"").decode("utf-8", errors="surrogateescape")


class FuzzScript:
    """Writes an input that FuzzInput reads back as these numbers and bytes: for seeds."""

    def __init__(self):
        self.data = bytearray()

    def number(self, value, limit):
        self.data += value.to_bytes(1 if limit <= 256 else 2, "little")
        return self

    def choice(self, options, value):
        return self.number(options.index(value), len(options))

    def bytes(self, data, limit):
        self.number(len(data), limit + 1)
        self.data += data
        return self


class Refused(Exception):
    """What an argparse parser's error() was called with."""


class RefusingParser:
    """Stands in for a command's argparse parser: error() raises Refused with the message, as
    the real one exits with it."""

    prog = "orbisk-fpga"

    def error(self, message):
        raise Refused(message)


class Lines:
    """Stands in for a command's output: the lines written."""

    def __init__(self):
        self.lines = []

    def line(self, text):
        self.lines.append(text)


def expect_one_line(message, what, inputs=()):
    """A refusal the user reads: one line of text, in its own words. A text the user gave (a
    name, a key) shows as given, line breaks and all; that is the display's to show as text."""
    own = message
    for text in sorted(filter(None, inputs), key=len, reverse=True):
        own = own.replace(text, "")
    expect(isinstance(message, str) and message.strip() and len(own.splitlines()) <= 1,
           f"{what} is not one line", message)


def scratch_directory(name):
    """A directory for a target's files, removed when the process ends."""
    path = tempfile.mkdtemp(prefix=f"fuzz-{name}-")
    atexit.register(shutil.rmtree, path, ignore_errors=True)
    return path


def scripted_error(script):
    """A new exception of a kind that a connection or a callback may raise."""
    make = script.choice([
        lambda: ConnectionError("link lost"),
        lambda: TimeoutError("no answer within 5.0 s"),
        lambda: OSError(5, "Input/output error"),
        lambda: ValueError("reply out of range"),
        lambda: RuntimeError("device busy"),
        lambda: KeyboardInterrupt(),
    ])
    return make()


class ScriptedFpga:
    """A device connection in front of an emulated Device, answering as that healthy FPGA
    controller does unless the script says otherwise.

    Every exchange asks the script what to do (one byte): mostly answer as the device would,
    sometimes answer a fuzzed text, None or "" instead, a fuzzed raw page, or raise a scripted
    error. The device follows every command but keeps only the blocks acknowledged with a reply
    that strips to "0", and pages go to it only when the script lets it answer. With an empty
    script it is an honest device. Its configuration memory starts erased (its FPGA runs its
    image still), so that a device type without an erase writes over nothing, as flash needs.
    It records what the checks need.
    """

    def __init__(self, script=None):
        self.script = script or FuzzInput()
        self.device = Device(fpga_version="0.2.4.0")
        self.device.fpga_command(protocol.FPGA_ERASE, "12")
        self.wire = []  # every line sent, managed or raw
        self.replies = []  # (command word, reply) of every managed exchange that answered
        self.taken = []  # the blocks acknowledged with a reply that strips to "0"
        self.refused_in_a_row = 0
        self.most_refused_in_a_row = 0
        self.pages = []  # every raw receive answered
        self.raised = None  # the scripted error, once raised

    @property
    def memory(self):
        return self.device.fpga.memory

    def _raise(self):
        self.raised = scripted_error(self.script)
        raise self.raised

    def _device_reply(self, line):
        reply, _ = self.device.reply(protocol.take_command(bytearray(line)))
        return reply

    def sendCmd(self, line, rsp_type):
        self.wire.append(line)
        word = command_word(line)
        action = self.script.number(8)
        if action == 7:
            self._raise()
        if word == protocol.FPGA_PROGRAM:
            reply = self._reply("0", action)
            self._block(line, reply)
        else:
            reply = self._reply(self._device_reply(line).removesuffix(protocol.LINE_END).decode(), action)
        self.replies.append((word, reply))
        return RetType(data=reply)

    def _reply(self, honest, action):
        """The device's own answer; or, as the script says, a fuzzed text, None or ""."""
        if action < 4:
            return honest
        if action == 4:
            return self.script.text(40)
        return None if action == 5 else ""

    def _block(self, line, reply):
        if isinstance(reply, str) and reply.strip() == "0":
            self._device_reply(line)
            self.taken.append(protocol.take_command(bytearray(line))[1])
            self.refused_in_a_row = 0
        else:
            self.refused_in_a_row += 1
            self.most_refused_in_a_row = max(self.most_refused_in_a_row, self.refused_in_a_row)

    def sendRawBytes(self, data):
        self.wire.append(data)
        if self.script.number(16) == 15:
            self._raise()

    def recvRawBytes(self, size):
        action = self.script.number(8)
        if action == 7:
            self._raise()
        if action < 5:
            received = self._device_reply(protocol.READ_LINE)
        else:
            received = self.script.bytes(min(size, 1100))
        self.pages.append(received)
        return received

    def closeConnection(self):
        pass


def raw_replies(receives):
    """(the replies that _getRecv takes from these receives, in order; whether a receive returned
    nothing in the middle of one). A reply is a receive and, while it is the start of a page
    read's reply that is not whole yet, the receives after it; one left incomplete is no reply."""
    replies, reply = [], None
    for chunk in receives:
        if reply is not None and not chunk:
            return replies, True
        reply = chunk if reply is None else reply + chunk
        if not _incomplete_data_block(reply):
            replies.append(reply)
            reply = None
    return replies, False


def _incomplete_data_block(data):
    """Whether `data` starts a page read's reply (a data frame of at most LARGEST_PAGE bytes, then
    CR LF) that is not whole yet."""
    if not data:
        return False
    try:
        header = protocol.frame_header(data)
    except protocol.BadFrame:
        return False
    if header is None:
        return True
    start, length = header
    return length <= protocol.LARGEST_PAGE and len(data) < start + length + 2


RAN_DRY = "the connection returned no data in the middle of a reply"


class LogRecords(logging.Handler):
    """The records of warning level and above of the logger "FPGA", while the with block runs."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())

    def __enter__(self):
        logging.getLogger("FPGA").addHandler(self)
        return self

    def __exit__(self, *exc):
        logging.getLogger("FPGA").removeHandler(self)


class _Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


# Python code whose coverage guides the fuzzer besides the targets' own and the native code's
# (on the fuzzing build): the targets' models and the host code the native code calls.
INSTRUMENTED = ["orbisk_tools.formats.signed_image", "orbisk_tools.devices.device", "orbisk_tools.devices.controllers", "orbisk_tools.formats.protocol", "orbisk.VornUtils", "json", "json.decoder"]


def instrument(atheris, module):
    """Adds atheris's coverage instrumentation to the functions and methods defined in a module."""
    for value in list(vars(module).values()):
        if getattr(value, "__module__", None) != module.__name__:
            continue
        if inspect.isfunction(value):
            atheris.instrument_func(value)
        elif inspect.isclass(value):
            for member in vars(value).values():
                if inspect.isfunction(member):
                    atheris.instrument_func(member)


def run(name, check, seeds, instrumented=()):
    """Fuzzes check() under atheris with libFuzzer's options from the command line, starting
    from seeds() and the corpus of earlier runs, in build/fuzz/<name>/ or the folder after --out,
    with the modules named in `instrumented` instrumented too (the Python code a target checks);
    with input files on the command line, libFuzzer runs check() once on each instead. With
    --replay FILE_OR_DIRECTORY..., runs check() once on each input without atheris."""
    # Nothing on the console but libFuzzer's own lines: the module's progress line goes to
    # sys.stdout, looked up at every write, and its log lines to the root logger's handlers.
    sys.stdout = _Discard()
    logging.getLogger().handlers[:] = [logging.NullHandler()]
    if sys.argv[1:2] == ["--replay"]:
        paths = [path for arg in map(pathlib.Path, sys.argv[2:]) for path in (sorted(arg.iterdir()) if arg.is_dir() else [arg])]
        for path in paths:
            try:
                check(path.read_bytes())
            except BaseException:
                print(f"{path} fails {name}", file=sys.stderr)
                raise
        print(f"{name}: {len(paths)} inputs replayed", file=sys.stderr)
        return

    import atheris

    args = sys.argv[1:]
    out = ROOT / "build" / "fuzz" / name
    if args[:1] == ["--out"]:
        out, args = pathlib.Path(args[1]).resolve(), args[2:]
    out.mkdir(parents=True, exist_ok=True)
    inputs = [arg for arg in args if not arg.startswith("-")]
    if not inputs:
        corpus = out / "corpus"
        corpus.mkdir(exist_ok=True)
        for index, seed in enumerate(seeds()):
            (corpus / f"seed-{index:02d}").write_bytes(seed)
        args.append(str(corpus))
    options = ["-timeout=10", "-max_len=2048", f"-artifact_prefix={out}/"]
    dictionary = pathlib.Path(sys.argv[0]).with_suffix(".dict")
    if dictionary.exists():
        options.append(f"-dict={dictionary}")
    for module in (sys.modules["__main__"], sys.modules[__name__],
                   *map(importlib.import_module, [*INSTRUMENTED, *instrumented])):
        instrument(atheris, module)
    atheris.Setup([sys.argv[0], *options, *args], check)
    atheris.Fuzz()
