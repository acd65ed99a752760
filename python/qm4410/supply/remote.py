"""A supply reached through a URL (rfc2217://host:port): why it could not
be opened, told by the kind of the refusal as what to do, or was lost."""

from urllib.parse import parse_qs, urlsplit

import serial

from qm4410 import _line

from .errors import RefusalKind, Refused

# Why a server takes the connection and then drops it, or never takes part
# in the RFC 2217 negotiation: ser2net does so to every client but the one
# it serves.
_HUNG_UP = (
    "hung up on this client: it serves another one already (ser2net serves one client at a time), or it speaks "
    "no RFC 2217 (a raw TCP port; ser2net's accepter must be telnet(rfc2217))"
)


def is_url(port: str) -> bool:
    """Whether `port` is a URL (rfc2217://host:port and the like) rather
    than a device of this machine, which can be looked at before opening."""
    return "://" in port


def refusal(url: str, error: _line.OpenError) -> Refused:
    """What to do about the URL `url`, whose opening ended in `error`."""
    where = _where(url)
    reason = _root(error)
    if isinstance(error, _line.UnknownHost):
        return Refused(
            RefusalKind.HOST_UNKNOWN,
            f"the host of {url} is not known ({reason}); check its name, or give its address instead",
        )
    if isinstance(error, _line.ConnectionRefused):
        return Refused(
            RefusalKind.CANNOT_CONNECT,
            f"nothing accepts connections at {where} (connection refused); check that the server there "
            "(ser2net, qm4410 serve) runs and listens on that port",
        )
    if isinstance(error, _line.Unreachable):
        return Refused(
            RefusalKind.CANNOT_CONNECT,
            f"{where} cannot be reached ({reason}); check the address and the network between",
        )
    if isinstance(error, _line.HungUp):
        return Refused(RefusalKind.REMOTE_BUSY, f"the server at {where} {_HUNG_UP}")
    if type(error) is _line.OpenError and isinstance(reason, serial.SerialException) and _speaks_rfc2217(url):
        # pyserial's own words, raised from nothing: the connection was
        # taken, and the negotiation that follows it failed. Only those
        # words tell whether the flow control went unconfirmed, the likelier
        # unless the URL asks for no confirmation.
        if _waits_for_flow_control(url):
            return Refused(
                RefusalKind.CANNOT_OPEN,
                f"the server at {where} did not finish the RFC 2217 negotiation ({reason}): if it never "
                "confirmed the flow control, the device it serves has no modem lines (a pseudo-terminal, a bare "
                f"UART): add ?ign_set_control to the URL; else it {_HUNG_UP}",
            )
        return Refused(
            RefusalKind.REMOTE_BUSY,
            f"the server at {where} did not finish the RFC 2217 negotiation ({reason}): it {_HUNG_UP}",
        )
    return Refused(RefusalKind.CANNOT_OPEN, f"{error} (a port elsewhere is named rfc2217://HOST:PORT)")


def _root(error: BaseException) -> BaseException:
    """The exception that `error` was raised from at the end of its chain:
    the failure of the system or of pyserial that started it."""
    seen = {id(error)}
    while (below := error.__cause__ or error.__context__) is not None and id(below) not in seen:
        seen.add(id(below))
        error = below
    return error


def _speaks_rfc2217(url: str) -> bool:
    return url.lower().startswith("rfc2217://")


def _waits_for_flow_control(url: str) -> bool:
    """Whether pyserial waits for the server to confirm the flow control:
    unless the URL says ?ign_set_control."""
    try:
        return "ign_set_control" not in parse_qs(urlsplit(url).query, keep_blank_values=True)
    except ValueError:  # a malformed URL, such as an unclosed [IPv6 address
        return True


def lost_message(port: str, error: BaseException) -> str:
    """What to say when the line to the supply on `port` failed with `error`."""
    if not is_url(port):
        return f"lost the line to the supply: {error}"
    return (
        f"lost the connection to {port}: {error}; check the network, and that the server at {_where(port)} still runs"
    )


def _where(url: str) -> str:
    try:
        return urlsplit(url).netloc or url
    except ValueError:  # a malformed one, such as an unclosed [IPv6 address
        return url
