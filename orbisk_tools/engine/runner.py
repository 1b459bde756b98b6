"""Updating several devices at once, `jobs` at a time, and stopping them all on Ctrl-C."""

import concurrent.futures
import threading
from orbisk_tools.engine.job import Job



def update_devices(resolved, settings, view, jobs, stop=None):
    """Updates every device of `resolved` (see resolve()), `jobs` at a time; Ctrl-C, or `stop` (a
    threading.Event) set by another thread, stops them all after their current exchange, and a second
    Ctrl-C stops waiting for erases. Returns the outcomes, in order, and whether Ctrl-C interrupted it."""
    stop = threading.Event() if stop is None else stop
    interrupted = False
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="update") as pool:
        jobs_running = [Job(target, addresses, settings, view, stop) for target, addresses in resolved.items()]
        futures = [pool.submit(job.run) for job in jobs_running]
        presses = 0  # Ctrl-Cs not yet acted on: one may come while the last is acted on
        while True:
            try:
                while presses:
                    presses -= 1
                    _interrupt(jobs_running, stop, view)
                concurrent.futures.wait(futures)
                break
            except KeyboardInterrupt:
                presses += 1
                interrupted = True
    return [future.result() for future in futures], interrupted


def _interrupt(jobs, stop, view):
    """Ctrl-C: the first stops every update after its current exchange; the next stops waiting for erases."""
    if not stop.is_set():
        stop.set()
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
