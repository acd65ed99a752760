"""A ramp: a set-point moved to its target at a rate, in small steps."""

from ..supply.setpoints import QUANTITIES, UNIT, Quantity, from_units, positive, setpoint, to_units
from ..supply.slew import Ramp, step_units
from ..supply.status import Status
from .results import Outcome, ProgressCallback, Row, RowCallback, StopCheck
from .session import Session, Target

# A step and the reading after it are two exchanges, about 0.23 s at the
# supply's 4800 baud, so more steps than this a second would fall behind.
MOST_STEPS_PER_S = 4.0


def ramp(
    supply: Target,
    quantity: Quantity,
    to: float,
    *,
    rate: float,
    start: float | None = None,
    voltage: float | None = None,
    current: float | None = None,
    output: bool | None = None,
    most_steps_per_s: float = MOST_STEPS_PER_S,
    off_on_exit: bool = False,
    on_row: RowCallback | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopCheck | None = None,
) -> Outcome:
    """Move the `quantity` set-point ("voltage" or "current") from where
    the supply has it, or from `start`, to `to`, at `rate` volts or amperes
    a second.

    The other set-point may be given too (`current=` for a voltage ramp,
    `voltage=` for a current ramp) and is sent first, with `start` when it
    is given; `output=True` switches the output on (False: off), before the
    first reading, in the workflows' one safe order (see Session.apply).
    The output never comes on above where the ramp starts: switched on
    here, it comes on at `start`, else where the output stands (its
    measured voltage or current, 0 when it is off), sent first. The
    steps are the supply's resolution (1 mV, 1 mA) or `rate / most_steps_per_s`,
    whichever is coarser; each is sent when the straight line from the
    start at `rate` reaches it, and never sooner after the step before
    than the rate allows, so the load sees no faster change than asked even
    when the line is slow. After each step the status is read into a row
    (row 0 is the reading the ramp starts from).

    The output is otherwise left as it is, unless `off_on_exit`: then it
    is switched off however the ramp ends. When `stop()` turns true (or on
    Ctrl-C) the ramp stops where it is. Bad input raises ValueError (or
    TypeError) before anything is sent; a supply that stops answering
    raises NoAnswerError, with the rows, after trying to switch the output
    off."""
    if quantity not in QUANTITIES:
        raise ValueError(f"the quantity to ramp is 'voltage' or 'current', not {quantity!r}")
    target = to_units(quantity, to, f"the {quantity} to ramp to")
    rate = positive(rate, "the rate")
    most_steps_per_s = positive(most_steps_per_s, "the most steps a second")
    held: Quantity = "current" if quantity == "voltage" else "voltage"
    given = {"voltage": voltage, "current": current}
    if given[quantity] is not None:
        raise ValueError(f"a {quantity} ramp goes to `to`; give only the {held} besides")
    held_value = given[held]
    held_setpoint = None if held_value is None else setpoint(held, held_value, f"the {held}")
    start_setpoint = None if start is None else setpoint(quantity, start, "the ramp's start")
    if output is not None and not isinstance(output, bool):
        raise TypeError(f"the output is True (on), False (off) or None (as it is), not {output!r}")
    step = step_units(rate, most_steps_per_s)
    unit = UNIT[quantity]
    session = Session(supply, on_row, on_progress, stop)

    def run() -> Outcome:
        begin: dict[Quantity, float] = {} if held_setpoint is None else {held: held_setpoint}
        if start_setpoint is not None:
            begin[quantity] = start_setpoint
        elif output:
            begin[quantity] = _measured(session.status(), quantity)
        session.apply(begin, output)
        origin = to_units(quantity, _set_point(session.read(0, retry=True), quantity))
        steps = Ramp(origin, target, rate, step, began=session.clock.elapsed())
        for number in range(1, steps.steps + 1):
            due, units = steps.next_step()
            if not session.clock.wait_until(due, session.stopped):
                where = from_units(steps.standing)
                return Outcome(
                    session.rows, "stop", f"asked to stop at {where:.3f} {unit}, step {number - 1} of {steps.steps}"
                )
            steps.sent(session.clock.elapsed())
            session.set(quantity, from_units(units))
            session.read(number, retry=False)
            session.progress(number, steps.steps, steps.time_left())
        return Outcome(session.rows)

    return session.carry_out(run, leave_on=not off_on_exit)


def _measured(status: Status, quantity: Quantity) -> float:
    return status.measured_voltage if quantity == "voltage" else status.measured_current


def _set_point(row: Row, quantity: Quantity) -> float:
    value = row["voltage_set"] if quantity == "voltage" else row["current_set"]
    assert value is not None  # a row read until answered
    return value
