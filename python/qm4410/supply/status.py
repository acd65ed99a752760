"""The supply's status as a typed record, what is derived from it (the
power, the regulation mode), and the forms every door shows it in."""

import dataclasses
import enum
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from qm4410 import StatusRecord, VersionRecord

# The driver's status record's keys, in its order: the columns of logs, the
# fields of JSON and of SCPI's STATus:RECord?.
RECORD_KEYS = (
    "current_real",
    "voltage_real",
    "current_set",
    "voltage_max_set",
    "voltage_set",
    "out_status",
    "beyond_temp",
    "out_mode",
    "fan_speed",
    "work_mode",
)


class Mode(enum.StrEnum):
    """What the supply regulates: the voltage (CV), the current (CC), or
    neither (XX, as with the output off)."""

    CV = "CV"
    CC = "CC"
    XX = "XX"


@dataclasses.dataclass(frozen=True, slots=True)
class Status:
    """One reading of the supply's status: what it measures at its output,
    the set-points it holds, and its state."""

    measured_current: float  # A
    measured_voltage: float  # V
    current_limit: float  # A, the current set-point
    max_voltage: float  # V
    voltage: float  # V, the voltage set-point
    output: bool  # on
    over_temperature: bool
    mode: Mode
    fan_speed: int  # 0 to 7
    remote: bool  # under this host's control, not the front panel's

    @property
    def power(self) -> float:
        """The power delivered, W: mV times mA resolves microwatts."""
        return round(self.measured_voltage * self.measured_current, 6)

    @classmethod
    def from_record(cls, record: "StatusRecord | Mapping[str, Any]") -> "Status":
        """The driver's status record (`read_dev_status()`), typed."""
        return cls(
            measured_current=float(record["current_real"]),
            measured_voltage=float(record["voltage_real"]),
            current_limit=float(record["current_set"]),
            max_voltage=float(record["voltage_max_set"]),
            voltage=float(record["voltage_set"]),
            output=record["out_status"] == "on",
            over_temperature=bool(record["beyond_temp"]),
            mode=Mode(record["out_mode"]),
            fan_speed=int(record["fan_speed"]),
            remote=record["work_mode"] == "remote",
        )

    def record(self) -> dict[str, object]:
        """As the driver's status record: its keys, in its order."""
        return {
            "current_real": self.measured_current,
            "voltage_real": self.measured_voltage,
            "current_set": self.current_limit,
            "voltage_max_set": self.max_voltage,
            "voltage_set": self.voltage,
            "out_status": "on" if self.output else "off",
            "beyond_temp": self.over_temperature,
            "out_mode": str(self.mode),
            "fan_speed": self.fan_speed,
            "work_mode": "remote" if self.remote else "local",
        }


def reading(status: Status | None) -> dict[str, object]:
    """The entries of a workflow's reading: the status record's, with the
    power beside them; all None for a reading the supply did not answer."""
    if status is None:
        return {**dict.fromkeys(RECORD_KEYS), "power_w": None}
    return {**status.record(), "power_w": status.power}


# A status by the names of its fields, as the command shows and logs it:
# what is measured, then the set-points, then the state.
FIELDS = (
    "measured_voltage",
    "measured_current",
    "power",
    "voltage",
    "current_limit",
    "max_voltage",
    "output",
    "mode",
    "over_temperature",
    "fan_speed",
    "remote",
)


def named(status: Status | None) -> dict[str, object]:
    """A status's values by its fields' names (FIELDS, the power among
    them); all None for a reading the supply did not answer. A reading in
    the driver's record form (a workflow's row) comes here through
    `Status.from_record`, the one place that maps the driver's keys."""
    if status is None:
        return dict.fromkeys(FIELDS)
    return {field: getattr(status, field) for field in FIELDS}


@dataclasses.dataclass(frozen=True, slots=True)
class Identity:
    """What the supply told of itself when it was opened."""

    model: str
    serial_number: str
    software_version: int

    @classmethod
    def from_record(cls, record: "VersionRecord | Mapping[str, Any]") -> "Identity":
        return cls(str(record["model"]), str(record["SN"]), int(record["soft_version"]))

    def record(self) -> dict[str, object]:
        """As the driver's version record."""
        return {"model": self.model, "SN": self.serial_number, "soft_version": self.software_version}
