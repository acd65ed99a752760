"""The supply's process variables: what each holds, where a reading of the
status puts it, and what a put to one does, through the guard.

Every put is carried out on a thread of the event loop's executor (the
supply's exchanges block), and is refused, with the reason as the
client's error, by raising: nothing is then sent."""

import asyncio
import contextvars
import dataclasses
import logging
import math
import numbers
from collections.abc import Callable
from typing import Any

from caproto import (
    AccessRights,
    AlarmSeverity,
    AlarmStatus,
    ChannelAlarm,
    ChannelChar,
    ChannelDouble,
    ChannelEnum,
    ChannelInteger,
    ChannelString,
)

from ...supply import setpoints
from ...supply.guard import TRIP_NAMES, Guard, Rules
from ...supply.setpoints import Bound, Quantity
from ...supply.status import Mode, Status

log = logging.getLogger("qm4410.serve")

NO_TRIP = "none"
TRIP_STATES = (NO_TRIP, *TRIP_NAMES)
# Units and precision: the supply's 1 mV and 1 mA, and the microwatt that
# their product resolves.
VOLTS = {"units": "V", "precision": 3}
AMPERES = {"units": "A", "precision": 3}
WATTS = {"units": "W", "precision": 6}
LONG_STRING = 256  # characters of a trip's reason

# Carries out a put (blocking), given the value and the client (user@host)
# that asked; returns what the PV then holds.
Put = Callable[[Any, str], object]
_client: contextvars.ContextVar[str] = contextvars.ContextVar("client", default="a client")


class _Refusing:
    """A PV whose puts are carried out by `put`, which raises to refuse one;
    every refusal (caproto's own, of a value it cannot convert, too) is
    logged with the client that asked."""

    put: Put
    name: str

    async def verify_value(self, value: Any) -> object:
        return await asyncio.get_running_loop().run_in_executor(None, self.put, value, _client.get())

    async def auth_write(self, hostname: str, username: str, data: Any, *args: Any, **kwargs: Any) -> object:
        client = f"{username}@{hostname}"
        _client.set(client)  # for verify_value, in this same task
        try:
            return await super().auth_write(hostname, username, data, *args, **kwargs)  # type: ignore[misc]
        except Exception as refused:
            log.info("%s: a put to %s refused: %s", client, self.name, str(refused) or type(refused).__name__)
            raise


class _ReadOnly:
    def check_access(self, hostname: str, username: str) -> Any:
        return AccessRights.READ


class SetDouble(_Refusing, ChannelDouble):  # type: ignore[misc]
    pass


class SetEnum(_Refusing, ChannelEnum):  # type: ignore[misc]
    pass


class SetInteger(_Refusing, ChannelInteger):  # type: ignore[misc]
    pass


class ReadDouble(_ReadOnly, ChannelDouble):  # type: ignore[misc]
    pass


class ReadEnum(_ReadOnly, ChannelEnum):  # type: ignore[misc]
    pass


class ReadInteger(_ReadOnly, ChannelInteger):  # type: ignore[misc]
    pass


class ReadString(_ReadOnly, ChannelString):  # type: ignore[misc]
    pass


class ReadLongString(_ReadOnly, ChannelChar):  # type: ignore[misc]
    pass


@dataclasses.dataclass(frozen=True)
class Fed:
    """A PV that each answered reading of the status sets, and whether it
    tells the trip (MAJOR while one is latched)."""

    channel: Any
    value: Callable[[Status], object]
    tells_trip: bool = False


def _undefined() -> Any:
    """No reading yet: the alarm EPICS gives a record never processed."""
    return ChannelAlarm(status=AlarmStatus.UDF, severity=AlarmSeverity.INVALID_ALARM)


def _labels(off: str, on: str) -> dict[str, Any]:
    return {"enum_strings": [off, on], "value": off}


def _drive(bound: Bound) -> dict[str, float]:
    """DRVH/DRVL and HOPR/LOPR of a set-point: 0 to its bound at the guard
    (the supply's own, or the guard's limit where lower); 0 to 0, EPICS's
    "none given", where nothing bounds it but what the supply can be sent
    (the voltage until the supply's maximum voltage is read, the maximum
    voltage without a limit). Shown to clients; the guard, in the core's
    words, is what refuses a put."""
    most = setpoints.from_units(bound.units) if bound.known else 0.0
    return {"lower_ctrl_limit": 0.0, "upper_ctrl_limit": most, "lower_disp_limit": 0.0, "upper_disp_limit": most}


