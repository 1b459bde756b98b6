"""A site updated end to end through `orbisk-fpga update`, against one `orbisk-fpga emulate
--devices N` process (every device at 1 ms latency, on 127.0.0.1): 1,000 devices x 16 KiB,
32 and 64 devices x 1 MiB, and 8 devices x 4 MiB, each image a raw one of random bytes, with
--jobs as large as the site (at most 1,000) and no history. Prints, per case, the wall time, the
command line's CPU time (user + system, its worker processes included, from os.wait4 on it
alone), its CPU per device-MiB and CPU/wall (above 1: more than one core), and the emulator's
CPU; then `orbisk-fpga verify` of the same site, whose CPU per device-MiB (a read-back alone)
should be at most the update's read-back's, taken as half the update's (a write and a
read-back cost alike); then the extrapolation to 1,000 devices x 4 MiB. Run with `python bench/bench_site.py`
(about two minutes); --json FILE writes the figures, --plot PNG draws them (matplotlib).

The extrapolation: the command line's CPU for a site is its CPU per device for everything but
the image (from the 1,000 x 16 KiB case, less that case's image at the 64 x 1 MiB case's CPU per
device-MiB) times the devices, plus its CPU per device-MiB times the site's MiB; its wall time is
at least that CPU over the machine's cores, and at least the time one device takes at 1 ms (the
8 x 4 MiB case) times the devices over --jobs.
"""

import argparse
import contextlib
import json
import os
import subprocess
import sys
import tempfile
import time

from bench_update import interrupt, machine

MiB = 1024 * 1024
KiB = 1024
CASES = ((1000, 16 * KiB), (32, MiB), (64, MiB), (8, 4 * MiB))
LATENCY = 0.001
COMMAND = [sys.executable, "-m", "orbisk_tools"]


