"""The supply's commands as the layers above the driver use them: each one
exchange through the driver's structured core (qm4410._line) of the request
the driver's own command sends, with a plain result (True or False, a
status or None), the exchange itself for a caller that needs to know how it
went (the server), an error of the port raised as PortGone, and a DEBUG
line on the "qm4410" logger for every exchange. Nothing is printed.

A driver of the caller's that is not the exact class (anything with the
four commands the workflows send) is reached through its own methods
instead, as it is: see DriverLink."""

import contextlib
import logging
import time
from collections.abc import Callable, Iterator
from typing import Any, Literal, Protocol, cast, runtime_checkable

from qm4410 import QM4410, _line

from . import wire
from .errors import PortGone
from .remote import lost_message
from .setpoints import from_units
from .status import Identity, Status

log = logging.getLogger("qm4410")


@runtime_checkable
class Driver(Protocol):
    """A `qm4410.QM4410`, opened, or anything with the commands the
    workflows send (its methods alone: isinstance makes no exchange)."""

    def set_out_voltage(self, voltage: float, /) -> bool: ...

    def set_out_current(self, current: float, /) -> bool: ...

    def set_ouput_mode(self, mode: Literal["on", "off"], /) -> bool: ...

    def read_dev_status(self) -> Any: ...


class Commands(Protocol):
    """The commands that the workflows and the confirmed switch-off send,
    with plain results: a Link's, or a guard's (`Guard.link`), which keeps
    the guard's rules."""

    def set_voltage(self, units: int, /) -> bool: ...

    def set_current(self, units: int, /) -> bool: ...

    def set_output(self, on: bool, /) -> bool: ...

    def read_status(self) -> Status | None: ...


class Link:
    """The commands of an open `qm4410.QM4410`. `last` is the latest
    exchange made through the link (None before the first): how its reply
    came, for a caller that got only a command's plain result;
    `last_request` is the request frame it wrote. `heard(request,
    exchange)`, when set, is called after each exchange (see
    qm4410.supply.line)."""

    def __init__(self, driver: QM4410) -> None:
        self._attach(driver, str(driver.port), driver)

    def _attach(self, driver: Driver, port: str, exact: QM4410) -> None:
        """What every kind of link has, as a fresh one has it: `exact` is
        the exact driver its frames go through."""
        self.driver: Driver = driver
        self.port = port
        self.last: _line.Exchange | None = None
        self.last_request = b""
        self.heard: Callable[[bytes, _line.Exchange], object] | None = None
        self._exact = exact
        self._quiet = 0.0

    def set_voltage(self, units: int) -> bool:
        return self._setting(wire.SET_VOLTAGE, _setpoint(units), f"voltage {units} mV")

    def set_current(self, units: int) -> bool:
        return self._setting(wire.SET_CURRENT, _setpoint(units), f"current limit {units} mA")

    def set_max_voltage(self, units: int) -> bool:
        return self._setting(wire.SET_MAX_VOLTAGE, _setpoint(units), f"maximum voltage {units} mV")

    def set_output(self, on: bool) -> bool:
        return self._setting(wire.SET_OUTPUT, bytes([on]), f"output {'on' if on else 'off'}")

    def set_remote(self, remote: bool) -> bool:
        return self._setting(wire.SET_WORK_MODE, bytes([remote]), "remote control" if remote else "local control")

    def restore_factory(self) -> bool:
        return self._setting(wire.RESTORE_FACTORY, b"", "factory settings")

    def read_status(self) -> Status | None:
        reply = self._exchange(_line.request(self._exact, wire.READ_STATUS), "status").reply
        return None if reply is None else status_of(reply)

    def exchange(self, frame: bytes) -> _line.Exchange:
        """One request frame as it is, one exchange: what it came to (its
        reply, None when none came, and how it went)."""
        return self._exchange(frame, f"frame {wire.described(frame)}")

    def plan(self, word: int) -> _line.Plan:
        """How long the next exchange of a request with `word` would take
        before its reply is in, as the line stands and with the quiet it
        is to keep first (see quiet_first)."""
        return _line.plan(self._exact, word, quiet=self._quiet)

    @contextlib.contextmanager
    def quiet_first(self, seconds: float) -> Iterator[None]:
        """Within the block, the first exchange waits until the line has
        been quiet `seconds`, what arrives meanwhile read away: between two
        clients' exchanges, a second copy of the first one's reply is then
        never taken for the second one's."""
        self._quiet = seconds
        try:
            yield
        finally:
            self._quiet = 0.0

    def identity(self) -> Identity:
        """The identity read when the driver opened its port; no exchange."""
        return Identity.from_record(self._exact.show_device_version())

    def _setting(self, word: int, data: bytes, what: str) -> bool:
        return self._exchange(_line.request(self._exact, word, data), what).reply is not None

    def _exchange(self, request: bytes, what: str) -> _line.Exchange:
        quiet, self._quiet = self._quiet, 0.0
        started = time.perf_counter()
        with _port_errors(self.port, what):
            exchange = _line.exchange(self._exact, request, quiet=quiet)
        self.last, self.last_request = exchange, request
        if log.isEnabledFor(logging.DEBUG):
            _log_exchange(self.port, what, exchange, started)
        if self.heard is not None:
            self.heard(request, exchange)
        return exchange


