"""A profile: steps of set-points held for a time, read from a file and
checked whole before any of it is sent; and its plan, the moment each step
starts."""

import math
from collections.abc import Callable
from typing import Literal, NamedTuple, TypeVar

from ..supply.setpoints import Quantity, duration, setpoint

FIELDS = ("duration", "voltage", "current", "output")
# A plan holds every step it runs; more than this (a repeat count mistyped)
# would take memory by the gigabyte before the first step.
MOST_PLANNED_STEPS = 1_000_000

T = TypeVar("T")
Place = tuple[int, int | None]  # line and column, both from 1; no column when a whole line is meant


class Problem(NamedTuple):
    line: int
    column: int | None
    message: str

    def __str__(self) -> str:
        where = f"{self.line}" if self.column is None else f"{self.line}:{self.column}"
        return f"{where}: {self.message}"


class ProfileError(ValueError):
    """Everything wrong with a profile file, each problem with its place."""

    def __init__(self, source: str, problems: list[Problem]) -> None:
        super().__init__("\n".join(f"{source}:{problem}" for problem in problems))
        self.source = source
        self.problems = problems


class Step(NamedTuple):
    """One step as it runs: a cell left empty in the file has the value of
    the step before; None means a set-point the profile has not given, left
    as the supply has it (or 0 once the output is on, if a later step
    gives it)."""

    duration_s: float
    voltage: float | None
    current: float | None
    output: Literal["on", "off"] | None
    line: int


class Profile(NamedTuple):
    source: str
    steps: tuple[Step, ...]


class PlannedStep(NamedTuple):
    cycle: int
    number: int  # from 1, within the profile
    start_s: float  # from the start of the run
    step: Step


class Plan(NamedTuple):
    steps: list[PlannedStep]
    total_s: float


def plan(profile: Profile, repeat: int = 1) -> Plan:
    """When each step starts, counted from the start of the run, with the
    profile run `repeat` times; a dry run shows this, a run keeps to it."""
    if isinstance(repeat, bool) or not isinstance(repeat, int) or repeat < 1:
        raise ValueError(f"the repeat count is a whole number from 1, not {repeat!r}")
    if len(profile.steps) * repeat > MOST_PLANNED_STEPS:
        raise ValueError(
            f"{len(profile.steps)} steps repeated {repeat} times make more than {MOST_PLANNED_STEPS} steps"
        )
    planned, start = [], 0.0
    for cycle in range(1, repeat + 1):
        for number, step in enumerate(profile.steps, 1):
            planned.append(PlannedStep(cycle, number, start, step))
            start += step.duration_s
    if not math.isfinite(start):  # each step's time is finite; their sum need not be
        times = f" repeated {repeat} times" if repeat > 1 else ""
        raise ValueError(f"the steps{times} last longer than can be counted")
    return Plan(planned, start)


class StepsBuilder:
    """Builds a profile's steps from their cells, noting every problem on
    the way instead of stopping at the first, so that one run of the check
    shows all there is to mend."""

    def __init__(self, source: str, *, text_cells: bool) -> None:
        self.source = source
        self.problems: list[Problem] = []
        self._text_cells = text_cells  # CSV cells are text to be read as numbers; TOML values are typed
        self._steps: list[Step] = []

    def problem(self, place: Place, message: str) -> None:
        self.problems.append(Problem(*place, message))

    def add(self, cells: dict[str, tuple[object, Place]], line: int) -> None:
        """A step from its given cells, by field name, each with its place."""
        if not self._steps and "duration" not in cells:
            self.problem((line, None), "the first step needs a duration")
        before = self._steps[-1] if self._steps else Step(0.0, None, None, None, line)

        def given(field: str, convert: Callable[[object], T], kept: T) -> T:
            if field not in cells:
                return kept
            value, place = cells[field]
            try:
                return convert(value)
            except (TypeError, ValueError) as error:
                self.problem(place, str(error))
                return kept

        self._steps.append(
            Step(
                given("duration", self._duration, before.duration_s),
                given("voltage", lambda value: self._setpoint("voltage", value), before.voltage),
                given("current", lambda value: self._setpoint("current", value), before.current),
                given("output", _output_state, before.output),
                line,
            )
        )

    def profile(self) -> Profile:
        if not self._steps and not self.problems:
            self.problem((1, None), "the profile has no steps")
        if self.problems:
            raise ProfileError(self.source, self.problems)
        return Profile(self.source, tuple(self._steps))

    def _duration(self, value: object) -> float:
        return duration(self._number(value, "duration"), "the duration")

    def _setpoint(self, quantity: Quantity, value: object) -> float:
        return setpoint(quantity, self._number(value, quantity), f"the {quantity}")

    def _number(self, value: object, field: str) -> object:
        """A CSV cell's text as a number; TOML values come typed, and a
        string there is refused as one."""
        if not (self._text_cells and isinstance(value, str)):
            return value
        try:
            return float(value)
        except ValueError:
            raise ValueError(f"the {field} {value!r} is not a number") from None


def _output_state(value: object) -> Literal["on", "off"]:
    state = value.strip().lower() if isinstance(value, str) else value
    if state == "on" or state == "off":
        return state
    raise ValueError(f"the output is 'on' or 'off', not {value!r}")
