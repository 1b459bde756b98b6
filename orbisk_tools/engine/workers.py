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
from multiprocessing.connection import Connection
from types import TracebackType
from typing import TYPE_CHECKING, Any, Generic, Literal, Self, TypeVar, Unpack, cast

from orbisk_tools.engine.advice import said
from orbisk_tools.engine.outcomes import DeviceFailure, Outcome, Phase, Reason, Result

if TYPE_CHECKING:
    from orbisk_tools.engine.inspection import Work
    from orbisk_tools.engine.job import Job, Settings
    from orbisk_tools.engine.rollout import Holds
    from orbisk_tools.engine.runner import Interrupted
    from orbisk_tools.engine.stop import Token
    from orbisk_tools.engine.targets import Resolved, Target
    from orbisk_tools.engine.tracking import Reached, Tracker
    from orbisk_tools.records.history import History

logger = logging.getLogger(__name__)

DEVICES_PER_WORKER = 8  # fewer devices than this a worker are updated in the main process
PROGRESS_SECONDS = 0.05  # how often a worker sends its devices' progress
END_SECONDS = 10.0  # how long a worker may take to end once told to
STOP_SECONDS = 5.0  # after a second Ctrl-C or a SIGTERM, how long a worker may take to end its devices
ORPHANED = "the main process of the update is gone"

T = TypeVar("T")
Reply = tuple[bool, Any]  # (True, what a call by name returned) or (False, what it raised)
Report = tuple[str, str, int, int]  # (address, stage, current, total) of a progress report
# The messages, pickled: from the main process to a worker, ...
ToWorker = (tuple[Literal["settings"], "Settings", bool, bool] | tuple[Literal["work"], "Work[object]"]
            | tuple[Literal["run"], int, "Target", "list[str] | DeviceFailure", str | Literal[False]]
            | tuple[Literal["reply"], int, Reply] | tuple[Literal["interrupt"], bool, str | None]
            | tuple[Literal["end"]])
# ... and from a worker to the main process
FromWorker = (tuple[Literal["progress"], list[Report]]
              | tuple[Literal["tell"], str, str, tuple[object, ...], dict[str, object]]
              | tuple[Literal["call"], int, str, str, tuple[object, ...], dict[str, object]]
              | tuple[Literal["output"], str, str] | tuple[Literal["outcome"], int, object])
Sent = TypeVar("Sent")
Received = TypeVar("Received")


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


class _Channel(Generic[Sent, Received]):
    """Pickled messages over one end of a socket pair; sends from several threads, receives from one."""

    def __init__(self, sock: socket.socket):
        self._connection = Connection(sock.detach())
        self._lock = threading.Lock()

    def send(self, message: Sent) -> None:
        with self._lock:
            self._connection.send(message)

    def receive(self) -> Received:
        received: Received = self._connection.recv()  # what the other end sent
        return received

    def fileno(self) -> int:
        return self._connection.fileno()

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self._connection.close()


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
               interrupted: Interrupted, cancel: Token | None = None) -> list[Outcome]:
        """Updates every device of `resolved` on the workers, `jobs` at a time, as
        runner.update_devices does in one process; `interrupted(again)` is told of each Ctrl-C."""
        portable = dataclasses.replace(settings, history=None, gate=None, lock_folder=-1)  # each worker opens its own
        self._lost_result = None
        outcomes = self._each(("settings", portable, settings.history is not None, settings.gate is not None),
                              resolved, jobs, stop, interrupted, view, settings.history, settings.gate, cancel)
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
              cancel: Token | None = None) -> list[object]:
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
            return for_each_device(resolved, self._run, jobs, stop, told, cancel)
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


# ---- the worker's side ---------------------------------------------------------------------

def _serve(channel: _Channel[FromWorker, ToWorker]) -> None:
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_IGN)
    sys.setswitchinterval(0.05)
    sys.stdout, sys.stderr = _Forwarded(channel, "stdout"), _Forwarded(channel, "stderr")
    _Serving(channel).serve()


class _Forwarded:
    """sys.stdout or sys.stderr of a worker: what is written (its -v log lines) goes to the main process."""

    def __init__(self, channel: _Channel[FromWorker, ToWorker], name: str):
        self._channel, self._name = channel, name

    def write(self, text: str) -> int:
        with contextlib.suppress(OSError):
            self._channel.send(("output", self._name, str(text)))
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


@dataclasses.dataclass
class _Awaited:
    """A call of the main process's, until its reply comes (`done`)."""
    done: threading.Event = dataclasses.field(default_factory=threading.Event)
    reply: Reply = (False, None)