@contextlib.contextmanager
def emulated_site(devices, folder):
    """`orbisk-fpga emulate --devices N` in a process of its own; yields (its address list, its process)."""
    listing = os.path.join(folder, f"site-{devices}.txt")
    process = subprocess.Popen([*COMMAND, "emulate", "--devices", str(devices), "--port", "0", "--latency",
                                str(LATENCY), "--list", listing], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    try:
        banner = process.stdout.readline()
        if not banner.startswith("Device emulator"):
            raise SystemExit(f"the emulator did not start: {banner!r}")
        yield listing, process
    finally:
        interrupt(process, timeout=30)


def cpu(usage):
    return usage.ru_utime + usage.ru_stime


def run_case(devices, size, folder):
    image = os.path.join(folder, f"image-{size}.bin")
    with open(image, "wb") as file:
        file.write(os.urandom(size))
    with emulated_site(devices, folder) as (listing, emulator):
        emulator_before = _process_cpu(emulator.pid)
        with open(os.path.join(folder, "out.txt"), "w") as out:
            start = time.monotonic()
            update = subprocess.Popen([*COMMAND, "update", "--addresses", listing, "--no-history", "--jobs",
                                       str(min(devices, 1000)), image], stdout=out, stderr=subprocess.STDOUT)
            _, status, usage = os.wait4(update.pid, 0)
            wall = time.monotonic() - start
        emulator_cpu = _process_cpu(emulator.pid) - emulator_before
        if os.waitstatus_to_exitcode(status) != 0:
            with open(os.path.join(folder, "out.txt")) as out:
                raise SystemExit(f"the update of {devices} x {size} bytes failed:\n{out.read()[-2000:]}")
        with open(os.path.join(folder, "verify.txt"), "w") as out:
            start = time.monotonic()
            verify = subprocess.Popen([*COMMAND, "verify", "--addresses", listing, "--no-history", "--jobs",
                                       str(min(devices, 1000)), image], stdout=out, stderr=subprocess.STDOUT)
            _, status, verify_usage = os.wait4(verify.pid, 0)
            verify_wall = time.monotonic() - start
    with open(os.path.join(folder, "verify.txt")) as out:  # every device holds it; with no history, not confirmed
        shown = out.read()
        if f"{devices} hold it without running it" not in shown:
            raise SystemExit(f"the verify of {devices} x {size} bytes failed:\n{shown[-2000:]}")
    device_mib = devices * size / MiB
    return {"devices": devices, "size": size, "wall_s": wall, "cpu_s": cpu(usage),
            "cpu_s_per_device_mib": cpu(usage) / device_mib, "cpu_per_wall": cpu(usage) / wall,
            "emulator_cpu_s": emulator_cpu, "verify_wall_s": verify_wall, "verify_cpu_s": cpu(verify_usage),
            "verify_cpu_s_per_device_mib": cpu(verify_usage) / device_mib}


def _process_cpu(pid):
    """CPU seconds a running process has used so far, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def extrapolate(figures, devices=1000, size=4 * MiB, jobs=1000):
    small = next(case for case in figures if case["size"] == 16 * KiB)
    per_mib = next(case for case in figures if case["devices"] == 64)["cpu_s_per_device_mib"]
    one_device = next(case for case in figures if case["size"] == 4 * MiB)["wall_s"]
    per_device = max(small["cpu_s"] - per_mib * small["devices"] * small["size"] / MiB, 0) / small["devices"]
    cli_cpu = per_device * devices + per_mib * devices * size / MiB
    wall = max(cli_cpu / (os.cpu_count() or 1), one_device * -(-devices // jobs))
    return {"devices": devices, "size": size, "cpu_s_per_device": per_device, "cpu_s_per_device_mib": per_mib,
            "cpu_s": cli_cpu, "wall_s": wall}


def plot(result, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cases = result["cases"]
    labels = [f"{case['devices']} x {case['size'] // KiB} KiB" if case["size"] < MiB
              else f"{case['devices']} x {case['size'] // MiB} MiB" for case in cases]
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.6))
    large = [(label, case) for label, case in zip(labels, cases) if case["size"] >= MiB]
    bars = left.bar([label for label, _ in large], [case["cpu_s_per_device_mib"] for _, case in large],
                    color="tab:blue")
    left.bar_label(bars, fmt="%.3f")
    left.axhline(0.06, color="tab:red", linestyle="--", linewidth=1)
    left.text(len(large) - 0.5, 0.06, "target", color="tab:red", va="bottom", ha="right", fontsize=8)
    left.set_ylim(0, 0.075)
    left.set_ylabel("CPU s per device-MiB")
    left.set_title(f"the command line's CPU, workers included\n(besides: "
                   f"{result['extrapolated']['cpu_s_per_device'] * 1000:.1f} ms a device; target 10)", fontsize=10)
    left.tick_params(axis="x", labelsize=8)
    walls = [case["wall_s"] for case in cases] + [result["extrapolated"]["wall_s"]]
    bars = right.bar(labels + ["1000 x 4 MiB\n(extrapolated)"], walls,
                     color=["tab:blue"] * len(cases) + ["tab:gray"])
    right.bar_label(bars, fmt="%.1f s")
    right.set_ylabel("wall time, s")
    right.set_title("end to end at 1 ms latency", fontsize=10)
    right.tick_params(axis="x", labelsize=8)
    fig.suptitle(f"{result['machine']['cpu']}, {result['machine']['cores']} cores, "
                 f"CPython {result['machine']['python']}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE as JSON")
    parser.add_argument("--plot", metavar="PNG", help="draw the figures into PNG")
    args = parser.parse_args()
    result = {"machine": machine(), "latency_s": LATENCY, "cases": []}
    print(f"{'site':>16} {'wall':>8} {'CLI CPU':>9} {'per dev-MiB':>12} {'CPU/wall':>9} {'emulator CPU':>13}"
          f" {'verify wall':>12} {'verify CPU':>11} {'per dev-MiB':>12} {'/read-back':>11}")
    with tempfile.TemporaryDirectory() as folder:
        for devices, size in CASES:
            case = run_case(devices, size, folder)
            result["cases"].append(case)
            shown = f"{size // KiB} KiB" if size < MiB else f"{size // MiB} MiB"
            read_back = case["cpu_s_per_device_mib"] / 2
            print(f"{devices:>6} x {shown:>7} {case['wall_s']:7.2f}s {case['cpu_s']:8.2f}s "
                  f"{case['cpu_s_per_device_mib']:12.4f} {case['cpu_per_wall']:9.2f} {case['emulator_cpu_s']:12.2f}s"
                  f" {case['verify_wall_s']:11.2f}s {case['verify_cpu_s']:10.2f}s "
                  f"{case['verify_cpu_s_per_device_mib']:12.4f} {case['verify_cpu_s_per_device_mib'] / read_back:11.2f}",
                  flush=True)
    guess = result["extrapolated"] = extrapolate(result["cases"])
    print(f"1000 x 4 MiB, extrapolated: {guess['cpu_s']:.0f} s of the command line's CPU "
          f"({guess['cpu_s_per_device'] * 1000:.1f} ms a device, {guess['cpu_s_per_device_mib']:.4f} s a device-MiB), "
          f"at least {guess['wall_s']:.0f} s ({guess['wall_s'] / 60:.1f} min) on {os.cpu_count()} cores")
    if args.json:
        with open(args.json, "w") as file:
            json.dump(result, file, indent=2)
    if args.plot:
        plot(result, args.plot)


if __name__ == "__main__":
    main()
