"""One supply as a QCoDeS instrument (`pip install 'qm4410[qcodes]'`).

    psu = QM4410('psu', '/dev/ttyUSB0')                        # or address='/dev/ttyUSB0', as a Station's YAML gives it
    psu.voltage.step, psu.voltage.inter_delay = 0.1, 0.05     # a set ramps in 100 mV steps
    do1d(psu.voltage, 0, 6, 13, 0.1, psu.measured)

Every Parameter goes through the supply core: a get reads the supply's
status (never a value kept from before: a supply that does not answer
raises NoReply or PortGone), a set sends through the core's set-point rule,
and through a guard's limits, trips and slew rates when the instrument has
one. A set-point's validator has the core's bounds (the guard's limit as
its maximum) and refuses a value with the core's own words before anything
is sent.

`measured` reads the measured voltage and current from one status
exchange, as a pair that belongs together; `measured_voltage` and
`measured_current` each read a status of their own."""

from collections.abc import Callable, Mapping, Sequence, Sized
from typing import Any

import numpy
from qcodes.instrument import Instrument
from qcodes.parameters import MultiParameter, Parameter
from qcodes.utils.types import NumberType
from qcodes.validators import Bool, Numbers, Strings

from .supply.errors import OutOfRange
from .supply.face import Supply
from .supply.guard import Guard, Rules
from .supply.owned import Owned
from .supply.setpoints import NAME, UNIT, Quantity, from_units, to_units
from .supply.status import Status
from .supply.supply_like import SupplyLike


class QM4410(Instrument):
    """The supply on `port`: a device ('/dev/ttyUSB0', 'COM3'), a URL
    ('rfc2217://labpi:4410') or a qm4410.Supply (`Supply.virtual(load=8)`
    for a virtual supply of its own); or on `address`, the name QCoDeS
    gives the port (a Station configuration's `address:`), one of the two.
    Opened here: Refused, with its kind, when it cannot be. `close()` closes what was opened here; it does not
    switch the output off (`switch_off()` does, confirmed).

    With `guard` (qm4410.Rules, or a qm4410.Guard of the caller's on the
    same supply, started here if it is not) every set goes through the
    guard.

    Parameters: `voltage`, `current_limit`, `max_voltage` (V, A; set-points),
    `output`, `remote` (bool), and, read only, `measured` (the measured
    voltage and current of one status), `measured_voltage`,
    `measured_current`, `power` (V, A, W), `mode` ('CV', 'CC' or 'XX') and
    `over_temperature` (bool)."""

    def __init__(
        self,
        name: str,
        port: str | Supply | None = None,
        *,
        address: str | Supply | None = None,
        guard: Rules | Guard | None = None,
        metadata: Mapping[Any, Any] | None = None,
        label: str | None = None,
    ) -> None:
        given = [where for where in (port, address) if where is not None]
        if len(given) != 1:
            said = "both port and address" if given else "neither port nor address"
            raise TypeError(f"QM4410 {name!r} takes the supply's port as port or as address, one of them: {said} given")
        supply = Supply(given[0]) if isinstance(given[0], str) else given[0]
        # What close() closes: what was opened here. Set before anything can
        # fail, since QCoDeS closes an instrument whose __init__ raised.
        self._owned: Owned | None = None
        owned = Owned(supply, guard)
        face = owned.open()
        self._owned = owned
        try:
            self.supply = supply
            self.face = face
            super().__init__(name, metadata=metadata, label=label)
            self._add_parameters(face)
        except BaseException:
            self._close_opened()
            raise

    def _add_parameters(self, face: SupplyLike) -> None:
        self.voltage: SetPoint = self.add_parameter(
            "voltage", SetPoint, label="Voltage set-point", face=face, quantity="voltage"
        )
        self.current_limit: SetPoint = self.add_parameter(
            "current_limit", SetPoint, label="Current limit", face=face, quantity="current"
        )
        self.max_voltage: SetPoint = self.add_parameter(
            "max_voltage",
            SetPoint,
            label="Maximum voltage",
            face=face,
            quantity="voltage",
            what="the maximum voltage",
            maximum=True,
        )
        self.output: Parameter = self.add_parameter(
            "output", label="Output on", get_cmd=self._field("output"), set_cmd=self._switch("output"), vals=Bool()
        )
        self.remote: Parameter = self.add_parameter(
            "remote", label="Remote control", get_cmd=self._field("remote"), set_cmd=self._switch("remote"), vals=Bool()
        )
        self.measured: Measured = self.add_parameter("measured", Measured, status=self.status)
        self.measured_voltage: Parameter = self.add_parameter(
            "measured_voltage", label="Measured voltage", unit="V", get_cmd=self._field("measured_voltage")
        )
        self.measured_current: Parameter = self.add_parameter(
            "measured_current", label="Measured current", unit="A", get_cmd=self._field("measured_current")
        )
        self.power: Parameter = self.add_parameter("power", label="Power", unit="W", get_cmd=self._field("power"))
        self.mode: Parameter = self.add_parameter(
            "mode", label="Regulation mode", get_cmd=self._field("mode"), vals=Strings()
        )
        self.over_temperature: Parameter = self.add_parameter(
            "over_temperature", label="Over-temperature", get_cmd=self._field("over_temperature"), vals=Bool()
        )

    def status(self) -> Status:
        """One reading of the supply's status (through the guard, with one)."""
        return self.face.status()

    def switch_off(self) -> None:
        """Switch the output off, confirmed in the status (SwitchOffFailed
        when it cannot be)."""
        self.face.switch_off()

    def get_idn(self) -> dict[str, str | None]:
        identity = self.supply.identity
        return {
            "vendor": "QM4410",
            "model": identity.model,
            "serial": identity.serial_number,
            "firmware": str(identity.software_version),
        }

    def close(self) -> None:
        self._close_opened()
        super().close()

    def _close_opened(self) -> None:
        owned = getattr(self, "_owned", None)
        if owned is not None:
            owned.close()

    def _field(self, name: str) -> Callable[[], object]:
        return lambda: getattr(self.status(), name)

    def _switch(self, name: str) -> Callable[[object], None]:
        def switch(on: object) -> None:
            # numpy's bool, which Bool() lets through, as Python's: the core takes True or False only.
            setattr(self.face, name, on.item() if isinstance(on, numpy.bool_) else on)

        return switch


