"""The command line orbisk-fpga; DESCRIPTION and EXIT_STATUS are what its --help says of it.

The commands are one module each in this package: NAME, HELP, EXAMPLES, add_options(parser) and
run(args); COMMANDS lists them in the order that --help shows. What several share is in `arguments`.
"""

import argparse
import contextlib
import logging
import os
import sys

from orbisk_tools.cli import (demo, dump, emulate, history, init, inspect, keygen, options, pack, report,
                              restore, sign, status, update, verify)
from orbisk_tools.cli.arguments import INTERRUPTED, TERMINATED, Failure
from orbisk_tools.report.output import GuardedOutput, printable


COMMANDS = (update, restore, verify, status, history, report, dump, inspect, init, pack, sign, keygen, emulate, demo)

# What --help says, before and after the commands.
DESCRIPTION = """\
orbisk-fpga updates the FPGA image of networked RF devices, one or a whole site at once, and
records every update; it also checks and signs images, and emulates a device to try it on."""
EXIT_STATUS = f"""\
exit status:
  0    success
  1    a device, an update or an image failed, or an output could not be written
  2    a usage error
  {INTERRUPTED}  interrupted by Ctrl-C
  {TERMINATED}  stopped by SIGTERM"""


class Stderr(logging.StreamHandler):
    """Writes to sys.stderr as it is bound at each record, so that the progress display can show them."""

    @property
    def stream(self):
        return sys.stderr

    @stream.setter
    def stream(self, value):
        pass


class PrintableLines(logging.Formatter):
    """Log lines as text: what a device or a file said may hold control characters."""

    def format(self, record):
        return "\n".join(map(printable, super().format(record).split("\n")))


def configure_logging(verbose):
    """The FPGA module logs to stdout unless the host configured logging first: this CLI does,
    before importing it. Its lines are shown with -v only: failures are told from its outcomes."""
    from orbisk_tools.engine.labels import DeviceLabel

    handler = Stderr()
    handler.addFilter(DeviceLabel())
    handler.setFormatter(PrintableLines("%(levelname)s %(device)s%(message)s"))
    logging.basicConfig(level=logging.INFO if verbose else logging.WARNING, handlers=[handler])
    logging.raiseExceptions = False  # a log line to a closed terminal is lost, not reported
    module_log = logging.getLogger("FPGA")
    module_log.propagate = verbose
    if not module_log.handlers:
        module_log.addHandler(logging.NullHandler())  # else logging's last resort prints its errors


def versions():
    """The lines of --version: this package's version and, for each native module, its own or
    else the package's that it was built with, and where it was loaded from."""
    import importlib.metadata  # when asked: it takes a while to import

    try:
        package = importlib.metadata.version("orbisk-native")
    except importlib.metadata.PackageNotFoundError:
        package = "(not installed)"
    lines = [f"orbisk-fpga {package}"]
    for name in ("orbisk.VornFpga", "orbisk.vorndev.BeamHopper"):
        try:
            module = importlib.import_module(name)
        except ImportError as error:
            lines.append(f"{name} cannot be loaded: {error}")
        else:
            lines.append(f"{name} {getattr(module, '__version__', package)} ({module.__file__})")
    return "\n".join(lines)


class ShowVersions(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the versions of orbisk-fpga and of its native modules, and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(versions())
        parser.exit()


def parser():
    # -v is taken before or after the command; after it, it must not reset what was given before.
    verbose = options.Parser(add_help=False)
    verbose.add_argument("-v", "--verbose", action="store_true", default=argparse.SUPPRESS,
                         help="show the FPGA module's log lines")
    top = options.Parser(prog="orbisk-fpga", description=DESCRIPTION, epilog=EXIT_STATUS,
                         formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("-v", "--verbose", action="store_true", help="show the FPGA module's log lines")
    top.add_argument("--version", action=ShowVersions)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS:
        sub = commands.add_parser(command.NAME, help=command.HELP, description=command.HELP, epilog=command.EXAMPLES,
                                  parents=[verbose], formatter_class=argparse.RawDescriptionHelpFormatter)
        command.add_options(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return top


def main(argv=None):
    """Runs the command of `argv`; its exit status. Every write is checked: an output that
    fails (a full disk, /dev/full) is one line on standard error and exit status 1 at least,
    once the command is done; a pipe closed by its reader (`| head`) ends the output quietly."""
    out, err = GuardedOutput(sys.stdout, "standard output"), GuardedOutput(sys.stderr, "standard error")
    try:
        status = run(argv, out, err)
    except SystemExit as exit:  # --help, --version and usage errors, as argparse ends them
        status = exit.code
    out.flush()
    problem = out.failure() or err.failure()
    if problem is not None:
        err.line(f"orbisk-fpga: error: {problem}")
        status = status or 1
    if out.dead and sys.stdout is not None:  # the interpreter's last flush of stdout must not fail
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status


# What the engine's messages call what the user can change, as this command line names it.
OPTION_WORDS = {
    "device_type": "--device-type", "force": "--force", "allow_older": "--allow-older", "window_one": "--window 1",
    "timeout": "--timeout", "waves": "--waves {sizes}", "canary": "--canary {n}", "max_failures": "--max-failures {n}",
    "trust_keys": "the keys given with --trust-key or in ORBISK_FPGA_TRUST_KEYS",
    "another_history": "give another --history PATH, or --no-history to update without a history",
    "team_history": "--share-site needs a team's history: --history postgresql://USER@HOST/DB",
    "site_name": "--share-site",
    "history_option": "--history PATH|URL",
}


def run(argv, out, err):
    from orbisk_tools import wording

    with contextlib.redirect_stdout(out):  # so that what --help and --version print is checked too
        args = parser().parse_args(argv)
    args.out, args.err, args.make_parser = out, err, parser
    configure_logging(args.verbose)
    try:
        with wording.use(OPTION_WORDS):
            return args.run(args) or 0
    except Failure as failure:
        err.line(f"orbisk-fpga: error: {failure}")
        return 1
    except KeyboardInterrupt:
        err.line("orbisk-fpga: interrupted")
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
