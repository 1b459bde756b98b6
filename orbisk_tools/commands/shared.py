"""What several commands share: the one-line failure, options of a device connection, the
device locks and the resolution of addresses."""

import contextlib
import os

from orbisk_tools import options
from orbisk_tools.protocol import DEVICE_TYPES

INTERRUPTED = 130  # the exit status of a run that Ctrl-C stopped


class Failure(Exception):
    """A failure to report in one line, with exit status 1."""


def add_device_type_option(parser, help_text):
    parser.add_argument("--device-type", type=int, choices=DEVICE_TYPES, default=32, help=help_text)


def add_connection_options(parser):
    parser.add_argument("--port", type=options.device_port, default=5025,
                        help="TCP port of a device whose address names none (default 5025)")
    parser.add_argument("--timeout", type=options.timeout, default=5.0, metavar="SECONDS",
                        help="how long to wait for the device to connect or to answer (default 5)")


def resolve_devices(args, targets):
    """{target: its addresses} (see fleet.resolve); two names of one device are a usage error."""
    from orbisk_tools.fleet import resolve, same_device

    resolved = resolve(targets)
    same = same_device(resolved)
    if same:
        first, second, shared = same
        args.parser.error(f"{first.label} and {second.label} are the same device ({shared.label}); "
                          "give each device once")
    return resolved


@contextlib.contextmanager
def lock_folder():
    """The open folder of the device locks, closed at the end."""
    from orbisk_tools.fleet import LockFolderRefused, open_lock_folder

    try:
        folder = open_lock_folder()
    except LockFolderRefused as refused:
        raise Failure(str(refused)) from None
    try:
        yield folder
    finally:
        os.close(folder)
