"""Checked by mypy --strict in .ci/types, never run: what a typed script sees of the engine's API,
through the names that orbisk_tools exports. Each `type: ignore` marks a call that must be an
error (--strict warns of one that is not needed)."""

import asyncio
import collections
import datetime
import pathlib
import threading
from typing import assert_type

from orbisk.VornCommService import _TCPConn
from orbisk.VornFpga import FpgaTool
from orbisk_tools import (DEVICE_TYPES, Attempt, DeviceFacts, DeviceResult, DeviceState, DeviceStatus, DeviceType,
                          History, ImageFacts, ImageRefused, OrbiskError, PackError, Phase, ProbedConnection, Reason,
                          Result, Runs, SiteResult, UpdateError, UpdateInterrupted, probe_pipeline_depth, status_of,
                          update_device, update_device_async, update_site, verify_device, write_signed_image)


def on_progress(address: str, stage: str, current: int, total: int) -> None:
    print(address, stage, current, total)


def update(address: str, image: pathlib.Path, history: pathlib.Path) -> Reason | None:
    cancel = threading.Event()
    try:
        result = update_device(address, image, progress=on_progress, history=history, cancel=cancel,
                               trust_keys=[pathlib.Path("vendor.pub")], window=64)
    except UpdateError as error:
        assert_type(error.outcome, DeviceResult)
        assert_type(error.reason, Reason | None)
        return error.outcome.reason
    except ImageRefused as refused:
        assert_type(refused.reason, Reason)
        return refused.reason
    except UpdateInterrupted as interrupted:
        assert_type(interrupted.result, DeviceResult | SiteResult)
        raise
    except OrbiskError as error:  # KeyRefused, LockFolderRefused, HistoryUnavailable
        assert_type(error.reason, str | None)
        raise
    assert_type(result, DeviceResult)
    assert_type(result.result, Result)
    assert_type(result.reason, Reason | None)
    assert_type(result.phase, Phase | None)
    assert_type(result.device_state, DeviceState)
    assert_type(result.runs, Runs | None)
    update_device(address, image, window="all")  # type: ignore[arg-type]
    update_device(address, image, progress=lambda stage: None)  # type: ignore[arg-type, misc]
    update_device(address, b"fw.bin")  # type: ignore[arg-type]
    return result.reason


def site(addresses: list[str], image: str) -> None:
    result = update_site(addresses, image, jobs=16, waves=[1, "10%", "100%"], max_failures=3)
    assert_type(result, SiteResult)
    assert_type(result.counts, collections.Counter[Result])
    assert_type(result.devices, tuple[DeviceResult, ...])
    update_site(addresses, image, waves=0.5)  # type: ignore[arg-type]
    assert_type(verify_device(addresses[0], image).result, Result)
    for status in status_of(addresses, history="history.sqlite3", image=image):
        assert_type(status, DeviceStatus)
        assert_type(status.reported, DeviceFacts | None)
        assert_type(status.last_attempt, Attempt | None)
        assert_type(status.reason, Reason | None)
        assert_type(status.image_result, Result | None)


async def from_asyncio(address: str, image: str) -> DeviceResult:
    async with asyncio.timeout(600):
        return await update_device_async(address, image, cancel=threading.Event())


def history(path: pathlib.Path) -> None:
    with History.open(path) as records:
        assert_type(records, History)
        for attempt in records.attempts(since=datetime.datetime(2026, 1, 1), limit=10):
            assert_type(attempt, Attempt)
            assert_type(attempt.reason, str | None)
        assert_type(records.last_change(serial="VORN-005025"), Attempt | None)
        facts = ImageFacts(str(path), "0" * 64, 1000, None)
        assert_type(records.start_attempt("run", "192.168.1.20:5025", facts, device_type=32), int)


def probe(address: str, connection: _TCPConn) -> None:
    with FpgaTool(address=address) as tool:
        tool.pipeline_depth = probe_pipeline_depth(tool)
    assert_type(probe_pipeline_depth(connection, timeout=0.2), int)
    lent: ProbedConnection = connection
    probe_pipeline_depth(lent)
    probe_pipeline_depth(address)  # type: ignore[arg-type]


def sign(raw: pathlib.Path) -> None:
    try:
        write_signed_image(raw, raw.with_suffix(".tbin"), [28, 32], extra={"version": "1.4.0.0"})
    except PackError as refused:
        print(refused)
    write_signed_image(raw, "fpga.tbin", "32")  # type: ignore[arg-type]
    assert_type(DEVICE_TYPES[32], DeviceType)
