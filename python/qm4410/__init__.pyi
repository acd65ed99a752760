"""Driver for the QM4410 programmable DC power supply on a serial line."""

import platform as platform
import subprocess as subprocess
import time as time
from types import TracebackType
from typing import ClassVar, Literal, Self, SupportsFloat, SupportsIndex, TypedDict, type_check_only

import serial as serial

# The package's face for scripts, loaded on first use (qm4410.supply).
from qm4410.supply import Guard as Guard
from qm4410.supply import Identity as Identity
from qm4410.supply import Mode as Mode
from qm4410.supply import NoReply as NoReply
from qm4410.supply import OutOfRange as OutOfRange
from qm4410.supply import PortGone as PortGone
from qm4410.supply import RefusalKind as RefusalKind
from qm4410.supply import Refused as Refused
from qm4410.supply import Rules as Rules
from qm4410.supply import Status as Status
from qm4410.supply import Supply as Supply
from qm4410.supply import SupplyError as SupplyError
from qm4410.supply import SwitchOffFailed as SwitchOffFailed
from qm4410.supply import Trip as Trip
from qm4410.supply import Tripped as Tripped

__version__: str

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
    _QM4410__CMD_TEMPLATE: ClassVar[tuple[int, ...]]
    _QM4410__CMD_WORD_SET_WORK_MODE: ClassVar[int]
    _QM4410__CMD_WORD_SET_OUT_MODE: ClassVar[int]
    _QM4410__CMD_WORD_SET_MAX_OUT_VOLTAGE: ClassVar[int]
    _QM4410__CMD_WORD_SET_OUT_VOLTAGE: ClassVar[int]
    _QM4410__CMD_WORD_SET_OUT_CURRENT: ClassVar[int]
    _QM4410__CMD_WORD_SET_NEW_ADDR: ClassVar[int]
    _QM4410__CMD_WORD_READ_DEV_REAL_STATUS: ClassVar[int]
    _QM4410__CMD_WORD_READ_DEV_VERSION: ClassVar[int]
    _QM4410__CMD_WORD_RESTORE_FACTORY: ClassVar[int]
    _QM4410__CMD_WORD_DEV_RETURN: ClassVar[int]
    _QM4410__CMD_LENGTH: ClassVar[int]
    port: str
    ser: serial.Serial
    _QM4410__addr: int
    _QM4410__product_model: str
    _QM4410__product_number: str
    _QM4410__soft_version: int
    def __init__(self, serial_port: str) -> None: ...
    def _QM4410__check_crc(self, data: list[int]) -> bool: ...
    def _QM4410__cal_crc(self, data: list[int]) -> None: ...
    def _QM4410__read(self) -> bytes | None: ...
    def _QM4410__write_and_read(self, cmd: list[int]) -> bytes | None: ...
    def show_device_version(self) -> VersionRecord: ...
    def set_work_mode(self, mode: Literal["remote", "local"] = "remote") -> bool: ...
    def set_ouput_mode(self, mode: Literal["on", "off"] = "off") -> bool: ...
    def set_voltage_max(self, voltage: _Number) -> bool: ...
    def set_out_voltage(self, voltage: _Number) -> bool: ...
    def set_out_current(self, current: _Number) -> bool: ...
    def set_new_addr(self, address: int) -> bool: ...
    def restore_factory(self) -> bool: ...
    def read_dev_status(self) -> StatusRecord | None: ...
    def _QM4410__read_device_version(self) -> None: ...
    def check_port_available(self) -> bool: ...
    def open(self) -> bool: ...
    def close(self) -> None: ...
    # Opens on the way in (ConnectionError with open()'s reason when it
    # fails) and closes on the way out.
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...

def _run_demonstration(namespace: dict[str, object], /) -> None: ...
