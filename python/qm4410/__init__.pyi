"""Driver for the QM4410 programmable DC power supply on a serial line."""

import platform as platform
import subprocess as subprocess
import time as time
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, type_check_only

import serial as serial

# The two records exist for annotations only (import them under
# typing.TYPE_CHECKING); at run time they are plain dicts.
@type_check_only
class StatusRecord(TypedDict):
    current_real: float
    voltage_real: float
    current_set: float
    voltage_max_set: float
    voltage_set: float
    out_status: Literal["on", "off"]
    beyond_temp: bool
    out_mode: Literal["CV", "CC", "XX"]
    fan_speed: int
    work_mode: Literal["remote", "local"]

@type_check_only
class VersionRecord(TypedDict):
    model: str
    SN: str
    soft_version: int

_Number = SupportsFloat | SupportsIndex

class QM4410:
    port: str
    ser: serial.Serial
    def __init__(self, serial_port: str) -> None: ...
    def show_device_version(self) -> VersionRecord: ...
    def set_work_mode(self, mode: Literal["remote", "local"] = "remote") -> bool: ...
    def set_ouput_mode(self, mode: Literal["on", "off"] = "off") -> bool: ...
    def set_voltage_max(self, voltage: _Number) -> bool: ...
    def set_out_voltage(self, voltage: _Number) -> bool: ...
    def set_out_current(self, current: _Number) -> bool: ...
    def set_new_addr(self, address: int) -> bool: ...
    def restore_factory(self) -> bool: ...
    def read_dev_status(self) -> StatusRecord | None: ...
    def check_port_available(self) -> bool: ...
    def open(self) -> bool: ...
    def close(self) -> None: ...

def _run_demonstration(namespace: dict[str, object], /) -> None: ...
