"""How true a site's records stay when its run is cut short: site runs of 40 to 64 emulated devices
(`orbisk-fpga emulate --devices N --state DIR`, a slow write so that every moment of an update is
hit) are each cut at a random moment, in one of these ways: `kill -9` of the command, of one of its
worker processes, or of both; SIGSTOP of a worker, then two Ctrl-C; SIGTERM of the command; two
Ctrl-C. Each device's record in the history (its newest attempt) and in the --json result (when
one was written) is then compared with what the emulator kept in its state file.

A record is false when it claims more than the device shows: "loaded" for a device whose FPGA does
not run the image, or "untouched" for a device that was changed. "erased" or "written" for a device
that did load is not false (the load was not confirmed), and is counted apart.

Prints, per way of cutting, the runs, the records compared and those false; exits 1 if any is.
Run with `python bench/bench_crash_truth.py --runs 12` (about a minute a run at most).
"""

import argparse
import collections
import hashlib
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from orbisk_tools.devices import flash

COMMAND = [sys.executable, "-m", "orbisk_tools"]
WAYS = ("kill command", "kill a worker", "kill both workers", "stop a worker, two Ctrl-C", "SIGTERM", "two Ctrl-C")


def children(pid):
    try:
        return [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except FileNotFoundError:
        return []


def emulated(state, image):
    """What one emulated device shows in its state file: loaded, written, erased or untouched."""
    saved = flash.read_state(state)
    if saved.loaded is not None and saved.loaded.sha256 == hashlib.sha256(saved.memory).hexdigest():
        return "untouched" if saved.memory == flash.device_image() else "loaded"
    return "written" if saved.memory == image else "erased"


def false(claimed, shown):
    return (claimed == "loaded" and shown != "loaded") or (claimed == "untouched" and shown != "untouched")


def cut(way, update, rng):
    workers = children(update.pid)
    if way == "kill command":
        update.kill()
    elif way == "kill a worker" and workers:
        os.kill(rng.choice(workers), signal.SIGKILL)
    elif way == "kill both workers" and workers:
        for worker in workers:
            os.kill(worker, signal.SIGKILL)
    elif way == "stop a worker, two Ctrl-C" and workers:
        os.kill(rng.choice(workers), signal.SIGSTOP)
        update.send_signal(signal.SIGINT)
        time.sleep(0.5)
        update.send_signal(signal.SIGINT)
    elif way == "SIGTERM":
        update.terminate()
    else:
        update.send_signal(signal.SIGINT)
        time.sleep(0.5)
        update.send_signal(signal.SIGINT)
    return workers


def one_run(folder, way, rng):
    devices = rng.randint(40, 64)
    image = os.urandom(16384)
    paths = {name: os.path.join(folder, name) for name in ("fw.bin", "site.txt", "out.json", "history.sqlite3")}
    Path(paths["fw.bin"]).write_bytes(image)
    state = os.path.join(folder, "state")
    emulator = subprocess.Popen([*COMMAND, "emulate", "--devices", str(devices), "--port", "0", "--list",
                                 paths["site.txt"], "--state", state, "--write-rate", "20000"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    emulator.stdout.readline()
    update = subprocess.Popen([*COMMAND, "update", "--addresses", paths["site.txt"], "--jobs", "64", "--window", "1",
                               "--history", paths["history.sqlite3"], "--json", paths["out.json"], paths["fw.bin"]],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(rng.uniform(0.5, 4.0))
    workers = cut(way, update, rng)
    try:
        update.wait(60)
    except subprocess.TimeoutExpired:
        update.kill()
        update.wait()
    for worker in workers:  # a stopped worker the command left behind, or one that goes on alone
        try:
            os.kill(worker, signal.SIGCONT)
        except ProcessLookupError:
            pass
    deadline = time.monotonic() + 60
    while any(Path(f"/proc/{worker}").exists() for worker in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    emulator.send_signal(signal.SIGINT)
    emulator.wait(60)
    serials = [line.split("  # ")[1] for line in Path(paths["site.txt"]).read_text().splitlines()
               if not line.startswith("#")]
    shown = {serial: emulated(os.path.join(state, f"device-{number}.json"), image)
             for number, serial in enumerate(serials, 1)}
    claims = []
    with sqlite3.connect(paths["history.sqlite3"]) as history:
        for serial, claimed in history.execute("SELECT serial, device_state FROM attempts WHERE serial IS NOT NULL "
                                               "ORDER BY id"):
            claims.append(("history", serial, claimed))
    if os.path.exists(paths["out.json"]):
        for device in json.loads(Path(paths["out.json"]).read_text())["devices"]:
            if device["serial"]:
                claims.append(("json", device["serial"], device["device_state"]))
    return [(where, claimed, shown[serial]) for where, serial, claimed in claims]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=12)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    totals = collections.defaultdict(collections.Counter)
    for run in range(args.runs):
        way = WAYS[run % len(WAYS)]
        with tempfile.TemporaryDirectory() as folder:
            for where, claimed, shown in one_run(folder, way, rng):
                counted = totals[way]
                counted[f"{where} records"] += 1
                counted[f"{where} false"] += false(claimed, shown)
                counted[f"{where} not confirmed"] += claimed in ("erased", "written") and shown == "loaded"
        totals[way]["runs"] += 1
    print(f"{'cut':<28} {'runs':>5} {'history rows':>13} {'false':>6} {'JSON entries':>13} {'false':>6} "
          f"{'loaded, not confirmed':>22}")
    for way, counted in totals.items():
        print(f"{way:<28} {counted['runs']:>5} {counted['history records']:>13} {counted['history false']:>6} "
              f"{counted['json records']:>13} {counted['json false']:>6} "
              f"{counted['history not confirmed'] + counted['json not confirmed']:>22}")
    wrong = sum(counted["history false"] + counted["json false"] for counted in totals.values())
    print(f"false records: {wrong}")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
