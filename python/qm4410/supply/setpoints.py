"""Set-points as the supply takes them, and the one rule that turns a number
into what is sent.

The supply takes whole millivolts and milliamperes. A value is taken as it
is written in decimal (the shortest text that gives the float back, so
0.029 is 0.029 and not the binary fraction just below it) and truncated
toward zero to whole units: 0.029 A is 29 mA, 1.0009 V is 1000 mV. That is
the driver's own truncation, free of float artefacts; every door (scripts,
the command, the workflows, the server) sends through `to_units`, so the
same request gives the same set-point wherever it comes from. A value below
0 is refused however little below it is (the driver would truncate -0.0005
to 0), and so is one above the door's bound, in the words of `refusal`."""

import decimal
import numbers
from typing import Literal, NamedTuple

from .errors import OutOfRange

Quantity = Literal["voltage", "current"]
QUANTITIES: tuple[Quantity, ...] = ("voltage", "current")
UNIT: dict[Quantity, str] = {"voltage": "V", "current": "A"}
# What a set-point of each kind is called where no other name is given.
NAME: dict[Quantity, str] = {"voltage": "the voltage", "current": "the current limit"}

PER_UNIT = 1000  # millivolts in a volt, milliamperes in an ampere
RESOLUTION = 1 / PER_UNIT
# Voltages travel in 32 bits of millivolts. A current limit is sent in 32
# bits too, but the status reports currents in 16, so anything above that
# could never be read back as what was asked.
MOST_UNITS: dict[Quantity, int] = {"voltage": 2**32 - 1, "current": 2**16 - 1}
HIGHEST: dict[Quantity, float] = {quantity: units / PER_UNIT for quantity, units in MOST_UNITS.items()}

# A range that would make more steps than this is surely a typing mistake
# (a step of 0.001 where 0.1 was meant), and would run for hours.
MOST_STEPS = 10_000

Number = float | int | decimal.Decimal


def number(value: object, what: str) -> float:
    """`value` as a float; TypeError for anything but a real number (a
    string is refused even when it would convert: it is a mistake here),
    ValueError for one that is not finite."""
    return float(_exact(value, what))


def duration(value: object, what: str) -> float:
    """A time in seconds: a finite number, not below 0."""
    seconds = number(value, what)
    if seconds < 0:
        raise OutOfRange(f"{what} must not be negative, not {value!r} s")
    return seconds


def positive(value: object, what: str) -> float:
    result = number(value, what)
    if result <= 0:
        raise OutOfRange(f"{what} must be above 0, not {value!r}")
    return result


# Whose bound a set-point meets, as a refusal names it.
SUPPLY_RANGE = "the supply's range"
GUARD_RANGE = "the range the guard allows"
# A voltage where the supply's maximum voltage is not known: what can be sent.
SENDABLE = "what the supply can be sent"


class Bound(NamedTuple):
    """The highest set-point a door lets through, in whole mV or mA, and
    whose bound it is, in the words of a refusal."""

    units: int
    whose: str

    @property
    def known(self) -> bool:
        """Whether it is more than what the supply can be sent: the supply's
        own, or a limit."""
        return self.whose != SENDABLE


def core_bound(quantity: Quantity) -> Bound:
    """What the core alone bounds a set-point by: a current limit by what
    the status can report (the supply's range), a voltage by what the
    supply can be sent, since only a reading tells its maximum voltage."""
    return Bound(MOST_UNITS[quantity], SENDABLE if quantity == "voltage" else SUPPLY_RANGE)


def refusal(quantity: Quantity, value: object, what: str, bound: Bound) -> OutOfRange:
    """The one refusal of a set-point outside 0 to `bound`, at every door:
    "the voltage 31 V is outside the supply's range, 0 to 30.000 V"."""
    unit = UNIT[quantity]
    most = from_units(bound.units)
    return OutOfRange(f"{what} {_shown(value)} {unit} is outside {bound.whose}, 0 to {most:.3f} {unit}")


def to_units(quantity: Quantity, value: object, what: str | None = None, bound: Bound | None = None) -> int:
    """The whole millivolts or milliamperes that `value` (volts or amperes)
    is sent as. OutOfRange, naming `what`, for a value below 0 (however
    little: -0.0005 is refused, not truncated to 0; -0.0 is 0) or whose
    units lie above `bound` (the core's own, by default); TypeError for
    what is no number."""
    what = NAME[quantity] if what is None else what
    bound = core_bound(quantity) if bound is None else bound
    exact = _exact(value, what)
    units = int(exact * PER_UNIT)  # int() of a Decimal truncates toward zero
    if exact < 0 or units > bound.units:
        raise refusal(quantity, value, what, bound)
    return units


def from_units(units: int) -> float:
    """Volts or amperes of whole millivolts or milliamperes; the float whose
    decimal form is exactly that, so that `to_units` gives `units` back."""
    return units / PER_UNIT


def setpoint(quantity: Quantity, value: object, what: str | None = None) -> float:
    """`value` as it is sent: on the supply's 1 mV (1 mA) grid."""
    return from_units(to_units(quantity, value, what))


class Span(NamedTuple):
    """A range of set-points: START, START + STEP, ... up to STOP."""

    start: float
    stop: float
    step: float


def span_units(quantity: Quantity, span: Span | tuple[object, object, object]) -> list[int]:
    """The set-points of a range in whole units, each start + k * step
    worked out in decimal (so 0.1 steps land on 0.3, not beside it);
    ValueError for a range that never reaches its stop, has a step finer
    than the supply's resolution or too many steps."""
    start, stop, step = span
    unit = UNIT[quantity]
    to_units(quantity, start, f"the {quantity} range's start")
    to_units(quantity, stop, f"the {quantity} range's stop")
    first, last = _exact(start, "the start"), _exact(stop, "the stop")
    increment = _exact(step, f"the {quantity} range's step")
    if abs(increment) < decimal.Decimal(1) / PER_UNIT:
        raise OutOfRange(
            f"the {quantity} range's step {_shown(step)} {unit} is finer than the supply's {RESOLUTION} {unit}"
        )
    if (last - first) * increment < 0:
        raise OutOfRange(f"the {quantity} range's step {_shown(step)} {unit} leads away from {_shown(stop)} {unit}")
    count = int((last - first) / increment) + 1
    if count > MOST_STEPS:
        raise OutOfRange(f"the {quantity} range {start}:{stop}:{step} makes {count} steps, more than {MOST_STEPS}")
    return [int((first + k * increment) * PER_UNIT) for k in range(count)]


def span_points(quantity: Quantity, span: Span | tuple[object, object, object]) -> list[float]:
    """The set-points of a range, as sent (see span_units)."""
    return [from_units(units) for units in span_units(quantity, span)]


def _exact(value: object, what: str) -> decimal.Decimal:
    """`value` as written in decimal: a Decimal as it is, a float by its
    shortest form, an int exactly."""
    if isinstance(value, decimal.Decimal):
        exact = value
    elif isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    elif isinstance(value, numbers.Integral):
        try:
            float(int(value))  # TOML has integers no float can hold
        except OverflowError:
            raise OutOfRange(f"{what} {value} is too large") from None
        exact = decimal.Decimal(int(value))
    else:
        try:
            exact = decimal.Decimal(repr(float(value)))
        except OverflowError:  # a rational too large for a float
            raise OutOfRange(f"{what} {value} is too large") from None
    if not exact.is_finite():
        raise OutOfRange(f"{what} must be a finite number, not {_shown(value)}")
    return exact


def _shown(value: object) -> str:
    return str(value) if isinstance(value, decimal.Decimal) else repr(value)
