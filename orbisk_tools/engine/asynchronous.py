"""The engine's calls for asyncio: each runs in a thread of the event loop's default executor, and
cancelling the task that awaits it stops its devices after their current exchange."""

from __future__ import annotations

import asyncio
import functools
import threading
from collections.abc import Callable, Coroutine
from typing import Any, ParamSpec, TypeVar

from orbisk_tools.engine.api import CancelToken, update_device, update_site, verify_device
from orbisk_tools.engine.outcomes import UpdateError

P = ParamSpec("P")
R = TypeVar("R")


class _EitherToken:
    """The cancel token of an engine call from asyncio: set by the task's cancellation, or by the
    caller's own token."""

    def __init__(self, given: CancelToken | None):
        self._given, self._own = given, threading.Event()

    def is_set(self) -> bool:
        return self._own.is_set() or (self._given is not None and self._given.is_set())

    def set(self) -> None:
        self._own.set()


def _asynchronous(function: Callable[P, R]) -> Callable[P, Coroutine[Any, Any, R]]:
    """`function` (an engine call that takes `cancel`) as a coroutine function that runs it in a
    thread of the loop's default executor."""

    @functools.wraps(function)
    async def run(*args: P.args, **kwargs: P.kwargs) -> R:
        token = _EitherToken(kwargs.get("cancel"))  # type: ignore[arg-type]
        kwargs["cancel"] = token
        done = asyncio.get_running_loop().run_in_executor(None, functools.partial(function, *args, **kwargs))
        try:
            return await asyncio.shield(done)
        except asyncio.CancelledError as cancelled:
            token.set()  # every device stops after its current exchange; then the cancellation goes on
            try:
                cancelled.result = await done  # type: ignore[attr-defined]
            except UpdateError as error:
                cancelled.result = error.outcome  # type: ignore[attr-defined]
            raise

    run.__doc__ = (f"{function.__name__}() for asyncio: the same arguments, run in a thread of the loop's default "
                   "executor. Cancelling the task that awaits it stops every device after its current exchange "
                   "(as `cancel` does), waits for them to stop, then raises the asyncio.CancelledError, whose "
                   "`result` attribute holds what the call returned, or the UpdateError's outcome: under "
                   "asyncio.timeout(), that CancelledError is the TimeoutError's __cause__.")
    return run


update_device_async = _asynchronous(update_device)
update_site_async = _asynchronous(update_site)
verify_device_async = _asynchronous(verify_device)


