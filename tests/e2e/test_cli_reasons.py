"""Every reason key an update or an image check can end in, and the one line orbisk-fpga says
for it: through orbisk-fpga where an image or a fault of the device produces it, else through
the table with an outcome made here."""

import builtins
import functools
import json
import os

import pytest

from orbisk.VornFpga import UpdateOutcome
from orbisk_tools.formats import signed_image
from orbisk_tools.engine.advice import CANNOT_ASK, REASONS, explain
from orbisk_tools.formats.signed_image import pack

from tests.e2e import command_line
from tests.e2e.command_line import ADVICE
from tests.conftest import UNKNOWN_DEVICE_TYPE

run = functools.partial(command_line.run, timeout=60)

MAYBE_LOADED = "the read-back matched, but the device may not have loaded the new image; run the update again"
NOT_CHANGED = "the device was not changed"


def damaged(path, image):
    data = bytearray(pack(image, 32))
    data[-1] ^= 1
    path.write_bytes(data)


def signed_with_another_key(path, image):
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(signed_image, "KEY_PREFIX", "12345678")
        path.write_bytes(pack(image, 32))


# reason key -> (file name, how to make the file from a raw image, what the user is told)
IMAGE_REFUSALS = {
    "no_image_path": ("", None, "no image given; name the image file"),
    "image_not_found": ("missing.bin", None, "{path}: no such file; check the image's path"),
    "image_type": ("fw.hex", lambda path, image: path.write_bytes(image),
                   "{path}: an FPGA image is named .bin (raw) or .tbin (signed); rename it, or give another file"),
    "image_not_file": ("folder.bin", lambda path, image: path.mkdir(),
                       "{path} is not a file; give the path of the image file"),
    "image_empty": ("empty.bin", lambda path, image: path.write_bytes(b""), "{path} is empty; get the image again"),
    "header_parse_error": ("fw.tbin", lambda path, image: path.write_bytes(image),
                           "{path} is not a signed image (its header cannot be read); a raw image must be named .bin"),
    "header_hash_mismatch": ("fw.tbin", signed_with_another_key,
                             "{path}: the image header does not match its signature: the file is damaged or was "
                             "signed with another key; get the image again"),
    "image_hash_mismatch": ("fw.tbin", damaged,
                            "{path}: the image part does not match its signature: the file is damaged or was signed "
                            "with another key; get the image again"),
    "signed_image_empty": ("fw.tbin", lambda path, image: path.write_bytes(pack(b"", 32)),
                           "{path} is a signed image with no image in it; sign the raw image again"),
    "signed_image_named_bin": ("fw.bin", lambda path, image: path.write_bytes(pack(image, 32)),
                               "{path} is a signed image; rename it to .tbin"),
    "device_type_mismatch": ("fw.tbin", lambda path, image: path.write_bytes(pack(image, 28)),
                             "{path} is for device type 28, not 32; use the image made for device type 32, "
                             "or check --device-type"),
}
SEVERAL_TYPES = ("fw.tbin", lambda path, image: path.write_bytes(pack(image, [UNKNOWN_DEVICE_TYPE, 28])),
                 f"{{path}} is for device types 28, {UNKNOWN_DEVICE_TYPE}, not 32; use the image made for device type "
                 "32, or check --device-type")


@pytest.mark.parametrize("reason, case", [*IMAGE_REFUSALS.items(), ("device_type_mismatch", SEVERAL_TYPES)])
def test_an_image_refused_says_why_before_any_device_is_touched(emulator, tmp_path, reason, case):
    name, make, expected = case
    device = emulator()
    path = tmp_path / name if name else ""
    if make:
        make(path, os.urandom(4000))
    result = run("update", "--address", f"{device.host}:{device.port}", "--timeout", 0.5, path)
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr == f"orbisk-fpga: error: {expected.format(path=path)}\n"
    assert device.device.commands == []  # checked before connecting
    assert device.device.fpga.loaded_image is None


