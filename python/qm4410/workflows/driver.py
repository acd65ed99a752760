"""What the workflows need of a driver: the four commands they send."""

from typing import TYPE_CHECKING, Literal, Protocol

if TYPE_CHECKING:
    from qm4410 import StatusRecord


class Driver(Protocol):
    """A `qm4410.QM4410`, opened, or anything with these methods."""

    def set_out_voltage(self, voltage: float, /) -> bool: ...

    def set_out_current(self, current: float, /) -> bool: ...

    def set_ouput_mode(self, mode: Literal["on", "off"], /) -> bool: ...

    def read_dev_status(self) -> "StatusRecord | None": ...
