"""orbisk-fpga verify: whether each device holds exactly an image, from its read-back."""

import contextlib

from orbisk_tools.cli import options
from orbisk_tools.cli.arguments import (add_device_options, add_device_type_option, add_trust_key_option,
                                          device_targets, image_snapshot, lock_folder, printable, resolve_devices,
                                          results_output, trusted_keys, write_report)

NAME = "verify"
HELP = ("Read back the FPGA image each device holds and compare it with IMAGE, changing nothing: "
        "exit 0 only when every device holds exactly the image.")
EXAMPLES = ("examples:\n  orbisk-fpga verify --address 192.168.1.20 fpga.tbin\n"
            "  orbisk-fpga verify --addresses site-a.txt --jobs 4 --json verdicts.json fpga.tbin")

def add_options(parser):
    add_device_options(parser, "to verify")
    add_device_type_option(parser, "device type of the devices (default 32)")
    parser.add_argument("--jobs", type=options.job_count, default=8, metavar="N",
                        help=f"verify up to N devices at once ({options.job_count.range}; default 8)")
    parser.add_argument("--window", type=options.window_or_auto, default=None, metavar="N",
                        help=f"keep up to N read-back commands in flight ({options.window_or_auto.range}); "
                             "default: learnt from each device")
    parser.add_argument("--json", metavar="FILE|-", help="also write each device's verdict to FILE, as JSON "
                                                        "(- : to standard output, and the rest to standard error)")
    add_trust_key_option(parser, "the image must then carry a signature IMAGE.minisig by one of the trusted keys")
    parser.add_argument("image", metavar="IMAGE", help="the image file")


def run(args):
    from orbisk_tools.cli.update import RESULTS_LOST
    from orbisk_tools.engine.inspection import HOLDS, verdicts

    keys = trusted_keys(args)
    resolved = resolve_devices(args, device_targets(args))
    with results_output(args, [args.image, *args.address_files, *args.trust_key]) as results, \
            contextlib.ExitStack() as held:
        snapshot = held.enter_context(image_snapshot(args.image, args.device_type, keys))
        if snapshot.vendor is not None:
            args.out.line(f"Vendor signature verified: key {snapshot.vendor.key_id}, "
                          f"{printable(snapshot.vendor.trusted_comment)}")
        with lock_folder() as folder:
            found = verdicts(resolved, snapshot.path, args.device_type, args.timeout, args.window, args.jobs, folder)
        for target, said in zip(resolved, found):
            args.out.line(f"{target.label}: {said}")
        held_by = sum(said == HOLDS for said in found)
        args.out.line(f"{held_by} of {len(found)} devices hold {args.image} "
                      f"(SHA-256 {snapshot.facts.sha256}, {snapshot.facts.size} bytes)")
        if results is not None:
            report = {"image": args.image, "sha256": snapshot.facts.sha256, "size": snapshot.facts.size,
                      "devices": [{"address": t.label, "holds": said == HOLDS, "verdict": said}
                                  for t, said in zip(resolved, found)]}
            if not write_report(results, args, report, RESULTS_LOST):
                return 1
    return 0 if held_by == len(found) else 1
