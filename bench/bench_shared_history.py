"""What a team's history in PostgreSQL costs a site update: the same site of emulated devices
(`orbisk-fpga emulate --devices N`) updated with a history file of this computer's own, with a
history in a throwaway PostgreSQL cluster on this computer (127.0.0.1), and with that history and
--share-site. Prints each run's time and, against the history file, the cost per device.

Needs PostgreSQL's server (Debian's postgresql) and root, as the tests of the team's history do.
Run with `python bench/bench_shared_history.py --devices 200 --size 65536`.
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # the tests' cluster

from orbisk_tools.formats.signed_image import pack  # noqa: E402
from tests.shared.cluster import Cluster  # noqa: E402

COMMAND = [sys.executable, "-m", "orbisk_tools"]


def timed_update(listing, image, jobs, *history):
    started = time.monotonic()
    done = subprocess.run([*COMMAND, "update", "--addresses", listing, "--jobs", str(jobs), "--force", *history,
                           str(image)], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"the update failed:\n{done.stdout}{done.stderr}")
    return time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, default=200)
    parser.add_argument("--size", type=int, default=65536, help="the image's size in bytes")
    parser.add_argument("--jobs", type=int, default=32)
    parser.add_argument("--runs", type=int, default=3, help="runs of each kind; the fastest counts")
    args = parser.parse_args()
    cluster = Cluster()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        os.environ["PGPASSFILE"] = cluster.password_file(folder)
        image = folder / "fw.tbin"
        image.write_bytes(pack(os.urandom(args.size), 32))
        listing = folder / "site.txt"
        site = subprocess.Popen([*COMMAND, "emulate", "--devices", str(args.devices), "--port", "0", "--list",
                                 str(listing)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            site.stdout.readline()
            kinds = {"history file": lambda run: ("--history", str(folder / f"h{run}.sqlite3")),
                     "PostgreSQL": lambda run: ("--history", cluster.new_database()),
                     "PostgreSQL, --share-site": lambda run: ("--history", cluster.new_database(),
                                                              "--share-site", "bench")}
            times = {kind: min(timed_update(listing, image, args.jobs, *history(run)) for run in range(args.runs))
                     for kind, history in kinds.items()}
        finally:
            site.send_signal(signal.SIGINT)
            site.wait(timeout=60)
            cluster.stop()
    print(f"{args.devices} devices x {args.size} bytes, --jobs {args.jobs}, fastest of {args.runs} runs:")
    base = times["history file"]
    for kind, seconds in times.items():
        extra = (seconds - base) / args.devices * 1000
        print(f"  {kind:<26} {seconds:7.2f} s" + ("" if kind == "history file" else f"  ({extra:+.1f} ms a device)"))


if __name__ == "__main__":
    main()
