"""Speed and memory of the FPGA update path. Prints its figures; run with `python bench/bench_update.py`.

(a) microseconds per device exchange of _fpgaProgramFile on a 1 MiB raw image, against an
    in-process connection that answers at once (stdout to the null device, logger at WARNING);
(b) time of _checkFileHeader on a 64 MiB signed image, divided by the time of reading the
    file once and computing hmac.digest over its two regions;
(c) peak resident memory of (b), and its growth over the process before the check;
(d) an end-to-end processFpgaUpdate of a 4 MiB signed image through the device emulator, run
    in a process of its own, over a real TCP socket on 127.0.0.1 with _TCPConn: MiB per second,
    and where the time goes: inside the module (everything outside the connection's calls: file
    and header checks, framing, hashing, progress), in the connection's own Python code, and
    waiting for the emulator's replies.

--json FILE also writes the figures as JSON, which bench/plot_performance.py draws.
"""

import argparse
import contextlib
import hashlib
import hmac
import json
import logging
import os
import platform
import signal
import subprocess
import sys
import tempfile
import time

from orbisk.VornUtils import RetType, _RspType as RspType
from orbisk_tools.formats import protocol
from orbisk_tools.formats.signed_image import image_key, pack

MiB = 1024 * 1024


class InstantConnection:
    """Answers every command at once: "0" to managed commands, a full page of zeros to raw reads."""

    def __init__(self):
        self._ok = RetType(data="0")
        self._page = protocol.page_reply(bytes(16))

    def sendCmd(self, line, rsp_type):
        return self._ok

    def sendRawBytes(self, data):
        pass

    def recvRawBytes(self, size):
        return self._page


class PlainPythonTool:
    """The same transport, commands and raw-image loop written in plain Python, for comparison.

    Written out on purpose, not taken from the module: (a) weighs the module's loop against
    what the same exchanges cost in plain Python, so this must be plain Python. It does what
    the module does for every block (framing, hashing, the progress line and callback) and
    leaves out what costs nothing per block (the refusal limit, finding the first differing
    byte). Keep it in step with _fpgaProgramFile at pipeline_depth 1.
    """

    def __init__(self, connection):
        self._conn = connection
        self.progress_callback = None

    def _sendCmd(self, cmd, log_print=False, size=1024, isdecode=True):
        if isinstance(cmd, str):
            cmd = cmd.encode("utf-8")
        if isdecode:
            ret = self._conn.sendCmd(cmd + b"\r\n", RspType.RSP_LIST)
            return ret.RetData if ret.RetData else ""
        self._conn.sendRawBytes(cmd + b"\r\n")
        return self._getRecv(log_print=log_print, size=size, isdecode=False)

    def _getRecv(self, log_print=False, size=1024, isdecode=True):
        data = self._conn.recvRawBytes(size)
        return data.decode("utf-8") if isdecode else data[4:-2]

    def _fpgaProgram(self, data_block):
        length = len(data_block)
        header = f"FPGA_PROGRAM #{len(str(length))}{length:02d}".encode("utf-8")
        return self._sendCmd(header + data_block).strip() == "0"

    def _fpgaRead(self):
        return self._sendCmd(b"FPGA_READ", isdecode=False)

    def _fpgaProgramFile(self, image_path, device_type=28):
        file_size = os.path.getsize(image_path)
        sent, w_hasher = 0, hashlib.sha256()
        self._sendCmd(b"FPGA_ERASE " + protocol.DEVICE_TYPES[device_type].erase_bits.encode())
        self._sendCmd(b"FPGA_RST_PAGE_PTR CFG")
        with open(image_path, "rb") as f:
            while block := f.read(16):
                w_hasher.update(block)
                while True:
                    start = time.monotonic()
                    ok = self._fpgaProgram(block)
                    end = time.monotonic()
                    if ok:
                        break
                sent += len(block)
                print(f"\rProgress: {sent / file_size * 100:.2f}% ({sent}/{file_size} bytes), "
                      f"block time: {end - start:.4f} sec", end="")
                if self.progress_callback:
                    self.progress_callback("write", sent, file_size)
        print()
        r_hasher = hashlib.sha256()
        self._sendCmd(b"FPGA_RST_PAGE_PTR CFG")
        for read in range(16, sent + 16, 16):
            start = time.monotonic()
            page = self._fpgaRead()
            end = time.monotonic()
            print(f"\rProgress: {read / sent * 100:.2f}% ({read}/{sent} bytes), block time: {end - start:.4f} sec", end="")
            if self.progress_callback:
                self.progress_callback("verify", read, sent)
            r_hasher.update(page)
        print()
        self._sendCmd(b"FPGA_DONE")
        self._sendCmd(b"FPGA_REFRESH")
        return w_hasher.hexdigest() == r_hasher.hexdigest()


