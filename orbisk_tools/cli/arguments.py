"""What several commands share: the one-line failure, options of a device connection, the
devices chosen and the resolution of their addresses, the device locks, trusted keys and
secret-key passwords."""

import argparse
import contextlib
import json

from orbisk_tools.formats import files
from orbisk_tools.cli import options
from orbisk_tools.report.output import printable  # noqa: F401 (for the commands that show text of a file or a device)
from orbisk_tools.formats.protocol import DEVICE_TYPES

INTERRUPTED = 130  # the exit status of a run that Ctrl-C stopped
TERMINATED = 143  # of one that SIGTERM stopped (128 + 15, as the shell reports it)


class Failure(Exception):
    """A failure to report in one line, with exit status 1."""


def add_device_type_option(parser, help_text):
    parser.add_argument("--device-type", type=int, choices=DEVICE_TYPES, default=32, help=help_text)


def add_connection_options(parser):
    parser.add_argument("--port", type=options.device_port, default=5025,
                        help=f"TCP port of a device whose address names none ({options.device_port.range}; "
                             "default 5025)")
    parser.add_argument("--timeout", type=options.timeout, default=5.0, metavar="SECONDS",
                        help="how long to wait for the device to connect or to answer "
                             f"({options.timeout.range} s; default 5)")


def add_erase_timeout_option(parser):
    parser.add_argument("--erase-timeout", type=options.timeout, default=120.0, metavar="SECONDS",
                        help="how long to wait for the device to erase its configuration memory "
                             f"({options.timeout.range} s; default 120)")


def add_device_options(parser, purpose):
    """--address and --addresses (the devices `purpose`, "to update" say), --exclude,
    --exclude-from and --tag, which choose among them, and the connection's options."""
    parser.add_argument("--address", dest="devices", type=one_address, action="extend", default=[],
                        metavar="HOST[:PORT]", help=f"a device {purpose} (repeat for several)")
    parser.add_argument("--addresses", dest="devices", action=AddressFile, metavar="FILE",
                        help=f"a file of devices {purpose}: one HOST[:PORT] a line, optionally followed by its "
                             "tags (192.168.1.20 rack1 north); # starts a comment")
    parser.add_argument("--exclude", dest="excluded", type=one_excluded, action="extend", default=[],
                        metavar="HOST[:PORT]", help="leave out this device of those named, never contacting it "
                                                    "(repeat for several)")
    parser.add_argument("--exclude-from", dest="excluded", action=AddressFile, metavar="FILE",
                        help="leave out the devices of FILE, a file as --addresses reads (its tags are ignored)")
    parser.add_argument("--tag", dest="tags", type=tag, action="append", default=[], metavar="TAG",
                        help="only the devices of the address lists that carry TAG (repeat: those that carry "
                             "any of them); the others are never contacted")
    parser.set_defaults(address_files=[])
    add_connection_options(parser)


