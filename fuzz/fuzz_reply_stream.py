"""Fuzz target: the programming run against whatever byte stream the device answers.

Each input scripts a device (StreamDevice) behind a connection whose replies wait in one byte
stream, as on a socket. For each command the device answers as a healthy FPGA controller would,
or, as the script says, acknowledges without storing, refuses, drops its reply, or answers a
fuzzed reply, a page with other data, another framing or padding. Each receive returns a
fuzz-chosen part of what waits (replies split and merged anywhere), or nothing, or raises one of
the errors a connection may raise. _fpgaProgramFile runs on a raw or a signed image at a
fuzz-chosen pipeline_depth (1 to 1024), with a progress callback that may raise.

Everything the device received and answered is recorded, and the outcome is checked against what
the stream said, read as documented: a block write's reply line acknowledges it when it strips to
"0"; at depth 1 a page is one receive, and the receives after it while it is the start of a data
block not yet whole, less its first 4 and last 2 bytes; above depth 1 a page is a data block "#" d,
max(d, 2) length digits, the data, CR LF. What must hold:
- True exactly when the last write from the erase sent the image's blocks in order, the device
  acknowledged every one, and the pages read back hold the image; then FPGA_DONE and FPGA_REFRESH
  end the run. Otherwise neither is ever sent.
- False with the documented log lines: ten refusals of one block in a row at depth 1, or
  "Verify Failed" and the first byte offset where the read-back differs (a data block that is
  malformed is logged and ends the read-back).
- A refusal in a window writes the image again from the erase at depth 1, after a warning.
- No more than pipeline_depth commands are sent at once, nor block writes left unanswered.
- The only exceptions are the connection's own errors, unchanged, the callback's, and a
  ConnectionError when a receive returned nothing.

    python fuzz/fuzz_reply_stream.py -max_total_time=60
"""

import os

from fuzz_harness import FuzzInput, LogRecords, expect, raw_replies, run, scratch_directory, scripted_error
from orbisk.VornFpga import FpgaTool
from orbisk.VornUtils import RetType
from orbisk_tools.formats import protocol
from orbisk_tools.devices.emulator import Device
from orbisk_tools.formats.signed_image import pack

PAGE = protocol.BLOCK_SIZE

workdir = scratch_directory("reply_stream")


def _image_file(name, image, data=None):
    path = os.path.join(workdir, name)
    with open(path, "wb") as file:
        file.write(image if data is None else data)
    return path, image


_SIGNED = os.urandom(100)
IMAGES = [
    _image_file("fw.bin", os.urandom(37)),
    _image_file("one.bin", b"\x5a"),
    _image_file("page.bin", os.urandom(PAGE)),
    _image_file("fw.tbin", _SIGNED, pack(_SIGNED, [28, 32])),
    _image_file("large.bin", os.urandom(PAGE * 70 + 3)),
]
DEPTHS = [2, 3, 8, 1, 4, 16, 64, 1024]


class StreamDevice:
    """A device connection in front of an emulated Device, whose replies wait in one byte stream.
    It records, in order, ("managed", word, block, reply) for each sendCmd, ("raw", [(word, block),
    ...]) for each sendRawBytes and ("recv", chunk) for each receive that returned."""

    def __init__(self, script):
        self.script = script
        self.device = Device()
        self.incoming = bytearray()
        self.outgoing = bytearray()
        self.events = []
        self.raised = []  # every error the connection raised
        self.returned_nothing = False

    def _raise(self, error=None):
        error = error or scripted_error(self.script)
        self.raised.append(error)
        raise error

    def _maybe_fail(self):
        if self.script.number(64) == 63:
            self._raise()

    # ---- the device, as the script lets it answer

    def _take_commands(self):
        """The whole commands sent, answered in order."""
        commands = []
        while self.incoming:
            command = protocol.take_command(self.incoming)
            expect(command is not None, "a command cut short", bytes(self.incoming[:80]))
            kind, payload = command
            expect(payload is not None, "malformed block frame")
            if kind == "block":
                commands.append((protocol.FPGA_PROGRAM, payload))
                self.outgoing += self._block_reply(command)
                continue
            word = payload.split(b" ")[0].decode()
            commands.append((word, None))
            self.outgoing += self._page(command) if word == protocol.FPGA_READ else self._reply(command)
        return commands

    def _block_reply(self, command):
        action = self.script.number(16)
        if action < 13:
            self.device.reply(command)
        return {13: b"ERR 1\r\n", 14: self.script.bytes(24), 15: b""}.get(action, b"0\r\n" if action < 12 else b"0\n")

    def _page(self, command):
        action = self.script.number(16)
        page = self.device.reply(command)[0][4:-2]
        if action == 12:
            page = self.script.bytes(PAGE)
        elif action == 13:
            page = page.ljust(PAGE, b"\0")
        elif action == 14:
            return self.script.bytes(40)
        elif action == 15:
            return b"#3%03d" % len(page) + page + b"\r\n"  # more length digits than needed
        return protocol.page_reply(page)

    def _reply(self, command):
        reply, _ = self.device.reply(command)
        return self.script.bytes(16) + b"\r\n" if self.script.number(16) == 15 else reply

    # ---- the connection

    def sendCmd(self, line, rsp_type):
        self._maybe_fail()
        self.incoming += line
        (word, block), = self._take_commands()
        end = self.outgoing.find(b"\n")
        if end < 0:
            self._raise(TimeoutError("no reply line"))
        reply = bytes(self.outgoing[:end]).rstrip(b"\r").decode("utf-8", errors="replace")
        del self.outgoing[: end + 1]
        self.events.append(("managed", word, block, reply))
        return RetType(data=reply)

    def sendRawBytes(self, data):
        self._maybe_fail()
        self.incoming += data
        self.events.append(("raw", self._take_commands()))

    def recvRawBytes(self, size):
        self._maybe_fail()
        if self.script.number(32) == 31:
            self.returned_nothing = True
            chunk = b""
        elif not self.outgoing:
            self._raise(TimeoutError("no answer"))
        else:
            count = self.script.number(64) or size
            chunk = bytes(self.outgoing[: min(count, size)])
            del self.outgoing[: len(chunk)]
        self.events.append(("recv", chunk))
        return chunk

    def closeConnection(self):
        pass


