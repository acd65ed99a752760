"""A sweep: one set-point stepped through a range, a reading at each step."""

from ..supply.setpoints import UNIT, Quantity, Span, duration, positive, setpoint, span_points
from .results import Outcome, ProgressCallback, Row, RowCallback, StopCheck, StoppedBy
from .session import Session, Target

SetPoint = Span | tuple[float, float, float] | float


def sweep(
    supply: Target,
    *,
    voltage: SetPoint,
    current: SetPoint,
    dwell: float,
    both_ways: bool = False,
    stop_current: float | None = None,
    stop_power: float | None = None,
    leave_on: bool = False,
    on_row: RowCallback | None = None,
    on_progress: ProgressCallback | None = None,
    stop: StopCheck | None = None,
) -> Outcome:
    """Step the voltage or the current through a range and read the status
    at each step.

    One of `voltage` and `current` is a range, `Span(start, stop, step)` or
    a (start, stop, step) tuple, the other a fixed set-point. The fixed one
    and the range's start are set before the output is switched on; then at
    each step the swept set-point is sent, `dwell` seconds pass, and the
    status is read into a row (read again if it got no answer). With
    `both_ways` the range is swept back down (or up) to its start.

    The sweep ends early, switching the output off, when a reading reaches
    `stop_current` (A) or `stop_power` (W), or shows over-temperature; also,
    leaving the output as `leave_on` says, when `stop()` turns true. At its
    end the output is switched off unless `leave_on`.

    Bad input raises ValueError (or TypeError) before anything is sent; a
    supply that stops answering raises NoAnswerError, with the rows."""
    swept, points, held, held_value = plan_sweep(voltage, current, both_ways)
    dwell = duration(dwell, "the dwell")
    most_current = (
        None
        if stop_current is None
        else setpoint("current", positive(stop_current, "the stop current"), "the stop current")
    )
    most_power = None if stop_power is None else positive(stop_power, "the stop power")
    session = Session(supply, on_row, on_progress, stop)

    def stopped_before(step: int) -> Outcome:
        return Outcome(session.rows, "stop", f"asked to stop before step {step} of {len(points)}")

    def run() -> Outcome:
        session.apply({held: held_value, swept: points[0]}, output=True)
        for step, value in enumerate(points, 1):
            if session.stopped():
                return stopped_before(step)
            if step > 1:
                session.set(swept, value)
            if not session.clock.wait(dwell, session.stopped):
                return stopped_before(step)
            row = session.read(step, retry=True)
            session.progress(step, len(points), session.clock.elapsed() / step * (len(points) - step))
            ended = _stop_condition(row, most_current, most_power)
            if ended is not None:
                stopped_by, why = ended
                return Outcome(session.rows, stopped_by, f"{why} at {swept} {value:.3f} {UNIT[swept]}")
        return Outcome(session.rows)

    return session.carry_out(run, leave_on=leave_on)


def plan_sweep(
    voltage: SetPoint, current: SetPoint, both_ways: bool = False
) -> tuple[Quantity, list[float], Quantity, float]:
    """Which quantity a sweep steps, through which set-points, and which it
    holds at what; ValueError (or TypeError) as sweep() raises it, with
    nothing sent."""
    swept: Quantity
    held: Quantity
    if isinstance(voltage, tuple) and not isinstance(current, tuple):
        swept, span, held, held_value = "voltage", voltage, "current", current
    elif isinstance(current, tuple) and not isinstance(voltage, tuple):
        swept, span, held, held_value = "current", current, "voltage", voltage
    else:
        raise ValueError("give a range for exactly one of voltage and current, and a fixed set-point for the other")
    if len(span) != 3:
        raise ValueError(f"the {swept} range needs a start, a stop and a step, not {span!r}")
    points = span_points(swept, span)
    if both_ways:
        points += points[-2::-1]
    return swept, points, held, setpoint(held, held_value, f"the {held}")


def _stop_condition(row: Row, most_current: float | None, most_power: float | None) -> tuple[StoppedBy, str] | None:
    if row["beyond_temp"]:
        return "over_temperature", "the supply reported over-temperature"
    measured, power = row["current_real"], row["power_w"]
    assert measured is not None and power is not None  # a row read until answered
    if most_current is not None and measured >= most_current:
        return "stop_current", f"the measured current {measured:.3f} A reached the stop current {most_current:.3f} A"
    if most_power is not None and power >= most_power:
        return "stop_power", f"the measured power {power:.3f} W reached the stop power {most_power:g} W"
    return None
