"""An emulated device on 127.0.0.1 for end-to-end tests."""

import threading

import pytest

from orbisk.VornCommService import _TCPConn
from orbisk_tools.emulator import DeviceEmulator, Faults


@pytest.fixture
def emulator():
    """Factory: emulator(**faults) starts a device on a free port; stopped after the test."""
    started = []

    def start(**faults):
        started.append(DeviceEmulator(port=0, faults=Faults(**faults)).start())
        return started[-1]

    yield start
    for device in started:
        device.stop()


@pytest.fixture
def connect():
    """Factory: connect(emulator, timeout=2.0) opens a _TCPConn to it; closed after the test."""
    opened = []

    def open_connection(device, timeout=2.0):
        conn = _TCPConn(device.host, device.port, timeout=timeout)
        assert conn.initConnection()
        opened.append(conn)
        return conn

    yield open_connection
    for conn in opened:
        conn.closeConnection()


@pytest.fixture
def hold_at_block():
    """Factory: hold_at_block(emulator, block) holds the emulated device's answer to block
    `block` until `release` is set; returns (reached, release), `reached` set when it got there."""
    released = []

    def hold(device, block):
        reached, release = threading.Event(), threading.Event()
        program = device.device.program

        def held(data):
            if device.device.fpga.blocks_taken == block and not release.is_set():
                reached.set()
                release.wait(60)
            return program(data)

        device.device.program = held
        device.device.takes_runs = False  # every block through program()
        released.append(release)
        return reached, release

    yield hold
    for release in released:  # a test that failed midway must not leave a device holding
        release.set()
