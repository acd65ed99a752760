"""qm4410.Supply: one supply for scripts, and the face every front end of
the package builds on. Quiet (nothing is printed; every exchange is a line
on the "qm4410" logger), typed, and raising: a supply that does not answer
is NoReply, a port that fails is PortGone, a port that cannot be opened is
Refused, a value the supply cannot take is OutOfRange, sent nowhere."""

from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Self

from qm4410 import QM4410

from . import setpoints
from .errors import NoReply, SupplyError, SwitchOffFailed
from .line import Line
from .line_link import LineLink
from .link import DriverLink, Link, link_to
from .opening import open_driver, start_virtual
from .status import Identity, Status
from .supply_like import SetPointProperties
from .switch_off import still_on_message, switch_off
from .virtual import VirtualSupply, command_line

if TYPE_CHECKING:
    from .guard import Trip


class Supply(SetPointProperties):
    """The supply on `port`: a device ('/dev/ttyUSB0', 'COM3') or a URL
    ('rfc2217://labpi:4410'). Opened by `open()` or a with statement (which
    closes it however the block ends; it does not switch the output off).

    Reading a set-point property (`voltage`, `current_limit`,
    `max_voltage`, `output`, `remote`) reads the supply's status: never a
    value remembered from before. Setting one sends it, at the supply's
    resolution (see qm4410.supply.setpoints), and raises unless the supply
    answered."""

    def __init__(self, port: str) -> None:
        self.port = port
        self._link: Link | None = None
        self._guard_link: Link | None = None
        self._virtual_arguments: list[str] | None = None
        self._virtual: VirtualSupply | None = None
        self._owns_driver = True

    @classmethod
    def virtual(cls, *arguments: str, **options: object) -> "Supply":
        """A supply on a virtual supply (qm4410-sim) of its own, started when
        it is opened and ended when it is closed: `Supply.virtual(load=8)`
        takes qm4410-sim's options by their long names in snake case,
        `Supply.virtual('--load', '8')` as on its command line."""
        supply = cls("(virtual supply, not started)")
        supply._virtual_arguments = [*arguments, *command_line(**options)]
        return supply

    @classmethod
    def from_driver(cls, driver: QM4410) -> "Supply":
        """The face of a driver opened elsewhere; closing it closes nothing."""
        supply = cls.from_link(link_to(driver))
        supply._schedule()
        return supply

    @classmethod
    def from_link(cls, link: Link) -> "Supply":
        """The face of a link of the caller's, as a server gives its guard
        one whose exchanges take turns with its clients'; closing it closes
        nothing."""
        supply = cls(link.port)
        supply._link = link
        supply._owns_driver = False
        return supply

    # Opening and closing.

    def open(self) -> Self:
        """Open the port and read the supply's identity; Refused, with its
        kind and what to do, when that fails. Opening an open supply does
        nothing."""
        if self._link is not None:
            return self
        if self._virtual_arguments is not None:
            self._virtual = start_virtual(self._virtual_arguments)
            self.port = self._virtual.port
        try:
            self._link = Link(open_driver(self.port))
        except BaseException:
            self._stop_virtual()
            raise
        self._schedule()
        return self

    def close(self) -> None:
        """Close the port (and end a virtual supply of its own); closing a
        closed supply does nothing."""
        link, self._link, self._guard_link = self._link, None, None
        try:
            if link is not None and self._owns_driver:
                link.driver.close()  # type: ignore[attr-defined]
        finally:
            self._stop_virtual()

    @property
    def closed(self) -> bool:
        return self._link is None

    def __enter__(self) -> Self:
        return self.open()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<qm4410.Supply {self.port} {'closed' if self.closed else 'open'}>"

    # What the supply is and holds.

    @property
    def link(self) -> Link:
        """The driver's commands with their plain results (False, None), for
        the package's layers that decide themselves what a missing answer
        means (the workflows retry, the server answers its clients)."""
        if self._link is None:
            raise SupplyError(f"the supply on {self.port} is not open")
        return self._link

    @property
    def guard_link(self) -> Link:
        """The commands as a guard of the supply sends them (see
        qm4410.Guard): its readings and switch-offs before every other
        request on the supply's line. A link of the caller's (see
        from_link) is its own guard's link."""
        link = self.link
        return link if self._guard_link is None else self._guard_link

    @property
    def driver(self) -> QM4410:
        """The exact driver underneath, for what this face does not cover
        (it prints what it prints, and answers False or None)."""
        driver: QM4410 = self.link.driver  # type: ignore[assignment]
        return driver

    @property
    def identity(self) -> Identity:
        """Model, serial number and software version, as read when opened."""
        return self.link.identity()

    def status(self) -> Status:
        """One reading of the supply's status."""
        status = self.link.read_status()
        if status is None:
            raise NoReply(f"the supply on {self.port} did not answer the status request")
        return status

    def set_voltage(self, volts: float) -> None:
        """Set the output voltage, V (as the `voltage` property does)."""
        self._answered(self.link.set_voltage(setpoints.to_units("voltage", volts)), "the voltage")

    def set_current_limit(self, amperes: float) -> None:
        """Set the current limit, A (as the `current_limit` property does)."""
        self._answered(self.link.set_current(setpoints.to_units("current", amperes)), "the current limit")

    def set_max_voltage(self, volts: float) -> None:
        """Set the highest voltage the output may have, V (as the
        `max_voltage` property does)."""
        units = setpoints.to_units("voltage", volts, "the maximum voltage")
        self._answered(self.link.set_max_voltage(units), "the maximum voltage")

    def set_output(self, on: bool) -> None:
        """Switch the output on (True) or off (False)."""
        self._answered(self.link.set_output(_switch(on, "the output")), "switching the output")

    def set_remote(self, remote: bool) -> None:
        """Take the settings from this host (True) or from the front panel
        (False)."""
        self._answered(self.link.set_remote(_switch(remote, "remote")), "the control mode")

    def switch_off(self) -> None:
        """Switch the output off and see it off in the status; SwitchOffFailed
        when it could not be confirmed (asked again within a bounded time)."""
        state = switch_off(self.link)
        if state != "off":
            raise SwitchOffFailed(still_on_message(state), state)

    def restore_factory(self) -> None:
        """Restore the supply's factory settings."""
        self._answered(self.link.restore_factory(), "the factory reset")

    # What a Guard has beside, in the form a Supply alone has it (see SupplyLike).

    def checked(
        self, quantity: setpoints.Quantity, value: object, what: str | None = None, *, maximum: bool = False
    ) -> int:
        """`value` in the whole mV (mA) it is sent as, refused (OutOfRange,
        TypeError) as the core's rule refuses it; no exchange. The supply's
        own bound is the core's: the maximum voltage (`maximum`) is bounded
        as the voltage is."""
        return setpoints.to_units(quantity, value, what)

    def bound(self, quantity: setpoints.Quantity, *, maximum: bool = False) -> setpoints.Bound:
        """The highest set-point of `quantity` the core lets through."""
        return setpoints.core_bound(quantity)

    def commands(self, stop: Callable[[], object] | None = None) -> Link:
        """The commands a workflow sends: the link's, each sent at once, so
        that nothing waits for `stop()`."""
        return self.link

    @property
    def trip(self) -> "Trip | None":
        """None: a supply alone has no guard to trip."""
        return None

    def last_check(self) -> "Trip | None":
        """None: a supply alone has no guard to trip."""
        return None

    def _schedule(self) -> None:
        """Put the exact driver's link onto a line of its own, which this
        face's commands and its guard's share (see qm4410.supply.line); a
        driver of the caller's through its methods keeps its own order."""
        link = self._link
        if link is None or isinstance(link, DriverLink):
            return
        line = Line(link)
        self._link, self._guard_link = LineLink(line, link), LineLink(line, link, guard=True)

    def _answered(self, answered: bool, what: str) -> None:
        if not answered:
            raise NoReply(f"the supply on {self.port} did not answer {what}")

    def _stop_virtual(self) -> None:
        virtual, self._virtual = self._virtual, None
        if virtual is not None:
            virtual.close()


def _switch(value: object, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} is True or False, not {value!r}")
    return value
