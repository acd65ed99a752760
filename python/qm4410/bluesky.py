"""One supply as an ophyd-async device for Bluesky plans (`pip install
'qm4410[bluesky]'`).

    with init_devices():
        psu = QM4410Device('/dev/ttyUSB0')
    RE(scan([psu], psu, 0, 5, 11))

Readings are never older than the point they belong to: trigger() reads the
supply's status once and the read() after it gives that record's values, so
every reading of a point comes from one exchange; a read() with no trigger()
before it, read_configuration(), locate() and a signal read on its own
(`await psu.measured_voltage.get_value()`) each read the status themselves.
A signal subscribed to hears every record the device reads.

set(volts) sends the voltage set-point through the supply core, and through
the guard when one is given, ramping at its slew rate; stop() halts a ramp
where it stands. Its status (and that of a set of the current limit) ends
once the output has settled: see `settled`. A bad value raises ValueError
with the core's message before anything is sent; a supply that stops
answering fails the status with the core's exception (NoReply, PortGone).
Connected with `mock=True`, the device touches no port: its signals are
ophyd-async's mock signals."""

import asyncio
import contextlib
import time
from collections.abc import Awaitable, Callable, Iterator
from typing import Any, Generic, TypeVar

from bluesky.protocols import Locatable, Location, Reading, Stoppable, Triggerable
from event_model import DataKey
from ophyd_async.core import (
    AsyncStatus,
    Callback,
    Device,
    DeviceConnector,
    DeviceMock,
    Primitive,
    SignalBackend,
    SignalMetadata,
    SignalR,
    SignalRW,
    StandardReadable,
    StandardReadableFormat,
    make_datakey,
)

from .aio import AsyncQM4410
from .supply import setpoints
from .supply.errors import SupplyError
from .supply.guard import Rules
from .supply.setpoints import UNIT, Quantity
from .supply.status import Mode, Status

Value = TypeVar("Value", bound=Primitive)
Record = tuple[Status, float]  # a status and when it came (time.time())
# The signals of read() and of read_configuration(), each named as the
# field of the status record it shows.
READ = ("voltage", "measured_current", "measured_voltage", "power")
CONFIGURATION = ("current_limit", "output")
# The set-points whose set ends once the output has settled, and what each sets.
SETTLING: dict[str, Quantity] = {"voltage": "voltage", "current_limit": "current"}
# How near its set-point a measured value counts as settled, by default:
# room for a supply's readings to differ from its set-points by its
# accuracy, yet no room for an output still well on its way.
VOLTAGE_TOLERANCE_V = 0.05
CURRENT_TOLERANCE_A = 0.01
SETTLE_READINGS = 3  # in a row, settled
SETTLE_TIMEOUT_S = 10.0


class SettleTimeout(SupplyError):
    """A set's output did not settle within the device's settle_timeout.

    Not a TimeoutError: ophyd-async takes a TimeoutError raised within a
    set for its own time-out, and puts one in its place that names the
    signal's source alone."""


