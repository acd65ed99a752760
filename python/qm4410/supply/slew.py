"""Moving a set-point at a rate: the steps of a ramp and their moments, the
one rule that the workflows' ramp and the guard's slew limits both keep.

A ramp goes from where the set-point stands to its target in steps of
`step_units` (the last may be shorter). A step goes out when the straight
line from the start at the rate reaches it, and never sooner after the step
before than the rate allows, so the set-point never runs ahead of that line
even when a step went out late: at any moment it lies between the line and
one step behind it."""

import math
from dataclasses import dataclass

from .setpoints import PER_UNIT


def step_units(rate: float, steps_per_s: float) -> int:
    """Whole mV (mA) a step: the rate over `steps_per_s`, or the supply's
    resolution, whichever is coarser."""
    return max(1, math.ceil(rate / steps_per_s * PER_UNIT - 1e-9))


@dataclass
class Ramp:
    """From `start` to `target` (whole units) at `rate` (V/s or A/s) in steps
    of `step`, begun at `began` (seconds on any clock that the caller then
    keeps to)."""

    start: int
    target: int
    rate: float
    step: int
    began: float
    travelled: int = 0
    sent_at: float | None = None
    unanswered: int = 0  # steps the supply did not answer, in a row

    @property
    def distance(self) -> int:
        return abs(self.target - self.start)

    @property
    def steps(self) -> int:
        return -(-self.distance // self.step)

    @property
    def direction(self) -> int:
        return 1 if self.target >= self.start else -1

    @property
    def standing(self) -> int:
        """Where the set-point stands: the last step sent (the start before any)."""
        return self.start + self.direction * self.travelled

    @property
    def done(self) -> bool:
        return self.travelled >= self.distance

    def next_step(self) -> tuple[float, int]:
        """When the next step is due, and the set-point it sends."""
        reach = min(self.travelled + self.step, self.distance)
        due = self.began + reach / PER_UNIT / self.rate
        if self.sent_at is not None:
            due = max(due, self.sent_at + (reach - self.travelled) / PER_UNIT / self.rate)
        return due, self.start + self.direction * reach

    def sent(self, at: float) -> None:
        """The next step went out at `at`."""
        self.travelled = min(self.travelled + self.step, self.distance)
        self.sent_at = at
        self.unanswered = 0

    def time_left(self) -> float:
        return (self.distance - self.travelled) / PER_UNIT / self.rate
