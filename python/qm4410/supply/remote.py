"""A supply reached through a URL (rfc2217://host:port): why it could not
be opened, or was lost, told from pyserial's reason as what to do."""

import errno
import re
import socket
from types import ModuleType
from urllib.parse import urlsplit

from .errors import RefusalKind, Refused

_ERRNO = re.compile(r"\[Errno (-?\d+)\]")


def _codes(module: ModuleType, *names: str) -> set[int]:
    """The codes of those `names` this system has."""
    return {getattr(module, name) for name in names if hasattr(module, name)}


# What a failed name lookup raises (socket.gaierror) carries one of these.
_NO_SUCH_HOST = _codes(socket, "EAI_NONAME", "EAI_AGAIN", "EAI_FAIL", "EAI_NODATA")
_REFUSED = _codes(errno, "ECONNREFUSED", "WSAECONNREFUSED")
_UNREACHABLE = _codes(errno, "ETIMEDOUT", "EHOSTUNREACH", "ENETUNREACH", "EHOSTDOWN", "ENETDOWN")
# A server that takes the connection and then drops it: ser2net does so to
# every client but the one it serves.
_HUNG_UP = _codes(errno, "EPIPE", "ECONNRESET", "ECONNABORTED")
_NO_NEGOTIATION = "Remote does not seem to support RFC2217"
_NO_FLOW_CONTROL_ANSWER = "timeout while waiting for option 'control'"
_TIMED_OUT = "timed out"
# How the driver's line and pyserial's message begin, before the cause.
_PREAMBLE = re.compile(r"^(?:Cannot open serial port|unexpected )(?:Could not open port .*?: )?")


def is_url(port: str) -> bool:
    """Whether `port` is a URL (rfc2217://host:port and the like) rather
    than a device of this machine, which can be looked at before opening."""
    return "://" in port


def refusal(url: str, reason: str) -> Refused:
    """What to do about the URL `url` that open() refused for `reason`, the
    line it printed."""
    where = _where(url)
    reason = _PREAMBLE.sub("", reason).strip().removeprefix(f"{url}:").strip()
    found = _ERRNO.search(reason)
    code = int(found.group(1)) if found else None
    if code in _NO_SUCH_HOST:
        return Refused(
            RefusalKind.HOST_UNKNOWN,
            f"the host of {url} is not known ({reason}); check its name, or give its address instead",
        )
    if code in _REFUSED:
        return Refused(
            RefusalKind.CANNOT_CONNECT,
            f"nothing accepts connections at {where} (connection refused); check that the server there "
            "(ser2net, qm4410 serve) runs and listens on that port",
        )
    if code in _UNREACHABLE or (code is None and reason.endswith(_TIMED_OUT)):
        return Refused(
            RefusalKind.CANNOT_CONNECT,
            f"{where} cannot be reached ({reason}); check the address and the network between",
        )
    if code in _HUNG_UP or _NO_NEGOTIATION in reason:
        return Refused(
            RefusalKind.REMOTE_BUSY,
            f"the server at {where} hung up on this client: it serves another one already (ser2net serves "
            "one client at a time), or it speaks no RFC 2217 (a raw TCP port; ser2net's accepter must be "
            "telnet(rfc2217))",
        )
    if _NO_FLOW_CONTROL_ANSWER in reason:
        return Refused(
            RefusalKind.CANNOT_OPEN,
            f"the server at {where} never confirmed the flow control: the device it serves has no modem lines "
            "(a pseudo-terminal, a bare UART); add ?ign_set_control to the URL",
        )
    return Refused(
        RefusalKind.CANNOT_OPEN, f"could not open {url}: {reason} (a port elsewhere is named rfc2217://HOST:PORT)"
    )


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
