"""Work on several devices at once, `jobs` at a time, and stopping it all on Ctrl-C: the one fan-out
that update, verify and status share."""

from __future__ import annotations

import concurrent.futures
import contextlib
import functools
import signal
import threading
from collections.abc import Callable, Iterator, Sequence
from types import FrameType
from typing import TYPE_CHECKING, Any, TypeVar

from orbisk_tools.engine.job import Job
from orbisk_tools.engine.settings import Settings
from orbisk_tools.engine.outcomes import DeviceFailure, Outcome
from orbisk_tools.engine.stop import Stop, Token
from orbisk_tools.engine.stop import stop as stop_with

if TYPE_CHECKING:
    from orbisk_tools.engine.api import View
    from orbisk_tools.engine.sharing import SharedSite
    from orbisk_tools.engine.soak import WaveSoak
    from orbisk_tools.engine.targets import Resolved, Target
    from orbisk_tools.engine.workers import Pool

T = TypeVar("T")
# interrupted(again, signum): told of each Ctrl-C (or SIGTERM), `again` false for the first
Interrupted = Callable[[bool, int], object]


def for_each_device(resolved: Resolved, work: Callable[[Target, list[str] | DeviceFailure], T], jobs: int,
                    stop: threading.Event, interrupted: Interrupted | None = None, cancel: Token | None = None,
                    shared: SharedSite | None = None, between: Callable[[], object] | None = None) -> list[T]:
    """work(target, addresses) for every device of `resolved` (see resolve()), `jobs` at a time, each
    in a thread of its own; their results, in the order of `resolved`. Ctrl-C in the calling thread
    sets `stop`, which `work` looks at between its exchanges with the device (a device not yet begun
    is not begun), and calls interrupted(again, signum), `again` False for the first Ctrl-C, `signum`
    the signal (SIGINT, or SIGTERM that the caller's handler turned into one); then it waits for
    every work to end. Setting `cancel` (anything with is_set()) stops them too, as Stop.CANCEL.
    With `shared`, a site shared out among laptops, each of `jobs` threads takes the site's next
    device in turn, and the results are those of the devices this laptop took. between(), if given,
    is called in the thread of each device once its work ended (once a shared site knows of it),
    and while a thread of a shared site waits for a device to take: a wave's soak runs there."""
    taken: dict[Target, T] = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="device") as pool:
        futures: list[concurrent.futures.Future[Any]]
        if shared is None:
            futures = [pool.submit(_work_then, work, between, target, addresses)
                       for target, addresses in resolved.items()]
        else:
            futures = [pool.submit(_take_and_work, shared, resolved, work, stop, taken, between) for _ in range(jobs)]
        presses: list[int] = []  # the Ctrl-Cs (and SIGTERMs) that came; acted on in order
        acted = 0
        with _counted_interrupts(presses, stop):
            while True:
                try:
                    done, _ = concurrent.futures.wait(futures, timeout=0.05)
                except KeyboardInterrupt:  # from a handler of the caller's own, in the main thread
                    stop_with(stop, Stop.INTERRUPT)
                    presses.append(signal.SIGINT)
                    continue
                if cancel is not None and not stop.is_set() and cancel.is_set():
                    stop_with(stop, Stop.CANCEL)
                while acted < len(presses):
                    acted += 1
                    if interrupted is not None:
                        interrupted(acted > 1, presses[acted - 1])
                if len(done) == len(futures):
                    break
    if shared is not None:
        for future in futures:
            future.result()  # what went wrong in a thread of the tools' own
        return [taken[target] for target in resolved if target in taken]
    return [future.result() for future in futures]


def _work_then(work: Callable[[Target, list[str] | DeviceFailure], T], between: Callable[[], object] | None,
               target: Target, addresses: list[str] | DeviceFailure) -> T:
    result = work(target, addresses)
    if between is not None:
        between()
    return result


def _take_and_work(shared: SharedSite, resolved: Resolved, work: Callable[[Target, list[str] | DeviceFailure], T],
                   stop: threading.Event, taken: dict[Target, T], between: Callable[[], object] | None) -> None:
    """Works on the devices of a shared site that this thread takes, one after the other."""
    by_address = {target.label: target for target in resolved}
    while (address := shared.take(stop, between)) is not None:
        target = by_address[address]
        taken[target] = result = work(target, resolved[target])
        shared.done(result)  # type: ignore[arg-type]  # an Outcome: only updates share a site
        if between is not None:
            between()


