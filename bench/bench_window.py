"""Commands in flight: the update of a 4 MiB signed image through the device emulator, run in a
process of its own, over a real TCP socket on 127.0.0.1 with _TCPConn, as orbisk-fpga update runs
it (orbisk_tools.engine, in this process): with no --window (the window learnt from the link, the
probe included in the time) and at windows 1 to 1024, with the emulator's link latency at 0, 1 and
5 ms. Prints seconds and MiB/s per cell, each one's speed-up over window 1, how the update with no
--window compares with the best fixed window and the targets, and where the time goes at the best
window without added latency. Run with `python bench/bench_window.py`.

A cell that would take longer than --cell-limit seconds (depth 1 over a slow link takes minutes
to hours) is measured on the first --sample-kib of the image and scaled to the whole image: at a
fixed depth and latency an update's time grows with its number of blocks. Such cells are marked
with "~". --cell-limit 0 measures every cell whole.
"""

import argparse
import contextlib
import json
import logging
import os
import sys
import tempfile
import time

import bench_update
from bench_update import MiB, TimedConnection, cpu_seconds, machine, timing_overhead
from orbisk_tools.formats.signed_image import pack

DEPTHS = (1, 8, 32, 128, 512, 1024)
AUTO = "auto"
REPEAT_BELOW = 10.0  # seconds
LATENCIES = (0.0, 0.001, 0.005)


def emulator_process(latency):
    return bench_update.emulator_process("--latency", str(latency))


def update(port, path, depth, wrap=lambda connection: connection):
    """Seconds of one processFpgaUpdate at this depth, on a connection of its own."""
    from orbisk.VornCommService import _TCPConn
    from orbisk.VornFpga import FpgaTool

    connection = _TCPConn("127.0.0.1", port, timeout=30.0)
    assert connection.initConnection()
    try:
        tool = FpgaTool(wrap(connection))
        tool.pipeline_depth = depth
        with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
            start = time.perf_counter()
            result = tool.processFpgaUpdate(path, 32)
            seconds = time.perf_counter() - start
        assert result.RetData["success"], result
        return seconds
    finally:
        connection.closeConnection()


class NoView:
    def phase(self, address, phase):
        pass

    def progress(self, address, stage, current, total):
        pass

    def finished(self, outcome, phase):
        pass

    def note(self, text):
        pass


def fleet_update(port, path, window):
    """(seconds, window used) of one update as orbisk-fpga update --window WINDOW runs it; None: no --window."""
    import orbisk.VornFpga  # noqa: F401 (its log handler is made for the real standard output)
    from orbisk_tools.engine import job, locks, runner, targets

    folder = locks.open_lock_folder()
    try:
        settings = job.Settings(path, 32, 30.0, window, folder)
        with contextlib.redirect_stdout(None):  # as orbisk-fpga silences the module's progress line
            start = time.perf_counter()
            outcomes, _ = runner.update_devices({targets.Target("127.0.0.1", port): ["127.0.0.1"]}, settings, NoView(), 1)
            seconds = time.perf_counter() - start
    finally:
        os.close(folder)
    assert outcomes[0].result == "updated", outcomes[0].message
    return seconds, outcomes[0].window


def quickest(port, path, window):
    """fleet_update, once more when it took less than REPEAT_BELOW seconds: the quicker of the two, as
    other work on the machine only ever slows an update down."""
    first = fleet_update(port, path, window)
    return min(first, fleet_update(port, path, window)) if first[0] < REPEAT_BELOW else first


def signed_image(workdir, name, size):
    path = os.path.join(workdir, name)
    with open(path, "wb") as f:
        f.write(pack(os.urandom(size), 32))
    return path


def measure_cells(workdir, size, sample, cell_limit):
    whole = signed_image(workdir, "whole.tbin", size)
    part = signed_image(workdir, "part.tbin", sample)
    cells = {}
    for latency in LATENCIES:
        with emulator_process(latency) as (_, port):
            fleet_update(port, whole, DEPTHS[-1])  # a new emulator's first update is slower
            seconds, window = quickest(port, whole, None)
            cells[latency, AUTO] = {"seconds": seconds, "scaled": False, "window": window}
            for depth in DEPTHS:
                estimate = fleet_update(port, part, depth)[0] * size / sample
                if cell_limit and estimate > cell_limit:
                    cells[latency, depth] = {"seconds": estimate, "scaled": True, "window": depth}
                else:
                    cells[latency, depth] = {"seconds": quickest(port, whole, depth)[0], "scaled": False,
                                             "window": depth}
            for depth in (AUTO, *DEPTHS):
                cell = cells[latency, depth]
                cell["mib_per_second"] = size / MiB / cell["seconds"]
                print(f"  latency {latency * 1000:g} ms, window {depth} ({cell['window']}): "
                      f"{'~' if cell['scaled'] else ''}{cell['seconds']:.2f} s", file=sys.stderr, flush=True)
    return cells


