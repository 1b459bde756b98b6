"""Fakes shared by the tests: a recording device connection, a link into an emulated device;
the leak check; plain Python twins."""

import collections
import contextlib
import gc
import inspect
import io
import logging
import os
import sys
import tracemalloc
import weakref

import pytest

from orbisk.VornUtils import RetType
from orbisk_tools.formats import protocol
from orbisk_tools.devices.emulator import Device, Faults
from orbisk_tools.formats.protocol import command_word


@pytest.fixture(autouse=True)
def private_history(tmp_path_factory, monkeypatch):
    """Every orbisk-fpga a test runs, in this process or another, records its updates in a
    history of the test's own, never in the user's."""
    state = tmp_path_factory.mktemp("state")
    monkeypatch.setenv("XDG_STATE_HOME", str(state))
    monkeypatch.setenv("ORBISK_FPGA_HISTORY", str(state / "orbisk" / "history.sqlite3"))
    return state / "orbisk" / "history.sqlite3"


# A device type that the FPGA module does not know: updated without an erase, refused by the tools.
UNKNOWN_DEVICE_TYPE = 99


def module_reason_keys():
    """The reason keys of the FPGA module's UpdateOutcome, as the module exports them."""
    import orbisk.VornFpga

    return set(orbisk.VornFpga._REASON_KEYS)


@pytest.fixture(scope="session")
def module_keys():
    """module_reason_keys(), once."""
    return module_reason_keys()


class FakeConnection:
    """A device connection that records every line on the wire and answers from scripts.

    ``replies`` maps a command word ("GET_FW_VER", "FPGA_PROGRAM", ...) to its reply
    text, to a list of replies used in turn (the last one repeats), or to an
    exception instance to raise. Unlisted commands answer "0". ``pages`` are the
    raw receives, in order; an exception instance among them is raised.
    """

    def __init__(self, replies=None, pages=()):
        self.replies = dict(replies or {})
        self.pages = collections.deque(pages)
        self.wire = []  # every line sent, managed or raw, in order
        self.reply_kinds = []
        self.recv_sizes = []
        self.closed = 0

    @property
    def commands(self):
        """The command word of every line on the wire."""
        return [command_word(line) for line in self.wire]

    def _answer(self, line):
        reply = self.replies.get(command_word(line), "0")
        if isinstance(reply, list):
            reply = reply.pop(0) if len(reply) > 1 else reply[0]
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def sendCmd(self, line, rsp_type):
        self.wire.append(line)
        self.reply_kinds.append(rsp_type)
        return RetType(data=self._answer(line))

    def sendRawBytes(self, data):
        self.wire.append(data)

    def recvRawBytes(self, size):
        self.recv_sizes.append(size)
        page = self.pages.popleft()
        if isinstance(page, BaseException):
            raise page
        return page

    def closeConnection(self):
        self.closed += 1


class FakeFpga(FakeConnection):
    """A FakeConnection in front of an emulated Device, which keeps the FPGA configuration
    memory: blocks written with FPGA_PROGRAM are stored, and FPGA_READ answers the next page of
    what was stored. Commands the script does not answer get the device's own reply; the device
    follows scripted ones too, but stores a scripted block write only when its reply is "0".
    Read-backs can be corrupted at one offset, or padded to whole pages. Its memory holds an image,
    which a write without an erase cannot replace, unless it starts `erased`."""

    def __init__(self, replies=None, corrupt_read_offset=None, pad_last_page=False, erased=False):
        super().__init__(replies)
        self.device = Device(Faults(corrupt_read_offset=corrupt_read_offset, pad_last_page=pad_last_page), erased)

    @property
    def memory(self):
        return self.device.fpga.memory

    corrupt_read_offset = property(lambda self: self.device.faults.corrupt_read_offset,
                                   lambda self, offset: setattr(self.device.faults, "corrupt_read_offset", offset))
    pad_last_page = property(lambda self: self.device.faults.pad_last_page,
                             lambda self, pad: setattr(self.device.faults, "pad_last_page", pad))

    def _device_reply(self, line):
        reply, _ = self.device.reply(protocol.take_command(bytearray(line)))
        return reply

    def _answer(self, line):
        word = command_word(line)
        if word not in self.replies:
            return self._device_reply(line).removesuffix(protocol.LINE_END).decode()
        if word != protocol.FPGA_PROGRAM:
            self._device_reply(line)
        reply = super()._answer(line)
        if word == protocol.FPGA_PROGRAM and reply == "0":
            self._device_reply(line)
        return reply

    def sendRawBytes(self, data):
        super().sendRawBytes(data)
        if command_word(data) == protocol.FPGA_READ:
            self.pages.append(self._device_reply(data))


