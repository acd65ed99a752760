"""The SCPI commands of the server: each header, what parameter it takes
(checked before anything is sent) and what it does with the supply."""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from ...cli.values import LARGEST_SETPOINT
from ..limits import Limits, milli
from . import syntax
from .errors import (
    DATA_OUT_OF_RANGE,
    ILLEGAL_PARAMETER_VALUE,
    MISSING_PARAMETER,
    PARAMETER_NOT_ALLOWED,
    SETTINGS_CONFLICT,
    ScpiError,
)

# The status record carries the current in 16 bits of mA: a limit above
# this could never be read back.
LARGEST_CURRENT = 65.535

# STATus:QUEStionable bits: the regulation mode, and over-temperature where
# SCPI puts TEMPerature.
CONSTANT_VOLTAGE_BIT = 1 << 0
CONSTANT_CURRENT_BIT = 1 << 1
OVER_TEMPERATURE_BIT = 1 << 4


@dataclass(frozen=True)
class Quantity:
    """A set-point's kind: its unit and suffixes, the most the supply takes,
    and the server's limit for it."""

    unit: str
    suffixes: dict[str, float]
    largest: float
    option: str
    limit_of: Callable[[Limits], float | None]
    refusal_of: Callable[[Limits, int], str | None]

    def value(self, text: str, limits: Limits) -> float:
        """The set-point `text` stands for: a number, or MIN (0) or MAX (the
        server's limit). DEF is refused: the supply's defaults are its
        factory settings, which *RST restores and only the supply knows."""
        if syntax.is_word(text, "MIN", "MINIMUM"):
            return 0.0
        if syntax.is_word(text, "MAX", "MAXIMUM"):
            limit = self.limit_of(limits)
            if limit is None:
                raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"MAX is the server's {self.option}, which is not set")
            return limit
        if syntax.is_word(text, "DEF", "DEFAULT"):
            raise ScpiError(ILLEGAL_PARAMETER_VALUE, "DEF: the defaults are the supply's factory settings (*RST)")
        value = syntax.number(text, self.suffixes)
        if not 0 <= value <= self.largest:
            raise ScpiError(DATA_OUT_OF_RANGE, f"{text} is outside 0 to {self.largest:g} {self.unit}")
        refusal = self.refusal_of(limits, milli(value))
        if refusal is not None:
            raise ScpiError(DATA_OUT_OF_RANGE, refusal)
        return value


VOLTS = Quantity("V", {"V": 1.0, "mV": 1e-3}, LARGEST_SETPOINT, "--limit-voltage",
                 lambda limits: limits.volts, Limits.voltage_refusal)
AMPERES = Quantity("A", {"A": 1.0, "mA": 1e-3}, LARGEST_CURRENT, "--limit-current",
                   lambda limits: limits.amperes, Limits.current_refusal)

Prepare = Callable[[Limits, tuple[str, ...]], Any]


def _nothing(limits: Limits, parameters: tuple[str, ...]) -> None:
    if parameters:
        raise ScpiError(PARAMETER_NOT_ALLOWED, f"{parameters[0]}: the command takes no parameter")


def _one(parameters: tuple[str, ...]) -> str:
    if not parameters:
        raise ScpiError(MISSING_PARAMETER)
    if len(parameters) > 1:
        raise ScpiError(PARAMETER_NOT_ALLOWED, f"{parameters[1]}: the command takes one parameter")
    return parameters[0]


def _setpoint(quantity: Quantity) -> Prepare:
    return lambda limits, parameters: quantity.value(_one(parameters), limits)


def _bound(quantity: Quantity) -> Prepare:
    """A set-point query's optional MIN or MAX: the value it stands for."""

    def prepare(limits: Limits, parameters: tuple[str, ...]) -> float | None:
        if not parameters:
            return None
        text = _one(parameters)
        if not syntax.is_word(text, "MIN", "MINIMUM", "MAX", "MAXIMUM"):
            raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"{text}: the query takes MIN or MAX")
        return quantity.value(text, limits)

    return prepare


def _switch(limits: Limits, parameters: tuple[str, ...]) -> str:
    text = _one(parameters)
    if syntax.is_word(text, "ON", "1"):
        return "on"
    if syntax.is_word(text, "OFF", "0"):
        return "off"
    raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"{text}: the output takes ON, OFF, 1 or 0")


