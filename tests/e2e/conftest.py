"""An emulated device on 127.0.0.1 for end-to-end tests."""

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