class Pvs:
    """Every PV of one supply, named `prefix` + suffix (`pvdb`), fed by the
    guard's readings (`post`), its puts sent through `guard`."""

    def __init__(self, prefix: str, guard: Guard) -> None:
        self.prefix = prefix
        self._guard = guard
        rules = guard.rules
        on_off = _labels("OFF", "ON")
        self._set: dict[str, Any] = {
            "VOLT_SP": SetDouble(value=0.0, **VOLTS, **_drive(guard.bound("voltage")), alarm=_undefined()),
            "CURR_SP": SetDouble(value=0.0, **AMPERES, **_drive(guard.bound("current")), alarm=_undefined()),
            "MAX_VOLT_SP": SetDouble(
                value=0.0, **VOLTS, **_drive(guard.bound("voltage", maximum=True)), alarm=_undefined()
            ),
            "OUT_SP": SetEnum(**on_off, alarm=_undefined()),
            "REMOTE_SP": SetEnum(**_labels("LOCAL", "REMOTE"), alarm=_undefined()),
            "TRIP_CLEAR": SetInteger(value=0),
        }
        puts: dict[str, Put] = {
            "VOLT_SP": lambda volts, _: self._set_point("voltage", volts),
            "CURR_SP": lambda amperes, _: self._set_point("current", amperes),
            "MAX_VOLT_SP": lambda volts, _: self._set_max_voltage(volts),
            "OUT_SP": lambda label, _: _switch(label, on_off, lambda on: guard.set_output(on, wait=False)),
            "REMOTE_SP": lambda label, _: _switch(label, _labels("LOCAL", "REMOTE"), self._set_remote),
            "TRIP_CLEAR": lambda _, client: self._clear_trip(client),
        }
        for suffix, channel in self._set.items():
            channel.put = puts[suffix]
        self._fed = {
            "VOLT_RBV": Fed(ReadDouble(value=0.0, **VOLTS, alarm=_undefined()), lambda s: s.voltage),
            "CURR_RBV": Fed(ReadDouble(value=0.0, **AMPERES, alarm=_undefined()), lambda s: s.current_limit),
            "MAX_VOLT_RBV": Fed(ReadDouble(value=0.0, **VOLTS, alarm=_undefined()), lambda s: s.max_voltage),
            "OUT_RBV": Fed(ReadEnum(**on_off, alarm=_undefined()), lambda s: "ON" if s.output else "OFF", True),
            "VOLT_MEAS": Fed(ReadDouble(value=0.0, **VOLTS, alarm=_undefined()), lambda s: s.measured_voltage),
            "CURR_MEAS": Fed(ReadDouble(value=0.0, **AMPERES, alarm=_undefined()), lambda s: s.measured_current),
            "POWER_MEAS": Fed(ReadDouble(value=0.0, **WATTS, alarm=_undefined()), lambda s: s.power),
            "MODE_RBV": Fed(
                ReadEnum(enum_strings=[m.value for m in Mode], value=Mode.XX.value, alarm=_undefined()),
                lambda s: s.mode.value,
            ),
            "OVERTEMP_RBV": Fed(
                ReadEnum(**_labels("OK", "OVERTEMP"), alarm=_undefined()),
                lambda s: "OVERTEMP" if s.over_temperature else "OK",
            ),
            "FAN_RBV": Fed(ReadInteger(value=0, alarm=_undefined()), lambda s: s.fan_speed),
            "REMOTE_RBV": Fed(
                ReadEnum(**_labels("LOCAL", "REMOTE"), alarm=_undefined()), lambda s: "REMOTE" if s.remote else "LOCAL"
            ),
        }
        self._trip = ReadEnum(enum_strings=list(TRIP_STATES), value=NO_TRIP)
        self._trip_reason = ReadLongString(value="", max_length=LONG_STRING, report_as_string=True)
        self._connected = ReadEnum(**_labels("NO", "YES"), alarm=_undefined())
        self._identity = ReadString(value="")
        rule_pvs = {field.name.upper(): self._rule(rules, field.name) for field in dataclasses.fields(Rules)}
        self.pvdb: dict[str, Any] = {
            prefix + suffix: channel
            for suffix, channel in {
                **self._set,
                **{suffix: fed.channel for suffix, fed in self._fed.items()},
                "TRIP_RBV": self._trip,
                "TRIP_REASON": self._trip_reason,
                "CONNECTED": self._connected,
                "IDN": self._identity,
                **rule_pvs,
            }.items()
        }
        for name, channel in self.pvdb.items():
            channel.name = name
        self._read_before = False

    async def post(self, status: Status | None, identity: str | None) -> None:
        """Post a reading of the status (None: unanswered) to every PV it
        feeds, with its alarm: INVALID (COMM) while the supply does not
        answer, MAJOR (STATE) on those that tell the trip while one is
        latched. The set-points take the supply's at its first answer; the
        voltage's drive limits follow its maximum voltage."""
        trip = self._guard.trip
        if status is not None and not self._read_before:
            self._read_before = True
            for suffix, value in (
                ("VOLT_SP", status.voltage),
                ("CURR_SP", status.current_limit),
                ("MAX_VOLT_SP", status.max_voltage),
                ("OUT_SP", "ON" if status.output else "OFF"),
                ("REMOTE_SP", "REMOTE" if status.remote else "LOCAL"),
            ):
                await self._set[suffix].write(value, verify_value=False)
        if status is not None:
            await self._post_voltage_bound()
        for fed in self._fed.values():
            if status is None:
                await _alarmed(fed.channel, None, AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
            elif fed.tells_trip and trip is not None:
                await _alarmed(fed.channel, fed.value(status), AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM)
            else:
                await _alarmed(fed.channel, fed.value(status))
        answered = (
            (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
            if status is None
            else (AlarmStatus.NO_ALARM, AlarmSeverity.NO_ALARM)
        )
        for suffix, channel in self._set.items():
            # A set-point holds what was put, which no reading changes: it
            # is posted again only when its alarm changes.
            if suffix != "TRIP_CLEAR" and (channel.alarm.status, channel.alarm.severity) != answered:
                await _alarmed(channel, None, *answered)
        await _alarmed(
            self._connected,
            "YES" if status is not None else "NO",
            *(
                (AlarmStatus.NO_ALARM, AlarmSeverity.NO_ALARM)
                if status is not None
                else (AlarmStatus.COMM, AlarmSeverity.MAJOR_ALARM)
            ),
        )
        await self.post_trip()
        if identity is not None and identity != self._identity.value:
            await self._identity.write(identity, verify_value=False)

    async def _post_voltage_bound(self) -> None:
        """VOLT_SP's drive and display limits, as the guard now bounds it
        (the reading just taken told it the supply's maximum voltage)."""
        drive = _drive(self._guard.bound("voltage"))
        channel = self._set["VOLT_SP"]
        if channel.upper_ctrl_limit != drive["upper_ctrl_limit"]:
            await channel.write_metadata(**drive)

    async def post_trip(self) -> None:
        trip = self._guard.trip
        if trip is None:
            await _alarmed(self._trip, NO_TRIP)
            await _alarmed(self._trip_reason, "")
            return
        reason = f"{trip.reason}; {trip.output_left}"[: LONG_STRING - 1]
        await _alarmed(self._trip, trip.name, AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM)
        await _alarmed(self._trip_reason, reason, AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM)

    # The puts, on an executor's thread.

    def _set_point(self, quantity: Quantity, value: Any) -> float:
        """Through the core's rule and the guard's limit, then at once or as
        the guard's ramp (which goes on after the put returns); the PV holds
        it as sent, on the supply's grid."""
        send = self._guard.set_voltage if quantity == "voltage" else self._guard.set_current_limit
        send(_number(value), wait=False)
        return setpoints.setpoint(quantity, value)

    def _set_max_voltage(self, value: Any) -> float:
        self._guard.max_voltage = _number(value)
        return setpoints.setpoint("voltage", value)

    def _set_remote(self, remote: bool) -> None:
        self._guard.remote = remote

    def _clear_trip(self, client: str) -> int:
        """Clear the guard's trip, for every client; the log says who did."""
        trip = self._guard.trip
        if trip is not None:
            log.info("%s clears the %s trip through %sTRIP_CLEAR", client, trip.name, self.prefix)
        self._guard.clear()
        return 0

    @staticmethod
    def _rule(rules: Rules, name: str) -> Any:
        value = getattr(rules, name)
        if isinstance(value, bool):  # trip_overtemp, soft_start
            return ReadEnum(**_labels("NO", "YES")) if not value else ReadEnum(enum_strings=["NO", "YES"], value="YES")
        # NaN for a rule that is not set (0 is a limit: the set-point held there).
        return ReadDouble(value=math.nan if value is None else float(value), units=Rules.UNITS[name], precision=3)


def _switch(value: Any, labels: dict[str, Any], send: Callable[[bool], None]) -> str:
    """A two-state put, by its label or its index (0 or 1)."""
    off, on = names = labels["enum_strings"]
    if isinstance(value, numbers.Integral) and value in (0, 1):
        value = names[int(value)]
    if value not in names:
        raise ValueError(f"{value!r} is neither {off} (0) nor {on} (1)")
    send(value == on)
    return str(value)


def _number(value: Any) -> float:
    """A put's value as a float for the core's rule (which refuses NaN and
    what is no number)."""
    if isinstance(value, (bytes, str)):
        raise TypeError(f"a number is needed, not {value!r}")
    return float(value)


async def _alarmed(
    channel: Any, value: object, status: Any = AlarmStatus.NO_ALARM, severity: Any = AlarmSeverity.NO_ALARM
) -> None:
    """Write `value` (None: the one it holds) with the alarm given, posted
    to its monitors together."""
    alarm = channel.alarm
    if (alarm.status, alarm.severity) != (status, severity):  # most readings leave it as it was
        await alarm.write(status=status, severity=severity, publish=False)
    await channel.write(channel.value if value is None else value, verify_value=False)
