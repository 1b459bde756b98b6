"""The connection loop of emulated devices: one asyncio event loop serves the listening sockets
of one device (a DeviceEmulator, in a thread of its own) or of a whole site (orbisk-fpga
emulate), and every connection of each. A connection's commands are taken from its byte
stream in order, however they arrive in reads, and answered in turn; the replies to one read
go out together. Latency, split replies, reply delays and a site device's own time are waits of
the loop, not sleeping threads.

The one difference between a site and a DeviceEmulator is where the loop calls the device
(serve()'s `device_calls_in_threads`). A site's devices (SiteDevice) are called by the loop
itself, which is quickest, and owe the loop their own time (an erase, a write at its rate). A
DeviceEmulator's device may block in a call: it waits its own time holding its lock, and tests
hold it in a call on purpose; so each connection's calls run in a thread of the connection's
own, and one connection blocked in the device stops none of the others.

    listeners = listen([("127.0.0.1", 0), ("127.0.0.1", 0)])
    asyncio.run(serve(zip(listeners, devices)))  # until cancelled (Ctrl-C)
"""

import asyncio
import collections
import functools
import logging
import queue
import socket
import threading

from orbisk_tools.devices.faults import ENDLESS_CHUNK, SPLIT_PAUSE, SPLIT_SIZE
from orbisk_tools.formats import protocol

log = logging.getLogger(__name__)  # connections, shown by -v


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


async def serve(devices, *, device_calls_in_threads=False):
    """Serves each (listening socket, Device) of `devices` until cancelled; then it closes the
    listening sockets, and every connection ends at once. `device_calls_in_threads`: each
    connection calls its device from a thread of its own, where a call may block; else the loop
    calls it (see the module's docstring)."""
    devices = list(devices)
    connections = set()  # the task of each connection
    accepting = [asyncio.create_task(_accept(listener, device, device_calls_in_threads, connections))
                 for listener, device in devices]
    try:
        await asyncio.Event().wait()
    finally:
        for task in accepting:
            task.cancel()
        if accepting:
            await asyncio.wait(accepting)
        for listener, _ in devices:
            listener.close()
        for task in connections:
            task.cancel()
        if connections:
            await asyncio.wait(connections)


ACCEPT_RETRY_SECONDS = 1.0  # after a connection that could not be accepted (no file descriptor left, say)


async def _accept(listener, device, device_calls_in_threads, connections):
    """Takes the connections that come to `listener`, each served by a task of `connections`
    from the moment it is taken: none is lost when the task accepting them is cancelled."""
    loop = asyncio.get_running_loop()
    listener.setblocking(False)
    readable = asyncio.Event()
    loop.add_reader(listener.fileno(), readable.set)
    try:
        while True:
            await readable.wait()
            readable.clear()
            while True:
                try:
                    sock, address = listener.accept()
                except (BlockingIOError, InterruptedError):
                    break
                except OSError as error:
                    log.warning("%scannot accept a connection: %s", device.label, error.strerror or error)
                    await asyncio.sleep(ACCEPT_RETRY_SECONDS)
                    break
                sock.setblocking(False)
                task = loop.create_task(_serve_connection(device, device_calls_in_threads, sock, address))
                connections.add(task)
                task.add_done_callback(functools.partial(_ended, connections, sock))
    finally:
        loop.remove_reader(listener.fileno())


def _ended(connections, sock, task):
    """The task of the connection of `sock` has ended, having closed it, unless it was
    cancelled before it began, or it failed."""
    connections.discard(task)
    if task.cancelled():
        sock.close()
    elif task.exception() is not None:  # as asyncio.start_server() says it
        task.get_loop().call_exception_handler({"message": "Unhandled exception in client_connected_cb",
                                                "exception": task.exception()})


_CLOSE = object()


class _Link:
    """The way back to the client: replies go out at once, or after the link's latency, in order
    and overlapping, as replies in flight do on a real link; with `split`, in writes of SPLIT_SIZE
    bytes."""

    def __init__(self, writer, latency, split):
        self._writer = writer
        self._latency = latency
        self._split = split
        self._loop = asyncio.get_running_loop()
        self._in_flight = collections.deque()  # (when due, data), oldest first

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

    async def close(self):
        """Closes the connection once what is in flight went out."""
        if self._latency:
            await asyncio.sleep(self._latency)
            self._send_due(everything=True)
        self._write(_CLOSE)

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


