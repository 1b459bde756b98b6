"""Fuzz target: whatever the device answers.

Each input scripts a device connection (fuzz_harness.ScriptedFpga): for every exchange,
whether the device answers as a healthy FPGA controller would, answers a fuzzed text, None
or "", returns a fuzzed raw page, or raises one of the errors a connection may raise. Its
first byte chooses the operation: initFpga, _fpgaProgram, _fpgaRead or processFpgaUpdate
(with a choice of image files and device types, and a progress callback that may raise).

What must hold, whatever the device does; any other result or exception fails the check:
- initFpga returns a result: the documented success or warning, or an ERROR result for any
  error of the exchange. Only an interrupt that is not an Exception propagates, unchanged.
- _fpgaProgram sends the documented frame and returns True exactly when the reply strips to
  "0"; _fpgaRead returns the received bytes without their first 4 and last 2, the start of a
  data block received whole first. Both let the connection's error through unchanged and raise
  nothing else but, for a receive that returned nothing in the middle of a data block, a
  ConnectionError.
- processFpgaUpdate returns one of its documented results, never success unless every block
  was acknowledged and what was read back (as far as the image goes) hashes to what was
  written, and "FPGA update process failed." only for a block refused ten times in a row or a
  read-back that differs; then the device is never told to load the image (no done, no
  refresh). A signed image is refused unless it names the device type. It lets
  through, unchanged, the connection's and the callback's errors, and on device type 28 the
  errors of reading the version reply as JSON (JSONDecodeError and RecursionError for text that
  is no JSON document, AttributeError for JSON that is not an object of objects).

    python fuzz/fuzz_device_replies.py -max_total_time=60
"""

import hashlib
import os

from fuzz_harness import (RAN_DRY, UNKNOWN_DEVICE_TYPE, FuzzInput, LogRecords, ScriptedFpga, expect, raw_replies,
                          run, scratch_directory, scripted_error)
from orbisk.VornFpga import FpgaTool
from orbisk.VornPublic import RetCode
from orbisk.VornUtils import VER, RetType
from orbisk_tools.formats import protocol
from orbisk_tools.formats.signed_image import pack

workdir = scratch_directory("device_replies")


def _image_file(name, data):
    path = os.path.join(workdir, name)
    with open(path, "wb") as file:
        file.write(data)
    return path


RAW = os.urandom(37)
SIGNED = os.urandom(40)
TAMPERED = bytearray(pack(SIGNED, 32))
TAMPERED[-1] ^= 1
# (path, the image it programs, or the refusal it meets before the device is touched)
IMAGES = [
    (_image_file("fw.bin", RAW), RAW),
    (_image_file("fw.tbin", pack(SIGNED, [32, 28])), SIGNED),
    (_image_file("one.bin", b"\x01"), b"\x01"),
    (_image_file("bad.tbin", bytes(TAMPERED)), "FPGA image header check failed."),
    (_image_file("empty.bin", b""), "FPGA update file check failed."),
    (None, "FPGA image path is not provided."),
]


def outcome(call):
    """("result", value) or ("raised", exception); interrupts included."""
    try:
        return "result", call()
    except BaseException as error:  # noqa: B902 - interrupts are part of what is checked
        return "raised", error


def expect_scripted(fpga, raised, operation):
    if raw_replies(fpga.pages)[1]:
        expect(type(raised) is ConnectionError and str(raised) == RAN_DRY,
               f"{operation}: a receive ran dry in a data block", raised)
        return
    expect(fpga.raised is not None and raised is fpga.raised,
           f"{operation} raised what the connection did not", raised, fpga.raised)


