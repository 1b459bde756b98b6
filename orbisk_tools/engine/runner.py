"""Work on several devices at once, `jobs` at a time, and stopping it all on Ctrl-C: the one fan-out
that update, verify and status share."""

import concurrent.futures
import threading

from orbisk_tools.engine.job import Job


def for_each_device(resolved, work, jobs, stop, interrupted=None):
    """work(target, addresses) for every device of `resolved` (see resolve()), `jobs` at a time, each
    in a thread of its own; their results, in the order of `resolved`. Ctrl-C in the calling thread
    sets `stop`, which `work` looks at between its exchanges with the device (a device not yet begun
    is not begun), and calls interrupted(again), `again` False for the first Ctrl-C; then it waits
    for every work to end."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="device") as pool:
        futures = [pool.submit(work, target, addresses) for target, addresses in resolved.items()]
        presses = 0  # Ctrl-Cs not yet acted on: one may come while the last is acted on
        while True:
            try:
                while presses:
                    presses -= 1
                    again = stop.is_set()
                    stop.set()
                    if interrupted is not None:
                        interrupted(again)
                concurrent.futures.wait(futures)
                break
            except KeyboardInterrupt:
                presses += 1
    return [future.result() for future in futures]


def update_devices(resolved, settings, view, jobs, stop=None):
    """Updates every device of `resolved` (see resolve()), `jobs` at a time; Ctrl-C, or `stop` (a
    threading.Event) set by another thread, stops them all after their current exchange, and a second
    Ctrl-C stops waiting for erases. Returns the outcomes, in order, and whether Ctrl-C interrupted it."""
    stop = threading.Event() if stop is None else stop
    pressed = []  # the Ctrl-Cs acted on

    def interrupted(again):
        pressed.append(again)
        _interrupt(list(updates.values()), again, view)

    updates = {target: Job(target, addresses, settings, view, stop) for target, addresses in resolved.items()}
    outcomes = for_each_device(resolved, lambda target, addresses: updates[target].run(), jobs, stop, interrupted)
    return outcomes, bool(pressed)


def _interrupt(jobs, again, view):
    """Ctrl-C: the first stops every update after its current exchange; the next stops waiting for erases."""
    if not again:
        view.note("Interrupted: stopping every update after its current exchange with the device")
        for job in jobs:
            left = job.erase_time_left()
            if left is not None:
                view.note(f"{job.target.label}: erasing; the device may take up to {left:.0f} s more "
                          "to answer; press Ctrl-C again to stop waiting (it is then left erased)")
        return
    for job in jobs:
        if job.erase_time_left() is not None:
            job.conn.stop_waiting()
            view.note(f"{job.target.label}: stopped waiting for the erase; the device is left erased")
