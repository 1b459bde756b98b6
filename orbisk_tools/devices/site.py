"""A site of emulated devices in one process (orbisk-fpga emulate, one device or --devices N):
each a SiteDevice of its own (state, serial number, faults, latency and timings), all served by
one asyncio event loop (serving.serve()), which calls them itself and waits their own time.

    listeners = serving.listen([("127.0.0.1", 0), ("127.0.0.1", 0)])
    devices = [SiteDevice(listener) for listener in listeners]
    asyncio.run(serving.serve(zip(listeners, devices)))  # until cancelled (Ctrl-C)
"""

from orbisk_tools.devices.device import Device
from orbisk_tools.devices.serving import shown_address


class SiteDevice(Device):
    """A Device whose own time (an erase, a write at its rate) is kept for the loop to wait, so
    that the loop may call it; its log lines name it by the address of its listening socket
    `listener`, and it keeps the words of its last few commands only."""

    commands_kept = 16

    def __init__(self, listener, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.label = f"{shown_address(listener)}: "
        self._owed = 0.0

    def spend(self, seconds):
        self._owed += seconds

    def take_owed(self):
        owed, self._owed = self._owed, 0.0
        return owed