def exchanges_per_run(image_size):
    blocks = -(-image_size // 16)
    return 2 * blocks + 5  # a write and a read per block; erase, two pointer resets, done, refresh


def bench_programming(workdir, repeats, tool_class):
    path = os.path.join(workdir, "image.bin")
    with open(path, "wb") as f:
        f.write(bytes(MiB))  # zeros: the instant connection reads back zeros too, so the run verifies
    logging.getLogger("FPGA").setLevel(logging.WARNING)
    tool = tool_class(InstantConnection())
    best = float("inf")
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        for _ in range(repeats):
            start = time.perf_counter()
            assert tool._fpgaProgramFile(path, 32)
            best = min(best, time.perf_counter() - start)
    return best / exchanges_per_run(MiB) * 1e6


def make_signed_image(path, size):
    with open(path, "wb") as f:
        f.write(pack(os.urandom(size), 32))


def bench_header_check(path, repeats):
    from orbisk.VornFpga import FpgaTool

    tool = FpgaTool(InstantConnection())

    def baseline():
        with open(path, "rb") as f:
            data = f.read()
        view = memoryview(data)
        header_length = int.from_bytes(data[0:4], "big")
        key = image_key(32)
        hmac.digest(key, view[80 : 80 + header_length], "sha256")
        hmac.digest(key, view[80 + header_length :], "sha256")

    def check():
        assert tool._checkFileHeader(path)

    def best_of(run):
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        return min(times)

    best_of(baseline)  # warm the page cache
    return best_of(check) / best_of(baseline)


def memory_of_header_check(path):
    """Peak RSS of a fresh process that checks the file once, and its growth during the check."""
    # VmHWM, the peak RSS of this process image (ru_maxrss would carry over from the parent across exec)
    code = (
        "import sys\n"
        "from orbisk.VornFpga import FpgaTool\n"
        "def peak():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'):\n"
        "            return int(line.split()[1]) * 1024\n"
        "tool = FpgaTool(object())\n"
        "before = peak()\n"
        "assert tool._checkFileHeader(sys.argv[1])\n"
        "print(before, peak())\n"
    )
    out = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, check=True).stdout
    before, after = (int(v) for v in out.split())
    return after, after - before


class TimedConnection:
    """Wraps a connection and adds up the wall-clock time spent inside its calls."""

    def __init__(self, connection):
        self._connection = connection
        self.seconds = 0.0
        self.calls = 0
        self.commands = 0

    def _timed(self, method, *args):
        start = time.perf_counter()
        try:
            return method(*args)
        finally:
            self.seconds += time.perf_counter() - start
            self.calls += 1

    def sendCmd(self, line, rsp_type):
        self.commands += 1
        return self._timed(self._connection.sendCmd, line, rsp_type)

    def sendRawBytes(self, data):
        self.commands += 1
        return self._timed(self._connection.sendRawBytes, data)

    def recvRawBytes(self, size):
        return self._timed(self._connection.recvRawBytes, size)


def timing_overhead(calls=200_000):
    """Seconds that TimedConnection adds to one call, outside the time it measures."""
    class Nothing:
        def sendRawBytes(self, data):
            pass

    def run(connection):
        start = time.perf_counter()
        for _ in range(calls):
            connection.sendRawBytes(b"")
        return time.perf_counter() - start

    def overhead():
        timed = TimedConnection(Nothing())
        return run(timed) - timed.seconds - run(Nothing())

    return min(overhead() for _ in range(3)) / calls


