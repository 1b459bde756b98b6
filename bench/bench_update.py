"""Speed and memory of the FPGA update path. Prints its figures; run with `python bench/bench_update.py`.

(a) microseconds per device exchange of _fpgaProgramFile on a 1 MiB raw image, against an
    in-process connection that answers at once (stdout to the null device, logger at WARNING);
(b) time of _checkFileHeader on a 64 MiB signed image, divided by the time of reading the
    file once and computing hmac.digest over its two regions;
(c) peak resident memory of (b), and its growth over the process before the check.
"""

import argparse
import contextlib
import hashlib
import hmac
import logging
import os
import subprocess
import sys
import tempfile
import time

from orbisk.VornUtils import RetType, _RspType as RspType
from orbisk_tools.signed_image import image_key, pack

MiB = 1024 * 1024


class InstantConnection:
    """Answers every command at once: "0" to managed commands, a full page of zeros to raw reads."""

    def __init__(self):
        self._ok = RetType(data="0")
        self._page = b"#216" + bytes(16) + b"\r\n"

    def sendCmd(self, line, rsp_type):
        return self._ok

    def sendRawBytes(self, data):
        pass

    def recvRawBytes(self, size):
        return self._page


class PlainPythonTool:
    """The same transport, commands and raw-image loop written in plain Python, for comparison."""

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
        self._sendCmd(b"FPGA_ERASE 12")
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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--signed-size-mib", type=int, default=64)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as workdir:
        from orbisk.VornFpga import FpgaTool

        per_exchange = bench_programming(workdir, args.repeats, FpgaTool)
        plain = bench_programming(workdir, args.repeats, PlainPythonTool)
        print(f"(a) _fpgaProgramFile, 1 MiB raw image: {per_exchange:.3f} us per device exchange "
              f"(the same loop in plain Python: {plain:.3f} us)")
        signed = os.path.join(workdir, "image.tbin")
        make_signed_image(signed, args.signed_size_mib * MiB)
        size = os.path.getsize(signed)
        ratio = bench_header_check(signed, args.repeats)
        print(f"(b) _checkFileHeader, {size / MiB:.0f} MiB signed image: {ratio:.3f} x (read once + hmac.digest)")
        peak, growth = memory_of_header_check(signed)
        print(f"(c) peak RSS of (b): {peak / MiB:.1f} MiB; growth during the check: {growth / MiB:.1f} MiB "
              f"(file {size / MiB:.1f} MiB, target at most file + 16 MiB)")


if __name__ == "__main__":
    main()