class SetPoint(Parameter):
    """A set-point of the supply's (V or A), named as the field of the status
    that reports it and the property of `face` (a Supply or a Guard) that
    sends it. Its validator refuses what the core refuses, in the core's
    words, with a guard's limit as its maximum; the set itself goes through
    the core again, so a value that reaches it past a validator is still
    refused before anything is sent.

    A stepped set (`step`, with `inter_delay`) ramps from where the supply
    stands, read at the start of the set (never the cache, which another
    client or the front panel may have left behind), in steps of `step` on
    the supply's grid (1 mV, 1 mA), to the value asked; with a guard's slew
    rate, each step ramps at that rate too."""

    def __init__(
        self,
        name: str,
        *,
        face: SupplyLike,
        quantity: Quantity,
        what: str | None = None,
        maximum: bool = False,
        **kwargs: Any,
    ) -> None:
        self._face = face
        self._quantity = quantity
        self._maximum = maximum  # the maximum voltage, which the supply's own does not bound
        self._what = NAME[quantity] if what is None else what
        super().__init__(
            name,
            unit=UNIT[quantity],
            get_cmd=self._read,
            set_cmd=self._send,
            vals=CoreBounds(self._checked, from_units(face.bound(quantity, maximum=True).units)),
            **kwargs,
        )

    def get_ramp_values(
        self, value: NumberType | Sized, step: NumberType | None = None
    ) -> Sequence[NumberType | Sized]:
        if step is None or isinstance(value, Sized):
            return [value]
        here = to_units(self._quantity, self.get(), self._what)
        there = self._checked(value)
        stride = to_units(self._quantity, step, f"the step of {self.full_name}")
        if stride == 0:
            unit = UNIT[self._quantity]
            raise OutOfRange(
                f"the step of {self.full_name}, {step!r} {unit}, is finer than the supply's {from_units(1)} {unit}"
            )
        toward = stride if there > here else -stride
        return [*(from_units(units) for units in range(here, there, toward)[1:]), value]

    def _checked(self, value: object) -> int:
        return self._face.checked(self._quantity, value, self._what, maximum=self._maximum)

    def _read(self) -> float:
        value: float = getattr(self._face.status(), self.name)
        return value

    def _send(self, value: float) -> None:
        setattr(self._face, self.name, value)


class CoreBounds(Numbers):
    """A set-point's bounds, 0 to `highest`, as the supply core checks them
    (`check`): a refusal is the core's (OutOfRange, a ValueError; TypeError
    for what is no number), its message the core's, with QCoDeS's context
    after it."""

    def __init__(self, check: Callable[[object], int], highest: float) -> None:
        super().__init__(0, highest)
        self._core_check = check

    def validate(self, value: Any, context: str = "") -> None:
        try:
            self._core_check(value)
        except (OutOfRange, TypeError) as refused:
            raise type(refused)(f"{refused}; {context}" if context else str(refused)) from None


class Measured(MultiParameter):
    """The measured voltage and current (V, A) of one status exchange, a
    pair that belongs together: in a measurement, `measured_voltage` and
    `measured_current` beside each other."""

    def __init__(self, name: str, *, status: Callable[[], Status], **kwargs: Any) -> None:
        super().__init__(
            name,
            names=("measured_voltage", "measured_current"),
            shapes=((), ()),
            setpoints=((), ()),
            labels=("Measured voltage", "Measured current"),
            units=("V", "A"),
            **kwargs,
        )
        self._status = status

    def get_raw(self) -> tuple[float, float]:
        status = self._status()
        return status.measured_voltage, status.measured_current
