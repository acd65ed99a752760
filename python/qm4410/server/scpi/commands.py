"""The SCPI commands of the server: each header, what parameter it takes
(checked before anything is sent) and what it does with the supply."""

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ...supply import setpoints, wire
from ...supply.errors import OutOfRange
from ...supply.guard import Guard
from ...supply.link import Link
from ...supply.setpoints import Quantity
from ...supply.status import RECORD_KEYS, Status
from ..guarding import REQUESTED
from . import syntax
from .errors import (
    DATA_OUT_OF_RANGE,
    ILLEGAL_PARAMETER_VALUE,
    MISSING_PARAMETER,
    PARAMETER_NOT_ALLOWED,
    SETTINGS_CONFLICT,
    ScpiError,
)
from .reporting import BYTE_MOST, ENABLE_MOST, MASTER_SUMMARY, EventRegister

if TYPE_CHECKING:
    from .session import Session

# The unit suffixes of each quantity, by their power of ten.
SUFFIXES: dict[Quantity, dict[str, int]] = {"voltage": {"V": 0, "mV": -3}, "current": {"A": 0, "mA": -3}}
# The slowest slew rate: a step of 1 mV (1 mA) a second.
SLOWEST_SLEW = 1 / setpoints.PER_UNIT
# SCPI's infinity: the slew rate where none is in force (a set-point moves at once).
INFINITY = "9.9E+37"
# The SCPI version the commands keep.
SCPI_VERSION = "1999.0"


class Check:
    """What the units of one line are checked against, before any of them
    runs: the server's guard, and the maximum voltage that an earlier unit
    of the line sets, which bounds the voltage of the units after it (before
    one, the supply's, as the guard knows it)."""

    def __init__(self, guard: Guard) -> None:
        self.guard = guard
        self.max_voltage: int | None = None


# The whole mV or mA a checked set-point sends, found as its unit runs.
Units = Callable[["Session"], int]


@dataclass(frozen=True)
class Level:
    """A set-point as SCPI sets and reads it: the request that sends it
    (which names it, its quantity and the core's word for it), how the link
    sends it, and the status field that holds it."""

    request: int
    send: Callable[[Link, int], bool]
    held: Callable[[Status], float]

    @property
    def is_maximum(self) -> bool:
        """Whether it is the maximum voltage, which bounds the voltage."""
        return self.request == wire.SET_MAX_VOLTAGE

    def units(self, text: str, check: Check) -> Units:
        """What `text` sets: a number, taken by the core's rule within the
        guard's bound (refused, -222, in the core's words, where the supply
        cannot take it, or it lies above the supply's maximum voltage or a
        limit), or MIN or MAX (see bound). DEF is refused: the supply's
        defaults are its factory settings, which *RST restores and only the
        supply knows."""
        quantity, what = REQUESTED[self.request]
        if syntax.is_word(text, "DEF", "DEFAULT"):
            raise ScpiError(ILLEGAL_PARAMETER_VALUE, "DEF: the defaults are the supply's factory settings (*RST)")
        if not syntax.is_word(text, "MIN", "MINIMUM", "MAX", "MAXIMUM"):
            # As a float, the core shows the value as typed, as at every door.
            value = float(syntax.number(text, SUFFIXES[quantity]))
            bound = check.guard.bound(quantity, maximum=self.is_maximum, max_voltage=check.max_voltage)
            try:
                units = setpoints.to_units(quantity, value, what, bound)
            except OutOfRange as refused:
                raise ScpiError(DATA_OUT_OF_RANGE, str(refused)) from None
        elif self.is_maximum:
            units = self._maximum_bound(text, check.guard)
        else:
            return self.bound(text, check.guard)
        if self.is_maximum:
            check.max_voltage = units
        return lambda session: units

    def bound(self, text: str, guard: Guard) -> Units:
        """What MIN and MAX stand for: 0, and the highest set-point the
        guard lets through (the supply's own bound, or the guard's limit
        where lower). The voltage's is the supply's maximum voltage as it is
        when the unit runs (a status read), the current limit's what the
        status can report; for the maximum voltage's, see _maximum_bound."""
        quantity, _ = REQUESTED[self.request]
        if self.is_maximum:
            units = self._maximum_bound(text, guard)
            return lambda session: units
        if syntax.is_word(text, "MIN", "MINIMUM"):
            return lambda session: 0
        if quantity == "current":
            return lambda session: guard.bound(quantity).units
        return lambda session: guard.bound(quantity, max_voltage=session.max_voltage()).units

    @staticmethod
    def _maximum_bound(text: str, guard: Guard) -> int:
        """MIN or MAX of the maximum voltage: 0, or the guard's limit;
        refused (-224) where none is set, since the supply does not tell the
        most it takes."""
        if syntax.is_word(text, "MIN", "MINIMUM"):
            return 0
        bound = guard.bound("voltage", maximum=True)
        if not bound.known:
            raise ScpiError(
                ILLEGAL_PARAMETER_VALUE,
                "MAX: the supply does not tell the highest maximum voltage it takes, and the server's "
                "voltage limit (--limit-voltage) is not set",
            )
        return bound.units


