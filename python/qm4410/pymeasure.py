"""A supply served by `qm4410 serve` as a PyMeasure instrument, over the
server's SCPI endpoint (`pip install 'qm4410[pymeasure]'`).

    psu = QM4410SCPI("TCPIP::127.0.0.1::5025::SOCKET", visa_library="@py")
    psu.voltage = 5            # sent as 5.000 V, then the server's errors read
    print(psu.measured_voltage)

A set-point is checked by the core's rule before anything is sent (a
ValueError, OutOfRange, with the words every door uses) and sent on the
supply's 1 mV (1 mA) grid, truncated toward zero as every door sends it.
After each set the server's error queue is read: a value the server
refused (its guard's limits) raises OutOfRange, one the supply did not
carry out NoReply, each with the server's words. A reading the supply did
not answer comes back from the server as SCPI's not-a-number; it raises
NoReply (with the server's reason) instead of passing for a value.
shutdown() (a procedure's end, a `with` block's) leaves the output off,
read back off, before PyMeasure's own."""

import contextlib
import re
from typing import Any

from pymeasure.instruments import Instrument, SCPIMixin

from .server.scpi.errors import DATA_OUT_OF_RANGE, HARDWARE_ERROR
from .supply import setpoints
from .supply.errors import NoReply, OutOfRange, SupplyError, SwitchOffFailed
from .supply.setpoints import Quantity
from .supply.switch_off import still_on_message

# What the server answers a query with when the supply did not answer it.
NOT_A_NUMBER = 9.91e37
# How often shutdown() switches the output off and reads it back before it
# gives up: a lost reply (NoReply) is asked again, as the core's switch-off does.
SWITCH_OFF_TRIES = 3
_ENTRY = re.compile(r'(-?\d+),"([^"]*)"')


def _setpoint(quantity: Quantity, what: str) -> Any:
    """A validator: the value as it is sent, on the supply's grid; the
    core's OutOfRange (a ValueError) or TypeError before anything is sent."""
    return lambda value, values: setpoints.setpoint(quantity, value, what)


def server_error(code: int, text: str) -> SupplyError | OutOfRange:
    """The exception that a server's error entry stands for."""
    detail = text.split(";", 1)[1] if ";" in text else text
    if code == DATA_OUT_OF_RANGE:
        return OutOfRange(detail)
    if code == HARDWARE_ERROR:
        return NoReply(detail)
    return SupplyError(f"the server refused the command: {code}, {text}")


class QM4410SCPI(SCPIMixin, Instrument):  # type: ignore[misc]
    """The supply behind `qm4410 serve`'s SCPI endpoint: `adapter` is a
    VISA resource ("TCPIP::HOST::5025::SOCKET") or a PyMeasure adapter.
    For a resource, the line ends are the server's ("\\n") and the time-out
    10 s (a supply shared by several clients may make one wait) unless
    given among `kwargs`."""

    def __init__(self, adapter: Any, name: str = "QM4410 supply over SCPI", **kwargs: Any) -> None:
        kwargs.setdefault("read_termination", "\n")
        kwargs.setdefault("write_termination", "\n")
        kwargs.setdefault("timeout", 10_000)
        super().__init__(adapter, name, **kwargs)

    voltage = Instrument.control(
        "VOLT?",
        "VOLT %.3f",
        """Control the output voltage set-point in volts (the supply's status, read each time).""",
        validator=_setpoint("voltage", "the voltage"),
        check_set_errors=True,
    )

    current_limit = Instrument.control(
        "CURR?",
        "CURR %.3f",
        """Control the output current limit in amperes (the supply's status, read each time).""",
        validator=_setpoint("current", "the current limit"),
        check_set_errors=True,
    )

    output_enabled = Instrument.control(
        "OUTP?",
        "OUTP %d",
        """Control whether the output is on (bool). Switching it on while the
        server's guard has tripped raises SupplyError, the trip in its words.""",
        validator=lambda value, values: _switch(value),
        check_set_errors=True,
        get_process=lambda value: bool(value),
    )

    measured_voltage = Instrument.measurement(
        "MEAS:VOLT?", """Get the output voltage in volts, as the supply measures it."""
    )

    measured_current = Instrument.measurement(
        "MEAS:CURR?", """Get the output current in amperes, as the supply measures it."""
    )

    def shutdown(self) -> None:
        """Switch the output off and read it back off, then PyMeasure's own
        shutdown (a procedure's end, the end of a `with` block).
        SwitchOffFailed when the server does not confirm it off: the
        instrument is then not shut down."""
        for _ in range(SWITCH_OFF_TRIES):
            state = None  # the output as this try reads it back: "on", "off", or None unanswered
            with contextlib.suppress(NoReply):
                self.output_enabled = False
                state = "on" if self.output_enabled else "off"
            if state == "off":
                break
        else:
            raise SwitchOffFailed(still_on_message(state), state)
        super().shutdown()

    def values(self, command: str, *args: Any, **kwargs: Any) -> list[Any]:
        """A query's values; SCPI's not-a-number, which the server answers
        where the supply did not, raises the error the server queued for it."""
        results: list[Any] = super().values(command, *args, **kwargs)
        if NOT_A_NUMBER in results:
            self.check_set_errors()
            raise NoReply(f"the server answered {command} with no value")
        return results

    def check_set_errors(self) -> list[Any]:
        """Read the server's whole error queue in one query and raise the
        first error it holds (see server_error); [] when there is none."""
        entries = [(int(code), text) for code, text in _ENTRY.findall(self.ask("SYST:ERR:ALL?"))]
        errors = [entry for entry in entries if entry[0] != 0]
        if errors:
            raise server_error(*errors[0])
        return []


def _switch(value: object) -> int:
    if not isinstance(value, bool):
        raise TypeError(f"output_enabled is True or False, not {value!r}")
    return int(value)
