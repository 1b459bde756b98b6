"""An emulated device on 127.0.0.1 for end-to-end tests."""

import os
import threading

import pytest

from orbisk.VornCommService import _TCPConn
from orbisk_tools.devices.emulator import DeviceEmulator, Faults, ServingThread
from orbisk_tools.formats.signed_image import pack


@pytest.fixture
def emulator():
    """Factory: emulator(**faults) starts a device on a free port, with `erased` one whose
    configuration memory holds nothing; stopped after the test."""
    started = []

    def start(erased=False, **faults):
        started.append(DeviceEmulator(port=0, faults=Faults(**faults), erased=erased).start())
        return started[-1]

    yield start
    for device in started:
        device.stop()


@pytest.fixture
def image(tmp_path):
    """A signed image for device type 32, fw.tbin, of 1000 random bytes."""
    path = tmp_path / "fw.tbin"
    path.write_bytes(pack(os.urandom(1000), 32))
    return path


@pytest.fixture
def also_listening():
    """Factory: also_listening(emulator, host) makes the emulated device answer on `host` too (a
    loopback address), on a free port that it returns: one device reached by two addresses."""
    servers = []

    def listen(device, host):
        servers.append(ServingThread((host, 0), device.device).start())
        return servers[-1].address[1]

    yield listen
    for server in servers:
        server.stop()


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
    """Factory: hold_at_block(emulator, block, others_wait=True) holds the emulated device's answer
    to block `block` until `release` is set; returns (reached, release), `reached` set when it got
    there. With others_wait=False the device answers its other connections meanwhile."""
    released = []

    def hold(device, block, others_wait=True):
        reached, release = threading.Event(), threading.Event()
        program = device.device.program

        def held(data):
            if device.device.fpga.blocks_taken == block and not release.is_set():
                reached.set()
                if others_wait:
                    release.wait(60)
                else:
                    device.device.lock.release()  # held by the caller of program()
                    try:
                        release.wait(60)
                    finally:
                        device.device.lock.acquire()
            return program(data)

        device.device.program = held
        device.device.takes_runs = False  # every block through program()
        released.append(release)
        return reached, release

    yield hold
    for release in released:  # a test that failed midway must not leave a device holding
        release.set()