VOLTAGE_LEVEL = Level(wire.SET_VOLTAGE, Link.set_voltage, lambda status: status.voltage)
PROTECTION_LEVEL = Level(wire.SET_MAX_VOLTAGE, Link.set_max_voltage, lambda status: status.max_voltage)
CURRENT_LEVEL = Level(wire.SET_CURRENT, Link.set_current, lambda status: status.current_limit)

Prepare = Callable[[Check, tuple[str, ...]], Any]
Run = Callable[["Session", Any], str | None]


def _nothing(check: Check, parameters: tuple[str, ...]) -> None:
    if parameters:
        raise ScpiError(PARAMETER_NOT_ALLOWED, f"{parameters[0]}: the command takes no parameter")


def _one(parameters: tuple[str, ...]) -> str:
    if not parameters:
        raise ScpiError(MISSING_PARAMETER)
    if len(parameters) > 1:
        raise ScpiError(PARAMETER_NOT_ALLOWED, f"{parameters[1]}: the command takes one parameter")
    return parameters[0]


def _setpoint(level: Level) -> Prepare:
    return lambda check, parameters: level.units(_one(parameters), check)


def _bound(level: Level) -> Prepare:
    """A set-point query's optional MIN or MAX: the units it stands for."""

    def prepare(check: Check, parameters: tuple[str, ...]) -> Units | None:
        text = _min_or_max(parameters)
        return None if text is None else level.bound(text, check.guard)

    return prepare


def _apply(check: Check, parameters: tuple[str, ...]) -> tuple[Units, Units | None]:
    """APPLy's voltage and, when given, current limit, each as VOLTage and
    CURRent take it."""
    if not parameters:
        raise ScpiError(MISSING_PARAMETER)
    if len(parameters) > 2:
        raise ScpiError(PARAMETER_NOT_ALLOWED, f"{parameters[2]}: APPLy takes a voltage and a current limit")
    voltage = VOLTAGE_LEVEL.units(parameters[0], check)
    return voltage, CURRENT_LEVEL.units(parameters[1], check) if len(parameters) == 2 else None


def _applied(session: "Session", levels: tuple[Units, Units | None]) -> None:
    """The voltage, then the current limit, each as its own command sends it."""
    for level, units in zip((VOLTAGE_LEVEL, CURRENT_LEVEL), levels):
        if units is not None:
            session.set_point(level.request, level.send, units(session))


def _applied_levels(session: "Session", _: object) -> str:
    """The voltage and current set-points, from one status read: 5.000,0.500."""
    status = session.status()
    return f"{reading(status.voltage)},{reading(status.current_limit)}"


def _measured(session: "Session", _: object) -> str:
    """Voltage, current and power from one status read: 5.000,0.500,2.500000."""
    status = session.status()
    return f"{reading(status.measured_voltage)},{reading(status.measured_current)},{power(status)}"