# ---- the stream read as documented

def is_acknowledgement(reply):
    if isinstance(reply, bytes):
        reply = reply.removesuffix(b"\r").decode("utf-8", errors="replace")
    return reply.strip() == "0"


def data_blocks(stream):
    """The pages of a stream of data blocks, in order; None for a malformed block, after which
    the stream cannot be followed. Ends where the stream ends or a block is incomplete."""
    rest = stream
    while rest:
        try:
            header = protocol.frame_header(rest)
        except protocol.BadFrame:
            yield None
            return
        if header is None:
            return
        start, length = header
        if length > protocol.LARGEST_PAGE:
            yield None
            return
        if len(rest) < start + length + 2:
            return
        if rest[start + length : start + length + 2] != protocol.LINE_END:
            yield None
            return
        yield rest[start : start + length]
        rest = rest[start + length + 2 :]


def split_attempts(events):
    """The events from each erase on: [[event, ...], ...]."""
    attempts = []
    for event in events:
        if event[0] == "managed" and event[1] == "FPGA_ERASE":
            attempts.append([])
        if attempts:
            attempts[-1].append(event)
    return attempts


def phases(attempt):
    """(write events, read events) of one attempt: between its page pointer resets, and after."""
    resets = [index for index, event in enumerate(attempt) if event[0] == "managed" and event[1] == "FPGA_RST_PAGE_PTR"]
    if not resets:
        return [], []
    if len(resets) == 1:
        return attempt[resets[0] + 1 :], []
    return attempt[resets[0] + 1 : resets[1]], attempt[resets[1] + 1 :]


def received(events):
    return b"".join(event[1] for event in events if event[0] == "recv")


class Write:
    """What the device answered to one write of the image: whether every block was acknowledged,
    the offset of the block refused in a window, and the most refusals of one block in a row."""

    def __init__(self, events, image, window, depth):
        self.refused_at = None
        self.most_refused = 0
        blocks = []
        if window:
            delivered = 0
            for event in events:
                if event[0] == "recv":
                    delivered += event[1].count(b"\n")
                elif event[0] == "raw":
                    blocks += [block for word, block in event[1] if word == "FPGA_PROGRAM"]
                    expect(len(blocks) - delivered <= depth, "more block writes in flight than pipeline_depth",
                           len(blocks), delivered, depth)
            lines = received(events).split(b"\n")[:-1]
            answered = [is_acknowledgement(line) for line in lines[: len(blocks)]]
            if False in answered:
                self.refused_at = PAGE * answered.index(False)
            acknowledged = len(answered) == len(blocks) and self.refused_at is None
            taken = blocks
        else:
            taken, in_a_row = [], 0
            for event in events:
                if event[0] == "managed" and event[1] == "FPGA_PROGRAM":
                    expect(event[2] == image[PAGE * len(taken) :][:PAGE], "wrong block written", event[2], len(taken))
                    if is_acknowledgement(event[3]):
                        taken.append(event[2])
                        in_a_row = 0
                    else:
                        in_a_row += 1
                        self.most_refused = max(self.most_refused, in_a_row)
            acknowledged = self.most_refused < 10
        expect(all(block == image[PAGE * index :][:PAGE] for index, block in enumerate(taken)),
               "the blocks written are not the image's, in order")
        self.whole = acknowledged and b"".join(taken) == image


