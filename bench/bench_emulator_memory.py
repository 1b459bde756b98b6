"""Memory of a site of emulated devices against the flash it models: one `orbisk-fpga emulate
--devices N` process, each of whose N devices is then updated with the same raw image of random
bytes (4 MiB by default) through `orbisk-fpga update --addresses LIST --no-history --jobs 64`, as
a field engineer rehearses a site. Prints, for each site size, the emulator process's resident
memory when it listens (its devices holding their small first image) and its peak (VmHWM of
/proc/PID/status) once every device holds the image, against devices x image size.

The updates go through the command line, not straight through the emulator's protocol: the
devices then take their memory the way they do in use (a window of block writes at a time,
several devices at once, then the read-back), and the benchmark measures the emulator that a
site rehearsal runs. Every device takes about a second of CPU for 4 MiB on this path, so a site
of 1,000 is too long to wait for; the benchmark measures two smaller sites instead (50 and 200
by default) and extrapolates: the difference of their peaks over the difference of their devices
is what one more device costs (the image it holds plus its overhead: its connection, its
listening socket, its Python objects, what the allocator keeps around its memory), and the
smaller site's peak less its devices at that cost is what the process takes whatever its size
(the interpreter and its modules). 1,000 devices then take that fixed part plus 1,000 times the
cost of one, to be held against 1.25 x the flash it models: 1.25 x 1,000 x 4 MiB.

    python bench/bench_emulator_memory.py                     # about a minute
    python bench/bench_emulator_memory.py --sites 20 100 --size-mib 4 --json memory.json
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

from bench_update import interrupt, machine

MiB = 1024 * 1024
COMMAND = [sys.executable, "-m", "orbisk_tools"]
TARGET = 1.25  # the emulator's memory at most this many times the flash it models


def memory_of(pid):
    """(resident, peak resident) bytes of the running process `pid`, from /proc."""
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(value.split()[0]) * 1024
    return fields["VmRSS"], fields["VmHWM"]


def measure(devices, image, folder):
    """The emulator's (resident when it listens, peak once every device holds `image`) for a
    site of `devices`, and the update's wall time."""
    listing = os.path.join(folder, f"site-{devices}.txt")
    emulator = subprocess.Popen([*COMMAND, "emulate", "--devices", str(devices), "--port", "0", "--list", listing],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        banner = emulator.stdout.readline()
        if not banner.startswith("Device emulator"):
            raise SystemExit(f"the emulator did not start: {banner!r}")
        listening, _ = memory_of(emulator.pid)
        out = os.path.join(folder, "out.txt")
        start = time.monotonic()
        with open(out, "w") as shown:
            update = subprocess.run([*COMMAND, "update", "--addresses", listing, "--no-history", "--jobs", "64",
                                     image], stdout=shown, stderr=subprocess.STDOUT)
        wall = time.monotonic() - start
        if update.returncode != 0:
            with open(out) as shown:
                raise SystemExit(f"the update of {devices} devices failed:\n{shown.read()[-2000:]}")
        _, peak = memory_of(emulator.pid)
    finally:
        interrupt(emulator, timeout=60)
    return listening, peak, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sites", type=int, nargs=2, default=[50, 200], metavar=("SMALL", "LARGE"),
                        help="the devices of the two sites measured (default 50 200)")
    parser.add_argument("--size-mib", type=float, default=4, help="the image's size in MiB (default 4)")
    parser.add_argument("--extrapolate-to", type=int, default=1000, metavar="N", help="devices (default 1000)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE as JSON")
    args = parser.parse_args()
    size = int(args.size_mib * MiB)
    result = {"machine": machine(), "image_size": size, "sites": []}
    print(f"{'devices':>8} {'flash modelled':>15} {'listening':>10} {'peak':>10} {'peak / flash':>13} {'update':>8}")
    with tempfile.TemporaryDirectory() as folder:
        image = os.path.join(folder, "image.bin")
        with open(image, "wb") as file:
            file.write(os.urandom(size))
        for devices in args.sites:
            listening, peak, wall = measure(devices, image, folder)
            flash = devices * size
            result["sites"].append({"devices": devices, "flash": flash, "listening_rss": listening, "peak_rss": peak,
                                    "update_wall_s": wall})
            print(f"{devices:>8} {flash / MiB:>11.0f} MiB {listening / MiB:>6.1f} MiB {peak / MiB:>6.0f} MiB "
                  f"{peak / flash:>13.3f} {wall:>7.1f}s", flush=True)
    small, large = result["sites"]
    per_device = (large["peak_rss"] - small["peak_rss"]) / (large["devices"] - small["devices"])
    fixed = small["peak_rss"] - small["devices"] * per_device
    count = args.extrapolate_to
    total = fixed + count * per_device
    limit = TARGET * count * size
    result["extrapolated"] = {"devices": count, "per_device": per_device, "overhead_per_device": per_device - size,
                              "fixed": fixed, "peak_rss": total, "target": limit}
    print(f"one device more: {per_device / MiB:.3f} MiB, {(per_device - size) / 1024:.0f} KiB over its image; "
          f"the process whatever its size: {fixed / MiB:.1f} MiB")
    print(f"{count} x {args.size_mib:g} MiB, extrapolated: {total / MiB:.0f} MiB = {total / (count * size):.3f} x "
          f"the flash it models (target: at most {TARGET} x = {limit / MiB:.0f} MiB)")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(result, file, indent=2)


if __name__ == "__main__":
    main()