def _min_or_max(parameters: tuple[str, ...]) -> str | None:
    """A query's optional MIN or MAX."""
    if not parameters:
        return None
    text = _one(parameters)
    if not syntax.is_word(text, "MIN", "MINIMUM", "MAX", "MAXIMUM"):
        raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"{text}: the query takes MIN or MAX")
    return text


def _slew(quantity: Quantity) -> Prepare:
    """A slew rate a client asks for its own set-points: a number, V/s or
    A/s, above 0 and not above the server's (refused, -222, in the guard's
    words), MIN (the slowest, 1 mV or 1 mA a second) or MAX or DEF (the
    server's, or none where it has none): None."""

    def prepare(check: Check, parameters: tuple[str, ...]) -> float | None:
        text = _one(parameters)
        if syntax.is_word(text, "MIN", "MINIMUM"):
            return SLOWEST_SLEW
        if syntax.is_word(text, "MAX", "MAXIMUM", "DEF", "DEFAULT"):
            return None
        try:
            return check.guard.checked_slew_rate(quantity, float(syntax.number(text, {})))
        except OutOfRange as refused:
            raise ScpiError(DATA_OUT_OF_RANGE, str(refused)) from None

    return prepare


def _slew_reading(quantity: Quantity) -> Run:
    """The rate this client's set-points move at (its own, else the
    server's), or what MIN or MAX stands for (MAX: the server's); 9.9E+37
    for none."""

    def run(session: "Session", bound: str | None) -> str:
        if bound is None:
            rate = session.slew_rate(quantity)
        elif syntax.is_word(bound, "MIN", "MINIMUM"):
            rate = SLOWEST_SLEW
        else:
            rate = session.guard.rules.slew(quantity)
        return INFINITY if rate is None else f"{rate:g}"

    return run


def _switch(check: Check, parameters: tuple[str, ...]) -> bool:
    """ON or OFF. (A latched trip refuses ON as it is carried out, not
    here: an OUTP:PROT:CLE before it on the line clears the trip first.)"""
    text = _one(parameters)
    if syntax.is_word(text, "ON", "1"):
        return True
    if syntax.is_word(text, "OFF", "0"):
        return False
    raise ScpiError(ILLEGAL_PARAMETER_VALUE, f"{text}: the output takes ON, OFF, 1 or 0")


def _mask(most: int) -> Prepare:
    """An enable register's value: a number 0 to `most`, rounded to a whole
    one as IEEE 488.2 has it."""

    def prepare(check: Check, parameters: tuple[str, ...]) -> int:
        text = _one(parameters)
        value = syntax.number(text, {}).to_integral_value()
        if not 0 <= value <= most:
            raise ScpiError(DATA_OUT_OF_RANGE, f"{text}: the register takes 0 to {most}")
        return int(value)

    return prepare


def _factory_reset(check: Check, parameters: tuple[str, ...]) -> None:
    _nothing(check, parameters)
    try:
        check.guard.check_factory_reset()
    except OutOfRange as refused:
        raise ScpiError(SETTINGS_CONFLICT, str(refused)) from None


def trip_reason(guard: Guard) -> str:
    """The latched trip as a SCPI string: its name, why, and how it has
    left the output; "" while none is latched."""
    trip = guard.trip
    text = "" if trip is None else f"{trip.name}: {trip.reason}; {trip.output_left}"
    return '"' + text.replace('"', "'") + '"'


def reading(value: float) -> str:
    """Volts or amperes to the supply's resolution of 1 mV or 1 mA."""
    return f"{value:.3f}"


def power(status: Status) -> str:
    """Watts to the microwatt that mV times mA resolves."""
    return f"{status.power:.6f}"


def record_line(status: Status) -> str:
    """The status record on one line, in the driver's order."""

    def field(value: object) -> str:
        if isinstance(value, bool):
            return "1" if value else "0"
        if isinstance(value, float):
            return reading(value)
        return str(value).upper()

    record = status.record()
    record["out_status"] = status.output
    return ",".join(field(record[key]) for key in RECORD_KEYS)