def cpu_seconds(pid):
    """User and system CPU time of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def emulator_process(*options):
    """A device emulator in a process of its own, with these command-line options; yields (process, port)."""
    process = subprocess.Popen([sys.executable, "-m", "orbisk_tools", "emulate", "--port", "0", *options],
                               stdout=subprocess.PIPE, text=True)
    try:
        banner = process.stdout.readline()  # "Device emulator listening on 127.0.0.1:PORT (...)"
        port = int(banner.split()[4].rsplit(":", 1)[1])
        yield process, port
    finally:
        interrupt(process)


def interrupt(process, timeout=10):
    """Ctrl-C to `process`, and its end; killed if it takes longer than `timeout` seconds."""
    process.send_signal(signal.SIGINT)
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def bench_end_to_end(workdir, size):
    """One update for the throughput; another, through TimedConnection, for where the time goes."""
    from orbisk.VornCommService import _TCPConn
    from orbisk.VornFpga import FpgaTool

    path = os.path.join(workdir, "e2e.tbin")
    with open(path, "wb") as f:
        f.write(pack(os.urandom(size), 32))
    logging.getLogger("FPGA").setLevel(logging.WARNING)
    with emulator_process() as (process, port), open(os.devnull, "w") as devnull, \
            contextlib.redirect_stdout(devnull):
        connection = _TCPConn("127.0.0.1", port, timeout=10.0)
        assert connection.initConnection()
        start = time.perf_counter()
        assert FpgaTool(connection).processFpgaUpdate(path, 32).RetData["success"]
        seconds = time.perf_counter() - start

        timed = TimedConnection(connection)
        emulator_cpu, cpu, start = cpu_seconds(process.pid), time.process_time(), time.perf_counter()
        assert FpgaTool(timed).processFpgaUpdate(path, 32).RetData["success"]
        wall, cpu = time.perf_counter() - start, time.process_time() - cpu
        emulator_cpu = cpu_seconds(process.pid) - emulator_cpu
        connection.closeConnection()
    # What the timing itself cost is taken out; the module never waits, so the client's
    # CPU time beyond the module's is the connection's own code, and the rest of the time
    # inside the connection is waiting for the emulator.
    timing = timed.calls * timing_overhead()
    wall -= timing
    module = wall - timed.seconds
    connection_code = cpu - timing - module
    return {
        "image_mib": size / MiB,
        "commands": timed.commands,
        "seconds": seconds,
        "mib_per_second": size / MiB / seconds,
        "us_per_command": seconds / timed.commands * 1e6,
        "share_module": module / wall,
        "share_connection_code": connection_code / wall,
        "share_waiting": (timed.seconds - connection_code) / wall,
        "emulator_cpu_share": emulator_cpu / wall,
    }


def machine():
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
                 platform.processor())
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "date": time.strftime("%Y-%m-%d")}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--signed-size-mib", type=int, default=64)
    parser.add_argument("--e2e-size-mib", type=float, default=4)
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE as JSON")
    args = parser.parse_args()
    figures = {"machine": machine()}
    with tempfile.TemporaryDirectory() as workdir:
        from orbisk.VornFpga import FpgaTool

        per_exchange = bench_programming(workdir, args.repeats, FpgaTool)
        plain = bench_programming(workdir, args.repeats, PlainPythonTool)
        print(f"(a) _fpgaProgramFile, 1 MiB raw image: {per_exchange:.3f} us per device exchange "
              f"(the same loop in plain Python: {plain:.3f} us)")
        figures["a"] = {"us_per_exchange": per_exchange, "plain_python_us_per_exchange": plain}
        signed = os.path.join(workdir, "image.tbin")
        make_signed_image(signed, args.signed_size_mib * MiB)
        size = os.path.getsize(signed)
        ratio = bench_header_check(signed, args.repeats)
        print(f"(b) _checkFileHeader, {size / MiB:.0f} MiB signed image: {ratio:.3f} x (read once + hmac.digest)")
        figures["b"] = {"file_mib": size / MiB, "ratio": ratio}
        peak, growth = memory_of_header_check(signed)
        print(f"(c) peak RSS of (b): {peak / MiB:.1f} MiB; growth during the check: {growth / MiB:.1f} MiB "
              f"(file {size / MiB:.1f} MiB, target at most file + 16 MiB)")
        figures["c"] = {"peak_rss_mib": peak / MiB, "growth_mib": growth / MiB}
        e2e = bench_end_to_end(workdir, int(args.e2e_size_mib * MiB))
        print(f"(d) processFpgaUpdate, {e2e['image_mib']:g} MiB signed image through the emulator over TCP: "
              f"{e2e['mib_per_second']:.3f} MiB/s ({e2e['seconds']:.1f} s, {e2e['commands']} device commands, "
              f"{e2e['us_per_command']:.1f} us each); of the time: inside the module {e2e['share_module']:.1%}, "
              f"in the connection's code {e2e['share_connection_code']:.1%}, waiting for the emulator's replies "
              f"{e2e['share_waiting']:.1%} (the emulator's process busy for {e2e['emulator_cpu_share']:.1%})")
        figures["d"] = e2e
    if args.json:
        with open(args.json, "w") as out:
            json.dump(figures, out, indent=2)


if __name__ == "__main__":
    main()