def read_back(events, image, window):
    """(the pages' bytes as far as the image goes, whether a malformed data block ended them)."""
    pages_due = -(-len(image) // PAGE)
    pages, malformed = [], False
    if window:
        for page in data_blocks(received(events)):
            if len(pages) == pages_due:
                break
            if page is None:
                malformed = True
                break
            pages.append(page)
    else:
        replies, _ = raw_replies([event[1] for event in events if event[0] == "recv"])
        pages = [reply[4:-2] for reply in replies][:pages_due]
    return b"".join(pages)[: len(image)], malformed


def first_difference(read, image):
    for offset, (a, b) in enumerate(zip(read, image)):
        if a != b:
            return offset
    return len(read)


def check(data):
    script = FuzzInput(data)
    path, image = script.choice(IMAGES)
    depth = script.choice(DEPTHS)
    device_type = script.choice([32, 28])
    device = StreamDevice(script)
    tool = FpgaTool(device)
    tool.pipeline_depth = depth
    callback_error = None
    if script.number(4) == 0:
        fail_at = script.number(256)
        calls = 0

        def callback(stage, current, total):
            nonlocal calls, callback_error
            calls += 1
            if calls == fail_at:
                callback_error = scripted_error(script)
                raise callback_error

        tool.set_progress_callback(callback)

    with LogRecords() as records:
        try:
            result, error = tool._fpgaProgramFile(path, device_type), None
        except BaseException as raised:  # noqa: B902 - interrupts are part of what is checked
            result, error = None, raised
    messages = records.messages

    managed = [event[1] for event in device.events if event[0] == "managed"]
    expect(all(len(event[1]) <= depth for event in device.events if event[0] == "raw"),
           "more commands sent at once than pipeline_depth", depth)
    attempts = split_attempts(device.events)
    expect(len(attempts) <= 2, "more than one write again from the erase", len(attempts))
    write_events, read_events = phases(attempts[-1]) if attempts else ([], [])
    window = depth > 1 and len(attempts) == 1
    write = Write(write_events, image, window, depth)
    read, malformed = read_back(read_events, image, window)
    verified = write.whole and read == image and not malformed
    loaded = "FPGA_DONE" in managed or "FPGA_REFRESH" in managed
    expect(not loaded or verified, "the device was told to load an image that failed", managed[-3:], messages)
    if len(attempts) == 2:
        expect(depth > 1, "wrote again at depth 1")
        first = Write(phases(attempts[0])[0], image, True, depth)
        expect(first.refused_at is not None, "wrote again with no refusal in the window")
        expect(any(m.startswith(f"FPGA block at byte offset {first.refused_at} refused with {depth} blocks in flight")
                   for m in messages), "no warning of the refusal in the window", messages)

    if error is not None:
        expect(any(error is raised for raised in device.raised) or error is callback_error
               or (device.returned_nothing and isinstance(error, ConnectionError)
                   and "the connection returned no data" in str(error)),
               "_fpgaProgramFile raised what it does not document", error)
        return
    expect(len(attempts) == 2 or write.refused_at is None, "a refusal in the window did not write again")
    expect(result is verified, "_fpgaProgramFile misjudged the run", result, write.whole, read == image, malformed)
    if verified:
        expect(managed[-2:] == ["FPGA_DONE", "FPGA_REFRESH"], "a verified image was not loaded", managed[-3:])
        return
    if not write.whole:
        expect(write.most_refused >= 10 and any("refused 10 times" in m for m in messages),
               "a failed write without ten refusals", write.most_refused, messages)
        return
    expected = ["FPGA read-back reply is not a data block; the read-back stops there"] if malformed else []
    expected += ["Verify Failed", f"FPGA read-back differs from the image at byte offset {first_difference(read, image)}"]
    expect(messages[-len(expected):] == expected, "the failed verify logged other lines", messages, expected)


def seeds():
    """An honest device at each depth and image; then devices that answer every exchange alike,
    as one byte repeated reads: replies in 5-byte parts (5), blocks acknowledged with LF alone and
    pages of other data (12), every block refused (13), fuzzed replies (14), dropped replies (15);
    and a callback that raises while writing: at depth 1 on device type 28 (its fourth call), and
    at depth 8 with block writes in flight (its ninth)."""
    for image in range(len(IMAGES)):
        for depth in range(len(DEPTHS)):
            yield bytes([image, depth, 0, 1])
    for value in (5, 12, 13, 14, 15):
        yield bytes([0, 2, 0, 1]) + bytes([value]) * 400
    yield bytes([0, 3, 1, 0, 4])
    yield bytes([4, 2, 0, 0, 9])


if __name__ == "__main__":
    run("reply_stream", check, seeds)