def check_init(script):
    fpga = ScriptedFpga(script)
    device_type = script.choice([32, 28, 32.0, 31, True])
    disable_fw_check = script.choice([False, True])
    kind, value = outcome(lambda: FpgaTool(fpga).initFpga(device_type, disable_fw_check))
    if kind == "raised":
        expect(isinstance(fpga.raised, KeyboardInterrupt), "initFpga let an Exception through", value)
        expect_scripted(fpga, value, "initFpga")
        return

    def expect_result(code, message, what):
        expect(isinstance(value, RetType) and (value.RetCode, value.RetMsg) == (code, message), what, value)

    known = protocol.DEVICE_TYPES.get(int(device_type))
    if known is None or not known.initialised_by_init:
        expect_result(RetCode.WARNING, f"Device type {int(device_type)} is not supported for firmware version check.",
                      "initFpga: an unsupported device type")
        expect(fpga.wire == [], "initFpga: talked to an unsupported device")
        return
    if fpga.raised is not None:
        expect_result(RetCode.ERROR, f"FPGA initialization failed: {fpga.raised}",
                      "initFpga: a connection error did not become its ERROR result")
        return
    replies = dict(fpga.replies)
    fpga_id, version = replies["FPGA_GET_ID"] or "", replies["GET_FPGA_VER"] or ""
    if version and not disable_fw_check:
        try:
            old = VER(version) < VER(known.minimum_version)
        except Exception as error:  # the host's VER refuses the text
            expect_result(RetCode.ERROR, f"FPGA initialization failed: {error}",
                          "initFpga: an unreadable version did not become its ERROR result")
            return
        if old:
            expect_result(RetCode.WARNING, f"FPGA version {version} is lower than minimum required version {known.minimum_version}.",
                          "initFpga: an old version")
            return
    expect_result(RetCode.OK, "FPGA initialized successfully", "initFpga: no success with a healthy device")
    expect(value.RetData == {"success": True, "error_message": "", "device_count": 0, "device_info": None,
                             "fpga_id": fpga_id, "fw_version": "", "fpga_version": version},
           "initFpga misread the device", value.RetData, replies)


def check_program(script):
    fpga = ScriptedFpga(script)
    block = script.bytes(1200)
    kind, value = outcome(lambda: FpgaTool(fpga)._fpgaProgram(block))
    expect(fpga.wire == [protocol.block_write(block)],
           "_fpgaProgram sent another frame", fpga.wire[:1])
    if kind == "raised":
        expect_scripted(fpga, value, "_fpgaProgram")
        return
    reply = fpga.replies[0][1]
    expect(value is (isinstance(reply, str) and reply.strip() == "0"), "_fpgaProgram misjudged its reply", reply, value)


def check_read(script):
    fpga = ScriptedFpga(script)
    fpga.memory[:] = script.bytes(20)
    kind, value = outcome(lambda: FpgaTool(fpga)._fpgaRead())
    if kind == "raised":
        expect_scripted(fpga, value, "_fpgaRead")
        return
    replies, _ = raw_replies(fpga.pages)
    expect(fpga.wire == [protocol.READ_LINE] and replies == [b"".join(fpga.pages)] and value == replies[0][4:-2]
           and type(value) is bytes, "_fpgaRead returned another part of the page", fpga.pages, value)


def version_errors(fpga):
    """The errors that reading the version as JSON may raise on device type 28."""
    type_28 = protocol.DEVICE_TYPES[28]
    reply = dict(fpga.replies).get(type_28.version_command)
    try:
        type_28.fpga_version(reply or "")
    except (ValueError, RecursionError, AttributeError) as error:
        return (type(error),)
    return ()


