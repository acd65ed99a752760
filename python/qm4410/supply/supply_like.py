"""What a Supply and a Guard over one both are, for the layers that take
either: the supply's face (its set-points, its status, the confirmed
switch-off), the checks of a value before anything is sent, the commands
a workflow sends, and the trip that ended what ran through it (never one,
for a Supply alone)."""

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

    def set_output(self, on: bool) -> None: ...

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
