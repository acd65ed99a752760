"""The commands of an open driver, each one exchange with the supply, as
the layers above it use them: results as the driver gives them (True or
False, a status or None), an error of the port raised as PortGone, and a
DEBUG line on the "qm4410" logger for every exchange.

A quiet link keeps what the driver prints (its replies to set-points) off
standard output: the lines go to the log instead. A link on a driver of the
caller's that is not quiet leaves the driver's printing as it is."""

import logging
import time
from collections.abc import Callable
from typing import Any, Literal, Protocol, cast

import serial

import qm4410

from .errors import PortGone
from .remote import lost_message
from .setpoints import from_units
from .status import Identity, Status

log = logging.getLogger("qm4410")


class Driver(Protocol):
    """A `qm4410.QM4410`, opened, or anything with the commands the
    workflows send."""

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
    def __init__(self, driver: Driver, *, quiet: bool = True) -> None:
        self.driver = driver
        # The commands beyond the workflows' four exist on the driver alone.
        self._full = cast(qm4410.QM4410, driver)
        self.port: str = str(getattr(driver, "port", "the supply's port"))
        # Only the driver itself prints through what _quietly() can hold.
        self._quiet = quiet and isinstance(driver, qm4410.QM4410)

    def set_voltage(self, units: int) -> bool:
        return self._sent(f"voltage {units} mV", self.driver.set_out_voltage, from_units(units))

    def set_current(self, units: int) -> bool:
        return self._sent(f"current limit {units} mA", self.driver.set_out_current, from_units(units))

    def set_max_voltage(self, units: int) -> bool:
        return self._sent(f"maximum voltage {units} mV", self._full.set_voltage_max, from_units(units))

    def set_output(self, on: bool) -> bool:
        state: Literal["on", "off"] = "on" if on else "off"
        return self._sent(f"output {state}", self.driver.set_ouput_mode, state)

    def set_remote(self, remote: bool) -> bool:
        return self._sent(
            "remote control" if remote else "local control", self._full.set_work_mode, "remote" if remote else "local"
        )

    def restore_factory(self) -> bool:
        return self._sent("factory settings", self._full.restore_factory)

    def read_status(self) -> Status | None:
        record = self._call("status", self.driver.read_dev_status)
        return None if record is None else Status.from_record(record)

    def exchange(self, frame: bytes) -> bytes | None:
        """One request frame as it is, one transaction: the valid reply, or
        None when none came."""
        reply: bytes | None = self._call(f"frame {frame.hex(' ')}", self._full._QM4410__write_and_read, list(frame))
        return reply

    def identity(self) -> Identity:
        """The identity read when the driver opened its port; no exchange."""
        return Identity.from_record(self._full.show_device_version())

    def address(self) -> int:
        """The bus address the supply reported when the driver opened its
        port, which every request since has gone to; no exchange."""
        address: int = self._full._QM4410__addr
        return address

    def _sent(self, what: str, command: Callable[..., object], *args: object) -> bool:
        return bool(self._call(what, command, *args))

    def _call(self, what: str, command: Callable[..., Any], *args: object) -> Any:
        started = time.perf_counter()
        try:
            if self._quiet:
                result, printed = qm4410._quietly(command, *args)
            else:
                result, printed = command(*args), []
        except (serial.SerialException, OSError) as error:
            log.debug("%s: %s: the port failed: %s", self.port, what, error)
            raise PortGone(lost_message(self.port, error)) from error
        took = (time.perf_counter() - started) * 1e3
        answer = "no reply" if result is None or result is False else "answered"
        log.debug("%s: %s: %s in %.1f ms%s", self.port, what, answer, took, "".join(f"; {line}" for line in printed))
        return result