@dataclass(frozen=True)
class Command:
    header: syntax.Pattern
    prepare: Prepare
    # (session, prepared value) -> the response of a query, None for a command
    run: Run


def _command(header: str, prepare: Prepare, run: Run) -> Command:
    return Command(syntax.Pattern(header), prepare, run)


def _setpoint_pair(header: str, level: Level) -> list[Command]:
    """A set-point's command and its query, which reads the supply's status
    (or tells what MIN or MAX stands for)."""
    return [
        _command(
            header,
            _setpoint(level),
            lambda session, units: session.set_point(level.request, level.send, units(session)),
        ),
        _command(
            header + "?",
            _bound(level),
            lambda session, bound: reading(
                level.held(session.status()) if bound is None else setpoints.from_units(bound(session))
            ),
        ),
    ]


def _slew_pair(header: str, quantity: Quantity) -> list[Command]:
    """A slew rate's command, which holds for this client's own set-points,
    and its query."""
    return [
        _command(header, _slew(quantity), lambda session, rate: session.set_slew_rate(quantity, rate)),
        _command(header + "?", lambda check, parameters: _min_or_max(parameters), _slew_reading(quantity)),
    ]


def _register_group(header: str, register: Callable[["Session"], EventRegister], bare: str = "event") -> list[Command]:
    """A SCPI status register's event query (read and cleared), condition
    query and enable; the register's name alone, as a query, is the `bare`
    one. Both queries read the supply's status first, so that what they
    tell is the supply now."""

    def event(session: "Session", _: object) -> str:
        session.sample_conditions()
        return str(session.registers.read_event(register(session)))

    def condition(session: "Session", _: object) -> str:
        session.sample_conditions()
        return str(register(session).condition)

    def enable(session: "Session", mask: int) -> None:
        register(session).enable = mask

    return [
        _command(header + ("[:EVENt]?" if bare == "event" else ":EVENt?"), _nothing, event),
        _command(header + ("[:CONDition]?" if bare == "condition" else ":CONDition?"), _nothing, condition),
        _command(header + ":ENABle", _mask(ENABLE_MOST), enable),
        _command(header + ":ENABle?", _nothing, lambda session, _: str(register(session).enable)),
    ]


def _status_byte(session: "Session", _: object) -> str:
    """*STB?: the status byte with its summaries current."""
    return str(session.status_byte(session.answer_waiting))


def _events(session: "Session", _: object) -> str:
    session.settle_completion()
    return str(session.registers.read_events())


def _service_enable(session: "Session", mask: int) -> None:
    # The master summary bit of the status byte cannot enable itself.
    session.registers.service_enable = mask & ~MASTER_SUMMARY


def _all_errors(session: "Session", _: object) -> str:
    entries = session.registers.errors.pop_all()
    return ",".join(error.entry() for error in entries) if entries else ScpiError(0).entry()


def _wait(session: "Session", _: object) -> None:
    session.wait_for_operations()


def _operations_complete(session: "Session", _: object) -> str:
    session.wait_for_operations()
    return "1"


def _event_enable(session: "Session", mask: int) -> None:
    session.registers.event_enable = mask


def _control(remote: bool) -> Run:
    """SYSTem:REMote or :LOCal: the supply's settings from this host, or
    from its front panel; a setting like any other (-240 unanswered)."""
    return lambda session, _: session.setting(wire.SET_WORK_MODE, lambda link: link.set_remote(remote))


VOLTAGE = "[SOURce:]VOLTage[:LEVel][:IMMediate][:AMPLitude]"
PROTECTION = "[SOURce:]VOLTage:PROTection[:LEVel]"
CURRENT = "[SOURce:]CURRent[:LEVel][:IMMediate][:AMPLitude]"

