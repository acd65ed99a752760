"""The guard's rules, what a trip is, and whether a status trips them: no
thread, no supply, no clock, only what the rules and a reading say."""

import dataclasses
from typing import ClassVar

from ..errors import SupplyError
from ..setpoints import Quantity, positive, to_units
from ..status import Mode, Status

TRIP_NAMES = ("current", "power", "constant_current", "over_temperature", "watchdog", "no_reply")


@dataclasses.dataclass(frozen=True)
class Rules:
    """The guard's rules, each optional (None, or False for trip_overtemp
    and soft_start); the unit of each number is in UNITS."""

    UNITS: ClassVar[dict[str, str]] = {
        "limit_voltage": "V",
        "limit_current": "A",
        "slew_voltage": "V/s",
        "slew_current": "A/s",
        "trip_current": "A",
        "trip_power": "W",
        "trip_cc_after": "s",
        "watchdog": "s",
    }

    limit_voltage: float | None = None  # V
    limit_current: float | None = None  # A
    slew_voltage: float | None = None  # V/s
    slew_current: float | None = None  # A/s
    trip_current: float | None = None  # A, measured
    trip_power: float | None = None  # W, measured
    trip_cc_after: float | None = None  # s of constant-current regulation
    trip_overtemp: bool = False
    watchdog: float | None = None  # s without a request, with the output on
    soft_start: bool = False  # the output switched on at 0 V, then ramped at slew_voltage

    def __post_init__(self) -> None:
        # A limit is refused as a set-point the supply cannot take is, with
        # the rule's name; 0 is one (the set-point held at 0).
        for name in ("limit_voltage", "limit_current"):
            value = getattr(self, name)
            if value is not None:
                to_units("voltage" if name == "limit_voltage" else "current", value, name)
        for name in ("slew_voltage", "slew_current", "trip_current", "trip_power", "trip_cc_after", "watchdog"):
            value = getattr(self, name)
            if value is not None:
                positive(value, name)
        for name in ("trip_overtemp", "soft_start"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} is True or False, not {getattr(self, name)!r}")
        if self.soft_start and self.slew_voltage is None:
            raise ValueError("soft_start needs slew_voltage, the rate it ramps the voltage at")

    @property
    def watching(self) -> bool:
        """Whether a rule needs the status read all the time."""
        return (self.trip_current, self.trip_power, self.trip_cc_after, self.watchdog) != (None,) * 4 or (
            self.trip_overtemp
        )

    def slew(self, quantity: Quantity) -> float | None:
        return self.slew_voltage if quantity == "voltage" else self.slew_current

    def limit(self, quantity: Quantity) -> float | None:
        return self.limit_voltage if quantity == "voltage" else self.limit_current


@dataclasses.dataclass(frozen=True)
class Trip:
    """What tripped the guard: `name` (one of TRIP_NAMES), why in words,
    when (time.time()), whether a status has read the output off since,
    and, while not, why the last switch-off could not confirm it (None
    before one has ended)."""

    name: str
    reason: str
    at: float
    output_off: bool = False
    failure: str | None = None

    def __str__(self) -> str:
        return f"the guard tripped on {self.name} ({self.reason})"

    @property
    def output_left(self) -> str:
        """How the trip has left the output, in words."""
        if self.output_off:
            return "the output is off"
        return self.failure or "the output is being switched off"


class Tripped(SupplyError):
    """A request refused because the guard has tripped (switching the output
    on); `trip` tells which trip."""

    def __init__(self, trip: Trip) -> None:
        super().__init__(f"{trip}; {trip.output_left}; clear the trip to switch it on")
        self.trip = trip


def trip_of(rules: Rules, status: Status, *, cc_for: float, idle: float) -> tuple[str, str] | None:
    """The trip that `status` fires under `rules`, if any, as (name, reason):
    `cc_for` is how long the supply has been regulating in constant current
    (0 while it is not), `idle` how long since the last request. The
    over-temperature flag first, then the measured current and power, then
    how long in constant current, then the watchdog."""
    if rules.trip_overtemp and status.over_temperature:
        return "over_temperature", "the supply reports over-temperature"
    if rules.trip_current is not None and status.measured_current > rules.trip_current:
        return "current", f"{status.measured_current:.3f} A measured, above {rules.trip_current:g} A"
    if rules.trip_power is not None and status.power > rules.trip_power:
        return "power", f"{status.power:.3f} W measured, above {rules.trip_power:g} W"
    if rules.trip_cc_after is not None and cc_for >= rules.trip_cc_after:
        return "constant_current", f"in constant current for {cc_for:.1f} s, {rules.trip_cc_after:g} s allowed"
    if rules.watchdog is not None and status.output and idle >= rules.watchdog:
        return "watchdog", f"no request for {idle:.1f} s with the output on, {rules.watchdog:g} s allowed"
    return None


def in_constant_current(status: Status) -> bool:
    """Whether the reading counts toward the constant-current trip."""
    return status.output and status.mode == Mode.CC