def best_fixed(cells, latency):
    return min(DEPTHS, key=lambda depth: cells[latency, depth]["seconds"])


def where_the_time_goes(workdir, size, depth):
    """Shares of one update's time at `depth`, without added latency: inside the module (all
    outside the connection's calls), in the connection's own Python code, waiting for the
    emulator; and how busy the emulator's process was."""
    path = signed_image(workdir, "timed.tbin", size)
    with emulator_process(0.0) as (process, port):
        timed = None

        def wrap(connection):
            nonlocal timed
            timed = TimedConnection(connection)
            return timed

        emulator_cpu, cpu = cpu_seconds(process.pid), time.process_time()
        wall = update(port, path, depth, wrap)
        cpu, emulator_cpu = time.process_time() - cpu, cpu_seconds(process.pid) - emulator_cpu
    timing = timed.calls * timing_overhead()
    wall -= timing
    module = wall - timed.seconds
    connection_code = cpu - timing - module
    return {"depth": depth, "seconds": wall, "share_module": module / wall,
            "share_connection_code": connection_code / wall,
            "share_waiting": (timed.seconds - connection_code) / wall, "emulator_cpu_share": emulator_cpu / wall}


def print_table(cells, size):
    print(f"orbisk-fpga update, {size / MiB:g} MiB signed image, through the emulator over TCP "
          "(seconds, MiB/s, speed-up over window 1; ~ scaled from a part of the image):")
    print(f"{'latency':>9} | " + " | ".join(f"{'window ' + str(depth):<32}" for depth in (AUTO, *DEPTHS)))
    for latency in LATENCIES:
        row = []
        for depth in (AUTO, *DEPTHS):
            cell = cells[latency, depth]
            speed_up = cells[latency, 1]["seconds"] / cell["seconds"]
            seconds = f"{'~' if cell['scaled'] else ''}{cell['seconds']:.2f} s"
            row.append(f"{seconds:>10} {cell['mib_per_second']:7.3f} MiB/s x{speed_up:<5.1f}")
        print(f"{latency * 1000:>6g} ms | " + " | ".join(row))
    print("With no --window:")
    for latency in LATENCIES:
        auto, best = cells[latency, AUTO], best_fixed(cells, latency)
        print(f"  latency {latency * 1000:g} ms: window {auto['window']}, {auto['seconds']:.2f} s; "
              f"{cells[latency, 1]['seconds'] / auto['seconds']:.1f} times faster than window 1, "
              f"{auto['seconds'] / cells[latency, best]['seconds']:.2f} times the best fixed window ({best})")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size-mib", type=float, default=4)
    parser.add_argument("--sample-kib", type=int, default=16)
    parser.add_argument("--cell-limit", type=float, default=120, metavar="SECONDS")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE as JSON")
    args = parser.parse_args()
    logging.getLogger("FPGA").setLevel(logging.WARNING)
    size = int(args.size_mib * MiB)
    with tempfile.TemporaryDirectory() as workdir:
        cells = measure_cells(workdir, size, args.sample_kib * 1024, args.cell_limit)
        print_table(cells, size)
        best = best_fixed(cells, 0.0)
        shares = where_the_time_goes(workdir, size, best)
    print(f"Where the time goes at depth {best} without added latency ({shares['seconds']:.2f} s): inside the "
          f"module {shares['share_module']:.1%}, in the connection's code {shares['share_connection_code']:.1%}, "
          f"waiting for the emulator {shares['share_waiting']:.1%} (the emulator's process busy for "
          f"{shares['emulator_cpu_share']:.1%})")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"machine": machine(), "image_mib": size / MiB, "where_the_time_goes": shares,
                       "cells": [{"latency": latency, "column": depth, **cell}
                                 for (latency, depth), cell in cells.items()]}, out, indent=2)


if __name__ == "__main__":
    main()
