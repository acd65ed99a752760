"""The values options take, as argparse types: each turns the text typed
into the value meant, or refuses it with the reason, which argparse shows
beside the option's name (exit 2). Set-points, times and rates are refused
by the supply core's own checks, in its words, the same at every door."""

import argparse
import ipaddress
from collections.abc import Callable

from qm4410.server.epics import checked_prefix
from qm4410.supply import setpoints
from qm4410.supply.setpoints import Quantity, Span
from qm4410.workflows import iv_plot

from . import plot

LARGEST_COUNT = 2**32 - 1
LINE_SPEEDS = (1, 10_000_000)  # baud, as qm4410-sim takes them
# The server's SCPI commands still read the largest set-point here.
LARGEST_SETPOINT = setpoints.HIGHEST["voltage"]
HTTP_TOKEN_LEAST = 12  # characters


def number(text: str) -> float:
    """The number typed; whether it may be infinite or NaN is for the
    check it goes to."""
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a number") from None


def checked_by(check: Callable[[float], object]) -> Callable[[str], float]:
    """A number, refused as `check` (one of the supply core's) refuses it,
    so that no value reaches a run that would stop it there."""

    def value(text: str) -> float:
        typed = number(text)
        try:
            check(typed)
        except (ValueError, TypeError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return typed

    return value


def quantity(which: Quantity, what: str) -> Callable[[str], float]:
    """A voltage or current as typed, within what the supply can be sent
    (it goes out truncated to whole mV or mA, by the core's one rule)."""
    return checked_by(lambda value: setpoints.to_units(which, value, what))


def positive_quantity(which: Quantity, what: str) -> Callable[[str], float]:
    """A voltage or current above 0, within what the supply carries."""
    return checked_by(lambda value: setpoints.to_units(which, setpoints.positive(value, what), what))


def above_zero(what: str) -> Callable[[str], float]:
    return checked_by(lambda value: setpoints.positive(value, what))


def time_span(what: str) -> Callable[[str], float]:
    """Seconds, 0 or more."""
    return checked_by(lambda value: setpoints.duration(value, what))


def setpoint_or_range(which: Quantity) -> Callable[[str], float | Span]:
    """A set-point, or the range START:STOP:STEP, as the sweep steps it."""
    fixed = quantity(which, setpoints.NAME[which])

    def value(text: str) -> float | Span:
        parts = text.split(":")
        if len(parts) == 1:
            return fixed(text)
        if len(parts) != 3:
            raise argparse.ArgumentTypeError(f"{text} is neither a value nor START:STOP:STEP")
        span = Span(*(number(part) for part in parts))
        try:
            setpoints.span_units(which, span)
        except (ValueError, TypeError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return span

    return value


def seconds_or_never(text: str) -> float:
    """A number of seconds, 0 standing for never."""
    value = number(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} is not a number of seconds (0 or more)")
    return value


def pixels(text: str) -> tuple[int, int]:
    width, _, height = text.lower().partition("x")
    if not (width.isdigit() and height.isdigit()):
        raise argparse.ArgumentTypeError(f"{text} is not WIDTHxHEIGHT, e.g. 1000x750")
    low, high = plot.SIDE_PIXELS
    if not (low <= int(width) <= high and low <= int(height) <= high):
        raise argparse.ArgumentTypeError(f"{text}: each side takes {low} to {high} pixels")
    return int(width), int(height)


def plot_file(text: str) -> str:
    if iv_plot.format_of(text) is None:
        formats = ", ".join("." + name for name in iv_plot.FORMATS)
        raise argparse.ArgumentTypeError(f"{text}: the format comes from the extension, one of {formats}")
    return text


def port_name(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the port name is empty")
    return text


def epics_prefix(text: str) -> str:
    try:
        return checked_prefix(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def http_token(text: str) -> str:
    """A control token: printable ASCII without spaces, as a header carries
    it, and long enough not to be guessed."""
    if len(text) < HTTP_TOKEN_LEAST or not all("!" <= c <= "~" for c in text):
        raise argparse.ArgumentTypeError(
            f"the token must be at least {HTTP_TOKEN_LEAST} characters of printable ASCII without spaces"
        )
    return text


def path(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the path is empty")
    return text


def listening_address(text: str) -> tuple[str | None, int]:
    """[HOST:]PORT, the host in brackets when it is an IPv6 address; port 0
    lets the system pick a free one."""
    host, colon, port = text.rpartition(":")
    if colon and host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if (colon and not host.strip()) or not (port.isdigit() and int(port) <= 65535):
        raise argparse.ArgumentTypeError(f"{text} is not [HOST:]PORT with a port from 0 to 65535")
    return host or None, int(port)


def bind_address(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("the address is empty (0.0.0.0 listens on every address, if that is meant)")
    return text


def network(text: str) -> ipaddress.IPv4Network | ipaddress.IPv6Network:
    try:
        return ipaddress.ip_network(text, strict=False)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a network such as 192.168.1.0/24 or an address") from None


def ohms(text: str) -> float:
    value = number(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"{text} is not a resistance above 0 ohms")
    return value


def count(text: str) -> int:
    return _whole(text, 1, LARGEST_COUNT)


def baud(text: str) -> int:
    return _whole(text, *LINE_SPEEDS)


def _whole(text: str, low: int, high: int) -> int:
    if not (text.isdigit() and low <= int(text) <= high):
        raise argparse.ArgumentTypeError(f"{text} is not a whole number from {low} to {high}")
    return int(text)