class _Serving:
    settings: Settings  # of an update
    folder: int  # the open lock folder
    view: _RemoteView

    def __init__(self, channel: _Channel[FromWorker, ToWorker]):
        from orbisk_tools.engine.stop import Stop

        self.channel = channel
        self.stop = Stop()
        self.jobs: dict[int, Job] = {}  # key -> the Job running
        self.threads: list[threading.Thread] = []
        self.replies: dict[int, _Awaited] = {}  # call number -> its reply, once it comes
        self.numbers = itertools.count()
        self.lock = threading.Lock()
        # address -> [((stage, tenth), (address, stage, current, total))] not yet sent
        self.progress: dict[str, list[tuple[tuple[str, int], Report]]] = {}
        self.orphaned = False  # the main process's link closed: no call can be answered any more
        self.ended = threading.Event()  # every device's update ended
        self.work: Work[object] | None = None  # what to do for each device, on a read-only pass; None: update it

    def serve(self) -> None:
        from orbisk_tools.engine import locks

        message = self.channel.receive()
        if message[0] not in ("settings", "work"):
            return
        with locks.lock_folder() as folder:
            self.folder = folder
            if message[0] == "work":
                self.work = message[1]
            elif message[0] == "settings":
                _, settings, has_history, has_gate = message
                # The main process's History, called by name: every method of it.
                history = cast("History", _Remote(self, "history")) if has_history else None
                self.settings = dataclasses.replace(settings, lock_folder=folder, history=history,
                                                    gate=_RemoteGate(self) if has_gate else None)
            self.view = _RemoteView(self)
            flusher = threading.Thread(target=self._flush_now_and_then, name="progress", daemon=True)
            flusher.start()
            self._take_messages()
            for thread in self.threads:
                thread.join()
            self.ended.set()
            flusher.join()
            self.flush()

    def _take_messages(self) -> None:
        from orbisk_tools.engine.runner import interrupt_jobs
        from orbisk_tools.engine.stop import Stop

        while True:
            try:
                message = self.channel.receive()
            except (EOFError, OSError, pickle.UnpicklingError):  # the main process is gone: stop as after Ctrl-C
                self.stop.stop(Stop.INTERRUPT)
                with self.lock:
                    self.orphaned = True
                    for waiting in self.replies.values():
                        waiting.reply = (False, ConnectionError(ORPHANED))
                        waiting.done.set()
                    self.replies.clear()
                return
            if message[0] == "run":
                _, key, target, addresses, stopped = message
                if stopped:
                    self.stop.stop(stopped)
                thread = threading.Thread(target=self._run, args=(key, target, addresses), name="device", daemon=True)
                self.threads.append(thread)
                thread.start()
            elif message[0] == "reply":
                _, number, reply = message
                with self.lock:
                    awaited = self.replies.pop(number, None)
                if awaited is not None:
                    awaited.reply = reply
                    awaited.done.set()
            elif message[0] == "interrupt":
                self.stop.stop(message[2] or Stop.INTERRUPT)
                with self.lock:
                    jobs = list(self.jobs.values())
                interrupt_jobs(jobs, message[1], self.view)
            elif message[0] == "end":
                return

    def _run(self, key: int, target: Target, addresses: list[str] | DeviceFailure) -> None:
        from orbisk_tools.engine.job import Job

        if self.work is not None:
            self._work(key, target, addresses)
            return
        job = Job(target, addresses, self.settings, self.view, self.stop)
        with self.lock:
            self.jobs[key] = job
        try:
            outcome = job.run()
        except BaseException as error:  # Job.run reports its own failures; this is a fault of the tools
            outcome = Outcome(target.label, Result.FAILED, f"the update failed: {type(error).__name__}: {said(error)}",
                              reason=Reason.ERROR)
        with self.lock:
            del self.jobs[key]
        outcome.error = _portable(outcome.error)
        self.send(("outcome", key, outcome))

    def _work(self, key: int, target: Target, addresses: list[str] | DeviceFailure) -> None:
        assert self.work is not None  # a pass's
        found: object
        try:
            found = self.work(target, addresses, folder=self.folder, stop=self.stop)
        except BaseException as error:  # the work reports its own failures; this is a fault of the tools
            found = RuntimeError(f"{type(error).__name__}: {said(error)}")
        if hasattr(found, "error"):
            setattr(found, "error", _portable(getattr(found, "error")))  # an Outcome's, say
        try:
            self.send(("outcome", key, found))
        except Exception as error:  # a result that does not pickle: a fault of the tools, said as one
            self.send(("outcome", key, RuntimeError(f"{type(error).__name__}: {said(error)}")))

    # ---- messages to the main process

    def send(self, message: FromWorker) -> None:
        """Sends `message` after the progress it follows."""
        self.flush()
        with contextlib.suppress(OSError):
            self.channel.send(message)

    def tell(self, subject: str, method: str, *arguments: object, **keywords: object) -> None:
        """A call of the main process's `subject` ("view", "gate") that needs no answer. An Outcome
        goes without its error: only the outcome message that ends the device carries one."""
        errors = [(argument, argument.error) for argument in arguments if isinstance(argument, Outcome)]
        for outcome, _ in errors:
            outcome.error = None
        try:
            self.send(("tell", subject, method, arguments, keywords))
        finally:
            for outcome, error in errors:
                outcome.error = error

    def flush(self) -> None:
        with self.lock:
            reports = [report for kept in self.progress.values() for _, report in kept]
            self.progress = {}
        if reports:
            with contextlib.suppress(OSError):
                self.channel.send(("progress", reports))

    def _flush_now_and_then(self) -> None:
        while not self.ended.wait(PROGRESS_SECONDS):
            self.flush()

    def call(self, subject: str, method: str, arguments: tuple[object, ...], keywords: dict[str, object]) -> object:
        waiting = _Awaited()
        with self.lock:
            if self.orphaned:  # else it would wait for ever
                raise ConnectionError(ORPHANED)
            number = next(self.numbers)
            self.replies[number] = waiting
        self.send(("call", number, subject, method, arguments, keywords))
        waiting.done.wait()
        ok, value = waiting.reply
        if not ok:
            raise value
        return value


