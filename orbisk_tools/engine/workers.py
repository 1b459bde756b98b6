"""A site's updates spread over worker processes, about one a core, each running its devices'
Jobs in threads: one process is bound to one core by its interpreter lock, and a site of
hundreds of devices needs both. The main process keeps the one display, the one history writer,
the rollout gate, the count of Ctrl-Cs and the result; each worker forwards what its Jobs tell
those over a socket pair, and takes the devices to update, one at a time, from the main process,
which keeps at most --jobs of them running at once.

The workers are forked before any thread runs (Pool.__enter__), so they start at once with
everything imported. They ignore Ctrl-C and SIGTERM, which the main process passes on as the
one interrupt it counted; a worker whose main process is gone stops its updates after their
current exchange, as after Ctrl-C."""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import logging
import os
import pickle
import queue
import signal
import socket
import sys
import threading
import time
import traceback
from collections.abc import Callable
from types import TracebackType
from typing import TypeVar, TYPE_CHECKING, Self, cast

from orbisk_tools.engine.worker import FromWorker, Reply, ToWorker, _Channel, _serve
from orbisk_tools.engine.outcomes import DeviceFailure, Outcome, Reason, Result

if TYPE_CHECKING:
    from orbisk_tools.engine.inspection import Work
    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.sharing import SharedSite
    from orbisk_tools.engine.rollout import Holds
    from orbisk_tools.engine.runner import Interrupted
    from orbisk_tools.engine.stop import Token
    from orbisk_tools.engine.targets import Resolved, Target
    from orbisk_tools.engine.tracking import Tracker
    from orbisk_tools.records.history import History

logger = logging.getLogger(__name__)

DEVICES_PER_WORKER = 8  # fewer devices than this a worker are updated in the main process
END_SECONDS = 10.0  # how long a worker may take to end once told to
STOP_SECONDS = 5.0  # after a second Ctrl-C or a SIGTERM, how long a worker may take to end its devices

T = TypeVar("T")


def cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def worker_count(devices: int, jobs: int) -> int:
    """The workers for updating `devices` devices, up to `jobs` at once: one a core, none when
    fewer than two would have DEVICES_PER_WORKER devices each."""
    count = min(cores(), min(devices, jobs) // DEVICES_PER_WORKER)
    return count if count >= 2 else 0


class _Outbox:
    """The messages to one worker, sent by a thread of their own in order: a worker that reads
    nothing (stopped, or stuck) never holds up the main process."""

    def __init__(self, channel: _Channel[ToWorker, FromWorker]):
        self._channel = channel
        self._queue: queue.SimpleQueue[ToWorker | None] = queue.SimpleQueue()
        threading.Thread(target=self._send_all, name="worker-outbox", daemon=True).start()

    def send(self, message: ToWorker) -> None:
        self._queue.put(message)

    def close(self) -> None:
        self._queue.put(None)

    def _send_all(self) -> None:
        while (message := self._queue.get()) is not None:
            try:
                self._channel.send(message)
            except OSError:  # the worker is gone: its reader tells
                return


@dataclasses.dataclass
class _Worker:
    pid: int
    channel: _Channel[ToWorker, FromWorker]
    outbox: _Outbox
    running: int = 0  # devices sent and not yet ended
    keys: set[int] = dataclasses.field(default_factory=set)  # of those devices
    open_attempts: dict[int, str] = dataclasses.field(default_factory=dict)  # its devices' history rows -> address
    team_locks: list[str] = dataclasses.field(default_factory=list)  # the history's device locks taken for it
    reader: threading.Thread | None = None
    lost: bool = False  # it ended before its devices did: none is sent to it any more
    killed: bool = False  # it did not end its devices in time after a second Ctrl-C or a SIGTERM


@dataclasses.dataclass
class _Pending:
    """A device sent to a worker, until its result comes back (`done`)."""
    target: Target
    done: threading.Event = dataclasses.field(default_factory=threading.Event)
    result: object = None


class Pool:
    """Worker processes for one site update, or one read-only pass over a site: `with Pool(count)
    as pool:` before any thread starts (the display's included), then pool.update(...) or
    pool.map(...). With count below 2, or when threads already run, there are no workers
    (pool.workers is empty) and the caller works in its own process."""

    # Of the update or the pass under way (see _each)
    _view: Tracker | None  # the update's
    _history: History | None
    _gate: Holds | None
    _stop: threading.Event
    _lost_result: Callable[[Target, str], object] | None  # a pass's; None for an update
    _lock: threading.Lock
    _ended: dict[int, _Pending]
    _keys: itertools.count[int]
    _done: threading.Event

    def __init__(self, count: int):
        self.count = count
        self.workers: list[_Worker] = []

    def __enter__(self) -> Self:
        if self.count >= 2 and threading.active_count() == 1:
            for _ in range(self.count):
                self.workers.append(self._fork())
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        for worker in self.workers:
            if kind is not None:  # the update ended by an exception here: theirs stop too
                worker.outbox.send(("interrupt", False, None))
            worker.outbox.send(("end",))
            worker.outbox.close()
        deadline = time.monotonic() + END_SECONDS
        for worker in self.workers:
            while os.waitpid(worker.pid, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    with contextlib.suppress(OSError):
                        os.kill(worker.pid, signal.SIGKILL)
                    os.waitpid(worker.pid, 0)
                    break
                time.sleep(0.01)
            worker.channel.close()
            if worker.reader is not None:
                worker.reader.join(1.0)

    def _fork(self) -> _Worker:
        ours, theirs = socket.socketpair()
        pid = os.fork()
        if pid == 0:  # the worker
            status = 1
            try:
                ours.close()
                for other in self.workers:  # else a worker would keep another's link open
                    other.channel.close()
                _serve(_Channel[FromWorker, ToWorker](theirs))
                status = 0
            except BaseException:  # a fault of the tools: told (to the main process's display), then this worker ends
                traceback.print_exc()
            finally:
                os._exit(status)  # nothing of the main process's (its history, its files) is closed here
        theirs.close()
        channel = _Channel[ToWorker, FromWorker](ours)
        return _Worker(pid, channel, _Outbox(channel))

    # ---- the main process's side

    def update(self, resolved: Resolved, settings: Settings, view: Tracker, jobs: int, stop: threading.Event,
               interrupted: Interrupted, cancel: Token | None = None, shared: SharedSite | None = None,
               between: Callable[[], object] | None = None) -> list[Outcome]:
        """Updates every device of `resolved` on the workers, `jobs` at a time, as
        runner.update_devices does in one process; `interrupted(again)` is told of each Ctrl-C,
        between() is called in this process as each device ends (see runner.for_each_device)."""
        portable = dataclasses.replace(settings, history=None, gate=None, lock_folder=-1)  # each worker opens its own
        self._lost_result = None
        outcomes = self._each(("settings", portable, settings.history is not None, settings.gate is not None),
                              resolved, jobs, stop, interrupted, view, settings.history, settings.gate, cancel, shared,
                              between)
        return cast(list[Outcome], outcomes)  # what the workers' Jobs, or _lost(), ended them with

    def map(self, resolved: Resolved, work: Work[T], lost: Callable[[Target, str], T], jobs: int,
            stop: threading.Event, interrupted: Interrupted | None = None) -> list[T]:
        """work(target, addresses, folder=..., stop=...) for every device of `resolved` on the
        workers, `jobs` at a time, as runner.for_each_device does in one process: `work` is a
        picklable callable (a module's function, or a functools.partial of one) that takes the
        device's lock in `folder` and looks at `stop` between its exchanges; its result must pickle.
        lost(target, message) is the result of a device whose worker ended before it did."""
        self._lost_result = lost
        found = self._each(("work", work), resolved, jobs, stop, interrupted, None, None, None)
        return cast(list[T], found)  # what `work` or `lost` returned

    def _each(self, first: ToWorker, resolved: Resolved, jobs: int, stop: threading.Event,
              interrupted: Interrupted | None, view: Tracker | None, history: History | None, gate: Holds | None,
              cancel: Token | None = None, shared: SharedSite | None = None,
              between: Callable[[], object] | None = None) -> list[object]:
        from orbisk_tools.engine.runner import for_each_device

        self._view, self._history, self._gate, self._stop = view, history, gate, stop
        self._lock = threading.Lock()
        self._ended = {}  # key -> the device it stands for
        self._keys = itertools.count()
        for worker in self.workers:
            if worker.reader is not None:
                raise RuntimeError("a Pool runs one update or one pass")
            worker.outbox.send(first)
            worker.reader = threading.Thread(target=self._read, args=(worker,), name="worker-reader", daemon=True)
            worker.reader.start()
        hurried: list[threading.Timer] = []

        def told(again: bool, signum: int = signal.SIGINT) -> None:
            if interrupted is not None:
                interrupted(again, signum)
            for worker in self.workers:
                worker.outbox.send(("interrupt", again, getattr(stop, "cause", None)))
                if signum == signal.SIGTERM and not again:  # not waited out: as a second Ctrl-C
                    worker.outbox.send(("interrupt", True, getattr(stop, "cause", None)))
            if (again or signum == signal.SIGTERM) and not hurried:  # the workers get STOP_SECONDS to end
                hurried.append(threading.Timer(STOP_SECONDS, self._kill_stragglers))
                hurried[0].daemon = True
                hurried[0].start()

        cancelled: list[bool] = []

        def watch() -> None:  # a cancel, or an interrupt of the view's, reaches the workers' updates too
            while not self._done.wait(0.05):
                if stop.is_set() and not cancelled:
                    cancelled.append(True)
                    for worker in self.workers:
                        worker.outbox.send(("interrupt", False, getattr(stop, "cause", None)))

        self._done = threading.Event()
        threading.Thread(target=watch, name="worker-stop", daemon=True).start()
        try:
            return for_each_device(resolved, self._run, jobs, stop, told, cancel, shared, between)
        finally:
            self._done.set()
            for timer in hurried:
                timer.cancel()

    def _kill_stragglers(self) -> None:
        """Kills each worker that still has devices to end: their records end them."""
        with self._lock:
            stragglers = [worker for worker in self.workers if worker.keys and not worker.lost]
            for worker in stragglers:
                worker.killed = True
        for worker in stragglers:
            with contextlib.suppress(OSError):
                os.kill(worker.pid, signal.SIGKILL)

    def _run(self, target: Target, addresses: list[str] | DeviceFailure) -> object:
        ended = _Pending(target)
        with self._lock:
            key = next(self._keys)
            self._ended[key] = ended
            alive = [worker for worker in self.workers if not worker.lost]
            if not alive:
                del self._ended[key]
                if self._lost_result is not None:
                    return self._lost_result(target, "every worker process ended unexpectedly; run the command again")
                return Outcome(target.label, Result.NOT_STARTED, "not started: every worker process of the update "
                               "ended unexpectedly; run the update again", reason=Reason.NOT_STARTED)
            worker = min(alive, key=lambda worker: worker.running)
            worker.running += 1
            worker.keys.add(key)
        stopped = self._stop.is_set() and (getattr(self._stop, "cause", None) or "interrupt")
        worker.outbox.send(("run", key, target, addresses, stopped))
        ended.done.wait()
        return ended.result

    def _read(self, worker: _Worker) -> None:
        """What `worker` sends, until its link closes."""
        subjects: dict[str, object] = {"view": self._view, "history": self._history, "gate": self._gate}
        while True:
            try:
                message = worker.channel.receive()
            except (EOFError, OSError, pickle.UnpicklingError):
                break
            try:
                self._take(worker, message, subjects)
            except Exception:  # a fault of the tools: said, and the other messages still taken
                logger.exception("A message of the worker process %d could not be taken", worker.pid)
        self._lost(worker)

    def _take(self, worker: _Worker, message: FromWorker, subjects: dict[str, object]) -> None:
        if message[0] == "progress":
            assert self._view is not None  # an update's
            for report in message[1]:
                self._view.progress(*report)
        elif message[0] == "tell":
            _, subject, method, arguments, keywords = message
            getattr(subjects[subject], method)(*arguments, **keywords)
        elif message[0] == "call":
            _, number, subject, method, arguments, keywords = message
            if subject == "gate":  # may wait for the waves before: not in this thread
                assert self._gate is not None  # only an update with a gate calls it
                threading.Thread(target=self._answer, daemon=True,
                                 args=(worker, number, self._gate.refusal, (*arguments, self._stop), {})).start()
            else:
                self._answer(worker, number, getattr(subjects[subject], method), arguments, keywords)
        elif message[0] == "output":
            stream = sys.stdout if message[1] == "stdout" else sys.stderr
            with contextlib.suppress(Exception):  # output that died only stops the drawing
                stream.write(message[2])
                stream.flush()
        elif message[0] == "outcome":
            _, key, outcome = message
            if isinstance(outcome, BaseException) and self._lost_result is not None:  # a fault of the tools
                with self._lock:
                    target = self._ended[key].target
                outcome = self._lost_result(target, f"it could not be asked: {outcome}")
            self._end(worker, key, outcome)

    def _answer(self, worker: _Worker, number: int, function: Callable[..., object], arguments: tuple[object, ...],
                keywords: dict[str, object]) -> None:
        reply: Reply
        try:
            reply = (True, function(*arguments, **keywords))
            if function.__name__ == "start_attempt":
                worker.open_attempts[cast(int, reply[1])] = cast(str, arguments[1])  # its row: its address
            elif function.__name__ == "finish_attempt":
                worker.open_attempts.pop(cast(int, arguments[0]), None)  # its row
            elif function.__name__ == "lock_device" and reply[1] is None:
                worker.team_locks.append(cast(str, arguments[0]))
            elif function.__name__ == "unlock_device" and arguments[0] in worker.team_locks:
                worker.team_locks.remove(arguments[0])
        except BaseException as error:  # raised in the worker's thread that called
            reply = (False, error)
        worker.outbox.send(("reply", number, reply))

    def _end(self, worker: _Worker, key: int, outcome: object) -> None:
        with self._lock:
            ended = self._ended.pop(key, None)
            worker.running -= 1
            worker.keys.discard(key)
        if ended is not None:
            ended.result = outcome
            ended.done.set()

    def _lost(self, worker: _Worker) -> None:
        """A worker that ended before its devices did (killed, or its link broken): each of them
        failed, as far as this process can tell, with the phase and the state its record last
        knew, and its history row says so."""
        from orbisk_tools.engine.advice import say

        with self._lock:
            worker.lost = True
            keys, worker.keys = list(worker.keys), set()
            attempts, worker.open_attempts = dict(worker.open_attempts), {}
            team_locks, worker.team_locks = worker.team_locks, []
        for name in team_locks:  # the devices it was updating are free for the team again
            if self._history is not None:  # only a history takes them
                with contextlib.suppress(Exception):
                    self._history.unlock_device(name)
        how = "did not stop, and was killed" if worker.killed else "ended unexpectedly"
        if self._lost_result is not None:
            message = f"the worker process {worker.pid} that asked it {how}; run the command again"
            for key in keys:
                with self._lock:
                    ended = self._ended.get(key)
                if ended is not None:
                    self._end(worker, key, self._lost_result(ended.target, message))
            return
        assert self._view is not None  # an update's
        message = say(Reason.WORKER_ENDED, pid=worker.pid, how=how)
        for attempt, address in attempts.items():
            assert self._history is not None  # only a history has rows
            outcome = self._view.ended_without_telling(address, message)
            with contextlib.suppress(Exception):
                self._history.finish_attempt(attempt, Result.FAILED, reason=outcome.reason, message=outcome.message,
                                             device_state=outcome.device_state, phase=outcome.phase,
                                             bytes_written=outcome.bytes_written, window=outcome.window or None)
        for key in keys:
            with self._lock:
                ended = self._ended.get(key)
            if ended is None:
                continue
            outcome = self._view.ended_without_telling(ended.target.label, message)
            outcome.details = {"pid": worker.pid, "killed": worker.killed}
            with contextlib.suppress(Exception):
                self._view.finished(outcome, outcome.phase)
                if self._gate is not None:
                    self._gate.finished(outcome)
            self._end(worker, key, outcome)


