"""What a workflow hands back: its rows, how far it has come, how it ended."""

import dataclasses
from collections.abc import Callable
from typing import Literal, NamedTuple, TypedDict

from ..supply.errors import SupplyError


class Row(TypedDict):
    """One reading of the supply's status during a workflow.

    The keys of the status record are all there, with the measured power
    beside them; a reading that got no answer has `answered` False and None
    in every one of them. `asked_voltage` and `asked_current` are the
    set-points the workflow had sent when the reading was taken (None for
    one it leaves as it found it)."""

    timestamp: str
    elapsed_s: float
    cycle: int
    step: int
    asked_voltage: float | None
    asked_current: float | None
    answered: bool
    voltage_real: float | None
    current_real: float | None
    power_w: float | None
    voltage_set: float | None
    current_set: float | None
    voltage_max_set: float | None
    out_status: Literal["on", "off"] | None
    out_mode: Literal["CV", "CC", "XX"] | None
    beyond_temp: bool | None
    fan_speed: int | None
    work_mode: Literal["remote", "local"] | None


class Progress(NamedTuple):
    """Step `step` of `steps` has been reached; about `time_left_s` to go."""

    step: int
    steps: int
    time_left_s: float


RowCallback = Callable[[Row], object]
ProgressCallback = Callable[[Progress], object]
StopCheck = Callable[[], object]

StoppedBy = Literal["stop_current", "stop_power", "over_temperature", "trip", "stop"]


@dataclasses.dataclass(frozen=True)
class Outcome:
    """The rows of a finished workflow, in the order they were taken.

    `stopped_by` is None when the workflow ran to its end, otherwise what
    ended it early: one of the sweep's stop conditions, "trip" when the
    guard it ran through tripped (qm4410.Guard), or "stop" when the caller's
    stop check asked for it; `reason` says it in words."""

    rows: list[Row]
    stopped_by: StoppedBy | None = None
    reason: str = "ran to its end"


class NoAnswerError(SupplyError):
    """The supply stopped answering (or its port went away) during a
    workflow. The workflow tried to switch the output off before raising:
    `output_off` tells whether a status read confirmed it. `rows` holds
    every row recorded until then."""

    def __init__(self, message: str, rows: list[Row], output_off: bool) -> None:
        super().__init__(message)
        self.rows = rows
        self.output_off = output_off