def device_targets(args):
    """The devices to work on, in the order given, each once, less those that --exclude names
    and, with --tag, those that carry none of its tags. Every address is checked before any
    device is touched: bad or repeated ones are a usage error that names each. An --exclude or
    a --tag that leaves out nothing is said in a warning; a choice that leaves no device is a
    usage error."""
    from orbisk_tools.engine.targets import TAG, TAG_EXPECTED, parse_address

    if not args.devices:
        args.parser.error("name the device with --address HOST[:PORT], or list devices in a file with --addresses")
    targets, problems = {}, []
    for where, text, tags in args.devices:
        try:
            target = parse_address(text, args.port)
        except ValueError as error:
            problems.append(f"{where}: {error}")
            continue
        wrong = next((tag for tag in tags if not TAG.fullmatch(tag)), None)
        if wrong is not None:
            problems.append(f"{where}: {' '.join((text, *tags))!r} is not an address and its tags: {wrong!r} is no "
                            f"tag ({TAG_EXPECTED})")
            continue
        if target in targets:
            problems.append(f"{target.label} is given twice ({targets[target][0]} and {where}); "
                            "give each device once")
        targets.setdefault(target, (where, tags))
    excluded = excluded_targets(args, problems)
    if len(problems) > 1:
        for problem in problems:
            args.err.line(f"{args.parser.prog}: error: {problem}")
        args.parser.error(f"{len(problems)} of the addresses above cannot be used; no device was touched")
    if problems:
        args.parser.error(problems[0])
    chosen = [target for target, (_, tags) in targets.items()
              if target not in excluded and (not args.tags or set(args.tags) & set(tags))]
    if not chosen:
        used = " and ".join(option for option, given in (("--exclude", excluded), ("--tag", args.tags)) if given)
        named = "the device named" if len(targets) == 1 else f"none of the {len(targets)} devices named"
        args.parser.error(f"{used} leave{'s' if ' ' not in used else ''} {'out ' * (len(targets) == 1)}{named}; "
                          "no device was touched")
    # Addresses are compared as given, never looked up: a name does not leave out its IP address.
    for target, where in excluded.items():
        if target not in targets:
            args.err.line(f"{args.parser.prog}: warning: {where}: {target.label} is none of the devices named; "
                          "it leaves out nothing")
    for wanted in dict.fromkeys(args.tags):
        if not any(wanted in tags for _, tags in targets.values()):
            args.err.line(f"{args.parser.prog}: warning: --tag {wanted}: no device named carries this tag")
    args.device_tags = {target.label: tuple(targets[target][1]) for target in chosen}
    return chosen


def excluded_targets(args, problems):
    """{target: where it is named} of the devices that --exclude and --exclude-from leave out, each
    once; an address that cannot be used is added to `problems` ("WHERE: why")."""
    from orbisk_tools.engine.targets import parse_address

    excluded = {}
    for where, text in args.excluded:
        try:
            excluded.setdefault(parse_address(text, args.port), where)
        except ValueError as error:
            problems.append(f"{where}: {error}")
    return excluded


def one_address(text):
    """--address HOST[:PORT] of update: a (where, text, tags) entry of the list of devices."""
    return [(f"--address {text}", text, ())]


def one_excluded(text):
    """--exclude HOST[:PORT]: a (where, text) entry of the devices left out."""
    return [(f"--exclude {text}", text)]


def tag(text):
    """--tag TAG: a word as an address list carries it."""
    from orbisk_tools.engine.targets import TAG, TAG_EXPECTED

    if not TAG.fullmatch(text):
        raise argparse.ArgumentTypeError(f"{TAG_EXPECTED.partition(';')[0]}, not {text!r}")
    return text


class AddressFile(argparse.Action):
    """--addresses FILE: adds the file's (where, text, tags) entries to the list of devices, and
    the file to the run's inputs; --exclude-from FILE, its (where, text) entries to those left
    out. A file that cannot be read is a usage error."""

    def __call__(self, parser, namespace, path, option_string=None):
        from orbisk_tools.engine.targets import read_address_list

        try:
            entries = read_address_list(path)
        except (files.Unusable, OSError, UnicodeDecodeError) as error:
            refuse_text_file(parser, path, error)
        if self.dest == "excluded":
            namespace.excluded = [*namespace.excluded, *((where, text) for where, text, _ in entries)]
        elif not entries:
            parser.error(f"{path} lists no address")
        else:
            namespace.devices = [*namespace.devices, *entries]
        namespace.address_files = [*namespace.address_files, path]


def resolve_devices(args, targets):
    """{target: its addresses} (see targets.resolve); two names of one device are a usage error."""
    from orbisk_tools.engine.targets import resolve, same_device

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
    from orbisk_tools.engine import locks

    try:
        with locks.lock_folder() as folder:
            yield folder
    except locks.LockFolderRefused as refused:
        raise Failure(str(refused)) from None


# ---- --json: a report to a file or to standard output ----------------------------------------

