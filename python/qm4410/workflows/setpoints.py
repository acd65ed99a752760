"""Set-points as the supply takes them: whole millivolts and milliamperes,
within what its wire format can carry."""

import math
import numbers
from typing import Literal, NamedTuple

Quantity = Literal["voltage", "current"]
QUANTITIES: tuple[Quantity, ...] = ("voltage", "current")
UNIT = {"voltage": "V", "current": "A"}

RESOLUTION = 0.001  # 1 mV, 1 mA
PER_UNIT = 1000  # millivolts in a volt, milliamperes in an ampere
# Voltages travel in 32 bits of millivolts. A current limit is sent in 32
# bits too, but the supply reports currents in 16, so anything above that
# could never be read back as what was asked.
HIGHEST = {"voltage": (2**32 - 1) / PER_UNIT, "current": (2**16 - 1) / PER_UNIT}

# A range that would make more steps than this is surely a typing mistake
# (a step of 0.001 where 0.1 was meant), and would run for hours.
MOST_STEPS = 10_000


def number(value: object, what: str) -> float:
    """`value` as a float; TypeError for anything but an int or a float
    (a string is refused even when it would convert: it is a mistake here)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:  # an int too large for a float (TOML has them)
        raise ValueError(f"{what} {value} is too large") from None
    if not math.isfinite(result):
        raise ValueError(f"{what} must be a finite number, not {value!r}")
    return result


def duration(value: object, what: str) -> float:
    """A time in seconds: a finite number, not below 0."""
    seconds = number(value, what)
    if seconds < 0:
        raise ValueError(f"{what} must not be negative, not {value!r} s")
    return seconds


def positive(value: object, what: str) -> float:
    result = number(value, what)
    if result <= 0:
        raise ValueError(f"{what} must be above 0, not {value!r}")
    return result


def setpoint(quantity: Quantity, value: object, what: str) -> float:
    """`value` rounded to the supply's resolution; ValueError when it is
    outside what can be sent."""
    result = number(value, what)
    unit, highest = UNIT[quantity], HIGHEST[quantity]
    if not 0 <= result <= highest:
        raise ValueError(f"{what} {value!r} {unit} is outside the supply's range, 0 to {highest:.3f} {unit}")
    return rounded(result)


def rounded(value: float) -> float:
    """`value` to the nearest whole millivolt or milliampere."""
    return round(value * PER_UNIT) / PER_UNIT


def sent_as(value: float) -> float:
    """A float that the driver sends as exactly `value`'s whole units. The
    driver truncates value x 1000, and 1.001 x 1000 lies just below 1001."""
    units = round(value * PER_UNIT)
    wire = units / PER_UNIT
    while int(wire * PER_UNIT) < units:
        wire = math.nextafter(wire, math.inf)
    return wire


class Span(NamedTuple):
    """A range of set-points: START, START + STEP, ... up to STOP."""

    start: float
    stop: float
    step: float


def span_points(quantity: Quantity, span: Span | tuple[float, float, float]) -> list[float]:
    """The set-points of a range, each rounded to the supply's resolution;
    ValueError for a range that never reaches its stop or has too many steps."""
    start, stop, step = span
    first = setpoint(quantity, start, f"the {quantity} range's start")
    last = setpoint(quantity, stop, f"the {quantity} range's stop")
    step = number(step, f"the {quantity} range's step")
    unit = UNIT[quantity]
    if abs(step) < RESOLUTION:
        raise ValueError(f"the {quantity} range's step {step!r} {unit} is finer than the supply's {RESOLUTION} {unit}")
    if (last - first) * step < 0:
        raise ValueError(f"the {quantity} range's step {step!r} {unit} leads away from {stop!r} {unit}")
    count = math.floor(abs(last - first) / abs(step) + 1e-9) + 1
    if count > MOST_STEPS:
        raise ValueError(f"the {quantity} range {start}:{stop}:{step} makes {count} steps, more than {MOST_STEPS}")
    return [setpoint(quantity, first + k * step, f"the {quantity} range's step {k}") for k in range(count)]