async def _serve_connection(device, device_calls_in_threads, sock, address):
    """One client of `device` (see serve()), on `sock` from `address`, until it goes away, the
    device closes the connection or its power is cut, or the task is cancelled."""
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        reader, writer = await asyncio.open_connection(sock=sock)
    except OSError:  # gone already
        sock.close()
        return
    except BaseException:
        sock.close()
        raise
    call = _CallingThread() if device_calls_in_threads else _call_inline
    link = _Link(writer, device.faults.latency, device.faults.split_replies)
    peer = "%s:%s" % address[:2]
    log.info("%s%s connected", device.label, peer)
    powered_up = device.connected(sock)
    try:
        try:
            await _answer_commands(device, call, reader, link, powered_up)
            await link.close()
        except (OSError, asyncio.CancelledError):  # the client went away, or the serving stops: at once
            writer.transport.abort()
        except BaseException:
            writer.transport.abort()
            raise
    finally:
        disconnected = call(device.disconnected, sock)
        if call is not _call_inline:
            call.end()
        try:
            unloaded = await asyncio.shield(disconnected)
        except asyncio.CancelledError:  # the serving stops meanwhile: the device is told all the same
            unloaded = await disconnected
        log.info("%s%s disconnected%s", device.label, peer, unloaded)


async def _answer_commands(device, call, reader, link, powered_up):
    """Answers the commands that come from `reader` on `link` until the client goes away
    (OSError, or the end of what it sends) or the device closes the connection."""
    buffer = bytearray()
    while data := await reader.read(65536):
        buffer += data
        steps = _answers(device, buffer, powered_up)
        while True:
            action, argument = await call(_next_step, steps)
            if action is _WAIT:
                await asyncio.sleep(argument)
            elif action is _SEND_ENDLESS:
                await link.send_endless()  # until the client goes away: OSError
            else:
                if argument:
                    await link.send(argument)
                if action is _SEND_AND_CLOSE:
                    return
                if action is _READ_ANSWERED:
                    break


def _call_inline(function, *args):
    """The future of function(*args), called now by the loop itself."""
    future = asyncio.get_running_loop().create_future()
    try:
        future.set_result(function(*args))
    except Exception as error:  # the loop's to raise
        future.set_exception(error)
    return future


class _CallingThread:
    """A thread that makes the calls of one connection to its device, one after the other, for
    the loop to await: call(function, *args) is the future of function(*args), as
    _call_inline() is."""

    def __init__(self):
        self._loop = asyncio.get_running_loop()
        self._calls = queue.SimpleQueue()
        threading.Thread(target=self._make_calls, name="emulated-device-connection", daemon=True).start()

    def __call__(self, function, *args):
        future = self._loop.create_future()
        self._calls.put((future, function, args))
        return future

    def end(self):
        """Ends the thread once the calls asked for so far are done."""
        self._calls.put(None)

    def _make_calls(self):
        while (call := self._calls.get()) is not None:
            future, function, args = call
            try:
                outcome = (function(*args), None)
            except BaseException as error:  # the loop's to raise
                outcome = (None, error)
            try:
                self._loop.call_soon_threadsafe(_settle, future, *outcome)
            except RuntimeError:  # the loop has ended: nobody waits for it
                return


def _settle(future, result, error):
    if future.cancelled():
        return
    if error is None:
        future.set_result(result)
    else:
        future.set_exception(error)


# What the answers to a read ask of the link, each with its argument (see _next_step()).
_SEND = "send"  # these replies
_WAIT = "wait"  # these seconds before going on
_SEND_ENDLESS = "send endless"  # a reply line without end, until the client goes away
_SEND_AND_CLOSE = "send and close"  # these replies, then close the connection
_READ_ANSWERED = "read answered"  # these replies, the last to the commands of the read


def _next_step(steps):
    """The next (what the link is to do, its argument) of the answers `steps` (see _answers())."""
    try:
        return next(steps)
    except StopIteration as answered:
        return _READ_ANSWERED, answered.value


def _answers(device, buffer, powered_up):
    """Takes the commands that `buffer` holds from it, in order, and answers them: yields
    (what the link is to do, its argument) in turn, and returns the replies still to send once
    no whole command is left (or after the first one, while the device takes one command per
    read). `powered_up`: the device's power-ups when the connection was made (see
    Device.reply())."""
    faults = device.faults
    replies = []
    runs = device.answers_runs()
    while (command := protocol.take_command(buffer, runs)) is not None:
        if device.is_silent():
            continue
        if device.answers_without_end(command):
            yield _SEND, b"".join(replies)
            yield _SEND_ENDLESS, None
        reply, stays_open = device.reply(command, powered_up)
        if owed := device.take_owed():
            yield _WAIT, owed
        if not stays_open:
            yield _SEND_AND_CLOSE, b"".join(replies) + reply
            return
        if faults.reply_delay:
            yield _WAIT, faults.reply_delay
            yield _SEND, reply
        else:
            replies.append(reply)
        if device.takes_one_command_per_read():
            break
    if device.takes_one_command_per_read():
        buffer.clear()
    return b"".join(replies)
