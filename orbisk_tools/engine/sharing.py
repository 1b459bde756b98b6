"""A site shared out among laptops (update --share-site NAME): each laptop given the same list and
the same team history takes the next device that no laptop has taken or finished, so that two
laptops bring a site up in about half the time without splitting the list by hand. The site's
devices, their order and who took which are in the history's database (records.postgres); the
waves and max_failures hold for the site as a whole. A laptop ends its run once every device of the
site is done; a laptop that dies leaves the devices it was updating to be taken again once its
database session ends."""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Protocol

from orbisk_tools.engine.advice import say
from orbisk_tools.engine.outcomes import DeviceFailure
from orbisk_tools.engine.rollout import Gate, Soaks
from orbisk_tools.errors import OrbiskError
from orbisk_tools.vocabulary import SUCCEEDED, Reason, Result

if TYPE_CHECKING:
    from orbisk_tools.engine.outcomes import Outcome
    from orbisk_tools.records.history import History
    from orbisk_tools.records.postgres import SiteDevice

LOOK_SECONDS = 0.5  # how often a laptop with nothing to take looks again


def hold_team_lock(history: History | None, held: contextlib.ExitStack, name: str) -> None:
    """Takes the lock of the device named `name` that every computer sharing `history` sees, until
    `held` ends (none for a history of one computer's own); raises DeviceFailure when another
    computer holds it."""
    if history is None:
        return
    holder = history.lock_device(name)
    if holder is not None:
        raise DeviceFailure(say(Reason.DEVICE_LOCKED, holder=f" ({holder})"), Reason.DEVICE_LOCKED, {"holder": holder})
    held.callback(history.unlock_device, name)


class SiteStore(Protocol):
    """What a team's history keeps of a shared site (records.postgres.PostgresHistory)."""

    def share_site(self, site: str, addresses: Sequence[str]) -> None: ...

    def take_device(self, site: str) -> str | None: ...

    def finish_device(self, site: str, address: str, result: str) -> None: ...

    def soak_device(self, site: str, address: str, result: str) -> None: ...

    def release_device(self, site: str, address: str) -> None: ...

    def site_devices(self, site: str) -> list[SiteDevice]: ...


class SiteRefused(OrbiskError, ValueError):
    """The shared site cannot be updated from this laptop: its devices are not those given."""


class SharedSite:
    """The devices `addresses` of the site `name`, shared through `store`: take() the next one.
    `elsewhere(n)`, if given, is told how many of them other laptops took, as that changes."""

    def __init__(self, store: SiteStore, name: str, addresses: Sequence[str],
                 elsewhere: Callable[[int], object] | None = None):
        self.store, self.name, self._elsewhere, self._told = store, name, elsewhere, 0
        # whether a device that ended is checked after its wave's soak (SharedGate.soaks)
        self.soaks: Callable[[Outcome], bool] = lambda outcome: False
        store.share_site(name, addresses)
        devices = [device.address for device in store.site_devices(name)]
        if devices != list(addresses):
            others = sorted(set(devices) ^ set(addresses))
            raise SiteRefused(f"the shared site {name} has {len(devices)} devices, and this list {len(addresses)}"
                              + (f" ({others[0]} is in one only)" if others else " in another order")
                              + "; give every laptop the same list, or another site name", "site_differs",
                              {"site": name, "devices": len(devices)})

    def take(self, stop: threading.Event, idle: Callable[[], object] | None = None) -> str | None:
        """The address of the next device this laptop takes; None once `stop` is set or no device
        of the site is left to take: while another laptop still updates one, or a device waits
        for the check after its wave's soak, this one waits, calling idle() (which may run this
        laptop's soak), as the other may die and leave its device to be taken again."""
        while not stop.is_set():
            address = self.store.take_device(self.name)
            devices = self.store.site_devices(self.name)
            self._tell(devices)
            if address is not None:
                return address
            if not any((device.state == "taken" and device.live and not device.ours) or device.state == "soaking"
                       for device in devices):
                return None  # done, or being updated here: nothing will come back
            if idle is not None:
                idle()
            stop.wait(LOOK_SECONDS)
        return None

    def done(self, outcome: Outcome) -> None:
        """Records how the update of a device this laptop took ended."""
        if outcome.result == Result.NOT_STARTED and outcome.details.get("held_by") in ("cancel", "interrupt"):
            # stopped here, not held back by the site's waves or max_failures: another laptop may update it
            self.store.release_device(self.name, outcome.address)
        elif self.soaks(outcome):  # done once checked after its wave's soak, by this laptop
            self.store.soak_device(self.name, outcome.address, outcome.result)
        else:
            self.store.finish_device(self.name, outcome.address, outcome.result)

    def _tell(self, devices: list[SiteDevice]) -> None:
        if self._elsewhere is None:
            return
        others = sum(device.state != "waiting" and not device.ours for device in devices)
        if others != self._told:
            self._told = others
            self._elsewhere(others)


class SharedGate(Gate):
    """A Gate (waves, max_failures, soak) for the whole of a shared site: what it knows of the devices
    it reads from the site's devices in the history, whichever laptop updated them. With a soak, a
    device that ended waits in the state "soaking" for its check, by the laptop that updated it,
    once its wave ended on every laptop; a wave is soaked once none of its devices is soaking. A
    device left soaking by a laptop that died is taken again, and soaked by the laptop that takes it."""

    def __init__(self, site: SharedSite, max_failures: int | None = None, waves: Sequence[Sequence[str]] = (),
                 named: str = "waves", soak: Soaks | None = None):
        super().__init__(max_failures, waves, named, soak)
        self._site = site
        self._in_soak: set[str] = set()  # the site's devices that wait for the check after their wave's soak
        site.soaks = self.soaks

    def _look_again(self) -> None:
        devices = self._site.store.site_devices(self._site.name)
        self.failures = sum(device.result == Result.FAILED for device in devices)
        ended = {device.address: device.result for device in devices if device.state in ("soaking", "done")}
        self._in_soak = {device.address for device in devices if device.state == "soaking"}
        for number, wave in enumerate(self._waves):
            self._left[number] = {address for address in wave if address not in ended}
            self._not_succeeded[number] = sum(ended[address] not in SUCCEEDED for address in wave if address in ended)

    def _unsoaked(self, number: int) -> bool:
        return not self._in_soak.isdisjoint(self._waves[number])

    def _soaked(self, outcomes: list[Outcome], failed: set[str], stopped: bool) -> None:
        if stopped:  # left soaking: taken again by a laptop that goes on, once this one's session ends
            return
        for outcome in outcomes:
            result = Result.FAILED if outcome.address in failed else outcome.result
            self._site.store.finish_device(self._site.name, outcome.address, result)