class StreamLink:
    """A device connection straight into an emulated Device. Replies wait in a byte stream;
    each recvRawBytes takes `chunk` bytes of it (all there is when None)."""

    def __init__(self, chunk=None, **faults):
        self.device = Device(Faults(**faults))
        self.chunk = chunk
        self.incoming = bytearray()
        self.outgoing = bytearray()
        self.sends = []  # the data of every sendRawBytes

    def _take_commands(self):
        while (command := protocol.take_command(self.incoming)) is not None:
            reply, stays_open = self.device.reply(command)
            if not stays_open:
                raise ConnectionError("the device closed the connection")
            self.outgoing += reply

    def sendCmd(self, line, rsp_type):
        self.incoming += line
        self._take_commands()
        end = self.outgoing.index(b"\n")
        reply = bytes(self.outgoing[:end]).rstrip(b"\r").decode()
        del self.outgoing[: end + 1]
        return RetType(data=reply)

    def sendRawBytes(self, data):
        self.sends.append(bytes(data))
        self.incoming += data
        self._take_commands()

    def recvRawBytes(self, size):
        if not self.outgoing:
            raise TimeoutError("no answer")
        count = min(size, self.chunk or size)
        data = bytes(self.outgoing[:count])
        del self.outgoing[:count]
        return data

    def closeConnection(self):
        pass


@pytest.fixture
def make_conn():
    return FakeConnection


@pytest.fixture
def make_fpga():
    return FakeFpga


@pytest.fixture
def make_stream_link():
    return StreamLink


@pytest.fixture
def fpga():
    return FakeFpga()


@pytest.fixture
def conn():
    return FakeConnection()


@pytest.fixture
def tool(conn):
    from orbisk.VornFpga import FpgaTool

    return FpgaTool(conn)


class Discard(io.TextIOBase):
    def write(self, text):
        return len(text)


def under_address_sanitizer():
    """Whether the ASan runtime is loaded (the test suite of .ci/sanitizers)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_memory():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture
def leak_check():
    """leak_check(operations, passed_in) repeats each operation, a (name, callable) pair, some
    hundred times, then all of them together, and fails if that leaves behind:
    - any object that a call returns: what it made (results, fakes, tools) must be freed once
      the call is over;
    - memory blocks of Python objects, counted with tracemalloc: over a second run of `calls`
      calls, after a first one that lets caches and free lists settle, fewer than one block
      per ten calls may stay (a leak leaves at least one per call);
    - references to the long-lived objects in passed_in;
    - process memory: the resident set may grow by less than 512 KiB over `calls` rounds of
      all the operations together. Not under AddressSanitizer, whose quarantine keeps freed
      memory on purpose; LeakSanitizer watches native memory there.
    Returns the blocks left per operation and the growth of the resident set.

    Meanwhile the progress line is dropped as it is written and no log records are made, so
    that nothing that the test harness keeps grows."""

    def run(operations, passed_in, calls=100):
        with contextlib.redirect_stdout(Discard()):
            logging.disable(logging.CRITICAL)
            try:
                return measure(operations, passed_in, calls)
            finally:
                logging.disable(logging.NOTSET)

    def repeat(operation, times):
        for _ in range(times):
            operation()
        gc.collect()

    def live_blocks():
        return len(tracemalloc.take_snapshot().traces)

    def measure(operations, passed_in, calls):
        counts = [sys.getrefcount(obj) for obj in passed_in]
        blocks_left = {}
        for name, operation in operations:
            made = []
            for _ in range(calls // 4):
                made += [weakref.ref(obj) for obj in operation()]
            gc.collect()
            alive = [ref() for ref in made if ref() is not None]
            assert not alive, f"{name}: still referenced after the call: {alive[:5]}"
            tracemalloc.start()
            try:
                repeat(operation, calls)
                settled = live_blocks()
                repeat(operation, calls)
                blocks_left[name] = live_blocks() - settled
            finally:
                tracemalloc.stop()

        def all_together():
            for _, operation in operations:
                operation()

        repeat(all_together, calls)  # lets the allocators reach their steady state
        # A leak grows the resident set in every round; an allocator that takes one more arena
        # (as a busy machine's other threads can make it do) grows it in one.
        rss_growth = 0
        for _ in range(2):
            rss_before = resident_memory()
            repeat(all_together, calls)
            rss_growth = resident_memory() - rss_before
            if rss_growth < 512 * 1024:
                break

        now = [sys.getrefcount(obj) for obj in passed_in]
        problems = [f"{count_now - count} more references to {obj!r}"
                    for obj, count, count_now in zip(passed_in, counts, now) if count_now != count]
        problems += [f"{name}: {calls} calls left {blocks} blocks" for name, blocks in blocks_left.items()
                     if blocks >= calls / 10]
        if rss_growth >= 512 * 1024 and not under_address_sanitizer():
            problems.append(f"the resident set grew by {rss_growth} bytes in {calls} rounds")
        assert not problems, "; ".join(problems)
        return blocks_left, rss_growth

    return run


# Where our classes must behave as Python's own do, a test compares them with a plain Python
# equivalent in the same run: the interpreter words its errors differently from one version to
# the next.
def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return type(info.value), str(info.value)


def python_twin(function):
    """A plain Python function with the parameters and qualname of `function` that does nothing."""
    parameters = [p.replace(annotation=p.empty, default=p.empty if p.default is p.empty else None)
                  for p in inspect.signature(function).parameters.values()]
    namespace = {}
    exec(f"def twin{inspect.Signature(parameters)}: pass", namespace)
    twin = namespace["twin"]
    twin.__qualname__ = function.__qualname__
    return twin


@pytest.fixture
def error_of():
    """error_of(call, *args, **kwargs): the type and text of the exception that the call raises."""
    return raised


@pytest.fixture
def twin_of():
    """twin_of(function): a plain Python function with its parameters and qualname, whose
    argument errors are the interpreter's own."""
    return python_twin
