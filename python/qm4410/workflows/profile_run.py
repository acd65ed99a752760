"""Running a profile: each step at its planned moment, with readings."""

import math

from ..supply.setpoints import QUANTITIES, Quantity, positive
from .profile import Plan, PlannedStep, Profile, Step, plan
from .results import Outcome, ProgressCallback, RowCallback, StopCheck
from .session import Session, Target


def run_profile(
    supply: Target,
    profile: Profile,
    *,
    repeat: int = 1,
    interval: float | None = None,
    leave_on: bool = False,
    on_row: RowCallback | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopCheck | None = None,
) -> Outcome:
    """Run the steps of `profile`, `repeat` times.

    Each step starts at its moment in `plan(profile, repeat)`, counted from
    the start of the run, so slow exchanges do not add up to drift. At a
    step's start the set-points it changes are sent, in a safe order (the
    output switched off first, lowered set-points before raised ones, the
    output switched on last: at the step's set-points, and at 0 for one
    that a later step gives, never at what the supply held before the run;
    a set-point no step gives is the supply's own throughout), and the
    status is read into a row; with
    `interval`, it is read again every `interval` seconds within the step.
    A reading without an answer makes a row that says so, and the run goes
    on.

    The output is switched off at the end unless `leave_on`, and also when
    `stop()` turns true or on Ctrl-C. A supply that stops answering raises
    NoAnswerError, with the rows, after trying to switch the output off."""
    schedule = plan(profile, repeat)
    every = None if interval is None else positive(interval, "the interval")
    session = Session(supply, on_row, on_progress, stop)
    given = {quantity for step in profile.steps for quantity in QUANTITIES if _value(step, quantity) is not None}

    def run() -> Outcome:
        output: str | None = None
        for count, planned in enumerate(schedule.steps, 1):
            if not session.clock.wait_until(planned.start_s, session.stopped):
                return _stopped(session, planned, "before")
            session.cycle = planned.cycle
            output = _apply(session, planned.step, output, given)
            session.read(planned.number, retry=False)
            session.progress(count, len(schedule.steps), schedule.total_s - session.clock.elapsed())
            if every is not None and not _sample(session, schedule, count, planned, every):
                return _stopped(session, planned, "during")
        if not session.clock.wait_until(schedule.total_s, session.stopped):
            return _stopped(session, schedule.steps[-1], "during")
        return Outcome(session.rows)

    return session.carry_out(run, leave_on=leave_on)


def _apply(session: Session, step: Step, output: str | None, given: set[Quantity]) -> str | None:
    """Send what the step changes, as run_profile says (`given`: the
    set-points some step of the profile gives); the output state as it is
    now."""
    switch = None if step.output in (None, output) else step.output == "on"
    changes: dict[Quantity, float] = {}
    for quantity in QUANTITIES:
        value = _value(step, quantity)
        if value is None and switch and quantity in given and session.asked[quantity] is None:
            value = 0.0
        if value is not None and value != session.asked[quantity]:
            changes[quantity] = value
    session.apply(changes, switch)
    return step.output or output


def _value(step: Step, quantity: Quantity) -> float | None:
    return step.voltage if quantity == "voltage" else step.current


def _sample(session: Session, schedule: Plan, count: int, planned: PlannedStep, every: float) -> bool:
    """Read the status every `every` seconds within the step, on a grid
    from its planned start; a reading that came late skips the grid points
    it missed. False when a stop was requested."""
    end = planned.start_s + planned.step.duration_s
    tick = 1
    while (due := planned.start_s + tick * every) < end - 1e-9:
        if not session.clock.wait_until(due, session.stopped):
            return False
        session.read(planned.number, retry=False)
        session.progress(count, len(schedule.steps), schedule.total_s - session.clock.elapsed())
        tick = max(tick + 1, math.floor((session.clock.elapsed() - planned.start_s) / every) + 1)
    return True


def _stopped(session: Session, planned: PlannedStep, when: str) -> Outcome:
    return Outcome(session.rows, "stop", f"asked to stop {when} step {planned.number} of cycle {planned.cycle}")