class QM4410Device(StandardReadable, Triggerable, Locatable[float], Stoppable):
    """The supply on `port` (a device or URL, or an AsyncQM4410 of the
    caller's), opened when the device is connected (Refused when it cannot
    be) and closed by `close()`.

    Signals, each a field of the supply's status record: `voltage` (the
    set-point, which set() moves; hinted), `measured_current` (hinted),
    `measured_voltage`, `power`; as configuration, `current_limit` and
    `output` (set them with their own set()).

    A set of the voltage or the current limit ends once the output has
    settled (see `settled`) in `settle_readings` readings of the status in
    a row, a measured value within `voltage_tolerance` volts
    (`current_tolerance` amperes) of its set-point; its status fails with
    SettleTimeout when that takes longer than `settle_timeout` seconds."""

    def __init__(
        self,
        port: "str | AsyncQM4410",
        name: str = "",
        *,
        guard: Rules | None = None,
        voltage_tolerance: float = VOLTAGE_TOLERANCE_V,
        current_tolerance: float = CURRENT_TOLERANCE_A,
        settle_readings: int = SETTLE_READINGS,
        settle_timeout: float = SETTLE_TIMEOUT_S,
    ) -> None:
        if isinstance(port, AsyncQM4410) and guard is not None:
            raise ValueError("give the guard to the AsyncQM4410, which keeps it")
        self.tolerances: dict[Quantity, float] = {
            "voltage": _tolerance(voltage_tolerance, "the voltage tolerance"),
            "current": _tolerance(current_tolerance, "the current tolerance"),
        }
        if isinstance(settle_readings, bool) or not isinstance(settle_readings, int) or settle_readings < 1:
            raise ValueError(f"settle_readings is a whole number, 1 or more, not {settle_readings!r}")
        self.settle_readings = settle_readings
        self.settle_timeout = setpoints.positive(settle_timeout, "the settle timeout")
        self.supply = port if isinstance(port, AsyncQM4410) else AsyncQM4410(port, guard=guard)
        self._record: Record | None = None
        self._unread = False  # the record of a trigger() that no read() has given yet
        self._listeners: list[Callable[[Record], None]] = []
        self._mocked = False
        self._moving: set[asyncio.Task[Any]] = set()
        self._stopped: bool | None = None  # stop()'s success, while a move it stopped ends
        with self.add_children_as_readables(StandardReadableFormat.HINTED_UNCACHED_SIGNAL):
            self.voltage = SignalRW(_Field(self, float, "voltage", "V"), timeout=None)
            self.measured_current = SignalR(_Field(self, float, "measured_current", "A"))
        with self.add_children_as_readables(StandardReadableFormat.UNCACHED_SIGNAL):
            self.measured_voltage = SignalR(_Field(self, float, "measured_voltage", "V"))
            self.power = SignalR(_Field(self, float, "power", "W"))
        with self.add_children_as_readables(StandardReadableFormat.CONFIG_SIGNAL):
            self.current_limit = SignalRW(_Field(self, float, "current_limit", "A"), timeout=None)
            self.output = SignalRW(_Field(self, bool, "output"), timeout=None)
        super().__init__(name=name, connector=_Connector(self))

    @classmethod
    def virtual(
        cls,
        name: str = "",
        *,
        guard: Rules | None = None,
        voltage_tolerance: float = VOLTAGE_TOLERANCE_V,
        current_tolerance: float = CURRENT_TOLERANCE_A,
        settle_readings: int = SETTLE_READINGS,
        settle_timeout: float = SETTLE_TIMEOUT_S,
        **options: object,
    ) -> "QM4410Device":
        """The device of a virtual supply (qm4410-sim) of its own, started
        when it is connected: `QM4410Device.virtual(load=8)`; the other
        keywords are the constructor's."""
        return cls(
            AsyncQM4410.virtual(guard=guard, **options),
            name,
            voltage_tolerance=voltage_tolerance,
            current_tolerance=current_tolerance,
            settle_readings=settle_readings,
            settle_timeout=settle_timeout,
        )

    async def close(self) -> None:
        """Close the supply (ending a virtual supply of its own)."""
        await self.supply.close()

    # Reading.

    @AsyncStatus.wrap
    async def trigger(self) -> None:
        if not self._mocked:
            await self._read_status()
            self._unread = True

    async def read(self) -> dict[str, Reading[Any]]:
        if self._mocked:
            return await super().read()
        record = self._record if self._unread and self._record is not None else await self._read_status()
        self._unread = False
        return self._readings(READ, record)

    async def read_configuration(self) -> dict[str, Reading[Any]]:
        if self._mocked:
            return await super().read_configuration()
        return self._readings(CONFIGURATION, await self._read_status())

    async def locate(self) -> Location[float]:
        if self._mocked:
            setpoint, readback = await self.voltage.get_value(), await self.measured_voltage.get_value()
        else:
            status, _ = await self._read_status()
            setpoint, readback = status.voltage, status.measured_voltage
        return Location(setpoint=setpoint, readback=readback)

    # Moving.

    def set(self, value: float, timeout: float | None = None) -> "AsyncStatus[None]":
        """Move the voltage set-point to `value` volts (ramping through the
        guard's slew, when it has one); the status ends once the output has
        settled there. ValueError at once for a value the supply or the
        guard refuses."""
        with _refusals_as_value_errors():
            self.supply.checked("voltage", value)
        return self.voltage.set(value, timeout=timeout)

    async def stop(self, success: bool = False) -> None:
        """Halt a move where it stands (a ramp between two steps); the move's
        status then fails, unless `success`."""
        self._stopped = success
        for task in self._moving:
            task.cancel()

    # Beneath.

    async def _read_status(self) -> Record:
        record = (await self.supply.status(), time.time())
        self._record = record
        for listener in self._listeners:
            listener(record)
        return record

    def _readings(self, fields: tuple[str, ...], record: Record) -> dict[str, Reading[Any]]:
        status, at = record
        return {
            getattr(self, field).name: Reading(value=getattr(status, field), timestamp=at, alarm_severity=0)
            for field in fields
        }

    async def _put(self, field: str, value: Any) -> None:
        send: Callable[[Any], Awaitable[None]] = {
            "voltage": self.supply.set_voltage,
            "current_limit": self.supply.set_current_limit,
            "output": self.supply.set_output,
        }[field]
        self._unread = False  # a trigger's record no longer tells what the supply holds
        self._stopped = None
        task = asyncio.current_task()
        assert task is not None  # a signal's put runs in a task of its status
        self._moving.add(task)
        try:
            with _refusals_as_value_errors():
                await send(value)
            if field in SETTLING:
                await self._settle(field, value)
        except asyncio.CancelledError:
            if self._stopped is None:
                raise
            if not self._stopped:
                raise RuntimeError(f"{self.name} was stopped where it stood") from None
        finally:
            self._moving.discard(task)

    async def _settle(self, field: str, value: float) -> None:
        """Read the status until the output has settled at the set-point
        just sent in `settle_readings` readings in a row; SettleTimeout,
        with the last reading, after `settle_timeout` seconds."""
        quantity = SETTLING[field]
        target = setpoints.setpoint(quantity, value)  # as it was sent, on the supply's grid
        tolerance = self.tolerances[quantity]
        in_a_row = 0
        status: Status | None = None
        try:
            async with asyncio.timeout(self.settle_timeout):
                while in_a_row < self.settle_readings:
                    status, _ = await self._read_status()
                    in_a_row = in_a_row + 1 if settled(quantity, target, status, tolerance) else 0
        except TimeoutError:
            unit = UNIT[quantity]
            last = "no reading came" if status is None else f"the last reading: {_measured(quantity, status)}"
            raise SettleTimeout(
                f"{getattr(self, field).name} did not settle at {target:.3f} {unit} within {self.settle_timeout:g} s "
                f"({in_a_row} of {self.settle_readings} readings in a row within {tolerance:g} {unit}; {last})"
            ) from None