@contextlib.contextmanager
def _counted_interrupts(presses: list[int], stop: threading.Event) -> Iterator[None]:
    """While the devices are worked on, Ctrl-C and a SIGTERM that its handler turns into one set
    `stop` at once and are counted in `presses` rather than raised in this thread: raised inside
    the futures' wait, they could leave one of its locks held, and a device's thread would never end."""
    if threading.current_thread() is not threading.main_thread():
        yield  # signals reach the main thread only
        return
    installed: dict[signal.Signals, Callable[[int, FrameType | None], object]] = {}
    for signum in (signal.SIGINT, signal.SIGTERM):
        previous = signal.getsignal(signum)
        if callable(previous):
            def counted(number: int, frame: FrameType | None,
                        previous: Callable[[int, FrameType | None], object] = previous) -> None:
                try:
                    previous(number, frame)
                except KeyboardInterrupt:
                    pass
                stop_with(stop, Stop.INTERRUPT)  # its lock is never held by this thread when a signal comes
                presses.append(number)

            installed[signum] = previous
            signal.signal(signum, counted)
    try:
        yield
    finally:
        for signum, previous in installed.items():
            signal.signal(signum, previous)


def update_devices(resolved: Resolved, settings: Settings, view: View, jobs: int,
                   cancel: Token | None = None, pool: Pool | None = None,
                   stop: threading.Event | None = None, shared: SharedSite | None = None) -> tuple[list[Outcome], bool]:
    """Updates every device of `resolved` (see resolve()), `jobs` at a time, on the workers of
    `pool` (a workers.Pool) when it has any, else in this process; Ctrl-C, or `cancel` (anything
    with is_set()) set by another thread, stops them all after their current exchange, and a
    second Ctrl-C stops waiting for erases. `stop`: the Stop to use (one of its own by default).
    `shared`: a site shared out among laptops, of which this one updates the devices it takes.
    Returns the outcomes, in order, and whether Ctrl-C (or an interrupt of the view's) stopped it."""
    from orbisk_tools.engine.tracking import Tracker

    stop = Stop(cancel) if stop is None else stop
    pressed: list[bool] = []  # the Ctrl-Cs acted on
    if not isinstance(view, Tracker):
        view = Tracker(view, [target.label for target in resolved])
    gate, between = settings.gate, None
    soak = getattr(gate, "soak", None)
    if soak is not None:  # the soak of each wave, once it ended, in the thread of its last device
        soak.view = view
        between = functools.partial(gate.soak_due, stop)  # type: ignore[union-attr]  # a Gate's, with a soak
    if pool is not None and pool.workers:
        def told(again: bool, signum: int | None = None) -> None:  # each worker stops its own updates
            pressed.append(again)
            interrupt_note(again, view)

        outcomes = pool.update(resolved, settings, view, jobs, stop, told, cancel, shared, between)
        return _soaked(outcomes, soak), bool(pressed) or getattr(stop, "cause", None) == Stop.INTERRUPT

    def interrupted(again: bool, signum: int | None = None) -> None:
        pressed.append(again)
        interrupt_note(again, view)
        interrupt_jobs(list(updates.values()), again, view)
        if signum == signal.SIGTERM and not again:  # a SIGTERM is not waited out: as a second Ctrl-C
            interrupt_jobs(list(updates.values()), True, view)

    updates = {target: Job(target, addresses, settings, view, stop) for target, addresses in resolved.items()}
    outcomes = for_each_device(resolved, lambda target, addresses: updates[target].run(), jobs, stop, interrupted,
                               cancel, shared, between)
    return _soaked(outcomes, soak), bool(pressed) or getattr(stop, "cause", None) == Stop.INTERRUPT


def _soaked(outcomes: list[Outcome], soak: WaveSoak | None) -> list[Outcome]:
    """`outcomes`, each with what the check after its wave's soak found, if there was one."""
    if soak is not None:
        for outcome in outcomes:
            soak.apply(outcome)
    return outcomes


def interrupt_note(again: bool, view: View) -> None:
    if not again:
        view.note("Interrupted: stopping every update after its current exchange with the device")


def interrupt_jobs(jobs: Sequence[Job], again: bool, view: View) -> None:
    """Ctrl-C: the first stops every update after its current exchange (`stop` is set); of those
    erasing, it says how long they may take; the next stops waiting for erases."""
    if not again:
        for job in jobs:
            left = job.erase_time_left()
            if left is not None:
                view.note(f"{job.target.label}: erasing; the device may take up to {left:.0f} s more "
                          "to answer; press Ctrl-C again to stop waiting (it is then left erased)")
        return
    for job in jobs:
        if job.erase_time_left() is not None:
            assert job.conn is not None  # it erases on it
            job.conn.stop_waiting()
            view.note(f"{job.target.label}: stopped waiting for the erase; the device is left erased")