def add_json_option(parser, what):
    """--json [FILE|-] of a command whose report replaces its table: `what` ("the attempts") goes
    to FILE, or to standard output when FILE is - or not given."""
    parser.add_argument("--json", nargs="?", const="-", metavar="FILE|-",
                        help=f"write {what} as JSON, instead of the table, to FILE (- or nothing: to standard output)")


@contextlib.contextmanager
def results_output(args, inputs, option="json"):
    """Where --json (or another `option` of its kind: --csv) writes: None; for "-", standard
    output (the rest of the output then goes to standard error); or a files.Output, made before
    anything runs so that an output that cannot be written stops the command first. `inputs` are
    the files the command reads: the output must be none of them (None among them is left out)."""
    path = getattr(args, option)
    if path is None:
        yield None
    elif path == "-":
        results, args.out = args.out, args.err
        yield results
    else:
        named = files.input_named_by(path, [given for given in inputs if given is not None])
        if named is not None:
            args.parser.error(f"--{option} {path} is the same file as {named}, an input of this run; "
                              "name another file for the results")
        try:
            output = files.Output(path)
        except OSError as error:
            raise Failure(files.problem(error)) from None
        with output:
            yield output


def write_report(results, args, report, lost=None):
    """Writes `report` as JSON to `results`, from results_output(); False when it could not be
    written. A file that fails is said here in one line (followed by `lost`, what that leaves);
    standard output, once the command ends (see GuardedOutput.failure)."""
    return write_text(results, args, json.dumps(report, indent=2) + "\n", lost)


def write_text(results, args, text, lost=None):
    """Writes `text` to `results`, as write_report() does."""
    from orbisk_tools.report.output import GuardedOutput

    if isinstance(results, GuardedOutput):
        results.write(text)
        results.flush()
        return results.failure() is None
    try:
        results.commit(text.encode("utf-8"))
    except OSError as error:
        args.err.line(f"orbisk-fpga: error: {files.problem(error)}" + (f"; {lost}" if lost else ""))
        return False
    return True


# ---- vendor signatures: trusted keys and secret-key passwords ---------------------------------

def add_history_options(parser, reads_only=False):
    chosen = parser.add_mutually_exclusive_group()
    chosen.add_argument("--history", metavar="PATH|URL",
                        help="the update history: a file, or a team's database, postgresql://USER@HOST/DB, its "
                             "password in ~/.pgpass (default: $ORBISK_FPGA_HISTORY, else "
                             "$XDG_STATE_HOME/orbisk/history.sqlite3, else ~/.local/state/orbisk/history.sqlite3)")
    chosen.add_argument("--no-history", action="store_true",
                        help="read no update history" if reads_only else
                             "go on without recording in the update history (when it cannot be written)")


def read_history_path(args):
    """Where the history to read is, or None with --no-history."""
    from orbisk_tools.records.attempts import history_path

    return None if args.no_history else history_path(args.history)


def open_history(args):
    """The history that --history or the environment names, or None with --no-history. Raises
    HistoryUnavailable with the one line to show."""
    if getattr(args, "no_history", False):
        return None
    from orbisk_tools.records import attempts, opening

    return opening.open_history(attempts.history_path(args.history))


def refuse_text_file(parser, path, error):
    """A text file the user named (an address list, a faults file) that cannot be used: a usage
    error of `parser` that names it and says what is wrong."""
    if isinstance(error, files.Unusable):
        parser.error(str(error))
    if isinstance(error, UnicodeDecodeError):
        parser.error(f"{path}: not UTF-8 text ({error.reason} at byte {error.start}); save it as UTF-8")
    parser.error(files.problem(error, path))


def one_device(args):
    """The Target of --address, for a command of one device; a usage error when it names none."""
    from orbisk_tools.engine.targets import parse_address

    try:
        return parse_address(args.address, args.port)
    except ValueError as error:
        args.parser.error(f"--address: {error}")
