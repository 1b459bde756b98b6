"""The devices of a run: addresses as the user gives them (HOST, HOST:PORT, [IPv6]:PORT, list
files), each looked up once, before any device is touched, so that one device named twice is refused."""

from __future__ import annotations

import dataclasses
import ipaddress
import re
import socket
from collections.abc import Sequence

from orbisk_tools.engine.connection import cannot_connect
from orbisk_tools.engine.outcomes import DeviceFailure
from orbisk_tools.formats import files


# ---- addresses ----------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Target:
    host: str  # a host name in lower case, or an IP address in its canonical form (a scope id as given)
    port: int

    @property
    def label(self) -> str:
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"


# What resolve() finds: each target's addresses, or why it has none.
Resolved = dict[Target, list[str] | DeviceFailure]


# A host name: dot-separated labels of letters, digits and inner hyphens (a final dot allowed).
HOST_NAME = re.compile(r"(?=.{1,253}$)(?!-)[A-Za-z0-9-]{1,63}(?<!-)(\.(?!-)[A-Za-z0-9-]{1,63}(?<!-))*\.?")
EXPECTED = "expected HOST, HOST:PORT or [IPv6]:PORT"


def parse_address(text: str, default_port: int) -> Target:
    """HOST, HOST:PORT, [IPv6] or [IPv6]:PORT (a bare IPv6 address takes the default port).
    HOST is an IP address or a host name; anything else is refused here, before any name look-up."""
    text = text.strip()
    port: str | None = None
    if text.startswith("["):
        host, bracket, rest = text[1:].partition("]")
        if not bracket or (rest and not rest.startswith(":")):
            raise ValueError(f"{text!r} is not an address: expected [IPv6] or [IPv6]:PORT")
        port = rest[1:] if rest else None
        if not _ip(host, ipaddress.IPv6Address):
            raise ValueError(f"{text!r} is not an address: {host!r} is not an IPv6 address")
    elif text.count(":") > 1:
        host = text
        if not _ip(host, ipaddress.IPv6Address):
            raise ValueError(f"{text!r} is not an address: {EXPECTED}")
    else:
        host, colon, port = text.partition(":")
        port = port if colon else None
        if not host:
            raise ValueError(f"{text!r} names no host")
        # A name whose last label is a number would go to the resolver as a name, and one that the
        # system reads as numbers (127.1, 0x7f000001) as an address that no check here has seen:
        # only a whole IPv4 address may be either.
        if not HOST_NAME.fullmatch(host) or (not _ip(host, ipaddress.IPv4Address) and (
                host.rstrip(".").rpartition(".")[2].isdigit() or _read_as_ipv4(host))):
            raise ValueError(f"{text!r} is not an address: {EXPECTED}")
    number: int | None = None
    if port is not None:
        try:
            number = int(port)
        except ValueError:
            number = None
        if number is None or not 1 <= number <= 65535:
            raise ValueError(f"{text!r}: expected a port from 1 to 65535, not {text.rpartition(':')[2]!r}")
    ip: ipaddress.IPv4Address | ipaddress.IPv6Address | None
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        ip = None  # a host name
    if ip is not None:
        host = str(ip)
        refusal = _not_a_device(ip)
        if refusal:
            raise ValueError(f"{text!r} is not the address of a device: {refusal}")
    return Target(host if ip is not None else host.lower(), default_port if number is None else number)


# An IPv6 scope id: an interface's name or index, which a label must carry back unchanged.
SCOPE_ID = re.compile(r"[A-Za-z0-9_.-]{1,64}")


def _not_a_device(ip: ipaddress.IPv4Address | ipaddress.IPv6Address) -> str | None:
    """Why the IP address `ip` names no single device, or None."""
    if ip.is_unspecified:
        return "it is the unspecified address"
    if ip.is_multicast:
        return "it is a multicast address"
    if ip == ipaddress.IPv4Address("255.255.255.255"):
        return "it is the broadcast address"
    scope = getattr(ip, "scope_id", None)
    if scope is not None and not SCOPE_ID.fullmatch(scope):
        return f"the scope id {scope!r} is not an interface name or number"
    return None


def _read_as_ipv4(name: str) -> bool:
    """Whether the system reads `name`, without a final dot, as an IPv4 address written in
    numbers, as inet_aton does (a local parse: nothing is looked up)."""
    try:
        socket.inet_aton(name.rstrip("."))
    except OSError:
        return False
    return True


def _ip(text: str, kind: type[ipaddress.IPv4Address | ipaddress.IPv6Address]) -> bool:
    try:
        kind(text)
    except ValueError:
        return False
    return True


# A device's tag in an address list: a word that begins with a letter, so that a port written
# after a space ("192.168.1.20 5026") is refused, not taken for a tag.
TAG = re.compile(r"[^\W\d_][\w.-]{0,63}")
TAG_EXPECTED = "a tag is a word that begins with a letter; a port follows a colon: HOST:PORT"

# A list of devices is a line each: even a large site's fits many times over.
MAX_ADDRESS_LIST_SIZE = 16 * 1024 * 1024


def read_address_list(path: str) -> list[tuple[str, str, tuple[str, ...]]]:
    """The addresses of a file, one HOST[:PORT] a line, each followed by the device's tags if it
    has any ("192.168.1.20 rack1 north"), # comments: [(where, text, tags)]. Raises
    files.Unusable for a file that is not a regular one, or too large, OSError for one that cannot
    be read, UnicodeDecodeError for one that is not UTF-8."""
    lines = files.read_trusted_file(path, MAX_ADDRESS_LIST_SIZE, "a list of addresses").decode("utf-8").splitlines()
    entries = [(f"{path} line {number}", line.partition("#")[0].split()) for number, line in enumerate(lines, 1)]
    return [(where, words[0], tuple(words[1:])) for where, words in entries if words]


# ---- one device: addresses, lock and connection ------------------------------------------

def resolve(targets: Sequence[Target]) -> Resolved:
    """{target: the sorted IP addresses its host name resolves to, or the DeviceFailure of a name
    that is not found}, in the order of `targets`, with one look-up per host."""
    found: dict[str, list[str] | DeviceFailure] = {}
    for host in dict.fromkeys(target.host for target in targets):
        try:
            found[host] = sorted({str(info[4][0]) for info in socket.getaddrinfo(host, None, type=socket.SOCK_STREAM)})
        except (socket.gaierror, UnicodeError) as error:  # UnicodeError: a name that cannot be encoded
            reason = getattr(error, "strerror", None) or str(error)
            found[host] = cannot_connect("name_not_found", f"name not found ({reason}); check the address")
    return {target: found[target.host] for target in targets}


def same_device(resolved: Resolved) -> tuple[Target, Target, Target] | None:
    """(first, second, Target of a shared address) for two targets of `resolved` that name one
    device, a port on an address that both names resolve to; None when every device is named once."""
    seen: dict[tuple[str, int], Target] = {}
    for target, addresses in resolved.items():
        if isinstance(addresses, DeviceFailure):
            continue
        for address in addresses:
            first = seen.setdefault((address, target.port), target)
            if first is not target:
                return first, target, Target(address, target.port)
    return None
