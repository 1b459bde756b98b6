"""An emulated device on a real TCP socket: the FPGA controller and the fast beam controller.

It speaks the controller's command protocol as the SDK uses it: command lines end in
CR LF and get one reply line, except the block write, whose binary frame is read by
its length, and the page read, which is answered raw. Its configuration memory is a flash
(see flash.py), and it can be switched off and on (power_cycle()), keeping its state in a file
across restarts. Faults can be switched on to see how the SDK copes with a misbehaving device.
The device itself is a Device (device.py); its connections are served by the event loop of
serving.py, running in a thread of its own.

    orbisk-fpga emulate --port 5025
    with DeviceEmulator(port=0) as device: ...  # device.port
"""

import asyncio
import contextlib
import threading
from typing import Any, Self

from orbisk_tools.devices import serving
from orbisk_tools.devices.device import Device
from orbisk_tools.devices.faults import Faults

__all__ = ["Device", "DeviceEmulator", "Faults", "ServingThread", "default_serial"]


class ServingThread:
    """Serves `device` on `address`, a (host, port), port 0 for a free one: listens from the
    start, and answers once started, from an event loop in a thread of its own that calls the
    device from worker threads (see serving.py). `.address`: the (host, port) it listens on."""

    def __init__(self, address: tuple[str, int], device: Device) -> None:
        (self._listener,) = serving.listen([address])
        self.address: tuple[str, int] = self._listener.getsockname()[:2]
        self._device = device
        self._thread: threading.Thread | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._task: asyncio.Task[None] | None = None
        self._serving = threading.Event()

    def start(self) -> Self:
        self._thread = threading.Thread(target=asyncio.run, args=(self._serve(),), name="device-emulator",
                                        daemon=True)
        self._thread.start()
        self._serving.wait()
        return self

    async def _serve(self) -> None:
        self._loop, self._task = asyncio.get_running_loop(), asyncio.current_task()
        self._serving.set()
        try:
            await serving.serve([(self._listener, self._device)], device_calls_in_threads=True)
        except asyncio.CancelledError:
            pass
        finally:
            self._listener.close()  # if it was stopped before it served

    def stop(self) -> None:
        """Stops listening, ends every connection it serves at once, and ends its thread (or
        gives up waiting for it after 5 s)."""
        if self._thread is None:
            self._listener.close()
            return
        with contextlib.suppress(RuntimeError):  # its loop has ended already
            self._loop.call_soon_threadsafe(self._task.cancel)
        self._thread.join(timeout=5)


def default_serial(port: int) -> str:
    """The serial number of an emulator listening on `port`: emulators on one computer differ."""
    return f"VORN-{port:06d}"


class DeviceEmulator:
    """An emulated device listening on 127.0.0.1, or on `host`. Port 0 picks a free port; see
    `.port`. Its serial number is `serial_number`, or else derived from its port. With `state`,
    it keeps its state in that file (see Device.keep_state_in): started again with it, it is
    the same device, switched off and on; `erased`: a new device starts with nothing in its
    configuration memory, and its FPGA runs no image."""

    def __init__(self, port: int = 5025, host: str = "127.0.0.1", faults: Faults | None = None,
                 state: str | None = None, erased: bool = False, **fpga: Any) -> None:
        self.device = Device(faults, erased, **fpga)
        self._serving = ServingThread((host, port), self.device)
        self.host: str
        self.port: int
        self.host, self.port = self._serving.address
        if "serial_number" not in fpga:
            self.device.fpga.serial_number = default_serial(self.port)
        try:
            if state is not None:
                self.device.keep_state_in(state)
        except BaseException:
            self._serving.stop()
            raise

    @property
    def faults(self) -> Faults:
        return self.device.faults

    def start(self) -> Self:
        self._serving.start()
        return self

    def stop(self) -> None:
        self.device.interrupted.set()
        self._serving.stop()
        with self.device.lock:
            self.device.save()

    def power_cycle(self) -> None:
        """Switches the device off and on again: its connections drop, what it was doing ends
        (an erase or a write that takes its time), and it powers up (see Device.power_up): its
        FPGA runs the image in its configuration memory only if that was loaded after its last
        write; else it runs none, and the FPGA version queries are refused."""
        self.device.power_cycle()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