def _portable(error: BaseException | None) -> BaseException | None:
    """`error` if it survives pickling, else a RuntimeError that says what it was."""
    if error is None:
        return None
    try:
        pickle.loads(pickle.dumps(error))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {said(error)}")


class _RemoteView:
    """The main process's display, as a Job in a worker tells it."""

    def __init__(self, serving: _Serving):
        self._serving = serving

    def progress(self, address: str, stage: str, current: int, total: int) -> None:
        """Kept to be sent with the next batch: of the reports of one phase and tenth, the first and
        the last, so that a view that marks each tenth (the plain view) still sees where it began."""
        step = (stage, current * 10 // total if total else 10)
        with self._serving.lock:
            reports = self._serving.progress.setdefault(address, [])
            if len(reports) > 1 and reports[-1][0] == reports[-2][0] == step:
                reports[-1] = (step, (address, stage, current, total))
            else:
                reports.append((step, (address, stage, current, total)))

    def phase(self, address: str, phase: Phase) -> None:
        self._serving.tell("view", "phase", address, phase)

    def note(self, text: str) -> None:
        self._serving.tell("view", "note", text)

    def finished(self, outcome: Outcome, phase: Phase | None) -> None:
        self._serving.tell("view", "finished", outcome, phase)

    def recorded(self, address: str, **fields: Unpack[Reached]) -> None:
        self._serving.tell("view", "recorded", address, **fields)

    def claim(self, address: str, serial: str) -> str | None:
        return cast("str | None", self._serving.call("view", "claim", (address, serial), {}))  # Tracker.claim's


class _RemoteGate:
    """The main process's rollout gate."""

    def __init__(self, serving: _Serving):
        self._serving = serving

    def refusal(self, address: str, stop: threading.Event) -> tuple[str, dict[str, Any]] | None:
        try:
            return cast("tuple[str, dict[str, Any]] | None", self._serving.call("gate", "refusal", (address,), {}))
        except ConnectionError:
            raise KeyboardInterrupt from None  # the main process is gone: nothing new starts

    def finished(self, outcome: Outcome) -> None:
        self._serving.tell("gate", "finished", outcome)


class _Remote:
    """The main process's update history: each call a round trip, its exceptions raised here."""

    def __init__(self, serving: _Serving, subject: str):
        self._serving, self._subject = serving, subject

    def __getattr__(self, method: str) -> Callable[..., Any]:  # the method's own result
        def call(*arguments: object, **keywords: object) -> object:
            from orbisk_tools.records.history import HistoryUnavailable

            try:
                return self._serving.call(self._subject, method, arguments, keywords)
            except ConnectionError as error:
                raise HistoryUnavailable(f"cannot record in the update history: {error}") from None
        return call
