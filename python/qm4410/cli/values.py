"""The values options take, as argparse types: each turns the text typed
into the value meant, or refuses it with the reason, which argparse shows
beside the option's name (exit 2)."""

import argparse
import ipaddress
import math
from collections.abc import Callable

from qm4410.supply.setpoints import Quantity, Span, duration, positive
from qm4410.supply.setpoints import setpoint as workflow_setpoint

from . import plot

# The largest set-point the wire can carry: 2**32 - 1 mV or mA.
LARGEST_SETPOINT = 4294967.295
LARGEST_COUNT = 2**32 - 1
LINE_SPEEDS = (1, 10_000_000)  # baud, as qm4410-sim takes them


def setpoint(text: str) -> float:
    value = _number(text)
    if not 0 <= value <= LARGEST_SETPOINT:
        raise argparse.ArgumentTypeError(f"{text} is outside 0..{LARGEST_SETPOINT}")
    return value


def seconds(text: str) -> float:
    value = _number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def seconds_or_never(text: str) -> float:
    """A number of seconds, 0 standing for never."""
    value = _number(text)
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
    if plot.format_of(text) is None:
        raise argparse.ArgumentTypeError(f"{text}: the format comes from the extension, one of {', '.join(plot.FORMATS)}")
    return text


def port_name(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the port name is empty")
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
    value = float("inf") if text == "inf" else _number(text)
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


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text} is not a finite number")
    return value


def setpoint_or_range(text: str) -> float | Span:
    """A set-point, or START:STOP:STEP; the workflow checks the range."""
    parts = text.split(":")
    if len(parts) == 1:
        return _number(text)
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"{text} is neither a value nor START:STOP:STEP")
    return Span(*(_number(part) for part in parts))


def checked_by(check: Callable[[float], float]) -> Callable[[str], float]:
    """A number, refused as the workflows refuse it (their words name what
    it is), so that no value reaches a run that would stop it there."""

    def value(text: str) -> float:
        try:
            return check(_number(text))
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None

    return value


def quantity(which: Quantity, what: str, above_zero: bool = False) -> Callable[[str], float]:
    """A voltage or current within what the supply carries (and above 0)."""
    if above_zero:
        return checked_by(lambda value: workflow_setpoint(which, positive(value, what), what))
    return checked_by(lambda value: workflow_setpoint(which, value, what))


def time_span(what: str) -> Callable[[str], float]:
    """Seconds, 0 or more."""
    return checked_by(lambda value: duration(value, what))


def above_zero(what: str) -> Callable[[str], float]:
    return checked_by(lambda value: positive(value, what))