def settled(quantity: Quantity, target: float, status: Status, tolerance: float) -> bool:
    """Whether `status` shows the output settled after its `quantity`
    set-point was set to `target`: within `tolerance` of it as measured;
    or where the output cannot reach it, held by the other limit (constant
    current after a voltage set, constant voltage after a current limit's)
    or, for the voltage, at the maximum voltage below it; or off, with
    nothing to settle."""
    if not status.output:
        return True
    if quantity == "voltage":
        reachable = min(target, status.max_voltage)
        return status.mode == Mode.CC or abs(status.measured_voltage - reachable) <= tolerance
    return status.mode == Mode.CV or abs(status.measured_current - target) <= tolerance


def _measured(quantity: Quantity, status: Status) -> str:
    if not status.output:
        return "the output off"
    measured = status.measured_voltage if quantity == "voltage" else status.measured_current
    return f"{measured:.3f} {UNIT[quantity]} in {status.mode}"


def _tolerance(value: float, what: str) -> float:
    tolerance = setpoints.number(value, what)
    if tolerance < 0:
        raise ValueError(f"{what} must not be negative, not {value!r}")
    return tolerance


class _Field(SignalBackend[Value], Generic[Value]):
    """One field of the supply's status record as a signal's backend: read,
    it reads the status; put (the set-points), it sends through the device."""

    def __init__(self, device: QM4410Device, datatype: type[Value], field: str, units: str | None = None) -> None:
        super().__init__(datatype)
        self.device = device
        self.field = field
        self.metadata = SignalMetadata(units=units, precision=3) if units else SignalMetadata()
        self.callback: Callback[Reading[Value]] | None = None
        self._asked: Value | None = None

    def source(self, name: str, read: bool) -> str:
        return f"qm4410:{self.device.supply.port}#{self.field}"

    async def connect(self, timeout: float) -> None:
        pass  # the device opened the supply

    async def put(self, value: Value | None) -> None:
        if value is None:
            raise ValueError(f"{self.field} needs a value")
        await self.device._put(self.field, value)
        self._asked = value

    async def get_datakey(self, source: str) -> DataKey:
        record = self.device._record
        value = self._value(record) if record is not None else self._type()
        return make_datakey(self._type, value, source, self.metadata)

    async def get_reading(self) -> Reading[Value]:
        return self._reading(await self.device._read_status())

    async def get_value(self) -> Value:
        return self._value(await self.device._read_status())

    async def get_setpoint(self) -> Value:
        return self._asked if self._asked is not None else await self.get_value()

    def set_callback(self, callback: Callback[Reading[Value]] | None) -> None:
        if callback is not None and self.callback is not None:
            raise RuntimeError("Cannot set a callback when one is already set")
        if self.callback is not None:
            self.device._listeners.remove(self._heard)
        self.callback = callback
        if callback is not None:
            self.device._listeners.append(self._heard)
            if self.device._record is not None:
                callback(self._reading(self.device._record))

    @property
    def _type(self) -> type[Value]:
        assert self.datatype is not None  # given when made
        return self.datatype

    def _value(self, record: Record) -> Value:
        value: Value = getattr(record[0], self.field)
        return value

    def _reading(self, record: Record) -> Reading[Value]:
        return Reading(value=self._value(record), timestamp=record[1], alarm_severity=0)

    def _heard(self, record: Record) -> None:
        if self.callback is not None:
            self.callback(self._reading(record))


class _Connector(DeviceConnector):
    """Connecting opens the supply and takes its first record; connecting
    with mock=True touches nothing."""

    def __init__(self, device: QM4410Device) -> None:
        self.device = device

    async def connect_mock(self, device: Device, mock: DeviceMock[Any]) -> None:
        self.device._mocked = True
        await super().connect_mock(device, mock)

    async def connect_real(self, device: Device, timeout: float, force_reconnect: bool) -> None:
        self.device._mocked = False
        await self.device.supply.open()
        await self.device._read_status()
        await super().connect_real(device, timeout, force_reconnect)


@contextlib.contextmanager
def _refusals_as_value_errors() -> Iterator[None]:
    """A value of the wrong kind is a ValueError to ophyd-async, as one out
    of range (the core's OutOfRange) already is; the core's words kept."""
    try:
        yield
    except TypeError as refused:
        raise ValueError(str(refused)) from refused


__all__ = ["QM4410Device", "SettleTimeout"]
