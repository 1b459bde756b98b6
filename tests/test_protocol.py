"""The command protocol as the tools model it: frames, taking commands off a byte stream, and the
emulated device's answers, taken a run at a time or one command at a time."""

import pytest

from orbisk_tools.formats import protocol
from orbisk_tools.devices.emulator import Device, Faults

@pytest.mark.parametrize("size, header", [(0, b"#100"), (8, b"#108"), (16, b"#216"), (256, b"#3256"),
                                          (1024, b"#41024")])
def test_block_write_frames_the_data_by_its_length(size, header):
    data = bytes(range(256)) * 4
    assert protocol.block_write(data[:size]) == b"FPGA_PROGRAM " + header + data[:size] + b"\r\n"
    assert protocol.take_command(bytearray(protocol.block_write(data[:size]))) == ("block", data[:size])

def test_page_reply_counts_the_digits_of_the_length_as_written():
    assert protocol.page_reply(b"ABCD\r\n\r\n") == b"#208ABCD\r\n\r\n\r\n"
    assert protocol.page_reply(bytes(16)) == b"#216" + bytes(16) + b"\r\n"
    assert protocol.LARGEST_PAGE == 1018

def test_commands_come_off_the_stream_whole_however_it_arrives():
    stream = b"GET_SN\r\n" + protocol.block_write(b"\r\n\r\nAB") + b"FPGA_PROGRAM #1\r\nFPGA_PROGRAM #x\r\n" \
        + b"FPGA_PROGRAM #216" + bytes(16) + b"XX" + b"FPGA_READ\n"
    taken, buffer = [], bytearray()
    for byte in stream:
        buffer.append(byte)
        while (command := protocol.take_command(buffer)) is not None:
            taken.append(command)
    assert taken == [("line", b"GET_SN"), ("block", b"\r\n\r\nAB"), ("block", None), ("block", None),
                     ("block", None), ("line", b"FPGA_READ")]
    assert buffer == b""

def test_frame_header_waits_for_its_digits_and_refuses_others():
    assert protocol.frame_header(b"#3") is None
    assert protocol.frame_header(b"#3025") == (5, 25)
    assert protocol.frame_header(b"x#1", at=1) is None
    for bad in (b"x", b"#a", b"#2x1"):
        with pytest.raises(protocol.BadFrame):
            protocol.frame_header(bad)

def test_device_types_are_the_modules():
    import orbisk.VornFpga as module

    assert sorted(protocol.DEVICE_TYPES) == sorted(module._DEVICE_TYPES)
    for number, entry in module._DEVICE_TYPES.items():
        kind = protocol.DEVICE_TYPES[number]
        assert (kind.erase_bits, kind.version_command, kind.minimum_version, kind.initialised_by_init) == (
            entry["erase_bits"], entry["version_query"], entry["minimum_version"], entry["initialised"])
    type_28, type_32 = protocol.DEVICE_TYPES[28], protocol.DEVICE_TYPES[32]
    assert type_28.fpga_version('{"fe0": {"fpga_ver": "1.2"}, "fe1": {"fpga_ver": "9"}}') == "1.2"
    assert type_28.fpga_version("{}") == ""
    assert type_32.fpga_version("0.2.4.0") == "0.2.4.0"

    class Silent:  # a tool whose device answers nothing
        def _sendCmd(self, command):
            return ""

    assert type_32.read_fpga_version(Silent()) == type_28.read_fpga_version(Silent()) == ""

def run(device, stream, runs):
    """The replies of `device` to `stream`, taken in runs or one command at a time; stops where
    the device drops the connection."""
    buffer, replies = bytearray(stream), []
    while (command := protocol.take_command(buffer, runs)) is not None:
        reply, stays_open = device.reply(command)
        replies.append(reply)
        if not stays_open:
            break
    return b"".join(replies)

def image_stream(blocks):
    image = bytes(range(256)) * (blocks * 16 // 256 + 1)
    image = image[: blocks * 16 - 5]
    writes = b"".join(protocol.block_write(image[at : at + 16]) for at in range(0, len(image), 16))
    return image, b"FPGA_ERASE 12\r\nFPGA_RST_PAGE_PTR CFG\r\n" + writes + b"FPGA_RST_PAGE_PTR CFG\r\n" \
        + b"FPGA_READ\r\n" * (blocks + 1)

@pytest.mark.parametrize("faults", [
    {},
    {"refuse_block": 5, "refuse_times": 2},
    {"refuse_block": 0, "refuse_times": None},
    {"drop_after_blocks": 7},
    {"drop_after_blocks": 0},
    {"corrupt_read_offset": 40, "pad_last_page": True},
    {"corrupt_read_offset": 77},
])
def test_runs_answer_as_commands_one_at_a_time(faults):
    _, stream = image_stream(12)
    devices = Device(Faults(**faults)), Device(Faults(**faults))
    assert run(devices[0], stream * 2, runs=True) == run(devices[1], stream * 2, runs=False)
    assert devices[0].fpga == devices[1].fpga
    assert devices[0].commands == devices[1].commands
    assert devices[0].faults == devices[1].faults == Faults(**faults)  # counted in the state, not the faults

def test_faults_hold_across_runs_and_connections_until_used_up():
    faults = Faults(refuse_block=1, refuse_times=2, drop_after_blocks=3)
    device = Device(faults)
    writes = b"".join(protocol.block_write(bytes([n]) * 16) for n in range(6))
    assert run(device, writes, runs=True) == b"0\r\n1\r\n1\r\n0\r\n0\r\n"  # then the drop
    assert (device.fpga.refusals, device.fpga.dropped, device.fpga.blocks_taken) == (2, True, 3)
    assert run(device, b"FPGA_ERASE 12\r\n" + writes, runs=True) == b"0\r\n" * 7  # the next connection
    assert device.fpga.memory == b"".join(bytes([n]) * 16 for n in range(6))
    assert faults == Faults(refuse_block=1, refuse_times=2, drop_after_blocks=3)