def test_an_image_that_cannot_be_read_says_so(emulator, tmp_path, monkeypatch, capsys):
    from orbisk_tools import cli

    device = emulator()
    path = tmp_path / "fw.bin"
    path.write_bytes(os.urandom(100))
    opened = builtins.open
    denied = PermissionError(13, "Permission denied", str(path))

    def open_as_another_user(file, *args, **kwargs):
        if os.fspath(file) == str(path):
            raise denied
        return opened(file, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", open_as_another_user)
    status = cli.main(["update", "--address", f"{device.host}:{device.port}", str(path)])
    assert status == 1
    assert capsys.readouterr().err == (f"orbisk-fpga: error: {path}: permission denied; check the permissions of the "
                                       "file and of the folders above it\n")
    assert device.device.commands == []


def garbled_read_back(device):
    device.device.takes_runs = False  # every page read through read_page()
    device.device.read_page = lambda: b"garbage\r\n"


# reason key -> (faults of the emulated device, options, what the user is told, details the outcome holds)
DEVICE_FAULTS = {
    "block_refused": ({"refuse_block": 2, "refuse_times": None}, (),
                      "the device refused the block at byte offset 32 10 times; " + ADVICE,
                      {"offset": 32, "attempts": 10}),
    "readback_mismatch": ({"corrupt_read_offset": 1000}, (),
                          "the read-back differs from the image at byte offset 1000; " + ADVICE, {"offset": 1000}),
    "readback_not_data": (garbled_read_back, ("--window", 8),
                          "the read-back differs from the image at byte offset 0; " + ADVICE, {"offset": 0}),
    # One command at a time: with commands in flight, a lost link or a silence would be tried
    # once more (test_window.py).
    "connection_lost": ({"drop_after_blocks": 3}, ("--window", 1), "connection lost while writing (", {}),
    "timeout": ({"silent_after": 10}, ("--window", 1), "no answer within 0.5 s while writing; " + CANNOT_ASK,
                {"error": "TimeoutError"}),
    # 100 MB or more without a line end, as the answer to the erase
    "reply_too_long": ({"endless_reply": "FPGA_ERASE"}, (),
                       "the device sent a reply longer than 4096 bytes while erasing; " + ADVICE, {"limit": 4096}),
}
PHASES = {"readback_mismatch": "verify", "readback_not_data": "verify", "reply_too_long": "erase"}


@pytest.mark.parametrize("reason", DEVICE_FAULTS)
def test_a_device_fault_says_what_happened_and_what_to_do(emulator, tmp_path, reason):
    faults, options, expected, details = DEVICE_FAULTS[reason]
    device = emulator(**faults) if isinstance(faults, dict) else emulator()
    if callable(faults):
        faults(device)
    path, report = tmp_path / "fw.tbin", tmp_path / "report.json"
    path.write_bytes(pack(os.urandom(4000), 32))
    result = run("update", "--address", f"{device.host}:{device.port}", "--timeout", 0.5, *options, "--json", report,
                 path)
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith(f"orbisk-fpga: error: {device.host}:{device.port}: {expected}")
    assert result.stderr.endswith((ADVICE + "\n", CANNOT_ASK + "\n"))
    assert device.device.fpga.loaded_image is None
    [outcome] = json.loads(report.read_text())["devices"]
    assert (outcome["reason"], outcome["device_state"]) == (reason, "erased")
    assert outcome["phase"] == PHASES.get(reason, "write")
    assert details.items() <= outcome["details"].items()


def test_a_reply_too_long_before_the_update_changes_nothing(emulator, tmp_path):
    device = emulator(endless_reply="GET_SN")  # the first thing the update asks
    path, report = tmp_path / "fw.bin", tmp_path / "report.json"
    path.write_bytes(os.urandom(100))
    result = run("update", "--address", f"{device.host}:{device.port}", "--json", report, path)
    assert result.returncode == 1 and result.stderr == (
        f"orbisk-fpga: error: {device.host}:{device.port}: the device sent a reply longer than 4096 bytes while "
        f"reading what the device reports; {NOT_CHANGED}\n")
    [outcome] = json.loads(report.read_text())["devices"]
    assert (outcome["reason"], outcome["device_state"]) == ("reply_too_long", "untouched")
    assert device.device.commands == ["GET_SN"]


def outcome(reason, details=None, phase="check", state="untouched", message="", depth=0):
    return UpdateOutcome(False, reason, details or {}, message, phase, 0, state, depth)


# reason key -> (an outcome that no input of orbisk-fpga produces, what the user is told)
CONSTRUCTED = {
    "image_stat_failed": (outcome("image_stat_failed", {"path": "fw.bin", "error": "[Errno 5] I/O error"}),
                          "cannot use fw.bin ([Errno 5] I/O error); check the file"),
    "file_check_failed": (outcome("file_check_failed"),
                          "fw.bin did not pass the image file check; check the image file"),
    "header_check_failed": (outcome("header_check_failed"),
                            "fw.bin did not pass the image header check; check the image file"),
    "programming_failed": (outcome("programming_failed", phase="erase", state="erased"),
                           "the update failed while erasing; " + ADVICE),
    "image_changed": (outcome("image_changed", phase="verify", state="erased"),
                      "the image file changed during the update; " + ADVICE),
    "callback_error": (outcome("callback_error", {"error": "ValueError", "text": "bad row"}, "verify", "erased"),
                       "stopped while reading back: ValueError: bad row; " + ADVICE),
    "interrupted": (outcome("interrupted", {"error": "KeyboardInterrupt", "text": ""}, "erase", "erased"),
                    "interrupted while erasing; " + ADVICE),
    "error": (outcome("error", {"error": "RuntimeError", "text": "odd"}, "load", "loaded"),
              "stopped while loading the image: RuntimeError: odd; " + MAYBE_LOADED),
}


@pytest.mark.parametrize("reason", CONSTRUCTED)
def test_reasons_no_input_produces_have_their_line(reason):
    made, expected = CONSTRUCTED[reason]
    assert explain(made, "fw.bin", timeout=5) == expected


@pytest.mark.parametrize("made, expected", [
    (outcome("error", {"error": "TypeError", "text": "no"}), "stopped while checking the image: TypeError: no; "
                                                            + NOT_CHANGED),
    (outcome("connection_lost", {"error": "OSError", "text": "[Errno 5] I/O error"}, "erase", "erased"),
     "connection lost while erasing ([Errno 5] I/O error); " + ADVICE),
    (outcome("timeout", {"error": "TimeoutError", "text": "timed out"}, "load", "erased", depth=1),
     "no answer within 5 s while loading the image; " + MAYBE_LOADED),  # done sent, refresh not yet
    (outcome("timeout", {"error": "TimeoutError", "text": "timed out"}, "version", "loaded", depth=8),
     "no answer within 5 s while loading the image; a device that takes no commands in flight needs window=1; "
     + MAYBE_LOADED),
    (outcome("timeout", {"error": "TimeoutError", "text": "timed out"}, "erase", "erased"),
     "no answer within 5 s while erasing; " + ADVICE),  # nothing was in flight yet
    (outcome("a_later_reason", phase="write", state="erased", message="FPGA update process failed."),
     "FPGA update process failed; " + ADVICE),  # a key this table does not know yet
])
def test_the_advice_follows_what_the_device_was_left_holding(made, expected):
    assert explain(made, "fw.bin", timeout=5) == expected


def test_every_reason_key_of_the_module_has_a_line_and_a_test(module_keys):
    through_the_command = {*IMAGE_REFUSALS, *DEVICE_FAULTS, "image_unreadable"}
    assert module_keys <= set(REASONS)
    assert through_the_command | set(CONSTRUCTED) == module_keys
    assert not through_the_command & set(CONSTRUCTED)
