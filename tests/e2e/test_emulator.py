"""The emulator itself: the wire protocol as a client sees it, several clients, and its command line."""

import contextlib
import socket
import subprocess
import sys

import pytest

from orbisk.VornFpga import FpgaTool
from orbisk_tools.devices.command_log import CommandLog
from orbisk_tools.formats import protocol


def exchange(sock, data, expect_lines=1):
    sock.sendall(data)
    reply = b""
    while reply.count(b"\r\n") < expect_lines:
        chunk = sock.recv(4096)
        assert chunk, "connection closed"
        reply += chunk
    return reply


def test_block_frame_is_read_by_its_length_even_in_pieces(emulator):
    device = emulator()
    with socket.create_connection((device.host, device.port), timeout=2) as sock:
        assert exchange(sock, b"FPGA_ERASE 12\r\n") == b"0\r\n"
        for byte in b"FPGA_PROGRAM #108" + b"\r\n\r\nABCD" + b"\r\n":
            sock.sendall(bytes([byte]))
        assert exchange(sock, b"") == b"0\r\n"
        assert exchange(sock, b"FPGA_RST_PAGE_PTR CFG\r\nFPGA_READ\r\n", 3) == b"0\r\n#208\r\n\r\nABCD\r\n"


def test_several_connections_at_once(emulator, connect):
    device = emulator()
    first, second = FpgaTool(connect(device)), FpgaTool(connect(device))
    assert first._fpgaGetId() == second._fpgaGetId() == "0x0362D093"
    assert first._sendCmd("FPGA_PROGRAM #1").startswith("ERR")  # a bad frame is refused, not dropped
    assert second._fpgaGetControlFwVer() == "0.1.0.6"


def test_a_connection_held_inside_the_device_stops_none_of_its_other_connections(emulator, hold_at_block):
    device = emulator()
    reached, release = hold_at_block(device, 0, others_wait=False)
    with socket.create_connection((device.host, device.port), timeout=5) as held, \
            socket.create_connection((device.host, device.port), timeout=5) as other:
        assert exchange(held, b"FPGA_ERASE 12\r\n") == b"0\r\n"
        held.sendall(protocol.block_write(bytes(16)))
        assert reached.wait(10)
        assert exchange(other, b"GET_SN\r\n") == device.device.fpga.serial_number.encode() + b"\r\n"
        release.set()
        assert exchange(held, b"") == b"0\r\n"


def test_the_command_log_counts_every_command_but_keeps_only_the_last_and_refuses_older_ones():
    log = CommandLog(3)
    for word in ("GET_SN", "FPGA_ERASE", "FPGA_PROGRAM"):
        log.append(word)
    before = len(log)
    log.append("FPGA_PROGRAM", 2)
    assert len(log) == 5 and log.count("FPGA_PROGRAM") == 3 and "GET_SN" in log
    assert log[before:] == log[-2:] == ["FPGA_PROGRAM", "FPGA_PROGRAM"] and log[2] == "FPGA_PROGRAM"
    for older in (lambda: log[1:], lambda: log[1], lambda: list(log), lambda: log == [""] * 5,
                  lambda: log.index("GET_SN")):
        with pytest.raises(IndexError, match="keeps the last 3 of 5 commands"):
            older()
    assert log != [] and log[2:] == ["FPGA_PROGRAM"] * 3


def test_command_line_reports_its_port_and_serves_and_logs_updates(tmp_path):
    process = subprocess.Popen([sys.executable, "-m", "orbisk_tools", "emulate", "--port", "0", "-v"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("Device emulator listening on 127.0.0.1:")
        port = int(line.split(":")[1].split()[0])
        tool = FpgaTool(address="127.0.0.1", port=port)
        assert tool._fpgaGetVersion() == "0.2.3.4"
        image = tmp_path / "fw.bin"
        image.write_bytes(b"x" * 100)
        with contextlib.redirect_stdout(None):
            tool.processFpgaUpdate(str(image), 32)
        tool.disconnect()
        log = []
        for line in process.stderr:  # up to the end of that connection
            log.append(line)
            if line.endswith(" disconnected\n"):
                break
    finally:
        process.terminate()
        process.communicate(timeout=10)
    assert log[0].endswith(" connected\n")
    assert any(line.endswith(" FPGA image of 100 bytes loaded; FPGA version now 0.2.4.0\n") for line in log)


@pytest.mark.parametrize("options, status, message", [
    (["--port", "70000"], 2, "argument --port: expected a port from 0 to 65535, not '70000'"),
    (["--reply-delay", "-1"], 2, "argument --reply-delay: expected a number of seconds from 0 to 86400, not '-1'"),
    (["--port", "PORT IN USE"], 1, "cannot listen on 127.0.0.1:PORT IN USE: "),
    (["--refuse-times", "2"], 2, "--refuse-times needs --refuse-block"),
    (["--state", "/"], 1, "/ is a folder, not a state file of the emulator"),
])
def test_command_line_says_in_one_line_what_is_wrong(options, status, message):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        in_use = str(taken.getsockname()[1])
        options = [in_use if option == "PORT IN USE" else option for option in options]
        result = subprocess.run([sys.executable, "-m", "orbisk_tools", "emulate", *options], capture_output=True,
                                text=True, timeout=30)
        assert result.returncode == status and len(result.stderr.splitlines()) == 1, result.stderr
        assert message.replace("PORT IN USE", in_use) in result.stderr


def test_emulators_are_told_apart_by_their_serial_numbers_and_listen_where_asked():
    from orbisk_tools.devices.emulator import DeviceEmulator

    with DeviceEmulator(port=0) as first, DeviceEmulator(port=0) as second:
        assert first.device.fpga.serial_number == f"VORN-{first.port:06d}"
        assert second.device.fpga.serial_number == f"VORN-{second.port:06d}"
    process = subprocess.Popen([sys.executable, "-m", "orbisk_tools", "emulate", "--port", "0", "--host", "127.0.0.5",
                                "--serial", "SITE-A-07"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("Device emulator listening on 127.0.0.5:"), line + process.stderr.read()
        port = int(line.split(":")[1].split()[0])
        assert "serial number SITE-A-07" in line
        tool = FpgaTool(address="127.0.0.5", port=port)
        assert tool._fpgaGetSerialNumber() == "SITE-A-07"
        tool.disconnect()
    finally:
        process.terminate()
        process.communicate(timeout=10)
