"""orbisk-fpga: update a device's FPGA image, initialise its FPGA controller, sign images,
and run an emulated device, from a terminal.

Exit status: 0 on success, 1 when the device or the update fails, 2 on a usage error.
"""

import argparse
import json
import logging
import os
import sys
import tempfile
import time

EXAMPLES = {
    "update": "example:\n  orbisk-fpga update --address 192.168.1.20 --device-type 32 fpga.tbin",
    "init": "example:\n  orbisk-fpga init --address 192.168.1.20",
    "pack": "example:\n  orbisk-fpga pack --device-type 28 --device-type 32 --set version=1.4.0.0 fpga.bin fpga.tbin",
    "emulate": "example:\n  orbisk-fpga emulate --port 5025 --refuse-block 3 --refuse-times 2",
    "demo": "example:\n  orbisk-fpga demo",
}


class Failure(Exception):
    """A failure to report in one line, with exit status 1."""


class FpgaLog(logging.Handler):
    """Keeps the FPGA module's log lines, so that a failure can name its reason in one line."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.errors = []

    def emit(self, record):
        if record.levelno >= logging.ERROR:
            self.errors.append(record.getMessage())


def quiet_fpga_log(verbose):
    """The FPGA module logs to stdout unless the host configured logging first: this CLI does."""
    logging.basicConfig(level=logging.INFO if verbose else logging.WARNING, stream=sys.stderr,
                        format="%(levelname)s %(message)s")
    fpga_log = FpgaLog()
    logger = logging.getLogger("FPGA")
    logger.addHandler(fpga_log)
    logger.propagate = verbose
    return fpga_log


def connect(args):
    from orbisk.VornFpga import FpgaTool

    try:
        return FpgaTool(address=args.address, port=args.port)
    except (ConnectionError, OSError) as error:
        raise Failure(str(error)) from None


def human_rate(size, seconds):
    rate = size / seconds if seconds > 0 else 0.0
    for unit in ("B/s", "KiB/s", "MiB/s"):
        if rate < 1024 or unit == "MiB/s":
            return f"{rate:.1f} {unit}"
        rate /= 1024


def run_update(args, fpga_log):
    from orbisk.VornPublic import RetCode

    tool = connect(args)
    written = 0

    def progress(stage, current, total):
        nonlocal written
        if stage == "write":
            written = current

    tool.set_progress_callback(progress)
    fpga_log.errors.clear()
    start = time.monotonic()
    try:
        ret = tool.processFpgaUpdate(args.image, args.device_type)
    except OSError as error:  # the link failed or timed out, or the file could not be read
        raise Failure(f"FPGA update stopped: {error}") from None
    except Exception as error:  # the device answered something the update cannot use
        raise Failure(f"FPGA update stopped: {type(error).__name__}: {error}") from None
    finally:
        tool.disconnect()
    elapsed = time.monotonic() - start
    if ret.RetCode is not RetCode.OK:
        reason = f" ({fpga_log.errors[-2]})" if len(fpga_log.errors) >= 2 else ""  # the last is RetMsg itself
        raise Failure(f"{ret.RetMsg}{reason}")
    version = ret.RetData["fw_version"] or "(not reported)"
    print(f"FPGA updated: version {version}, {written} bytes written in {elapsed:.2f} s "
          f"({human_rate(written, elapsed)})")


def run_init(args, fpga_log):
    from orbisk.VornPublic import RetCode

    tool = connect(args)
    try:
        ret = tool.initFpga(args.device_type, disable_fw_check=args.no_fw_check)
    finally:
        tool.disconnect()
    if ret.RetCode is not RetCode.OK:
        raise Failure(ret.RetMsg)
    print(json.dumps(ret.RetData, indent=2))


def header_member(text):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    if key in ("DEV_TYPE", "dev_type"):
        raise argparse.ArgumentTypeError(f"--set {key} is not allowed: give the device types with --device-type")
    try:
        return key, json.loads(value)
    except ValueError:
        return key, value


def device_type_number(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number from 0 to 999, got {text!r}") from None
    if not 0 <= value <= 999:
        raise argparse.ArgumentTypeError(f"a device type is a number from 0 to 999, not {value}")
    return value


def run_pack(args, fpga_log):
    from orbisk_tools.signed_image import PackError, write_signed_image

    device_types = args.device_type[0] if len(args.device_type) == 1 else args.device_type
    try:
        write_signed_image(args.image, args.output, device_types, dict(args.set))
    except (OSError, PackError) as error:
        raise Failure(str(error)) from None
    print(f"Wrote {args.output} ({os.path.getsize(args.output)} bytes) for device type "
          f"{', '.join(str(t) for t in args.device_type)}")


def run_emulate(args, fpga_log):
    from orbisk_tools.emulator import faults_from, serve

    try:
        serve(args.port, faults_from(args), args.new_fpga_version, announce=lambda text: print(text, flush=True))
    except OSError as error:
        raise Failure(f"cannot listen on port {args.port}: {error}") from None


def run_demo(args, fpga_log):
    from orbisk_tools.emulator import DeviceEmulator
    from orbisk_tools.signed_image import write_signed_image

    with DeviceEmulator(port=0) as emulator, tempfile.TemporaryDirectory() as workdir:
        print(f"1. Started an emulated device on {emulator.host}:{emulator.port}")
        raw = os.path.join(workdir, "sample.bin")
        with open(raw, "wb") as f:
            f.write(bytes((i * 7 + i // 256) % 256 for i in range(16 * 1024 + 5)))
        signed = os.path.join(workdir, "sample.tbin")
        write_signed_image(raw, signed, [28, 32], {"version": "0.2.4.0"})
        print(f"2. Signed a sample image for device types 28 and 32: {os.path.getsize(signed)} bytes")
        args.address, args.port, args.image = emulator.host, emulator.port, signed
        args.no_fw_check = False
        print("3. Initialised the FPGA controller:")
        run_init(args, fpga_log)
        print("4. Updating the FPGA image:")
        run_update(args, fpga_log)
        loaded = emulator.device.fpga.loaded_image
        with open(raw, "rb") as f:
            same = loaded == f.read()
        print(f"5. The device now holds {'exactly the image' if same else 'a different image'}")
        if not same:
            raise Failure("the device does not hold the image that was written")


def parser():
    from orbisk_tools.emulator import add_fault_options

    top = argparse.ArgumentParser(prog="orbisk-fpga", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("-v", "--verbose", action="store_true", help="show the FPGA module's log lines")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name, run, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text, epilog=EXAMPLES[name],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    def device_options(sub):
        sub.add_argument("--address", required=True, help="IP address or host name of the device")
        sub.add_argument("--port", type=int, default=5025, help="TCP port of the device (default 5025)")
        sub.add_argument("--device-type", type=int, default=32, help="device type (default 32)")

    update = command("update", run_update,
                     "Check an FPGA image (.bin, or signed .tbin), write it to the device, read it back "
                     "and compare, then report the new FPGA version.")
    device_options(update)
    update.add_argument("image", metavar="IMAGE", help="the image file")

    init = command("init", run_init, "Initialise the device's FPGA controller and print what it reports.")
    device_options(init)
    init.add_argument("--no-fw-check", action="store_true", help="do not compare the FPGA version with its minimum")

    pack = command("pack", run_pack, "Sign a raw FPGA image for one or more device types, as a .tbin file.")
    pack.add_argument("--device-type", type=device_type_number, action="append", required=True,
                      help="a device type the image is for (repeat for several)")
    pack.add_argument("--set", type=header_member, action="append", default=[], metavar="KEY=VALUE",
                      help="an extra JSON header member (VALUE is JSON, or else text)")
    pack.add_argument("image", metavar="IMAGE", help="the raw image")
    pack.add_argument("output", metavar="OUTPUT", help="the signed image to write")

    emulate = command("emulate", run_emulate, "Serve an emulated device on 127.0.0.1 until interrupted.")
    emulate.add_argument("--port", type=int, default=5025, help="TCP port (default 5025; 0: any free port)")
    emulate.add_argument("--new-fpga-version", default="0.2.4.0", help="FPGA version reported after an update")
    add_fault_options(emulate)

    demo = command("demo", run_demo, "Start an emulated device, sign a sample image, initialise the device "
                                     "and update it, showing each step.")
    demo.set_defaults(device_type=32)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    fpga_log = quiet_fpga_log(args.verbose)
    try:
        args.run(args, fpga_log)
    except Failure as failure:
        print(f"orbisk-fpga: error: {failure}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("orbisk-fpga: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