COMMANDS = [
    # IEEE 488.2's common commands. Each command is carried out before the
    # next is read; a slewed set-point's ramp is what *OPC, *OPC? and *WAI wait for.
    _command("*IDN?", _nothing, lambda session, _: session.identity()),
    _command("*RST", _factory_reset, lambda session, _: session.reset()),
    _command("*TST?", _nothing, lambda session, _: session.self_test()),
    _command("*OPT?", _nothing, lambda session, _: "0"),  # no options
    _command("*CLS", _nothing, lambda session, _: session.clear_status()),
    _command("*OPC", _nothing, lambda session, _: session.complete_operations()),
    _command("*OPC?", _nothing, _operations_complete),
    _command("*WAI", _nothing, _wait),
    _command("*ESR?", _nothing, _events),
    _command("*ESE", _mask(BYTE_MOST), _event_enable),
    _command("*ESE?", _nothing, lambda session, _: str(session.registers.event_enable)),
    _command("*SRE", _mask(BYTE_MOST), _service_enable),
    _command("*SRE?", _nothing, lambda session, _: str(session.registers.service_enable)),
    _command("*STB?", _nothing, _status_byte),
    # SCPI's required commands.
    _command("SYSTem:ERRor[:NEXT]?", _nothing, lambda session, _: session.registers.errors.pop().entry()),
    _command("SYSTem:ERRor:ALL?", _nothing, _all_errors),
    _command("SYSTem:ERRor:COUNt?", _nothing, lambda session, _: str(len(session.registers.errors))),
    _command("SYSTem:VERSion?", _nothing, lambda session, _: SCPI_VERSION),
    # STATus:QUEStionable? alone answers the condition, as it did before the
    # register had events (scripts read the regulation mode from it); its
    # event register is asked for by name.
    *_register_group("STATus:QUEStionable", lambda session: session.registers.questionable, bare="condition"),
    *_register_group("STATus:OPERation", lambda session: session.registers.operation),
    _command("STATus:PRESet", _nothing, lambda session, _: session.registers.preset()),
    # The supply's own.
    _command("SYSTem:REMote", _nothing, _control(True)),
    _command("SYSTem:LOCal", _nothing, _control(False)),
    *_setpoint_pair(VOLTAGE, VOLTAGE_LEVEL),
    *_setpoint_pair(PROTECTION, PROTECTION_LEVEL),
    *_setpoint_pair(CURRENT, CURRENT_LEVEL),
    _command("APPLy", _apply, _applied),
    _command("APPLy?", _nothing, _applied_levels),
    *_slew_pair("[SOURce:]VOLTage:SLEW", "voltage"),
    *_slew_pair("[SOURce:]CURRent:SLEW", "current"),
    _command("OUTPut[:STATe]", _switch, lambda session, on: session.switch_output(on)),
    _command("OUTPut[:STATe]?", _nothing, lambda session, _: "1" if session.status().output else "0"),
    _command("OUTPut:PROTection:TRIPped?", _nothing, lambda session, _: "0" if session.guard.trip is None else "1"),
    _command("OUTPut:PROTection:TRIPped:REASon?", _nothing, lambda session, _: trip_reason(session.guard)),
    _command("OUTPut:PROTection:CLEar", _nothing, lambda session, _: session.clear_trip()),
    _command("MEASure[:SCALar]:VOLTage[:DC]?", _nothing, lambda session, _: reading(session.status().measured_voltage)),
    _command("MEASure[:SCALar]:CURRent[:DC]?", _nothing, lambda session, _: reading(session.status().measured_current)),
    _command("MEASure[:SCALar]:POWer[:DC]?", _nothing, lambda session, _: power(session.status())),
    _command("MEASure[:SCALar]:ALL[:DC]?", _nothing, _measured),
    _command("STATus:RECord?", _nothing, lambda session, _: record_line(session.status())),
]


def find(nodes: tuple[str, ...], query: bool) -> Command | None:
    return next((c for c in COMMANDS if c.header.query == query and c.header.matches(nodes)), None)
