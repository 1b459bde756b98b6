"""A site of emulated devices in one process: one asyncio event loop serves every device's
listening socket and connections. Each device is a Device of its own (state, serial number,
faults, latency and timings) answering as the threaded DeviceEmulator's does; its latency,
split replies, reply delay, erase and write times are waits of the loop, not sleeping threads.
SiteDevice.power_cycle() switches a device off and on, from the loop.

    listeners = listen([("127.0.0.1", 0), ("127.0.0.1", 0)])
    asyncio.run(serve(zip(listeners, devices)))  # until cancelled (Ctrl-C)
"""

import asyncio
import collections
import functools
import logging
import socket

from orbisk_tools.devices.emulator import ENDLESS_CHUNK, SPLIT_PAUSE, SPLIT_SIZE, Device
from orbisk_tools.formats import protocol

log = logging.getLogger("orbisk_tools.devices.emulator")  # the same lines as one emulator's


class SiteDevice(Device):
    """A Device whose own time (an erase, a write at its rate) is kept for the loop to wait; its
    log lines name it by the address of its listening socket `listener`, and it keeps the words
    of its last few commands only."""

    commands_kept = 16

    def __init__(self, listener, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.label = f"{shown_address(listener)}: "
        self._owed = 0.0
        self.writers = set()  # of its connections

    def power_cycle(self):
        """Switches the device off and on again, as DeviceEmulator.power_cycle() does: its
        connections drop, and a wait for its own time that one of them is in ends unanswered."""
        for writer in list(self.writers):
            writer.transport.abort()
        with self.lock:
            self.power_up()

    def spend(self, seconds):
        self._owed += seconds

    def take_owed(self):
        """The seconds of the device's own time that the commands taken since the last call took."""
        owed, self._owed = self._owed, 0.0
        return owed


class CannotListen(OSError):
    """A listening socket that could not be made: names its address."""

    def __init__(self, host, port, error):
        super().__init__(error.errno, error.strerror or str(error))
        self.host, self.port = host, port


def listen(addresses):
    """A listening socket for each (host, port), in order; port 0 picks a free one. Raises
    CannotListen for the first that cannot be had, having closed the others."""
    listeners = []
    try:
        for host, port in addresses:
            family = socket.AF_INET6 if ":" in host else socket.AF_INET
            try:
                listeners.append(socket.create_server((host, port), family=family, backlog=64))
            except OSError as error:
                raise CannotListen(host, port, error) from None
    except BaseException:
        for listener in listeners:
            listener.close()
        raise
    return listeners


def shown_address(sock):
    host, port = sock.getsockname()[:2]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


async def serve(devices):
    """Serves each (listening socket, Device) of `devices` until cancelled."""
    servers = []
    try:
        for listener, device in devices:
            servers.append(await asyncio.start_server(functools.partial(_serve_connection, device), sock=listener))
        await asyncio.Event().wait()
    finally:
        for server in servers:
            server.close()


_CLOSE = object()


class _Link:
    """The way back to the client, as the threaded emulator's: replies go out at once, or after
    the link's latency, in order and overlapping; with `split`, in writes of SPLIT_SIZE bytes."""

    def __init__(self, writer, latency, split):
        self._writer = writer
        self._latency = latency
        self._split = split
        self._loop = asyncio.get_running_loop()
        self._in_flight = collections.deque()  # (when due, data or _CLOSE), oldest first

    async def send(self, data):
        if self._split:
            for at in range(0, len(data), SPLIT_SIZE):
                if at:
                    await asyncio.sleep(SPLIT_PAUSE)
                self._send(data[at : at + SPLIT_SIZE])
        else:
            self._send(data)
        if not self._latency:
            await self._writer.drain()

    async def send_endless(self):
        """A reply line without end: sends until the client goes away (raising OSError)."""
        if self._in_flight:  # what waits for its latency goes out first
            await asyncio.sleep(max(self._in_flight[-1][0] - self._loop.time(), 0))
            self._send_due(everything=True)
        while True:
            self._writer.write(ENDLESS_CHUNK)
            await self._writer.drain()

    def close(self):
        """Closes the connection once what is in flight went out."""
        self._send(_CLOSE)

    def _send(self, data):
        if not self._latency:
            self._write(data)
            return
        due = self._loop.time() + self._latency
        self._in_flight.append((due, data))
        self._loop.call_at(due, self._send_due)

    def _send_due(self, everything=False):
        now = self._loop.time()
        while self._in_flight and (everything or self._in_flight[0][0] <= now):
            self._write(self._in_flight.popleft()[1])

    def _write(self, data):
        if self._writer.is_closing():
            return
        if data is _CLOSE:
            self._writer.close()
        else:
            self._writer.write(data)


async def _serve_connection(device, reader, writer):
    """One client of `device`: commands taken from the byte stream in
    order, however they arrive in reads, each answered in turn; the replies to one read go out
    together."""
    faults = device.faults
    sock = writer.get_extra_info("socket")
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    link = _Link(writer, faults.latency, faults.split_replies)
    peer = "%s:%s" % writer.get_extra_info("peername")[:2]
    log.info("%s%s connected", device.label, peer)
    powered_up = device.power_ups
    device.writers.add(writer)
    buffer = bytearray()
    try:
        while data := await reader.read(65536):
            buffer += data
            replies = []
            runs = device.answers_runs()
            while (command := protocol.take_command(buffer, runs)) is not None:
                if device.is_silent():
                    continue
                if device.answers_without_end(command):
                    await link.send(b"".join(replies))
                    await link.send_endless()
                reply, stays_open = device.reply(command, powered_up)
                if owed := device.take_owed():
                    await asyncio.sleep(owed)
                if not stays_open:
                    await link.send(b"".join(replies) + reply)
                    return
                if faults.reply_delay:
                    await asyncio.sleep(faults.reply_delay)
                    await link.send(reply)
                else:
                    replies.append(reply)
                if device.takes_one_command_per_read():
                    break
            if replies:
                await link.send(b"".join(replies))
            if device.takes_one_command_per_read():
                buffer.clear()
    except OSError:
        return  # the client went away
    finally:
        link.close()
        device.writers.discard(writer)
        device.save()
        log.info("%s%s disconnected%s", device.label, peer, device.unloaded())
