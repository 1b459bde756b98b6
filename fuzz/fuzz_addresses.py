"""Fuzz target: the addresses of devices, as orbisk-fpga reads them.

Each input scripts the devices a user names: --address values as the shell gives them, and a
file of addresses for --addresses with fuzzed contents, with a fuzzed default --port. Every
address goes through targets.parse_address, the file through targets.read_address_list, and the
whole list through the command line's device_targets, as update, verify, status and init do.

What must hold, whatever the texts:
- parse_address returns a Target or raises ValueError with one line; nothing else escapes, and
  no name is looked up (the resolver is never asked).
- A Target's port is the one given or the default, from 1 to 65535; its host is an IP address
  in its canonical form, the same address as given (an IPv6 scope id unchanged), that names a
  single device; or a host name of letters, digits, hyphens and dots in lower case that the
  system would never read as an IPv4 address written in numbers (inet_aton). Its label parses
  back to the same Target.
- read_address_list returns (where, text, tags) entries or raises files.Unusable or
  UnicodeDecodeError; device_targets returns each Target once, in order, or refuses with one
  usage error line, after one line per address (or tag) it cannot use. (A line shows the text given as
  it is: a line break in it is the display's to show.)

    python fuzz/fuzz_addresses.py -max_total_time=60
"""

import ipaddress
import os
import socket
import types

from fuzz_harness import (FuzzInput, FuzzScript, Lines, Refused, RefusingParser, Unexpected, expect, expect_one_line,
                          run, scratch_directory)
from orbisk_tools.formats import files
from orbisk_tools.engine import targets as addresses
from orbisk_tools.cli import arguments as shared

workdir = scratch_directory("addresses")
LIST = os.path.join(workdir, "devices.txt")
PORTS = [5025, 1, 65535, 8080]
NAME_CHARACTERS = set("abcdefghijklmnopqrstuvwxyz0123456789-.")


def _no_look_up(*args, **kwargs):
    raise Unexpected("a name was looked up", args)


def _numeric_ipv4(name):
    """Whether the system would read `name` as an IPv4 address (1.2.3.4, but also 127.1, 0x7f.1, 017...)."""
    try:
        socket.inet_aton(name)
    except OSError:
        return False
    return True


def _given_host(text):
    """The host part of an address as written, before any canonical form."""
    text = text.strip()
    if text.startswith("["):
        return text[1:].partition("]")[0]
    return text if text.count(":") > 1 else text.partition(":")[0]


def check_target(text, default_port):
    try:
        target = addresses.parse_address(text, default_port)
    except ValueError as error:
        expect(type(error) is ValueError, "parse_address raised another ValueError", error)
        expect_one_line(str(error), "a refused address", [text])
        return None
    expect(isinstance(target, addresses.Target) and type(target.port) is int and 1 <= target.port <= 65535,
           "parse_address returned no Target with a port", target)
    host = target.host
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        ip = None
    if ip is None:
        expect(host and set(host) <= NAME_CHARACTERS and host == host.lower(), "a host name of other characters", host)
        expect(not _numeric_ipv4(host) and not _numeric_ipv4(host.rstrip(".")),
               "a host name that the system reads as an IPv4 address", text, host)
    else:
        expect(host == str(ip), "an IP address not in its canonical form", host)
        expect(ip == ipaddress.ip_address(_given_host(text)), "not the address given", text, host)
        expect(not (ip.is_multicast or ip.is_unspecified) and host != "255.255.255.255",
               "an address that names no single device", host)
    expect(addresses.parse_address(target.label, default_port % 65535 + 1) == target,
           "the label does not name the same target", target.label, target)
    return target


def check(data):
    script = FuzzInput(data)
    default_port = script.choice(PORTS)
    given = [(f"--address {text}", text, ()) for text in (script.argument(80) for _ in range(script.number(5)))]
    if script.choice(["file", "none"]) == "file":
        with open(LIST, "wb") as file:
            file.write(script.bytes(1500))
        try:
            given += addresses.read_address_list(LIST)
        except (files.Unusable, UnicodeDecodeError):
            pass
    saved = socket.getaddrinfo, socket.gethostbyname, socket.gethostbyname_ex
    socket.getaddrinfo = socket.gethostbyname = socket.gethostbyname_ex = _no_look_up
    try:
        targets = [check_target(text, default_port) for _, text, _ in given]
        bad_tag = any(not addresses.TAG.fullmatch(tag) for _, _, tags in given for tag in tags)
        err = Lines()
        args = types.SimpleNamespace(devices=given, excluded=[], tags=[], port=default_port, parser=RefusingParser(),
                                     err=err)
        try:
            chosen = shared.device_targets(args)
        except Refused as refused:
            texts = [" ".join((text, *tags)) for _, text, tags in given] + [where for where, _, _ in given]
            expect_one_line(str(refused), "a refused list of addresses", texts)
            for line in err.lines:
                expect_one_line(line, "a line about an address", texts)
            expect(not given or None in targets or len(set(targets)) < len(targets) or bad_tag,
                   "device_targets refused addresses that parse, each once", given)
            return
    finally:
        socket.getaddrinfo, socket.gethostbyname, socket.gethostbyname_ex = saved
    expect(chosen == list(dict.fromkeys(targets)) and None not in targets and len(set(targets)) == len(targets)
           and not bad_tag,
           "device_targets did not return each address once, in order", chosen, targets)


def seeds():
    """Addresses of each form, good and bad; and a file of them with comments, blank lines, a
    repeated device and a line that is no address."""
    def script(addresses, listing=None, port=5025):
        out = FuzzScript().choice(PORTS, port).number(len(addresses), 5)
        for text in addresses:
            out.bytes(text, 80)
        if listing is None:
            out.choice(["file", "none"], "none")
        else:
            out.choice(["file", "none"], "file").bytes(listing, 1500)
        return bytes(out.data)

    yield script([b"192.168.1.20", b"device-7.site.example:5026", b"[fd00::1]:5025", b"fe80::1%eth0"])
    yield script([b"[FE80::0001%Eth0]:80", b"10.0.0.1:0", b"10.0.0.1:65536", b"host:port"], port=1)
    yield script([b"224.0.0.1", b"0.0.0.0", b"255.255.255.255", b"[::]"])
    yield script([b"127.1", b"0x7f000001", b"1.0x7f", b"017700000001"])
    yield script([b"a.b.c.", b"-bad.example", b"x" * 64, b"\xff\xfe.example"])
    yield script([b"  spaced.example  ", b"Device-7.Site.Example.", b"[::ffff:10.0.0.1]", b"10.0.0.1:05025"])
    yield script([b"1.2.3.4"], b"# site A\n10.0.0.1\n\n10.0.0.2:5026  # lab\n10.0.0.1\nnot an address\n")
    yield script([], b"10.0.0.1 rack1 north\n10.0.0.2\track-2  # spare\n10.0.0.3 5026\n10.0.0.4 r\xc3\xa4ck\n")
    yield script([], b"\xff\xfe not text\n")


if __name__ == "__main__":
    run("addresses", check, seeds, ["orbisk_tools.engine.targets", "orbisk_tools.cli.options", "orbisk_tools.cli.arguments",
                                    "ipaddress"])
