"""The highest set-points the server lets any client send, so that a shared
supply cannot be driven past what its load survives; and the requests of
RFC 2217 clients checked against them and against the supply's range."""

from ..supply import setpoints, wire
from ..supply.errors import OutOfRange
from ..supply.setpoints import Quantity

OPTION: dict[Quantity, str] = {"voltage": "--limit-voltage", "current": "--limit-current"}
# What each set-point request sets, in the core's words for its refusals.
REQUESTED: dict[int, tuple[Quantity, str]] = {
    wire.SET_VOLTAGE: ("voltage", "the voltage"),
    wire.SET_MAX_VOLTAGE: ("voltage", "the maximum voltage"),
    wire.SET_CURRENT: ("current", "the current limit"),
}


class Limits:
    """`volts` bounds the voltage and the maximum voltage, `amperes` the
    current limit; None bounds nothing. A limit is compared in the whole
    units the supply is sent, worked out by the core's rule (1.0009 V is
    1.000 V); one beyond the supply's range leaves the range as it is."""

    def __init__(self, volts: float | None = None, amperes: float | None = None) -> None:
        self.volts = volts
        self.amperes = amperes
        self.units: dict[Quantity, int | None] = {
            "voltage": _units("voltage", volts),
            "current": _units("current", amperes),
        }

    def __bool__(self) -> bool:
        return self.volts is not None or self.amperes is not None

    def refusal(self, quantity: Quantity, units: int) -> str | None:
        """Why a set-point of `units` (mV or mA) is refused; None when it
        is within the limit."""
        most = self.units[quantity]
        if most is None or units <= most:
            return None
        limit = self.volts if quantity == "voltage" else self.amperes
        unit = setpoints.UNIT[quantity]
        return f"{setpoints.from_units(units):g} {unit} is above the server's {OPTION[quantity]} {limit:g} {unit}"

    def factory_refusal(self) -> str | None:
        """Factory settings are the supply's own, and may lie beyond a limit."""
        if not self:
            return None
        return "the factory settings may lie beyond the server's limits, so a reset is refused"

    def frame_refusal(self, frame: bytes) -> str | None:
        """Why the request frame `frame` may not reach the supply, if it may
        not: a set-point the core would not send (a current limit above
        what the status can report), one above a limit, or a factory reset
        under limits."""
        word = wire.word_of(frame)
        if word == wire.RESTORE_FACTORY:
            return self.factory_refusal()
        if word not in REQUESTED:
            return None
        quantity, what = REQUESTED[word]
        units = wire.setpoint_of(frame)
        try:
            setpoints.to_units(quantity, setpoints.from_units(units), what)
        except OutOfRange as refused:
            return str(refused)
        return self.refusal(quantity, units)


def _units(quantity: Quantity, limit: float | None) -> int | None:
    if limit is None:
        return None
    value = setpoints.number(limit, OPTION[quantity])
    return setpoints.to_units(quantity, min(value, setpoints.HIGHEST[quantity]), OPTION[quantity])
