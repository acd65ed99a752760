"""Who may connect: the one check of a client's address against the
networks the server allows (`--allow`), which every endpoint makes before
it serves a client anything, whatever its protocol."""

import ipaddress
from collections.abc import Sequence

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


def address_text(host: str) -> str:
    """A client's address as text; an IPv4 client of a dual-stack socket as
    its plain IPv4 address."""
    address = ipaddress.ip_address(host.split("%")[0])
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped:
        return str(address.ipv4_mapped)
    return str(address)


def refusal(host: str, allowed: Sequence[Network]) -> str | None:
    """Why a client from `host` may not connect, or None when it may: every
    client may when no network is given."""
    if allowed and not any(ipaddress.ip_address(address_text(host)) in network for network in allowed):
        return "its address is not in any --allow network"
    return None
