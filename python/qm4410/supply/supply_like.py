"""What a Supply and a Guard over one both are, for the layers that take
either: the supply's face (its set-points, its status, the confirmed
switch-off), the checks of a value before anything is sent, the commands
a workflow sends, and the trip that ended what ran through it (never one,
for a Supply alone)."""

import abc
from collections.abc import Callable
from typing import TYPE_CHECKING, Protocol

from .link import Commands
from .setpoints import Bound, Quantity
from .status import Status

if TYPE_CHECKING:
    from .guard import Trip


class SupplyLike(Protocol):
    """A qm4410.Supply, or a qm4410.Guard keeping its rules on one."""

    @property
    def port(self) -> str: ...

    voltage: float
    current_limit: float
    max_voltage: float
    output: bool
    remote: bool

    def status(self) -> Status: ...

    def set_voltage(self, volts: float) -> None: ...

    def set_current_limit(self, amperes: float) -> None: ...

    def set_max_voltage(self, volts: float) -> None: ...

    def set_output(self, on: bool) -> None: ...

    def set_remote(self, remote: bool) -> None: ...

    def switch_off(self) -> None: ...

    def restore_factory(self) -> None: ...

    def checked(self, quantity: Quantity, value: object, what: str | None = None, *, maximum: bool = False) -> int:
        """`value` in the whole units it is sent as, refused (OutOfRange,
        TypeError) as sending it would refuse it, with nothing sent."""
        ...

    def bound(self, quantity: Quantity, *, maximum: bool = False) -> Bound:
        """The highest set-point of `quantity` let through."""
        ...

    def commands(self, stop: Callable[[], object] | None = None) -> Commands:
        """The commands a workflow sends, with plain results; a wait they
        make (a guard's slewed set-point) ends when `stop()` turns true."""
        ...

    @property
    def trip(self) -> "Trip | None":
        """The trip latched (None while none is)."""
        ...

    def last_check(self) -> "Trip | None":
        """The trip latched, else the one that a reading taken now fires."""
        ...


class SetPointProperties(abc.ABC):
    """The set-point properties of a Supply and of a Guard: reading one
    reads the status (never a value remembered from before), setting one
    goes through the face's own `set_...` method."""

    @abc.abstractmethod
    def status(self) -> Status: ...

    @abc.abstractmethod
    def set_voltage(self, volts: float) -> None: ...

    @abc.abstractmethod
    def set_current_limit(self, amperes: float) -> None: ...

    @abc.abstractmethod
    def set_max_voltage(self, volts: float) -> None: ...

    @abc.abstractmethod
    def set_output(self, on: bool) -> None: ...

    @abc.abstractmethod
    def set_remote(self, remote: bool) -> None: ...

    @property
    def voltage(self) -> float:
        """The output voltage set-point, V."""
        return self.status().voltage

    @voltage.setter
    def voltage(self, volts: float) -> None:
        self.set_voltage(volts)

    @property
    def current_limit(self) -> float:
        """The current limit, A."""
        return self.status().current_limit

    @current_limit.setter
    def current_limit(self, amperes: float) -> None:
        self.set_current_limit(amperes)

    @property
    def max_voltage(self) -> float:
        """The highest voltage the output may have, V."""
        return self.status().max_voltage

    @max_voltage.setter
    def max_voltage(self, volts: float) -> None:
        self.set_max_voltage(volts)

    @property
    def output(self) -> bool:
        """Whether the output is on."""
        return self.status().output

    @output.setter
    def output(self, on: bool) -> None:
        self.set_output(on)

    @property
    def remote(self) -> bool:
        """Whether the supply takes its settings from this host rather than
        from its front panel."""
        return self.status().remote

    @remote.setter
    def remote(self, remote: bool) -> None:
        self.set_remote(remote)