class DriverLink(Link):
    """The same commands through the methods of a driver of the caller's,
    as it is: anything with the four commands the workflows send (see
    Driver), or an exact driver handed to a workflow, which prints what it
    always has. The commands beyond those four exist on the exact driver
    alone; and a driver reached through its methods makes no exchange of a
    frame of the caller's, nor tells how an exchange went (`last` stays
    None)."""

    def __init__(self, driver: Driver) -> None:
        self._attach(driver, str(getattr(driver, "port", "the supply's port")), cast(QM4410, driver))

    def set_voltage(self, units: int) -> bool:
        return self._called(f"voltage {units} mV", self.driver.set_out_voltage, from_units(units))

    def set_current(self, units: int) -> bool:
        return self._called(f"current limit {units} mA", self.driver.set_out_current, from_units(units))

    def set_max_voltage(self, units: int) -> bool:
        return self._called(f"maximum voltage {units} mV", self._exact.set_voltage_max, from_units(units))

    def set_output(self, on: bool) -> bool:
        state: Literal["on", "off"] = "on" if on else "off"
        return self._called(f"output {state}", self.driver.set_ouput_mode, state)

    def set_remote(self, remote: bool) -> bool:
        what, mode = ("remote control", "remote") if remote else ("local control", "local")
        return self._called(what, self._exact.set_work_mode, mode)

    def restore_factory(self) -> bool:
        return self._called("factory settings", self._exact.restore_factory)

    def read_status(self) -> Status | None:
        started = time.perf_counter()
        with _port_errors(self.port, "status"):
            record = self.driver.read_dev_status()
        _log_call(self.port, "status", record is not None, started)
        return None if record is None else Status.from_record(record)

    def _called(self, what: str, command: Callable[..., bool], *args: object) -> bool:
        started = time.perf_counter()
        with _port_errors(self.port, what):
            answered = bool(command(*args))
        _log_call(self.port, what, answered, started)
        return answered


def link_to(driver: Driver) -> Link:
    """The link of a driver opened elsewhere: through the structured core
    for the exact class, through its own methods for anything else."""
    return Link(driver) if isinstance(driver, QM4410) else DriverLink(driver)


def status_of(reply: bytes) -> Status:
    """The status that a reply to a status request carries."""
    return Status.from_record(_line.status_of(reply))


def _setpoint(units: int) -> bytes:
    """A set-point's data: its whole mV (mA), 32 bits little-endian."""
    return units.to_bytes(4, "little")


@contextlib.contextmanager
def _port_errors(port: str, what: str) -> Iterator[None]:
    """An error of the port (pyserial's SerialException is an OSError) as
    PortGone, which says what was lost."""
    try:
        yield
    except OSError as error:
        log.debug("%s: %s: the port failed: %s", port, what, error)
        raise PortGone(lost_message(port, error)) from error


def _log_exchange(port: str, what: str, exchange: _line.Exchange, started: float) -> None:
    took = (time.perf_counter() - started) * 1e3
    if exchange.reply is None:
        log.debug("%s: %s: no reply after %.1f ms", port, what, took)
        return
    doubt = "; doubtful: it may be another request's reply" if exchange.doubtful else ""
    log.debug(
        "%s: %s: answered at poll %d in %.1f ms: %s%s", port, what, exchange.poll, took, exchange.reply.hex(" "), doubt
    )


def _log_call(port: str, what: str, answered: bool, started: float) -> None:
    took = (time.perf_counter() - started) * 1e3
    log.debug("%s: %s: %s in %.1f ms", port, what, "answered" if answered else "no reply", took)
