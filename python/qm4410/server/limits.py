"""The highest set-points the server lets any client send, so that a shared
supply cannot be driven past what its load survives."""

import decimal

from . import frames


def milli(value: float) -> int:
    """Volts or amperes as the driver sends them: whole mV or mA of the value
    as written in decimal, truncated (0.029 A is 29 mA)."""
    return int(decimal.Decimal(repr(value)) * 1000)


class Limits:
    def __init__(self, volts: float | None, amperes: float | None) -> None:
        self.volts = volts
        self.amperes = amperes

    def __bool__(self) -> bool:
        return self.volts is not None or self.amperes is not None

    def voltage_refusal(self, millivolts: int) -> str | None:
        """Why a voltage (the output's or its maximum) of `millivolts` is
        refused; None when it is within the limit."""
        return _above(millivolts, self.volts, "V", "--limit-voltage")

    def current_refusal(self, milliamperes: int) -> str | None:
        return _above(milliamperes, self.amperes, "A", "--limit-current")

    def factory_refusal(self) -> str | None:
        """Factory settings are the supply's own, and may lie beyond a limit."""
        if not self:
            return None
        return "the factory settings may lie beyond the server's limits, so a reset is refused"

    def frame_refusal(self, frame: bytes) -> str | None:
        """Why the request frame `frame` may not reach the supply, if it may not."""
        word = frames.word_of(frame)
        if word in (frames.SET_MAX_VOLTAGE, frames.SET_VOLTAGE):
            return self.voltage_refusal(frames.setpoint_of(frame))
        if word == frames.SET_CURRENT:
            return self.current_refusal(frames.setpoint_of(frame))
        if word == frames.RESTORE_FACTORY:
            return self.factory_refusal()
        return None


def _above(value_milli: int, limit: float | None, unit: str, option: str) -> str | None:
    if limit is None or value_milli <= milli(limit):
        return None
    return f"{value_milli / 1000:g} {unit} is above the server's {option} {limit:g} {unit}"