def check_update(script):
    fpga = ScriptedFpga(script)
    path, image = script.choice(IMAGES)
    device_type = script.choice([32, 28, UNKNOWN_DEVICE_TYPE])
    if path is not None and path.endswith(".tbin") and not isinstance(image, str) and device_type not in protocol.DEVICE_TYPES:
        image = f"FPGA image is for device types 28, 32, not {device_type}."
    tool = FpgaTool(fpga)
    callback_error = None
    if script.number(4) == 0:
        fail_at = script.number(64)
        calls = []

        def callback(*args):
            nonlocal callback_error
            calls.append(args)
            if len(calls) == fail_at:
                callback_error = scripted_error(script)
                raise callback_error

        tool.set_progress_callback(callback)
    with LogRecords() as records:
        kind, value = outcome(lambda: tool.processFpgaUpdate(path, device_type))

    if isinstance(image, str):  # refused before the device is touched
        expect(kind == "result" and (value.RetCode, value.RetMsg) == (RetCode.ERROR, image) and fpga.wire == [],
               "processFpgaUpdate: a refused file", value, fpga.wire[:3])
        return
    written = b"".join(fpga.taken)
    reached_verdict = b"FPGA_DONE\r\n" in fpga.wire
    if kind == "raised":
        if value is callback_error and callback_error is not None:
            return
        if fpga.raised is not None or raw_replies(fpga.pages)[1]:
            expect_scripted(fpga, value, "processFpgaUpdate")
            return
        expect(device_type == 28 and reached_verdict and isinstance(value, version_errors(fpga)),
               "processFpgaUpdate raised what it does not document", value, device_type)
        return

    expect(isinstance(value, RetType), "processFpgaUpdate returned no result", value)
    replies, _ = raw_replies(fpga.pages)
    pages_read = len(replies) == -(-len(written) // 16)
    read_back = b"".join(page[4:-2] for page in replies)[: len(written)]
    read_back_matches = hashlib.sha256(read_back).digest() == hashlib.sha256(written).digest()
    if value.RetCode is RetCode.ERROR:
        expect(value.RetMsg == "FPGA update process failed.", "processFpgaUpdate: unexpected refusal", value)
        expect(fpga.most_refused_in_a_row >= 10 or (pages_read and not read_back_matches),
               "processFpgaUpdate reported a failure that did not happen", fpga.most_refused_in_a_row)
        expect(not reached_verdict and b"FPGA_REFRESH\r\n" not in fpga.wire,
               "processFpgaUpdate had the device load an image that failed", fpga.wire[-3:])
        expect(records.messages[-1] == value.RetMsg, "the failure was not logged at error level", records.messages)
        return
    expect(written == image and read_back_matches, "processFpgaUpdate reported success for a failed update",
           len(written), len(image), read_back_matches)
    known = protocol.DEVICE_TYPES.get(device_type)
    version_command = [known.version_command.encode() + protocol.LINE_END] if known else []
    expect(fpga.wire[-2 - len(version_command):] == [b"FPGA_DONE\r\n", b"FPGA_REFRESH\r\n"] + version_command,
           "processFpgaUpdate succeeded without done and refresh, or read the version otherwise", fpga.wire[-3:])
    version = known.fpga_version(dict(fpga.replies)[known.version_command] or "") if known else ""
    expect(value.RetData == {"success": True, "error_message": "", "fw_version": version},
           "processFpgaUpdate: wrong success result", value.RetData, version)


def check(data):
    script = FuzzInput(data)
    [check_init, check_program, check_read, check_update][script.number(4)](script)


def seeds():
    """An honest device for each operation and image, and a few misbehaving ones."""
    for operation in range(4):
        yield bytes([operation])
    for image in range(len(IMAGES)):
        for device_type in range(3):
            yield bytes([3, image, device_type, 1])
    yield bytes([0, 0, 0]) + b"\x00\x00\x04\x04\x05" + b"0.2.3.3"  # an old version
    yield bytes([1, 16, 0]) + bytes(16) + b"\x04\x00\x03 0\n"  # a block acknowledged with white space
    yield bytes([2, 10]) + bytes(10) + b"\x05\x09" + b"#2" + bytes(7)  # a short page
    yield bytes([3, 0, 1, 1]) + b"\x04\x00\x02" + b"ERR" + bytes(60)  # a block refused, then taken
    yield bytes([3, 1, 1, 1]) + bytes(40) + b"\x04\x00\x10" + b'{"fe0": "0.2"}'.ljust(16)  # no object of objects
    yield bytes([3, 0, 0, 0, 5]) + bytes(8)  # a callback that raises


if __name__ == "__main__":
    run("device_replies", check, seeds)