def _factory_reset(limits: Limits, parameters: tuple[str, ...]) -> None:
    _nothing(limits, parameters)
    refusal = limits.factory_refusal()
    if refusal is not None:
        raise ScpiError(SETTINGS_CONFLICT, refusal)


def reading(value: float) -> str:
    """Volts or amperes to the supply's resolution of 1 mV or 1 mA."""
    return f"{value:.3f}"


def questionable(record: dict) -> int:
    regulation = {"CV": CONSTANT_VOLTAGE_BIT, "CC": CONSTANT_CURRENT_BIT}.get(record["out_mode"], 0)
    return regulation | (OVER_TEMPERATURE_BIT if record["beyond_temp"] else 0)


# The status record on one line, in the driver's order.
RECORD_FIELDS = (
    "current_real", "voltage_real", "current_set", "voltage_max_set", "voltage_set",
    "out_status", "beyond_temp", "out_mode", "fan_speed", "work_mode",
)


def record_line(record: dict) -> str:
    def field(key: str) -> str:
        value = record[key]
        if key == "out_status":
            return "1" if value == "on" else "0"
        if isinstance(value, bool):
            return "1" if value else "0"
        if isinstance(value, float):
            return reading(value)
        return str(value).upper()

    return ",".join(field(key) for key in RECORD_FIELDS)


@dataclass(frozen=True)
class Command:
    header: syntax.Pattern
    prepare: Prepare
    # (session, prepared value) -> the response of a query, None for a command
    run: Callable[[Any, Any], str | None]


def _command(header: str, prepare: Prepare, run: Callable[[Any, Any], str | None]) -> Command:
    return Command(syntax.Pattern(header), prepare, run)


def _setpoint_pair(header: str, quantity: Quantity, method: str, key: str) -> list[Command]:
    """A set-point's command and its query, which reads the supply's status
    (or tells what MIN or MAX stands for)."""
    return [
        _command(header, _setpoint(quantity), lambda session, value: session.setting(method, value)),
        _command(header + "?", _bound(quantity),
                 lambda session, bound: reading(session.status()[key] if bound is None else bound)),
    ]


VOLTAGE = "[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]"
PROTECTION = "[SOURce:]VOLTage:PROTection[:LEVel]"
CURRENT = "[SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude]"

COMMANDS = [
    _command("*IDN?", _nothing, lambda session, _: session.identity()),
    _command("*RST", _factory_reset, lambda session, _: session.setting("restore_factory")),
    _command("*CLS", _nothing, lambda session, _: session.errors.clear()),
    # Each command is carried out before the next is read.
    _command("*OPC?", _nothing, lambda session, _: "1"),
    _command("SYSTem:REMote", _nothing, lambda session, _: session.setting("set_work_mode", "remote")),
    _command("SYSTem:LOCal", _nothing, lambda session, _: session.setting("set_work_mode", "local")),
    _command("SYSTem:ERRor[:NEXT]?", _nothing, lambda session, _: session.errors.pop().entry()),
    *_setpoint_pair(VOLTAGE, VOLTS, "set_out_voltage", "voltage_set"),
    *_setpoint_pair(PROTECTION, VOLTS, "set_voltage_max", "voltage_max_set"),
    *_setpoint_pair(CURRENT, AMPERES, "set_out_current", "current_set"),
    _command("OUTPut[:STATe]", _switch, lambda session, state: session.setting("set_ouput_mode", state)),
    _command("OUTPut[:STATe]?", _nothing,
             lambda session, _: "1" if session.status()["out_status"] == "on" else "0"),
    _command("MEASure[:SCALar]:VOLTage[:DC]?", _nothing, lambda session, _: reading(session.status()["voltage_real"])),
    _command("MEASure[:SCALar]:CURRent[:DC]?", _nothing, lambda session, _: reading(session.status()["current_real"])),
    _command("MEASure[:SCALar]:POWer[:DC]?", _nothing, lambda session, _: _power(session.status())),
    _command("STATus:QUEStionable[:CONDition]?", _nothing, lambda session, _: str(questionable(session.status()))),
    _command("STATus:RECord?", _nothing, lambda session, _: record_line(session.status())),
]


def _power(record: dict) -> str:
    # mV times mA: the product resolves microwatts.
    return f"{record['voltage_real'] * record['current_real']:.6f}"


def find(nodes: tuple[str, ...], query: bool) -> Command | None:
    return next((c for c in COMMANDS if c.header.query == query and c.header.matches(nodes)), None)
