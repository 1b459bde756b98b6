"""The emulator itself: the wire protocol as a client sees it, several clients, and its command line."""

import socket
import subprocess
import sys

from orbisk.VornFpga import FpgaTool


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


def test_command_line_reports_its_port_and_serves():
    process = subprocess.Popen([sys.executable, "-m", "orbisk_tools.emulator", "--port", "0"],
                               stdout=subprocess.PIPE, text=True)
    try:
        line = process.stdout.readline()
        assert line.startswith("Device emulator listening on 127.0.0.1:")
        port = int(line.split(":")[1].split()[0])
        tool = FpgaTool(address="127.0.0.1", port=port)
        assert tool._fpgaGetVersion() == "0.2.3.4"
        tool.disconnect()
    finally:
        process.terminate()
        process.wait(timeout=10)
