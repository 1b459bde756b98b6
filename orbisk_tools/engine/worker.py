"""The worker process's side of a site's update over worker processes (see workers): it takes
the devices to update from the main process, runs their Jobs in threads, and sends what they tell
the display, the history and the rollout gate to the main process over its end of a socket pair;
the messages of both sides, and the channel they go through. A worker ignores Ctrl-C and SIGTERM,
which the main process passes on as the one interrupt it counted; a worker whose main process is
gone stops its updates after their current exchange, as after Ctrl-C."""

from __future__ import annotations

import contextlib
import dataclasses
import itertools
import logging
import pickle
import signal
import socket
import sys
import threading
from collections.abc import Callable
from multiprocessing.connection import Connection
from typing import TYPE_CHECKING, Any, Generic, Literal, TypeVar, Unpack, cast

from orbisk_tools.engine.advice import said
from orbisk_tools.engine.outcomes import DeviceFailure, Outcome, Phase, Reason, Result

if TYPE_CHECKING:
    from orbisk_tools.engine.inspection import Work
    from orbisk_tools.engine.job import Job
    from orbisk_tools.engine.settings import Settings
    from orbisk_tools.engine.targets import Target
    from orbisk_tools.engine.tracking import Reached
    from orbisk_tools.records.history import History

logger = logging.getLogger(__name__)

PROGRESS_SECONDS = 0.05  # how often a worker sends its devices' progress
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
        # Held from taking the progress kept to sending it and what follows it: two threads that
        # flush at once (the flusher and a device's message) would otherwise send out of order.
        self.sending = threading.Lock()
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
        with self.sending:
            self._send_progress()
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
        with self.sending:
            self._send_progress()

    def _send_progress(self) -> None:
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
